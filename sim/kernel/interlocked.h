// Interlocked operations: full-barrier atomic operations on plain integers and pointers, as the
// kernel offers them. Each returns what the kernel's routine of the same name returns.
#pragma once

#include "sim/kernel/types.h"

inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedIncrement64(LONG64 volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(LONG64 volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedXor(LONG volatile* p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedOr64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedAnd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }

inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// Sets bit `bit` of *p and returns its previous value (0 or 1).
inline BOOLEAN InterlockedBitTestAndSet(LONG volatile* p, LONG bit) {
    LONG mask = (LONG)(1u << (bit & 31));
    return (BOOLEAN)((__atomic_fetch_or(p, mask, __ATOMIC_SEQ_CST) & mask) != 0);
}

// Clears bit `bit` of *p and returns its previous value (0 or 1).
inline BOOLEAN InterlockedBitTestAndReset(LONG volatile* p, LONG bit) {
    LONG mask = (LONG)(1u << (bit & 31));
    return (BOOLEAN)((__atomic_fetch_and(p, ~mask, __ATOMIC_SEQ_CST) & mask) != 0);
}

// Plain loads and stores with the ordering their names give: an acquire load keeps later accesses
// after it, a release store keeps earlier ones before it; the no-fence forms are single, untorn
// accesses with no ordering. They are how shared flags and counters are read and written without
// a lock.
inline char ReadAcquire8(char const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline char ReadNoFence8(char const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline LONG ReadAcquire(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline LONG ReadNoFence(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline LONG64 ReadAcquire64(LONG64 const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline LONG64 ReadNoFence64(LONG64 const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline PVOID ReadPointerAcquire(PVOID const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerNoFence(PVOID const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

inline void WriteRelease8(char volatile* p, char v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline void WriteNoFence8(char volatile* p, char v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline void WriteRelease(LONG volatile* p, LONG v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline void WriteNoFence(LONG volatile* p, LONG v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline void WriteRelease64(LONG64 volatile* p, LONG64 v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline void WriteNoFence64(LONG64 volatile* p, LONG64 v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline void WritePointerRelease(PVOID volatile* p, PVOID v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
inline void WritePointerNoFence(PVOID volatile* p, PVOID v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

// A full barrier as the kernel makes it on this processor: a locked operation on a variable of
// the caller's stack (which also keeps the thread sanitizer able to build it).
inline void KeMemoryBarrier() {
    volatile LONG barrier = 0;
    __atomic_fetch_or(&barrier, 0, __ATOMIC_SEQ_CST);
}
#define MemoryBarrier() KeMemoryBarrier()
#define YieldProcessor() __builtin_ia32_pause()
