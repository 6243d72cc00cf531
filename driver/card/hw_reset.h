// The register sequences that reset a card's controller and its completion windows: the reset
// at probe, before any channel exists, and the completion windows' quiesce at power-down and
// release.
#pragma once

#include "driver/platform/os.h"

struct card_probe;

// Resets the controller and each of `rings` completion windows (waiting for the hardware lock on
// firmware 8.5.22 and later; a lost bus ends the wait). 0, or -KPAV_EBUSY when the lock was not
// granted within 5 s. PASSIVE_LEVEL or above (waits stall at DISPATCH_LEVEL).
int reset_hardware(card_probe* probe, ULONG rings);
// Quiesces every completion window: word 25 <- 1, then word 0 <- 2.
void cq_enable_windows(card_probe* probe);
// Completion windows the card has: bits 8-11 of CSR 0x1238 (0 = 16) on controller kind 7, else 1.
ULONG card_cq_count(volatile ULONG* csr);

// Register access with the barrier every write of the bring-up takes.
inline ULONG csr_read(volatile ULONG* block, ULONG offset) {
    return READ_REGISTER_ULONG(block + offset / 4);
}
inline void csr_write(volatile ULONG* block, ULONG offset, ULONG value) {
    WRITE_REGISTER_ULONG(block + offset / 4, value);
    KeMemoryBarrier();
}
