// Saved forward-map nodes as they come back from media: any bytes become node pages of a log's
// block table, with a header block, and the map is loaded from them. The load must refuse what is
// not a sound tree without reading outside a page; a map it accepts must walk, take updates and
// save without fault.
//
// Input: byte 0 options (bit 0: child fields name the input's own nodes, bit 1: leaf addresses
// are made packets of the log, bit 2: when the load fails, a second load with the header block's
// counters set to what the first found), then node pages: a length byte and that many bytes,
// copied to the start of the page of node i (block key first node key + 1 + i), the rest zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/fmap/lrbtree_node.h"
#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "sim/kernel/control.h"

namespace {

constexpr ULONG lebs = 16;
constexpr ULONG packets = 4096;
constexpr ULONG64 sectors = 3 * (1ull << 17);
constexpr ULONG max_nodes = 64;

struct harness {
    pipeline_device card{};
    nand_dev channel{};
    pav_log log{};
    mem_stats footprint{};
    leb_record records[lebs]{};
};

harness* h;

void setup() {
    sim::kernel::boot();
    if (mblk_cache_init() != 0) {
        abort();
    }
    h = new harness;
    strcpy(h->card.name, "dov0");
    h->channel.card = &h->card;
    h->log.channel = &h->channel;
    kpav_state_init(&h->log.state, PAV_LOG_RUNNING);
    h->log.sector_size = 512;
    h->log.packets_per_leb = packets;
    h->log.leb_span = packets + 1;
    for (ULONG i = 0; i < lebs; i++) {
        kpav_state_init(&h->records[i].func, PAV_LEB_FUNC_CLOSED);
        h->records[i].sequence = 64ull * (i + 1);
        h->records[i].next = i + 1 < lebs ? (USHORT)(i + 1) : PAV_NO_LEB;
        h->records[i].previous = i > 0 ? (USHORT)(i - 1) : PAV_NO_LEB;
    }
    h->log.lebs = h->records;
    h->log.eb_count = lebs;
    h->log.md_footprint = &h->footprint;
    pav_page_pool_init(&h->log.md_pages, h->card.name, &h->footprint, false);
    if (mblk_table_init(&h->log, false, false) != 0) {
        abort();
    }
}

struct input {
    UCHAR options;
    std::vector<std::vector<UCHAR>> pages;
    lrb_header_block header;
};

void fix_up(input* in, const lrbtree_shape* shape) {
    ULONG n = (ULONG)in->pages.size();
    for (auto& page : in->pages) {
        auto* node = (lrb_node*)page.data();
        ULONG level = lrb_node_level(node);
        const lrbtree_layout* layout = level == 0 ? &shape->leaf_layout : &shape->index_layout;
        if (node->h.head >= layout->capacity) {
            continue;
        }
        ULONG count = node->h.count < layout->capacity ? node->h.count : layout->capacity;
        for (ULONG i = 0; i < count; i++) {
            if (level != 0 && (in->options & 1) != 0) {
                lrbtree_index_rec rec;
                lrb_index_get(layout, node, i, &rec);
                rec.child = (LRB_FIRST_NODE_ID + 1 + rec.child % n) << 1 | 1;
                lrb_index_put(layout, node, i, &rec);
            } else if (level == 0 && (in->options & 2) != 0) {
                lrbtree_leaf_rec rec;
                lrb_leaf_get(layout, node, i, &rec);
                rec.gpkt = 16 + (rec.gpkt % lebs) * (packets + 1) + rec.gpkt / lebs % (packets - 64);
                lrb_leaf_put(layout, node, i, &rec);
            }
        }
    }
}

int load(const input& in, lrbtree** map) {
    if (lrbtree_create(map, &h->log, sectors, sectors) != 0) {
        abort();
    }
    for (size_t i = 0; i < in.pages.size(); i++) {
        mblk* block = nullptr;
        if (mblk_get(&block, &h->log, LRB_FIRST_NODE_ID + 1 + i, MBLK_CREATE) != 0) {
            abort();
        }
        memcpy(block->page, in.pages[i].data(), LRB_NODE_SIZE);
        mblk_put(&h->log, block);
    }
    mblk* header = nullptr;
    if (mblk_get(&header, &h->log, LRB_HEADER_KEY, MBLK_CREATE) != 0) {
        abort();
    }
    memcpy(header->page, &in.header, sizeof in.header);
    mblk_put(&h->log, header);
    return lrbtree_load(*map);
}

void drop(lrbtree** map) {
    lrbtree_destroy(map);
    mblk_release_all(&h->log);
}

int count_data(lrbtree_range* range, void* context, ULONG64, lrbtree_leaf_rec*) {
    *(ULONG64*)context += range->length;
    return 0;
}
int skip_gap(lrbtree_range*, void*) {
    return 0;
}

// What an accepted map must do: walk whole, agree with its header's count, take an update that
// overwrites and one that removes, and save.
void use(lrbtree* map) {
    static const lrbtree_enum_ops ops = {count_data, skip_gap, nullptr};
    ULONG64 mapped = 0;
    lrbtree_range range{};
    if (lrbtree_enumerate(map, &range, &ops, &mapped, 0, 0, LRB_KEY_END) != 0) {
        abort();
    }
    const lrb_header_block* header = lrb_header_of(&map->shape);
    if (header->mapped_keys != mapped) {
        abort();
    }
    lrbtree_update_rec records[2] = {{100, 30, 16 + 5 * (packets + 1), 0, 0}, {50, 400, 0, LRB_UNMAP_ALL, 0}};
    if (lrbtree_update(map, records, 2) != 0) {
        abort();
    }
    if (lrbtree_save(map) != 0) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    input in;
    in.options = data[0];
    for (size_t at = 1; at < size && in.pages.size() < max_nodes;) {
        size_t length = data[at++];
        length = length < size - at ? length : size - at;
        in.pages.emplace_back(LRB_NODE_SIZE, 0);
        memcpy(in.pages.back().data(), data + at, length);
        at += length;
    }
    // The shape of a map of three 2^17-key shards: 24-bit keys.
    lrbtree_shape shape;
    lrbtree_shape_init(&shape, &h->log, (1ull << 24) - 1);
    fix_up(&in, &shape);
    memset(&in.header, 0, sizeof in.header);
    in.header.type = LRB_NODE_TYPE_HEADER;
    in.header.level = LRB_HEADER_LEVEL;
    in.header.key_width = shape.key_width;
    in.header.first_node_key = LRB_FIRST_NODE_ID;
    in.header.last_node_key = LRB_LAST_NODE_ID;
    in.header.alloc_cursor = LRB_FIRST_NODE_ID + 1 + max_nodes;
    lrbtree* map = nullptr;

    int rc = load(in, &map);
    if (rc != 0 && (in.options & 4) != 0) {
        const ULONG64* seen = map->loaded_counts;
        in.header.leaf_nodes = seen[0];
        in.header.index_nodes = seen[1];
        in.header.leaf_entries = seen[2];
        in.header.index_entries = seen[3];
        in.header.mapped_keys = seen[4];
        drop(&map);
        rc = load(in, &map);
    }
    if (rc == 0) {
        use(map);
    }
    drop(&map);
    return 0;
}
