// hdf5_calls.cpp: finding the HDF5 functions the plugin needs in the HDF5
// that loaded it. Python packages and R load HDF5 privately (RTLD_LOCAL), so
// a plain lookup in the process may not see it: the library is found from a
// return address inside it (the HDF5 code that called the filter), then from
// the process, then among the loaded objects. Nothing is cached: two HDF5
// builds can live in one process, and each call asks the one that called.
#include "hdf5/hdf5_abi.hpp"

#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace vantoresk::h5 {
namespace {

// A handle on one loaded library (not loading anything new), closed on exit.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* path) {
        if (path != nullptr && path[0] != '\0') handle_ = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    }
    ~LoadedLibrary() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    void* find(const char* symbol) const { return handle_ == nullptr ? nullptr : dlsym(handle_, symbol); }

private:
    void* handle_ = nullptr;
};

int find_exporting_object(dl_phdr_info* info, std::size_t, void* data) {
    auto* found = static_cast<std::string*>(data);
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "hdf5") == nullptr) return 0;
    LoadedLibrary lib(info->dlpi_name);
    if (lib.find("H5Pmodify_filter") == nullptr) return 0;
    *found = info->dlpi_name;
    return 1;
}

// Where to look: the object holding `caller`, else the process, else the
// first loaded object with "hdf5" in its name that exports the calls.
template <typename Fn>
void with_symbols(const void* caller, Fn&& use) {
    Dl_info where{};
    if (caller != nullptr && dladdr(caller, &where) != 0 && where.dli_fname != nullptr) {
        LoadedLibrary lib(where.dli_fname);
        if (lib.find("H5Pmodify_filter") != nullptr) {
            use([&lib](const char* name) { return lib.find(name); });
            return;
        }
    }
    if (dlsym(RTLD_DEFAULT, "H5Pmodify_filter") != nullptr) {
        use([](const char* name) { return dlsym(RTLD_DEFAULT, name); });
        return;
    }
    std::string path;
    dl_iterate_phdr(find_exporting_object, &path);
    LoadedLibrary lib(path.c_str());
    use([&lib](const char* name) { return lib.find(name); });
}

template <typename T>
void bind(T& slot, void* symbol) {
    slot = reinterpret_cast<T>(symbol);
}

}  // namespace

bool Hdf5Calls::complete() const {
    return get_chunk && get_filter && modify_filter && type_class && type_size && type_precision && type_order &&
           type_sign;
}

Hdf5Calls resolve_hdf5_calls(const void* caller) {
    Hdf5Calls calls;
    with_symbols(caller, [&calls](auto find) {
        bind(calls.get_chunk, find("H5Pget_chunk"));
        bind(calls.get_filter, find("H5Pget_filter_by_id2"));
        bind(calls.modify_filter, find("H5Pmodify_filter"));
        bind(calls.type_class, find("H5Tget_class"));
        bind(calls.type_size, find("H5Tget_size"));
        bind(calls.type_precision, find("H5Tget_precision"));
        bind(calls.type_order, find("H5Tget_order"));
        bind(calls.type_sign, find("H5Tget_sign"));
    });
    return calls;
}

void report_error(const void* caller, const char* minor, const char* function, const char* message) {
    using PushFn = herr_t (*)(hid_t, const char*, const char*, unsigned, hid_t, hid_t, hid_t, const char*, ...);
    bool pushed = false;
    with_symbols(caller, [&](auto find) {
        auto push = reinterpret_cast<PushFn>(find("H5Epush2"));
        const std::string minor_name = std::string("H5E_") + minor + "_g";
        auto* error_class = static_cast<const hid_t*>(find("H5E_ERR_CLS_g"));
        auto* major = static_cast<const hid_t*>(find("H5E_PLINE_g"));
        auto* minor_id = static_cast<const hid_t*>(find(minor_name.c_str()));
        if (push == nullptr || error_class == nullptr || major == nullptr || minor_id == nullptr) return;
        pushed = push(kErrorStackDefault, "libh5vantoresk", function, 0u, *error_class, *major,
                      *minor_id, "%s", message) >= 0;
    });
    if (!pushed) std::fprintf(stderr, "vantoresk HDF5 filter: %s\n", message);
}

}  // namespace vantoresk::h5
