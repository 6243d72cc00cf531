// The store's media paths on the card model: a small card (2 banks of 2 pads, 16 blocks of 512
// rows, 16 KiB pages; a test may choose other rows and pads) behind the driver's channel with
// the real issue handlers, its erase-block information, and a data log. Tests fill its LEBs
// through the log's appends, or, for entries appends do not write, by page programs: an LEB
// image is built in memory (the opener the log builds, 0xFA up to the head reserve, then
// entries) and programmed segment by segment.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "driver/log/datalog_append.h"
#include "driver/log/datalog.h"
#include "driver/log/eb_header.h"
#include "driver/log/eb_media.h"
#include "driver/log/log_entry.h"
#include "driver/log/mblk.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/issue.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/card_channel.h"
#include "tests/driver/log/store_fixture.h"

// An LEB being built: the opener the log made for it, then entries from the head reserve.
struct leb_image {
    USHORT leb = PAV_NO_LEB;
    std::vector<UCHAR> bytes;
    ULONG at = 0;  // where the next entry goes
};

// A test's buffer the card may reach by DMA while the guard lives (locked, as an MDL would).
struct dma_visible {
    explicit dma_visible(const std::vector<UCHAR>& bytes) : address(bytes.data()) {
        sim::kernel::dma_register_range(address, bytes.size());
    }
    ~dma_visible() { sim::kernel::dma_unregister_range(address); }
    dma_visible(const dma_visible&) = delete;
    dma_visible& operator=(const dma_visible&) = delete;
    const void* address;
};

class StoreMediaTest : public CardChannelTest {
  protected:
    // Rows of an erase block and pads of a bank; override for another geometry.
    virtual ULONG rows() const { return 512; }
    virtual ULONG pads() const { return 2; }
    sim::card::CardConfig card_config() const override {
        sim::card::CardConfig config = CardChannelTest::card_config();
        config.geometry.rows = rows();
        config.geometry.lanes = pads();
        return config;
    }

    void SetUp() override {
        CardChannelTest::SetUp();
        if (HasFatalFailure()) return;
        InterlockedExchange(&eb_headers_plain, 0);
        ASSERT_EQ(mblk_cache_init(), 0);
        geometry_ = small_store_geometry(16);
        geometry_.min_usable_pads = 1;
        geometry_.segments_per_eb = rows() * geometry_.banks;
        geometry_.data_pads = geometry_.total_pads = pads();
        geometry_.pages_per_row = geometry_.banks * pads();
        geometry_.eb_bytes = (ULONG64)rows() * geometry_.banks * pads() * geometry_.page_size;
        lebs_.resize(16);
        for (auto& l : lebs_) {
            kpav_state_init(&l.func, PAV_LEB_FUNC_ERASED);
            l.next = l.previous = PAV_NO_LEB;
        }
        format_.sector_size = 512;
        format_.capacity = 100000;
        start_store();
    }
    void TearDown() override {
        stop_store();
        mblk_cache_exit();
        InterlockedExchange(&eb_headers_plain, 0);
        CardChannelTest::TearDown();
    }

    // The erase-block information (the blocks' headers read back when asked, as at bring-up)
    // and the log on the channel (the LEB records kept).
    void start_store(bool read_headers = false) {
        channel()->issue_table = request_issue_table;
        ASSERT_EQ(ebinfo_init(channel(), &geometry_), 0);
        reset_all(channel());
        if (read_headers) {
            ASSERT_EQ(mgmt_headers_read_all(channel()), 0);
        }
        ASSERT_EQ(pav_log_create(&log_, channel(), lebs_.data(), &format_, nullptr), 0);
        // The channel's packet geometry: the log's sectors in packets of P on media.
        channel()->geometry.packet_geometry_b = log_.sector_size | (ULONG)packet() << 16;
    }
    void stop_store() {
        if (point_open_) {
            datalog_close_append_point(&log_);
            point_open_ = false;
        }
        pav_log_destroy(&log_);
        ebinfo_exit(channel());
        appended_.clear();
    }
    // As after a reboot: the channel made again on the card's media (powered on), the blocks'
    // headers read back, the log made again and its chain relinked from the LEB records.
    void reboot() {
        stop_store();
        restart();
        if (HasFatalFailure()) return;
        start_store(true);
        if (HasFatalFailure()) return;
        ASSERT_EQ(datalog_relink(&log_), 0);
    }

    ULONG packet() const { return log_.geometry.packet_size; }
    ULONG head() const { return log_.geometry.head_reserve; }
    ULONG segment_bytes() { return eb_segment_length(channel(), 0, 0); }

    // Takes `wanted` (or an erased block) as the log's next append LEB and lays out its image.
    leb_image take_leb(USHORT wanted = PAV_NO_LEB) {
        leb_image image;
        std::vector<UCHAR> opener(mgmt_region_size(&geometry_));
        ULONG h = 0;
        EXPECT_EQ(datalog_new_append_eb(channel(), &image.leb, wanted, opener.data(), &h), 0);
        image.bytes.assign(head(), 0xFA);
        std::memcpy(image.bytes.data(), opener.data(), opener.size());
        image.at = head();
        return image;
    }
    void grow(leb_image& image, size_t size) {
        if (image.bytes.size() < size) image.bytes.resize(size, 0xFF);
    }
    // A data or system packet in the next packet slot: header, then `fill` bytes (or the body).
    ULONG64 put_packet(leb_image& image, UCHAR opcode, ULONG64 address, UCHAR fill,
                       const std::vector<UCHAR>& body = {}) {
        ULONG64 at = image.at;
        grow(image, at + packet());
        pkt_header_encode(&image.bytes[at], opcode, address);
        std::memset(&image.bytes[at + 8], fill, packet() - 8);
        if (!body.empty()) std::memcpy(&image.bytes[at + 8], body.data(), body.size());
        image.at += packet();
        return at;
    }
    // A note of `length` bytes (opcode first, then `fill`), then 0xF3 up to the next packet slot.
    ULONG64 put_note(leb_image& image, UCHAR opcode, ULONG length, UCHAR fill) {
        ULONG64 at = image.at;
        ULONG64 end = at + ((length + 7) & ~7u);
        grow(image, end + 8);
        std::memset(&image.bytes[at], fill, length);
        image.bytes[at] = opcode;
        image.at = end;
        pad_to_slot(image);
        return at;
    }
    void pad_to_slot(leb_image& image) {
        ULONG into = (image.at - head()) % packet();
        if (into != 0) {
            grow(image, image.at + 8);
            image.bytes[image.at] = LOG_OP_PAD_F3;
            image.at += packet() - into;
        }
    }
    // Programs the image's whole segments (its last one padded with 0xFF).
    void program(const leb_image& image) { program_bytes(image.leb, image.bytes); }
    void program_bytes(USHORT eb, std::vector<UCHAR> bytes) {
        ULONG seg = segment_bytes();
        ULONG count = (ULONG)((bytes.size() + seg - 1) / seg);
        bytes.resize((size_t)count * seg, 0xFF);
        dma_visible dma(bytes);
        ASSERT_EQ(eb_program_segments(channel(), eb, 0, count, bytes.data()), 0);
    }

    // ---- Appends through the log

    // The erased blocks listed and the append point open.
    void open_point() {
        ASSERT_EQ(datalog_link_erased_space(&log_), 0);
        ASSERT_EQ(datalog_open_append_point(&log_), 0);
        point_open_ = true;
    }
    void close_point() {
        ASSERT_EQ(datalog_close_append_point(&log_), 0);
        point_open_ = false;
    }

    // An append in flight: its request, its packets (visible to the card's DMA) and whether its
    // completion ran.
    struct appended {
        datalog_append_req request{};
        std::vector<UCHAR> data;
        std::unique_ptr<dma_visible> dma;
        std::atomic<bool> done{false};
    };
    // Byte `i` of the payload of the packet at `address`.
    static UCHAR payload_byte(ULONG64 address, ULONG i) { return (UCHAR)(address * 29 + i * 7 + (i >> 8)); }
    // Appends `count` packets of `kind`, the first at `address`: packet k carries address + k and
    // the payload of that address.
    appended& append(UCHAR kind, ULONG64 address, ULONG count) {
        const ULONG sector = log_.sector_size;
        std::vector<UCHAR> data((size_t)count * sector);
        for (ULONG k = 0; k < count; k++) {
            for (ULONG i = 0; i < sector; i++) data[(size_t)k * sector + i] = payload_byte(address + k, i);
        }
        return append(kind, address, std::move(data));
    }
    // Appends the packets `data` holds (whole sectors), the first at `address`.
    appended& append(UCHAR kind, ULONG64 address, std::vector<UCHAR> data) {
        appended& a = appended_.emplace_back();
        const ULONG count = (ULONG)(data.size() / log_.sector_size);
        a.data = std::move(data);
        a.dma = std::make_unique<dma_visible>(a.data);
        a.request.kind = kind;
        a.request.address = address;
        a.request.count = count;
        a.request.packets = a.data.data();
        a.request.context = &a;
        a.request.done = [](datalog_append_req* r) { ((appended*)r->context)->done.store(true); };
        EXPECT_EQ(datalog_append(&log_, &a.request), 0);
        return a;
    }
    // Waits (10 s at most) until every append's completion ran.
    bool wait_appends() {
        for (int i = 0; i < 10000; i++) {
            bool all = true;
            for (auto& a : appended_) all = all && a.done.load();
            if (all) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    store_geometry geometry_{};
    std::vector<leb_record> lebs_;
    log_format_params format_{};
    pav_log log_{};
    bool point_open_ = false;
    std::deque<appended> appended_;
};
