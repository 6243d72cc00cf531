// Request round trips through the channel pipeline beside a plain mutex-protected queue doing the
// same hand-offs, in the same run, on 1 and 4 submitting processors.
//
// A round trip: take a request from the pool, fill it as a read, prepare and submit it; the issue
// loop runs its (scripted) issue handler and rings the doorbell; the "card" answers from a DPC,
// which hands the request to the submitting processor's pav-wq thread; that thread retires it,
// runs its completion and returns it to the pool. Each iteration sends a burst of reads per
// submitter and waits until all came back.
//
// The baseline does the same with a free list under a mutex and two mutex-and-condition queues:
// submitter -> card thread -> retire thread (one per submitter) -> free list. "ratio" is pipeline
// time / baseline time.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/controller/card_services.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/prepare.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "sim/kernel/control.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr int burst = 16;
constexpr int max_submitters = 4;
constexpr ULONG completion_cpu = 1;

void wait_until(const std::atomic<int64_t>& counter, int64_t target) {
    while (counter.load(std::memory_order_acquire) < target) {
        std::this_thread::yield();
    }
}

// ---------------------------------------------------------------------------------------------
// The scripted card: every read asks for one DMA-done, which a DPC posts after the doorbell.

struct bench_card {
    std::mutex mutex;
    std::vector<velkor_request*> told;     // issued since the last doorbell
    std::deque<velkor_request*> answers;   // for the DPC
    KDPC dpc;
    channel_backend_ops ops = channel_backend_defaults;
    request_issue_handler table[REQUEST_TYPE_COUNT] = {};
};

bench_card* card_of(nand_dev* channel) {
    return (bench_card*)channel->backend_context;
}

int issue(nand_dev* channel, velkor_request* request) {
    request->flags |= REQ_COMMANDS_WRITTEN;
    InterlockedIncrement(&request->pending_dma);
    bench_card* card = card_of(channel);
    std::lock_guard<std::mutex> g(card->mutex);
    card->told.push_back(request);
    return 0;
}

ULONG credits(nand_dev*) {
    return 0;  // everything consumed
}

void answer(PKDPC, PVOID context, PVOID, PVOID) {
    auto* card = (bench_card*)context;
    LIST_ENTRY done;
    InitializeListHead(&done);
    {
        std::lock_guard<std::mutex> g(card->mutex);
        while (!card->answers.empty()) {
            velkor_request* r = card->answers.front();
            card->answers.pop_front();
            if (InterlockedDecrement(&r->pending_dma) == 0) {
                InsertTailList(&done, &r->queue_link);
            }
        }
    }
    cq_deliver_to_cpus(&done);
}

void doorbell(nand_dev* channel) {
    bench_card* card = card_of(channel);
    {
        std::lock_guard<std::mutex> g(card->mutex);
        if (card->told.empty()) {
            return;
        }
        card->answers.insert(card->answers.end(), card->told.begin(), card->told.end());
        card->told.clear();
    }
    KeInsertQueueDpc(&card->dpc, nullptr, nullptr);
}

// One channel on the scripted card, with the per-processor threads.
struct bench_channel {
    pipeline_device device{};
    nand_dev channel;
    bench_card card;
    std::atomic<int64_t> completed[max_submitters];
    UCHAR buffer[4096] = {};
    bool ready = false;

    bool start() {
        sim::kernel::wait_for_system_threads(10000);
        sim::kernel::boot();
        min_requests = 512;
        max_requests = 512;
        completion_poll_ms = 0;
        if (kpav_numa_init() != 0 || cpu_wq_init(&controller_cpu_wq_ops) != 0 || request_caches_create() != 0) {
            return false;
        }
        std::strcpy(device.name, "dov0");
        nand_dev_init(&channel, &device);
        nand_geometry& g = channel.geometry;
        g.pads = 4;
        g.banks = 2;
        g.planes = 1;
        g.page_size = 4096;
        g.rows_per_eb = 64;
        g.stripe_bytes = 65536;
        g.eb_count = 128;
        card.ops.read_credit_word = credits;
        card.ops.announce = doorbell;
        for (auto& handler : card.table) {
            handler = issue;
        }
        KeInitializeDpc(&card.dpc, answer, &card);
        KeSetTargetProcessorDpc(&card.dpc, (CCHAR)completion_cpu);
        channel.backend = &card.ops;
        channel.backend_context = &card;
        channel.issue_table = card.table;
        for (auto& c : completed) {
            c = 0;
        }
        ready = pipeline_start_channel(&channel) == 0;
        return ready;
    }

    void stop() {
        if (ready) {
            pipeline_stop_channel(&channel);
        }
        KeFlushQueuedDpcs();  // the card's last answer has left its DPC before anything goes
        cpu_wq_exit();
        request_caches_destroy();
        sim::kernel::wait_for_system_threads(10000);
    }
};

std::unique_ptr<bench_channel> pipeline;

void count_completion(velkor_request* head, ULONG64, ULONG64) {
    auto index = (ULONG_PTR)head->done_arg;
    pipeline->completed[index].fetch_add(1, std::memory_order_release);
}

// A read of one page, submitted.
void round_trip_start(bench_channel* b, ULONG index) {
    tavrin_ioctx* context = request_alloc(&b->channel, REQUEST_ALLOC_WAIT);
    velkor_request* r = context->request;
    r->type = REQUEST_READ;
    r->data_op = DATA_OP_RAW_DATA;
    r->params.read.address.eb = 1;
    r->params.read.transfer_length = sizeof b->buffer;
    r->params.read.data_length = sizeof b->buffer;
    kpav_sgl_map_bytes(r->list, b->buffer, sizeof b->buffer);
    r->done_fn = count_completion;
    r->done_arg = (void*)(ULONG_PTR)index;
    submit_request(r);
}

// ---------------------------------------------------------------------------------------------
// The baseline: the same hand-offs through plain queues.

struct plain_item {
    LIST_ENTRY link;
    ULONG submitter;
    UCHAR payload[64];
};

class plain_queue {
  public:
    explicit plain_queue(std::function<void(plain_item*)> consume) : consume_(std::move(consume)) {
        InitializeListHead(&items_);
        consumer_ = std::thread([this] { run(); });
    }
    ~plain_queue() {
        {
            std::lock_guard<std::mutex> g(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        consumer_.join();
    }
    void push(plain_item* item) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            InsertTailList(&items_, &item->link);
        }
        wake_.notify_one();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !IsListEmpty(&items_); });
            if (stop_) {
                return;
            }
            while (!IsListEmpty(&items_)) {
                auto* item = CONTAINING_RECORD(RemoveHeadList(&items_), plain_item, link);
                lock.unlock();
                consume_(item);
                lock.lock();
            }
        }
    }

    std::function<void(plain_item*)> consume_;
    std::mutex mutex_;
    std::condition_variable wake_;
    LIST_ENTRY items_;
    bool stop_ = false;
    std::thread consumer_;
};

struct plain_pipeline {
    std::mutex free_mutex;
    LIST_ENTRY free_items;
    std::vector<plain_item> items;
    std::atomic<int64_t> completed[max_submitters];
    std::unique_ptr<plain_queue> retire[max_submitters];
    std::unique_ptr<plain_queue> card;

    plain_pipeline() : items(512 * max_submitters) {
        InitializeListHead(&free_items);
        for (plain_item& item : items) {
            InsertTailList(&free_items, &item.link);
        }
        for (int i = 0; i < max_submitters; i++) {
            completed[i] = 0;
            retire[i] = std::make_unique<plain_queue>([this](plain_item* item) {
                ULONG who = item->submitter;
                {
                    std::lock_guard<std::mutex> g(free_mutex);
                    InsertHeadList(&free_items, &item->link);
                }
                completed[who].fetch_add(1, std::memory_order_release);
            });
        }
        card = std::make_unique<plain_queue>([this](plain_item* item) { retire[item->submitter]->push(item); });
    }
    ~plain_pipeline() {
        card.reset();
        for (auto& r : retire) {
            r.reset();
        }
    }
    void start(ULONG submitter) {
        plain_item* item;
        {
            std::lock_guard<std::mutex> g(free_mutex);
            item = CONTAINING_RECORD(RemoveHeadList(&free_items), plain_item, link);
        }
        item->submitter = submitter;
        std::memset(item->payload, 0, sizeof item->payload);
        card->push(item);
    }
};

std::unique_ptr<plain_pipeline> baseline;

void BM_RequestRoundTrip(benchmark::State& state) {
    ULONG index = (ULONG)state.thread_index();
    if (index == 0) {
        pipeline = std::make_unique<bench_channel>();
        if (!pipeline->start()) {
            state.SkipWithError("no channel");
        }
        baseline = std::make_unique<plain_pipeline>();
    }
    double pipeline_ns = 0;
    double baseline_ns = 0;
    int64_t sent = 0;
    for (auto _ : state) {
        sim::kernel::set_current_processor(index);
        sent += burst;
        auto t0 = steady::now();
        for (int i = 0; i < burst; i++) {
            round_trip_start(pipeline.get(), index);
        }
        wait_until(pipeline->completed[index], sent);
        auto t1 = steady::now();
        for (int i = 0; i < burst; i++) {
            baseline->start(index);
        }
        wait_until(baseline->completed[index], sent);
        auto t2 = steady::now();
        pipeline_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        baseline_ns += (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count();
    }
    double total = (double)sent;
    state.counters["pipeline_ns_per_request"] =
        benchmark::Counter(total > 0 ? pipeline_ns / total : 0, benchmark::Counter::kAvgThreads);
    state.counters["baseline_ns_per_request"] =
        benchmark::Counter(total > 0 ? baseline_ns / total : 0, benchmark::Counter::kAvgThreads);
    state.counters["ratio"] =
        benchmark::Counter(baseline_ns > 0 ? pipeline_ns / baseline_ns : 0, benchmark::Counter::kAvgThreads);
    // Summed over the submitters: the channel's throughput, and the baseline's.
    state.counters["round_trips_per_second"] = benchmark::Counter(pipeline_ns > 0 ? total * 1e9 / pipeline_ns : 0);
    state.counters["baseline_round_trips_per_second"] =
        benchmark::Counter(baseline_ns > 0 ? total * 1e9 / baseline_ns : 0);
    state.SetItemsProcessed(sent);
    if (index == 0) {
        // Every thread has left its loop: the channel can go.
        baseline.reset();
        pipeline->stop();
        pipeline.reset();
    }
}
BENCHMARK(BM_RequestRoundTrip)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
