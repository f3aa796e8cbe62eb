// hdf5_abi.hpp: the few HDF5 types and calls the filter plugin uses, declared
// here so the plugin builds without HDF5 headers and loads into any HDF5 from
// 1.10 on (hid_t is 64 bits there). The calls are looked up at run time in the
// HDF5 that called the plugin (see Hdf5Calls), never linked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantoresk::h5 {

using hid_t = std::int64_t;
using herr_t = int;
using htri_t = int;
using hsize_t = std::uint64_t;
using H5Z_filter_t = int;

constexpr int kPluginTypeFilter = 0;     // H5PL_TYPE_FILTER
constexpr int kFilterClassVersion = 1;   // H5Z_CLASS_T_VERS
constexpr unsigned kFlagReverse = 0x0100; // H5Z_FLAG_REVERSE
constexpr hid_t kErrorStackDefault = 0;  // H5E_DEFAULT

// H5T_class_t, H5T_order_t, H5T_sign_t values we test for.
constexpr int kClassInteger = 0;
constexpr int kClassFloat = 1;
constexpr int kOrderLittle = 0;
constexpr int kOrderBig = 1;
constexpr int kSignNone = 0;
constexpr int kSignTwos = 1;

using CanApplyFn = htri_t (*)(hid_t dcpl, hid_t type, hid_t space);
using SetLocalFn = herr_t (*)(hid_t dcpl, hid_t type, hid_t space);
using FilterFn = std::size_t (*)(unsigned flags, std::size_t cd_nelmts, const unsigned cd_values[],
                                 std::size_t nbytes, std::size_t* buf_size, void** buf);

// H5Z_class2_t, field for field.
struct FilterClass2 {
    int version;
    H5Z_filter_t id;
    unsigned encoder_present;
    unsigned decoder_present;
    const char* name;
    CanApplyFn can_apply;
    SetLocalFn set_local;
    FilterFn filter;
};

// The HDF5 functions the plugin calls, resolved from the library whose code
// is at `caller` (a return address inside it), else from the process.
struct Hdf5Calls {
    int (*get_chunk)(hid_t, int, hsize_t*) = nullptr;                // H5Pget_chunk
    herr_t (*get_filter)(hid_t, H5Z_filter_t, unsigned*, std::size_t*, unsigned*, std::size_t, char*,
                         unsigned*) = nullptr;                          // H5Pget_filter_by_id2
    herr_t (*modify_filter)(hid_t, H5Z_filter_t, unsigned, std::size_t, const unsigned*) = nullptr;
    int (*type_class)(hid_t) = nullptr;                                // H5Tget_class
    std::size_t (*type_size)(hid_t) = nullptr;                         // H5Tget_size
    std::size_t (*type_precision)(hid_t) = nullptr;                    // H5Tget_precision
    int (*type_order)(hid_t) = nullptr;                                // H5Tget_order
    int (*type_sign)(hid_t) = nullptr;                                 // H5Tget_sign

    // True when every call above was found.
    bool complete() const;
};

Hdf5Calls resolve_hdf5_calls(const void* caller);

// Reports `message` on HDF5's error stack (pipeline errors, with `minor` one
// of "CANAPPLY", "SETLOCAL", "CANTFILTER"), or on stderr when the HDF5
// error calls cannot be found.
void report_error(const void* caller, const char* minor, const char* function, const char* message);

}  // namespace vantoresk::h5
