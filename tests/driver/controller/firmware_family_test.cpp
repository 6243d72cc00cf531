// The firmware family record read from the card model's memory, and the checks that refuse it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "driver/controller/firmware_family.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

class FirmwareFamilyTest : public ControllerCardTest {};

struct family_case {
    const char* name;
    std::function<void(sim::card::ControllerConfig&)> change;
    int result;
    UCHAR valid;
    ULONG location;
};

TEST_F(FirmwareFamilyTest, TheRecordIsReadWhereTheLocationRegisterSaysAndEveryCheckHolds) {
    const family_case cases[] = {
        {"default location", [](sim::card::ControllerConfig&) {}, 0, 1, 0x01E00000},
        {"other magic", [](sim::card::ControllerConfig& c) { c.family.magic = 0x55AA; }, 0, 1, 0x01E00000},
        {"own location", [](sim::card::ControllerConfig& c) { c.family.location_register = 0x01000000; }, 0, 1,
         0x01000000},
        {"last block", [](sim::card::ControllerConfig& c) { c.family.block = 2047; }, 0, 1, 0x01E00000},
        {"block 2048", [](sim::card::ControllerConfig& c) { c.family.block = 2048; }, 1, 1, 0x01E00000},
        {"bad magic", [](sim::card::ControllerConfig& c) { c.family.magic = 0xAA56; }, 1, 1, 0x01E00000},
        {"bad tag", [](sim::card::ControllerConfig& c) { c.family.tag = 0x0EF2; }, 1, 1, 0x01E00000},
        {"bad record", [](sim::card::ControllerConfig& c) { c.family.record_magic = 0xEF10B002; }, 1, 1,
         0x01E00000},
        {"no location", [](sim::card::ControllerConfig& c) { c.family.location_register = 0; }, 1, 0, 0},
        {"past the memory", [](sim::card::ControllerConfig& c) { c.family.location_register = 0x01FFFFF0; }, 1, 1,
         0x01FFFFF0},
        {"kind 5", [](sim::card::ControllerConfig& c) { c.kind = 5; }, 1, 0, 0},
    };
    for (const family_case& c : cases) {
        sim::card::ControllerConfig config = controller_config();
        c.change(config);
        sim::card::CardConfig card = sim::card::CardConfig::small();
        card.controller.controller_kind = config.kind;
        replug(card, config);
        firmware_family family;
        std::memset(&family, 0xEE, sizeof family);
        EXPECT_EQ(read_firmware_family(card_, &family, 1), c.result) << c.name;
        EXPECT_EQ(family.valid, c.valid) << c.name;
        EXPECT_EQ(family.location, c.location) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(std::memcmp(family.info, config.family.info.data(), 16), 0) << c.name;
        }
    }
}

}  // namespace
