// The card's data block device on an erased card model: the store's media fixture (channel, real
// issue handlers, a data log with its append point open), the metadata table over a real forward
// map, the data bdev and its bio pool. Until the device is assembled by attach, tests of the data
// path build it here; helpers take bios over a sector range with a buffer of the test's, submit
// them and wait.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "driver/block/bdev_data.h"
#include "driver/block/bio.h"
#include "driver/block/md_load.h"
#include "driver/block/mdt.h"
#include "driver/platform/mem_stats.h"
#include "tests/driver/block/bio_fixture.h"
#include "tests/driver/log/media_fixture.h"

class DataDeviceTest : public StoreMediaTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Sectors the device exposes; override for another size.
    virtual ULONG64 sectors() const { return 1ull << 20; }

    // A bio of `command` over [start, start + count) for the data device, its list mapping
    // `buffer` (sector size x count bytes; none for a discard or flush). Added at the end of the
    // chain of `first` when given. The buffer must stay DMA-visible until the bio completes.
    bio* take(ULONG command, ULONG64 start, ULONG64 count, void* buffer = nullptr, bio* first = nullptr);
    // The same for a test that lets allocations fail: 0 with the bio in *out, or the error of
    // the bio's allocation or mapping with nothing taken.
    int try_take(ULONG command, ULONG64 start, ULONG64 count, void* buffer, bio* first, bio** out);
    // Submits the chain synchronously and waits for it: its status. A status returned without
    // completion (a retry status) is returned as it is. The chain is freed either way. No chain
    // (a take that failed): -12.
    int submit_wait(bio* first);

    // One bio each, submitted and waited for: the status.
    int write(ULONG64 start, const std::vector<UCHAR>& data);
    int read(ULONG64 start, ULONG64 count, std::vector<UCHAR>* out);
    int discard(ULONG64 start, ULONG64 count);
    int flush();

    // The device and its metadata table made (the log's packets entered into the map again
    // first, with `replay`) and taken down; as after a reboot: taken down, the card restarted on
    // its media, the log relinked, the device made again over the replayed log and the append
    // point opened.
    void start_device(bool replay);
    void stop_device();
    void restart_device();
    // The metadata load of a start: the saved metadata read back when a clean stop left it, else
    // the log rescanned (an atomic write whose packets still end the log marked open given a note
    // of its own, left in the log for restart_device to write once the append point is open).
    // With load_flags_, and the rebuild's memory limits (0: the direct rebuild); the outcome in
    // load_.
    int replay_log();
    // The metadata save of a clean stop (no I/O in flight): 0 or its error. The device must be
    // restarted afterwards.
    int save_metadata();

    // `count` sectors of a pattern that names each sector and `seed`.
    std::vector<UCHAR> pattern(ULONG64 start, ULONG64 count, UCHAR seed) const;

    mdt_context mdt_{};
    md_store load_{};
    ULONG load_flags_ = 0;
    ULONG rmap_limit_mib_ = 0;
    ULONG rsort_limit_mib_ = 0;
    bdev* device_ = nullptr;
    bdev_data data_{};
    bio_pool* pool_ = nullptr;
    mem_stats memory_{};
};
