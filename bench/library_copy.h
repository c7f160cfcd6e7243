// The entry points the production benchmark calls: the linked library's,
// or those of another build loaded with dlopen (its own copy, RTLD_LOCAL),
// for A/B runs of two commits in one process.
#pragma once

#include <string>

#include "orvane.h"

struct library {
    std::string name;
    decltype(&Orvane_create) create = Orvane_create;
    decltype(&Orvane_destroy) destroy = Orvane_destroy;
    decltype(&Orvane_get_gainmap_2pd) get_gainmap_2pd = Orvane_get_gainmap_2pd;
    decltype(&Orvane_get_gainmap) get_gainmap = Orvane_get_gainmap;
    decltype(&Orvane_get_gainmap_vertical) get_gainmap_vertical = Orvane_get_gainmap_vertical;
    decltype(&Orvane_add_raw_2pd) add_raw_2pd = Orvane_add_raw_2pd;
    decltype(&Orvane_add_raw) add_raw = Orvane_add_raw;
    decltype(&Orvane_add_raw_vertical) add_raw_vertical = Orvane_add_raw_vertical;
    decltype(&Orvane_get_dccmap) get_dccmap = Orvane_get_dccmap;
};

// The build at `path`; exits with a message when it cannot be loaded or
// lacks an entry point.
library load_library(const std::string& name, const std::string& path);
