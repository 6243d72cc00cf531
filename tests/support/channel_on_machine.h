// A card of a machine taken out of minimal mode with its channel running, as its bring-up will
// once the NAND controller's set-up exists: the channel is set up with the controller's own
// channel operations and the machine's default card geometry in place of that set-up, started,
// and the card's kinfo directory made.
#pragma once

#include <gtest/gtest.h>

#include "driver/card/pipeline_device.h"
#include "driver/controller/card_list.h"
#include "driver/controller/card_services.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_kinfo.h"
#include "driver/pipeline/pipeline.h"
#include "sim/card/card.h"

// The geometry the NAND controller's set-up would read: the machine's default card.
inline int default_card_geometry(nand_dev* channel) {
    sim::card::NandGeometry g;
    channel->geometry.pads = g.lanes;
    channel->geometry.banks = g.banks;
    channel->geometry.planes = g.planes;
    channel->geometry.page_size = g.page_data;
    channel->geometry.rows_per_eb = g.rows;
    channel->geometry.eb_count = g.eb_count;
    channel->geometry.stripe_bytes = 65536;
    return 0;
}

inline const channel_owner_ops& channel_bring_up() {
    static const channel_owner_ops ops = [] {
        channel_owner_ops o = controller_channel_ops;
        o.nand_controller_init = default_card_geometry;
        return o;
    }();
    return ops;
}

// Makes the card's channel again with `ops`, in place of the one it has (the records minimal mode
// set up): 0, or the set-up's result. A started card is in the driver's card list, whose cards'
// channels the per-processor threads walk; a real bring-up makes the channel before it lists the
// card, so the card leaves the list while its channel is freed and made.
inline int remake_channel(pipeline_device* card, const channel_owner_ops* ops) {
    const bool listed = (card->list_flags & PAV_CARD_LISTED) != 0;
    if (listed) {
        pav_driver_list_remove(card);
    }
    channel_pipeline_free(card);
    int rc = channel_pipeline_init(card, ops);
    if (listed) {
        pav_driver_list_add(card);
    }
    return rc;
}

// Use with ASSERT_NO_FATAL_FAILURE.
inline void run_card_channel(pipeline_device* card) {
    card->minimal_mode_reasons = 0;
    card->minimal = FALSE;
    ASSERT_EQ(remake_channel(card, &channel_bring_up()), 0);
    ASSERT_EQ(channel_pipeline_start(card), 0);
    card->start_flags |= PAV_CARD_PIPELINE_RUNNING;
    ASSERT_NE(card->nand, nullptr);
    ASSERT_EQ(nand_dev_kinfo_create(card), 0);
}
