#include "driver/controller/firmware_family.h"

#include "driver/card/hw_reset.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/card_memory.h"
#include "driver/controller/little_endian.h"
#include "driver/platform/kassert.h"

namespace {

constexpr ULONG csr_kind = 0x1200;
constexpr ULONG csr_family_location = 0x1248;
constexpr ULONG default_marker = 0xCAFECAFE;
constexpr ULONG default_location = 0x01E00000;
constexpr ULONG header_bytes = 28;
constexpr ULONG record_bytes = 24;
constexpr ULONG block_limit = 2048;
constexpr USHORT header_tag = 0x0EF1;
constexpr ULONG record_magic = 0xEF10B001;
constexpr ULONG memory_size = 0x2000000;

bool inside_memory(ULONG address, ULONG length) {
    return address < memory_size && length <= memory_size - address;
}

}  // namespace

int read_firmware_family(pipeline_device* card, firmware_family* out, ULONG select) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    RtlZeroMemory(out, sizeof *out);
    ULONG kind = csr_read(card->csr, csr_kind) & 0x7F;
    if (kind != 3 && kind != 7) {
        return 1;
    }
    ULONG location = csr_read(card->csr, csr_family_location);
    if (location == 0) {
        return 1;
    }
    out->location = location == default_marker ? default_location : location;
    out->valid = 1;
    UCHAR header[header_bytes];
    if (!inside_memory(out->location, header_bytes) || cmem_read(card, out->location, sizeof header, header, select) != 0) {
        return 1;
    }
    USHORT magic = le_get_u16(header);
    USHORT block = le_get_u16(header + 2);
    if ((magic != 0xAA55 && magic != 0x55AA) || block >= block_limit || le_get_u16(header + 4) != header_tag) {
        return 1;
    }
    UCHAR record[record_bytes];
    ULONG at = out->location + (ULONG)block * 512;
    if (!inside_memory(at, record_bytes) || cmem_read(card, at, sizeof record, record, select) != 0 ||
        le_get_u32(record) != record_magic) {
        return 1;
    }
    RtlCopyMemory(out->info, record + 4, sizeof out->info);
    return 0;
}
