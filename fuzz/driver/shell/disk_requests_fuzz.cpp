// What the disk stack hands a child disk, as bytes: the first byte picks the decoder, the rest
// is its input.
//  0: an SRB's command block (length byte, 16 block bytes, transfer length, whether it has a
//     buffer, geometry choice) against one of three disks; the data buffer is an allocation of
//     exactly the transfer length.
//  1: a property query (output length, then the input as it comes), output a separate buffer of
//     exactly that length, and again in one buffer as the buffered method hands it.
//  2: a trim record as it comes, against a disk of 2^20 sectors.
// Nothing may be read or written outside the buffers; a transfer the decoder lets through lies
// inside the disk; a trimmed range lies inside the device.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/shell/disk.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

pav_disk_geometry disk(uint8_t choice) {
    pav_disk_geometry g{};
    g.internal_sector_size = 512;
    switch (choice % 3) {
        case 0:
            g.external_sector_size = 512;
            g.external_count = 1ull << 20;
            break;
        case 1:
            g.external_sector_size = 4096;
            g.external_count = (1ull << 32) + 3;
            break;
        default:
            g.external_sector_size = 512;
            g.external_count = 0;
            break;
    }
    g.sectors_per_external = g.external_sector_size / 512;
    g.internal_count = g.external_count * g.sectors_per_external;
    g.capacity_bytes = g.external_count * g.external_sector_size;
    return g;
}

void command_block(const uint8_t* data, size_t size) {
    uint8_t header[21] = {};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    SCSI_REQUEST_BLOCK srb{};
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = header[0];
    std::memcpy(srb.Cdb, header + 1, 16);
    ULONG transfer = (ULONG)header[17] | (ULONG)header[18] << 8 | (ULONG)(header[19] & 0x3) << 16;
    srb.DataTransferLength = transfer;
    std::unique_ptr<uint8_t[]> buffer;
    if ((header[20] & 1) != 0) {
        buffer.reset(new uint8_t[transfer == 0 ? 1 : transfer]);
        srb.DataBuffer = buffer.get();
    }
    pav_disk_geometry g = disk(header[20] >> 1);
    pav_scsi_command out;
    ScsiDecodeCdb(&g, &srb, &out);
    check(out.returned <= transfer);
    if (out.action == PAV_SCSI_READ || out.action == PAV_SCSI_WRITE) {
        check(out.length != 0 && out.length % g.external_sector_size == 0);
        check(out.lba < g.external_count && out.length / g.external_sector_size <= g.external_count - out.lba);
        check(out.length <= PAV_DISK_MAX_TRANSFER && srb.DataBuffer != nullptr);
    }
}

void property_query(const uint8_t* data, size_t size) {
    if (size < 2) {
        return;
    }
    size_t output_length = (size_t)data[0] | (size_t)(data[1] & 1) << 8;
    data += 2;
    size -= 2;
    pav_disk_identity who{};
    who.capacity_gb = 1200;
    who.external_sector_size = 512;
    who.uuid = "00112233-4455-6677-8899-aabbccddeeff";
    who.card_serial = "a serial number long enough to be cut short by the identifier's limit of its text........";
    who.fw_version = 0xFFFFFFFF;
    who.fw_revision = 0x7FFFFFFF;
    std::unique_ptr<uint8_t[]> in(new uint8_t[size == 0 ? 1 : size]);
    std::memcpy(in.get(), data, size);
    std::unique_ptr<uint8_t[]> out(new uint8_t[output_length == 0 ? 1 : output_length]);
    ULONG_PTR information = 0;
    PavQueryProperty(&who, size != 0 ? in.get() : nullptr, size, output_length != 0 ? out.get() : nullptr,
                     output_length, &information);
    check(information <= output_length);
    // One buffer for both directions, of the larger length.
    size_t both = size > output_length ? size : output_length;
    std::unique_ptr<uint8_t[]> shared(new uint8_t[both == 0 ? 1 : both]);
    std::memset(shared.get(), 0, both);
    std::memcpy(shared.get(), data, size);
    PavQueryProperty(&who, size != 0 ? shared.get() : nullptr, size, output_length != 0 ? shared.get() : nullptr,
                     output_length, &information);
    check(information <= output_length);
}

constexpr ULONG64 trim_sectors = 1ull << 20;

int trimmed(void*, ULONG64 start, ULONG64 count) {
    check(count != 0 && start < trim_sectors && count <= trim_sectors - start);
    return 0;
}

void trim(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[size == 0 ? 1 : size]);
    std::memcpy(in.get(), data, size);
    PavParseTrim(size != 0 ? in.get() : nullptr, size, 512, trim_sectors, trimmed, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    switch (data[0] % 3) {
        case 0:
            command_block(data + 1, size - 1);
            break;
        case 1:
            property_query(data + 1, size - 1);
            break;
        default:
            trim(data + 1, size - 1);
            break;
    }
    return 0;
}
