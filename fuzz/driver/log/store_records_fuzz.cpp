// The store's records as the media gives them back: per-LEB summary blocks, erase-block map
// headers and the map's entity stream (fed in segments of a length the input chooses), and the
// end-marker search over a copy's last written bytes. Each decoder sees a buffer of exactly the
// bytes it is given, so a read beyond them is caught by the address sanitizer.
//
// Input: byte 0 chooses the record (mod 4), bytes 1-2 a parameter (the LEB's packet count for
// summaries, the segment length for the stream), the rest the record's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/log/mel.h"
#include "driver/log/vbmap.h"
#include "sim/kernel/control.h"

namespace {

int count_entities(void* context, USHORT, const UCHAR* entity, ULONG size) {
    // Touch every byte the reader says the entity has.
    ULONG sum = 0;
    for (ULONG i = 0; i < size; i++) sum += entity[i];
    *(ULONG*)context += sum & 1;
    return 0;
}

void summaries(const UCHAR* bytes, size_t size, ULONG packets) {
    for (size_t at = 0; at + VBM_SUMMARY_RECORD_BYTES <= size; at += VBM_SUMMARY_RECORD_BYTES) {
        auto record = std::make_unique<UCHAR[]>(VBM_SUMMARY_RECORD_BYTES);
        std::memcpy(record.get(), bytes + at, VBM_SUMMARY_RECORD_BYTES);
        vbm_summary s;
        if (vbm_summary_decode(record.get(), packets, &s) == 0 && (s.valid > packets || s.peak > packets)) {
            std::abort();  // a record that cannot be the LEB's was taken
        }
    }
}

void header(const UCHAR* bytes, size_t size) {
    if (size < MEL_HEADER_BYTES) {
        return;
    }
    auto image = std::make_unique<UCHAR[]>(MEL_HEADER_BYTES);
    std::memcpy(image.get(), bytes, MEL_HEADER_BYTES);
    mel_header h;
    if (mel_header_decode(image.get(), &h) == 0) {
        UCHAR again[MEL_HEADER_BYTES];
        mel_header_encode(again, &h);
        if (std::memcmp(again, image.get(), MEL_HEADER_BYTES) != 0) {
            std::abort();  // the codec lost a field
        }
    }
}

void stream(const UCHAR* bytes, size_t size, ULONG segment) {
    segment = segment == 0 ? 1 : segment;
    auto s = std::make_unique<mel_stream>();
    mel_stream_init(s.get());
    ULONG touched = 0;
    for (size_t at = 0; at < size; at += segment) {
        ULONG n = (ULONG)(size - at < segment ? size - at : segment);
        auto piece = std::make_unique<UCHAR[]>(n);
        std::memcpy(piece.get(), bytes + at, n);
        if (mel_stream_feed(s.get(), piece.get(), n, count_entities, &touched, "fuzz") != 0) {
            break;
        }
    }
}

void marker(const UCHAR* bytes, size_t size) {
    auto copy = std::make_unique<UCHAR[]>(size + 1);
    std::memcpy(copy.get(), bytes, size);
    mel_marker_count(copy.get(), (ULONG)size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::kernel::boot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    ULONG parameter = (ULONG)data[1] | (ULONG)data[2] << 8;
    const UCHAR* body = data + 3;
    size_t length = size - 3;
    switch (data[0] % 4) {
        case 0:
            summaries(body, length, parameter);
            break;
        case 1:
            header(body, length);
            break;
        case 2:
            stream(body, length, parameter);
            break;
        default:
            marker(body, length);
            break;
    }
    return 0;
}
