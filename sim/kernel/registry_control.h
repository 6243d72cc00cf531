// The registry's control surface, for the machine and for tests: values set and read by path
// without handles, and the whole registry saved to and loaded from a text file in the machine's
// state directory. The system's code never includes this header.
//
// Paths are full key paths, "\Registry\Machine\System\CurrentControlSet\Services\strovane"
// for instance; keys named on the way are created as needed. Names compare without case.
//
// The file is line based:
//   [\Registry\Machine\System\...\Parameters]      a key (names with '%', ']' or control
//                                                  characters are %-escaped)
//   "COMPLETION_POLL_MS"=dword:0000000a            a REG_DWORD of 4 bytes
//   "PAV_AFFINITY"=sz:"3,N1"                       a REG_SZ with one terminator, nothing else NUL
//   "LIST"=multi_sz:"a","b"                        a well-formed REG_MULTI_SZ
//   "RAW"=hex(3):01,02,ff                          anything else: type and bytes
// Strings are UTF-8 with \" \\ \n \r \t and \xNN escapes; '#' starts a comment line. A saved file
// begins with "# velkor registry 2" and ends with "# end of registry": a file with that first line
// must have that last line, and every file ends its last line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/types.h"

namespace sim::kernel {

struct registry_value {
    ULONG type = 0;
    std::vector<uint8_t> data;
};

// Any type with any bytes (also malformed data: a REG_SZ without terminator, a short DWORD).
void registry_set(const std::string& key_path, const std::string& name, ULONG type, std::vector<uint8_t> data);
void registry_set_dword(const std::string& key_path, const std::string& name, uint32_t value);
// A REG_SZ of the UTF-8 text, converted to UTF-16 with its terminator.
void registry_set_string(const std::string& key_path, const std::string& name, const std::string& text);
void registry_set_multi_string(const std::string& key_path, const std::string& name,
                               const std::vector<std::string>& texts);

std::optional<registry_value> registry_get(const std::string& key_path, const std::string& name);
std::optional<uint32_t> registry_get_dword(const std::string& key_path, const std::string& name);
// The text of a REG_SZ (up to its first NUL), as UTF-8.
std::optional<std::string> registry_get_string(const std::string& key_path, const std::string& name);
// Value names of a key in order; empty when the key does not exist.
std::vector<std::string> registry_value_names(const std::string& key_path);
bool registry_key_exists(const std::string& key_path);
void registry_create_key(const std::string& key_path);
bool registry_delete_value(const std::string& key_path, const std::string& name);

// Empties the registry (only "\Registry\Machine" and "\Registry\User" remain). Handles opened
// before stay valid and name keys no longer reachable.
void registry_clear();
// true on success, else `error` says why. A save replaces the file atomically (the old file or the
// new one survives a crash); a load replaces the whole registry only when every line parses and
// the file is whole, else it reports the first bad line ("file:line: why") and changes nothing.
bool registry_save(const std::string& file, std::string* error = nullptr);
bool registry_load(const std::string& file, std::string* error = nullptr);

}  // namespace sim::kernel
