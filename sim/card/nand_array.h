// The NAND banks: which operation each bank runs and until when (machine time), programs and
// erases against the media with the lane faults of the fault plan, and the reports they end
// with (the pad-error record 16 + bank when a lane failed, then the bank word).
//
// Per bank, operations run in ring order. Programs and erases run in the background while replay
// goes on; page reads and direct commands hold replay until they end (occupy()). With a NAND time
// of 0 an operation ends within the entry that starts it.
//
// Lane status bytes: 0xE0 good, 0xE1 failed, 0x60 write-protected, 0x00 lane absent. A lane that
// failed a program reads as failed until its erase block is erased.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/card/reports.h"

namespace sim::card {

class CardState;
struct Row;

struct EraseRequest {
    uint32_t eb = 0;
    bool has_tag = false;
    Tag tag;
    uint32_t masks[2] = {0, 0};  // lanes of plane 0 (register 72) and plane 1 (68)
    bool two_planes = false;
    bool per_lane = false;       // no address: refused, every lane reports failure
};

class NandArray {
  public:
    enum class Op { idle, program, erase, read, direct };

    explicit NandArray(CardState& card) : card_(card) {}

    bool bank_idle(unsigned bank) const { return banks_[bank].op == Op::idle; }
    // A page read, an erase or a direct command may start: the bank is idle and has no ready row.
    bool free_for_operation(unsigned bank) const;

    void start_program(Row& row);
    void start_erase(unsigned bank, const EraseRequest& erase);
    // An entry that keeps the bank (and replay) for `ns`: true when it may end now (at once for
    // 0 ns, or once its time has passed), false when it must be replayed again later.
    bool occupy(unsigned bank, Op op, uint64_t ns);

    // Programs and erases whose time has come end; true when any did.
    bool finish_due(uint64_t now);
    std::optional<uint64_t> next_due() const;

    // Lanes that read as failed in a segment: bit plane x 32 + lane.
    uint64_t bad_lanes(uint64_t segment) const;
    // A test's per-lane bytes, returned by reads whose lane mask holds that lane alone.
    void poke_lane(uint64_t segment, uint32_t lane, uint64_t offset, std::vector<uint8_t> bytes);
    void apply_lane_pokes(uint64_t segment, uint32_t lane, uint64_t stream_offset, std::vector<uint8_t>& stream,
                          size_t at, size_t length) const;

    // Channel reset: what runs ends without reports; a held entry is given up.
    void silence();
    // Power lost: erases in progress end (with the flush) or are lost; every bank stops.
    void power_loss(bool flush);
    // 5020: programs in progress end with the flush that programs their rows.
    void abandon_programs();

  private:
    struct Bank {
        Op op = Op::idle;
        uint64_t due = 0;
        bool blocking = false;
        bool silent = false;
        unsigned buffer = 0;
        EraseRequest erase;
    };
    struct LanePoke {
        uint64_t offset;
        std::vector<uint8_t> bytes;
    };

    void complete_program(unsigned bank);
    void complete_erase(unsigned bank);
    // Status per plane and lane of an operation, from the fault plan; `fatal` when pad_fatal hit.
    std::array<std::vector<uint8_t>, 2> lane_status(const char* fault, unsigned bank, uint32_t eb, int64_t row,
                                                    const uint32_t masks[2], bool two_planes, bool* fatal);
    bool any_failed(const std::array<std::vector<uint8_t>, 2>& status, const uint32_t masks[2]) const;
    std::vector<uint32_t> pad_record(unsigned bank, Tag tag, const std::array<std::vector<uint8_t>, 2>& status) const;
    void report(unsigned bank, Tag tag, bool fatal, bool failed, const std::array<std::vector<uint8_t>, 2>& status,
                ReportKind kind, unsigned subtype);

    CardState& card_;
    std::array<Bank, 8> banks_;
    std::map<uint64_t, uint64_t> bad_lanes_;
    std::map<std::pair<uint64_t, uint32_t>, std::vector<LanePoke>> lane_pokes_;
};

}  // namespace sim::card
