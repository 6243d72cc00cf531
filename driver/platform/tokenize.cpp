#include "driver/platform/tokenize.h"

#include "driver/platform/kassert.h"

char* kpav_strtok_r(char* text, const char* separators, char** save) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    char* p = text != nullptr ? text : *save;
    if (p == nullptr) {
        return nullptr;
    }
    while (*p != 0 && strchr(separators, *p) != nullptr) {
        p++;
    }
    if (*p == 0) {
        *save = p;
        return nullptr;
    }
    char* token = p;
    while (*p != 0 && strchr(separators, *p) == nullptr) {
        p++;
    }
    if (*p != 0) {
        *p = 0;
        *save = p + 1;
    } else {
        *save = p;
    }
    return token;
}
