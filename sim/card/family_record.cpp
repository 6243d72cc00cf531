#include "sim/card/family_record.h"

#include <vector>

#include "sim/card/card_memory.h"

namespace sim::card {

void write_family_record(CardMemory& memory, const FamilyRecordConfig& config) {
    if (!config.present || config.location_register == 0) {
        return;
    }
    std::vector<uint8_t> header(28, 0);
    auto u16 = [](std::vector<uint8_t>& b, size_t at, uint16_t v) {
        b[at] = (uint8_t)v;
        b[at + 1] = (uint8_t)(v >> 8);
    };
    u16(header, 0, config.magic);
    u16(header, 2, config.block);
    u16(header, 4, config.tag);
    memory.write(config.location(), header);
    std::vector<uint8_t> record(24, 0);
    for (int i = 0; i < 4; i++) {
        record[i] = (uint8_t)(config.record_magic >> (8 * i));
    }
    std::copy(config.info.begin(), config.info.end(), record.begin() + 4);
    memory.write(config.location() + (uint32_t)config.block * 512, record);
}

}  // namespace sim::card
