// Bug checks and bug-check reason callbacks.
//
// A bug check stops the machine: the stand-in raises to HIGH_LEVEL, lets every registered
// secondary-dump callback contribute its data, writes a report and then ends the run. On a
// stand-in system thread the process aborts, as the machine would stop; on a thread that the
// stand-in did not create (a test's own thread) it throws sim::kernel::bug_check, so that a test
// can expect it.
#pragma once

#include "sim/kernel/types.h"

#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009u
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000Au
#define SPIN_LOCK_ALREADY_OWNED 0x0000000Fu
#define SPIN_LOCK_NOT_OWNED 0x00000010u
#define BAD_POOL_HEADER 0x00000019u
#define BAD_POOL_CALLER 0x000000C2u
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4u
#define KERNEL_SECURITY_CHECK_FAILURE 0x00000139u
#define SIM_ASSERTION_FAILURE 0x00000080u  // the stand-in's own consistency checks

[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);
[[noreturn]] void KeBugCheck(ULONG code);

enum KBUGCHECK_CALLBACK_REASON {
    KbCallbackInvalid = 0,
    KbCallbackReserved1 = 1,
    KbCallbackSecondaryDumpData = 2,
    KbCallbackDumpIo = 3,
    KbCallbackAddPages = 4,
};

struct KBUGCHECK_REASON_CALLBACK_RECORD;
using KBUGCHECK_REASON_CALLBACK_ROUTINE = void(KBUGCHECK_CALLBACK_REASON reason,
                                               KBUGCHECK_REASON_CALLBACK_RECORD* record,
                                               PVOID reason_specific_data,
                                               ULONG reason_specific_data_length);
using PKBUGCHECK_REASON_CALLBACK_ROUTINE = KBUGCHECK_REASON_CALLBACK_ROUTINE*;

struct KBUGCHECK_REASON_CALLBACK_RECORD {
    LIST_ENTRY Entry;
    PKBUGCHECK_REASON_CALLBACK_ROUTINE CallbackRoutine;
    PUCHAR Component;
    ULONG_PTR Checksum;
    KBUGCHECK_CALLBACK_REASON Reason;
    UCHAR State;
};
using PKBUGCHECK_REASON_CALLBACK_RECORD = KBUGCHECK_REASON_CALLBACK_RECORD*;

struct KBUGCHECK_SECONDARY_DUMP_DATA {
    PVOID InBuffer;
    ULONG InBufferLength;
    ULONG MaximumAllowed;
    GUID Guid;
    PVOID OutBuffer;
    ULONG OutBufferLength;
};
using PKBUGCHECK_SECONDARY_DUMP_DATA = KBUGCHECK_SECONDARY_DUMP_DATA*;

BOOLEAN KeRegisterBugCheckReasonCallback(PKBUGCHECK_REASON_CALLBACK_RECORD record,
                                         PKBUGCHECK_REASON_CALLBACK_ROUTINE routine,
                                         KBUGCHECK_CALLBACK_REASON reason, PUCHAR component);
BOOLEAN KeDeregisterBugCheckReasonCallback(PKBUGCHECK_REASON_CALLBACK_RECORD record);
