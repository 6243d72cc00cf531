#include "sim/card/config.h"

namespace sim::card {

CardConfig CardConfig::small() {
    CardConfig c;
    c.geometry.banks = 2;
    c.geometry.lanes = 2;
    c.geometry.planes = 1;
    c.geometry.eb_count = 16;
    c.channel.ring_count = 4;
    c.channel.page_buffers = 64;
    c.channel.strict = true;
    return c;
}

CardConfig CardConfig::bench() {
    CardConfig c;
    c.geometry.banks = 8;
    c.geometry.lanes = 16;
    c.geometry.planes = 2;
    c.geometry.eb_count = 256;
    c.channel.page_buffers = 1024;
    c.timing.read_ns = 38000;
    c.timing.program_ns = 610000;
    c.timing.erase_ns = 1800000;
    return c;
}

}  // namespace sim::card
