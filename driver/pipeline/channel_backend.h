// The channel's back end: the card's command ring and completion rings.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;
struct flush_record;
struct ioc_transfer;

// The command ring and the completion rings as the pipeline reaches them: the card's own
// (channel set-up installs the ring code's table), or a test's scripted card. Every slot is
// filled; channel_backend_defaults holds what a channel without a card does (described beside
// each slot), and a table starts from it and replaces what it implements. Every operation runs
// at or below DISPATCH_LEVEL unless noted.
struct channel_backend_ops {
    // The command engine's credit word (control register 0x148): bits 0-9 doorbell writes not
    // yet processed, bits 13-31 the consumed-index term. All ones when the card is gone (the
    // default: the cached credits stay).
    ULONG (*read_credit_word)(nand_dev* channel);
    // Under the issue lock, when the ring holds entries not yet announced: set the interrupt bit
    // of the last written command and ring the doorbell. Default: nothing.
    void (*announce)(nand_dev* channel);
    // Under the issue lock: the core-clock derating register (NAND window 4116). Default: nothing.
    void (*write_derating)(nand_dev* channel, ULONG value);
    // Drains the ring that reports ordered requests ("write", or the only ring): CQ_DRAINED,
    // CQ_DRAINED_NOTHING, or CQ_DRAIN_MORE (drain again). When nothing was drained it re-arms the
    // ring. Default: CQ_DRAINED_NOTHING.
    int (*drain_write_ring)(nand_dev* channel);
    // Drains every ring once: true when any held completions. Default: false.
    bool (*drain_all)(nand_dev* channel);
    // The poller's pass over the rings: CQ_DRAIN_MORE means poll again. Default:
    // CQ_DRAINED_NOTHING.
    int (*poll)(nand_dev* channel);
    // True when every ring's head word is the empty marker. Default: true.
    bool (*rings_empty)(nand_dev* channel);
    // Stops the completion interrupts of every ring. Default: nothing.
    void (*stop_interrupts)(nand_dev* channel);
    // Under the issue lock: appends the row program of a flush record that opens, and the
    // deferred program start that issues it. Default: nothing.
    void (*row_program)(nand_dev* channel, flush_record* record);
    void (*program_start)(nand_dev* channel, flush_record* record);
    // Under the issue lock: pads the open record's row to its end (accounting the filler, which
    // issues it). Default: the record is issued as it is.
    void (*pad_row)(nand_dev* channel, flush_record* record);
    // Writes the DMA descriptors of a buffer-set transfer (see ioc_slot_submit_dma). Default:
    // nothing.
    void (*dma_transfer)(nand_dev* channel, const ioc_transfer* transfer);
};

ULONG backend_card_gone(nand_dev* channel);
void backend_nothing(nand_dev* channel);
void backend_no_derating(nand_dev* channel, ULONG value);
int backend_nothing_drained(nand_dev* channel);
bool backend_none_held(nand_dev* channel);
bool backend_rings_empty(nand_dev* channel);
void backend_no_record_step(nand_dev* channel, flush_record* record);
void backend_issue_row_as_is(nand_dev* channel, flush_record* record);
void backend_no_transfer(nand_dev* channel, const ioc_transfer* transfer);

inline constexpr channel_backend_ops channel_backend_defaults = {
    backend_card_gone,
    backend_nothing,
    backend_no_derating,
    backend_nothing_drained,
    backend_none_held,
    backend_nothing_drained,
    backend_rings_empty,
    backend_nothing,
    backend_no_record_step,
    backend_no_record_step,
    backend_issue_row_as_is,
    backend_no_transfer,
};
