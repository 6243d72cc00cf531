// The child disks on the card model: partitions of a data device exposed as disk devices in the
// card's child list, their identity (ids, texts, capabilities, interface, the card's serial
// number in its key), hide and expose again, and the disk requests as the disk stack sends them:
// SRBs whose reads and writes reach the media (aligned buffers as they are, others through a
// bounce buffer, pieces of one MDL), refused transfers that write nothing, flushes, the storage
// and disk device-control requests and trims that keep neighbouring data.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/block/bdev.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/vsu.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/params.h"
#include "driver/platform/uuid.h"
#include "driver/shell/disk.h"
#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kmdf/control.h"
#include "tests/driver/block/data_device_fixture.h"

using namespace sim::kernel;

namespace {

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

bool has_line(const std::string& text) {
    for (const auto& line : debug_texts()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

NTSTATUS fdo_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    PavDiskConfigureChildList(init);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_CONTEXT);
    WDFDEVICE device;
    return WdfDeviceCreate(&init, &attributes, &device);
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, fdo_add);
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// A caller's buffer described by a locked MDL, as the disk stack hands it down.
struct locked_buffer {
    locked_buffer(void* address, ULONG length) {
        mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    }
    ~locked_buffer() {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    locked_buffer(const locked_buffer&) = delete;
    locked_buffer& operator=(const locked_buffer&) = delete;
    PMDL mdl;
};

struct srb_result {
    NTSTATUS status;
    UCHAR srb_status;
    ULONG transfer;
    ULONG_PTR information;
};

std::vector<UCHAR> cdb_rw(UCHAR code, ULONG64 lba) {
    std::vector<UCHAR> c(code >= 0x80 && code < 0xA0 ? 16 : code >= 0xA0 ? 12 : 10, 0);
    c[0] = code;
    if (c.size() == 16) {
        for (int i = 0; i < 8; i++) c[2 + i] = (UCHAR)(lba >> (56 - 8 * i));
    } else {
        for (int i = 0; i < 4; i++) c[2 + i] = (UCHAR)(lba >> (24 - 8 * i));
    }
    return c;
}

}  // namespace

class DiskTest : public DataDeviceTest {
  protected:
    void SetUp() override {
        DataDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY].kind = KPAV_BLOCK_WINDOWS_DISK;
        kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY].ops = &pav_disk_block_ops;
        PavDiskRequestsInit();
        card_ = channel()->card;
        std::strcpy(card_->product_name, "Velkor ION Drive   ");
        std::strcpy(card_->adapter_serial, "SN0042");
        card_->pci_bus = 3;
        card_->pci_device = 5;
        card_->pci_function = 1;
        card_->fw_version = 3u << 20 | 2u << 10 | 7u;
        card_->fw_build = 1234;
        ASSERT_EQ(load_driver("strovane", driver_entry, &wdm_), STATUS_SUCCESS);
        ASSERT_EQ(sim::kmdf::add_device(WdfGetDriver(), {}, &fdo_), STATUS_SUCCESS);
        fdo_context_ = PavGetFdoContext(fdo_);
        fdo_context_->device = fdo_;
        fdo_context_->card = card_;
        fdo_context_->card_number = 2;
        card_->fdo = fdo_context_;
        make_partition(&part_, 0x40, 0, sectors() / 2);
    }
    void TearDown() override {
        for (vsu* p : {&part_, &big_}) {
            if (p->device != nullptr) {
                bdev_hide_disk(p->device, 1);
                bdev_free(&p->device);
            }
        }
        if (wdm_ != nullptr) sim::kmdf::unload(wdm_);
        if (card_ != nullptr) card_->fdo = nullptr;
        DataDeviceTest::TearDown();
    }

    void make_partition(vsu* p, UCHAR seed, ULONG64 base, ULONG64 length) {
        std::snprintf(p->name, sizeof p->name, "pav0vp%u", (unsigned)(seed & 7));
        p->index = seed & 7;
        p->state = VSU_ONLINE;
        p->sector_size = 512;
        p->logical_base = base;
        p->length = length;
        p->phys_max = ~0ull;
        for (int i = 0; i < 16; i++) p->identity[i] = (UCHAR)(seed + i);
        p->card_device = device_;
        ASSERT_EQ(partition_bdev_create(p), 0);
    }
    std::string uuid(const vsu& p) {
        char text[PAV_UUID_TEXT_SIZE];
        pav_uuid_unparse(p.identity, text);
        return text;
    }
    // Exposes the partition; its disk device (NULL when none was made).
    WDFDEVICE expose(vsu* p) {
        EXPECT_EQ(bdev_expose_disk(p->device), 0);
        return disk_of(*p);
    }
    WDFDEVICE disk_of(const vsu& p) {
        for (WDFDEVICE d : sim::kmdf::child_devices(fdo_)) {
            if (sim::kmdf::pdo_record_of(d).instance_id == wide(uuid(p))) return d;
        }
        return nullptr;
    }

    // One SRB of `function` with `cdb`, data at `data` (inside `mdl`) of `length` bytes.
    srb_result send(WDFDEVICE disk, UCHAR function, const std::vector<UCHAR>& cdb, void* data, ULONG length,
                    PMDL mdl) {
        SCSI_REQUEST_BLOCK srb{};
        srb.Length = sizeof srb;
        srb.Function = function;
        srb.CdbLength = (UCHAR)cdb.size();
        if (!cdb.empty()) std::memcpy(srb.Cdb, cdb.data(), cdb.size());
        srb.DataBuffer = data;
        srb.DataTransferLength = length;
        srb_result r{};
        r.status = sim::kmdf::internal_device_control(disk, 0, &srb, mdl, &r.information);
        r.srb_status = srb.SrbStatus;
        r.transfer = srb.DataTransferLength;
        return r;
    }
    srb_result rw(WDFDEVICE disk, UCHAR code, ULONG64 lba, void* data, ULONG length, PMDL mdl) {
        return send(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb_rw(code, lba), data, length, mdl);
    }
    NTSTATUS ioctl(WDFDEVICE disk, ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length,
                   ULONG_PTR* information) {
        return sim::kmdf::kernel_device_control(disk, code, in, in_length, out, out_length, information);
    }
    // The data device's sectors, read in pieces a bio holds.
    std::vector<UCHAR> media(ULONG64 start, ULONG64 count) {
        std::vector<UCHAR> all;
        for (ULONG64 at = 0; at < count; at += 512) {
            std::vector<UCHAR> out;
            EXPECT_EQ(read(start + at, std::min<ULONG64>(512, count - at), &out), 0);
            all.insert(all.end(), out.begin(), out.end());
        }
        return all;
    }

    pipeline_device* card_ = nullptr;
    PDRIVER_OBJECT wdm_ = nullptr;
    WDFDEVICE fdo_ = nullptr;
    FDO_CONTEXT* fdo_context_ = nullptr;
    vsu part_{};
    vsu big_{};
};

TEST_F(DiskTest, AnExposedPartitionBecomesADiskOfTheCard) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    auto r = sim::kmdf::pdo_record_of(disk);
    EXPECT_EQ(r.device_type, FILE_DEVICE_MASS_STORAGE);
    EXPECT_EQ(r.device_id, u"PCIE\\DiskTavrinIO_Velkor_0GB_____0001");
    EXPECT_EQ(r.hardware_ids, std::vector<std::u16string>{r.device_id});
    EXPECT_EQ(r.compatible_ids, std::vector<std::u16string>{u"GenDisk"});
    EXPECT_EQ(r.instance_id, wide(uuid(part_)));
    ASSERT_EQ(r.texts.size(), 1u);
    EXPECT_EQ(r.texts[0].locale, 0x409u);
    EXPECT_EQ(r.default_locale, 0x409u);
    EXPECT_EQ(r.texts[0].description, u"Velkor ION Drive");
    EXPECT_EQ(r.texts[0].location, wide("PCI bus 3, SN " + uuid(part_)));
    ASSERT_TRUE(r.has_pnp_caps);
    EXPECT_EQ(r.pnp_caps.Removable, WdfFalse);
    EXPECT_EQ(r.pnp_caps.EjectSupported, WdfFalse);
    EXPECT_EQ(r.pnp_caps.UniqueID, WdfTrue);
    EXPECT_EQ(r.pnp_caps.SurpriseRemovalOK, WdfFalse);
    EXPECT_EQ(r.pnp_caps.Address, 5u << 16 | 1u);
    EXPECT_EQ(r.interfaces, std::vector<std::u16string>{u"pav0vp0"});
    EXPECT_TRUE(has_line("Creating block device external sector size: 512...\n"));
    std::u16string serial;
    ASSERT_TRUE(sim::kmdf::device_key_string(fdo_, u"serial_number", &serial));
    EXPECT_EQ(serial, u"SN0042");
    EXPECT_EQ(bdev_expose_disk(part_.device), 0);  // exposed already: nothing new
    EXPECT_EQ(sim::kmdf::child_devices(fdo_).size(), 1u);
}

TEST_F(DiskTest, IdsAndTextsFollowTheCapacityAndTheCard) {
    // 1205 GB: the id names 1200 GB.
    make_partition(&big_, 0x80, sectors() / 2, 1205000000000ull / 512);
    card_->board_kind = 2;
    card_->port_number = 1;
    card_->slot = 7;
    WDFDEVICE disk = expose(&big_);
    ASSERT_NE(disk, nullptr);
    auto r = sim::kmdf::pdo_record_of(disk);
    EXPECT_EQ(r.device_id, u"PCIE\\DiskTavrinIO_Velkor_1200GB__0001");
    EXPECT_EQ(r.texts[0].description, u"Velkor ION Drive, Port 1, Velkor 1200GB");
    EXPECT_EQ(r.texts[0].location, wide("PCI bus 3, PCI slot 7, SN " + uuid(big_)));

    // A product name of blanks: "Velkor", with the warning.
    std::memset(card_->product_name, ' ', 20);
    card_->product_name[20] = 0;
    card_->board_kind = 1;
    clear_debug_lines();
    disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(sim::kmdf::pdo_record_of(disk).texts[0].description, u"Velkor");
    EXPECT_TRUE(has_line("WARNING: product name is empty, using default \"Velkor\"\n"));
}

TEST_F(DiskTest, HideKeepsOrRemovesTheDiskAndExposeFindsItAgain) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    std::vector<UCHAR> data(512, 0x5A);
    locked_buffer lock(data.data(), 512);
    EXPECT_EQ(rw(disk, 0x2A, 9, data.data(), 512, lock.mdl).status, STATUS_SUCCESS);

    // Hidden, the disk stays with its queue stopped; exposed again, the same disk serves.
    ASSERT_EQ(bdev_hide_disk(part_.device, 0), 0);
    EXPECT_EQ(sim::kmdf::child_devices(fdo_), std::vector<WDFDEVICE>{disk});
    EXPECT_EQ(part_.device->disk, nullptr);
    ASSERT_EQ(bdev_expose_disk(part_.device), 0);
    EXPECT_EQ(sim::kmdf::child_devices(fdo_), std::vector<WDFDEVICE>{disk});
    std::vector<UCHAR> back(512, 0);
    locked_buffer lock_back(back.data(), 512);
    EXPECT_EQ(rw(disk, 0x28, 9, back.data(), 512, lock_back.mdl).status, STATUS_SUCCESS);
    EXPECT_EQ(back, data);

    // Removed: the disk and its description go, and nothing of it is left.
    ASSERT_EQ(bdev_hide_disk(part_.device, 1), 0);
    EXPECT_TRUE(sim::kmdf::child_devices(fdo_).empty());
    EXPECT_EQ(sim::kmdf::child_descriptions(fdo_), 0u);
    // A block device that is not exposed has nothing to hide.
    EXPECT_EQ(PavDiskHide(part_.device, 1), -KPAV_ENOENT);
    // Exposed once more, a new disk.
    WDFDEVICE again = expose(&part_);
    EXPECT_NE(again, nullptr);
}

TEST_F(DiskTest, AFailedSerialNumberWriteKeepsTheDisk) {
    sim::kmdf::fail_device_key_open(fdo_, true);
    WDFDEVICE disk = expose(&part_);
    EXPECT_NE(disk, nullptr);
    EXPECT_TRUE(has_line("dov2 failed to open device registry key: 0xc0000034\n"));
    EXPECT_TRUE(has_line("dov2: WriteDeviceSerialNumber failed with status 0xC0000034.\n"));
    sim::kmdf::fail_device_key_open(fdo_, false);
}

TEST_F(DiskTest, ACardWithoutItsRecordMakesNoDisk) {
    fdo_context_->card = nullptr;
    EXPECT_EQ(bdev_expose_disk(part_.device), 0);
    EXPECT_TRUE(sim::kmdf::child_devices(fdo_).empty());
    EXPECT_EQ(sim::kmdf::child_descriptions(fdo_), 0u);
    fdo_context_->card = card_;
    // A device of a card that has no framework device cannot be exposed.
    card_->fdo = nullptr;
    EXPECT_EQ(PavDiskExpose(part_.device), -KPAV_EINVAL);
    card_->fdo = fdo_context_;
}

// ---- Requests

TEST_F(DiskTest, ReadsAndWritesReachTheMediaWhateverTheBufferAlignment) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    for (ULONG shift : {0u, 1u, 4u}) {
        SCOPED_TRACE(shift);
        ULONG64 lba = 100 + shift * 16;
        std::vector<UCHAR> pattern_bytes = pattern(lba, 8, (UCHAR)shift);
        std::vector<UCHAR> buffer(4096 + 16, 0);
        UCHAR* at = buffer.data() + (8 - ((ULONG_PTR)buffer.data() & 7)) % 8 + shift;
        std::memcpy(at, pattern_bytes.data(), 4096);
        locked_buffer lock(at, 4096);
        auto w = rw(disk, shift == 0 ? 0x2A : shift == 1 ? 0x8A : 0xAA, lba, at, 4096, lock.mdl);
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.srb_status, SRB_STATUS_SUCCESS);
        EXPECT_EQ(w.information, 4096u);
        EXPECT_EQ(media(lba, 8), pattern_bytes);
        std::memset(at, 0, 4096);
        auto r = rw(disk, shift == 0 ? 0x28 : shift == 1 ? 0x88 : 0xA8, lba, at, 4096, lock.mdl);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(std::vector<UCHAR>(at, at + 4096), pattern_bytes);
    }
    EXPECT_EQ(sim::kernel::pool_outstanding("roi4").allocations, 0u);  // bounce buffers freed
}

TEST_F(DiskTest, PiecesOfOneTransferShareItsMdl) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    // 1 MiB in the 128 KiB pieces the disk class cuts it into, each SRB pointing into the same MDL.
    const ULONG whole = 1 << 20;
    const ULONG piece = PAV_DISK_MAX_TRANSFER;
    std::vector<UCHAR> data = pattern(2048, whole / 512, 9);
    locked_buffer lock(data.data(), whole);
    for (ULONG off = 0; off < whole; off += piece) {
        ASSERT_EQ(rw(disk, 0x2A, 2048 + off / 512, data.data() + off, piece, lock.mdl).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(media(2048, whole / 512), pattern(2048, whole / 512, 9));
    std::vector<UCHAR> back(whole, 0);
    locked_buffer lock_back(back.data(), whole);
    for (ULONG off = 0; off < whole; off += piece) {
        ASSERT_EQ(rw(disk, 0x28, 2048 + off / 512, back.data() + off, piece, lock_back.mdl).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(back, data);
}

TEST_F(DiskTest, RefusedTransfersWriteNothing) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    const ULONG64 last = part_.length - 1;
    std::vector<UCHAR> data(1024, 0x77);
    locked_buffer lock(data.data(), 1024);
    EXPECT_EQ(rw(disk, 0x2A, last, data.data(), 512, lock.mdl).status, STATUS_SUCCESS);
    EXPECT_EQ(rw(disk, 0x28, last, data.data(), 512, lock.mdl).status, STATUS_SUCCESS);
    struct row {
        const char* what;
        UCHAR code;
        ULONG64 lba;
        ULONG length;
        NTSTATUS status;
        UCHAR srb_status;
    } rows[] = {
        {"after the last sector", 0x28, last + 1, 512, STATUS_INVALID_BLOCK_LENGTH, 0x15},
        {"over the end", 0x2A, last, 1024, STATUS_INVALID_BLOCK_LENGTH, 0x15},
        {"at lba 2^52", 0x8A, 1ull << 52, 512, STATUS_INVALID_BLOCK_LENGTH, 0x15},
        {"part of a sector", 0x2A, 0, 100, STATUS_INVALID_BLOCK_LENGTH, 0x15},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto got = rw(disk, r.code, r.lba, data.data(), r.length, lock.mdl);
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(got.srb_status, r.srb_status);
        EXPECT_EQ(got.transfer, 0u);
        EXPECT_EQ(got.information, 0u);
    }
    // Data outside the request's MDL is refused, not read from or written to.
    auto outside = rw(disk, 0x2A, 0, data.data() + 512, 1024, lock.mdl);
    EXPECT_EQ(outside.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rw(disk, 0x2A, 0, data.data(), 512, nullptr).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(media(0, 1), std::vector<UCHAR>(512, 0));
    // The partition's last sector is the data device's sector below it; the one after is untouched.
    EXPECT_EQ(media(last + 1, 1), std::vector<UCHAR>(512, 0));
}

TEST_F(DiskTest, CommandsWithoutMediaAndTheOtherFunctions) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    std::vector<UCHAR> data(16, 0xEE);
    auto c10 = send(disk, SRB_FUNCTION_EXECUTE_SCSI, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data.data(), 8, nullptr);
    EXPECT_EQ(c10.status, STATUS_SUCCESS);
    EXPECT_EQ(c10.information, 8u);
    ULONG64 last = part_.length - 1;
    EXPECT_EQ(std::vector<UCHAR>(data.begin(), data.begin() + 8),
              (std::vector<UCHAR>{(UCHAR)(last >> 24), (UCHAR)(last >> 16), (UCHAR)(last >> 8), (UCHAR)last, 0, 0, 2,
                                  0}));
    auto sync = send(disk, SRB_FUNCTION_EXECUTE_SCSI, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr, 0, nullptr);
    EXPECT_EQ(sync.status, STATUS_SUCCESS);
    EXPECT_EQ(sync.srb_status, SRB_STATUS_SUCCESS);
    for (UCHAR function : {SRB_FUNCTION_FLUSH, SRB_FUNCTION_SHUTDOWN, SRB_FUNCTION_RELEASE_DEVICE}) {
        EXPECT_EQ(send(disk, function, {}, nullptr, 0, nullptr).status, STATUS_SUCCESS) << (int)function;
    }
    PDEVICE_OBJECT claimed = nullptr;
    auto claim = send(disk, SRB_FUNCTION_CLAIM_DEVICE, {}, &claimed, sizeof claimed, nullptr);
    EXPECT_EQ(claim.status, STATUS_SUCCESS);
    EXPECT_EQ(claim.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(claimed, WdfDeviceWdmGetDeviceObject(disk));
    auto other = send(disk, 0x20, {}, nullptr, 0, nullptr);
    EXPECT_EQ(other.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(other.srb_status, SRB_STATUS_INVALID_REQUEST);
    ULONG_PTR information = 0;
    EXPECT_EQ(sim::kmdf::internal_device_control(disk, 0, nullptr, nullptr, &information), STATUS_INVALID_PARAMETER);
}

TEST_F(DiskTest, StorageAndDiskRequests) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    ULONG_PTR information = 0;
    SCSI_ADDRESS address{};
    EXPECT_EQ(ioctl(disk, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(address.Length, 8u);
    EXPECT_EQ(address.PortNumber, 0);
    EXPECT_EQ(address.PathId, (UCHAR)win_scsi_bus_id);
    EXPECT_EQ(address.TargetId, 2);
    EXPECT_EQ(address.Lun, (UCHAR)part_.device->devnum);
    EXPECT_EQ(ioctl(disk, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, nullptr, 0, &information), STATUS_INVALID_PARAMETER);

    DISK_GEOMETRY g{};
    EXPECT_EQ(ioctl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 24u);
    EXPECT_EQ(g.BytesPerSector, 512u);
    EXPECT_EQ(g.TracksPerCylinder, 32u);  // 256 MiB
    EXPECT_EQ(ioctl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, 23, &information), STATUS_BUFFER_TOO_SMALL);

    // The device descriptor through the buffered method: one buffer in and out.
    STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
    std::vector<UCHAR> out(296, 0xEE);
    EXPECT_EQ(ioctl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), 296, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 296u);
    EXPECT_EQ(std::string((const char*)out.data() + 168), uuid(part_) + " ");
    EXPECT_EQ(std::string((const char*)out.data() + 232), "3.2.7  rev 1234 Public");
    EXPECT_EQ(ioctl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), 100, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 8u);

    SRB_IO_CONTROL control{};
    control.HeaderLength = sizeof control;
    EXPECT_EQ(ioctl(disk, IOCTL_SCSI_MINIPORT, &control, sizeof control, &control, sizeof control, &information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(control.ReturnCode, 6u);
    EXPECT_EQ(ioctl(disk, IOCTL_SCSI_MINIPORT, nullptr, 0, nullptr, 0, &information), STATUS_INVALID_PARAMETER);
    const std::pair<ULONG, NTSTATUS> plain[] = {
        {0x49400, STATUS_SUCCESS},         {0x66001B, STATUS_SUCCESS},          {0x66801B, STATUS_SUCCESS},
        {0x4D0014, STATUS_NOT_SUPPORTED},  {0x2D0C04, STATUS_NOT_SUPPORTED},    {0x560030, STATUS_UNSUCCESSFUL},
        {0x4D004, STATUS_INVALID_DEVICE_REQUEST}, {0x4D02C, STATUS_INVALID_DEVICE_REQUEST},
        {0x2D1880, STATUS_INVALID_DEVICE_REQUEST}, {0x2D5000, STATUS_INVALID_DEVICE_REQUEST},
        {0x564052, STATUS_INVALID_DEVICE_REQUEST}, {0x12345678, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& p : plain) {
        EXPECT_EQ(ioctl(disk, p.first, nullptr, 0, nullptr, 0, &information), p.second) << std::hex << p.first;
    }
}

TEST_F(DiskTest, TrimDiscardsWholeSectorsAndKeepsTheirNeighbours) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(write(300, pattern(300, 8, 3)), 0);
    // Bytes 300*512+100 to 305*512+50: sectors 301 to 304 go, 300 and 305 keep every byte.
    struct {
        DEVICE_MANAGE_DATA_SET_ATTRIBUTES header;
        UCHAR pad[4];
        DEVICE_DATA_SET_RANGE range;
    } record{};
    record.header.Size = sizeof record.header;
    record.header.Action = DeviceDsmAction_Trim;
    record.header.DataSetRangesOffset = offsetof(decltype(record), range);
    record.header.DataSetRangesLength = sizeof record.range;
    record.range.StartingOffset = 300 * 512 + 100;
    record.range.LengthInBytes = 5 * 512 - 50;
    ULONG_PTR information = 0;
    // A record cut before its range: nothing is discarded.
    EXPECT_EQ(ioctl(disk, IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, &record, sizeof record - 8, nullptr, 0,
                    &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(media(300, 8), pattern(300, 8, 3));
    EXPECT_EQ(ioctl(disk, IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, &record, sizeof record, nullptr, 0, &information),
              STATUS_SUCCESS);
    std::vector<UCHAR> expected = pattern(300, 8, 3);
    std::fill(expected.begin() + 512, expected.begin() + 5 * 512, 0);
    // The last (here the only) piece of a trim is not waited for: the request answers before it ends.
    EXPECT_TRUE(eventually([&] { return media(300, 8) == expected; }));
    EXPECT_EQ(ioctl(disk, IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, nullptr, 0, nullptr, 0, &information),
              STATUS_INVALID_PARAMETER);
}

TEST_F(DiskTest, ABounceThatCannotMapTheCallersBufferFailsTheRequestOnce) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    std::vector<UCHAR> buffer(1024 + 8, 0x31);
    UCHAR* odd = buffer.data() + (8 - ((ULONG_PTR)buffer.data() & 7)) % 8 + 3;
    locked_buffer lock(odd, 512);
    clear_debug_lines();
    fail_always(fault_site::mdl_mapping);
    for (int i = 0; i < 2; i++) {
        auto w = rw(disk, 0x2A, 40, odd, 512, lock.mdl);
        EXPECT_EQ(w.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(w.srb_status, SRB_STATUS_INVALID_REQUEST);
        EXPECT_EQ(w.information, 0u);
    }
    clear_faults();
    size_t logged = 0;
    for (const auto& line : debug_texts()) {
        logged += line.find("06160 dov2-" + uuid(part_) +
                            ": MmGetSystemAddressForMdlSafe failed. IOs failing due to lack of system resources.") !=
                  std::string::npos;
    }
    EXPECT_EQ(logged, 1u);  // once in the driver's life
    EXPECT_EQ(media(40, 1), std::vector<UCHAR>(512, 0));
    EXPECT_EQ(pool_outstanding("roi4").allocations, 0u);
    // Mapped again, the same write goes through.
    EXPECT_EQ(rw(disk, 0x2A, 40, odd, 512, lock.mdl).status, STATUS_SUCCESS);
    EXPECT_EQ(media(40, 1), std::vector<UCHAR>(512, 0x31));
}

TEST_F(DiskTest, HideWaitsForRequestsInFlightAndRequestsSentMeanwhileRunAfterExpose) {
    WDFDEVICE disk = expose(&part_);
    ASSERT_NE(disk, nullptr);
    const int writes = 40;
    std::vector<UCHAR> data = pattern(0, 64 * writes, 5);
    locked_buffer lock(data.data(), (ULONG)data.size());
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    {
        bounded_thread writer("disk writer", [&] {
            for (int i = 0; i < writes; i++) {
                auto w = rw(disk, 0x2A, (ULONG64)i * 64, data.data() + (size_t)i * 64 * 512, 64 * 512, lock.mdl);
                failed += w.status != STATUS_SUCCESS;
                done++;
            }
        });
        ASSERT_TRUE(eventually([&] { return done.load() >= 5; }));
        ASSERT_EQ(bdev_hide_disk(part_.device, 0), 0);
        int at_hide = done.load();
        EXPECT_LT(at_hide, writes);
        ASSERT_EQ(bdev_expose_disk(part_.device), 0);
    }
    EXPECT_EQ(done.load(), writes);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(media(0, 64 * writes), data);
}
