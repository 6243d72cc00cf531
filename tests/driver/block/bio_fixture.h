// A block device over a card's request pool, with operations that record what reaches them and
// an interface entry that records its hooks: what the bio and block-device tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/block/bdev.h"
#include "driver/block/bio.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/request.h"
#include "driver/platform/numa.h"
#include "driver/platform/params.h"
#include "tests/support/kernel_fixture.h"

// What the device's operations and the interface's hooks saw, in order.
struct block_recorder {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<bio*> submitted;
    int expose_result = 0;
    int hide_result = 0;
    bool complete_at_once = false;  // submit ends the chain with status 0 itself
    int submit_result = 0;  // non-zero: submit stores it in the chain and hands the chain back

    void note(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    size_t count(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (auto& c : calls) n += c == call;
        return n;
    }
};

block_recorder& recorder();
extern const bdev_ops recording_bdev_ops;
extern const kpav_block_ops recording_block_ops;

// Adds `b` at the end of the chain of `first`; its request joins the first bio's request chain.
void bio_chain_append(bio* first, bio* b);

class BioTest : public KernelTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Bios per pool: the pool's first and its most.
    virtual LONG min_bios() const { return 8; }
    virtual LONG max_bios() const { return 8; }

    // A bio of `command` over [base, base + count) for `device` (the fixture's by default),
    // added at the end of the chain of `first` when given (its request joins the first bio's
    // request chain).
    bio* take(ULONG command, ULONG64 base, ULONG64 count, bio* first = nullptr, bdev* device = nullptr);
    ULONG in_use() const { return pool_->in_use; }

    pipeline_device card_{};
    nand_dev channel_{};
    bdev* device_ = nullptr;
    bio_pool* pool_ = nullptr;
    mem_stats memory_{};

  private:
    LONG saved_[4] = {};
};
