#include "driver/pipeline/hw_cmds.h"

#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

namespace {

constexpr ULONG engine_on = 0xF903;
constexpr ULONG engine_stop = 0xFA02;
constexpr ULONG engine_stop_busy = 0x600;
constexpr ULONG engine_reset = 0x800000;
constexpr ULONG quiesce_polls = 10;
constexpr ULONG quiesce_poll_us = 10000;
constexpr ULONG page_bytes = 4096;
constexpr ULONG page_words = 512;

const ULONG engines[] = {REG_ENGINE_A, REG_ENGINE_RING, REG_ENGINE_B};

hw_cmds* ring_of(nand_dev* channel) {
    return &channel->ring;
}

ULONG cq_window(ULONG q, ULONG offset) {
    return BAR_CQ_WINDOWS + q * CQ_WINDOW_BYTES + offset;
}

// Polls an engine register until `bits` read clear; a poll that never succeeds is not an error.
void poll_clear(nand_dev* channel, ULONG reg, ULONG bits) {
    for (ULONG i = 0; i < quiesce_polls; i++) {
        if ((hw_read(channel, reg) & bits) == 0) {
            return;
        }
        kpav_udelay(quiesce_poll_us);
    }
}

// One transfer command (two for pages and a remainder), each through `emit`.
template <typename Emit>
void transfer_commands(ULONG bytes, ULONG unit_bytes, ULONG kind, Emit emit) {
    if (unit_bytes != 0 && kind != XFER_FILL && kind != XFER_SKIP) {
        emit(hw_transfer_word(unit_bytes / 8, bytes / unit_bytes, kind));
        return;
    }
    if (bytes < page_bytes) {
        emit(hw_transfer_word(bytes / 8, 1, kind));
        return;
    }
    emit(hw_transfer_word(page_words, bytes / page_bytes, kind));
    if (bytes % page_bytes != 0) {
        emit(hw_transfer_word(bytes % page_bytes / 8, 1, kind));
    }
}

void media_address_words(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG lo, ULONG hi) {
    hw_cmds_append_nand(channel, (ULONG)address, lo);
    ULONG high = (ULONG)(address >> 32 & 0xFFFF) << 16 | (ULONG)(address >> 48 & 0xFF) << 8 | flag;
    hw_cmds_append_nand(channel, high, hi);
}

}  // namespace

ULONG hw_read(nand_dev* channel, ULONG bar_offset) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return READ_REGISTER_ULONG(ring_of(channel)->bar + bar_offset / 4);
}

void hw_write(nand_dev* channel, ULONG bar_offset, ULONG value) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    WRITE_REGISTER_ULONG(ring_of(channel)->bar + bar_offset / 4, value);
    KeMemoryBarrier();
}

int hw_cmds_alloc(nand_dev* channel) {
    PAGED_CODE();
    hw_cmds* ring = ring_of(channel);
    static_assert(HW_CMDS_BYTES == KPAV_DMA_CONTIG_SIZE);
    ring->entries = (hw_cmd*)kpav_dma_alloc_contig(&ring->bus_address);
    if (ring->entries == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate memory - hw_cmds.\n", channel_name(channel));
        return -KPAV_ENOMEM;
    }
    ring->posted = 0;
    ring->size = HW_CMDS_ENTRIES;
    ring->mask = HW_CMDS_MASK;
    ring->transfer_irq_index = HW_NO_INDEX;
    ring->dma_irq_index = HW_NO_INDEX;
    ring->sequence_start = HW_NO_INDEX;
    ring->credit_owner = channel;
    ring->bar = channel->card != nullptr ? channel->card->bar : nullptr;
    WriteNoFence(&channel->ring_producer, 0);
    channel->free_doorbells = RING_DOORBELLS;
    channel->free_entries = RING_ENTRIES;
    return 0;
}

void hw_cmds_free(nand_dev* channel) {
    PAGED_CODE();
    hw_cmds* ring = ring_of(channel);
    if (ring->entries != nullptr) {
        kpav_dma_free_contig(ring->entries);
        ring->entries = nullptr;
        ring->bus_address = 0;
    }
}

void hw_cmds_program_bases(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds* ring = ring_of(channel);
    hw_write(channel, REG_RING_BASE_LO, (ULONG)ring->bus_address);
    hw_write(channel, REG_RING_BASE_HI, (ULONG)(ring->bus_address >> 32));
    hw_write(channel, REG_RING_BYTES, HW_CMDS_BYTES);
    for (ULONG q = 0; q < channel->cq_count; q++) {
        ULONG64 base = channel->cqs[q].bus_address;
        hw_write(channel, cq_window(q, CQW_BASE_LO), (ULONG)base);
        hw_write(channel, cq_window(q, CQW_BASE_HI), (ULONG)(base >> 32));
        hw_write(channel, cq_window(q, CQW_BYTES), CQ_RING_BYTES);
    }
    for (ULONG reg : engines) {
        hw_write(channel, reg, engine_on);
    }
    for (ULONG q = 0; q < channel->cq_count; q++) {
        hw_write(channel, cq_window(q, CQW_WRITE_ENABLE), 1);
        hw_write(channel, cq_window(q, CQW_HOLD), 1);
    }
    ring->engines_running = 1;
}

void hw_cmds_quiesce(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds* ring = ring_of(channel);
    if (ring->engines_running == 0 || ring->bar == nullptr) {
        return;
    }
    for (ULONG reg : engines) {
        hw_write(channel, reg, engine_stop);
        poll_clear(channel, reg, engine_stop_busy);
        hw_write(channel, reg, engine_reset);
        poll_clear(channel, reg, engine_reset);
        hw_write(channel, reg, 0);
    }
    for (ULONG q = 0; q < channel->cq_count; q++) {
        hw_write(channel, cq_window(q, CQW_HOLD), 1);
        hw_write(channel, cq_window(q, CQW_WRITE_ENABLE), 0);
    }
    ring->engines_running = 0;
}

ULONG hw_cmds_credit_word(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return hw_read(channel, REG_CREDIT);
}

void hw_cmds_apply_credit_word(nand_dev* channel, ULONG word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (word == 0xFFFFFFFFu) {
        return;  // the card is unreachable: keep what we had
    }
    LONG used = (LONG)(ULONG)ReadNoFence(&channel->ring_producer) - (LONG)RING_ENTRIES + (LONG)(word >> 13);
    if (used < 0) {
        used += (LONG)RING_ENTRIES;
    }
    channel->free_entries = RING_ENTRIES - (ULONG)used;
    channel->free_doorbells = RING_DOORBELLS - (word & 0x3FF);
}

ULONG hw_cmds_unposted(const nand_dev* channel) {
    const hw_cmds* ring = &channel->ring;
    return ((ULONG)ReadNoFence(&channel->ring_producer) - ring->posted + ring->size) & ring->mask;
}

void ring_doorbell(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds* ring = ring_of(channel);
    ULONG write = (ULONG)ReadNoFence(&channel->ring_producer);
    ULONG writes = 0;
    KeMemoryBarrier();  // the entries are in memory before the card hears of them
    if (ring->posted > write) {
        hw_write(channel, REG_DOORBELL, (ring->size - ring->posted) * (ULONG)sizeof(hw_cmd));
        ring->posted = 0;
        writes++;
    }
    if (write != ring->posted) {
        hw_write(channel, REG_DOORBELL, (write - ring->posted) * (ULONG)sizeof(hw_cmd));
        ring->posted = write;
        writes++;
    }
    channel->free_doorbells -= writes < channel->free_doorbells ? writes : channel->free_doorbells;
    ring->doorbell_writes += writes;
}

void hw_cmds_announce(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds* ring = ring_of(channel);
    if (ring->entries == nullptr || hw_cmds_unposted(channel) == 0) {
        return;
    }
    if (ring->dma_irq_index != HW_NO_INDEX) {
        ring->entries[ring->dma_irq_index].value |= HW_IRQ_BIT;
        ring->dma_irq_index = HW_NO_INDEX;
    }
    ring_doorbell(channel);
}

ULONG hw_cmds_append(nand_dev* channel, ULONG value, ULONG bar_offset) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_cmds* ring = ring_of(channel);
    ULONG index = (ULONG)ReadNoFence(&channel->ring_producer);
    ring->entries[index].value = value;
    ring->entries[index].reg = bar_offset;
    WriteNoFence(&channel->ring_producer, (LONG)((index + 1) & ring->mask));
    nand_dev* owner = ring->credit_owner != nullptr ? ring->credit_owner : channel;
    if (owner->free_entries != 0) {
        owner->free_entries--;
    }
    return index;
}

void hw_media_address_a(nand_dev* channel, ULONG64 address, UCHAR flag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    media_address_words(channel, address, flag, NAND_PORT_A_ADDR_LO, NAND_PORT_A_ADDR_HI);
}

void hw_media_address_b(nand_dev* channel, ULONG64 address, UCHAR flag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    media_address_words(channel, address, flag, NAND_PORT_B_ADDR_LO, NAND_PORT_B_ADDR_HI);
}

void hw_transfer_a(nand_dev* channel, ULONG bytes, ULONG unit_bytes, ULONG kind, ULONG bank_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    transfer_commands(bytes, unit_bytes, kind, [&](ULONG word) {
        channel->ring.transfer_irq_index = hw_cmds_append_nand(channel, word, NAND_PORT_A_TRANSFER);
        hw_cmds_append_nand(channel, bank_word, NAND_PORT_A_BANK);
    });
}

void hw_transfer_b(nand_dev* channel, ULONG bytes, ULONG unit_bytes, ULONG kind) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    transfer_commands(bytes, unit_bytes, kind,
                      [&](ULONG word) { hw_cmds_append_nand(channel, word, NAND_PORT_B_TRANSFER); });
}

void hw_page_run_b(nand_dev* channel, ULONG bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_transfer_b(channel, bytes, 0, XFER_SKIP);
}

void hw_data_run_b(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG count, ULONG unit_bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    hw_media_address_b(channel, address, flag);
    hw_cmds_append_nand(channel, hw_transfer_word(unit_bytes / 8, count, XFER_PACKETS), NAND_PORT_B_TRANSFER);
}

void hw_split_data_run_b(nand_dev* channel, ULONG64 address, UCHAR flag, ULONG count, ULONG unit_bytes) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 low = address & 0xFFFFFFFFull;
    if (low + count <= 0x100000000ull) {
        hw_data_run_b(channel, address, flag, count, unit_bytes);
        return;
    }
    ULONG first = (ULONG)(0x100000000ull - low);
    hw_data_run_b(channel, address, flag, first, unit_bytes);
    hw_data_run_b(channel, (address & ~0xFFFFFFFFull) + 0x100000000ull, flag, count - first, unit_bytes);
}

void hw_page_run_a(nand_dev* channel, ULONG64 bytes, ULONG bank_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    while (bytes != 0) {
        ULONG piece = bytes > XFER_PIECE_MAX ? XFER_PIECE_MAX : (ULONG)bytes;
        hw_transfer_a(channel, piece, 0, XFER_FILL, bank_word);
        bytes -= piece;
    }
}

void hw_dma_descriptor_a(nand_dev* channel, ULONG length, ULONG64 address, ULONG bank_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel->ring.bank_select != 0) {
        hw_cmds_append(channel, bank_word, REG_DESC_BANK);
    }
    hw_cmds_append(channel, length, REG_DESC_LENGTH);
    hw_cmds_append(channel, (ULONG)address, REG_DESC_ADDR_LO);
    hw_cmds_append(channel, (ULONG)(address >> 32), REG_DESC_ADDR_HI);
}

ULONG hw_dma_descriptor_b(nand_dev* channel, ULONG length, ULONG64 address) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG first = hw_cmds_append_nand(channel, length, NAND_PORT_B_DESC_LENGTH);
    hw_cmds_append_nand(channel, (ULONG)address, NAND_PORT_B_DESC_ADDR_LO);
    hw_cmds_append_nand(channel, (ULONG)(address >> 32), NAND_PORT_B_DESC_ADDR_HI);
    return first;
}

void hw_register_items(nand_dev* channel, const hw_reg_item* items, ULONG count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG i = 0; i < count; i++) {
        if (items[i].split == 0) {
            hw_cmds_append(channel, items[i].value, items[i].reg);
            continue;
        }
        for (ULONG byte = 0; byte < 4; byte++) {
            hw_cmds_append(channel, items[i].value >> (8 * byte) & 0xFF, items[i].reg);
        }
    }
}
