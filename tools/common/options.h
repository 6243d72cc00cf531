// Command-line options with the semantics of getopt_long: short options in one string (a ':'
// after a letter: it takes an argument), long options in a table, a long option abbreviated to
// any unambiguous prefix, "--name=value" or "--name value", "--" ending the options. Options may
// follow operands (the first call moves the operands behind the options, each keeping its order)
// unless the environment has POSIXLY_CORRECT, which ends option scanning at the first operand.
// Diagnostics go to standard error.
#pragma once

#include <cstdio>

enum tool_option_argument { tool_no_argument = 0, tool_required_argument = 1, tool_optional_argument = 2 };

struct tool_option {
    const char* name;
    int has_argument;  // tool_option_argument
    int* flag;         // when set: *flag = value and the call returns 0
    int value;
};

struct tool_options {
    int index = 1;                  // the next argument to look at; after -1, the first operand
    const char* argument = nullptr; // the option's argument
    int unknown = 0;                // the option character that was not known
    const char* next = nullptr;     // within a group of short options
    bool permuted = false;          // the operands are behind the options
};

// The next option: its character (or the long option's value), 0 for a long option that sets its
// flag, '?' for an unknown option or a missing argument (after the diagnostic), -1 when options
// end. `longs` ends with a row whose name is null; `long_index` (may be null) gets the row.
int tool_getopt_long(int argc, char** argv, const char* shorts, const tool_option* longs, int* long_index,
                     tool_options* state);
