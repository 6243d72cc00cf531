#include "driver/controller/card_images.h"

#include "driver/card/hw_reset.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/card_memory.h"
#include "driver/controller/crc16.h"
#include "driver/controller/little_endian.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/direct_cmds.h"
#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

namespace {

constexpr ULONG cmem_end = 0x2000000;
constexpr ULONG select_images = 1;
constexpr ULONG nce_magic = 0x11A2BFDC;
constexpr ULONG nce_header = 28;
constexpr ULONG nce_poisoned = 0x4;
constexpr ULONG nce_min_version = 0x10008;
constexpr ULONG nce_min_build = 100749;
constexpr ULONG nce_max_build = 199999;
constexpr ULONG ecc1_magic = 0xBEEFCAFE;
constexpr ULONG ecc1_header = 20;
constexpr ULONG ecc1_data_header = 24;
constexpr ULONG ecc1_min_version = 3;
constexpr ULONG boot_attempts = 3;
// Microcode entries appended per hold of the ring lock: the card takes them as they come, so an
// image larger than the ring's free room goes in several doorbells.
constexpr ULONG load_chunk_entries = 8192;

// Microcode port registers (ring entries).
constexpr ULONG reg_ucode_first = 0x180;
constexpr ULONG reg_ucode_next = 0x184;
constexpr ULONG reg_ucode_control = 0x188;

// ECC engine registers.
constexpr ULONG csr_ecc_caps = 0x6384;
constexpr ULONG csr_ecc_config = 0x638C;
constexpr ULONG csr_ecc_data_a = 0x6388;
constexpr ULONG csr_ecc_data_b = 0x4288;
constexpr ULONG csr_ecc_control_b = 0x428C;
constexpr ULONG csr_ecc_enable = 0x200C;
constexpr ULONG csr_ecc_table = 0x63A8;
constexpr ULONG csr_ecc_select = 0x42A4;
constexpr ULONG csr_ecc_matrix = 0x42A0;
constexpr ULONG csr_ecc_values = 0x42A8;

void ecc1_corrupt(const char* name) {
    kpav_print(KPAV_CLASS_NORMAL, "%s: ECC1 image is corrupt.\n", name);
}

void ecc1_invalid(const char* name) {
    kpav_print(KPAV_CLASS_NORMAL, "%s: ECC1 image is invalid.\n", name);
}

}  // namespace

// ---- Decoders

void image_container_decode(const UCHAR* header, image_container* out) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    out->magic = le_get_u32(header);
    out->format = le_get_u32(header + 4);
    out->total = le_get_u32(header + 8);
    out->id = le_get_u32(header + 12);
    out->revision_low = le_get_u32(header + 16);
    out->revision_high = le_get_u32(header + 20);
}

int nce_image_find(const char* name, const UCHAR* body, ULONG size, ULONG type, nce_image* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG at = 0;
    while (size - at >= nce_header) {
        const UCHAR* r = body + at;
        if (le_get_u32(r) != nce_magic || le_get_u32(r + 4) != 0) {
            break;
        }
        ULONG length = le_get_u32(r + 8);
        if (length > size - at - nce_header) {
            break;  // the record does not fit in its container
        }
        ULONG type_word = le_get_u32(r + 12);
        ULONG version = le_get_u32(r + 16);
        ULONG build = le_get_u32(r + 20);
        if ((type_word & nce_poisoned) != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: NCE image is poisoned.\n", name);
            return NCE_CORRUPT;
        }
        if (version < nce_min_version || build < nce_min_build || build > nce_max_build) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Microcode out of date.\n", name);
            return NCE_OUT_OF_DATE;
        }
        if (crc16_ccitt(r + nce_header, (USHORT)length) != le_get_u16(r + 24)) {
            return NCE_CORRUPT;
        }
        if ((type_word & ~nce_poisoned) == type) {
            out->payload = at + nce_header;
            out->length = length;
            out->type_word = type_word;
            out->version = version;
            out->build = build;
            return 0;
        }
        at += nce_header + length;
    }
    return NCE_CORRUPT;
}

int nce_sections_check(const UCHAR* payload, ULONG length, ULONG* entries) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    ULONG64 total = 2;
    ULONG at = 0;
    while (length - at >= 8) {
        ULONG kind = le_get_u32(payload + at);
        ULONG n = le_get_u32(payload + at + 4);
        at += 8;
        if (n == 0) {
            *entries = (ULONG)total;
            return 0;
        }
        if (kind > 2 || n > (length - at) / 4) {
            return NCE_CORRUPT;
        }
        if (kind == 1) {
            total += n;
        }
        at += 4 * n;
    }
    return NCE_CORRUPT;  // no closing section
}

void nce_register_words(const UCHAR* payload, ULONG length, nce_word_visitor visit, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG at = 0;
    while (length - at >= 8) {
        ULONG kind = le_get_u32(payload + at);
        ULONG n = le_get_u32(payload + at + 4);
        at += 8;
        if (n == 0 || n > (length - at) / 4) {
            return;
        }
        for (ULONG i = 0; kind == 1 && i < n; i++) {
            if (!visit(context, le_get_u32(payload + at + 4 * i), i == 0)) {
                return;
            }
        }
        at += 4 * n;
    }
}

int ecc1_find_record(const char* name, const UCHAR* image, ULONG size, ULONG id, ecc1_record* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG at = IMAGE_CONTAINER_HEADER;
    while (size > at && size - at >= ecc1_header) {
        const UCHAR* r = image + at;
        ULONG length = le_get_u32(r + 12);
        if (le_get_u32(r + 4) != ecc1_magic || length > size - at - ecc1_header) {
            ecc1_corrupt(name);
            return -KPAV_ENOENT;
        }
        if ((le_get_u32(r + 16) & 0xFFFF) != crc16_ccitt(r + ecc1_header, (USHORT)length)) {
            ecc1_invalid(name);
            return -KPAV_EINVAL;
        }
        if (le_get_u32(r) < ecc1_min_version) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: ECC1 image does not meet minimum version requirement.\n", name);
            return -KPAV_EOPNOTSUPP;
        }
        if (le_get_u32(r + 8) == id) {
            out->data = r + ecc1_header;
            out->length = length;
            if (length < ecc1_data_header) {
                ecc1_corrupt(name);
                return -KPAV_ENOENT;
            }
            out->count = le_get_u32(out->data + (id == 0 ? 16 : 12));
            out->second = le_get_u32(out->data + (id == 0 ? 20 : 16));
            return 0;
        }
        at += ecc1_header + length;
    }
    ecc1_corrupt(name);  // the record is not there
    return -KPAV_ENOENT;
}

int ecc1_records_check(const char* name, const ecc1_record& matrix, const ecc1_record& table) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 matrix_words = (ULONG64)(matrix.second / 32) * matrix.count * matrix.count;
    ULONG64 table_bytes = (ULONG64)table.count * 5;
    if (matrix.count == 0 || matrix.count > 32 || matrix.second % 32 != 0 ||
        matrix_words * 4 > matrix.length - ecc1_data_header || table.second == 0 || table.second > 5 ||
        table_bytes > table.length - ecc1_data_header) {
        ecc1_invalid(name);
        return -KPAV_EINVAL;
    }
    return 0;
}

ULONG ecc1_table_value(const ecc1_record& table, ULONG k) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const UCHAR* b = table.data + ecc1_data_header + 5 * (k / 4);
    ULONG m = k % 4;
    return b[4 - m] | (b[0] & 1u) << 8 | (b[0] >> (m + 1) & 1u) << 9;
}

void ecc1_stream(const ecc1_record& matrix, const ecc1_record& table, ecc1_register_write write, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG values = 4 * table.count;
    ULONG table_values = (table.second - 1) * table.count;
    for (ULONG k = 0; k < table_values; k++) {
        write(context, csr_ecc_table, ecc1_table_value(table, k) | (k & 0xFFF) << 10 | 0x80000000u);
    }
    write(context, csr_ecc_table, 15);
    const UCHAR* words = matrix.data + ecc1_data_header;
    ULONG per_section = (matrix.second / 32) * matrix.count;
    for (ULONG i = 0; i < matrix.count; i++) {
        write(context, csr_ecc_select, 1u << i);
        for (ULONG j = 0; j < per_section; j++) {
            write(context, csr_ecc_matrix, le_get_u32(words + 4 * (i * per_section + j)));
        }
    }
    for (ULONG k = 0; k < values; k++) {
        write(context, csr_ecc_values, ecc1_table_value(table, k) << 16 | (k & 0x1FF));
    }
}

// ---- Container chain

int image_chain_step(const UCHAR* header, ULONG at, ULONG id, ULONG* next) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    image_container c;
    image_container_decode(header, &c);
    if (at > cmem_end - IMAGE_CONTAINER_HEADER || c.magic != IMAGE_CONTAINER_MAGIC || c.format == 0 ||
        c.total < IMAGE_CONTAINER_HEADER || c.total > cmem_end - at) {
        return IMAGE_CHAIN_END;
    }
    if (c.id == id) {
        *next = c.total;
        return IMAGE_CHAIN_FOUND;
    }
    *next = at + c.total;
    return *next <= cmem_end - IMAGE_CONTAINER_HEADER ? IMAGE_CHAIN_NEXT : IMAGE_CHAIN_END;
}

int cmem_find_container(pipeline_device* card, ULONG id, ULONG* address, ULONG* size) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    // Each container is at least a header long, so the walk ends at the end of card memory.
    ULONG at = CMEM_CONTAINERS;
    for (;;) {
        UCHAR header[IMAGE_CONTAINER_HEADER];
        if (cmem_read(card, at, sizeof header, header, select_images) != 0) {
            return 1;
        }
        ULONG next = 0;
        int step = image_chain_step(header, at, id, &next);
        if (step == IMAGE_CHAIN_FOUND) {
            *address = at;
            *size = next;
            return 0;
        }
        if (step == IMAGE_CHAIN_END) {
            return 1;
        }
        at = next;
    }
}

// ---- Microcode

namespace {

// Appends the image's ring entries: {1 -> 0x188}, each kind-1 section as {word 0 -> 0x180} and
// {word i -> 0x184}, {0 -> 0x188}; the sections were checked. The ring lock is released and taken
// again with room every load_chunk_entries entries. 0, or NCE_CORRUPT when the ring gave no room
// (nothing more is appended then; the card drops a load it never saw end).
struct microcode_appender {
    nand_dev* channel;
    ULONG in_chunk;
    bool failed;
};

bool append_microcode_word(void* context, ULONG value, bool first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* a = (microcode_appender*)context;
    if (a->in_chunk == load_chunk_entries) {
        ring_doorbell(a->channel);
        kpav_spin_unlock(&a->channel->issue_lock);
        if (!direct_lock_with_room(a->channel)) {
            a->failed = true;
            return false;
        }
        a->in_chunk = 0;
    }
    hw_cmds_append(a->channel, value, BAR_NAND + (first ? reg_ucode_first : reg_ucode_next));
    a->in_chunk++;
    return true;
}

int microcode_append(nand_dev* channel, const nce_image& image, const UCHAR* body) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (!direct_lock_with_room(channel)) {
        return NCE_CORRUPT;
    }
    channel->iface.ucode_version = image.version;
    channel->iface.ucode_build = image.build;
    channel->iface.ucode_flags = image.type_word;
    hw_cmds_append(channel, 1, BAR_NAND + reg_ucode_control);
    microcode_appender a{channel, 1, false};
    nce_register_words(body + image.payload, image.length, append_microcode_word, &a);
    if (a.failed) {
        return NCE_CORRUPT;
    }
    hw_cmds_append(channel, 0, BAR_NAND + reg_ucode_control);
    ring_doorbell(channel);
    kpav_spin_unlock(&channel->issue_lock);
    return 0;
}

int microcode_read_container(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pipeline_device* card = channel->card;
    const char* name = channel_name(channel);
    ULONG address = 0;
    ULONG size = 0;
    if (cmem_find_container(card, CONTAINER_MICROCODE, &address, &size) != 0) {
        return NCE_CORRUPT;
    }
    UCHAR header[IMAGE_CONTAINER_HEADER];
    if (cmem_read(card, address, sizeof header, header, select_images) != 0) {
        return -KPAV_EIO;
    }
    image_container c;
    image_container_decode(header, &c);
    if (c.magic != IMAGE_CONTAINER_MAGIC || c.format < 1 || c.id != CONTAINER_MICROCODE ||
        c.total < IMAGE_CONTAINER_HEADER || c.total >= MICROCODE_CONTAINER_LIMIT) {
        return NCE_CORRUPT;
    }
    if (c.revision_low > card->fw_version || card->fw_version >= c.revision_high) {
        return NCE_OUT_OF_DATE;  // no image of this container serves the controller
    }
    ULONG body_size = c.total - IMAGE_CONTAINER_HEADER;
    auto* body = (UCHAR*)kpav_alloc(body_size != 0 ? body_size : 1, KPAV_TAG_VML);
    if (body == nullptr) {
        return -KPAV_ENOMEM;
    }
    int rc = cmem_read(card, address + IMAGE_CONTAINER_HEADER, body_size, body, select_images);
    ULONG type = channel->iface.interface_kind == 1 ? NCE_TYPE_OWN : NCE_TYPE_ONFI;
    nce_image image{};
    ULONG entries = 0;
    if (rc == 0) {
        rc = nce_image_find(name, body, body_size, type, &image);
    }
    if (rc == 0) {
        rc = nce_sections_check(body + image.payload, image.length, &entries);
    }
    if (rc == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Loading microcode image %d.%d.%d rev %u with flags 0x%08x\n", name,
                   image.version >> 16 & 0xFF, image.version >> 8 & 0xFF, image.version & 0xFF, image.build,
                   image.type_word);
        rc = microcode_append(channel, image, body);
    }
    kpav_free(body, KPAV_TAG_VML);
    return rc;
}

}  // namespace

int microcode_boot(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int rc = 0;
    for (ULONG attempt = 0; attempt < boot_attempts; attempt++) {
        rc = microcode_read_container(channel);
        if (rc == 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Microcode loaded (%d).\n", channel_name(channel), attempt);
            return 0;
        }
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s: Failed to boot microcode (%d).\n", channel_name(channel), boot_attempts);
    return rc;
}

// ---- Bank interfaces

int nand_bank_interface_setup(nand_dev* channel, ULONG bank_mask) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const nand_interface& n = channel->iface;
    if (n.part == nullptr) {
        return 1;
    }
    ULONG lanes = direct_all_pads(channel);
    const ULONG pads[] = {2, n.pads};
    if (bank_cmd_write(channel, bank_mask, lanes, ARRAYSIZE(pads), pads) != 0) {
        return 1;
    }
    int rc;
    if (n.interface_kind == NAND_KIND_ONFI_SYNC) {
        const ULONG words[] = {0, 84, 8, 20, n.clock_period_ps, n.clock_delay_ps, n.phase_nibble};
        rc = bank_cmd_write(channel, bank_mask, lanes, ARRAYSIZE(words), words);
    } else if (n.interface_kind == NAND_KIND_OWN_DDR) {
        const ULONG words[] = {8, 54, n.clock_period_ps, n.clock_delay_ps, n.phase_nibble};
        rc = bank_cmd_write(channel, bank_mask, lanes, ARRAYSIZE(words), words);
    } else {
        const ULONG words[] = {0, 5, 1, 5};
        rc = bank_cmd_write(channel, bank_mask, lanes, ARRAYSIZE(words), words);
    }
    if (rc != 0 || nand_set_part_features(channel) != 0) {
        return 1;
    }
    const ULONG key[] = {23, n.part->mgmt_key};
    return bank_cmd_write(channel, 1, lanes, ARRAYSIZE(key), key) != 0 ? 1 : 0;
}

// ---- ECC

namespace {

void csr_stream_write(void* card, ULONG offset, ULONG value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    csr_write(((pipeline_device*)card)->csr, offset, value);
}

int ecc1_load(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    pipeline_device* card = channel->card;
    const char* name = channel_name(channel);
    ULONG address = 0;
    ULONG size = 0;
    if (cmem_find_container(card, CONTAINER_ECC1, &address, &size) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: ECC1 image is missing.\n", name);
        card->minimal_mode_reasons |= PAV_MINIMAL_FIRMWARE;
        return -KPAV_EINVAL;
    }
    auto* image = (UCHAR*)kpav_alloc(size, KPAV_TAG_VML);
    if (image == nullptr) {
        return -KPAV_ENOMEM;
    }
    int rc = cmem_read(card, address, size, image, select_images);
    ecc1_record matrix{};
    ecc1_record table{};
    if (rc == 0) {
        rc = ecc1_find_record(name, image, size, 0, &matrix);
        if (rc == 0) {
            rc = ecc1_find_record(name, image, size, 1, &table);
        }
        if (rc == 0) {
            rc = ecc1_records_check(name, matrix, table);
        }
        if (rc != 0) {
            card->minimal_mode_reasons |= PAV_MINIMAL_FIRMWARE;
        }
    }
    if (rc == 0) {
        ecc1_stream(matrix, table, csr_stream_write, card);
    }
    kpav_free(image, KPAV_TAG_VML);
    return rc;
}

int ecc_setup(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    volatile ULONG* csr = channel->card->csr;
    const nand_interface& n = channel->iface;
    ULONG config = csr_read(csr, csr_ecc_config);
    config = (config & ~(0x3Fu << 8) & ~0x20u) | ((n.pads - 1) & 0x3F) << 8;
    csr_write(csr, csr_ecc_config, config);
    ULONG data_field = (n.ecc_data / 32 - 1) & 0xFFFF;
    csr_write(csr, csr_ecc_data_b, (csr_read(csr, csr_ecc_data_b) & 0xFFFF0000u) | data_field);
    csr_write(csr, csr_ecc_data_a, (csr_read(csr, csr_ecc_data_a) & 0xFFFF0000u) | data_field);
    int rc = ecc1_load(channel);
    if (rc != 0) {
        return rc;
    }
    csr_write(csr, csr_ecc_control_b, csr_read(csr, csr_ecc_control_b) & ~1u);
    csr_write(csr, csr_ecc_config, csr_read(csr, csr_ecc_config) & ~1u);
    csr_write(csr, csr_ecc_control_b, csr_read(csr, csr_ecc_control_b) | 2u);
    csr_write(csr, csr_ecc_config, csr_read(csr, csr_ecc_config) | 2u);
    csr_write(csr, csr_ecc_enable, csr_read(csr, csr_ecc_enable) | 4u);
    return 0;
}

}  // namespace

int ecc_geometry_setup(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    nand_interface& n = channel->iface;
    ULONG caps = csr_read(channel->card->csr, csr_ecc_caps);
    ULONG largest = ((caps & 0xFFFF) + 1) * 32;
    ULONG parity = ((caps >> 16) + 1) * 32;
    ULONG groups = (n.codeword_groups != 0 ? n.codeword_groups : 1) * (n.planes != 0 ? n.planes : 1);
    ULONG limit = largest < 100000 ? largest : 100000;
    ULONG chosen = 0;
    ULONG64 best = 0;
    for (ULONG c = parity + 32; c <= limit; c += 32) {
        ULONG k = n.page_total / c;
        ULONG64 user = (ULONG64)(c - parity) * k;
        if (user > best && k % groups == 0) {
            best = user;
            chosen = c;
        }
    }
    if (chosen == 0) {
        chosen = largest;
    }
    n.ecc_codeword = chosen;
    n.ecc_field = 80;
    n.ecc_parity = parity;
    n.ecc_data = chosen > parity ? chosen - parity : 32;
    n.ecc_codewords = n.page_total / chosen;
    return ecc_setup(channel);
}
