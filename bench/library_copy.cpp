#include "library_copy.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <typename F>
void bind(void* handle, const char* symbol, F& f) {
    void* p = dlsym(handle, symbol);
    if (p == nullptr) {
        std::fprintf(stderr, "no %s: %s\n", symbol, dlerror());
        std::exit(2);
    }
    f = reinterpret_cast<F>(p);
}

}  // namespace

library load_library(const std::string& name, const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        std::exit(2);
    }
    library lib;
    lib.name = name;
    bind(h, "Orvane_create", lib.create);
    bind(h, "Orvane_destroy", lib.destroy);
    bind(h, "Orvane_get_gainmap_2pd", lib.get_gainmap_2pd);
    bind(h, "Orvane_get_gainmap", lib.get_gainmap);
    bind(h, "Orvane_get_gainmap_vertical", lib.get_gainmap_vertical);
    bind(h, "Orvane_add_raw_2pd", lib.add_raw_2pd);
    bind(h, "Orvane_add_raw", lib.add_raw);
    bind(h, "Orvane_add_raw_vertical", lib.add_raw_vertical);
    bind(h, "Orvane_get_dccmap", lib.get_dccmap);
    return lib;
}
