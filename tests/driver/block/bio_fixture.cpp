#include "tests/driver/block/bio_fixture.h"

block_recorder& recorder() {
    static block_recorder r;
    return r;
}

namespace {

int record_submit(const char* what, bio* first) {
    block_recorder& r = recorder();
    r.note(what);
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.submitted.push_back(first);
    }
    if (r.submit_result != 0) {
        first->status = r.submit_result;
        return r.submit_result;
    }
    if (r.complete_at_once) {
        bio_endio(first, 0);
    }
    return 0;
}

int submit_read(bdev*, bio* first) { return record_submit("read", first); }
int submit_write(bdev*, bio* first) { return record_submit("write", first); }
int submit_flush(bdev*, bio* first) { return record_submit("flush", first); }

int expose(bdev*) {
    recorder().note("expose");
    return recorder().expose_result;
}
int hide(bdev*, ULONG flags) {
    recorder().note("hide " + std::to_string(flags));
    return recorder().hide_result;
}
int prepare(bdev*) {
    recorder().note("prepare");
    return 0;
}
int release(bdev*) {
    recorder().note("release");
    return 0;
}
void io(bdev*, int direction, ULONG64 in_flight) {
    recorder().note("io " + std::to_string(direction) + " " + std::to_string(in_flight));
}
void completion(bdev*, int direction, ULONG64 bytes, ULONG64) {
    recorder().note("done " + std::to_string(direction) + " " + std::to_string(bytes));
}

}  // namespace

const bdev_ops recording_bdev_ops = {nullptr, nullptr, nullptr, submit_read, submit_flush, submit_write,
                                     nullptr, nullptr, nullptr};
const kpav_block_ops recording_block_ops = {nullptr, prepare, expose, hide, release, nullptr, io, completion,
                                            nullptr, nullptr};

void BioTest::SetUp() {
    KernelTest::SetUp();
    {
        block_recorder& r = recorder();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.calls.clear();
        r.submitted.clear();
        r.expose_result = 0;
        r.hide_result = 0;
        r.complete_at_once = false;
        r.submit_result = 0;
    }
    saved_[0] = pav_min_num_bios;
    saved_[1] = pav_max_num_bios;
    saved_[2] = min_requests;
    saved_[3] = max_requests;
    pav_min_num_bios = min_bios();
    pav_max_num_bios = max_bios();
    min_requests = 64;
    max_requests = 64;
    ASSERT_EQ(kpav_numa_init(), 0);
    ASSERT_EQ(request_caches_create(), 0);
    std::strcpy(card_.name, "dov0");
    nand_dev_init(&channel_, &card_);
    ASSERT_EQ(request_pool_init(&channel_), 0);
    ASSERT_EQ(kpav_bio_init(&recording_block_ops), 0);
    ASSERT_EQ(bdev_alloc(&device_), 0);
    std::strcpy(device_->name, "dov0");
    device_->sector_size = 512;
    device_->channel = &channel_;
    device_->ops = &recording_bdev_ops;
    device_->iface = &kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY];
    mem_stats_init(&memory_);
    ASSERT_EQ(bio_pool_create(&pool_, nullptr, 16, &memory_), 0);
    device_->pool = pool_;
}

void BioTest::TearDown() {
    bio_pool_destroy(&pool_, &memory_);
    bdev_free(&device_);
    kpav_bio_exit();
    request_pool_free(&channel_);
    request_caches_destroy();
    kpav_numa_exit();
    pav_min_num_bios = saved_[0];
    pav_max_num_bios = saved_[1];
    min_requests = saved_[2];
    max_requests = saved_[3];
    KernelTest::TearDown();
}

bio* BioTest::take(ULONG command, ULONG64 base, ULONG64 count, bio* first, bdev* device) {
    bio* b = nullptr;
    EXPECT_EQ(bio_alloc(pool_, device != nullptr ? device : device_, &b), 0);
    if (b == nullptr) return nullptr;
    b->command = command;
    b->base = base;
    b->count = count;
    if (first != nullptr) {
        bio_chain_append(first, b);
    }
    return b;
}

void bio_chain_append(bio* first, bio* b) {
    bio* last = first;
    while (last->next != nullptr) last = last->next;
    last->next = b;
    // The bios' requests travel as one chain, headed by the first bio's.
    velkor_request* head = first->ioctx->request;
    velkor_request* member = b->ioctx->request;
    InsertTailList(&head->chain_link, &member->chain_link);
    member->chain_head = head;
    member->chain_count = 0;
    head->chain_count++;
}
