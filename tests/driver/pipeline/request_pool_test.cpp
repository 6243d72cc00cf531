// The request pool and its per-processor caches, chains and their validation, and printing.

#include <atomic>
#include <thread>

#include "driver/pipeline/request.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/backend.h"

using namespace sim::kernel;

namespace {

ULONG free_requests(nand_dev* channel) {
    return (ULONG)ReadNoFence(&channel->pool.free_request_count);
}

class RequestPoolTest : public PipelineTest {};

TEST_F(RequestPoolTest, AllocationTakesAPairAndResetsItAsAOneRequestChain) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    ASSERT_NE(context, nullptr);
    velkor_request* r = context->request;
    EXPECT_EQ(context->channel, &channel_);
    EXPECT_EQ(r->ioctx, context);
    EXPECT_EQ(r->list, context->list);
    EXPECT_EQ(r->chain_head, r);
    EXPECT_EQ(r->chain_count, 1u);
    EXPECT_EQ(r->type, (ULONG)REQUEST_UNINITIALIZED);
    EXPECT_EQ(request_of_tag(&channel_, r->pool_index), r);
    for (ULONG level : r->readlevel_override) {
        EXPECT_EQ(level, 0xFFFFFFFFu);
    }
    EXPECT_GE(channel_.sgl_capacity, 257u);
    EXPECT_EQ(free_requests(&channel_), 63u);
    request_free(r);
    EXPECT_EQ(free_requests(&channel_), 64u);
    EXPECT_EQ(context->request, nullptr);
}

TEST_F(RequestPoolTest, TagsOutsideTheTableFindNothing) {
    EXPECT_EQ(request_of_tag(&channel_, 0), nullptr);
    EXPECT_EQ(request_of_tag(&channel_, 65), nullptr);
    EXPECT_NE(request_of_tag(&channel_, 64), nullptr);
}

TEST_F(RequestPoolTest, AnEmptyPoolRefusesANonWaitingCallerAndWakesAWaitingOneOnFree) {
    std::vector<tavrin_ioctx*> taken;
    for (int i = 0; i < 64; i++) {
        taken.push_back(request_alloc(&channel_, 0));
        ASSERT_NE(taken.back(), nullptr);
    }
    EXPECT_EQ(request_alloc(&channel_, 0), nullptr);
    std::atomic<tavrin_ioctx*> got{nullptr};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        got = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    request_free(taken.back()->request);
    taken.pop_back();
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    waiter.join();
    ASSERT_NE(got.load(), nullptr);
    taken.push_back(got.load());
    for (tavrin_ioctx* context : taken) {
        request_free(context->request);
    }
}

TEST_F(RequestPoolTest, AFailedChannelGivesNoRequestsAndWakesWaiters) {
    std::vector<tavrin_ioctx*> taken;
    for (int i = 0; i < 64; i++) {
        taken.push_back(request_alloc(&channel_, 0));
    }
    std::atomic<bool> done{false};
    std::atomic<tavrin_ioctx*> got{(tavrin_ioctx*)1};
    std::thread waiter([&] {
        got = request_alloc(&channel_, REQUEST_ALLOC_WAIT);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fail_channel(&channel_, 0, 7);
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    waiter.join();
    EXPECT_EQ(got.load(), nullptr);
    EXPECT_EQ(request_alloc(&channel_, 0), nullptr);
    velkor_request* head = nullptr;
    EXPECT_EQ(request_alloc_chained(&channel_, &head), nullptr);
    for (tavrin_ioctx* context : taken) {
        request_free(context->request);
    }
}

TEST_F(RequestPoolTest, ChainedRequestsJoinTheHeadsChainWithoutAContext) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* head = context->request;
    velkor_request* second = request_alloc_chained(&channel_, &head);
    velkor_request* third = request_alloc_chained(&channel_, &head);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(head, context->request);
    EXPECT_EQ(head->chain_count, 3u);
    EXPECT_EQ(second->ioctx, nullptr);
    EXPECT_EQ(second->chain_head, head);
    EXPECT_EQ(request_next(head), second);
    EXPECT_EQ(request_next(second), third);
    EXPECT_EQ(request_next(third), head);
    // A chain started without a head gets one.
    velkor_request* other = nullptr;
    velkor_request* first = request_alloc_chained(&channel_, &other);
    EXPECT_EQ(other, first);
    EXPECT_EQ(first->chain_count, 1u);
    request_free_list(head);
    request_free_list(other);
    EXPECT_EQ(free_requests(&channel_), 64u);
}

class GrowingPoolTest : public PipelineTest {
  protected:
    void configure() override {
        min_requests = 8;
        max_requests = 40;
    }
};

TEST_F(GrowingPoolTest, AWaitingCallerGrowsThePoolUpToMaxRequests) {
    LONG64 memory_at_start = channel_.memory.alloced_bytes;
    std::vector<tavrin_ioctx*> taken;
    for (int i = 0; i < 8; i++) {
        taken.push_back(request_alloc(&channel_, 0));
    }
    EXPECT_EQ(request_alloc(&channel_, 0), nullptr);  // no growth without waiting
    for (int i = 8; i < 40; i++) {
        taken.push_back(request_alloc(&channel_, REQUEST_ALLOC_WAIT));
        ASSERT_NE(taken.back(), nullptr);
    }
    EXPECT_EQ(channel_.pool.total, 40);
    EXPECT_EQ(channel_.memory.alloced_bytes, memory_at_start * 5);
    EXPECT_EQ(channel_.memory.high_bytes, channel_.memory.alloced_bytes);
    EXPECT_EQ(channel_.pool.lowest_free, 0u);
    for (tavrin_ioctx* context : taken) {
        request_free(context->request);
    }
}

class CappedPoolTest : public PipelineTest {
  protected:
    void configure() override {
        min_requests = 20000;
        max_requests = 16384;
    }
};

TEST_F(CappedPoolTest, ThePoolStaysWithinTheTagsThatFourteenBitsCarry) {
    EXPECT_EQ(channel_.pool.capacity, REQUEST_TAG_LIMIT);
    EXPECT_EQ(channel_.pool.total, REQUEST_TAG_LIMIT);
    EXPECT_EQ(channel_.outstanding.capacity, REQUEST_TAG_LIMIT);
    EXPECT_TRUE(logged("dov0: min_requests > max_request, reducing to 16383\n"));
}

class FailingPoolTest : public KernelTest {};

TEST_F(FailingPoolTest, APoolThatCannotBeBuiltSaysSoAndLeavesNothing) {
    LONG saved_min = min_requests;
    LONG saved_max = max_requests;
    min_requests = 16;
    max_requests = 16;
    ASSERT_EQ(request_caches_create(), 0);
    pipeline_device card{};
    std::strcpy(card.name, "dov3");
    nand_dev channel;
    nand_dev_init(&channel, &card);
    channel.geometry.stripe_bytes = 65536;
    fail_nth(fault_site::pool, 10, "vml4");  // the tenth request's list
    EXPECT_EQ(request_pool_init(&channel), -12);
    clear_faults();
    EXPECT_TRUE(logged("dov3: Inadequate memory to allocate 16 requests. Try using the max_requests module parameter.\n"));
    EXPECT_EQ(channel.memory.alloced_bytes, 0);
    request_caches_destroy();
    min_requests = saved_min;
    max_requests = saved_max;
}

class CachedPoolTest : public PipelineTest {
  protected:
    void configure() override {
        min_requests = 300;
        max_requests = 300;
    }
};

TEST_F(CachedPoolTest, FreedRequestsStayOnTheProcessorUntilTheyAreOlderThanFiveSeconds) {
    set_current_processor(2);
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* r = context->request;
    request_free(r);
    request_cpu_cache* cache = &channel_.pool.caches[2];
    EXPECT_EQ(cache->request_count, 1u);
    EXPECT_EQ(cache->context_count, 1u);
    EXPECT_EQ(free_requests(&channel_), 299u);
    // The next allocation on that processor takes the cached pair.
    tavrin_ioctx* again = request_alloc(&channel_, 0);
    EXPECT_EQ(again, context);
    request_free(again->request);
    request_pool_trim_percpu(&channel_, 2);
    EXPECT_EQ(cache->request_count, 1u);  // too young
    advance_clock(60000000);               // 6 s
    request_pool_trim_percpu(&channel_, 2);
    EXPECT_EQ(cache->request_count, 0u);
    EXPECT_EQ(cache->context_count, 0u);
    EXPECT_EQ(free_requests(&channel_), 300u);
    set_current_processor(0);
}

TEST_F(CachedPoolTest, AProcessorAddedAfterThePoolWasBuiltHasItsOwnCache) {
    // Records exist for every possible processor, not only those active at set-up.
    EXPECT_EQ(channel_.pool.cache_count, kpav_max_cpus());
    set_current_processor(kpav_max_cpus() - 1);
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    request_free(context->request);
    EXPECT_EQ(channel_.pool.caches[kpav_max_cpus() - 1].request_count, 1u);
    set_current_processor(0);
}

// ---------------------------------------------------------------------------------------------
// Chains

struct mix_case {
    const char* name;
    ULONG head_type;
    ULONG member_type;
    bool mix_flag;
    int expected;
};

void PrintTo(const mix_case& c, std::ostream* out) {
    *out << c.name;
}

class ChainValidationTest : public PipelineTest, public ::testing::WithParamInterface<mix_case> {};

TEST_P(ChainValidationTest, TypesMayMixOnlyAsAppendsAndBarriersUnderTheMixingFlag) {
    const mix_case& c = GetParam();
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* head = context->request;
    velkor_request* member = request_alloc_chained(&channel_, &head);
    velkor_request* last = request_alloc_chained(&channel_, &head);
    head->type = c.head_type;
    member->type = c.member_type;
    last->type = c.head_type;
    if (c.mix_flag) {
        head->flags |= REQ_MIXED_CHAIN;
    }
    EXPECT_EQ(request_chain_validate(head), c.expected) << c.name;
    EXPECT_NE(head->flags & REQ_CHAIN_HEAD, 0u);
    EXPECT_NE(last->flags & REQ_CHAIN_TAIL, 0u);
    EXPECT_EQ(member->flags & REQ_CHAIN_TAIL, 0u);
    EXPECT_EQ(head->chain_fail, c.expected);
    for (velkor_request* r : {head, member, last}) {
        EXPECT_EQ(r->fail, c.expected);
        EXPECT_EQ((r->flags & REQ_FAILED) != 0, c.expected != 0);
    }
    request_free_list(head);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChainValidationTest,
    ::testing::Values(mix_case{"same types", REQUEST_APPEND, REQUEST_APPEND, false, 0},
                      mix_case{"append and barrier unflagged", REQUEST_APPEND, REQUEST_BARRIER, false, -22},
                      mix_case{"append and barrier", REQUEST_APPEND, REQUEST_BARRIER, true, 0},
                      mix_case{"barrier and append", REQUEST_BARRIER, REQUEST_APPEND, true, 0},
                      mix_case{"read and erase", REQUEST_READ, REQUEST_ERASE, true, -22},
                      mix_case{"append and erase", REQUEST_APPEND, REQUEST_ERASE, true, -22}),
    [](const ::testing::TestParamInfo<mix_case>& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            ch = std::isalnum((unsigned char)ch) ? ch : '_';
        }
        return name;
    });

TEST_F(RequestPoolTest, ValidationOnAFailedChannelGivesMinusFive) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    fail_channel(&channel_, 0, 1);
    EXPECT_EQ(request_chain_validate(context->request), -5);
    EXPECT_EQ(context->request->fail, -5);
    request_free(context->request);
}

TEST_F(RequestPoolTest, ResetClearsWhatTheLastUseLeft) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* r = context->request;
    r->bytes_done = 9;
    r->submit_us = 9;
    r->read_class = 1;
    r->retry_state[1] = 9;
    r->readlevel_override[3] = 5;
    r->eb_notice_count = 2;
    r->done_fn = [](velkor_request*, ULONG64, ULONG64) {};
    request_reset(r, r);
    EXPECT_EQ(r->bytes_done, 0u);
    EXPECT_EQ(r->submit_us, 0u);
    EXPECT_EQ(r->read_class, 0u);
    EXPECT_EQ(r->retry_state[1], 0u);
    EXPECT_EQ(r->readlevel_override[3], 0xFFFFFFFFu);
    EXPECT_EQ(r->eb_notice_count, 0);
    EXPECT_EQ(r->done_fn, nullptr);
    r->list = context->list;
    request_free(r);
}

// ---------------------------------------------------------------------------------------------
// What a request moves, and where

TEST_F(RequestPoolTest, DataLengthAndMediaAddressByType) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* r = context->request;
    media_address a;
    r->type = REQUEST_READ;
    r->params.read.data_length = 4096;
    r->params.read.address = {12288, 7, {}};
    EXPECT_EQ(request_data_length(r), 4096u);
    request_media_address(&a, r);
    EXPECT_EQ(a.eb, 7);
    EXPECT_EQ(a.offset, 12288u);
    r->type = REQUEST_MASKED_PAGE_READ;
    r->params.masked_read = {512, 3, 6};
    EXPECT_EQ(request_data_length(r), 512u);
    request_media_address(&a, r);
    EXPECT_EQ(a.eb, 3);
    EXPECT_EQ(a.offset, 4u * 4096 + 2 * 4096);  // row 1, pad 2
    r->type = REQUEST_SAMPLE_PADS;
    r->params.sample.eb = 3;
    r->params.sample.page = 1;
    r->params.sample.page_count = 2;
    EXPECT_EQ(request_data_length(r), 4096u * 4 * 1 * 2);
    r->type = REQUEST_ERASE;
    EXPECT_EQ(request_data_length(r), 0u);
    request_media_address(&a, r);
    EXPECT_EQ(a.eb, PAV_NO_EB);
    EXPECT_EQ(a.offset, 0u);
    request_free(r);
}

TEST_F(RequestPoolTest, StrideLimitIsTheLastPositionBeforeTheReserve) {
    // An erase block holds 64 rows x 4 pads x 4096 bytes = 1 MiB.
    eb_stride stride{100, 1000, 4096};
    ULONG64 usable = 1048576;
    ULONG64 limit = eb_stride_limit(&channel_, &stride, 1);
    EXPECT_LT(limit, usable - 1000);
    EXPECT_GE(limit + 4096, usable - 1000);
    EXPECT_EQ((limit - 100) % 4096, 0u);
    eb_stride no_step{100, 1000, 0};
    EXPECT_EQ(eb_stride_limit(&channel_, &no_step, 1), 100u);
    // A reserve and start beyond the block leave no room: the start, not a wrapped limit.
    eb_stride too_big{1048000, 1000, 8};
    EXPECT_EQ(eb_stride_limit(&channel_, &too_big, 1), 1048000u);
    eb_stride huge_reserve{0, 2000000, 8};
    EXPECT_EQ(eb_stride_limit(&channel_, &huge_reserve, 1), 0u);
}

TEST_F(RequestPoolTest, MappingABufferMakesAListForACallerWithout) {
    std::vector<UCHAR> buffer(3 * 4096);
    sgl* list = nullptr;
    ASSERT_EQ(sgl_map_buffer(&list, buffer.data() + 100, 8192), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->total_bytes, 8192u);
    EXPECT_LE(list->used, list->capacity);
    EXPECT_EQ(list->capacity, 3u);
    kpav_sgl_free(list);
    fail_nth(fault_site::pool, 1, "vml4");
    sgl* none = nullptr;
    EXPECT_EQ(sgl_map_buffer(&none, buffer.data(), 4096), -12);
    EXPECT_EQ(none, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Printing

TEST_F(RequestPoolTest, NamesBeyondTheTablesPrintAsInvalid) {
    EXPECT_STREQ(request_type_name(REQUEST_SAMPLE_PADS), "sample_pads");
    EXPECT_STREQ(request_type_name(12), "invalid_request_type");
    EXPECT_STREQ(request_type_name(400), "invalid_request_type");
    EXPECT_STREQ(data_op_name(DATA_OP_FILL), "fill-op");
    EXPECT_STREQ(data_op_name(8), "invalid-op");
    EXPECT_STREQ(data_op_name(9), "invalid-op");
}

TEST_F(RequestPoolTest, PrintingARequestAndItsChain) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* head = context->request;
    velkor_request* member = request_alloc_chained(&channel_, &head);
    head->type = REQUEST_ERASE;
    head->params.erase.eb = 17;
    head->fail = -5;
    member->type = REQUEST_READ;
    member->data_op = DATA_OP_PACKETS;
    member->params.read.address = {4096, 3, {}};
    member->params.read.data_length = 1024;
    member->params.read.packet_count = 2;
    member->params.read.lba = 100;
    clear_debug_lines();
    request_print_detail(head, "x", true, 0, false);
    request_print_chain(head);
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "pavinf x dov0 erase request %016llX op uninitialized flags 0x0 pre  fail -5 chain_fail 0\n",
                  (unsigned long long)(ULONG_PTR)head);
    auto lines = log();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], expected);
    EXPECT_EQ(lines[1], "pavinf x    EB 17.\n");
    EXPECT_EQ(lines[2], "x scatter/gather list:\n");
    size_t at = lines.size() - 3;
    std::snprintf(expected, sizeof expected,
                  "pavinf related: dov0 read request %016llX op packets flags 0x0 post fail 0 chain_fail 0\n",
                  (unsigned long long)(ULONG_PTR)member);
    EXPECT_EQ(lines[at], expected);
    EXPECT_EQ(lines[at + 1], "pavinf related:    addr 3:4096 size 1024 pkt_count 2.\n");
    EXPECT_EQ(lines[at + 2], "pavinf related:    LBA range 100-101.\n");
    request_free_list(head);
}

struct print_case {
    ULONG type;
    bool post;
    const char* line;
};

TEST_F(RequestPoolTest, EachTypePrintsItsParameters) {
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    velkor_request* r = context->request;
    const print_case cases[] = {
        {REQUEST_APPEND, false, "pavinf p    size   4096 opcode 8e magic 0x0000001122334455.\n"},
        {REQUEST_PAGE_PROGRAM, false, "pavinf p    addr 5:9 size 8192.\n"},
        {REQUEST_ADVANCE_AP, false, "pavinf p    EB 5 closed.\n"},
        {REQUEST_ADVANCE_AP, true, "pavinf p    EB 5 unknonw.\n"},
        {REQUEST_CLOSE_AP, true, "pavinf p    closed EB 5\n"},
        {REQUEST_MASKED_PAGE_READ, false, "pavinf p    eb 5 page 9 size 8192.\n"},
        {REQUEST_BINARY_COMMAND, false, nullptr},
    };
    for (const print_case& c : cases) {
        RtlZeroMemory(&r->params, sizeof r->params);
        r->type = c.type;
        switch (c.type) {
            case REQUEST_APPEND:
                r->params.append.size = 4096;
                r->params.append.opcode = 0x8e;
                r->params.append.magic = 0x1122334455ull;
                break;
            case REQUEST_PAGE_PROGRAM:
                r->params.page_program = {8192, 5, 9, nullptr};
                break;
            case REQUEST_ADVANCE_AP:
                r->params.advance.eb = 5;
                r->params.advance.closed = 1;
                break;
            case REQUEST_CLOSE_AP:
                r->params.close.eb = 5;
                break;
            case REQUEST_MASKED_PAGE_READ:
                r->params.masked_read = {8192, 5, 9};
                break;
            default:
                r->params.binary.count = 3;
                break;
        }
        clear_debug_lines();
        request_print_detail(r, "p", false, 0, c.post);
        auto lines = log();
        ASSERT_EQ(lines.size(), 2u) << c.type;
        if (c.line != nullptr) {
            EXPECT_EQ(lines[1], c.line);
        } else {
            EXPECT_EQ(lines[1], "pavinf p    num_cmds: 3, buffer: 0000000000000000 \n");
        }
    }
    request_free(r);
}

}  // namespace

namespace {

class NodeMemoryPoolTest : public PipelineTest {
  protected:
    void configure() override {
        saved_ = port_supports_numa_node_cache_allocations;
        port_supports_numa_node_cache_allocations = 1;
        card_.numa_node = 1;
        min_requests = 8;
        max_requests = 8;
    }
    void TearDown() override {
        PipelineTest::TearDown();
        port_supports_numa_node_cache_allocations = saved_;
    }
    LONG saved_ = 0;
};

TEST_F(NodeMemoryPoolTest, RequestsComeFromNodeMemoryWhenThePortAsksForIt) {
    // Eight requests and eight contexts, each its own contiguous block.
    EXPECT_EQ(pool_outstanding("(contiguous)").allocations, 16u);
    tavrin_ioctx* context = request_alloc(&channel_, 0);
    ASSERT_NE(context, nullptr);
    request_free(context->request);
}

}  // namespace
