// The decoders of what the disk stack sends a child disk, on their own: command blocks against
// a disk's geometry (answers in place, transfers refused outside the disk or when the block does
// not hold its command), the property query with its short buffers and one buffer for both
// directions, the trim record with ranges outside it and ranges that cover sectors in part, and
// the geometry by capacity.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "driver/platform/errno_table.h"
#include "driver/shell/disk.h"
#include "tests/support/kernel_fixture.h"

namespace {

// 2^20 sectors of 512 bytes.
pav_disk_geometry small_disk() {
    pav_disk_geometry g{};
    g.internal_sector_size = 512;
    g.external_sector_size = 512;
    g.internal_count = 1ull << 20;
    g.external_count = 1ull << 20;
    g.sectors_per_external = 1;
    g.capacity_bytes = 512ull << 20;
    return g;
}

struct cdb_case {
    const char* what;
    std::vector<UCHAR> cdb;
    UCHAR cdb_length;       // 0: the vector's size; 0xFF: a length of 0
    ULONG transfer;         // the SRB's data transfer length
    bool buffer;            // the SRB has a data buffer (of `transfer` bytes)
    pav_scsi_action action;
    NTSTATUS status;
    ULONG returned;
    ULONG64 lba;            // of a transfer
};

std::vector<UCHAR> cdb10(UCHAR code, ULONG lba, USHORT blocks = 0) {
    return {code, 0, (UCHAR)(lba >> 24), (UCHAR)(lba >> 16), (UCHAR)(lba >> 8), (UCHAR)lba, 0,
            (UCHAR)(blocks >> 8), (UCHAR)blocks, 0};
}

std::vector<UCHAR> cdb16(UCHAR code, ULONG64 lba) {
    std::vector<UCHAR> c(16, 0);
    c[0] = code;
    for (int i = 0; i < 8; i++) c[2 + i] = (UCHAR)(lba >> (56 - 8 * i));
    return c;
}

std::vector<UCHAR> cdb12(UCHAR code, ULONG lba) {
    std::vector<UCHAR> c(12, 0);
    c[0] = code;
    for (int i = 0; i < 4; i++) c[2 + i] = (UCHAR)(lba >> (24 - 8 * i));
    return c;
}

constexpr ULONG64 last = (1ull << 20) - 1;
constexpr NTSTATUS bad_length = STATUS_INVALID_BLOCK_LENGTH;

}  // namespace

class ScsiDecodeTest : public KernelTest {
  protected:
    pav_scsi_command decode(const cdb_case& c, std::vector<UCHAR>* data, const pav_disk_geometry& g) {
        SCSI_REQUEST_BLOCK srb{};
        srb.Length = sizeof srb;
        std::memcpy(srb.Cdb, c.cdb.data(), std::min<size_t>(c.cdb.size(), sizeof srb.Cdb));
        srb.CdbLength = c.cdb_length == 0xFF ? 0 : c.cdb_length != 0 ? c.cdb_length : (UCHAR)c.cdb.size();
        srb.DataTransferLength = c.transfer;
        // A buffer of exactly the transfer length: anything written past it is the sanitizer's.
        data->assign(c.transfer, 0xEE);
        srb.DataBuffer = c.buffer ? data->data() : nullptr;
        pav_scsi_command out;
        ScsiDecodeCdb(&g, &srb, &out);
        return out;
    }
};

TEST_F(ScsiDecodeTest, EachCommandIsAnsweredOrRefusedAsItsBlockAndTheDiskSay) {
    const cdb_case cases[] = {
        {"test unit ready", {0x00, 0, 0, 0, 0, 0}, 0, 0, false, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 0, 0},
        {"inquiry returns nothing", {0x12, 0, 0, 0, 96, 0}, 0, 96, true, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 0, 0},
        {"mode sense header", {0x1A, 0, 0x3F, 0, 192, 0}, 0, 192, true, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 4, 0},
        {"mode sense into 3 bytes", {0x1A, 0, 0x3F, 0, 3, 0}, 0, 3, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"mode sense without buffer", {0x1A, 0, 0x3F, 0, 4, 0}, 0, 4, false, PAV_SCSI_ANSWERED,
         STATUS_INVALID_PARAMETER, 0, 0},
        {"read capacity (10)", cdb10(0x25, 0), 0, 8, true, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 8, 0},
        {"read capacity (10) into 7 bytes", cdb10(0x25, 0), 0, 7, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"read capacity (16)", cdb16(0x9E, 0), 0, 32, true, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 12, 0},
        {"read capacity (16) into 11 bytes", cdb16(0x9E, 0), 0, 11, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"read (10) of the last sector", cdb10(0x28, last), 0, 512, true, PAV_SCSI_READ, STATUS_SUCCESS, 0, last},
        {"read (10) after the last sector", cdb10(0x28, last + 1), 0, 512, true, PAV_SCSI_ANSWERED, bad_length, 0,
         0},
        {"read (10) running past the end", cdb10(0x28, last), 0, 1024, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"write (10) of part of a sector", cdb10(0x2A, 0), 0, 511, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"write (10) of nothing", cdb10(0x2A, 5), 0, 0, false, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 0, 0},
        {"write (10) above the largest transfer", cdb10(0x2A, 0), 0, 0x20200, true, PAV_SCSI_ANSWERED,
         STATUS_INVALID_PARAMETER, 0, 0},
        {"write (10) without a buffer", cdb10(0x2A, 0), 0, 512, false, PAV_SCSI_ANSWERED, STATUS_INVALID_PARAMETER,
         0, 0},
        {"write (12)", cdb12(0xAA, 77), 0, 4096, true, PAV_SCSI_WRITE, STATUS_SUCCESS, 0, 77},
        {"read (12)", cdb12(0xA8, 78), 0, 512, true, PAV_SCSI_READ, STATUS_SUCCESS, 0, 78},
        {"read (16) with a 64-bit lba", cdb16(0x88, 1ull << 19), 0, 512, true, PAV_SCSI_READ, STATUS_SUCCESS, 0,
         1ull << 19},
        {"write (16) at lba 2^52 does not wrap", cdb16(0x8A, 1ull << 52), 0, 512, true, PAV_SCSI_ANSWERED,
         bad_length, 0, 0},
        {"write (16) at the largest lba", cdb16(0x8A, ~0ull), 0, 512, true, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"read (16) in a 10-byte block", cdb16(0x88, 1), 10, 512, true, PAV_SCSI_ANSWERED,
         STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"read (10) in a 6-byte block", cdb10(0x28, 1), 6, 512, true, PAV_SCSI_ANSWERED,
         STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"a block of no bytes", {0x00}, 0xFF, 0, false, PAV_SCSI_ANSWERED, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"a block longer than 16 bytes", cdb10(0x28, 1), 17, 512, true, PAV_SCSI_ANSWERED,
         STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"verify inside", cdb10(0x2F, last, 1), 0, 0, false, PAV_SCSI_ANSWERED, STATUS_SUCCESS, 0, 0},
        {"verify past the end", cdb10(0x2F, last, 2), 0, 0, false, PAV_SCSI_ANSWERED, bad_length, 0, 0},
        {"synchronize cache", cdb10(0x35, 0), 0, 0, false, PAV_SCSI_FLUSH, STATUS_SUCCESS, 0, 0},
        {"request sense is not served", {0x03, 0, 0, 0, 18, 0}, 0, 18, true, PAV_SCSI_ANSWERED,
         STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        {"a vendor code", cdb16(0xFF, 0), 0, 0, false, PAV_SCSI_ANSWERED, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> data;
        pav_scsi_command out = decode(c, &data, small_disk());
        EXPECT_EQ(out.action, c.action);
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.returned, c.returned);
        if (c.action == PAV_SCSI_READ || c.action == PAV_SCSI_WRITE) {
            EXPECT_EQ(out.lba, c.lba);
            EXPECT_EQ(out.length, c.transfer);
        }
        if (c.status != STATUS_SUCCESS) {
            // A refused command wrote nothing.
            for (UCHAR b : data) ASSERT_EQ(b, 0xEE);
        }
    }
}

TEST_F(ScsiDecodeTest, AnswersCarryTheDiskInBigEndian) {
    std::vector<UCHAR> data;
    auto g = small_disk();
    decode({"", {0x1A, 0, 0x3F, 0, 4, 0}, 0, 4, true, PAV_SCSI_ANSWERED, 0, 0, 0}, &data, g);
    EXPECT_EQ(data, (std::vector<UCHAR>{3, 0, 0, 0}));
    decode({"", cdb10(0x25, 0), 0, 8, true, PAV_SCSI_ANSWERED, 0, 0, 0}, &data, g);
    EXPECT_EQ(data, (std::vector<UCHAR>{0x00, 0x0F, 0xFF, 0xFF, 0, 0, 2, 0}));
    decode({"", cdb16(0x9E, 0), 0, 12, true, PAV_SCSI_ANSWERED, 0, 0, 0}, &data, g);
    EXPECT_EQ(data, (std::vector<UCHAR>{0, 0, 0, 0, 0x00, 0x0F, 0xFF, 0xFF, 0, 0, 2, 0}));

    // More than 2^32 external sectors of 4096 bytes: the 10-byte answer says all ones.
    pav_disk_geometry big{};
    big.internal_sector_size = 512;
    big.external_sector_size = 4096;
    big.sectors_per_external = 8;
    big.external_count = (1ull << 32) + 5;
    big.internal_count = big.external_count * 8;
    big.capacity_bytes = big.external_count * 4096;
    decode({"", cdb10(0x25, 0), 0, 8, true, PAV_SCSI_ANSWERED, 0, 0, 0}, &data, big);
    EXPECT_EQ(data, (std::vector<UCHAR>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x10, 0}));
    decode({"", cdb16(0x9E, 0), 0, 12, true, PAV_SCSI_ANSWERED, 0, 0, 0}, &data, big);
    EXPECT_EQ(data, (std::vector<UCHAR>{0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0x10, 0}));
    // A transfer in external sectors: the length must be whole 4096-byte sectors.
    auto out = decode({"", cdb16(0x8A, 1ull << 32), 0, 4096, true, PAV_SCSI_WRITE, 0, 0, 0}, &data, big);
    EXPECT_EQ(out.action, PAV_SCSI_WRITE);
    out = decode({"", cdb16(0x8A, 1), 0, 512, true, PAV_SCSI_WRITE, 0, 0, 0}, &data, big);
    EXPECT_EQ(out.status, bad_length);
}

TEST_F(ScsiDecodeTest, StatusTablesOfTheDiskPath) {
    const std::pair<int, std::pair<NTSTATUS, UCHAR>> errors[] = {
        {0, {STATUS_SUCCESS, 1}},
        {4096, {STATUS_SUCCESS, 1}},
        {-30, {(NTSTATUS)0xC00000A2, 6}},
        {-25, {(NTSTATUS)0xC0000010, 6}},
        {-22, {(NTSTATUS)0xC00000FA, 6}},
        {-16, {(NTSTATUS)0x80000011, 6}},
        {-14, {(NTSTATUS)0xC0000005, 6}},
        {-13, {(NTSTATUS)0xC0000022, 6}},
        {-12, {(NTSTATUS)0xC000009A, 6}},
        {-11, {(NTSTATUS)0xC00000B5, 6}},
        {-9, {(NTSTATUS)0xC0000014, 6}},
        {-6, {(NTSTATUS)0xC000000E, 8}},
        {-5, {(NTSTATUS)0xC0000184, 6}},
        {-2, {(NTSTATUS)0xC0000225, 6}},
        {-1, {(NTSTATUS)0xC0000183, 6}},
        {-28, {(NTSTATUS)0xC0000122, 6}},
        {-1028, {(NTSTATUS)0xC0000122, 6}},
    };
    for (const auto& e : errors) {
        SCOPED_TRACE(e.first);
        UCHAR srb_status = 0;
        EXPECT_EQ(PavDiskErrnoToStatus(e.first, &srb_status), e.second.first);
        EXPECT_EQ(srb_status, e.second.second);
    }
    const std::pair<NTSTATUS, UCHAR> finals[] = {
        {STATUS_SUCCESS, 1},           {(NTSTATUS)0xC0000173, 0x15}, {STATUS_NO_SUCH_DEVICE, 8},
        {(NTSTATUS)0xC021000B, 8},     {STATUS_DEVICE_NOT_READY, 6}, {STATUS_INVALID_DEVICE_REQUEST, 6},
        {STATUS_UNSUCCESSFUL, 6},
    };
    for (const auto& f : finals) {
        EXPECT_EQ(PavSrbStatusOf(f.first), f.second) << std::hex << f.first;
    }
}

// ---- Property queries

namespace {

pav_disk_identity identity() {
    pav_disk_identity i{};
    i.capacity_gb = 1200;
    i.external_sector_size = 512;
    i.uuid = "00112233-4455-6677-8899-aabbccddeeff";
    i.card_serial = "SN123";
    i.fw_version = 3u << 20 | 14u << 10 | 159u;
    i.fw_revision = 42;
    i.write_aggregation = TRUE;
    return i;
}

struct query_result {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<UCHAR> out;
};

query_result query(ULONG id, ULONG type, size_t input_length, size_t output_length,
                   const pav_disk_identity& who = identity()) {
    std::vector<UCHAR> in(input_length, 0);
    if (input_length != 0) std::memcpy(in.data(), &id, std::min<size_t>(4, input_length));
    if (input_length >= 8) std::memcpy(in.data() + 4, &type, 4);
    query_result r;
    r.out.assign(output_length, 0xEE);
    r.status = PavQueryProperty(&who, input_length != 0 ? in.data() : nullptr, input_length,
                                output_length != 0 ? r.out.data() : nullptr, output_length, &r.information);
    return r;
}

ULONG word(const std::vector<UCHAR>& v, size_t at) {
    ULONG w;
    std::memcpy(&w, v.data() + at, 4);
    return w;
}

std::string text_at(const std::vector<UCHAR>& v, size_t at) {
    return std::string((const char*)v.data() + at);
}

}  // namespace

TEST_F(ScsiDecodeTest, PropertyQueriesCheckTheirBuffersAndAnswerTheStandardDescriptors) {
    struct row {
        const char* what;
        ULONG id;
        ULONG type;
        size_t in;
        size_t out;
        NTSTATUS status;
        ULONG_PTR information;
        ULONG version;  // 0: not checked
        ULONG size;
    } rows[] = {
        {"no input", 0, 0, 0, 512, STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"input without a query type", 0, 0, 4, 512, STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"exists: miniport", 5, 1, 12, 0, STATUS_SUCCESS, 0, 0, 0},
        {"exists: resiliency", 14, 1, 12, 0, STATUS_SUCCESS, 0, 0, 0},
        {"exists: unique id", 3, 1, 12, 0, STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"exists in a short query", 5, 1, 8, 0, STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"mask query", 0, 2, 12, 512, STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"no output", 0, 0, 12, 0, STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"7-byte output", 0, 0, 12, 7, STATUS_INVALID_PARAMETER, 0, 0, 0},
        {"device into 100 bytes", 0, 0, 12, 100, STATUS_SUCCESS, 8, 40, 296},
        {"device", 0, 0, 12, 296, STATUS_SUCCESS, 296, 40, 296},
        {"adapter", 1, 0, 12, 64, STATUS_SUCCESS, 32, 32, 32},
        {"miniport", 5, 0, 12, 16, STATUS_SUCCESS, 16, 16, 16},
        {"alignment", 6, 0, 12, 28, STATUS_SUCCESS, 28, 28, 28},
        {"seek penalty", 7, 0, 12, 12, STATUS_SUCCESS, 12, 12, 12},
        {"trim", 8, 0, 12, 12, STATUS_SUCCESS, 12, 12, 12},
        {"write aggregation", 9, 0, 12, 12, STATUS_SUCCESS, 12, 12, 12},
        {"telemetry", 10, 0, 12, 64, STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"power", 12, 0, 12, 20, STATUS_SUCCESS, 20, 20, 20},
        {"resiliency", 14, 0, 12, 32, STATUS_SUCCESS, 32, 32, 32},
        {"unique id", 3, 0, 12, 512, STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"id out of range", 0x7FFFFFFF, 0, 12, 512, STATUS_NOT_SUPPORTED, 0, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        query_result q = query(r.id, r.type, r.in, r.out);
        EXPECT_EQ(q.status, r.status);
        EXPECT_EQ(q.information, r.information);
        if (r.version != 0) {
            EXPECT_EQ(word(q.out, 0), r.version);
            EXPECT_EQ(word(q.out, 4), r.size);
            for (size_t i = q.information; i < q.out.size(); i++) ASSERT_EQ(q.out[i], 0) << i;  // cleared
        }
    }
}

TEST_F(ScsiDecodeTest, DescriptorContents) {
    query_result d = query(0, 0, 12, 296);
    EXPECT_EQ(word(d.out, 12), 40u);
    EXPECT_EQ(text_at(d.out, 40), "Tavrin ");
    EXPECT_EQ(word(d.out, 16), 104u);
    EXPECT_EQ(text_at(d.out, 104), "Ombrel3 1200GB ");
    EXPECT_EQ(word(d.out, 24), 168u);
    EXPECT_EQ(text_at(d.out, 168), "00112233-4455-6677-8899-aabbccddeeff ");
    EXPECT_EQ(word(d.out, 20), 232u);
    EXPECT_EQ(text_at(d.out, 232), "3.14.159  rev 42 Public");
    pav_disk_identity internal = identity();
    internal.fw_revision = 0x40000000;
    EXPECT_EQ(text_at(query(0, 0, 12, 296, internal).out, 232), "3.14.159  rev 1073741824 Internal");

    query_result a = query(1, 0, 12, 32);
    EXPECT_EQ(word(a.out, 8), 0x20000u);
    EXPECT_EQ(word(a.out, 12), 256u);
    EXPECT_EQ(word(a.out, 16), 7u);

    const std::string id_text = "SN123 {00112233-4455-6677-8899-aabbccddeeff} ";
    query_result i = query(2, 0, 12, 512);
    EXPECT_EQ(i.information, 36 + id_text.size());
    EXPECT_EQ(word(i.out, 0), 16u);
    EXPECT_EQ(word(i.out, 4), 36 + id_text.size());
    EXPECT_EQ(word(i.out, 8), 1u);
    EXPECT_EQ(word(i.out, 12), 2u);  // ASCII
    EXPECT_EQ(word(i.out, 16), 1u);  // vendor id
    EXPECT_EQ(word(i.out, 20) & 0xFFFF, id_text.size());
    EXPECT_EQ(std::string((const char*)i.out.data() + 28, id_text.size()), id_text);
    EXPECT_EQ(i.out[28 + id_text.size()], 0);  // no NUL of its own; the cleared output
    // A device-id descriptor that does not fit: only its header.
    EXPECT_EQ(query(2, 0, 12, 36).information, 8u);

    EXPECT_EQ(query(5, 0, 12, 16).out[13], 1);      // target reset
    EXPECT_EQ(word(query(6, 0, 12, 28).out, 16), 512u);
    EXPECT_EQ(query(8, 0, 12, 12).out[8], 1);       // trim enabled
    EXPECT_EQ(query(9, 0, 12, 12).out[8], 1);       // write aggregation as configured
    query_result p = query(12, 0, 12, 20);
    EXPECT_EQ(p.out[11], 1);
    EXPECT_EQ(p.out[12], 1);
    query_result r = query(14, 0, 12, 32);
    EXPECT_EQ(word(r.out, 12), 1u);
    EXPECT_EQ(word(r.out, 28), 4096u);
}

TEST_F(ScsiDecodeTest, AQueryAnsweredInItsOwnBufferReadsTheQueryFirst) {
    // The buffered method hands one buffer holding the query on the way in.
    std::vector<UCHAR> buffer(296, 0);
    ULONG id = 0;
    std::memcpy(buffer.data(), &id, 4);
    ULONG_PTR information = 0;
    pav_disk_identity who = identity();
    EXPECT_EQ(PavQueryProperty(&who, buffer.data(), 12, buffer.data(), buffer.size(), &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 296u);
    EXPECT_EQ(text_at(buffer, 40), "Tavrin ");
}

// ---- Trim

namespace {

struct trims {
    std::vector<std::pair<ULONG64, ULONG64>> ranges;
    int fail_with = 0;
};

int record_trim(void* context, ULONG64 start, ULONG64 count) {
    auto* t = (trims*)context;
    t->ranges.push_back({start, count});
    return t->fail_with;
}

std::vector<UCHAR> trim_record(ULONG action, ULONG flags, const std::vector<std::pair<LONGLONG, ULONGLONG>>& ranges,
                               ULONG offset = 32, LONG length_change = 0) {
    std::vector<UCHAR> in(offset + ranges.size() * 16, 0);
    DEVICE_MANAGE_DATA_SET_ATTRIBUTES h{};
    h.Size = sizeof h;
    h.Action = action;
    h.Flags = flags;
    h.DataSetRangesOffset = offset;
    h.DataSetRangesLength = (ULONG)(ranges.size() * 16 + length_change);
    std::memcpy(in.data(), &h, sizeof h);
    for (size_t i = 0; i < ranges.size(); i++) {
        DEVICE_DATA_SET_RANGE r{ranges[i].first, ranges[i].second};
        std::memcpy(in.data() + offset + i * 16, &r, 16);
    }
    return in;
}

}  // namespace

TEST_F(ScsiDecodeTest, TrimDiscardsOnlyWholeSectorsOfRangesInsideTheRecord) {
    struct row {
        const char* what;
        std::vector<UCHAR> in;
        size_t length;  // 0: all of it
        NTSTATUS status;
        std::vector<std::pair<ULONG64, ULONG64>> discarded;
    };
    const ULONG64 count = 1000;
    std::vector<row> rows = {
        {"aligned ranges", trim_record(1, 0, {{0, 1024}, {10 * 512, 512}}), 0, STATUS_SUCCESS, {{0, 2}, {10, 1}}},
        {"an unaligned range keeps the sectors it covers in part", trim_record(1, 0, {{100, 3 * 512}}), 0,
         STATUS_SUCCESS, {{1, 2}}},
        {"a range inside one sector discards nothing", trim_record(1, 0, {{513, 100}}), 0, STATUS_SUCCESS, {}},
        {"a range past the device is cut at its end", trim_record(1, 0, {{998 * 512, 10 * 512}}), 0, STATUS_SUCCESS,
         {{998, 2}}},
        {"a huge length does not wrap", trim_record(1, 0, {{512, ~0ull}}), 0, STATUS_SUCCESS, {{1, 999}}},
        {"the entire range", trim_record(1, 1, {}), 0, STATUS_SUCCESS, {{0, count}}},
        {"another action", trim_record(2, 0, {{0, 512}}), 0, STATUS_SUCCESS, {}},
        {"a header cut short", trim_record(1, 0, {{0, 512}}), 20, STATUS_INVALID_PARAMETER, {}},
        {"ranges past the record", trim_record(1, 0, {{0, 512}, {512, 512}}), 40, STATUS_INVALID_PARAMETER, {}},
        {"ranges offset inside the header", trim_record(1, 0, {{0, 512}}, 16), 0, STATUS_INVALID_PARAMETER, {}},
        {"a part of a range", trim_record(1, 0, {{0, 512}}, 32, -8), 0, STATUS_INVALID_PARAMETER, {}},
        {"a negative start anywhere stops all", trim_record(1, 0, {{0, 512}, {-512, 1024}}), 0,
         STATUS_INVALID_PARAMETER, {}},
    };
    // A ranges offset near 2^32 must not wrap around the record's length.
    std::vector<UCHAR> wrap = trim_record(1, 0, {{0, 512}});
    ULONG far = 0xFFFFFFF0u;
    std::memcpy(wrap.data() + 20, &far, 4);
    rows.push_back({"a ranges offset that would wrap", wrap, 0, STATUS_INVALID_PARAMETER, {}});
    for (auto& r : rows) {
        SCOPED_TRACE(r.what);
        trims t;
        size_t length = r.length != 0 ? r.length : r.in.size();
        // Exactly the given length: a read past it is the sanitizer's.
        std::vector<UCHAR> exact(r.in.begin(), r.in.begin() + (ptrdiff_t)std::min(length, r.in.size()));
        EXPECT_EQ(PavParseTrim(exact.data(), exact.size(), 512, count, record_trim, &t), r.status);
        EXPECT_EQ(t.ranges, r.discarded);
    }
    trims failing;
    failing.fail_with = -KPAV_EIO;
    auto in = trim_record(1, 0, {{0, 512}, {1024, 512}});
    EXPECT_EQ(PavParseTrim(in.data(), in.size(), 512, count, record_trim, &failing), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(failing.ranges.size(), 1u);  // stops at the first failure
}

TEST_F(ScsiDecodeTest, GeometryByCapacity) {
    struct row {
        ULONG64 capacity;
        ULONG tracks;
        ULONG sectors;
    } rows[] = {
        {(8ull << 20) - 512, 16, 2},   {8ull << 20, 32, 8},       {(512ull << 20) - 512, 32, 8},
        {512ull << 20, 128, 16},       {2ull << 30, 256, 32},     {(8ull << 30) - 512, 256, 32},
        {8ull << 30, 255, 63},         {1205000000000ull, 255, 63},
    };
    for (const auto& r : rows) {
        DISK_GEOMETRY g;
        PavFillGeometry(r.capacity, 512, &g);
        EXPECT_EQ(g.MediaType, FixedMedia);
        EXPECT_EQ(g.TracksPerCylinder, r.tracks) << r.capacity;
        EXPECT_EQ(g.SectorsPerTrack, r.sectors) << r.capacity;
        EXPECT_EQ(g.BytesPerSector, 512u);
        EXPECT_EQ((ULONG64)g.Cylinders.QuadPart, r.capacity / r.tracks / r.sectors / 512);
    }
}
