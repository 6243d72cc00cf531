// The request builders, synchronous and with completion, run against the scripted back end that
// answers every request it is told about.

#include <cstring>

#include "driver/pipeline/builders.h"
#include "driver/pipeline/ebinfo.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/backend.h"

using sim::kernel::clear_debug_lines;

namespace {

class BuildersTest : public PipelineTest {
  protected:
    void configure() override { backend_.complete_on_announce = true; }

    ULONG free_requests() { return (ULONG)ReadNoFence(&channel_.pool.free_request_count); }

    append_point ap_{};
    void SetUp() override {
        PipelineTest::SetUp();
        ap_.geometry_a = 16;
        ap_.geometry_b = 512 | (528u << 16);
        ap_.channel = &channel_;
    }

    // Flags and parameters of the requests as the handlers saw them.
    struct seen {
        ULONG type;
        ULONG data_op;
        ULONG64 flags;
        request_params params;
        ULONG list_bytes;
    };
    std::vector<seen> seen_;
    std::mutex seen_mutex_;
    void watch() {
        backend_.on_issue = [this](velkor_request* r) {
            std::lock_guard<std::mutex> g(seen_mutex_);
            seen_.push_back({r->type, r->data_op, r->flags, r->params, r->list != nullptr ? r->list->total_bytes : 0});
        };
    }
};

TEST_F(BuildersTest, RawReadsRefuseMisalignedInputBeforeTakingARequest) {
    std::vector<UCHAR> buffer(4096);
    media_address at{4096, 3, {}};
    clear_debug_lines();
    EXPECT_EQ(media_read_raw(&channel_, &at, buffer.data(), 12, 0, nullptr, nullptr, nullptr), -22);
    EXPECT_EQ(log(), (std::vector<std::string>{"dov0: invalid size: 12\n",
                                               "paverr Corvane driver: 14338 Internal software error.\n"}));
    media_address odd{4100, 3, {}};
    clear_debug_lines();
    EXPECT_EQ(media_read_raw(&channel_, &odd, buffer.data(), 16, 0, nullptr, nullptr, nullptr), -22);
    EXPECT_EQ(log(), (std::vector<std::string>{"dov0: unaligned read: 3:4100\n",
                                               "paverr Corvane driver: 14338 Internal software error.\n"}));
    EXPECT_EQ(request_read_aligned(&channel_, &odd, 16), -22);
    EXPECT_EQ(free_requests(), 64u);
    EXPECT_EQ(backend_.issued_count(), 0u);
}

TEST_F(BuildersTest, ARawReadRunsAndReturnsItsRequest) {
    watch();
    std::vector<UCHAR> buffer(8192);
    media_address at{4096, 3, {}};
    read_recovery_record recovery{};
    EXPECT_EQ(media_read_raw(&channel_, &at, buffer.data(), 8192, REQ_ERASED_IS_ERROR, &recovery, nullptr, nullptr), 0);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].type, (ULONG)REQUEST_READ);
    EXPECT_EQ(seen_[0].data_op, (ULONG)DATA_OP_RAW_DATA);
    EXPECT_NE(seen_[0].flags & REQ_ERASED_IS_ERROR, 0u);
    EXPECT_EQ(seen_[0].params.read.transfer_length, 8192u);
    EXPECT_EQ(seen_[0].params.read.address.offset, 4096u);
    EXPECT_EQ(seen_[0].params.read.recovery, &recovery);
    EXPECT_EQ(seen_[0].list_bytes, 8192u);
    EXPECT_EQ(free_requests(), 64u);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_READ][STAT_COMPLETED]), 1);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_READ][STAT_BYTES]), 8192);
}

TEST_F(BuildersTest, ACheckReadLandsInTheRequestItself) {
    watch();
    media_address at{0, 9, {}};
    EXPECT_EQ(request_read_aligned(&channel_, &at, 4096), 0);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].data_op, (ULONG)DATA_OP_CHECK_READ);
    EXPECT_NE(seen_[0].flags & REQ_CHECK_READ, 0u);
    EXPECT_EQ(seen_[0].list_bytes, 8u);
}

TEST_F(BuildersTest, AnEraseZeroesItsResultAndNotesTheErase) {
    use_ebinfo();
    erase_result result;
    std::memset(&result, 0xAB, sizeof result);
    EXPECT_EQ(request_erase_sync(&channel_, 5, &result, REQ_HIGH_PRIORITY), 0);
    EXPECT_EQ(result.values[3], 0u);
    EXPECT_EQ(result.status, 0u);
    // The block's record learns of the erase: counted, blank.
    EXPECT_EQ(ebinfo_get(&channel_, 5)->erase_count, 1);
    EXPECT_EQ(ebinfo_condition(&channel_, 5), EB_COND_BLANK);
    EXPECT_EQ(ebinfo_get(&channel_, 4)->erase_count, 0);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_ERASE][STAT_SUBMITTED]), 1);
    EXPECT_EQ(ReadNoFence64(&channel_.stats[REQUEST_ERASE][STAT_BYTES]), 1048576);  // the block's usable length
}

TEST_F(BuildersTest, AFailingHandlerReachesTheSynchronousCaller) {
    backend_.handler_error = -5;
    EXPECT_EQ(request_erase_sync(&channel_, 5, nullptr, 0), -5);
    EXPECT_EQ(free_requests(), 64u);
}

TEST_F(BuildersTest, AnAdvanceReportsTheBlockItClosedOr65535) {
    static std::vector<std::pair<void*, USHORT>> written;
    written.clear();
    auto notice = [](void* log, USHORT eb) { written.push_back({log, eb}); };
    std::atomic<int> close_it{1};
    backend_.on_issue = [&](velkor_request* r) {
        if (r->type == REQUEST_ADVANCE_AP) {
            r->params.advance.closed = (UCHAR)close_it.load();
        }
    };
    int log_record = 0;
    UCHAR closed = 9;
    EXPECT_EQ(request_advance_append_point_sync(&ap_, 12, &closed, notice, &log_record), 0);
    EXPECT_EQ(closed, 1);
    close_it = 0;
    EXPECT_EQ(request_advance_append_point_sync(&ap_, 13, &closed, notice, &log_record), 0);
    EXPECT_EQ(closed, 0);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], std::make_pair((void*)&log_record, (USHORT)12));
    EXPECT_EQ(written[1], std::make_pair((void*)&log_record, PAV_NO_EB));
}

TEST_F(BuildersTest, OpenAndCloseFollowTheAppendPointsOpenFlag) {
    watch();
    USHORT closed_eb = 1;
    EXPECT_EQ(request_close_append_point_sync(&ap_, &closed_eb), 0);  // never opened: nothing runs
    EXPECT_EQ(backend_.issued_count(), 0u);
    EXPECT_EQ(request_open_append_point_sync(&ap_), 0);
    EXPECT_NE(ap_.flags & AP_OPEN, 0);
    backend_.on_issue = [](velkor_request* r) { r->params.close.eb = 44; };
    EXPECT_EQ(request_close_append_point_sync(&ap_, &closed_eb), 0);
    EXPECT_EQ(closed_eb, 44);
    EXPECT_EQ(ap_.flags & AP_OPEN, 0);
}

TEST_F(BuildersTest, FlushJoiningFollowsTheCallerAndTheController) {
    watch();
    EXPECT_EQ(request_barrier_sync(&ap_, BUILD_FLUSH_JOIN), 0);
    EXPECT_EQ(request_barrier_sync(&ap_, BUILD_FLUSH_JOIN_IF_JOINING), 0);
    EXPECT_EQ(request_barrier_sync(&ap_, 0), 0);
    channel_.geometry.flushless = 1;
    EXPECT_EQ(request_barrier_sync(&ap_, BUILD_FLUSH_JOIN_IF_JOINING), 0);
    EXPECT_EQ(request_barrier_sync(&ap_, BUILD_FLUSH_JOIN), 0);
    const ULONG64 join = REQ_FLUSH_JOIN | REQ_FLUSH_WAITER;
    ASSERT_EQ(seen_.size(), 5u);
    EXPECT_EQ(seen_[0].flags & join, join);
    EXPECT_EQ(seen_[1].flags & join, join);
    EXPECT_EQ(seen_[2].flags & join, 0u);
    EXPECT_EQ(seen_[3].flags & join, 0u);
    EXPECT_EQ(seen_[4].flags & join, join);
}

TEST_F(BuildersTest, APageProgramMapsItsBufferAndJoinsTheFlush) {
    watch();
    std::vector<UCHAR> row(4096, 0x5A);
    EXPECT_EQ(request_page_program_sync(&channel_, 6, 0, row.data(), 4096, nullptr, nullptr, 1), 0);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].list_bytes, 4096u);
    EXPECT_EQ(seen_[0].flags & (REQ_FLUSH_JOIN | REQ_FLUSH_WAITER), REQ_FLUSH_JOIN | REQ_FLUSH_WAITER);
    EXPECT_EQ(seen_[0].params.page_program.eb, 6);
    // A whole row of pad 0 filled its flush record, which was issued.
    EXPECT_EQ(backend_.flush_rows_issued().size(), 1u);
}

TEST_F(BuildersTest, AnAppendCarriesItsHeaderAndReportsWhereItLanded) {
    struct notice_seen {
        std::atomic<int> calls{0};
        std::atomic<int> status{1};
        std::atomic<ULONG> vectors{9};
    };
    static notice_seen notices;
    notices.calls = 0;
    notices.status = 1;
    notices.vectors = 9;
    watch();
    auto on_issue = backend_.on_issue;
    backend_.on_issue = [on_issue](velkor_request* r) {
        on_issue(r);
        r->params.append.lvec.count = 1;
        r->params.append.lvec.vectors[0] = {7, 100};
    };
    std::vector<UCHAR> packets(3 * 512, 1);
    const ULONG geometry[2] = {32, 512 | (528u << 16)};
    int arg = 0;
    auto notice = [](int status, const pav_addr_block* runs, void* a) {
        notices.calls++;
        notices.status = status;
        notices.vectors = runs->count;
        EXPECT_NE(a, nullptr);
        return 0;
    };
    EXPECT_EQ(request_submit_append(&ap_, notice, nullptr, geometry, 0x8E00112233445566ull, 3, packets.data(), nullptr,
                                    &arg),
              0);
    ASSERT_TRUE(eventually([] { return notices.calls == 1; }));
    EXPECT_EQ(notices.status.load(), 0);
    EXPECT_EQ(notices.vectors.load(), 1u);
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].data_op, (ULONG)DATA_OP_PACKETS);
    EXPECT_EQ(seen_[0].flags & 0x402040u, 0x402040u);
    EXPECT_EQ(seen_[0].params.append.opcode, 0x8E);
    EXPECT_EQ(seen_[0].params.append.magic, 0x00112233445566ull);
    EXPECT_EQ(seen_[0].params.append.size, 1536u);
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
}

TEST_F(BuildersTest, PreparingAnAppendReadsItsPacketHeader) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* r = context->request;
    const UCHAR header[16] = {0x8E, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(request_prepare_append(r, &ap_, header, 16, BUILD_HIGH_PRIORITY | BUILD_GROOMER), 0);
    EXPECT_EQ(r->params.append.opcode, 0x8E);
    EXPECT_EQ(r->params.append.magic, ((0x12ull << 16 | 0x5634) << 32) | 0xDEBC9A78ull);
    EXPECT_EQ(r->flags & 0x6040u, 0x6040u);
    EXPECT_NE(r->flags & REQ_HIGH_PRIORITY, 0u);
    EXPECT_NE(r->flags & REQ_GROOMER, 0u);
    EXPECT_EQ(r->list->total_bytes, 16u);
    EXPECT_EQ(std::memcmp(r->inline_data, header, 16), 0);
    // More than the inline area holds is refused.
    std::vector<UCHAR> big(REQUEST_INLINE_BYTES + 8);
    EXPECT_EQ(request_prepare_append(r, &ap_, big.data(), (ULONG)big.size(), 0), -22);
    request_free(r);
}

TEST_F(BuildersTest, APacketReadCompletesThroughTheChunkedReadCompletion) {
    static std::atomic<void*> completed_arg{nullptr};
    auto done = [](velkor_request* head, ULONG64, ULONG64) { completed_arg = head->done_arg; };
    watch();
    std::vector<UCHAR> buffer(4 * 512);
    media_address at{8192, 4, {}};
    int arg = 0;
    EXPECT_EQ(media_read_packets_async(&channel_, &at, buffer.data(), 4, done, nullptr, &arg), 0);
    ASSERT_TRUE(eventually([&] { return completed_arg.load() == &arg; }));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].params.read.packet_kind, 160);
    EXPECT_EQ(seen_[0].params.read.lba, 0xFFFFFFFFFF7A00ull);
    EXPECT_EQ(seen_[0].params.read.data_length, 2048u);
    EXPECT_EQ(seen_[0].params.read.transfer_length, 4u * 528);
    ASSERT_TRUE(eventually([&] { return free_requests() == 64u; }));
}

TEST_F(BuildersTest, AChainThatFailsValidationCompletesWithItsErrorAndIsNeverIssued) {
    tavrin_ioctx* context = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
    velkor_request* head = context->request;
    velkor_request* member = request_alloc_chained(&channel_, &head);
    head->type = REQUEST_READ;
    head->params.read.address = {0, 1, {}};
    member->type = REQUEST_ERASE;
    clear_debug_lines();
    EXPECT_EQ(request_submit_wait(context), -22);
    EXPECT_EQ(backend_.issued_count(), 0u);
    bool related = false;
    for (const std::string& line : log()) {
        related = related || (line.rfind("pavinf related: ", 0) == 0 && line.find(" erase request ") != std::string::npos);
    }
    EXPECT_TRUE(related);
    EXPECT_EQ(free_requests(), 64u);
}

TEST_F(BuildersTest, MaskedPageReadsFindThePageOfAStridePosition) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    masked_read_holder holder;
    holder.request = context->request;
    std::memset(holder.area, 0xFF, sizeof holder.area);
    eb_stride stride{512, 0, 1024};
    LONG64 first = -1;
    // Position 512 + 1024 x 20 = 20992: row 1 (16384 bytes a row), pad 1 (4608 into the row).
    EXPECT_EQ(request_prepare_masked_page_read(&channel_, &stride, &holder, 8, 20, 0, &first), 0);
    velkor_request* r = context->request;
    EXPECT_EQ(r->type, (ULONG)REQUEST_MASKED_PAGE_READ);
    EXPECT_EQ(r->params.masked_read.page, 5);
    EXPECT_EQ(r->params.masked_read.eb, 8);
    EXPECT_EQ(holder.area[7], 0);
    EXPECT_EQ(first, (16384 + 4096 - 512) / 1024);
    EXPECT_EQ(stride_index_of_page(&channel_, &stride, PAV_NO_EB, 3, 0), -512 / 1024);
    eb_stride flat{0, 0, 0};
    EXPECT_EQ(stride_index_of_page(&channel_, &flat, 8, 3, 0), 0);
    EXPECT_EQ(request_prepare_masked_page_read(&channel_, &stride, &holder, 8, 5000, 0, &first), -22);
    request_free(r);
}

}  // namespace
