#include "sim/kernel/bitmap.h"

#include <algorithm>
#include <cstring>

#include "sim/kernel/irql.h"

namespace {

constexpr ULONG not_found = 0xFFFFFFFFu;

ULONG word_count(const RTL_BITMAP* bitmap) {
    return (ULONG)(((uint64_t)bitmap->SizeOfBitMap + 31) / 32);
}

bool bit_of(const RTL_BITMAP* bitmap, ULONG index) {
    return ((bitmap->Buffer[index / 32] >> (index % 32)) & 1) != 0;
}

void check_range(const RTL_BITMAP* bitmap, ULONG start, ULONG length) {
    NT_ASSERT(length <= bitmap->SizeOfBitMap && start <= bitmap->SizeOfBitMap - length);
}

void write_range(PRTL_BITMAP bitmap, ULONG start, ULONG length, bool value) {
    check_range(bitmap, start, length);
    ULONG i = start;
    ULONG end = start + length;
    while (i < end) {
        ULONG bit = i % 32;
        ULONG in_word = std::min<ULONG>(32 - bit, end - i);
        ULONG mask = in_word == 32 ? 0xFFFFFFFFu : ((1u << in_word) - 1) << bit;
        if (value) {
            bitmap->Buffer[i / 32] |= mask;
        } else {
            bitmap->Buffer[i / 32] &= ~mask;
        }
        i += in_word;
    }
}

// The first index in [from, limit) whose bit has `value`, or `limit`. Skips whole words that
// hold none, so that a search through a large, mostly full map stays quick.
ULONG next_with_value(const RTL_BITMAP* bitmap, ULONG from, ULONG limit, bool value) {
    ULONG i = from;
    while (i < limit) {
        ULONG word = bitmap->Buffer[i / 32];
        if (!value) {
            word = ~word;
        }
        word >>= i % 32;
        if (word == 0) {
            i = (i / 32 + 1) * 32;
            continue;
        }
        ULONG found = i + (ULONG)__builtin_ctz(word);
        return found < limit ? found : limit;
    }
    return limit;
}

// The first start in [from, last_start) of a run of `count` (> 0) bits of `value` that fits in
// the map, or not_found.
ULONG find_run(const RTL_BITMAP* bitmap, ULONG count, bool value, ULONG from, ULONG last_start) {
    ULONG size = bitmap->SizeOfBitMap;
    while (from < last_start) {
        ULONG start = next_with_value(bitmap, from, size, value);
        if (start >= last_start || count > size - start) {
            return not_found;
        }
        ULONG end = next_with_value(bitmap, start, start + count, !value);
        if (end == start + count) {
            return start;
        }
        from = end;
    }
    return not_found;
}

ULONG find_wrapping(const RTL_BITMAP* bitmap, ULONG count, bool value, ULONG hint) {
    if (count == 0) {
        return 0;
    }
    if (count > bitmap->SizeOfBitMap) {
        return not_found;
    }
    if (hint >= bitmap->SizeOfBitMap) {
        hint = 0;
    }
    ULONG found = find_run(bitmap, count, value, hint, bitmap->SizeOfBitMap);
    if (found == not_found && hint != 0) {
        found = find_run(bitmap, count, value, 0, hint);
    }
    return found;
}

ULONG count_set(const RTL_BITMAP* bitmap) {
    ULONG total = 0;
    ULONG full_words = bitmap->SizeOfBitMap / 32;
    for (ULONG w = 0; w < full_words; w++) {
        total += (ULONG)__builtin_popcount(bitmap->Buffer[w]);
    }
    ULONG tail = bitmap->SizeOfBitMap % 32;
    if (tail != 0) {
        total += (ULONG)__builtin_popcount(bitmap->Buffer[full_words] & ((1u << tail) - 1));
    }
    return total;
}

bool range_is(const RTL_BITMAP* bitmap, ULONG start, ULONG length, bool value) {
    if (length == 0 || length > bitmap->SizeOfBitMap || start > bitmap->SizeOfBitMap - length) {
        return false;
    }
    return next_with_value(bitmap, start, start + length, !value) == start + length;
}

}  // namespace

void RtlInitializeBitMap(PRTL_BITMAP bitmap, PULONG buffer, ULONG size_of_bitmap) {
    bitmap->SizeOfBitMap = size_of_bitmap;
    bitmap->Buffer = buffer;
}

void RtlClearAllBits(PRTL_BITMAP bitmap) {
    std::memset(bitmap->Buffer, 0, (size_t)word_count(bitmap) * sizeof(ULONG));
}

void RtlSetAllBits(PRTL_BITMAP bitmap) {
    std::memset(bitmap->Buffer, 0xFF, (size_t)word_count(bitmap) * sizeof(ULONG));
}

void RtlSetBits(PRTL_BITMAP bitmap, ULONG starting_index, ULONG number_to_set) {
    write_range(bitmap, starting_index, number_to_set, true);
}

void RtlClearBits(PRTL_BITMAP bitmap, ULONG starting_index, ULONG number_to_clear) {
    write_range(bitmap, starting_index, number_to_clear, false);
}

void RtlSetBit(PRTL_BITMAP bitmap, ULONG bit_number) {
    write_range(bitmap, bit_number, 1, true);
}

void RtlClearBit(PRTL_BITMAP bitmap, ULONG bit_number) {
    write_range(bitmap, bit_number, 1, false);
}

BOOLEAN RtlTestBit(PRTL_BITMAP bitmap, ULONG bit_number) {
    NT_ASSERT(bit_number < bitmap->SizeOfBitMap);
    return bit_of(bitmap, bit_number) ? TRUE : FALSE;
}

ULONG RtlCheckBit(PRTL_BITMAP bitmap, ULONG bit_number) {
    return RtlTestBit(bitmap, bit_number) ? 1u : 0u;
}

ULONG RtlFindSetBits(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index) {
    return find_wrapping(bitmap, number_to_find, true, hint_index);
}

ULONG RtlFindClearBits(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index) {
    return find_wrapping(bitmap, number_to_find, false, hint_index);
}

ULONG RtlFindSetBitsAndClear(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index) {
    ULONG found = find_wrapping(bitmap, number_to_find, true, hint_index);
    if (found != not_found && number_to_find != 0) {
        write_range(bitmap, found, number_to_find, false);
    }
    return found;
}

ULONG RtlFindClearBitsAndSet(PRTL_BITMAP bitmap, ULONG number_to_find, ULONG hint_index) {
    ULONG found = find_wrapping(bitmap, number_to_find, false, hint_index);
    if (found != not_found && number_to_find != 0) {
        write_range(bitmap, found, number_to_find, true);
    }
    return found;
}

ULONG RtlNumberOfSetBits(PRTL_BITMAP bitmap) {
    return count_set(bitmap);
}

ULONG RtlNumberOfClearBits(PRTL_BITMAP bitmap) {
    return bitmap->SizeOfBitMap - count_set(bitmap);
}

BOOLEAN RtlAreBitsSet(PRTL_BITMAP bitmap, ULONG starting_index, ULONG length) {
    return range_is(bitmap, starting_index, length, true) ? TRUE : FALSE;
}

BOOLEAN RtlAreBitsClear(PRTL_BITMAP bitmap, ULONG starting_index, ULONG length) {
    return range_is(bitmap, starting_index, length, false) ? TRUE : FALSE;
}

ULONG RtlFindNextForwardRunClear(PRTL_BITMAP bitmap, ULONG from_index, PULONG starting_run_index) {
    ULONG size = bitmap->SizeOfBitMap;
    ULONG start = from_index < size ? next_with_value(bitmap, from_index, size, false) : size;
    *starting_run_index = start;
    if (start >= size) {
        return 0;
    }
    return next_with_value(bitmap, start, size, true) - start;
}

ULONG RtlFindFirstRunClear(PRTL_BITMAP bitmap, PULONG starting_index) {
    return RtlFindNextForwardRunClear(bitmap, 0, starting_index);
}
