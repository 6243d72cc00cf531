// The channel pipeline: moves validated request chains from their submitters to the card and
// back.
//
// Submit prepares a chain and queues it under the request-queue lock, then kicks the issue
// loop. The issue loop runs under the issue lock (a DPC or a submitter only tries it once and
// leaves the work to the worker thread): it picks requests from the scheduler, checks the
// card's credits, runs each request type's issue handler and records the request as
// outstanding. Ordered requests (read class 0) wait in the outstanding ring and retire in issue
// order once the card owes them nothing; reads complete as the completion decoder finds them
// done and are handed to the cpu_wq thread of the processor that allocated them. Retirement
// runs read recovery, releases erase-block buffers, reports erase blocks and completes the
// chain: statistics, its callback, the waiter last.
//
// Per channel a worker thread ("%s-worker") collects ordered completions, retries issue, runs
// the 10 s watchdog and serves register dumps; a poller thread ("%s-poll") polls the
// completion rings every completion_poll_ms.
//
// Where the next parts plug in:
// - nand_dev::issue_table: the ring code's `request_issue_table`, one request_issue_handler per
//   type; a handler writes its commands, raises the request's pending_* counts, accounts write
//   bytes with flush_account_bytes and lowers nand_dev::free_entries for the entries it used.
// - nand_dev::backend (channel_backend_ops): the credit word (read by the issue loop only when
//   the cached credits nand_dev::free_doorbells / free_entries fall to their floor, against
//   nand_dev::ring_producer), the doorbell, the derating register, the ring drains and polls,
//   the row program, program start and row padding of flush records, the DMA descriptor writer.
// - The completion decoder lowers a request's pending_* counts (interlocked) and then:
//   a read-class request whose counts reached 0 is claimed and goes on a list (through
// queue_link) handed to cq_deliver_to_cpus; for ordered requests it calls pipeline_note_completion,
// and the worker
//   collects them from the outstanding ring. Row completions go to flush_complete.
#pragma once

#include "driver/pipeline/nand_dev.h"
#include "driver/platform/os.h"

struct lba_range_table;
struct cpu_wq;

// Prepares and queues the chain of `head`; 0 or the preparation's error (the chain is queued
// anyway and completes with it through the Fail Q). At most DISPATCH_LEVEL.
int submit_request(velkor_request* head);
// The data path's submit: the chain's writes enter `table` as they are queued; while requests
// are held the chain waits on the Hold Q instead.
void submit_data_request(lba_range_table* table, velkor_request* head);
// Raises and lowers the hold count; when it returns to 0 every held chain is queued, in order.
void pipeline_hold_requests(nand_dev* channel);
void release_held_requests(nand_dev* channel);
// Read recovery: queues the request again alone, at the front of its read queue; false when its
// preparation failed.
bool resubmit_request(nand_dev* channel, velkor_request* request);
// Fails the request with -KPAV_EIO (unless it failed already) and puts it on the Fail Q.
void queue_failed_request(nand_dev* channel, velkor_request* request);

// Runs the issue loop (may_block: waits for the issue lock and, on a failed channel, fails
// everything; else tries the lock once and leaves the work to the worker).
void pipeline_kick(nand_dev* channel, bool may_block);
// Under the issue lock.
void issue_requests(nand_dev* channel, ULONG* out_more);
void post_issue(nand_dev* channel, velkor_request* request);

// The completion side. The requests on `list` were taken for retirement (request_claim) by the
// caller before they were linked: no other path touches their links meanwhile.
void cq_deliver_to_cpus(LIST_ENTRY* list);
// The decoder saw ordered work progress: the worker collects.
void pipeline_note_completion(nand_dev* channel);
ULONG collect_completed(nand_dev* channel);
void retire_request(nand_dev* channel, velkor_request* request);
void retire_list(nand_dev* channel, LIST_ENTRY* list, ULONG flag);
ULONG cpu_wq_run_completions(LIST_ENTRY* list, cpu_wq* record);
void request_complete(nand_dev* channel, velkor_request* head, ULONG64 latency_us);

// Threads.
void pipeline_worker_pass(nand_dev* channel, bool from_worker);
void worker_wake(nand_dev* channel);
bool worker_has_work(nand_dev* channel);
// Starts WORKER1 and, when completion_poll_ms is not 0, POLLER. 0 or -KPAV_ENOMEM. PASSIVE_LEVEL.
int pipeline_threads_start(nand_dev* channel);
// Asks both threads to exit and waits up to 302 x 100 ms. PASSIVE_LEVEL.
void pipeline_threads_stop(nand_dev* channel);

// Watchdog.
bool watchdog_stuck(nand_dev* channel, ULONG64 now, ULONG64 issued_at, bool is_flush, bool print);
bool watchdog_check(nand_dev* channel, ULONG64 now, bool print);

// On a failed channel: fails every queued, held, outstanding and row-waiting request with
// -KPAV_EIO. Below DISPATCH_LEVEL.
void fail_bad_state_requests(nand_dev* channel);
// Fails the channel once (state 4), or queues the failure while start defers failures.
void fail_channel(nand_dev* channel, int csr_dump, ULONG reason);
// Drains the channel: waits until nothing is queued and no row is in flight (bounded: the
// channel fails after 300 s). Below DISPATCH_LEVEL.
void quiesce_channel(nand_dev* channel);

// The pipeline's start and stop for one channel, as step tables: queues, flush records, the
// request pool, the threads. 0 or the failing step's error. PASSIVE_LEVEL.
int pipeline_start_channel(nand_dev* channel);
void pipeline_stop_channel(nand_dev* channel);

// Drains the channel (unless it failed) and initialises its NAND controller again: the
// controller's result; a negative one fails the channel (reason 2048), else the channel runs
// (state 3). PASSIVE_LEVEL.
int channel_reinit(nand_dev* channel);

// The driver-wide register-dump request: set by the bug-check path and the control interface,
// served by the next submit or worker pass of any channel.
extern volatile LONG pav_dump_requested;

