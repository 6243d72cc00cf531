#include "sim/card/events.h"

#include "sim/card/card_state.h"

namespace sim::card {
namespace {

// The mask bit that suppresses an event, by its low byte; 0 for events no mask stops.
uint32_t mask_bit(uint32_t low_byte) {
    switch (low_byte) {
        case 94: return 0x1000000;
        case 95: return 0x2000000;
        case 100: return 0x8000000;
        default: return 0;
    }
}

constexpr uint32_t environment_event = 94;

}  // namespace

void EventUnit::set_mask(uint32_t value) {
    mask_ = value;
    if ((mask_ & mask_bit(environment_event)) == 0 && pending_env_ != 0) {
        uint32_t word = environment_event | pending_env_;
        pending_env_ = 0;
        post(word);
    }
}

bool EventUnit::post(uint32_t word, const std::vector<uint32_t>& record, unsigned ring) {
    uint32_t bit = mask_bit(word & 0xFF);
    if (bit != 0 && (mask_ & bit) != 0) {
        card_.inspector.counters.events_masked++;
        if ((word & 0xFF) == environment_event) {
            pending_env_ |= word & ~0xFFu;
        }
        return false;
    }
    card_.inspector.counters.events_posted++;
    Report r;
    r.ring = ring;
    r.kind = ReportKind::event;
    r.words.push_back(word);
    r.words.insert(r.words.end(), record.begin(), record.end());
    card_.completions.post(std::move(r));
    return true;
}

void EventUnit::post_record(Report report) {
    card_.inspector.counters.events_posted++;
    report.kind = ReportKind::event;
    card_.completions.post(std::move(report));
}

}  // namespace sim::card
