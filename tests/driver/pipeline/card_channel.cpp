#include "tests/driver/pipeline/card_channel.h"

#include <cstring>

#include "driver/card/hw_reset.h"
#include "driver/controller/card_services.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "sim/kernel/control.h"
#include "tests/support/csr_dump_decode.h"

namespace {

CardChannelTest* current = nullptr;

}  // namespace

// The geometry the NAND controller's set-up would read from the card.
int CardChannelTest::geometry_from_card(nand_dev* channel) {
    const sim::card::NandGeometry& g = current->model_->config().geometry;
    nand_geometry& out = channel->geometry;
    out.pads = g.banks;
    out.banks = g.banks;
    out.planes = g.planes;
    out.page_size = g.page_data;
    out.rows_per_eb = g.rows;
    out.stripe_bytes = current->stripe_bytes();
    out.eb_count = g.eb_count;
    out.data_pads = g.lanes;
    out.total_pads = g.lanes;
    out.first_block_offset = g.first_block_offset;
    out.page_bits = g.page_bits;
    out.block_bits = g.block_bits;
    out.lun_boundary = g.lun_boundary;
    out.lun_bit = g.lun_bit;
    out.column_unit = g.column_unit;
    out.randomizer_unit = g.randomizer_unit;
    out.plain_units = g.plain_units;
    out.erase_mode = g.planes > 1 ? 1 : 0;
    out.sequence_slots = (UCHAR)g.banks;
    out.part.read_operation = 1;
    out.part.sample_operation = current->model_->config().channel.sample_operation;
    return 0;
}

namespace {

// Waits (bounded) until no dump of the card is between being taken and printed: its text is in
// the buffer with the pending bit, or in the log.
void settle_dump(const pipeline_device& card) {
    constexpr LONG in_progress = 1 << PAV_DUMP_IN_PROGRESS_BIT;
    constexpr LONG pending = 1 << PAV_DUMP_TAKEN_BIT;
    for (int i = 0; i < 2000; i++) {
        LONG state = ReadAcquire(&card.dump_state);
        if ((state & in_progress) == 0 || (state & pending) != 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

std::string CardChannelTest::dump_text() const {
    settle_dump(card_);
    if ((ReadAcquire(&card_.dump_state) & (1 << PAV_DUMP_TAKEN_BIT)) != 0) {
        return std::string(card_.dump.buffer, card_.dump.position);
    }
    return csr_dump_decode::last_printed(sim::kernel::debug_texts(), "dov0");
}

std::vector<std::string> CardChannelTest::dump_texts() const {
    settle_dump(card_);
    std::vector<std::string> log = sim::kernel::debug_texts();
    std::vector<std::string> texts;
    for (size_t nth = 0;; nth++) {
        csr_dump_decode::block b = csr_dump_decode::find_block(log, "dov0", nth);
        if (!b.found) {
            break;
        }
        texts.push_back(csr_dump_decode::decompress(b.bytes));
    }
    if ((ReadAcquire(&card_.dump_state) & (1 << PAV_DUMP_TAKEN_BIT)) != 0) {
        texts.emplace_back(card_.dump.buffer, card_.dump.position);
    }
    return texts;
}

size_t CardChannelTest::dump_requests() const {
    settle_dump(card_);
    std::vector<std::string> log = sim::kernel::debug_texts();
    size_t refused = 0;
    for (const std::string& line : log) {
        refused += line == "dov0: Ignoring CSR dump request: buffer unavailable.\n" ? 1 : 0;
    }
    size_t pending = (ReadAcquire(&card_.dump_state) & (1 << PAV_DUMP_TAKEN_BIT)) != 0 ? 1 : 0;
    return refused + pending + csr_dump_decode::printed_count(log, "dov0");
}

sim::card::CardConfig CardChannelTest::card_config() const {
    sim::card::CardConfig config = sim::card::CardConfig::small();
    return config;
}

void CardChannelTest::SetUp() {
    KernelTest::SetUp();
    current = this;
    LONG* params[] = {&min_requests, &max_requests, &completion_poll_ms, &enable_multq_at_load, &coreclk_max_derating,
                      &make_assert_nonfatal};
    for (size_t i = 0; i < 6; i++) {
        saved_[i] = *params[i];
    }
    min_requests = 1024;
    max_requests = 1024;
    completion_poll_ms = 10;
    enable_multq_at_load = 1;
    ASSERT_EQ(kpav_numa_init(), 0);
    ASSERT_EQ(cpu_wq_init(&controller_cpu_wq_ops), 0);
    ASSERT_EQ(request_caches_create(), 0);
    owner_.nand_controller_init = geometry_from_card;
    owner_.mgmt_data_rle_scan = mgmt_data_rle_scan;

    model_ = std::make_unique<sim::card::Card>(card_config());
    PDEVICE_OBJECT pdo = model_->plug(0, 3, 0);
    ASSERT_NE(pdo, nullptr);
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = (LONGLONG)model_->bar_address();
    bar_ = (volatile ULONG*)MmMapIoSpace(physical, sim::card::Card::bar_size, MmNonCached);
    std::strcpy(card_.name, "dov0");
    card_.bar = bar_;
    card_.csr = bar_ + BAR_NAND / 4;
    card_.window2 = bar_ + BAR_SECOND_DMA / 4;
    card_.cq_windows = bar_ + BAR_CQ_WINDOWS / 4;
    card_.numa_node = PAV_NO_NUMA_NODE;
    card_.dump = {&card_, dump_buffer_.data(), 0, (ULONG)dump_buffer_.size()};
    probe_.bar = card_.bar;
    probe_.csr = card_.csr;
    probe_.cq_windows = card_.cq_windows;
    std::strcpy(probe_.name, "Velkor 0000:00:03.0");
    configure();
    bring_up();
}

void CardChannelTest::bring_up() {
    // Probe: the controller reset; set-up polls until the interrupts are connected.
    probe_.cq_count = card_cq_count(card_.csr);
    ASSERT_EQ(reset_hardware(&probe_, probe_.cq_count), 0);
    ASSERT_EQ(channel_pipeline_init(&card_, &owner_), 0);
    ASSERT_NE(card_.nand, nullptr);
    for (auto& handler : table_) {
        handler = nullptr;
    }
    table_[REQUEST_ERASE] = issue_erase;
    table_[REQUEST_READ] = issue_zero_read;
    card_.nand->issue_table = real_issue_handlers_ ? request_issue_table : table_;
    connect_interrupts();
    // Controller start: every ring in interrupt mode; then the channel starts.
    for (ULONG q = 0; q < probe_.cq_count; q++) {
        csr_write(card_.cq_windows + q * (CQ_WINDOW_BYTES / 4), CQW_STATE, 1);
    }
    ASSERT_EQ(channel_pipeline_start(&card_), 0);
    started_ = true;
}

void CardChannelTest::take_down() {
    channel_pipeline_stop(&card_);
    disconnect_interrupts();
    KeFlushQueuedDpcs();
    channel_pipeline_free(&card_);
}

void CardChannelTest::restart() {
    take_down();
    started_ = false;
    model_->power_on();
    bring_up();
}

void CardChannelTest::TearDown() {
    take_down();
    for (auto& action : after_free_) {
        action();
    }
    if (model_ != nullptr) {
        EXPECT_TRUE(model_->protocol_faults().empty()) << model_->protocol_faults().front().text;
        EXPECT_TRUE(model_->stray_dma().empty()) << model_->stray_dma().front().context;
        if (bar_ != nullptr) {
            cq_enable_windows(&probe_);
            MmUnmapIoSpace((PVOID)bar_, sim::card::Card::bar_size);
        }
        model_->unplug();
        model_.reset();
    }
    cpu_wq_exit();
    request_caches_destroy();
    LONG* params[] = {&min_requests, &max_requests, &completion_poll_ms, &enable_multq_at_load, &coreclk_max_derating,
                      &make_assert_nonfatal};
    for (size_t i = 0; i < 6; i++) {
        *params[i] = saved_[i];
    }
    sim::kernel::set_clock_rate(1.0);
    current = nullptr;
    KernelTest::TearDown();
}

BOOLEAN CardChannelTest::service(PKINTERRUPT, PVOID context, ULONG message) {
    auto* self = (CardChannelTest*)context;
    if (message >= 16) {
        return FALSE;
    }
    KeInsertQueueDpc(&self->dpcs_[message], nullptr, nullptr);
    return TRUE;
}

void CardChannelTest::dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* index = (ULONG*)context;
    cq_drain_vector(&current->card_, *index);
}

void CardChannelTest::connect_interrupts() {
    for (ULONG q = 0; q < 16; q++) {
        dpc_index_[q] = q;
        KeInitializeDpc(&dpcs_[q], dpc_routine, &dpc_index_[q]);
    }
    IO_CONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.MessageBased.PhysicalDeviceObject = model_->device_object();
    p.MessageBased.ConnectionContext.InterruptMessageTable = &messages_;
    p.MessageBased.MessageServiceRoutine = service;
    p.MessageBased.ServiceContext = this;
    ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
}

void CardChannelTest::disconnect_interrupts() {
    if (messages_ == nullptr) {
        return;
    }
    IO_DISCONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.ConnectionContext.InterruptMessageTable = messages_;
    IoDisconnectInterruptEx(&p);
    messages_ = nullptr;
}

// The erase program of the block on every bank: the card answers a bank word per bank with the
// request's tag on the request's ring.
int CardChannelTest::issue_erase(nand_dev* channel, velkor_request* request) {
    nand_erase_program(channel, request, request->params.erase.eb);
    request->flags |= REQ_COMMANDS_WRITTEN;
    current->issued_++;
    return 0;
}

// Header, target, zeros through port B into the request's one buffer, end. The descriptor asks
// for the interrupt; a descriptor of an earlier read of the same kick gets its bit here, the
// last one at the kick's announce.
int CardChannelTest::issue_zero_read(nand_dev* channel, velkor_request* request) {
    completion_queue* ring = request->completion_ring;
    ULONG ring_index = ring != nullptr ? ring->index : 0;
    sgl_entry* piece = &sgl_entries(request->list)[0];
    hw_cmds& cmds = channel->ring;
    if (cmds.dma_irq_index != HW_NO_INDEX) {
        cmds.entries[cmds.dma_irq_index].value |= HW_IRQ_BIT;
    }
    InterlockedExchange(&request->pending_dma, 1);
    hw_cmds_append_nand(channel, 0x20000B, 396);
    hw_cmds_append_nand(channel, ring_index << 24 | 1u << 16 | (ULONG)request->pool_index << 2 | 3, 520);
    hw_transfer_b(channel, piece->length, 0, XFER_FILL);
    cmds.dma_irq_index = hw_dma_descriptor_b(channel, piece->length, piece->bus_address);
    hw_cmds_append_nand(channel, 0, 524);
    request->flags |= REQ_COMMANDS_WRITTEN;
    current->issued_++;
    return 0;
}

void CardChannelTest::request_done(velkor_request* head, ULONG64, ULONG64) {
    std::lock_guard<std::mutex> g(current->mutex_);
    current->completions_[(ULONG)(ULONG_PTR)head->done_arg].push_back((int)ReadNoFence(&head->chain_fail));
    current->completed_++;
}

velkor_request* CardChannelTest::submit_erase(USHORT eb) {
    tavrin_ioctx* ioctx = request_alloc(channel(), REQUEST_ALLOC_WAIT);
    if (ioctx == nullptr) {
        return nullptr;
    }
    velkor_request* r = ioctx->request;
    r->type = REQUEST_ERASE;
    r->params.erase.eb = eb;
    r->done_fn = request_done;
    r->done_arg = (void*)(ULONG_PTR)++submitted_;
    request_chain_validate(r);
    submit_request(r);
    return r;
}

velkor_request* CardChannelTest::submit_zero_read(void* buffer, ULONG size) {
    tavrin_ioctx* ioctx = request_alloc(channel(), REQUEST_ALLOC_WAIT);
    if (ioctx == nullptr) {
        return nullptr;
    }
    velkor_request* r = ioctx->request;
    r->type = REQUEST_READ;
    r->data_op = DATA_OP_ZEROS;
    r->params.read.data_length = size;
    r->params.read.transfer_length = size;
    r->done_fn = request_done;
    r->done_arg = (void*)(ULONG_PTR)++submitted_;
    if (kpav_sgl_map_bytes(r->list, buffer, size) != 0) {
        request_free(r);
        return nullptr;
    }
    request_chain_validate(r);
    submit_request(r);
    return r;
}

size_t CardChannelTest::completed() const {
    std::lock_guard<std::mutex> g(mutex_);
    return completed_;
}

std::map<ULONG, std::vector<int>> CardChannelTest::completions() const {
    std::lock_guard<std::mutex> g(mutex_);
    return completions_;
}

void CardChannelTest::append_filler(ULONG count) {
    nand_dev* ch = channel();
    kpav_spin_lock(&ch->issue_lock);
    for (ULONG i = 0; i < count; i++) {
        hw_cmds_append_nand(ch, i, NAND_CORECLK_DERATING);
    }
    hw_cmds_announce(ch);
    kpav_spin_unlock(&ch->issue_lock);
}
