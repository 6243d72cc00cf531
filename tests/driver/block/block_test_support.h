// What the block device tests share beside their fixtures: a key range recorded straight into
// the forward map through the metadata table, and a user pointer whose page faults.
#pragma once

#include <sys/mman.h>

#include "driver/block/mdt.h"

// Records [key, key + count) as packets of LEB `leb` from `offset` (as a replay would): 0 or the
// table's error.
inline int mdt_map_range(mdt_context* mdt, ULONG64 key, ULONG count, USHORT leb, ULONG offset) {
    pav_addr_block p{};
    p.count = 1;
    p.vectors[0] = {leb, offset};
    p.packet_counts[0] = count;
    lrbtree_range range = {key, count};
    return mdt_record_sectors(mdt, MDT_REPLAY, &p, nullptr, &range);
}

// A page no access reaches: a user buffer that faults. Unmapped with its owner.
class faulting_page {
  public:
    faulting_page() = default;
    ~faulting_page() {
        if (page_ != nullptr) munmap(page_, 4096);
    }
    faulting_page(const faulting_page&) = delete;
    faulting_page& operator=(const faulting_page&) = delete;
    void* get() {
        if (page_ == nullptr) page_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return page_;
    }

  private:
    void* page_ = nullptr;
};
