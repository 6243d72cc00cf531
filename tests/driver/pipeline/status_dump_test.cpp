// The software status and request printers: the status word's flags, the command-pair history,
// a request's lines by what it carries, the walk of its related requests and the VSR list.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/card/csr_dump.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/status_dump.h"
#include "sim/kernel/control.h"
#include "tests/support/kernel_fixture.h"

namespace {

class StatusDumpTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::strcpy(card_.name, "dov0");
        nand_dev_init(&channel_, &card_);
        channel_.geometry.banks = 4;
        printer_ = {&card_, buffer_.data(), 0, (ULONG)buffer_.size()};
    }
    velkor_request* make(ULONG type, ULONG64 flags) {
        requests_.push_back(std::make_unique<velkor_request>());
        velkor_request* r = requests_.back().get();
        r->channel = &channel_;
        r->type = type;
        r->flags = flags;
        r->chain_head = r;
        r->chain_count = 1;
        InitializeListHead(&r->chain_link);
        InitializeListHead(&r->flush_link);
        InitializeListHead(&r->queue_link);
        return r;
    }
    // Joins `member` to the chain of `head`.
    void join(velkor_request* head, velkor_request* member) {
        InsertTailList(&head->chain_link, &member->chain_link);
        member->chain_head = head;
        head->chain_count++;
    }
    std::vector<std::string> printed() const {
        std::vector<std::string> out;
        std::string t(buffer_.data(), printer_.position);
        for (size_t at = 0; at < t.size();) {
            size_t end = t.find('\n', at);
            out.push_back(t.substr(at, end - at + 1));
            at = end + 1;
        }
        return out;
    }
    // The log lines from the first that starts with `start`.
    std::vector<std::string> log_from(const std::string& start) {
        std::vector<std::string> lines = log();
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i].rfind(start, 0) == 0) {
                return std::vector<std::string>(lines.begin() + (long)i, lines.end());
            }
        }
        return {};
    }

    pipeline_device card_{};
    nand_dev channel_{};
    std::vector<char> buffer_ = std::vector<char>(65536);
    csr_dump_printer printer_{};
    std::vector<std::unique_ptr<velkor_request>> requests_;
};

struct status_case {
    LONG status;
    const char* line;
};

TEST_F(StatusDumpTest, TheStatusLineNamesItsFlags) {
    const status_case cases[] = {
        {0x20, "pavinf dov0: == software status 0x20 ==\n"},
        {0x0, "pavinf dov0: == software status 0x0  smp_worker_exited==\n"},
        {0x2E, "pavinf dov0: == software status 0x2e  worker1_exited needs_issue needs_completion==\n"},
    };
    for (const status_case& c : cases) {
        printer_.position = 0;
        channel_.software_status = c.status;
        dump_software_status(&channel_, &printer_, 1);
        ASSERT_FALSE(printed().empty());
        EXPECT_EQ(printed()[0], c.line);
    }
    std::vector<std::string> got = printed();
    EXPECT_EQ(got[1], "pavinf dov0: Flushes available: 0\n");
    EXPECT_EQ(got[2], "pavinf dov0: total jf errors: 0\n");
    EXPECT_EQ(got[4], "pavinf dov0: uninitialized requests total inserted: 0 total completed: 0 bytes: 0 "
                      "foreground: 0 groomer: 0\n");
    EXPECT_EQ(got[15], "pavinf dov0: sample_pads requests total inserted: 0 total completed: 0 bytes: 0 "
                       "foreground: 0 groomer: 0\n");
    EXPECT_EQ(got[16], "pavinf dov0: HCQ:\n");
}

struct hcq_case {
    ULONG producer;
    std::vector<std::string> lines;
};

TEST_F(StatusDumpTest, TheHistoryShowsTheLastEightCommandPairsOldestFirst) {
    std::vector<hw_cmd> ring(64);
    for (ULONG i = 0; i < ring.size(); i++) {
        ring[i] = {i == 2 ? 0xFFFFFFFFu : i * 0x100, 0x8000 + 4 * i};
    }
    channel_.ring.entries = ring.data();
    channel_.ring.mask = 63;
    const hcq_case cases[] = {
        {3,
         {"pavinf dov0: HCQ:\n", "pavinf dov0:   -3: 00008000 <- 00000000 (          0) \n",
          "pavinf dov0:   -2: 00008004 <- 00000100 (        256) \n",
          "pavinf dov0:   -1: 00008008 <- ffffffff (         -1) \n"}},
        {20,
         {"pavinf dov0: HCQ:\n", "pavinf dov0:   -8: 00008030 <- 00000c00 (       3072) \n",
          "pavinf dov0:   -7: 00008034 <- 00000d00 (       3328) \n",
          "pavinf dov0:   -6: 00008038 <- 00000e00 (       3584) \n",
          "pavinf dov0:   -5: 0000803c <- 00000f00 (       3840) \n",
          "pavinf dov0:   -4: 00008040 <- 00001000 (       4096) \n",
          "pavinf dov0:   -3: 00008044 <- 00001100 (       4352) \n",
          "pavinf dov0:   -2: 00008048 <- 00001200 (       4608) \n",
          "pavinf dov0:   -1: 0000804c <- 00001300 (       4864) \n"}},
        // After the ring wrapped: the entries before index 1 are those at its end.
        {1,
         {"pavinf dov0: HCQ:\n", "pavinf dov0:   -8: 000080e4 <- 00003900 (      14592) \n",
          "pavinf dov0:   -7: 000080e8 <- 00003a00 (      14848) \n",
          "pavinf dov0:   -6: 000080ec <- 00003b00 (      15104) \n",
          "pavinf dov0:   -5: 000080f0 <- 00003c00 (      15360) \n",
          "pavinf dov0:   -4: 000080f4 <- 00003d00 (      15616) \n",
          "pavinf dov0:   -3: 000080f8 <- 00003e00 (      15872) \n",
          "pavinf dov0:   -2: 000080fc <- 00003f00 (      16128) \n",
          "pavinf dov0:   -1: 00008000 <- 00000000 (          0) \n"}},
    };
    for (const hcq_case& c : cases) {
        printer_.position = 0;
        channel_.ring_producer = (LONG)c.producer;
        channel_.ring.doorbell_writes = &c == &cases[2] ? 100 : 0;
        dump_hcq_history(&channel_, &printer_);
        EXPECT_EQ(printed(), c.lines) << c.producer;
    }
    channel_.ring.entries = nullptr;
}

TEST_F(StatusDumpTest, ARequestPrintsWhatItCarries) {
    velkor_request* bare = make(REQUEST_ERASE, 0);
    bare->params.erase.eb = 9;
    sim::kernel::clear_debug_lines();
    dump_request(bare, "    ");
    std::vector<std::string> lines = log();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], "pavinf         EB 9.\n");
    EXPECT_EQ(lines[2], "pavinf         first last subs(1) outstanding_DMAs 0 outstanding_reports 0 "
                        "outstanding_bank_cmds 0 outstanding_packetizer_cmds 0 outstanding_flushes 0\n");
    EXPECT_EQ(lines[3], "pavinf         IOC bufs ebo: -1 ebf: -1 ebi: 0x0\n");
    EXPECT_EQ(lines[4], "pavinf         vsrs (0)\n");

    velkor_request* full = make(REQUEST_READ, REQ_CHAIN_HEAD | REQ_CHAIN_TAIL | REQ_READ_LEVELS | REQ_EBH_SLOT |
                                                  REQ_EBF_SLOT | REQ_EBI_SLOTS | REQ_RETRY);
    for (ULONG b = 0; b < 8; b++) {
        full->readlevel_override[b] = b == 1 ? (ULONG)-3 : b;
    }
    full->ebh_slot = 2;
    full->ebf_slot = 5;
    full->ebi_mask = 0x30;
    full->pending_dma = 3;
    full->pending_report = 1;
    full->pending_bank = 2;
    full->pending_stats = 4;
    full->flush_waiting = 1;
    full->completion_ring = &channel_.cqs[2];
    full->pool_index = 77;
    full->retry_state[0] = 6;
    full->retry_state[1] = 1;
    full->retry_state[2] = 2;
    sim::kernel::clear_debug_lines();
    dump_request(full, "mismatcher");
    lines = log_from("pavinf mismatcher     psub");
    const std::vector<std::string> expected = {
        "pavinf mismatcher     psub bank 0: 0 bank 1: -3 bank 2: 2 bank 3: 3\n",
        "pavinf mismatcher    head tail first last subs(1) outstanding_DMAs 3 outstanding_reports 1 "
        "outstanding_bank_cmds 2 outstanding_packetizer_cmds 4 outstanding_flushes 1\n",
        "pavinf mismatcher    IOC bufs ebo: 2 ebf: 5 ebi: 0x30\n",
        "pavinf mismatcher    Multq-queue 2, Multq-tag: 77\n",
        "pavinf mismatcher    vsrs (0)\n",
        "pavinf mismatcher   retry state 6 orange step 1 parity step 2.\n",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(StatusDumpTest, TheRelatedWalkPrintsEveryOtherMemberOfTheChain) {
    velkor_request* head = make(REQUEST_ERASE, REQ_CHAIN_HEAD);
    sim::kernel::clear_debug_lines();
    dump_request_related(head);
    EXPECT_TRUE(log().empty());  // a chain of one: nothing

    velkor_request* second = make(REQUEST_ERASE, 0);
    velkor_request* third = make(REQUEST_ERASE, REQ_CHAIN_TAIL);
    join(head, second);
    join(head, third);
    second->params.erase.eb = 2;
    third->params.erase.eb = 3;
    sim::kernel::clear_debug_lines();
    dump_request_related(second);
    std::vector<std::string> lines = log();
    std::vector<std::string> firsts;
    for (const std::string& line : lines) {
        if (line.find(" erase request ") != std::string::npos) {
            firsts.push_back(line);
        }
    }
    ASSERT_EQ(firsts.size(), 2u);  // the third, then the head; never the request itself
    char expected[120];
    std::snprintf(expected, sizeof expected, "pavinf related: dov0 erase request %016llX ",
                  (unsigned long long)(ULONG_PTR)third);
    EXPECT_EQ(firsts[0].rfind(expected, 0), 0u);
    std::snprintf(expected, sizeof expected, "pavinf related: dov0 erase request %016llX ",
                  (unsigned long long)(ULONG_PTR)head);
    EXPECT_EQ(firsts[1].rfind(expected, 0), 0u);
    EXPECT_TRUE(logged("pavinf related:    tail last subs(3) outstanding_DMAs 0 outstanding_reports 0 "
                       "outstanding_bank_cmds 0 outstanding_packetizer_cmds 0 outstanding_flushes 0\n"));
    EXPECT_TRUE(logged("pavinf related:    head first subs(3) outstanding_DMAs 0 outstanding_reports 0 "
                       "outstanding_bank_cmds 0 outstanding_packetizer_cmds 0 outstanding_flushes 0\n"));
}

TEST_F(StatusDumpTest, TheVsrListPrintsOneLinePerEntry) {
    const vsr_entry entries[2] = {
        {0x11, 3, 4000, 123456, 8, 1, 2, 5},
        {0, 65535, 0, 0, 0, 0, 0, 0},
    };
    sim::kernel::clear_debug_lines();
    dump_vsr_list(2, entries, "p");
    EXPECT_EQ(log(), (std::vector<std::string>{
                         "pavinf p    vsrs (2)\n",
                         "pavinf p      0:    3:4000:123456 chunks[ total: 8 headtrim: 1 tailtrim: 2 good: 5] flags 0x11\n",
                         "pavinf p      1: 65535:   0:     0 chunks[ total: 0 headtrim: 0 tailtrim: 0 good: 0] flags 0x0\n",
                     }));
}

}  // namespace
