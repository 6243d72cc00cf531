// The data channel on the card model with one append point: the channel's own issue handlers,
// the log's side of an append point played by the fixture (erase blocks handed out in turn from
// 2, each erased before it opens and carrying an opener record that names it), the channel's
// erase-block information (every lane of every bank in use, one page per segment), the point's
// opener, footer and index buffer sets, and two DMA-able host buffers (packets to append, data
// read back).
#pragma once

#include <mutex>
#include <vector>

#include "driver/pipeline/builders.h"
#include "tests/driver/pipeline/card_channel.h"

class AppendChannelTest : public CardChannelTest {
  public:
    static constexpr ULONG payload = 4096;
    static constexpr ULONG unit = payload + 8;  // on media: the header, then the payload
    static constexpr ULONG rows_per_eb = 4;
    static constexpr ULONG opener_bytes = unit;
    static constexpr ULONG tail_reserve = 24576;
    static constexpr UCHAR data_flag = 0x90;

  protected:
    void SetUp() override;
    void TearDown() override;
    // The rows of a block the channel uses; override to change it.
    virtual ULONG block_rows() const { return rows_per_eb; }

    // The payload of the packet at `lba`, byte `i`.
    static UCHAR payload_byte(ULONG64 lba, ULONG i);
    // The opener record of block `eb`.
    static void opener_image(USHORT eb, UCHAR* out);

    struct notice {
        int status;
        pav_addr_block runs;
    };
    // Keeps an append's notice in notices_ (`arg`: the fixture).
    static int on_notice(int status, const pav_addr_block* runs, void* arg);
    // Submits `count` packets from `lba` on (their payloads made from the lba), at `slot`
    // packets into the host buffer; their notices are kept in notices_.
    int append(ULONG64 lba, ULONG count, ULONG slot);
    bool wait_notices(size_t n);
    // Reads a whole erase block into back_.
    int read_block(USHORT eb);
    ULONG block_bytes();
    // The blocks the point handed back closed (their flag bit 2), in block order.
    std::vector<USHORT> closed_blocks();

    nand_dev_client_ops ops_ = nand_dev_client_defaults;
    append_point ap_{};
    ioc_bufs opener_{};
    ioc_bufs footer_{};
    ioc_bufs index_{};
    UCHAR* packets_ = nullptr;
    UCHAR* back_ = nullptr;
    ULONG64 bus_ = 0;
    std::mutex mutex_;
    USHORT next_eb_ = 2;
    std::vector<notice> notices_;

  private:
    static int new_append_eb(nand_dev*, USHORT* out_eb, USHORT, void* out_header, void* arg);
};
