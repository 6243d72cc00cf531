// The control code of a card request and the Linux-style ioctl number it carries. A code is
// CTL_CODE(type, 0x800 + number, METHOD_NEITHER, access); the number is
// direction << 30 | size << 16 | type letter << 8 | number, the size being the request's input
// length.
#pragma once

#include "driver/control/control_codes.h"
#include "driver/platform/os.h"

constexpr ULONG PAV_METHOD_NEITHER = 3;

// The Linux number of a code sent with `input_length` bytes; false when the pair cannot carry
// one (an input of 0x4000 bytes or more would spill into the direction bits, a function below
// 0x800 into every bit).
inline bool pav_ctl_code_to_linux(ULONG code, ULONG input_length, ULONG* number) {
    ULONG function = code >> 2 & 0xFFF;
    if (input_length >= 0x4000 || function < 0x800) {
        return false;
    }
    *number = ((code & 0xFFFFC000u) | input_length) << 16 | (function - 0x800) | (code >> 8 & 0xFFFF00u);
    return true;
}

// The control code and input length that carry a Linux number.
inline void pav_linux_to_ctl_code(ULONG number, ULONG* code, ULONG* input_length) {
    ULONG direction = number >> 30;
    ULONG type = number >> 8 & 0xFF;
    ULONG nr = number & 0xFF;
    *input_length = pav_ioctl_size(number);
    *code = type << 16 | direction << 14 | (nr + 0x800) << 2 | PAV_METHOD_NEITHER;
}
