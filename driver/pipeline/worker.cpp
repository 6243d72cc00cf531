// The channel's worker and poller threads and the watchdog.

#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"

namespace {

constexpr ULONG64 worker_wait_us = 1000000;
constexpr ULONG64 watchdog_period_us = 10000000;
constexpr ULONG64 stuck_quiet_us = 50000000;   // no completion for this long, or
constexpr ULONG64 stuck_any_us = 300000000;    // issued this long ago: stuck
constexpr ULONG stop_passes = 302;
constexpr LONGLONG stop_pass_us = 100000;
constexpr ULONG credit_retry_us = 1000;

bool watchdog_due(nand_dev* channel, ULONG64 now) {
    return !channel_failed(channel) && now - (ULONG64)ReadNoFence64(&channel->watchdog_check_us) >= watchdog_period_us;
}

// The oldest request on the card that no completion path has taken yet.
velkor_request* oldest_outstanding(nand_dev* channel) {
    request_pool* pool = &channel->pool;
    velkor_request* oldest = nullptr;
    LONG64 oldest_seq = 0;
    for (ULONG tag = 1; tag <= pool->total; tag++) {
        velkor_request* r = request_of_tag(channel, tag);
        if (r == nullptr || ReadAcquire(&r->retire_claim) == 0) {
            continue;
        }
        LONG64 seq = ReadNoFence64(&r->issue_seq);
        if (oldest == nullptr || seq < oldest_seq) {
            oldest = r;
            oldest_seq = seq;
        }
    }
    return oldest;
}

// A thread's last words: its exit bit is set and its stopper woken under the poller lock, and
// the lock's release is the last touch of the channel. The stopper reads the bits under the same
// lock, so once it sees them the channel may go.
void thread_exited(nand_dev* channel, LONG bit) {
    kpav_spin_lock(&channel->poller_lock);
    status_set(channel, bit);
    kpav_cv_broadcast(&channel->poller_cv);
    kpav_spin_unlock(&channel->poller_lock);
}

bool threads_exited(nand_dev* channel) {
    const LONG both = PIPE_WORKER1_EXITED | PIPE_POLLER_EXITED;
    return (ReadAcquire(&channel->software_status) & both) == both;
}

void worker_thread(void* argument) {
    auto* channel = (nand_dev*)argument;
    status_set(channel, PIPE_WORKER_AWAKE);
    while (!status_test(channel, PIPE_EXIT)) {
        kpav_spin_lock(&channel->worker_lock);
        if (!worker_has_work(channel)) {
            status_clear(channel, PIPE_WORKER_AWAKE);
            if (!worker_has_work(channel)) {
                kpav_cv_timedwait(&channel->worker_cv, &channel->worker_lock, worker_wait_us, false);
            }
            status_set(channel, PIPE_WORKER_AWAKE);
        }
        kpav_spin_unlock(&channel->worker_lock);
        if (status_test(channel, PIPE_EXIT)) {
            break;
        }
        pipeline_worker_pass(channel, true);
        // Out of credits with nothing on the card: retry soon, but not in a tight loop.
        if (ReadNoFence(&channel->credit_blocked) != 0 && ReadNoFence(&channel->outstanding_count) == 0) {
            kpav_udelay(credit_retry_us);
        }
    }
    thread_exited(channel, PIPE_WORKER1_EXITED);
}

void poller_thread(void* argument) {
    auto* channel = (nand_dev*)argument;
    while (!status_test(channel, PIPE_EXIT)) {
        kpav_spin_lock(&channel->poller_lock);
        if (!status_test(channel, PIPE_EXIT)) {
            kpav_cv_timedwait(&channel->poller_cv, &channel->poller_lock, (LONGLONG)completion_poll_ms * 1000, false);
        }
        kpav_spin_unlock(&channel->poller_lock);
        if (status_test(channel, PIPE_EXIT)) {
            break;
        }
        while (channel->backend->poll(channel) == CQ_DRAIN_MORE) {
        }
    }
    thread_exited(channel, PIPE_POLLER_EXITED);
}

void run_watchdog(nand_dev* channel, ULONG64 now) {
    channel->owner->check_lost_bus(channel);
    if (watchdog_check(channel, now, false)) {
        bool drained = channel->backend->drain_all(channel);
        if (!drained && watchdog_check(channel, now, true)) {
            fail_channel(channel, 1, CHANNEL_FAIL_WATCHDOG);
        } else {
            InterlockedIncrement(&channel->rescues);
        }
    } else {
        // No stuck request: the check with messages still reports a stuck flush.
        watchdog_check(channel, now, true);
    }
    WriteNoFence64(&channel->watchdog_check_us, (LONG64)now);
}

}  // namespace

bool worker_has_work(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((ReadAcquire(&channel->software_status) & (PIPE_EXIT | PIPE_NEEDS_ISSUE | PIPE_NEEDS_COMPLETION)) != 0) {
        return true;
    }
    if ((LONG)channel_state(channel) != ReadNoFence(&channel->last_state_seen)) {
        return true;
    }
    return watchdog_due(channel, pipe_now_us());
}

void worker_wake(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->worker_lock);
    if (!status_test(channel, PIPE_WORKER_AWAKE) && worker_has_work(channel)) {
        kpav_cv_broadcast(&channel->worker_cv);
    }
    kpav_spin_unlock(&channel->worker_lock);
}

void pipeline_worker_pass(nand_dev* channel, bool from_worker) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (from_worker) {
        ULONG64 now = pipe_now_us();
        ULONG state = channel_state(channel);
        if ((LONG)state != ReadNoFence(&channel->last_state_seen)) {
            channel_client_ops(channel)->state_change(channel, state);
            WriteNoFence(&channel->last_state_seen, (LONG)state);
        }
        if (status_take(channel, PIPE_NEEDS_COMPLETION)) {
            collect_completed(channel);
        }
        if (watchdog_due(channel, now)) {
            run_watchdog(channel, now);
        }
        while (channel->backend->drain_write_ring(channel) == CQ_DRAIN_MORE) {
        }
    }
    pipeline_kick(channel, from_worker);
    channel_service_requests(channel);
}

int pipeline_threads_start(nand_dev* channel) {
    PAGED_CODE();
    status_clear(channel, PIPE_EXIT | PIPE_WORKER1_EXITED);
    int err = kpav_create_thread(worker_thread, channel, channel->card);
    if (err != 0) {
        status_set(channel, PIPE_WORKER1_EXITED);
        return err;
    }
    if (completion_poll_ms != 0) {
        status_clear(channel, PIPE_POLLER_EXITED);
        err = kpav_create_thread(poller_thread, channel, channel->card);
        if (err != 0) {
            status_set(channel, PIPE_POLLER_EXITED);
            pipeline_threads_stop(channel);
            return err;
        }
    }
    channel->started = 1;
    return 0;
}

void pipeline_threads_stop(nand_dev* channel) {
    PAGED_CODE();
    status_set(channel, PIPE_EXIT);
    for (ULONG pass = 0; pass < stop_passes; pass++) {
        kpav_spin_lock(&channel->poller_lock);
        bool exited = threads_exited(channel);
        kpav_spin_unlock(&channel->poller_lock);
        if (exited) {
            break;
        }
        if (!status_test(channel, PIPE_WORKER_AWAKE)) {
            kpav_spin_lock(&channel->worker_lock);
            while (kpav_cv_signal(&channel->worker_cv) != 0) {
            }
            kpav_spin_unlock(&channel->worker_lock);
        }
        kpav_spin_lock(&channel->poller_lock);
        if (!threads_exited(channel)) {
            kpav_cv_timedwait(&channel->poller_cv, &channel->poller_lock, stop_pass_us, false);
        }
        kpav_spin_unlock(&channel->poller_lock);
    }
    if (!status_test(channel, PIPE_WORKER1_EXITED)) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12300, "Timed out waiting for WORKER1 to exit.\n");
    }
    if (!status_test(channel, PIPE_POLLER_EXITED)) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12301, "Timed out waiting for POLLER to exit.\n");
    }
    channel->started = 0;
}

bool watchdog_stuck(nand_dev* channel, ULONG64 now, ULONG64 issued_at, bool is_flush, bool print) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 age = now > issued_at ? now - issued_at : 0;
    if (age < stuck_quiet_us) {
        return false;
    }
    bool quiet = !print || channel->flush_failure_mode != 0;
    const char* what = is_flush ? "flush" : "request";
    if (age < stuck_any_us) {
        ULONG64 last = (ULONG64)ReadNoFence64(&channel->last_completion_us);
        ULONG64 since = now > last ? now - last : 0;
        if (since <= stuck_quiet_us) {
            return false;
        }
        if (!quiet) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12303,
                        "Watchdog fired - %s stuck issued %llu us ago last completion %llu us ago\n", what,
                        (unsigned long long)age, (unsigned long long)since);
        }
        return true;
    }
    if (!quiet) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12302, "Watchdog fired - %s stuck issued %llu (%llu, %llu) us ago\n",
                    what, (unsigned long long)age, (unsigned long long)now, (unsigned long long)issued_at);
    }
    return true;
}

bool watchdog_check(nand_dev* channel, ULONG64 now, bool print) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    velkor_request* oldest = oldest_outstanding(channel);
    if (oldest != nullptr && watchdog_stuck(channel, now, (ULONG64)ReadNoFence64(&oldest->issue_us), false, print)) {
        if (print) {
            if (channel->flush_failure_mode != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Pipeline flush failed.\n", channel_name(channel));
            } else {
                kpav_print(KPAV_CLASS_ERROR, "%s: Stuck req\n", channel_name(channel));
                dump_request(oldest, "    ");
            }
        }
        return true;
    }
    kpav_spin_lock(&channel->issue_lock);
    flush_record* record = flush_oldest_issued(channel);
    if (record != nullptr && watchdog_stuck(channel, now, record->issue_time / 10, true, print) && print) {
        if (channel->flush_failure_mode != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Pipeline flush failed.\n", channel_name(channel));
        } else {
            kpav_print(KPAV_CLASS_ERROR, "%s: Stuck flush %u:%u bank %u.\n", channel_name(channel), (ULONG)record->eb,
                       (ULONG)record->pad, record->bank);
        }
    }
    kpav_spin_unlock(&channel->issue_lock);
    return false;
}
