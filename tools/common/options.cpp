#include "tools/common/options.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool is_option(const char* argument) {
    return argument[0] == '-' && argument[1] != 0;
}

// The row a long option's text names (exact, or the one row it is a prefix of); -1 when it names
// none, -2 when it is a prefix of several.
int find_long(const tool_option* longs, const char* text, size_t length) {
    int found = -1;
    for (int i = 0; longs != nullptr && longs[i].name != nullptr; i++) {
        if (std::strncmp(longs[i].name, text, length) != 0) {
            continue;
        }
        if (std::strlen(longs[i].name) == length) {
            return i;
        }
        found = found == -1 ? i : -2;
    }
    return found;
}

// How many arguments the option argument at `at` uses (itself, and the next one when that is its
// argument).
int option_width(int argc, char** argv, int at, const char* shorts, const tool_option* longs) {
    const char* a = argv[at];
    if (a[1] == '-') {
        const char* text = a + 2;
        const char* equals = std::strchr(text, '=');
        size_t length = equals != nullptr ? (size_t)(equals - text) : std::strlen(text);
        int row = find_long(longs, text, length);
        bool takes_next = row >= 0 && equals == nullptr && longs[row].has_argument == tool_required_argument;
        return takes_next && at + 1 < argc ? 2 : 1;
    }
    for (const char* c = a + 1; *c != 0; c++) {
        const char* entry = *c != ':' ? std::strchr(shorts, *c) : nullptr;
        if (entry != nullptr && entry[1] == ':') {
            return c[1] == 0 && at + 1 < argc ? 2 : 1;  // the rest of the group, or the next argument
        }
    }
    return 1;
}

// Puts the options (with their arguments) before the operands, each in its order; "--" and
// everything after it stay operands.
void permute(int argc, char** argv, const char* shorts, const tool_option* longs) {
    std::vector<char*> options;
    std::vector<char*> operands;
    int at = 1;
    while (at < argc) {
        if (std::strcmp(argv[at], "--") == 0) {
            options.push_back(argv[at]);
            for (at++; at < argc; at++) {
                operands.push_back(argv[at]);
            }
            break;
        }
        if (!is_option(argv[at])) {
            operands.push_back(argv[at++]);
            continue;
        }
        int width = option_width(argc, argv, at, shorts, longs);
        for (int i = 0; i < width; i++) {
            options.push_back(argv[at++]);
        }
    }
    int i = 1;
    for (char* a : options) {
        argv[i++] = a;
    }
    for (char* a : operands) {
        argv[i++] = a;
    }
}

int long_option(int argc, char** argv, const tool_option* longs, int* long_index, tool_options* s) {
    const char* text = argv[s->index] + 2;
    s->index++;
    const char* equals = std::strchr(text, '=');
    size_t length = equals != nullptr ? (size_t)(equals - text) : std::strlen(text);
    int row = find_long(longs, text, length);
    if (row == -1) {
        std::fprintf(stderr, "Unknown option -- %.*s\n", (int)length, text);
        return '?';
    }
    if (row == -2) {
        std::fprintf(stderr, "Ambiguous option -- %.*s\n", (int)length, text);
        return '?';
    }
    const tool_option& o = longs[row];
    if (equals != nullptr) {
        if (o.has_argument == tool_no_argument) {
            std::fprintf(stderr, "Option doesn't take an argument -- %.*s\n", (int)length, text);
            return '?';
        }
        s->argument = equals + 1;
    } else if (o.has_argument == tool_required_argument) {
        if (s->index >= argc) {
            std::fprintf(stderr, "Option requires an argument -- %s\n", o.name);
            return '?';
        }
        s->argument = argv[s->index++];
    }
    if (long_index != nullptr) {
        *long_index = row;
    }
    if (o.flag != nullptr) {
        *o.flag = o.value;
        return 0;
    }
    return o.value;
}

}  // namespace

int tool_getopt_long(int argc, char** argv, const char* shorts, const tool_option* longs, int* long_index,
                     tool_options* s) {
    s->argument = nullptr;
    if (!s->permuted) {
        s->permuted = true;
        if (std::getenv("POSIXLY_CORRECT") == nullptr) {
            permute(argc, argv, shorts, longs);
        }
    }
    if (s->next == nullptr || *s->next == 0) {
        s->next = nullptr;
        if (s->index >= argc || !is_option(argv[s->index])) {
            return -1;
        }
        if (std::strcmp(argv[s->index], "--") == 0) {
            s->index++;
            return -1;
        }
        if (argv[s->index][1] == '-') {
            return long_option(argc, argv, longs, long_index, s);
        }
        s->next = argv[s->index++] + 1;
    }
    char c = *s->next++;
    const char* entry = c != ':' ? std::strchr(shorts, c) : nullptr;
    if (entry == nullptr) {
        s->unknown = c;
        std::fprintf(stderr, "Unknown option -- %c\n", c);
        return '?';
    }
    if (entry[1] == ':') {
        if (*s->next != 0) {
            s->argument = s->next;
        } else if (s->index < argc) {
            s->argument = argv[s->index++];
        } else {
            s->unknown = c;
            std::fprintf(stderr, "Option requires an argument -- %c\n", c);
            s->next = nullptr;
            return '?';
        }
        s->next = nullptr;
    }
    return c;
}
