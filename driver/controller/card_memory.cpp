#include "driver/controller/card_memory.h"

#include "driver/card/hw_reset.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/startup.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

constexpr ULONG csr_data = 0x10A0;
constexpr ULONG csr_word_address = 0x10A4;
constexpr ULONG csr_command = 0x10A8;
constexpr ULONG csr_select = 0x10D8;
constexpr ULONG csr_select_done = 0x10DC;
constexpr ULONG select_done_value = 39070000;
constexpr ULONG latch_command = 5;
constexpr ULONG latches_per_word = 9;
constexpr ULONG end_command = 1;
// A select register that never reads back what was written (stuck, or a value it cannot hold)
// ends the read instead of hanging its caller.
constexpr ULONG select_tries = 1000;

int select_window(pipeline_device* card, ULONG select) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    for (ULONG tries = 0; tries < select_tries; tries++) {
        csr_write(card->csr, csr_select, select);
        if (csr_read(card->csr, csr_select) == select) {
            csr_write(card->csr, csr_select_done, select_done_value);
            return 0;
        }
        check_lost_bus(card);
        if (card->channel_state == 4) {
            return -KPAV_EIO;
        }
        KeStallExecutionProcessor(1);
    }
    return -KPAV_EIO;
}

USHORT read_word(pipeline_device* card, ULONG word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    csr_write(card->csr, csr_word_address, word);
    for (ULONG i = 0; i < latches_per_word; i++) {
        csr_write(card->csr, csr_command, latch_command);
    }
    ULONG value = csr_read(card->csr, csr_data);
    csr_write(card->csr, csr_command, end_command);
    return (USHORT)(value >> 16);
}

}  // namespace

int cmem_read(pipeline_device* card, ULONG address, ULONG length, void* buffer, ULONG select) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int rc = select_window(card, select);
    if (rc != 0) {
        return rc;
    }
    auto* out = (UCHAR*)buffer;
    if (length != 0) {
        ULONG end = address + length;
        for (ULONG word = address / 2; word <= (end - 1) / 2; word++) {
            USHORT value = read_word(card, word);
            ULONG high = word * 2;  // the byte at the even address is the word's upper half
            if (high >= address && high < end) {
                out[high - address] = (UCHAR)(value >> 8);
            }
            if (high + 1 >= address && high + 1 < end) {
                out[high + 1 - address] = (UCHAR)value;
            }
        }
    }
    csr_write(card->csr, csr_select, 0);
    return 0;
}
