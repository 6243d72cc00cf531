// Preparation by request type, the flush records a request needs, DMA mapping, and the IOC
// buffer sets.

#include <cstring>

#include "driver/pipeline/prepare.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/backend.h"

using namespace sim::kernel;

namespace {

class PrepareTest : public PipelineTest {
  protected:
    velkor_request* take() {
        tavrin_ioctx* context = request_alloc(&channel_, 0);
        EXPECT_NE(context, nullptr);
        taken_.push_back(context->request);
        return context->request;
    }
    void TearDown() override {
        for (velkor_request* r : taken_) {
            request_free_list(r);
        }
        PipelineTest::TearDown();
    }
    std::string hex(const void* p) {
        char text[20];
        std::snprintf(text, sizeof text, "%016llX", (unsigned long long)(ULONG_PTR)p);
        return text;
    }
    std::vector<velkor_request*> taken_;
};

TEST_F(PrepareTest, AnUninitializedRequestIsRefusedWithItsMessage) {
    velkor_request* r = take();
    clear_debug_lines();
    EXPECT_EQ(request_prepare(r), -22);
    EXPECT_EQ(log(), (std::vector<std::string>{"dov0: Attempt to process uninitialized request.\n",
                                               "dov0: Request uninitialized " + hex(r) + " invalid -22\n"}));
    EXPECT_NE(r->flags & REQ_PREPARE_ERROR, 0u);
}

TEST_F(PrepareTest, AFailedOrExitingChannelRefusesWithoutCallingTheHandler) {
    velkor_request* r = take();
    r->type = REQUEST_UNINITIALIZED;  // its handler would print
    fail_channel(&channel_, 0, 1);
    clear_debug_lines();
    EXPECT_EQ(request_prepare(r), -5);
    EXPECT_TRUE(log().empty());
}

TEST_F(PrepareTest, BinaryCommandsCheckTheirMicroOperations) {
    velkor_request* r = take();
    binary_command command{};
    r->type = REQUEST_BINARY_COMMAND;
    r->params.binary.buffer = &command;
    // Eight valid operations are too many: refused as an error, never as a positive result.
    for (int i = 0; i < 8; i++) {
        command.ops[i].valid = 1;
        command.ops[i].link = BINARY_NO_LINK;
    }
    command.first = BINARY_NO_LINK;
    clear_debug_lines();
    EXPECT_EQ(request_prepare(r), -22);
    EXPECT_EQ(log()[0], "dov0: Invalid binary command size.\n");

    // Three operations linked 0 -> 2 -> 1: the links take the request's tag.
    command = {};
    for (int i = 0; i < 3; i++) {
        command.ops[i].valid = 1;
    }
    command.first = 0;
    command.ops[0].link = 2;
    command.ops[2].link = 1;
    command.ops[1].link = BINARY_NO_LINK;
    r->params.binary.count = 3;
    EXPECT_EQ(request_prepare(r), 0);
    EXPECT_EQ(command.first, BINARY_NO_LINK);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(command.ops[i].link, r->pool_index);
    }
    EXPECT_EQ(r->cmd_done, 0);

    struct link_case {
        ULONG first;
        ULONG link0;
        ULONG expected_count;
        int result;
    };
    const link_case cases[] = {
        {BINARY_NO_LINK, 0, 0, 0},     // no chain, none expected
        {BINARY_NO_LINK, 0, 1, -22},   // no chain, one expected
        {0, BINARY_NO_LINK, 2, -22},   // one link, two expected
        {0, 9, 2, -22},                // a link beyond the operations
        {0, 0, 5, -22},                // a loop
    };
    for (const link_case& c : cases) {
        command = {};
        command.ops[0].valid = 1;
        command.ops[1].valid = 1;
        command.first = c.first;
        command.ops[0].link = c.link0;
        command.ops[1].link = BINARY_NO_LINK;
        r->params.binary.count = c.expected_count;
        EXPECT_EQ(request_prepare(r), c.result) << c.first << " " << c.link0;
    }
}

TEST_F(PrepareTest, AReadFindsItsPadAndRefusesToRunPastItsEraseBlock) {
    static const ULONG levels[4] = {0xFFFFFFFF, 0x11, 0x22, 0xFFFFFFFF};
    owner_.eb_pad_read_level = [](nand_dev*, USHORT, ULONG pad) { return levels[pad]; };
    std::vector<UCHAR> buffer(8192);
    velkor_request* r = take();
    r->type = REQUEST_READ;
    r->data_op = DATA_OP_RAW_DATA;
    r->params.read.address = {4096 + 100, 2, {}};  // pad 1 of row 0
    r->params.read.transfer_length = 4096;         // into pad 2
    ASSERT_EQ(kpav_sgl_map_bytes(r->list, buffer.data(), 4096), 0);
    EXPECT_EQ(request_prepare(r), 0);
    EXPECT_EQ(r->pad_index, 1u);
    EXPECT_EQ(r->read_class, 1u);
    EXPECT_EQ(r->readlevel_override[1], 0x11u);
    EXPECT_EQ(r->readlevel_override[2], 0x22u);
    EXPECT_EQ(r->readlevel_override[0], 0xFFFFFFFFu);
    EXPECT_NE(r->flags & REQ_READ_LEVELS, 0u);
    EXPECT_NE(r->flags & REQ_DMA_TO_HOST, 0u);
    EXPECT_EQ(r->dma_map_in_use->total_bytes, 4096u);
    EXPECT_EQ(r->bytes_done, 4096u);

    velkor_request* past = take();
    past->type = REQUEST_READ;
    past->data_op = DATA_OP_RAW_DATA;
    past->params.read.address = {1048576 - 4096, 2, {}};
    past->params.read.transfer_length = 8192;
    EXPECT_EQ(request_prepare(past), -22);

    // A retry keeps its recovery state only when it reads erased media as an error.
    read_recovery_record recovery;
    std::memset(&recovery, 0x77, sizeof recovery);
    velkor_request* retried = take();
    retried->type = REQUEST_READ;
    retried->data_op = DATA_OP_ZEROS;
    retried->params.read.recovery = &recovery;
    retried->flags |= REQ_RETRY | REQ_ERASED_IS_ERROR;
    EXPECT_EQ(request_prepare(retried), 0);
    EXPECT_EQ(recovery.scratch[59], 0);
    EXPECT_EQ(recovery.state, 0x77777777u);
    retried->flags &= ~REQ_ERASED_IS_ERROR;
    EXPECT_EQ(request_prepare(retried), 0);
    EXPECT_EQ(recovery.state, 0u);
}

TEST_F(PrepareTest, MappingWithoutAContextIsRefused) {
    velkor_request* head = take();
    velkor_request* member = request_alloc_chained(&channel_, &head);
    head->ioctx->request = head;
    tavrin_ioctx* context = head->ioctx;
    head->ioctx = nullptr;
    member->type = REQUEST_PAGE_PROGRAM;
    clear_debug_lines();
    EXPECT_EQ(request_dma_map(member, false), -22);
    EXPECT_EQ(log()[0], "dov0: Attempt to automatically DMA map a request without an associated ioctx.\n");
    head->ioctx = context;
}

TEST_F(PrepareTest, FlushRecordsNeededByTypeAndOwner) {
    // pages(n) = ceil(n / 4096), plus one when n is at least a page.
    EXPECT_EQ(flush_pages(&channel_, 0), 0u);
    EXPECT_EQ(flush_pages(&channel_, 100), 1u);
    EXPECT_EQ(flush_pages(&channel_, 4096), 2u);
    EXPECT_EQ(flush_pages(&channel_, 4097), 3u);

    velkor_request* r = take();
    r->geometry_b = 512 | (528u << 16);
    const ULONG owner[2] = {100, 20};
    EXPECT_EQ(compute_flushes_needed(&channel_, r, 8192, owner), 0);
    // 100 + 8192 + 40 - 8 = 8324 bytes: 3 pages + 1 -> 5 records.
    EXPECT_EQ(r->flushes_needed, 5u);
    EXPECT_EQ(r->bytes_done, 8192u);
    r->data_op = DATA_OP_PACKETS;
    EXPECT_EQ(compute_flushes_needed(&channel_, r, 1024, nullptr), 0);
    EXPECT_EQ(r->bytes_done, 1056u);  // two packets as they lie on media
    channel_.geometry.flush_fill_count = 2;
    EXPECT_EQ(compute_flushes_needed(&channel_, r, 1024, nullptr), 0);
    EXPECT_EQ(r->flushes_needed, 2u + 4 * 2 + 1 - 1);
    r->flags |= REQ_NO_FLUSH_FILL;
    EXPECT_EQ(compute_flushes_needed(&channel_, r, 1024, nullptr), 0);
    EXPECT_EQ(r->flushes_needed, 2u);
    // No owner words can ask for more records than the channel has.
    const ULONG huge[2] = {0, 0x7FFFFFFF};
    EXPECT_EQ(compute_flushes_needed(&channel_, r, 1024, huge), 0);
    EXPECT_EQ(r->flushes_needed, FLUSH_RECORD_COUNT);

    append_point ap{};
    ap.geometry_a = 4096;
    ap.geometry_b = 4;
    velkor_request* step = take();
    step->type = REQUEST_ADVANCE_AP;
    step->params.advance.ap = &ap;
    step->flags |= REQ_NO_FLUSH_FILL;
    EXPECT_EQ(request_prepare(step), 0);
    EXPECT_EQ(step->flushes_needed, 3u);  // pages(4096) + 1

    velkor_request* erase = take();
    erase->type = REQUEST_ERASE;
    erase->params.erase.eb = 3;
    EXPECT_EQ(request_prepare(erase), 0);
    EXPECT_EQ(erase->bytes_done, 1048576u);
}

TEST_F(PrepareTest, AChainTakesTheFirstErrorOnEveryMember) {
    std::vector<UCHAR> buffer(4096);
    velkor_request* head = take();
    velkor_request* bad = request_alloc_chained(&channel_, &head);
    velkor_request* good = request_alloc_chained(&channel_, &head);
    head->type = REQUEST_OPEN_AP;
    bad->type = REQUEST_UNINITIALIZED;
    good->type = REQUEST_OPEN_AP;
    EXPECT_EQ(request_chain_prepare(head), -22);
    EXPECT_EQ(head->chain_fail, -22);
    for (velkor_request* r : {head, bad, good}) {
        EXPECT_EQ(r->fail, -22);
        EXPECT_NE(r->flags & REQ_FAILED, 0u);
    }
    EXPECT_EQ(head->pending, 3);
    EXPECT_EQ(head->queued, 3);
    // The chain's earlier error is returned without preparing again.
    clear_debug_lines();
    EXPECT_EQ(request_chain_prepare(head), -22);
    EXPECT_TRUE(log().empty());
}

TEST_F(PrepareTest, SamplePadsNeedTheirFlagAndBuffer) {
    velkor_request* r = take();
    r->type = REQUEST_SAMPLE_PADS;
    r->params.sample.page = 6;
    EXPECT_EQ(request_prepare(r), -22);
    UCHAR sample[64];
    r->sample_buffer = sample;
    EXPECT_EQ(request_prepare(r), -22);
    r->flags |= REQ_SAMPLE_18;
    EXPECT_EQ(request_prepare(r), 0);
    EXPECT_EQ(r->pad_index, 2u);
    EXPECT_EQ(r->read_class, 1u);
}

TEST_F(PrepareTest, MaskedPageReadsTakeThePagesPad) {
    UCHAR area[256];
    velkor_request* r = take();
    r->type = REQUEST_MASKED_PAGE_READ;
    r->params.masked_read = {0, 4, 7};
    ASSERT_EQ(kpav_sgl_map_bytes(r->list, area, sizeof area), 0);
    EXPECT_EQ(request_prepare(r), 0);
    EXPECT_EQ(r->pad_index, 3u);
    EXPECT_EQ(r->bytes_done, 4096u);
    EXPECT_EQ(r->read_class, 1u);
}

// ---------------------------------------------------------------------------------------------
// IOC buffer sets

TEST_F(PrepareTest, BufferSetsMapTheirSlotsForTheRingsDescriptorWriter) {
    ioc_bufs set;
    ASSERT_EQ(ioc_alloc(&set, 3, 8192, nullptr, nullptr, "ebh"), 0);
    EXPECT_EQ(set.state, -1);
    EXPECT_EQ(set.count, 3u);
    velkor_request* r = take();
    EXPECT_EQ(ioc_slot_map(r, &set, 1, false), 0);
    auto transfers = backend_.transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].request, r);
    EXPECT_EQ(transfers[0].remaining, 8192u);
    EXPECT_EQ(transfers[0].first, &sgl_entries(set.bufs[1].list)[0]);
    EXPECT_EQ(set.flags[1] & IOC_SLOT_MAPPED, IOC_SLOT_MAPPED);
    EXPECT_EQ(ioc_slot_map(r, &set, 3, false), -22);

    // A part of a slot: its transfer starts in the entry that holds the part's first byte; a
    // part that runs past the buffer is refused and hands nothing over.
    const struct {
        ULONG offset;
        ULONG bytes;
        int rc;
    } parts[] = {{0, 8192, 0}, {4104, 520, 0}, {8184, 8, 0}, {8000, 200, -22}, {8200, 0, -22}};
    const UCHAR* data = (const UCHAR*)set.bufs[1].data;
    for (const auto& part : parts) {
        const size_t before = backend_.transfers().size();
        ASSERT_EQ(ioc_slot_map_range(r, &set, 1, part.offset, part.bytes, false), part.rc) << part.offset;
        transfers = backend_.transfers();
        if (part.rc != 0) {
            EXPECT_EQ(transfers.size(), before) << part.offset;
            continue;
        }
        ASSERT_EQ(transfers.size(), before + 1) << part.offset;
        const ioc_transfer& t = transfers.back();
        EXPECT_EQ(t.remaining, part.bytes) << part.offset;
        EXPECT_LT(t.start_offset, t.first->length) << part.offset;
        EXPECT_EQ(t.first->bus_address + t.start_offset,
                  (ULONG64)MmGetPhysicalAddress((PVOID)(data + part.offset)).QuadPart)
            << part.offset;
    }

    // A slot that is released wakes the one waiting for it.
    volatile LONG waiter = 1;
    set.flags[2] = IOC_SLOT_BUSY | IOC_SLOT_MAPPED;
    set.bufs[2].waiter = &waiter;
    ioc_slot_release(&set, 2);
    EXPECT_EQ(waiter, 0);
    EXPECT_EQ(set.flags[2], 0);
    ioc_free(&set);
    EXPECT_EQ(set.count, 0u);
}

TEST_F(PrepareTest, ABufferSetThatCannotBeMadeSaysWhichPartFailed) {
    struct failure {
        const char* tag;
        uint64_t nth;
        const char* message;
    };
    const failure cases[] = {
        {"vml4", 3, "ebf: Inadequate memory (IOC).\n"},        // the first buffer
        {"vml4", 4, "ebf: Failed to allocate sgl (IOC).\n"},   // its list
        {"ato4", 2, "ebf: Failed to map DMA (IOC).\n"},        // the second buffer's map
    };
    for (const failure& f : cases) {
        ioc_bufs set;
        clear_debug_lines();
        fail_nth(fault_site::pool, f.nth, f.tag);
        EXPECT_EQ(ioc_alloc(&set, 2, 4096, nullptr, nullptr, "ebf"), -12);
        clear_faults();
        EXPECT_TRUE(logged(f.message)) << f.message;
        EXPECT_EQ(set.bufs, nullptr);
    }
}

}  // namespace
