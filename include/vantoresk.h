/* vantoresk.h: the lane codec behind a plain C interface.
 *
 * A frame holds one N-D chunk (float32/float64 in either byte order, or
 * int8/int16/int32/uint8/uint16) cut into 1-D lanes along one axis; every
 * lane is coded on its own and the frame restores dtype, shape and memory
 * order. This header is all that other languages and the HDF5 filter see:
 * plain structs and integers, no C++ types, no exceptions.
 *
 * READ ME FIRST
 *  - Every call reports a vnt_status. On failure, `err` (when not NULL) is
 *    filled with the status and a one-line message; nothing else is
 *    written except what the call documents.
 *  - Encoded frames are allocated with malloc and released with
 *    vnt_free (which is free). Decoding writes into the caller's buffer:
 *    ask vnt_frame_info for `decoded_bytes` first.
 *  - Decoding never reads past `frame_size` and never writes past
 *    `out_size`, whatever the frame holds; sizes claimed by a frame are
 *    checked against the frame's own length before anything is allocated.
 *  - Encoding takes a contiguous buffer in C or Fortran order. Strided
 *    views must be copied by the caller.
 *  - The functions are thread-safe: distinct calls share no state.
 */
#ifndef VANTORESK_H
#define VANTORESK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VNT_API __declspec(dllexport)
#else
#define VNT_API __attribute__((visibility("default")))
#endif

#define VNT_MAX_NDIM 32
#define VNT_ERROR_MESSAGE_SIZE 256

typedef enum vnt_status {
    VNT_OK = 0,
    VNT_INVALID_ARGUMENT = 1, /* the caller's dtype, shape, options or buffers */
    VNT_BAD_FRAME = 2,        /* damaged or foreign bytes */
    VNT_UNSUPPORTED = 3,      /* a frame from a newer writer: version or lane kind unknown here */
    VNT_BUFFER_TOO_SMALL = 4, /* out_size below the frame's decoded_bytes */
    VNT_OUT_OF_MEMORY = 5,
    VNT_INTERNAL = 6
} vnt_status;

typedef struct vnt_error {
    vnt_status status;
    char message[VNT_ERROR_MESSAGE_SIZE]; /* NUL-terminated, one line */
} vnt_error;

/* Element types. The byte order is a separate flag. */
typedef enum vnt_dtype {
    VNT_FLOAT32 = 1,
    VNT_FLOAT64 = 2,
    VNT_INT8 = 3,
    VNT_INT16 = 4,
    VNT_INT32 = 5,
    VNT_UINT8 = 6,
    VNT_UINT16 = 7
} vnt_dtype;

typedef enum vnt_method { VNT_CDF97 = 0, VNT_CDF53 = 1, VNT_DB4 = 2, VNT_SYM4 = 3 } vnt_method;
typedef enum vnt_cutoff { VNT_CUTOFF_LOW = 0, VNT_CUTOFF_MEDIUM = 1, VNT_CUTOFF_HIGH = 2 } vnt_cutoff;
typedef enum vnt_coder { VNT_CODER_AUTO = 0, VNT_CODER_ARANS = 1, VNT_CODER_DEFLATE = 2 } vnt_coder;

/* What a lane must meet.
 *  NONE          the wavelet container at the fixed `scale` (no bound)
 *  MAX_ABS_ERROR largest absolute error, in the data's units (integer lanes: counts); 0 means exact
 *  MAX_PRDN      PRDN in percent
 *  GRID_STEPS    largest error in steps of the lane's own ADC grid, found from its values
 *                (integer lanes: counts); 0 means exact. A lane with no grid is stored exactly. */
typedef enum vnt_target_kind {
    VNT_TARGET_NONE = 0,
    VNT_TARGET_MAX_ABS_ERROR = 1,
    VNT_TARGET_MAX_PRDN = 2,
    VNT_TARGET_GRID_STEPS = 3
} vnt_target_kind;

typedef struct vnt_options {
    vnt_method method;   /* default VNT_CDF97 */
    int scale;           /* 6 to 12, default 11; used only without a target */
    vnt_cutoff cutoff;   /* default VNT_CUTOFF_LOW */
    vnt_coder coder;     /* default VNT_CODER_AUTO */
    int axis;            /* lane axis, negative counts from the end; default -1 */
    vnt_target_kind target_kind;
    /* One value for every lane (target_count 1) or one per lane (lanes in C
     * order over the other axes). Ignored for VNT_TARGET_NONE. */
    const double* targets;
    size_t target_count;
} vnt_options;

/* A buffer's layout. `shape` has `ndim` entries (1 to VNT_MAX_NDIM). */
typedef struct vnt_layout {
    vnt_dtype dtype;
    int big_endian; /* 0 little, 1 big */
    char order;     /* 'C' or 'F' */
    int ndim;
    uint64_t shape[VNT_MAX_NDIM];
} vnt_layout;

/* Like struct stat and stat(): the two info structs share their names with
 * the calls that fill them, so they are spelt with `struct` (a typedef of
 * the same name would clash with the function in C and C++). */
struct vnt_frame_info {
    int version;           /* the frame format version */
    vnt_layout layout;     /* what vnt_decode writes */
    int axis;              /* the lane axis, 0 to ndim - 1 */
    uint64_t lane_count;
    uint64_t lane_length;
    uint64_t decoded_bytes; /* the size vnt_decode needs */
};

/* Lane kinds as stored (see the frame format in the README). */
typedef enum vnt_lane_kind {
    VNT_LANE_CONTAINER = 0,
    VNT_LANE_RAW = 1,
    VNT_LANE_SHUFFLED = 2,
    VNT_LANE_DEFLATE = 3,
    VNT_LANE_GRID = 4,
    VNT_LANE_NEAR_LOSSLESS = 5
} vnt_lane_kind;

struct vnt_lane_info {
    vnt_lane_kind kind;
    uint64_t record_bytes;     /* the lane's stored size */
    uint64_t nonfinite_samples;
    int exact;                 /* decodes to the very values encoded */
    /* Container lanes: the settings. Others: -1. */
    int method, scale, cutoff, coder;
    /* Near-lossless lanes: the bin half-width in steps (k), and the step. */
    uint64_t steps;
    double step;
};

/* Defaults as listed in vnt_options. */
VNT_API void vnt_options_init(vnt_options* options);

/* Encodes `data` (laid out as `layout`) into a new frame. On success
 * *frame points to *frame_size bytes from malloc; release with vnt_free. */
VNT_API vnt_status vnt_encode(const void* data, const vnt_layout* layout, const vnt_options* options,
                              void** frame, size_t* frame_size, vnt_error* err);

#if defined(__cplusplus) && defined(__GNUC__)
/* C++ sees a function hiding its struct's implicit constructor; intended. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif

/* Reads a frame's header and checks its lane table, without decoding. */
VNT_API vnt_status vnt_frame_info(const void* frame, size_t frame_size, struct vnt_frame_info* info,
                                  vnt_error* err);

/* Decodes into `out` (at least info.decoded_bytes) in the frame's dtype,
 * byte order and memory order. */
VNT_API vnt_status vnt_decode(const void* frame, size_t frame_size, void* out, size_t out_size, vnt_error* err);

/* One lane's kind, size and settings, without decoding it. */
VNT_API vnt_status vnt_lane_info(const void* frame, size_t frame_size, uint64_t lane, struct vnt_lane_info* info,
                                 vnt_error* err);

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

VNT_API void vnt_free(void* frame);

/* "vantoresk X.Y.Z" */
VNT_API const char* vnt_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VANTORESK_H */
