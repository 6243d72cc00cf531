// The card-memory images as the card holds them: any bytes go to the decoders of the container
// chain, the NCE microcode records and their sections, and the ECC1 records, and through
// everything the loads read of what they accept. Nothing may read outside the bytes given, and the
// chain walk must end within the steps card memory leaves room for.
//
// Input: byte 0 picks the decoder (low two bits: 0 the chain, 1 NCE records, 2 and 3 ECC1; bit 2
// the NCE type: own parts or ONFi parts; bits 3-7 the container id the walk looks for), the rest
// is the image: the chain's bytes from its first header (card memory beyond them reads 0xFF), a
// microcode container's body, or a whole ECC1 container.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/controller/card_images.h"
#include "driver/controller/card_memory.h"
#include "sim/kernel/control.h"

namespace {

constexpr ULONG card_memory_end = 0x2000000;

void walk_chain(const uint8_t* image, size_t size, ULONG id) {
    ULONG at = CMEM_CONTAINERS;
    ULONG steps = 0;
    for (;;) {
        UCHAR header[IMAGE_CONTAINER_HEADER];
        for (ULONG i = 0; i < IMAGE_CONTAINER_HEADER; i++) {
            ULONG offset = at - CMEM_CONTAINERS + i;
            header[i] = offset < size ? image[offset] : 0xFF;
        }
        ULONG next = 0;
        int step = image_chain_step(header, at, id, &next);
        if (step == IMAGE_CHAIN_FOUND) {
            if (next < IMAGE_CONTAINER_HEADER || at + (uint64_t)next > card_memory_end) {
                abort();
            }
            return;
        }
        if (step == IMAGE_CHAIN_END) {
            return;
        }
        if (next <= at || next > card_memory_end - IMAGE_CONTAINER_HEADER ||
            ++steps > (card_memory_end - CMEM_CONTAINERS) / IMAGE_CONTAINER_HEADER) {
            abort();
        }
        at = next;
    }
}

bool count_word(void* context, ULONG, bool) {
    ++*(ULONG*)context;
    return true;
}

void nce(const uint8_t* body, size_t size, ULONG type) {
    nce_image image{};
    if (nce_image_find("dov0", body, (ULONG)size, type, &image) != 0) {
        return;
    }
    if (image.payload + (uint64_t)image.length > size) {
        abort();
    }
    ULONG entries = 0;
    if (nce_sections_check(body + image.payload, image.length, &entries) != 0) {
        return;
    }
    // The load appends what the check counted: the words and the two control entries.
    ULONG words = 0;
    nce_register_words(body + image.payload, image.length, count_word, &words);
    if (words + 2 != entries) {
        abort();
    }
}

void ignore_write(void* context, ULONG, ULONG) {
    ++*(ULONG64*)context;
}

void ecc1(const uint8_t* image, size_t size) {
    ecc1_record matrix{}, table{};
    if (ecc1_find_record("dov0", image, (ULONG)size, 0, &matrix) != 0 ||
        ecc1_find_record("dov0", image, (ULONG)size, 1, &table) != 0 ||
        ecc1_records_check("dov0", matrix, table) != 0) {
        return;
    }
    ULONG64 writes = 0;
    ecc1_stream(matrix, table, ignore_write, &writes);
    ULONG64 expected = (ULONG64)(table.second - 1) * table.count + 1 + matrix.count +
                       (ULONG64)(matrix.second / 32) * matrix.count * matrix.count + 4ull * table.count;
    if (writes != expected) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::kernel::boot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The image in a block of its own size, so that a read past it is caught.
    std::vector<uint8_t> image(data + 1, data + size);
    const uint8_t* bytes = image.empty() ? nullptr : image.data();
    static const uint8_t none[1] = {};
    if (bytes == nullptr) {
        bytes = none;
    }
    switch (data[0] & 3) {
        case 0: walk_chain(bytes, image.size(), data[0] >> 3); break;
        case 1: nce(bytes, image.size(), (data[0] & 4) != 0 ? NCE_TYPE_OWN : NCE_TYPE_ONFI); break;
        default: ecc1(bytes, image.size()); break;
    }
    return 0;
}
