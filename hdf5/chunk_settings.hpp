// chunk_settings.hpp: the filter's cd_values (layout in h5vantoresk.h) read
// into the lane codec's options and a chunk's layout, and written back.
// Every value is checked here, so the filter itself never sees a bad one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hdf5/h5vantoresk.h"
#include "include/vantoresk.h"

namespace vantoresk::h5 {

struct ChunkSettings {
    int axis = -1;
    int dtype = 0;  // vnt_dtype, 0 until the dataset's type is known
    vnt_method method = VNT_CDF97;
    int scale = 11;
    vnt_cutoff cutoff = VNT_CUTOFF_LOW;
    vnt_coder coder = VNT_CODER_AUTO;
    vnt_target_kind target_kind = VNT_TARGET_NONE;
    double target = 0.0;
    // Set when the dataset is created.
    bool has_chunk = false;
    int big_endian = 0;
    int ndim = 0;
    std::uint64_t dims[H5VANTORESK_MAX_CODED_NDIM] = {};
};

// Reads what a user gives (words 0 to 9, missing ones take the defaults).
// False with `why` filled when a value is out of range.
bool read_user_settings(std::size_t cd_nelmts, const unsigned cd_values[], ChunkSettings& settings, std::string& why);

// Reads all of them: the user's and the chunk facts (words 10 on), which must
// be present and consistent.
bool read_chunk_settings(std::size_t cd_nelmts, const unsigned cd_values[], ChunkSettings& settings, std::string& why);

// The complete list for a dataset; returns the number of words written into
// `out` (room for H5VANTORESK_CD_MAX).
std::size_t write_settings(const ChunkSettings& settings, unsigned out[H5VANTORESK_CD_MAX]);

// Sets the chunk facts from the chunk's dimensions (1 to 32 of them, slowest
// first), collapsing more than four into (before, lane, after) around the
// lane axis. False with `why` when the axis does not fit the chunk.
bool set_chunk_shape(ChunkSettings& settings, int ndim, const std::uint64_t* dims, std::string& why);

// Bytes per element of a vnt_dtype, 0 for an unknown one.
std::size_t element_size(int dtype);

// The chunk's size in bytes by the settings (has_chunk must be true), or 0
// when it overflows.
std::uint64_t chunk_bytes(const ChunkSettings& settings);

// The lane codec's view of the settings: options (pointing at settings.target)
// and the chunk's layout.
vnt_options codec_options(const ChunkSettings& settings);
vnt_layout chunk_layout(const ChunkSettings& settings);

}  // namespace vantoresk::h5
