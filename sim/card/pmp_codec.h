// The management processor's side of the byte channel's frames, written here apart from the
// driver's so that a mistake shared by both cannot hide.
//
// A frame on the wire: 0x43 0x21, version 1, D and D destination bytes, S and S source bytes, the
// header (flags, reply class, destination class), P (1..72) and P payload bytes, then a 16-bit
// checksum, little-endian: the complement of the ones'-complement sum of the frame's bytes taken
// as words (the byte at an even offset low, the one after it high). Every 0x43 after the first
// byte is sent twice. The largest frame is 99 bytes.
//
// The decoder keeps the unstuffed bytes of the frame in progress and checks them as they grow.
// A 0x43 that is not doubled inside a frame ends the frame and starts a new one, so a frame cut
// short by the start of the next is dropped and the next one still arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim::card::pmp {

constexpr uint8_t magic = 0x43;
constexpr uint8_t magic_second = 0x21;
constexpr uint8_t version = 1;
constexpr size_t frame_max = 99;
constexpr size_t payload_max = 72;
constexpr size_t address_max = 8;

struct Frame {
    std::vector<uint8_t> destination;
    std::vector<uint8_t> source;
    uint8_t header[3] = {};
    std::vector<uint8_t> payload;
};

// The checksum field over `n` frame bytes.
uint16_t checksum(const uint8_t* bytes, size_t n);
// The frame's bytes before doubling (with its checksum), and as sent.
std::vector<uint8_t> frame_bytes(const Frame& frame);
std::vector<uint8_t> stuff(const std::vector<uint8_t>& raw);
inline std::vector<uint8_t> encode(const Frame& frame) { return stuff(frame_bytes(frame)); }

struct DecoderCounters {
    uint32_t frames = 0;
    uint32_t bad_magic = 0;
    uint32_t bad_version = 0;
    uint32_t bad_checksum = 0;
    uint32_t bad_length = 0;
    uint32_t broken = 0;  // frames ended by a lone 0x43
};

class Decoder {
  public:
    // One byte from the wire; a frame when it completed one.
    std::optional<Frame> feed(uint8_t byte);
    void reset();
    const DecoderCounters& counters() const { return counters_; }

  private:
    enum class Check { incomplete, complete, bad_magic, bad_version, bad_length, bad_checksum };
    Check check() const;
    std::optional<Frame> take(uint8_t byte);

    std::vector<uint8_t> raw_;
    bool doubled_pending_ = false;
    DecoderCounters counters_;
};

}  // namespace sim::card::pmp
