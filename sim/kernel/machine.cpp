// The machine as a whole: boot, the per-thread state, IRQL rules and bug checks.

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/debug.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/object.h"
#include "sim/kernel/thread_state.h"
#include "sim/kernel/timeline.h"

namespace sim::kernel {
namespace {

machine_config current_config;
std::atomic<ULONG> last_code{0};

std::recursive_mutex callback_mutex;
LIST_ENTRY callback_records = {&callback_records, &callback_records};

std::string hex(uint64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, (unsigned long long)v);
    return buf;
}

}  // namespace

thread_state::~thread_state() {
    if (kind == thread_kind::outside && object != nullptr) {
        ObDereferenceObject(object);
    }
}

thread_state& current_thread() {
    static thread_local thread_state state;
    return state;
}

void start_stand_in_thread(const char* name) {
    pthread_setname_np(pthread_self(), name);
    sched_param none{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
}

bug_check::bug_check(ULONG c, const ULONG_PTR p[4], const std::string& report)
    : std::runtime_error(report), code(c), parameters{p[0], p[1], p[2], p[3]} {}

void boot(const machine_config& config) {
    if (live_system_threads() != 0) {
        std::fprintf(stderr, "sim: boot with %u stand-in system threads still running\n", live_system_threads());
        std::abort();
    }
    current_config = config;
    if (current_config.node_of_processor.size() < current_config.max_processors) {
        current_config.node_of_processor.resize(current_config.max_processors, 0);
    }
    if (current_config.active_processors > current_config.max_processors) {
        current_config.active_processors = current_config.max_processors;
    }
    if (current_config.node_count == 0) {
        current_config.node_count = 1;
    }
    if (current_config.boot_system_time == 0) {
        auto unix_100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count() / 100;
        current_config.boot_system_time = unix_100ns + 116444736000000000LL;
    }
    last_code = 0;
    {
        std::lock_guard<std::recursive_mutex> g(callback_mutex);
        InitializeListHead(&callback_records);
    }
    timeline::reset(current_config.clock_rate);
    faults::reset();
    parts::reset_processors(current_config);
    parts::reset_debug();
    parts::reset_registry();
    parts::reset_pci_bus();
    parts::reset_mmio();
    parts::reset_pnp();
    parts::reset_interrupts();
    thread_state& t = current_thread();
    t.irql = PASSIVE_LEVEL;
    t.processor = 0;
    t.critical_region = 0;
}

const machine_config& config() {
    return current_config;
}

ULONG last_bug_check_code() {
    return last_code;
}

std::vector<secondary_dump> collect_secondary_dumps(ULONG maximum_allowed) {
    std::vector<secondary_dump> dumps;
    thread_state& t = current_thread();
    KIRQL saved = t.irql;
    t.irql = HIGH_LEVEL;
    std::vector<KBUGCHECK_REASON_CALLBACK_RECORD*> records;
    {
        std::lock_guard<std::recursive_mutex> g(callback_mutex);
        for (LIST_ENTRY* e = callback_records.Flink; e != &callback_records; e = e->Flink) {
            records.push_back(CONTAINING_RECORD(e, KBUGCHECK_REASON_CALLBACK_RECORD, Entry));
        }
    }
    std::vector<uint8_t> in_buffer(maximum_allowed);
    for (KBUGCHECK_REASON_CALLBACK_RECORD* r : records) {
        if (r->Reason != KbCallbackSecondaryDumpData) {
            continue;
        }
        KBUGCHECK_SECONDARY_DUMP_DATA d{};
        d.InBuffer = in_buffer.data();
        d.InBufferLength = maximum_allowed;
        d.MaximumAllowed = maximum_allowed;
        // First call: the callback says how much it wants to write and where.
        r->CallbackRoutine(KbCallbackSecondaryDumpData, r, &d, sizeof d);
        if (d.OutBuffer == nullptr || d.OutBufferLength == 0) {
            continue;
        }
        // Second call: the callback writes its data.
        ULONG offered = d.OutBufferLength;
        d.OutBuffer = d.InBuffer;
        r->CallbackRoutine(KbCallbackSecondaryDumpData, r, &d, sizeof d);
        secondary_dump dump;
        dump.component = r->Component != nullptr ? (const char*)r->Component : "";
        dump.guid = d.Guid;
        ULONG length = std::min(std::min(d.OutBufferLength, offered), maximum_allowed);
        if (d.OutBuffer != nullptr) {
            auto* p = (const uint8_t*)d.OutBuffer;
            dump.data.assign(p, p + length);
        }
        dumps.push_back(std::move(dump));
    }
    t.irql = saved;
    return dumps;
}

}  // namespace sim::kernel

using sim::kernel::current_thread;

// ---------------------------------------------------------------------------------------------
// IRQL

constinit thread_local KIRQL sim::kernel::current_irql = PASSIVE_LEVEL;

void KeRaiseIrql(KIRQL new_irql, PKIRQL old_irql) {
    KIRQL& irql = sim::kernel::current_irql;
    if (new_irql < irql) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, irql, new_irql, 0, 0);
    }
    *old_irql = irql;
    irql = new_irql;
}

void KeLowerIrql(KIRQL new_irql) {
    KIRQL& irql = sim::kernel::current_irql;
    if (new_irql > irql) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, irql, new_irql, 0, 0);
    }
    irql = new_irql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void SimCheckPagedCode(const char* file, int line) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        std::fprintf(stderr, "sim: pageable code at IRQL %u (%s:%d)\n", KeGetCurrentIrql(), file, line);
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), 0, (ULONG_PTR)line);
    }
}

void SimAssertionFailure(const char* expression, const char* file, int line) {
    std::fprintf(stderr, "sim: assertion failed: %s (%s:%d)\n", expression, file, line);
    KeBugCheckEx(SIM_ASSERTION_FAILURE, 0, 0, (ULONG_PTR)line, 0);
}

// ---------------------------------------------------------------------------------------------
// Bug checks

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    using namespace sim::kernel;
    auto& t = current_thread();
    last_code = code;
    std::ostringstream report;
    report << "*** STOP: " << hex(code, 8) << " (" << hex(p1, 16) << ", " << hex(p2, 16) << ", "
           << hex(p3, 16) << ", " << hex(p4, 16) << ") at IRQL " << (int)t.irql << " on processor "
           << t.processor;
    for (const secondary_dump& d : collect_secondary_dumps()) {
        std::string text(d.data.begin(), d.data.end());
        text = text.substr(0, std::strlen(text.c_str()));
        report << "\n--- secondary dump of " << d.component << " ---\n" << text;
    }
    std::string text = report.str();
    std::fprintf(stderr, "%s\n", text.c_str());
    parts::echo_to_log(text + "\n");
    if (t.kind == thread_kind::outside) {
        ULONG_PTR params[4] = {p1, p2, p3, p4};
        t.irql = PASSIVE_LEVEL;  // the test's thread goes on after it caught the stop
        throw bug_check(code, params, text);
    }
    std::fflush(nullptr);
    std::abort();
}

void KeBugCheck(ULONG code) {
    KeBugCheckEx(code, 0, 0, 0, 0);
}

void RtlFailFast(ULONG code) {
    KeBugCheckEx(KERNEL_SECURITY_CHECK_FAILURE, code, 0, 0, 0);
}

BOOLEAN KeRegisterBugCheckReasonCallback(PKBUGCHECK_REASON_CALLBACK_RECORD record,
                                         PKBUGCHECK_REASON_CALLBACK_ROUTINE routine,
                                         KBUGCHECK_CALLBACK_REASON reason, PUCHAR component) {
    if (record == nullptr || routine == nullptr ||
        sim::kernel::faults::should_fail(sim::kernel::fault_site::bugcheck_callback)) {
        return FALSE;
    }
    std::lock_guard<std::recursive_mutex> g(sim::kernel::callback_mutex);
    record->CallbackRoutine = routine;
    record->Reason = reason;
    record->Component = component;
    record->State = 1;
    InsertTailList(&sim::kernel::callback_records, &record->Entry);
    return TRUE;
}

BOOLEAN KeDeregisterBugCheckReasonCallback(PKBUGCHECK_REASON_CALLBACK_RECORD record) {
    std::lock_guard<std::recursive_mutex> g(sim::kernel::callback_mutex);
    if (record == nullptr || record->State != 1) {
        return FALSE;
    }
    RemoveEntryList(&record->Entry);
    record->State = 0;
    return TRUE;
}
