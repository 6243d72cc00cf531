#include "tests/driver/pipeline/append_channel.h"

#include <chrono>
#include <thread>

#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/prepare.h"
#include "driver/platform/memory.h"

namespace {

AppendChannelTest* current = nullptr;

}  // namespace

void AppendChannelTest::SetUp() {
    CardChannelTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    current = this;
    channel()->issue_table = request_issue_table;
    channel()->geometry.rows_per_eb = block_rows();
    const nand_geometry& g = channel()->geometry;
    store_geometry geometry{};
    geometry.eb_count = g.eb_count;
    geometry.banks = g.banks;
    geometry.planes = g.planes;
    geometry.total_pads = g.total_pads;
    geometry.data_pads = g.data_pads;
    ASSERT_EQ(ebinfo_init(channel(), &geometry), 0);
    for (USHORT eb = 0; eb < g.eb_count; eb++) {
        eb_info* info = ebinfo_get(channel(), eb);
        info->condition = EB_COND_ERASE_FIRST;
        for (ULONG bank = 0; bank < g.banks; bank++) {
            info->banks[bank].effective_mask = (1u << g.total_pads) - 1;
            info->banks[bank].usable_bytes = g.page_size;
        }
    }
    ops_.new_append_eb = new_append_eb;
    nand_dev_set_client(channel(), &ops_, this);
    ap_.channel = channel();
    ap_.geometry_a = channel()->geometry.packet_geometry_a;
    ap_.geometry_b = payload | unit << 16;
    ap_.tail_reserve = tail_reserve;
    ASSERT_EQ(ioc_alloc(&opener_, 4, opener_bytes, nullptr, nullptr, "test"), 0);
    ASSERT_EQ(ioc_alloc(&footer_, 4, 1024, nullptr, nullptr, "test"), 0);
    ASSERT_EQ(ioc_alloc(&index_, 4, 8800, nullptr, nullptr, "test"), 0);
    ap_.opener_set = &opener_;
    ap_.footer_set = &footer_;
    ap_.index_set = &index_;
    packets_ = (UCHAR*)kpav_dma_alloc_contig(&bus_);
    back_ = (UCHAR*)kpav_dma_alloc_contig(&bus_);
    ASSERT_NE(packets_, nullptr);
    ASSERT_NE(back_, nullptr);
    pipeline_free_then([this] {
        ioc_free(&opener_);
        ioc_free(&footer_);
        ioc_free(&index_);
        kpav_dma_free_contig(packets_);
        kpav_dma_free_contig(back_);
    });
}

void AppendChannelTest::TearDown() {
    if (channel() != nullptr) {
        ebinfo_exit(channel());
    }
    CardChannelTest::TearDown();
    current = nullptr;
}

UCHAR AppendChannelTest::payload_byte(ULONG64 lba, ULONG i) {
    return (UCHAR)(lba * 31 + i * 7 + (i >> 9));
}

void AppendChannelTest::opener_image(USHORT eb, UCHAR* out) {
    for (ULONG i = 0; i < opener_bytes; i++) {
        out[i] = (UCHAR)(0x40 + eb + i * 3);
    }
}

// Blocks 2 and up in turn, starting again at 2 after the card's last one; a block handed out
// again asks for its erase again.
int AppendChannelTest::new_append_eb(nand_dev* channel, USHORT* out_eb, USHORT, void* out_header, void* arg) {
    std::lock_guard<std::mutex> g(current->mutex_);
    if (current->next_eb_ >= channel->geometry.eb_count) {
        current->next_eb_ = 2;
    }
    USHORT eb = current->next_eb_++;
    ebinfo_get(channel, eb)->condition = EB_COND_ERASE_FIRST;
    *out_eb = eb;
    opener_image(eb, (UCHAR*)out_header);
    *(ULONG*)arg = opener_bytes;
    return 0;
}

std::vector<USHORT> AppendChannelTest::closed_blocks() {
    std::vector<USHORT> closed;
    for (USHORT eb = 0; eb < channel()->geometry.eb_count; eb++) {
        if ((ebinfo_get(channel(), eb)->flags & 0x4) != 0) {
            closed.push_back(eb);
        }
    }
    return closed;
}

int AppendChannelTest::on_notice(int status, const pav_addr_block* runs, void* arg) {
    auto* self = (AppendChannelTest*)arg;
    std::lock_guard<std::mutex> g(self->mutex_);
    self->notices_.push_back({status, *runs});
    return 0;
}

int AppendChannelTest::append(ULONG64 lba, ULONG count, ULONG slot) {
    for (ULONG k = 0; k < count; k++) {
        for (ULONG i = 0; i < payload; i++) {
            packets_[(slot + k) * payload + i] = payload_byte(lba + k, i);
        }
    }
    ULONG geometry[2] = {ap_.geometry_a, ap_.geometry_b};
    return request_submit_append(&ap_, on_notice, nullptr, geometry, (ULONG64)data_flag << 56 | lba, count,
                                 packets_ + slot * payload, nullptr, this);
}

bool AppendChannelTest::wait_notices(size_t n) {
    for (int i = 0; i < 10000; i++) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (notices_.size() >= n) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int AppendChannelTest::read_block(USHORT eb) {
    media_address at{};
    at.eb = eb;
    return media_read_raw(channel(), &at, back_, block_bytes(), 0, nullptr, nullptr, nullptr);
}

ULONG AppendChannelTest::block_bytes() {
    return (ULONG)eb_usable_length(channel(), 0);
}
