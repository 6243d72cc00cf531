// Interrupt request levels. Every stand-in thread has its own current IRQL; the stand-in checks
// the kernel's rules against it (no waits at DISPATCH_LEVEL or above, raise only upwards, ...).
#pragma once

#include "sim/kernel/types.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
// Device interrupts run between DISPATCH_LEVEL and CLOCK_LEVEL; the stand-in uses one level.
#define SIM_DEVICE_LEVEL 8
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

namespace sim::kernel {
// The calling thread's IRQL. The kernel reads it from the processor in an instruction; the
// stand-in keeps it per thread, where reading it costs as little.
extern constinit thread_local KIRQL current_irql;
}  // namespace sim::kernel

inline KIRQL KeGetCurrentIrql() {
    return sim::kernel::current_irql;
}
void KeRaiseIrql(KIRQL new_irql, PKIRQL old_irql);
void KeLowerIrql(KIRQL new_irql);
KIRQL KeRaiseIrqlToDpcLevel();

// Pageable code asserts that it runs below DISPATCH_LEVEL.
void SimCheckPagedCode(const char* file, int line);
#define PAGED_CODE() SimCheckPagedCode(__FILE__, __LINE__)
#define NT_ASSERT(e) ((e) ? (void)0 : SimAssertionFailure(#e, __FILE__, __LINE__))
[[noreturn]] void SimAssertionFailure(const char* expression, const char* file, int line);
