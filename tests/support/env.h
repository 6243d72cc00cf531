// Numbers a test takes from its environment (a seed to replay, a longer soak), or its default.
#pragma once

#include <cstdint>
#include <cstdlib>

// The variable `name` as a number (decimal, or 0x hex), or `fallback` when it is unset or empty.
inline uint64_t env_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 0) : fallback;
}
