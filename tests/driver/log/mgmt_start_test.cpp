// The channel start's management data: the erase-block map and the blocks' headers read when
// the map is to be loaded, the pads no block in use has collected per bank, and each bank's
// bad-pad-mask chain sent to the card; a card whose map cannot be read is left unattachable and
// gets no chains.
#include "driver/log/mel.h"
#include "driver/log/mgmt.h"
#include "driver/pipeline/direct_cmds.h"
#include "driver/platform/params.h"
#include "tests/driver/log/media_fixture.h"

namespace {

class CollectTest : public StoreTest {};

TEST_F(CollectTest, PadsMissingFromEveryBlockInUse) {
    init(small_store_geometry(16));
    ULONG out[EB_MAX_BANKS] = {};
    EXPECT_EQ(mgmt_data_collect_ebs(&channel_, out), 2u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 0u);
    // Pad 1 of bank 1 is gone from every block but one, and that one is mapped out; pad 0 of
    // bank 0 is gone from all but a block that only holds a map copy (still in use).
    for (USHORT eb = 0; eb < 16; eb++) {
        info(eb)->banks[1].raw_mask &= ~2u;
        info(eb)->banks[0].raw_mask &= ~1u;
    }
    info(4)->banks[1].raw_mask |= 2u;
    info(4)->mel_mark = EB_MEL_MAPPED_OUT;
    info(5)->banks[0].raw_mask |= 1u;
    info(5)->mel_mark = EB_MEL_COPY;
    EXPECT_EQ(mgmt_data_collect_ebs(&channel_, out), 2u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 2u);
}

// The card's start with the erase-block information and map made at set-up, as the card's
// bring-up makes them.
class ManagementStartTest : public CardChannelTest {
  protected:
    static store_geometry geometry() {
        store_geometry g = small_store_geometry(16);
        g.min_usable_pads = 1;
        g.pages_per_row = 4;
        return g;
    }
    void configure() override {
        real_issue_handlers_ = true;
        owner_.nand_controller_init = [](nand_dev* c) {
            int rc = geometry_from_card(c);
            c->bad_pad_step = 1;
            return rc;
        };
        owner_.ebinfo_init = [](nand_dev* c) {
            store_geometry g = geometry();
            int rc = ebinfo_init(c, &g);
            if (rc != 0) return rc;
            reset_all(c);
            return mel_create(c);
        };
        owner_.ebinfo_release = mel_free;
        owner_.mgmt_data_read = mgmt_data_read_at_start;
        owner_.bad_pad_mask_chains = mgmt_bad_pad_mask_chains;
    }
    uint64_t sequences() { return model_->counters().direct_sequences; }
};

TEST_F(ManagementStartTest, AMapLoadedAtStartIsFollowedByTheBanksChains) {
    // A blank card: no map, so no chains, and attach stays disabled.
    EXPECT_TRUE(logged("dov0: No MEL found.\n"));
    EXPECT_TRUE(logged("dov0: Unable to read management data - MEL.\n"));
    EXPECT_EQ(ebinfo_table(channel())->attach_disabled, 1);
    EXPECT_FALSE(logged("dov0: Failed to initialize NAND controller bad pad mask for all banks. (1)\n"));

    ASSERT_EQ(mel_write(channel(), 1), 0);
    ASSERT_EQ(mel_retire_pad(channel(), 6, 1), 1);
    ASSERT_EQ(mel_write(channel(), 0), 0);
    const uint64_t before = sequences();
    restart();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(ebinfo_table(channel())->attach_disabled, 0);
    EXPECT_FALSE(mel_no_map(channel()));
    EXPECT_EQ(ebinfo_get(channel(), 6)->banks[0].saved_mask & 2u, 0u) << "the map's decisions are back";
    EXPECT_EQ(sequences() - before, 2u) << "one chain per bank";
    // The chain leaves the bank's mask (no pad is missing from every block) as the port word.
    ULONG word = 0xFFFF;
    velkor_request* read = binary_read_port(channel(), 1, &word);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(request_submit_wait(read->ioctx), 0);
    EXPECT_EQ(word, 0u);

    // Without the map's load nothing is read and no chain is sent.
    LONG saved = velkor_load_eb_map;
    velkor_load_eb_map = 0;
    const uint64_t again = sequences();
    restart();
    velkor_load_eb_map = saved;
    EXPECT_EQ(sequences() - again, 0u);
    EXPECT_TRUE(mel_no_map(channel()));
}

}  // namespace
