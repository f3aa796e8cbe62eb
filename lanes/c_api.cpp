// The C interface: plain structs in, status codes and messages out. No C++
// exception leaves these functions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "include/vantoresk.h"
#include "lanes/codec.hpp"

#ifndef VANTORESK_VERSION_STRING
#define VANTORESK_VERSION_STRING "0.1.0"
#endif

namespace {

using vantoresk::lanes::LaneError;

vnt_status report(vnt_error* err, vnt_status status, const std::string& message) {
    if (err != nullptr) {
        err->status = status;
        const std::size_t n = std::min(message.size(), std::size_t{VNT_ERROR_MESSAGE_SIZE - 1});
        std::memcpy(err->message, message.data(), n);
        err->message[n] = '\0';
        for (std::size_t i = 0; i < n; ++i)
            if (err->message[i] == '\n' || err->message[i] == '\r') err->message[i] = ' ';
    }
    return status;
}

vnt_status report(vnt_error* err, const LaneError& e) { return report(err, e.status, e.message); }

vnt_status ok(vnt_error* err) {
    if (err != nullptr) {
        err->status = VNT_OK;
        err->message[0] = '\0';
    }
    return VNT_OK;
}

template <class F>
vnt_status guarded(vnt_error* err, F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return report(err, VNT_OUT_OF_MEMORY, "Out of memory");
    } catch (...) {
        return report(err, VNT_INTERNAL, "unexpected internal error");
    }
}

void fill_layout(const vantoresk::lanes::FrameHeader& h, vnt_layout& l) {
    l.dtype = h.dtype;
    l.big_endian = h.big_endian ? 1 : 0;
    l.order = h.order;
    l.ndim = h.ndim;
    for (int d = 0; d < VNT_MAX_NDIM; ++d) l.shape[d] = d < h.ndim ? h.shape[d] : 0;
}

}  // namespace

extern "C" {

VNT_API void vnt_options_init(vnt_options* options) {
    if (options == nullptr) return;
    options->method = VNT_CDF97;
    options->scale = 11;
    options->cutoff = VNT_CUTOFF_LOW;
    options->coder = VNT_CODER_AUTO;
    options->axis = -1;
    options->target_kind = VNT_TARGET_NONE;
    options->targets = nullptr;
    options->target_count = 0;
}

VNT_API vnt_status vnt_encode(const void* data, const vnt_layout* layout, const vnt_options* options, void** frame,
                              size_t* frame_size, vnt_error* err) {
    return guarded(err, [&]() -> vnt_status {
        if (layout == nullptr || frame == nullptr || frame_size == nullptr)
            return report(err, VNT_INVALID_ARGUMENT, "layout, frame and frame_size must not be NULL");
        *frame = nullptr;
        *frame_size = 0;
        vnt_options defaults;
        vnt_options_init(&defaults);
        const vnt_options& o = options != nullptr ? *options : defaults;
        if (layout->ndim < 1 || layout->ndim > VNT_MAX_NDIM)
            return report(err, VNT_INVALID_ARGUMENT, "ndim must be 1 to 32");
        if (!vantoresk::lanes::dtype_known(layout->dtype)) return report(err, VNT_INVALID_ARGUMENT, "unknown dtype");
        std::uint64_t elements = 1;
        for (int d = 0; d < layout->ndim; ++d) {
            const std::uint64_t s = layout->shape[d];
            if (s != 0 && elements > vantoresk::lanes::kMaxElements / s)
                return report(err, VNT_INVALID_ARGUMENT, "the chunk is too large for one frame");
            elements *= s;
        }
        const std::uint64_t bytes = elements * vantoresk::lanes::itemsize(layout->dtype);
        if (bytes != 0 && data == nullptr) return report(err, VNT_INVALID_ARGUMENT, "data must not be NULL");
        const auto* p = static_cast<const std::uint8_t*>(data);
        auto made = vantoresk::lanes::encode_frame(std::span<const std::uint8_t>(p, bytes), *layout, o);
        if (!made) return report(err, made.error());
        void* out = std::malloc(made->size() ? made->size() : 1);
        if (out == nullptr) return report(err, VNT_OUT_OF_MEMORY, "Out of memory");
        std::memcpy(out, made->data(), made->size());
        *frame = out;
        *frame_size = made->size();
        return ok(err);
    });
}

VNT_API vnt_status vnt_frame_info(const void* frame, size_t frame_size, struct vnt_frame_info* info, vnt_error* err) {
    return guarded(err, [&]() -> vnt_status {
        if (info == nullptr || (frame == nullptr && frame_size != 0))
            return report(err, VNT_INVALID_ARGUMENT, "frame and info must not be NULL");
        auto v = vantoresk::lanes::open_frame(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(frame), frame_size));
        if (!v) return report(err, v.error());
        std::memset(info, 0, sizeof(*info));
        info->version = v->head.version;
        fill_layout(v->head, info->layout);
        info->axis = v->head.axis;
        info->lane_count = v->head.lane_count();
        info->lane_length = v->head.lane_length();
        info->decoded_bytes = vantoresk::lanes::decoded_bytes(v->head);
        return ok(err);
    });
}

VNT_API vnt_status vnt_decode(const void* frame, size_t frame_size, void* out, size_t out_size, vnt_error* err) {
    return guarded(err, [&]() -> vnt_status {
        if ((frame == nullptr && frame_size != 0) || (out == nullptr && out_size != 0))
            return report(err, VNT_INVALID_ARGUMENT, "frame and out must not be NULL");
        auto s = vantoresk::lanes::decode_frame(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(frame), frame_size),
            std::span<std::uint8_t>(static_cast<std::uint8_t*>(out), out_size));
        if (!s) return report(err, s.error());
        return ok(err);
    });
}

VNT_API vnt_status vnt_lane_info(const void* frame, size_t frame_size, uint64_t lane, struct vnt_lane_info* info,
                                 vnt_error* err) {
    return guarded(err, [&]() -> vnt_status {
        if (info == nullptr || (frame == nullptr && frame_size != 0))
            return report(err, VNT_INVALID_ARGUMENT, "frame and info must not be NULL");
        auto r = vantoresk::lanes::lane_info(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(frame), frame_size), lane);
        if (!r) return report(err, r.error());
        *info = *r;
        return ok(err);
    });
}

VNT_API void vnt_free(void* frame) { std::free(frame); }

VNT_API const char* vnt_version(void) { return "vantoresk " VANTORESK_VERSION_STRING; }

}  // extern "C"
