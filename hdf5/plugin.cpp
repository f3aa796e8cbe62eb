// plugin.cpp: the HDF5 filter plugin. HDF5 finds it through
// H5PLget_plugin_type / H5PLget_plugin_info; at dataset creation can_apply
// refuses types and chunk shapes the lane codec cannot take (saying why on
// HDF5's error stack) and set_local records the element type and chunk shape
// in the cd_values; the filter then turns each chunk into one lane frame and
// back. Decoding trusts a frame only as far as the dataset's chunk size.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hdf5/chunk_settings.hpp"
#include "hdf5/h5vantoresk.h"
#include "hdf5/hdf5_abi.hpp"

namespace vantoresk::h5 {
namespace {

void copy_message(const std::string& text, char* message, std::size_t message_size) {
    if (message == nullptr || message_size == 0) return;
    const std::size_t n = text.size() < message_size - 1 ? text.size() : message_size - 1;
    std::memcpy(message, text.data(), n);
    message[n] = '\0';
}

const char* dtype_name(int dtype) {
    switch (dtype) {
        case VNT_FLOAT32: return "float32";
        case VNT_FLOAT64: return "float64";
        case VNT_INT8: return "int8";
        case VNT_INT16: return "int16";
        case VNT_INT32: return "int32";
        case VNT_UINT8: return "uint8";
        case VNT_UINT16: return "uint16";
        default: return "an unknown type";
    }
}

// The lane codec's element type for an HDF5 datatype, or false with why not.
bool type_facts(const Hdf5Calls& h5, hid_t type, int& dtype, int& big_endian, std::string& why) {
    const int cls = h5.type_class(type);
    const std::size_t size = h5.type_size(type);
    const std::size_t precision = h5.type_precision(type);
    const int order = h5.type_order(type);
    const char* supported = "the vantoresk filter takes float32, float64, int8, int16, int32, uint8 and uint16 data";
    if ((cls != kClassInteger && cls != kClassFloat) || precision != 8 * size) {
        why = std::string(supported) + "; this dataset's type is neither a plain integer nor an IEEE float";
        return false;
    }
    if (order != kOrderLittle && order != kOrderBig && size > 1) {
        why = std::string(supported) + " in little- or big-endian byte order; this type has another order";
        return false;
    }
    big_endian = order == kOrderBig && size > 1 ? 1 : 0;
    if (cls == kClassFloat) {
        dtype = size == 4 ? VNT_FLOAT32 : size == 8 ? VNT_FLOAT64 : 0;
    } else {
        const bool is_signed = h5.type_sign(type) == kSignTwos;
        dtype = size == 1 ? (is_signed ? VNT_INT8 : VNT_UINT8)
              : size == 2 ? (is_signed ? VNT_INT16 : VNT_UINT16)
              : size == 4 && is_signed ? VNT_INT32
                                       : 0;
    }
    if (dtype == 0) {
        why = std::string(supported) + "; this dataset holds " + std::to_string(size * 8) + "-bit " +
              (cls == kClassFloat ? "floats" : h5.type_sign(type) == kSignNone ? "unsigned integers" : "integers");
        return false;
    }
    return true;
}

// Everything can_apply and set_local need: the user's settings with the
// dataset's type and chunk shape filled in. False with why not.
bool dataset_settings(const Hdf5Calls& h5, hid_t dcpl, hid_t type, ChunkSettings& s, std::string& why) {
    if (!h5.complete()) {
        why = "the HDF5 functions the filter needs were not found in the running HDF5";
        return false;
    }
    unsigned flags = 0, config = 0;
    unsigned values[H5VANTORESK_CD_MAX + 1] = {};
    std::size_t count = H5VANTORESK_CD_MAX + 1;
    char name[64];
    if (h5.get_filter(dcpl, H5Z_FILTER_VANTORESK, &flags, &count, values, sizeof name, name, &config) < 0) {
        why = "the filter's parameters could not be read from the dataset's creation properties";
        return false;
    }
    if (!read_user_settings(count, values, s, why)) return false;
    int dtype = 0, big_endian = 0;
    if (!type_facts(h5, type, dtype, big_endian, why)) return false;
    if (s.dtype != 0 && s.dtype != dtype) {
        why = std::string("the filter parameters ask for ") + dtype_name(s.dtype) + " but the dataset stores " +
              dtype_name(dtype);
        return false;
    }
    s.dtype = dtype;
    s.big_endian = big_endian;
    hsize_t dims[VNT_MAX_NDIM] = {};
    const int ndim = h5.get_chunk(dcpl, VNT_MAX_NDIM, dims);
    if (ndim <= 0) {
        why = "the vantoresk filter needs a chunked dataset";
        return false;
    }
    return set_chunk_shape(s, ndim, dims, why);
}

htri_t can_apply(hid_t dcpl, hid_t type, hid_t) {
    const void* caller = __builtin_return_address(0);
    ChunkSettings s;
    std::string why;
    if (dataset_settings(resolve_hdf5_calls(caller), dcpl, type, s, why)) return 1;
    report_error(caller, "CANAPPLY", "can_apply", why.c_str());
    return 0;
}

herr_t set_local(hid_t dcpl, hid_t type, hid_t) {
    const void* caller = __builtin_return_address(0);
    const Hdf5Calls h5 = resolve_hdf5_calls(caller);
    ChunkSettings s;
    std::string why;
    if (dataset_settings(h5, dcpl, type, s, why)) {
        unsigned values[H5VANTORESK_CD_MAX];
        const std::size_t count = write_settings(s, values);
        unsigned flags = 0, config = 0;
        unsigned old[H5VANTORESK_CD_MAX + 1];
        std::size_t old_count = H5VANTORESK_CD_MAX + 1;
        char name[64];
        if (h5.get_filter(dcpl, H5Z_FILTER_VANTORESK, &flags, &old_count, old, sizeof name, name, &config) >= 0 &&
            h5.modify_filter(dcpl, H5Z_FILTER_VANTORESK, flags, count, values) >= 0)
            return 0;
        why = "the filter's parameters could not be stored in the dataset's creation properties";
    }
    report_error(caller, "SETLOCAL", "set_local", why.c_str());
    return -1;
}

int encode_chunk(std::size_t cd_nelmts, const unsigned cd_values[], const void* chunk, std::size_t nbytes,
                 void** frame, std::size_t* frame_size, std::string& why) {
    ChunkSettings s;
    if (!read_chunk_settings(cd_nelmts, cd_values, s, why)) return 1;
    if (nbytes != chunk_bytes(s)) {
        why = "a chunk of " + std::to_string(nbytes) + " bytes where the dataset's chunks hold " +
              std::to_string(chunk_bytes(s));
        return 1;
    }
    const vnt_options options = codec_options(s);
    const vnt_layout layout = chunk_layout(s);
    vnt_error err{};
    if (vnt_encode(chunk, &layout, &options, frame, frame_size, &err) != VNT_OK) {
        why = std::string("encoding failed: ") + err.message;
        return 1;
    }
    return 0;
}

// Checks a stored frame against the dataset before anything is allocated;
// returns the decoded size, or 0 with why not.
std::size_t checked_decoded_size(std::size_t cd_nelmts, const unsigned cd_values[], const void* frame,
                                 std::size_t frame_size, std::string& why) {
    struct vnt_frame_info info {};
    vnt_error err{};
    if (vnt_frame_info(frame, frame_size, &info, &err) != VNT_OK) {
        why = std::string("damaged chunk: ") + err.message;
        return 0;
    }
    ChunkSettings s;
    std::string settings_problem;
    if (!read_chunk_settings(cd_nelmts, cd_values, s, settings_problem)) {
        // Decoding needs no parameters, but without a declared chunk size
        // it still trusts no frame past HDF5's own chunk limit.
        if (info.decoded_bytes == 0 || info.decoded_bytes >= (std::uint64_t{1} << 32)) {
            why = "damaged chunk: it claims " + std::to_string(info.decoded_bytes) + " bytes";
            return 0;
        }
        return static_cast<std::size_t>(info.decoded_bytes);
    }
    bool same_shape = info.layout.ndim == s.ndim && info.layout.order == 'C';
    for (int i = 0; same_shape && i < s.ndim; ++i) same_shape = info.layout.shape[i] == s.dims[i];
    if (info.decoded_bytes != chunk_bytes(s) || !same_shape) {
        why = "damaged chunk: its frame does not have the dataset's chunk shape";
        return 0;
    }
    if (info.layout.dtype != s.dtype || info.layout.big_endian != s.big_endian) {
        why = std::string("damaged chunk: it holds ") + dtype_name(info.layout.dtype) + " but the dataset stores " +
              dtype_name(s.dtype) + (info.layout.big_endian != s.big_endian ? " (or another byte order)" : "");
        return 0;
    }
    return static_cast<std::size_t>(info.decoded_bytes);
}

int decode_into(const void* frame, std::size_t frame_size, void* out, std::size_t out_size, std::string& why) {
    vnt_error err{};
    if (vnt_decode(frame, frame_size, out, out_size, &err) != VNT_OK) {
        why = std::string("damaged chunk: ") + err.message;
        return 1;
    }
    return 0;
}

std::size_t filter(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[], std::size_t nbytes,
                   std::size_t* buf_size, void** buf) {
    const void* caller = __builtin_return_address(0);
    std::string why;
    if (flags & kFlagReverse) {
        const std::size_t size = checked_decoded_size(cd_nelmts, cd_values, *buf, nbytes, why);
        void* out = size == 0 ? nullptr : std::malloc(size);
        if (size != 0 && out == nullptr) why = "out of memory for a decoded chunk of " + std::to_string(size) + " bytes";
        if (out != nullptr && decode_into(*buf, nbytes, out, size, why) == 0) {
            std::free(*buf);
            *buf = out;
            *buf_size = size;
            return size;
        }
        std::free(out);
        report_error(caller, "CANTFILTER", "vantoresk decode", why.c_str());
        return 0;
    }
    void* frame = nullptr;
    std::size_t frame_size = 0;
    if (encode_chunk(cd_nelmts, cd_values, *buf, nbytes, &frame, &frame_size, why) != 0) {
        report_error(caller, "CANTFILTER", "vantoresk encode", why.c_str());
        return 0;
    }
    std::free(*buf);
    *buf = frame;
    *buf_size = frame_size;
    return frame_size;
}

const FilterClass2 kFilterClass = {
    kFilterClassVersion, H5Z_FILTER_VANTORESK, 1, 1, "vantoresk", can_apply, set_local, filter,
};

}  // namespace
}  // namespace vantoresk::h5

using namespace vantoresk::h5;

extern "C" {

H5VANTORESK_API int H5PLget_plugin_type(void) { return kPluginTypeFilter; }

H5VANTORESK_API const void* H5PLget_plugin_info(void) { return &kFilterClass; }

H5VANTORESK_API int h5vantoresk_encode_chunk(size_t cd_nelmts, const unsigned cd_values[], const void* chunk,
                                             size_t nbytes, void** frame, size_t* frame_size, char* message,
                                             size_t message_size) {
    std::string why;
    if (frame == nullptr || frame_size == nullptr || (chunk == nullptr && nbytes != 0)) why = "missing buffers";
    else if (encode_chunk(cd_nelmts, cd_values, chunk, nbytes, frame, frame_size, why) == 0) return 0;
    copy_message(why, message, message_size);
    return 1;
}

H5VANTORESK_API int h5vantoresk_decode_chunk(size_t cd_nelmts, const unsigned cd_values[], const void* frame,
                                             size_t frame_size, void* out, size_t out_size, char* message,
                                             size_t message_size) {
    std::string why;
    if (frame == nullptr || out == nullptr) {
        why = "missing buffers";
    } else {
        const std::size_t size = checked_decoded_size(cd_nelmts, cd_values, frame, frame_size, why);
        if (size != 0 && size != out_size)
            why = "an output of " + std::to_string(out_size) + " bytes for a chunk of " + std::to_string(size);
        else if (size != 0 && decode_into(frame, frame_size, out, out_size, why) == 0)
            return 0;
    }
    copy_message(why, message, message_size);
    return 1;
}

H5VANTORESK_API void h5vantoresk_free(void* frame) { vnt_free(frame); }
}
