// A kinfo query record as the control interface hands it over, for the tests of kinfo nodes.
#pragma once

#include <cstring>
#include <string>

#include "driver/platform/kinfo.h"

inline kinfo_query make_query(const std::string& name, ULONG size, ULONG type, ULONG mode) {
    kinfo_query q{};
    strncpy(q.name, name.c_str(), sizeof q.name - 1);
    q.size = size;
    q.type = type;
    q.mode = mode;
    return q;
}
