#include "driver/card/hw_reset.h"

#include "driver/card/card_probe.h"
#include "driver/platform/kassert.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"
#include "driver/platform/time.h"

namespace {

constexpr ULONG csr_control = 0x1000;         // 4096
constexpr ULONG csr_engines_held = 0x1388;    // 5000
constexpr ULONG csr_reset_flush = 0x139C;     // 5020
constexpr ULONG csr_hardware_lock = 0x10D8;   // 4312
constexpr ULONG csr_fw_version = 0x1208;      // 4616
constexpr ULONG csr_build = 0x120C;           // 4620
constexpr ULONG csr_incomplete_reset = 0x2044;  // 8260
constexpr ULONG csr_kind = 0x1200;
constexpr ULONG csr_cap_b = 0x1238;
constexpr ULONG lock_firmware = 0x801416;     // 8.5.22
constexpr ULONG cq_window_words = 512 / 4;
// A card that never grants the lock stops the probe instead of hanging it: the first tries
// follow at once (the card grants from its register handler), later ones 10 ms apart.
constexpr ULONG lock_quick_tries = 100;
constexpr ULONGLONG lock_limit_us = 5000000;

// A 10 ms wait: a sleep below DISPATCH_LEVEL, a stall at or above it.
void reset_wait() {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -100000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    } else {
        KeStallExecutionProcessor(10000);
    }
}

}  // namespace

ULONG card_cq_count(volatile ULONG* csr) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if ((csr_read(csr, csr_kind) & 0x7F) != 7) {
        return 1;
    }
    ULONG count = csr_read(csr, csr_cap_b) >> 8 & 0xF;
    return count == 0 ? 16 : count;
}

int reset_hardware(card_probe* probe, ULONG rings) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    volatile ULONG* csr = probe->csr;
    if ((csr_read(csr, csr_incomplete_reset) & 1) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: incomplete reset detected - flushing.\n", probe->name);
        csr_write(csr, csr_reset_flush, 1);
        reset_wait();
        csr_write(csr, csr_reset_flush, 0);
    }
    if (csr_read(csr, csr_fw_version) >= lock_firmware) {
        // The hardware lock: given up when the bus goes away (all ones) or after the time limit.
        bool waited = false;
        bool obtained = true;
        ULONG tries = 0;
        ULONGLONG since = kpav_get_usecs();
        csr_write(csr, csr_hardware_lock, 1);
        while (csr_read(csr, csr_hardware_lock) != 1) {
            if (!waited) {
                kpav_print(KPAV_CLASS_NORMAL, "%s: waiting for hardware lock...\n", probe->name);
                waited = true;
            }
            if (csr_read(csr, csr_build) == 0xFFFFFFFF) {
                kpav_syslog(KPAV_LEVEL_ERROR, probe->name, 12319,
                            "Detected lost bus enumeration while waiting for hardware lock.\n");
                obtained = false;
                break;
            }
            if (kpav_get_usecs() - since >= lock_limit_us) {
                kpav_print(KPAV_CLASS_ERROR, "%s: timed out waiting for hardware lock.\n", probe->name);
                return -KPAV_EBUSY;
            }
            if (++tries > lock_quick_tries) {
                reset_wait();
            }
            csr_write(csr, csr_hardware_lock, 1);
        }
        if (waited && obtained) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: hardware lock obtained.\n", probe->name);
        }
    }
    csr_write(csr, csr_control, 0xFFFFFFFF);
    reset_wait();
    csr_write(csr, csr_control, 0);
    reset_wait();
    csr_write(csr, csr_engines_held, 0);
    csr_write(csr, csr_control, 1);
    for (ULONG q = 0; q < rings; q++) {
        volatile ULONG* window = probe->cq_windows + q * cq_window_words;
        csr_write(window, 8, 0x80000000);
        csr_write(window, 8, 0);
        csr_write(window, 4, use_large_pcie_rx_buffer != 0 ? 0 : 0x800000);
        csr_write(window, 0, 2);
    }
    csr_write(csr, csr_control, 0);
    reset_wait();
    return 0;
}

void cq_enable_windows(card_probe* probe) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (probe == nullptr || probe->cq_windows == nullptr) {
        return;
    }
    ULONG rings = card_cq_count(probe->csr);
    for (ULONG q = 0; q < rings; q++) {
        volatile ULONG* window = probe->cq_windows + q * cq_window_words;
        csr_write(window, 100, 1);
        csr_write(window, 0, 2);
    }
}
