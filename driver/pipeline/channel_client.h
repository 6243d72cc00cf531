// The channel's client: the store above the channel (the data log, or the format while it runs)
// that the channel calls back. Its operations come as one const table installed with the client
// (nand_dev_set_client); every slot is filled, and nand_dev_client_defaults holds the plain rule
// of each, so a client starts from the defaults and replaces what it implements:
//
//     constexpr nand_dev_client_ops my_ops = [] {
//         nand_dev_client_ops ops = nand_dev_client_defaults;
//         ops.new_append_eb = my_new_append_eb;
//         return ops;
//     }();
//
// Every operation runs at or below DISPATCH_LEVEL unless noted.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;
struct velkor_request;

struct nand_dev_client_ops {
    // Takes `wanted` (65535: one picked by wear) as the new append block and builds its EB
    // header and opener into `out_header` (a first-packet buffer) when given; the head reserve
    // through `arg` (a ULONG*) when given. 0, -KPAV_ENOSPC, -KPAV_EIO. Default: -KPAV_ENOTTY.
    int (*new_append_eb)(nand_dev* channel, USHORT* out_leb, USHORT wanted, void* out_header, void* arg);
    // Read sampling asked by the read-count policy; the completion notice of an erase block that
    // retired with all error counters clear. Default: the block's flag bit 2 is set.
    void (*eb_event_a)(nand_dev* channel, USHORT eb);
    // Refresh asked by the read-count policy; the error notice of an erase block. Default: the
    // block's flag bit 3 is set.
    void (*eb_event_b)(nand_dev* channel, USHORT eb);
    // The write-mode reason slot: -1 when there is none (the default).
    int (*set_write_reason)(nand_dev* channel, int level, int reason);
    // A hardware error in device mode `mode`. Default: 0, nothing.
    int (*hw_error)(nand_dev* channel, int mode, int b, int c);
    // The client's scan progress in percent (-1: none, the default).
    int (*progress)(nand_dev* channel, int* out_percent);
    void (*kick)(nand_dev* channel);
    // The device goes away (PASSIVE_LEVEL): orderly, or on the flagged path. Default: nothing.
    void (*stop)(nand_dev* channel);
    void (*flagged_stop)(nand_dev* channel);
    // The scheduler's pick notice: the request taken and 1 when requests of the preferred side
    // waited. Default: nothing.
    void (*pick_notice)(nand_dev* channel, velkor_request* request, int preferred_waited);
    // Groomer urgency: positive prefers groomer work. Default: 0, never preferred.
    int (*grooming_urgency)(nand_dev* channel);
    // The channel's state changed (seen by the worker); an erase-block buffer was released by a
    // completed chain. Default: nothing.
    void (*state_change)(nand_dev* channel, ULONG state);
    void (*buffer_notice)(nand_dev* channel);
    // The ordered pick's questions about groomer writes. Default: no overlap.
    // Does the forward map place any sector of [lba, lba + count) in the erase block the groomer
    // is emptying (lrbtree_range_in_eb, driver/fmap/eb_probe.h)?
    bool (*maps_into_groomed_eb)(nand_dev* channel, ULONG64 lba, ULONG64 count);
    // Does this groomer write move any sector of [lba, lba + count) (its moved ranges that are
    // not done)?
    bool (*groomer_moves_overlap)(nand_dev* channel, velkor_request* groomer_write, ULONG64 lba, ULONG64 count);
    // An erase block was erased or prepared after an erase: what the client cached of its
    // capacity is stale. Default: nothing.
    void (*eb_erased)(nand_dev* channel, USHORT eb);
    // The client is in its hardware-failure mode (pad errors are then recorded per pad).
    // Default: false.
    bool (*hardware_failed)(nand_dev* channel);
};

// The plain rule of every operation, as described beside it.
int client_no_new_append_eb(nand_dev* channel, USHORT* out_leb, USHORT wanted, void* out_header, void* arg);
void client_flag_eb_sampled(nand_dev* channel, USHORT eb);
void client_flag_eb_refresh(nand_dev* channel, USHORT eb);
int client_no_write_reason(nand_dev* channel, int level, int reason);
int client_ignore_hw_error(nand_dev* channel, int mode, int b, int c);
int client_no_progress(nand_dev* channel, int* out_percent);
void client_no_notice(nand_dev* channel);
void client_no_pick_notice(nand_dev* channel, velkor_request* request, int preferred_waited);
int client_no_urgency(nand_dev* channel);
void client_no_state_notice(nand_dev* channel, ULONG state);
bool client_no_groomed_eb(nand_dev* channel, ULONG64 lba, ULONG64 count);
bool client_no_groomer_overlap(nand_dev* channel, velkor_request* groomer_write, ULONG64 lba, ULONG64 count);
void client_no_eb_notice(nand_dev* channel, USHORT eb);
bool client_not_failed(nand_dev* channel);

inline constexpr nand_dev_client_ops nand_dev_client_defaults = {
    client_no_new_append_eb,
    client_flag_eb_sampled,
    client_flag_eb_refresh,
    client_no_write_reason,
    client_ignore_hw_error,
    client_no_progress,
    client_no_notice,
    client_no_notice,
    client_no_notice,
    client_no_pick_notice,
    client_no_urgency,
    client_no_state_notice,
    client_no_notice,
    client_no_groomed_eb,
    client_no_groomer_overlap,
    client_no_eb_notice,
    client_not_failed,
};
