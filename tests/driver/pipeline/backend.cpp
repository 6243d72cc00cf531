#include "tests/driver/pipeline/backend.h"

#include "driver/controller/card_services.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/prepare.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "sim/kernel/control.h"

void scripted_backend::install(nand_dev* channel) {
    channel_ = channel;
    ops_.read_credit_word = read_credit_word;
    ops_.announce = announce;
    ops_.write_derating = write_derating;
    ops_.poll = poll;
    ops_.dma_transfer = dma_transfer;
    ops_.stop_interrupts = stop_interrupts;
    ops_.program_start = program_start;
    for (auto& handler : table_) {
        handler = handle;
    }
    channel->backend = &ops_;
    channel->backend_context = this;
    channel->issue_table = table_;
    KeInitializeDpc(&dpc_, dpc_routine, this);
}

void scripted_backend::uninstall() {
    wait_dpcs();
    channel_->backend = nullptr;
    channel_->issue_table = nullptr;
}

std::vector<issued_request> scripted_backend::issued() {
    std::lock_guard<std::mutex> g(mutex_);
    return issued_;
}

size_t scripted_backend::issued_count() {
    std::lock_guard<std::mutex> g(mutex_);
    return issued_.size();
}

std::vector<ULONG> scripted_backend::flush_rows_issued() {
    std::lock_guard<std::mutex> g(mutex_);
    return rows_;
}

bool scripted_backend::wait_issued(size_t count, int milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (issued_count() < count) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The count moves as a handler starts; the issuer holds the issue lock until the request is
    // on the card and may be completed. A completion sent before that would find nothing owed.
    kpav_spin_lock(&channel_->issue_lock);
    kpav_spin_unlock(&channel_->issue_lock);
    return true;
}

int scripted_backend::handle(nand_dev* channel, velkor_request* request) {
    scripted_backend* b = of(channel);
    {
        std::lock_guard<std::mutex> g(b->mutex_);
        b->issued_.push_back({request->type, request->pool_index, request});
    }
    if (b->on_issue) {
        b->on_issue(request);
    }
    int error = b->handler_error.load();
    if (error != 0) {
        return error;
    }
    ULONG entries = b->entries_per_request.load();
    InterlockedExchange(&channel->ring_producer, (LONG)(((ULONG)channel->ring_producer + entries) % RING_ENTRIES));
    channel->free_entries -= entries < channel->free_entries ? entries : channel->free_entries;
    if (!b->write_commands.load()) {
        return 0;
    }
    request->flags |= REQ_COMMANDS_WRITTEN;
    if (request->read_class != 0) {
        request->page_reads = 1;
        InterlockedIncrement(&request->pending_dma);
    } else {
        InterlockedIncrement(&request->pending_report);
    }
    if (request->type == REQUEST_PAGE_PROGRAM) {
        flush_position position{request->params.page_program.eb,
                                eb_page_offset(channel, request->params.page_program.eb, request->params.page_program.page)};
        flush_account_bytes(channel, &position, request, request->params.page_program.size);
    } else if (request->type == REQUEST_APPEND) {
        flush_account_bytes(channel, &b->write_position, request, request->params.append.size);
    }
    std::lock_guard<std::mutex> g(b->mutex_);
    b->unannounced_.push_back(request);
    return 0;
}

ULONG scripted_backend::read_credit_word(nand_dev* channel) {
    scripted_backend* b = of(channel);
    b->credit_reads++;
    if (b->credit_word_fixed.load()) {
        return b->credit_word.load();
    }
    // The card consumed everything it was given.
    ULONG consumed = (RING_ENTRIES - (ULONG)ReadNoFence(&channel->ring_producer)) % RING_ENTRIES;
    return consumed << 13;
}

void scripted_backend::announce(nand_dev* channel) {
    scripted_backend* b = of(channel);
    std::vector<velkor_request*> told;
    std::vector<ULONG> rows;
    {
        std::lock_guard<std::mutex> g(b->mutex_);
        told.swap(b->unannounced_);
        rows.swap(b->unannounced_rows_);
    }
    if (told.empty() && rows.empty()) {
        return;
    }
    b->announces++;
    if (channel->free_doorbells > 0) {
        channel->free_doorbells--;
    }
    if (b->complete_on_announce.load()) {
        b->complete_in_dpc(told, rows);
    }
}

void scripted_backend::write_derating(nand_dev* channel, ULONG value) {
    of(channel)->derating_value = value;
    of(channel)->derating_writes++;
}

int scripted_backend::poll(nand_dev* channel) {
    of(channel)->polls++;
    return 0;
}

void scripted_backend::dma_transfer(nand_dev* channel, const ioc_transfer* transfer) {
    scripted_backend* b = of(channel);
    std::lock_guard<std::mutex> g(b->mutex_);
    b->transfers_.push_back(*transfer);
}

std::vector<ioc_transfer> scripted_backend::transfers() {
    std::lock_guard<std::mutex> g(mutex_);
    return transfers_;
}

void scripted_backend::stop_interrupts(nand_dev* channel) {
    of(channel)->interrupts_stopped++;
}

void scripted_backend::program_start(nand_dev* channel, flush_record* record) {
    scripted_backend* b = of(channel);
    b->program_starts++;
    std::lock_guard<std::mutex> g(b->mutex_);
    b->rows_.push_back(record->index);
    b->unannounced_rows_.push_back(record->index);
}

void scripted_backend::complete(velkor_request* request) {
    nand_dev* channel = request->channel;
    if (request->read_class != 0) {
        // Taken for retirement before it is linked, as the decoder does.
        if (InterlockedDecrement(&request->pending_dma) == 0 && request_claim(request)) {
            LIST_ENTRY list;
            InitializeListHead(&list);
            InsertTailList(&list, &request->queue_link);
            cq_deliver_to_cpus(&list);
        }
        return;
    }
    InterlockedDecrement(&request->pending_report);
    pipeline_note_completion(channel);
}

void scripted_backend::complete_issued() {
    std::vector<velkor_request*> now;
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (; completed_upto_ < issued_.size(); completed_upto_++) {
            now.push_back(issued_[completed_upto_].request);
        }
    }
    for (velkor_request* r : now) {
        complete(r);
    }
}

void scripted_backend::complete_in_dpc(const std::vector<velkor_request*>& requests, const std::vector<ULONG>& rows) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (velkor_request* r : requests) {
            dpc_queue_.push_back(r);
        }
        for (ULONG row : rows) {
            dpc_rows_.push_back(row);
        }
    }
    dpcs_pending_++;
    KeSetTargetProcessorDpc(&dpc_, (CCHAR)dpc_processor.load());
    if (!KeInsertQueueDpc(&dpc_, nullptr, nullptr)) {
        dpcs_pending_--;  // already queued: that run takes these too
    }
}

void scripted_backend::wait_dpcs() {
    for (int i = 0; i < 100000 && dpcs_pending_.load() > 0; i++) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void scripted_backend::dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* b = (scripted_backend*)context;
    for (;;) {
        ULONG row;
        {
            std::lock_guard<std::mutex> g(b->mutex_);
            if (b->dpc_rows_.empty()) {
                break;
            }
            row = b->dpc_rows_.front();
            b->dpc_rows_.pop_front();
        }
        flush_complete(b->channel_, row);
    }
    for (;;) {
        velkor_request* r;
        {
            std::lock_guard<std::mutex> g(b->mutex_);
            if (b->dpc_queue_.empty()) {
                break;
            }
            r = b->dpc_queue_.front();
            b->dpc_queue_.pop_front();
        }
        b->complete(r);
    }
    b->dpcs_pending_--;
}

// ---------------------------------------------------------------------------------------------

void PipelineTest::SetUp() {
    KernelTest::SetUp();
    saved_min_ = min_requests;
    saved_max_ = max_requests;
    saved_poll_ = completion_poll_ms;
    saved_derating_ = coreclk_max_derating;
    min_requests = 64;
    max_requests = 64;
    completion_poll_ms = 0;
    ASSERT_EQ(kpav_numa_init(), 0);
    ASSERT_EQ(cpu_wq_init(&controller_cpu_wq_ops), 0);
    ASSERT_EQ(request_caches_create(), 0);
    std::strcpy(card_.name, "dov0");
    nand_dev_init(&channel_, &card_);
    channel_.owner = &owner_;
    nand_geometry& g = channel_.geometry;
    g.pads = 4;
    g.banks = 2;
    g.planes = 1;
    g.page_size = 4096;
    g.rows_per_eb = 64;
    g.stripe_bytes = 65536;
    g.eb_count = 128;
    g.packets_per_eb = 2048;
    g.packet_geometry_a = 0;
    g.packet_geometry_b = 512 | (528u << 16);
    backend_.install(&channel_);
    configure();
    ASSERT_EQ(pipeline_start_channel(&channel_), 0);
    started_ = true;
}

void PipelineTest::use_ebinfo() {
    const nand_geometry& g = channel_.geometry;
    store_geometry geometry{};
    geometry.eb_count = g.eb_count;
    geometry.banks = g.banks;
    geometry.planes = g.planes;
    geometry.total_pads = g.pads / g.banks;
    geometry.data_pads = geometry.total_pads;
    ASSERT_EQ(ebinfo_init(&channel_, &geometry), 0);
    for (USHORT eb = 0; eb < g.eb_count; eb++) {
        for (ULONG bank = 0; bank < g.banks; bank++) {
            ebinfo_get(&channel_, eb)->banks[bank].effective_mask = (1u << geometry.total_pads) - 1;
            ebinfo_get(&channel_, eb)->banks[bank].usable_bytes = g.pads / g.banks * g.page_size;
        }
    }
}

void PipelineTest::TearDown() {
    backend_.wait_dpcs();
    if (started_) {
        pipeline_stop_channel(&channel_);
    }
    ebinfo_exit(&channel_);
    backend_.uninstall();
    cpu_wq_exit();
    request_caches_destroy();
    min_requests = saved_min_;
    max_requests = saved_max_;
    completion_poll_ms = saved_poll_;
    coreclk_max_derating = saved_derating_;
    sim::kernel::set_clock_rate(1.0);
    KernelTest::TearDown();
}

tavrin_ioctx* PipelineTest::make_read(USHORT eb, ULONG64 offset, void* buffer, ULONG size) {
    tavrin_ioctx* context = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return nullptr;
    }
    velkor_request* r = context->request;
    r->type = REQUEST_READ;
    r->data_op = DATA_OP_RAW_DATA;
    r->params.read.address.eb = eb;
    r->params.read.address.offset = offset;
    r->params.read.data_length = size;
    r->params.read.transfer_length = size;
    EXPECT_EQ(kpav_sgl_map_bytes(r->list, buffer, size), 0);
    return context;
}

tavrin_ioctx* PipelineTest::make_page_program(USHORT eb, USHORT page, const void* buffer, ULONG size, ULONG64 flags) {
    tavrin_ioctx* context = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return nullptr;
    }
    velkor_request* r = context->request;
    r->type = REQUEST_PAGE_PROGRAM;
    r->data_op = DATA_OP_RAW_DATA;
    r->params.page_program.eb = eb;
    r->params.page_program.page = page;
    r->params.page_program.size = size;
    r->flags |= flags;
    EXPECT_EQ(kpav_sgl_map_bytes(r->list, buffer, size), 0);
    return context;
}
