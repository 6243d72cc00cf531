// The manufacturing data as the card's management processor serves it: any bytes, as one 1024-byte
// value (shorter input is filled with 0xFF, as the card fills its values), go through the section
// and item decoders and the cross-checks. Nothing may be read outside the value, and what lands
// in the record must stay inside its fields: every text ended within its array, every count
// within its table.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/card/pipeline_device.h"
#include "driver/controller/mid.h"
#include "sim/kernel/control.h"

namespace {

pipeline_device* card = nullptr;

template <size_t N>
void ended(const char (&text)[N]) {
    if (std::memchr(text, 0, N) == nullptr) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::kernel::boot();
    card = new pipeline_device{};
    std::strcpy(card->display_name, "Velkor fuzz");
    if (mid_create(card) != 0) {
        abort();
    }
    // The parser's messages are captured like every debug line; none is looked at here.
    sim::kernel::clear_debug_lines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The value in a block of exactly its size, so that a read past it is caught.
    std::vector<UCHAR> value(MID_SIZE, 0xFF);
    std::memcpy(value.data(), data, size < MID_SIZE ? size : MID_SIZE);
    card_mid* mid = card->mid;
    std::memset(mid, 0, sizeof *mid);
    card->minimal_mode_reasons = 0;
    card->product_name[0] = card->adapter_serial[0] = 0;

    if (mid_parse_value(card, value.data()) == 0) {
        mid_validate(card);
    }
    ended(mid->product_text2);
    ended(mid->product_text6);
    ended(mid->product_text7);
    ended(mid->product_text9);
    ended(mid->product_text10);
    ended(mid->product_uuid);
    ended(mid->board_serial);
    ended(card->product_name);
    ended(card->adapter_serial);
    if (mid->worn_count > MID_WORN_RANGES_MAX || mid->nand_id_count > MID_NAND_ID_MAX ||
        mid->sni_calibration_count > MID_SNI_MAX) {
        abort();
    }
    // The parser's messages are captured like every debug line; none is looked at here.
    sim::kernel::clear_debug_lines();
    return 0;
}
