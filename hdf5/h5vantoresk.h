/* h5vantoresk.h: the lane codec as an HDF5 filter.
 *
 * Each chunk of a dataset is stored as one lane frame (see vantoresk.h), so
 * decoding needs nothing but the chunk's bytes. The plugin library
 * libh5vantoresk.so links no HDF5: the few HDF5 calls it makes when a
 * dataset is created are resolved from the HDF5 that loaded it.
 *
 * cd_values (at most 16 unsigned words; shorter lists take the defaults):
 *   [0]  layout version (1)
 *   [1]  lane axis, a signed 32-bit value (negative counts from the end; default -1)
 *   [2]  element type as vnt_dtype; 0 = take it from the dataset (set when the dataset is created)
 *   [3]  method  (vnt_method, default CDF 9/7)
 *   [4]  scale   (6 to 12, default 11; used only without a target)
 *   [5]  cutoff  (vnt_cutoff, default low)
 *   [6]  coder   (vnt_coder, default auto)
 *   [7]  target kind (vnt_target_kind: 0 none, 1 max_abs_error, 2 max_prdn, 3 grid steps)
 *   [8]  target value, float64 bits, high word
 *   [9]  target value, float64 bits, low word
 * Added when the dataset is created (set_local), from its type and chunk:
 *   [10] byte order of the stored type (0 little, 1 big)
 *   [11] number of chunk dimensions as coded (1 to 4)
 *   [12..15] the chunk's dimensions, slowest first
 * A chunk of more than 4 dimensions is coded as (lanes before the axis, lane
 * length, lanes after it), which orders the lanes the same way; the axis
 * word then reads 1.
 */
#ifndef H5VANTORESK_H
#define H5VANTORESK_H

#include <stddef.h>

/* A filter ID from the range HDF5 leaves for private use: files written
 * with it are not for distribution (see the README). */
#define H5Z_FILTER_VANTORESK 32937

#define H5VANTORESK_CD_VERSION 1
enum h5vantoresk_cd_index {
    H5VANTORESK_CD_LAYOUT = 0,
    H5VANTORESK_CD_AXIS = 1,
    H5VANTORESK_CD_DTYPE = 2,
    H5VANTORESK_CD_METHOD = 3,
    H5VANTORESK_CD_SCALE = 4,
    H5VANTORESK_CD_CUTOFF = 5,
    H5VANTORESK_CD_CODER = 6,
    H5VANTORESK_CD_TARGET_KIND = 7,
    H5VANTORESK_CD_TARGET_HIGH = 8,
    H5VANTORESK_CD_TARGET_LOW = 9,
    H5VANTORESK_CD_BYTE_ORDER = 10,
    H5VANTORESK_CD_NDIM = 11,
    H5VANTORESK_CD_DIMS = 12,
    H5VANTORESK_CD_USER_COUNT = 10, /* the words a user gives */
    H5VANTORESK_CD_MAX = 16
};
#define H5VANTORESK_MAX_CODED_NDIM 4

#ifdef __cplusplus
extern "C" {
#endif

#define H5VANTORESK_API __attribute__((visibility("default")))

/* Encodes one chunk (`nbytes` bytes in the dataset's stored type, C order)
 * with a dataset's complete cd_values, exactly as the filter does, for
 * writers that store chunks directly. Returns 0 and a malloc'd frame, or
 * non-zero with a one-line message. Release the frame with h5vantoresk_free. */
H5VANTORESK_API int h5vantoresk_encode_chunk(size_t cd_nelmts, const unsigned cd_values[], const void* chunk,
                                             size_t nbytes, void** frame, size_t* frame_size, char* message,
                                             size_t message_size);

/* Decodes one stored chunk back into `out` (exactly the chunk's size by the
 * cd_values); 0 on success, else non-zero with a message. */
H5VANTORESK_API int h5vantoresk_decode_chunk(size_t cd_nelmts, const unsigned cd_values[], const void* frame,
                                             size_t frame_size, void* out, size_t out_size, char* message,
                                             size_t message_size);

H5VANTORESK_API void h5vantoresk_free(void* frame);

#ifdef __cplusplus
}
#endif

#endif /* H5VANTORESK_H */
