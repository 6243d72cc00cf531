// A partial-atomic-write note as a scan reads it back from the media: any bytes, of any length,
// go to the apply step of a log of 16 LEBs (each writing or closed, with the sequence its input
// byte chooses). Nothing may be read outside the bytes given; a note that is taken leaves every
// LEB's discard range inside its packets, the byte range matching it.
//
// Input: byte 0 chooses which LEBs carry sequence 64 x (their number + 1) (bit i: LEB i, mod 8,
// and LEB 8 + i), the rest is the note.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/log/atomic_note.h"
#include "driver/log/datalog.h"
#include "sim/kernel/control.h"

namespace {

constexpr ULONG lebs = 16;
constexpr ULONG packets = 1000;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::kernel::boot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static leb_record records[lebs];
    static pav_log log;
    std::memset(records, 0, sizeof records);
    std::memset(&log, 0, sizeof log);
    log.lebs = records;
    log.eb_count = lebs;
    log.first_leb = 0;
    log.leb_count = lebs;
    log.packets_per_leb = packets;
    log.geometry.packet_size = 520;
    log.geometry.head_reserve = 131072;
    for (ULONG i = 0; i < lebs; i++) {
        kpav_state_init(&records[i].func, i % 3 == 0 ? PAV_LEB_FUNC_CLOSED : PAV_LEB_FUNC_WRITING);
        records[i].sequence = (data[0] >> (i % 8)) & 1 ? 64ull * (i + 1) : 1;
    }
    size_t bytes = size - 1;
    std::unique_ptr<uint8_t[]> note(new uint8_t[bytes == 0 ? 1 : bytes]);
    if (bytes != 0) {
        std::memcpy(note.get(), data + 1, bytes);
    }
    int rc = atomic_discard_note_apply(&log, (const atomic_note*)note.get(), (ULONG)bytes);
    check(rc == 0 || rc == -22);
    for (ULONG i = 0; i < lebs; i++) {
        const leb_record& r = records[i];
        if (r.discard_end == 0) {
            check(r.discard_start == 0 && r.discard_byte_end == 0);
            continue;
        }
        check(rc == 0);
        check(r.discard_start < r.discard_end && r.discard_end <= packets);
        check(r.discard_byte_start == log.geometry.head_reserve + log.geometry.packet_size * r.discard_start);
        check(r.discard_byte_end == log.geometry.head_reserve + log.geometry.packet_size * r.discard_end);
    }
    return 0;
}
