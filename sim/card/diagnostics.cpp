#include "sim/card/diagnostics.h"

namespace sim::card {
namespace {

constexpr uint32_t trace_control = 0x22E4;
constexpr uint32_t trace_data = 0x22C8;
constexpr uint32_t trace_session = 0x209C;
constexpr uint32_t trace_start = 0x2094;
constexpr uint32_t fifo_state = 0x2054;
constexpr uint32_t fifo_head = 0x2058;

}  // namespace

bool Diagnostics::owns(uint32_t o) {
    return o == trace_control || o == trace_data || o == trace_session || o == trace_start ||
           (o >= fifo_state && o <= fifo_head + 12);
}

bool Diagnostics::record_available() const {
    return session_ && !trace_busy_stuck && record_ < trace_.size();
}

uint32_t Diagnostics::read(uint32_t o) {
    switch (o) {
        case trace_session:
            return trace_busy_stuck || record_available() ? 2 : 0;
        case trace_control:
            return (record_available() ? 0 : 1) | (trace_stale ? 8 : 0) | (unreadable_seen_ ? 16 : 0);
        case trace_data:
            if (record_ >= trace_.size()) {
                return 0;
            }
            if (word_ < 0) {
                return trace_[record_].header;
            }
            return (size_t)word_ < trace_[record_].words.size() ? trace_[record_].words[(size_t)word_] : 0;
        case trace_start:
            return 0;
        case fifo_state:
            return fifo_.empty() && !fifo_stuck ? 1 : 0;
        default: {
            size_t k = (o - fifo_head) / 4;
            if (!fifo_.empty()) {
                return fifo_.front()[k];
            }
            return fifo_stuck ? last_popped_[k] : 0;
        }
    }
}

void Diagnostics::write(uint32_t o, uint32_t value) {
    switch (o) {
        case trace_session:
            if (value == 3) {
                if (trace_unreadable) {
                    unreadable_seen_ = true;
                    return;
                }
                session_ = true;
                record_ = 0;
                word_ = -1;
            }
            return;
        case trace_control:
            if (value == 0 && !trace_stale_stuck) {
                trace_stale = false;
            } else if (value == 4 && record_ < trace_.size()) {
                word_++;
                if ((size_t)word_ >= trace_[record_].words.size()) {
                    record_++;
                    word_ = -1;
                }
            } else if (value == 2) {
                session_ = false;
                trace_.erase(trace_.begin(), trace_.begin() + (long)record_);
                record_ = 0;
                word_ = -1;
            }
            return;
        case fifo_state:
            if (value == 0 && !fifo_.empty()) {
                last_popped_ = fifo_.front();
                if (!fifo_stuck || fifo_.size() > 1) {
                    fifo_.pop_front();
                }
            }
            return;
        default:
            return;  // 0x2094 is recorded in the write log only; the head entry is read-only
    }
}

}  // namespace sim::card
