// Device-control requests as a user-side caller sends them: any number (one of the card's table,
// or any control code with any lengths) with any record, through the card's control device into
// the device shell's entry (the record reached and locked in the caller's context) and
// Control_ioctl, on a card in minimal mode or out of it (without a channel), with lock mode held
// or not. Nothing may read or write outside the caller's record or the driver's copy of it, and
// every request must complete.
//
// Input: byte 0 the card's state (bit 0: out of minimal mode, bit 1: lock mode held); byte 1
// picks the number: below 97 a row of the card's table with the record's size field as its
// lengths, else bytes 2-5 are a control code and bytes 6-7 and 8-9 its input and output lengths
// (up to 0x4000 and beyond); the rest is the caller's record (at least as long as the lengths
// and the data its head announces, zero-filled past the input).
//
// The PCI configuration writes are sent as the reads: written configuration space would leave
// the card unreachable for every later input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/control/control_codes.h"
#include "driver/control/control_record.h"
#include "driver/controller/startup.h"
#include "driver/shell/ioctl_code.h"
#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/machine/machine.h"
#include "sim/win32/win32.h"

namespace {

const ULONG table[] = {
    0x00006807,
    0x00006808,
    0x0000680F,
    0x0000682A,
    0x00006887,
    0x00006893,
    0x40016860,
    0x400168EF,
    0x40046806,
    0x4004680A,
    0x4004680B,
    0x4004680C,
    0x40046839,
    0x40046890,
    0x40046895,
    0x40046896,
    0x40046897,
    0x4008683A,
    0x4008688F,
    0x400868E9,
    0x4010683C,
    0x4010686E,
    0x40206865,
    0x4028683E,
    0x406068A3,
    0x40706805,
    0x43F86804,
    0x44206826,
    0x44206827,
    0x50E06837,
    0x80046800,
    0x80086817,
    0x80086835,
    0x80086873,
    0x8010681D,
    0x8010681E,
    0x8010683B,
    0x8010683D,
    0x80106874,
    0x80106888,
    0x8010688D,
    0x8010689D,
    0x80186810,
    0x80186820,
    0x80186880,
    0x80186892,
    0x80286828,
    0x80286881,
    0x80286882,
    0x80286883,
    0x8030681A,
    0x80306862,
    0x80306863,
    0x80306867,
    0x803068ED,
    0x8038689E,
    0x8040689B,
    0x80486819,
    0x80606886,
    0x806068A2,
    0x80686861,
    0x8080683F,
    0x84006816,
    0x84306832,
    0xC0046891,
    0xC008680E,
    0xC0086811,
    0xC0086829,
    0xC0086833,
    0xC00868EC,
    0xC0106872,
    0xC01068EB,
    0xC018682C,
    0xC0196834,
    0xC020689A,
    0xC0286815,
    0xC028682D,
    0xC028682E,
    0xC028682F,
    0xC0286830,
    0xC02877FB,
    0xC02877FC,
    0xC030684A,
    0xC030684D,
    0xC038684B,
    0xC04868E8,
    0xC050681C,
    0xC058681F,
    0xC070682B,
    0xC09868EA,
    0xC0F86813,
    0xC1186866,
    0xC1406801,
    0xC1B06802,
    0xC2086812,
    0xC388681B,
    0xE2C06836,
};
static_assert(sizeof table / sizeof table[0] == 97);

struct booted {
    sim::machine::Machine machine;
    pipeline_device* card = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    ULONG minimal_reasons = 0;
};

booted* machine_up;

// At the end of the run the card powers down and the drivers unload: nothing of theirs may be
// left (pool, interrupts, threads).
void shut_down() {
    booted* b = machine_up;
    CloseHandle(b->handle);
    sim::win32::use_machine(nullptr);
    b->machine.stop();
    std::string leaks = sim::kernel::pool_leak_report();
    delete b;
    if (!leaks.empty()) {
        std::fprintf(stderr, "pool left allocated:\n%s\n", leaks.c_str());
        std::abort();
    }
}

booted* boot() {
    auto* b = new booted;
    machine_up = b;
    std::atexit(shut_down);
    if (b->machine.load_drivers() != STATUS_SUCCESS) {
        __builtin_trap();
    }
    sim::machine::card_options card;
    card.bus = 3;
    b->machine.plug(card);
    if (!b->machine.started(0)) {
        __builtin_trap();
    }
    b->card = PavGetFdoContext(b->machine.function_device(0))->card;
    b->minimal_reasons = b->card->minimal_mode_reasons;
    sim::win32::use_machine(&b->machine);
    b->handle = CreateFileA("\\\\.\\dov0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (b->handle == INVALID_HANDLE_VALUE) {
        __builtin_trap();
    }
    return b;
}

ULONG read_le(const uint8_t* p, size_t bytes) {
    ULONG v = 0;
    for (size_t i = 0; i < bytes; i++) {
        v |= (ULONG)p[i] << (8 * i);
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static booted* b = boot();
    if (size < 2) {
        return 0;
    }
    pipeline_device* card = b->card;
    card->minimal_mode_reasons = (data[0] & 1) != 0 ? 0 : b->minimal_reasons;
    card->lock_mode_count = (data[0] & 2) != 0 ? 1 : 0;
    card->lock_mode_owner = -1;
    card->raw_access_holds = 0;

    ULONG code = 0, in_length = 0, out_length = 0;
    size_t at = 2;
    if (data[1] < 97) {
        ULONG number = table[data[1]];
        pav_linux_to_ctl_code(number, &code, &in_length);
        out_length = in_length;
    } else {
        if (size < 10) {
            return 0;
        }
        code = read_le(data + 2, 4);
        in_length = read_le(data + 6, 2);
        out_length = read_le(data + 8, 2);
        at = 10;
    }
    ULONG number = 0;
    if (pav_ctl_code_to_linux(code, in_length, &number) &&
        (number == PAV_IOCTL_PCI_CONFIG_WRITE || number == PAV_IOCTL_W_PCI_CFG_WRITE)) {
        pav_linux_to_ctl_code(number == PAV_IOCTL_PCI_CONFIG_WRITE ? PAV_IOCTL_PCI_CONFIG_READ
                                                                   : PAV_IOCTL_W_PCI_CFG_READ,
                              &code, &in_length);
    }
    size_t record_length = size - at;
    size_t length = record_length;
    if (length < in_length) {
        length = in_length;
    }
    if (length < out_length) {
        length = out_length;
    }
    std::vector<uint8_t> record(length == 0 ? 1 : length, 0);
    if (record_length != 0) {
        std::memcpy(record.data(), data + at, record_length);
    }
    // The caller's buffer holds what its record says follows it (a kinfo data area kept to 64 KiB
    // here, so that an input stays quick).
    if (pav_ctl_code_to_linux(code, in_length, &number) && number == PAV_IOCTL_KINFO && record.size() >= 260) {
        ULONG data_size = read_le(record.data() + 256, 4) % 65537;
        std::memcpy(record.data() + 256, &data_size, 4);
    }
    if (pav_ctl_code_to_linux(code, in_length, &number)) {
        ULONG extent = control_record_extent(number, record.data(), (ULONG)record.size());
        if (extent > record.size()) {
            record.resize(extent, 0);
        }
    }
    DWORD returned = 0;
    DeviceIoControl(b->handle, code, record.data(), in_length, record.data(), out_length, &returned, nullptr);
    sim::kernel::clear_debug_lines();
    sim::kernel::clear_trace_events();
    return 0;
}
