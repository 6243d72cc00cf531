#include "driver/platform/cpu_wq.h"

#include "driver/platform/cpu_wq_record.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/steps.h"
#include "driver/platform/thread.h"

namespace {

constexpr LONGLONG idle_wait_us = 5000000;
constexpr LONGLONG stop_wait_us = 5000000;
constexpr int stop_waits = 2;
constexpr size_t dump_list_chars = 256;
constexpr size_t dump_line_chars = dump_list_chars + 64;

// The table of records, published once every record is in it (read without a lock by the
// completion path).
cpu_wq** records = nullptr;
ULONG record_count = 0;
cpu_wq** building = nullptr;  // the table while the layer is set up or taken down
ULONG building_count = 0;
kpav_cache records_cache = {nullptr, {0}};
kpav_step_run layer_run;
// The layer's state: down, being set up, up, being stopped.
enum : LONG { LAYER_DOWN, LAYER_STARTING, LAYER_UP, LAYER_STOPPING };
volatile LONG layer_state = LAYER_DOWN;
// The threads' work: set before the threads start; a thread that has left its record may still
// read it as it ends, after cpu_wq_exit put the defaults back.
const cpu_wq_ops* volatile work_table = &cpu_wq_ops_defaults;

const cpu_wq_ops* work_ops() {
    return (const cpu_wq_ops*)ReadPointerAcquire((PVOID const volatile*)&work_table);
}

void set_work_ops(const cpu_wq_ops* ops) {
    WritePointerRelease((PVOID volatile*)&work_table, (PVOID)ops);
}

cpu_wq** published_records() {
    return (cpu_wq**)ReadPointerAcquire((PVOID const volatile*)&records);
}

bool accepts_work(const cpu_wq* r) {
    return r->state == CPU_WQ_STARTING || r->state == CPU_WQ_RUNNING;
}

bool idle(const cpu_wq* r) {
    return IsListEmpty(&r->completed) && IsListEmpty(&r->deferred_bios) && r->rearm_count == 0 && r->kicks == 0;
}

// Moves every entry of `from` to the empty head `to` at once: the lists are moved under the
// record's lock, which the completion path waits for.
void move_list(LIST_ENTRY* to, LIST_ENTRY* from) {
    if (IsListEmpty(from)) {
        InitializeListHead(to);
        return;
    }
    to->Flink = from->Flink;
    to->Blink = from->Blink;
    to->Flink->Blink = to;
    to->Blink->Flink = to;
    InitializeListHead(from);
}

// Marks the record's thread gone (under its lock); true when the record was abandoned by a
// stop that timed out, in which case the caller frees it once the lock is released.
bool finish(cpu_wq* r) {
    r->kicks = 0;
    r->state = CPU_WQ_EXITED;
    kpav_cv_broadcast(&r->cv);
    return r->abandoned != 0;
}

void free_abandoned(cpu_wq* r) {
    kpav_cache_free_after_destroy(r);  // the cache went with the other records
}

// ---------------------------------------------------------------------------------------------
// The thread

struct card_pass {
    ULONG cpu;
};

int trim_card(pipeline_device* card, void* argument) {
    work_ops()->trim_cached_requests(card, ((card_pass*)argument)->cpu);
    return 0;
}

int drain_card(pipeline_device* card, void* argument) {
    work_ops()->drain_cpu_queue(card, ((card_pass*)argument)->cpu);
    return 0;
}

ULONG run_completed(LIST_ENTRY* completed, cpu_wq* r) {
    if (IsListEmpty(completed)) {
        return 0;
    }
    ULONG ran = work_ops()->run_completions(completed, r);
    // Whatever is left has nobody to run it; its links must not point at this stack.
    kpav_assert(IsListEmpty(completed));
    while (!IsListEmpty(completed)) {
        InitializeListHead(RemoveHeadList(completed));
    }
    return ran;
}

ULONG end_bios(LIST_ENTRY* bios) {
    ULONG ended = 0;
    while (!IsListEmpty(bios)) {
        PLIST_ENTRY link = RemoveHeadList(bios);
        InitializeListHead(link);
        auto* bio = CONTAINING_RECORD(link, cpu_wq_deferred_bio, link);
        work_ops()->end_bio(bio, bio->status);
        ended++;
    }
    return ended;
}

// A queue remembered after the look without the lock is not lost: the thread is not idle while
// one is remembered, so the next pass re-arms it.
void rearm_remembered(cpu_wq* r) {
    if (ReadNoFence((LONG const volatile*)&r->rearm_count) == 0) {
        return;
    }
    completion_queue* queues[CPU_WQ_MAX_REARM_QUEUES];
    kpav_spin_lock(&r->lock);
    ULONG count = r->rearm_count;
    RtlCopyMemory(queues, r->rearm, count * sizeof(completion_queue*));
    WriteNoFence((LONG volatile*)&r->rearm_count, 0);
    kpav_spin_unlock(&r->lock);
    if (count != 0) {
        work_ops()->rearm_queues(queues, count);
    }
}

// The thread sleeps on an event of its own, so that whoever wakes it sets the event without
// holding a lock the thread needs as it wakes. It sleeps only after seeing, under the record's
// lock, that there is nothing to do, and says so in `sleeping`: whoever then queues work or
// kicks under that lock finds the flag set and wakes it (a set that finds the thread awake
// only costs it one pass that finds nothing). Called and returns with the lock held:
// STATUS_SUCCESS (woken), STATUS_TIMEOUT or STATUS_ALERTED.
NTSTATUS sleep_until_woken(cpu_wq* r) {
    WriteNoFence(&r->sleeping, 1);
    kpav_spin_unlock(&r->lock);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -idle_wait_us * 10;
    NTSTATUS status = KeWaitForSingleObject(&r->wake, Executive, KernelMode, TRUE, &timeout);
    kpav_spin_lock(&r->lock);
    WriteNoFence(&r->sleeping, 0);
    return status;
}

// Wakes the record's thread when it sleeps, or is about to: the first caller to find it
// sleeping takes the flag and sets the event, so that a burst of work pays for one wake-up.
// Any caller at or below DISPATCH_LEVEL, with or without the record's lock.
void wake_thread(cpu_wq* r) {
    if (ReadNoFence(&r->sleeping) != 0 && InterlockedExchange(&r->sleeping, 0) != 0) {
        KeSetEvent(&r->wake, EVENT_INCREMENT, FALSE);
    }
}

// The body of "pav-wq/%d". PASSIVE_LEVEL, bound to the record's processor.
void cpu_wq_thread(void* argument) {
    PAGED_CODE();
    auto* r = (cpu_wq*)argument;
    card_pass pass{r->cpu};
    kpav_spin_lock(&r->lock);
    if (r->state == CPU_WQ_STARTING) {
        r->state = CPU_WQ_RUNNING;
    }
    kpav_spin_unlock(&r->lock);

    bool kicked = false;
    bool stopping = false;
    while (!stopping) {
        kpav_spin_lock(&r->lock);
        if (kicked && r->kicks > 0) {
            r->kicks--;
        }
        stopping = r->state == CPU_WQ_STOPPING;
        while (!stopping && idle(r)) {
            if (sleep_until_woken(r) == STATUS_TIMEOUT) {
                break;  // a pass runs anyway
            }
            stopping = r->state == CPU_WQ_STOPPING;
        }
        LIST_ENTRY completed;
        LIST_ENTRY bios;
        move_list(&completed, &r->completed);
        move_list(&bios, &r->deferred_bios);
        kicked = r->kicks > 0;
        kpav_spin_unlock(&r->lock);

        ULONG ran = run_completed(&completed, r);
        ran += end_bios(&bios);
        rearm_remembered(r);
        if (ran == 0) {
            work_ops()->for_each_card(trim_card, &pass);
        }
    }

    kpav_spin_lock(&r->lock);
    bool abandoned = finish(r);
    kpav_spin_unlock(&r->lock);
    // From here the record belongs to cpu_wq_exit (or to nobody, when abandoned).
    if (abandoned) {
        free_abandoned(r);
    }
    work_ops()->for_each_card(drain_card, &pass);
}

// Gives the record's queued work to another record that accepts work; the record's thread
// could not start. Work that no record takes stays for the record's next thread.
void hand_over(cpu_wq* r) {
    LIST_ENTRY completed;
    LIST_ENTRY bios;
    kpav_spin_lock(&r->lock);
    move_list(&completed, &r->completed);
    move_list(&bios, &r->deferred_bios);
    kpav_spin_unlock(&r->lock);
    if (IsListEmpty(&completed) && IsListEmpty(&bios)) {
        return;
    }
    cpu_wq* other = cpu_wq_lock_for_cpu(r->cpu);
    cpu_wq* to = other != nullptr ? other : r;
    if (other == nullptr) {
        kpav_spin_lock(&r->lock);
    }
    while (!IsListEmpty(&completed)) {
        InsertTailList(&to->completed, RemoveHeadList(&completed));
    }
    while (!IsListEmpty(&bios)) {
        InsertTailList(&to->deferred_bios, RemoveHeadList(&bios));
    }
    kpav_spin_unlock(&to->lock);
    cpu_wq_signal(to);
}

// The record's thread could not be started: a starting record goes back to "not active" (and
// its queued work to another processor); one that is being stopped is finished here.
void thread_did_not_start(cpu_wq* r) {
    kpav_spin_lock(&r->lock);
    bool abandoned = false;
    bool returned = false;
    if (r->state == CPU_WQ_STOPPING) {
        abandoned = finish(r);  // from here the record is the stopper's: touch it no more
    } else if (r->state == CPU_WQ_STARTING) {
        r->state = CPU_WQ_NOT_ACTIVE;
        returned = true;
    }
    kpav_spin_unlock(&r->lock);
    if (abandoned) {
        free_abandoned(r);
    } else if (returned) {
        hand_over(r);
    }
}

void start_thread(cpu_wq* r) {
    if (kpav_create_bound_thread(cpu_wq_thread, r, r->cpu, "pav-wq/%d", r->cpu) != 0) {
        thread_did_not_start(r);
    }
}

// The work record's function: starts the thread of a processor that was added.
void start_added_processor(tavrin_work* work) {
    cpu_wq* r = CONTAINING_RECORD(work, cpu_wq, work);
    kpav_spin_lock(&r->lock);
    ULONG state = r->state;
    bool abandoned = false;
    if (state == CPU_WQ_STOPPING) {
        abandoned = finish(r);  // stopped before it ever ran
    }
    kpav_spin_unlock(&r->lock);
    if (abandoned) {
        free_abandoned(r);
    }
    if (state == CPU_WQ_STARTING) {
        start_thread(r);
    }
}

// ---------------------------------------------------------------------------------------------
// Setting the layer up and taking it down, as steps. They run one at a time (the layer state
// keeps a second set-up or stop out) and touch the tables without a lock; the completion path
// sees the records only once they are published.

int allocate_table(void*) {
    ULONG count = kpav_max_cpus();
    building = (cpu_wq**)kpav_zalloc(count * sizeof(cpu_wq*), KPAV_TAG_MAL);
    if (building == nullptr) {
        return -KPAV_ENOMEM;
    }
    building_count = count;
    return 0;
}

void free_table(void*) {
    kpav_free(building, KPAV_TAG_MAL);
    building = nullptr;
    building_count = 0;
}

int create_records_cache(void*) {
    return __kpav_create_cache(&records_cache, "pav_cpu_var-strovane", CPU_WQ_OBJECT_SIZE);
}

void destroy_records_cache(void*) {
    kpav_destroy_cache(&records_cache);
}

// Frees the records still in the table (a record left to its thread is no longer there).
void free_records(void*) {
    WritePointerRelease((PVOID volatile*)&records, nullptr);
    record_count = 0;
    for (ULONG i = 0; i < building_count; i++) {
        if (building[i] != nullptr) {
            building[i]->work.function = nullptr;
            kpav_cache_free(&records_cache, building[i]);
            building[i] = nullptr;
        }
    }
}

int allocate_records(void*) {
    ULONG active = kpav_active_cpus();
    for (ULONG i = 0; i < building_count; i++) {
        auto* r = (cpu_wq*)kpav_cache_alloc(&records_cache);
        if (r == nullptr) {
            free_records(nullptr);
            return -KPAV_ENOMEM;
        }
        RtlZeroMemory(r, sizeof(cpu_wq));
        r->cpu = i;
        kpav_cv_init(&r->cv, "cpu_wq");
        KeInitializeEvent(&r->wake, SynchronizationEvent, FALSE);
        kpav_spinlock_init(&r->lock, "cpu_wq");
        InitializeListHead(&r->completed);
        InitializeListHead(&r->deferred_bios);
        r->work.function = start_added_processor;
        r->state = i < active ? CPU_WQ_STARTING : CPU_WQ_NOT_ACTIVE;
        building[i] = r;
    }
    record_count = building_count;
    WritePointerRelease((PVOID volatile*)&records, building);
    return 0;
}

// A thread that cannot start leaves its processor without one: starting never fails.
int start_threads(void*) {
    for (ULONG i = 0; i < building_count; i++) {
        if (building[i]->state == CPU_WQ_STARTING) {
            start_thread(building[i]);
        }
    }
    return 0;
}

// Asks every thread to stop and waits for each. A record whose thread does not stop in time
// leaves the table: its thread frees it.
void stop_threads(void*) {
    for (ULONG i = 0; i < building_count; i++) {
        cpu_wq* r = building[i];
        kpav_spin_lock(&r->lock);
        if (r->state == CPU_WQ_NOT_ACTIVE) {
            r->state = CPU_WQ_EXITED;
        } else if (r->state != CPU_WQ_EXITED) {
            r->state = CPU_WQ_STOPPING;
            wake_thread(r);
        }
        kpav_spin_unlock(&r->lock);
    }
    for (ULONG i = 0; i < building_count; i++) {
        cpu_wq* r = building[i];
        // Up to two waits of 5 s, measured in time: a completion that signals the record's
        // queue meanwhile wakes this waiter too and must not use up a wait.
        ULONGLONG deadline = KeQueryInterruptTime() + (ULONGLONG)(stop_waits * stop_wait_us) * 10;
        kpav_spin_lock(&r->lock);
        while (r->state != CPU_WQ_EXITED) {
            ULONGLONG now = KeQueryInterruptTime();
            if (now >= deadline) {
                break;
            }
            LONGLONG left_us = (LONGLONG)((deadline - now) / 10);
            kpav_cv_timedwait(&r->cv, &r->lock, left_us < stop_wait_us ? left_us : stop_wait_us, false);
        }
        bool stopped = r->state == CPU_WQ_EXITED;
        if (!stopped) {
            // Its thread may still touch it: leave it to whoever ends it.
            r->abandoned = TRUE;
        }
        kpav_spin_unlock(&r->lock);
        if (!stopped) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12317,
                        "Timeout waiting for bound cpu thread to terminate.\n");
            building[i] = nullptr;
        }
    }
}

int register_processor_changes(void*) {
    return kpav_register_processor_change(cpu_wq_processor_change);
}

void unregister_processor_changes(void*) {
    kpav_unregister_processor_change(cpu_wq_processor_change);
}

// Failures are silent here: the cache logs its own, and the caller answers for the rest.
const kpav_step layer_steps[] = {
    {"record table", allocate_table, free_table},
    {"record cache", create_records_cache, destroy_records_cache},
    {"records", allocate_records, free_records},
    {"threads", start_threads, stop_threads},
    {"processor changes", register_processor_changes, unregister_processor_changes},
};

}  // namespace

// Sets the layer up once; a caller that finds another one setting it up waits for the result.
int cpu_wq_init(const cpu_wq_ops* ops) {
    PAGED_CODE();
    for (;;) {
        LONG state = InterlockedCompareExchange(&layer_state, LAYER_STARTING, LAYER_DOWN);
        if (state == LAYER_UP) {
            return 0;
        }
        if (state == LAYER_DOWN) {
            break;
        }
        kpav_udelay(1000);
    }
    set_work_ops(ops != nullptr ? ops : &cpu_wq_ops_defaults);
    int err = kpav_steps_run(&layer_run, layer_steps, ARRAYSIZE(layer_steps), nullptr, nullptr);
    InterlockedExchange(&layer_state, err == 0 ? LAYER_UP : LAYER_DOWN);
    return err;
}

void cpu_wq_exit() {
    PAGED_CODE();
    if (InterlockedCompareExchange(&layer_state, LAYER_STOPPING, LAYER_UP) != LAYER_UP) {
        return;
    }
    kpav_steps_undo(&layer_run, nullptr);
    kpav_numa_exit();
    set_work_ops(&cpu_wq_ops_defaults);
    InterlockedExchange(&layer_state, LAYER_DOWN);
}

// A caller spinning at DISPATCH_LEVEL would keep the thread of its own processor from running;
// below it, releasing the lock lets the thread in.
void cpu_wq_kick_all() {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    cpu_wq** table = published_records();
    if (table == nullptr) {
        return;
    }
    ULONG active = kpav_active_cpus();
    for (ULONG cpu = 0; cpu < active && cpu < record_count; cpu++) {
        cpu_wq* r = table[cpu];
        kpav_spin_lock(&r->lock);
        if (r->state == CPU_WQ_NOT_ACTIVE || r->state == CPU_WQ_EXITED) {
            kpav_spin_unlock(&r->lock);
            continue;
        }
        r->kicks++;
        wake_thread(r);
        // Until the thread has begun a pass, or has gone (a thread that could not start).
        while (r->kicks != 0 && r->state != CPU_WQ_NOT_ACTIVE && r->state != CPU_WQ_EXITED) {
            kpav_spin_unlock(&r->lock);
            KeStallExecutionProcessor(1);
            kpav_spin_lock(&r->lock);
        }
        if (r->state == CPU_WQ_NOT_ACTIVE) {
            r->kicks = 0;
        }
        kpav_spin_unlock(&r->lock);
    }
}

cpu_wq* cpu_wq_lock_for_cpu(ULONG cpu) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    cpu_wq** table = published_records();
    if (table == nullptr) {
        return nullptr;
    }
    ULONG active = kpav_active_cpus();
    if (cpu < record_count) {
        cpu_wq* r = table[cpu];
        kpav_spin_lock(&r->lock);
        if (cpu < active && accepts_work(r)) {
            return r;
        }
        kpav_spin_unlock(&r->lock);
    }
    for (ULONG i = 0; i < active && i < record_count; i++) {
        cpu_wq* r = table[i];
        kpav_spin_lock(&r->lock);
        if (accepts_work(r)) {
            return r;
        }
        kpav_spin_unlock(&r->lock);
    }
    return nullptr;
}

void cpu_wq_unlock(cpu_wq* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_unlock(&record->lock);
}

void cpu_wq_add_completed(cpu_wq* record, LIST_ENTRY* link) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InsertTailList(&record->completed, link);
}

bool cpu_wq_defer_bio(cpu_wq* record, cpu_wq_deferred_bio* bio, int status) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bool was_empty = IsListEmpty(&record->deferred_bios) != 0;
    bio->status = status;
    InsertTailList(&record->deferred_bios, &bio->link);
    return was_empty;
}

void cpu_wq_signal(cpu_wq* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    wake_thread(record);
}

bool cpu_wq_remember_queue(cpu_wq* record, completion_queue* queue) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&record->lock);
    bool remembered = false;
    for (ULONG i = 0; i < record->rearm_count; i++) {
        remembered = remembered || record->rearm[i] == queue;
    }
    if (!remembered && record->rearm_count < CPU_WQ_MAX_REARM_QUEUES) {
        record->rearm[record->rearm_count] = queue;
        WriteNoFence((LONG volatile*)&record->rearm_count, (LONG)record->rearm_count + 1);
        remembered = true;
    }
    kpav_spin_unlock(&record->lock);
    return remembered;
}

ULONG cpu_wq_cpu(const cpu_wq* record) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return record->cpu;
}

ULONG cpu_wq_state(ULONG cpu) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    cpu_wq** table = published_records();
    if (table == nullptr || cpu >= record_count) {
        return CPU_WQ_NOT_ACTIVE;
    }
    cpu_wq* r = table[cpu];
    kpav_spin_lock(&r->lock);
    ULONG state = r->state;
    kpav_spin_unlock(&r->lock);
    return state;
}

void cpu_wq_dump(cpu_wq_line_printer print, void* context, const char* name, bool take_locks) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    char line[dump_line_chars];
    auto emit = [&](const char* format, auto... arguments) {
        kpav_snprintf(line, sizeof line, format, arguments...);
        if (print != nullptr) {
            print(context, line);
        } else {
            kpav_dbgprint("%s", line);
        }
    };
    cpu_wq** table = published_records();
    if (table == nullptr) {
        emit("pavinf %s CPU queue information not available!\n", name);
        return;
    }
    emit("pavinf %s CPU completion queues:\n", name);
    ULONG active = kpav_active_cpus();
    for (ULONG cpu = 0; cpu < record_count; cpu++) {
        cpu_wq* r = table[cpu];
        char list[dump_list_chars + 1];
        size_t used = 0;
        list[0] = 0;
        if (take_locks) {
            kpav_spin_lock(&r->lock);
        }
        ULONG state = r->state;
        bool empty = IsListEmpty(&r->completed) != 0;
        for (PLIST_ENTRY e = r->completed.Flink; e != &r->completed; e = e->Flink) {
            char item[24];
            int n = kpav_snprintf(item, sizeof item, " %p", work_ops()->request_of_link(e));
            if (n <= 0 || used + (size_t)n > dump_list_chars) {
                break;
            }
            RtlCopyMemory(list + used, item, (size_t)n + 1);
            used += (size_t)n;
        }
        if (take_locks) {
            kpav_spin_unlock(&r->lock);
        }
        const char* online = cpu < active ? "on" : "off";
        if (empty) {
            emit("pavinf  CPU%u %sline state %u: <nada>\n", cpu, online, state);
        } else {
            emit("pavinf  CPU%u %sline state %u:%s\n", cpu, online, state, list);
        }
    }
}

void cpu_wq_processor_change(ULONG kind, ULONG cpu) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    cpu_wq** table = published_records();
    cpu_wq* r = table != nullptr && cpu < record_count ? table[cpu] : nullptr;
    if (kind != KPAV_PROCESSOR_ADDED || r == nullptr) {
        return;
    }
    // Processors that exist are reported again when this function is registered: only a
    // record without a thread gets one.
    kpav_spin_lock(&r->lock);
    if (r->state != CPU_WQ_NOT_ACTIVE) {
        kpav_spin_unlock(&r->lock);
        return;
    }
    r->state = CPU_WQ_STARTING;
    kpav_spin_unlock(&r->lock);
    if (tavrin_schedule_work(&r->work) != 0) {
        thread_did_not_start(r);
    }
}

// ---- The plain rules of the threads' work (cpu_wq_ops.h)

ULONG cpu_wq_run_nothing(LIST_ENTRY*, cpu_wq*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

void cpu_wq_no_rearm(completion_queue* const*, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void cpu_wq_no_card_work(pipeline_device*, ULONG) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

void* cpu_wq_link_itself(LIST_ENTRY* link) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return link;
}

void cpu_wq_no_bio_end(cpu_wq_deferred_bio*, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
}

int cpu_wq_no_cards(cpu_wq_card_fn, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}
