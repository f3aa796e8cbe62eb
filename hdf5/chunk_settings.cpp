// chunk_settings.cpp: reading and writing the filter's cd_values.
#include "hdf5/chunk_settings.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace vantoresk::h5 {
namespace {

unsigned word(std::size_t cd_nelmts, const unsigned cd_values[], std::size_t index, unsigned fallback) {
    return index < cd_nelmts ? cd_values[index] : fallback;
}

bool fail(std::string& why, std::string message) {
    why = std::move(message);
    return false;
}

bool check_target(const ChunkSettings& s, std::string& why) {
    const double t = s.target;
    switch (s.target_kind) {
        case VNT_TARGET_NONE:
            return true;
        case VNT_TARGET_MAX_ABS_ERROR:
            if (std::isfinite(t) && t >= 0) return true;
            return fail(why, "max_abs_error must be a finite number of at least 0, not " + std::to_string(t));
        case VNT_TARGET_MAX_PRDN:
            if (std::isfinite(t) && t > 0) return true;
            return fail(why, "max_prdn must be a positive finite number, not " + std::to_string(t));
        case VNT_TARGET_GRID_STEPS:
            if (std::isfinite(t) && t >= 0 && t <= 65535 && t == std::floor(t)) return true;
            return fail(why, "steps must be a whole number from 0 to 65535, not " + std::to_string(t));
    }
    return fail(why, "unknown target kind");
}

}  // namespace

std::size_t element_size(int dtype) {
    switch (dtype) {
        case VNT_INT8:
        case VNT_UINT8:
            return 1;
        case VNT_INT16:
        case VNT_UINT16:
            return 2;
        case VNT_FLOAT32:
        case VNT_INT32:
            return 4;
        case VNT_FLOAT64:
            return 8;
        default:
            return 0;
    }
}

bool read_user_settings(std::size_t cd_nelmts, const unsigned cd_values[], ChunkSettings& s, std::string& why) {
    if (cd_nelmts > H5VANTORESK_CD_MAX) return fail(why, "more than 16 filter parameters");
    const unsigned version = word(cd_nelmts, cd_values, H5VANTORESK_CD_LAYOUT, H5VANTORESK_CD_VERSION);
    if (version != H5VANTORESK_CD_VERSION)
        return fail(why, "filter parameters of layout version " + std::to_string(version) +
                             " (this plugin reads version 1; a newer plugin may read them)");
    s.axis = static_cast<int>(static_cast<std::int32_t>(word(cd_nelmts, cd_values, H5VANTORESK_CD_AXIS, 0xFFFFFFFFu)));
    const unsigned dtype = word(cd_nelmts, cd_values, H5VANTORESK_CD_DTYPE, 0);
    if (dtype != 0 && element_size(static_cast<int>(dtype)) == 0)
        return fail(why, "unknown element type code " + std::to_string(dtype));
    s.dtype = static_cast<int>(dtype);
    const unsigned method = word(cd_nelmts, cd_values, H5VANTORESK_CD_METHOD, VNT_CDF97);
    const unsigned scale = word(cd_nelmts, cd_values, H5VANTORESK_CD_SCALE, 11);
    const unsigned cutoff = word(cd_nelmts, cd_values, H5VANTORESK_CD_CUTOFF, VNT_CUTOFF_LOW);
    const unsigned coder = word(cd_nelmts, cd_values, H5VANTORESK_CD_CODER, VNT_CODER_AUTO);
    const unsigned kind = word(cd_nelmts, cd_values, H5VANTORESK_CD_TARGET_KIND, VNT_TARGET_NONE);
    if (method > VNT_SYM4) return fail(why, "unknown method code " + std::to_string(method));
    if (scale < 6 || scale > 12) return fail(why, "scale must be from 6 to 12, not " + std::to_string(scale));
    if (cutoff > VNT_CUTOFF_HIGH) return fail(why, "unknown cutoff code " + std::to_string(cutoff));
    if (coder > VNT_CODER_DEFLATE) return fail(why, "unknown coder code " + std::to_string(coder));
    if (kind > VNT_TARGET_GRID_STEPS) return fail(why, "unknown target kind " + std::to_string(kind));
    s.method = static_cast<vnt_method>(method);
    s.scale = static_cast<int>(scale);
    s.cutoff = static_cast<vnt_cutoff>(cutoff);
    s.coder = static_cast<vnt_coder>(coder);
    s.target_kind = static_cast<vnt_target_kind>(kind);
    if (s.target_kind != VNT_TARGET_NONE && cd_nelmts <= H5VANTORESK_CD_TARGET_LOW)
        return fail(why, "a target kind without its value");
    const std::uint64_t bits = (std::uint64_t{word(cd_nelmts, cd_values, H5VANTORESK_CD_TARGET_HIGH, 0)} << 32) |
                               word(cd_nelmts, cd_values, H5VANTORESK_CD_TARGET_LOW, 0);
    s.target = std::bit_cast<double>(bits);
    return check_target(s, why);
}

bool read_chunk_settings(std::size_t cd_nelmts, const unsigned cd_values[], ChunkSettings& s, std::string& why) {
    if (!read_user_settings(cd_nelmts, cd_values, s, why)) return false;
    if (cd_nelmts <= H5VANTORESK_CD_NDIM) return fail(why, "filter parameters without the chunk's shape");
    if (s.dtype == 0) return fail(why, "filter parameters without the element type");
    const unsigned order = cd_values[H5VANTORESK_CD_BYTE_ORDER];
    const unsigned ndim = cd_values[H5VANTORESK_CD_NDIM];
    if (order > 1) return fail(why, "unknown byte order code " + std::to_string(order));
    if (ndim < 1 || ndim > H5VANTORESK_MAX_CODED_NDIM || cd_nelmts != H5VANTORESK_CD_DIMS + ndim)
        return fail(why, "filter parameters with a malformed chunk shape");
    s.big_endian = static_cast<int>(order);
    s.ndim = static_cast<int>(ndim);
    for (unsigned i = 0; i < ndim; ++i) {
        s.dims[i] = cd_values[H5VANTORESK_CD_DIMS + i];
        if (s.dims[i] == 0) return fail(why, "filter parameters with an empty chunk dimension");
    }
    if (s.axis < -s.ndim || s.axis >= s.ndim)
        return fail(why, "lane axis " + std::to_string(s.axis) + " is out of range for a chunk of " +
                             std::to_string(s.ndim) + " dimensions");
    s.has_chunk = true;
    if (chunk_bytes(s) == 0) return fail(why, "a chunk too large to code");
    return true;
}

bool set_chunk_shape(ChunkSettings& s, int ndim, const std::uint64_t* dims, std::string& why) {
    if (ndim < 1 || ndim > VNT_MAX_NDIM) return fail(why, "the dataset must be chunked with 1 to 32 dimensions");
    if (s.axis < -ndim || s.axis >= ndim)
        return fail(why, "lane axis " + std::to_string(s.axis) + " is out of range for a chunk of " +
                             std::to_string(ndim) + " dimension" + (ndim > 1 ? "s" : ""));
    for (int i = 0; i < ndim; ++i)
        if (dims[i] == 0 || dims[i] > std::numeric_limits<std::uint32_t>::max())
            return fail(why, "chunk dimensions must be from 1 to 2^32 - 1");
    const int axis = s.axis < 0 ? s.axis + ndim : s.axis;
    if (ndim <= H5VANTORESK_MAX_CODED_NDIM) {
        s.ndim = ndim;
        for (int i = 0; i < ndim; ++i) s.dims[i] = dims[i];
    } else {
        std::uint64_t before = 1, after = 1;
        for (int i = 0; i < axis; ++i) before *= dims[i];
        for (int i = axis + 1; i < ndim; ++i) after *= dims[i];
        if (before > std::numeric_limits<std::uint32_t>::max() || after > std::numeric_limits<std::uint32_t>::max())
            return fail(why, "a chunk too large to code");
        s.ndim = 3;
        s.dims[0] = before;
        s.dims[1] = dims[axis];
        s.dims[2] = after;
        s.axis = 1;
    }
    s.has_chunk = true;
    if (chunk_bytes(s) == 0) return fail(why, "a chunk too large to code");
    return true;
}

std::size_t write_settings(const ChunkSettings& s, unsigned out[H5VANTORESK_CD_MAX]) {
    const auto bits = std::bit_cast<std::uint64_t>(s.target_kind == VNT_TARGET_NONE ? 0.0 : s.target);
    out[H5VANTORESK_CD_LAYOUT] = H5VANTORESK_CD_VERSION;
    out[H5VANTORESK_CD_AXIS] = static_cast<unsigned>(static_cast<std::int32_t>(s.axis));
    out[H5VANTORESK_CD_DTYPE] = static_cast<unsigned>(s.dtype);
    out[H5VANTORESK_CD_METHOD] = s.method;
    out[H5VANTORESK_CD_SCALE] = static_cast<unsigned>(s.scale);
    out[H5VANTORESK_CD_CUTOFF] = s.cutoff;
    out[H5VANTORESK_CD_CODER] = s.coder;
    out[H5VANTORESK_CD_TARGET_KIND] = s.target_kind;
    out[H5VANTORESK_CD_TARGET_HIGH] = static_cast<unsigned>(bits >> 32);
    out[H5VANTORESK_CD_TARGET_LOW] = static_cast<unsigned>(bits & 0xFFFFFFFFu);
    if (!s.has_chunk) return H5VANTORESK_CD_USER_COUNT;
    out[H5VANTORESK_CD_BYTE_ORDER] = static_cast<unsigned>(s.big_endian);
    out[H5VANTORESK_CD_NDIM] = static_cast<unsigned>(s.ndim);
    for (int i = 0; i < s.ndim; ++i) out[H5VANTORESK_CD_DIMS + i] = static_cast<unsigned>(s.dims[i]);
    return H5VANTORESK_CD_DIMS + static_cast<std::size_t>(s.ndim);
}

std::uint64_t chunk_bytes(const ChunkSettings& s) {
    // Chunks are at most 4 GiB in HDF5; anything larger is refused outright.
    constexpr std::uint64_t limit = std::uint64_t{1} << 32;
    std::uint64_t bytes = element_size(s.dtype);
    for (int i = 0; i < s.ndim; ++i) {
        if (bytes == 0 || s.dims[i] > limit / bytes) return 0;
        bytes *= s.dims[i];
    }
    return bytes;
}

vnt_options codec_options(const ChunkSettings& s) {
    vnt_options options;
    vnt_options_init(&options);
    options.method = s.method;
    options.scale = s.scale;
    options.cutoff = s.cutoff;
    options.coder = s.coder;
    options.axis = s.axis;
    options.target_kind = s.target_kind;
    options.targets = s.target_kind == VNT_TARGET_NONE ? nullptr : &s.target;
    options.target_count = s.target_kind == VNT_TARGET_NONE ? 0 : 1;
    return options;
}

vnt_layout chunk_layout(const ChunkSettings& s) {
    vnt_layout layout{};
    layout.dtype = static_cast<vnt_dtype>(s.dtype);
    layout.big_endian = s.big_endian;
    layout.order = 'C';
    layout.ndim = s.ndim;
    for (int i = 0; i < s.ndim; ++i) layout.shape[i] = s.dims[i];
    return layout;
}

}  // namespace vantoresk::h5
