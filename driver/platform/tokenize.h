// A re-entrant tokenizer for the driver's text values (lists of numbers, device lists).
#pragma once

#include "driver/platform/os.h"

// The next token of `text` (the first call) or of what `*save` points at (NULL text): runs of
// separator characters are skipped, the token's end is cut with a NUL and *save moves past it.
// NULL when no token is left (and *save stays at the end). Any IRQL.
char* kpav_strtok_r(char* text, const char* separators, char** save);
