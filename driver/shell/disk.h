// The card's child disks: each block device the core exposes (a partition of an attached card)
// is a disk device in the card's default child list, keyed by the partition's UUID, which the
// Windows disk stack drives with SCSI request blocks and storage device-control requests.
//
// disk.cpp is the Windows disk entry of the block interface table (name, expose, hide), the
// child list's descriptions and the creation of the disk devices; scsi.cpp answers the disks'
// requests (reads and writes become bios on the block device); scsi_decode.cpp holds the
// decoders of what a request brings in (the command block, the property query, the trim
// ranges), which trust nothing in it.
#pragma once

#include "driver/block/block_interface.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"
#include "driver/platform/uuid.h"
#include "driver/shell/shell.h"

struct bdev;
struct bio;
struct sgl;

constexpr ULONG PAV_DISK_DESCRIPTION_SIZE = 56;

// The identification description of a child disk, as the child list keeps it (byte compare).
struct PAV_DISK_IDENTIFICATION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;  // size 56
    char uuid[PAV_UUID_TEXT_SIZE];                       // the partition's UUID as text
    UCHAR reserved41[7];
    WDFOBJECT vsu_object;  // the disk's VSU_CONTEXT object; each copy holds a reference
};
static_assert(sizeof(PAV_DISK_IDENTIFICATION) == PAV_DISK_DESCRIPTION_SIZE);
static_assert(offsetof(PAV_DISK_IDENTIFICATION, uuid) == 4 && offsetof(PAV_DISK_IDENTIFICATION, vsu_object) == 48);

// One per exposed block device: what links the block device and its disk device.
struct VSU_CONTEXT {
    FDO_CONTEXT* fdo;
    bdev* device;
    UCHAR exposed;   // the disk device exists and its queue runs
    WDFDEVICE pdo;
    KEVENT created;  // signalled when the disk device has been created
    ULONG disk_number;
    PAV_DISK_IDENTIFICATION identification;  // with this object's own handle
    // At most one of create, expose and hide works on the disk at a time.
    kpav_spinlock lock;
    kpav_cv waiters;
    UCHAR busy;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VSU_CONTEXT, PavGetVsuContext);

// What the disk requests need of the disk and its block device.
struct pav_disk_geometry {
    ULONG internal_sector_size;
    ULONG external_sector_size;  // the larger of the card's block size and the internal size
    ULONG64 internal_count;
    ULONG64 external_count;      // internal count / sectors per external sector
    ULONG sectors_per_external;
    ULONG64 capacity_bytes;      // external size x external count
};

// The device context of a disk device.
struct PDO_CONTEXT {
    WDFDEVICE device;
    WDFDEVICE card_device;
    WDFQUEUE queue;
    VSU_CONTEXT* vsu;
    ULONG alignment_mask;  // 7: buffers aligned to 8 bytes need no bounce buffer
    pav_disk_geometry geometry;
    ULONG capacity_gb;     // bytes / 10^9, down to a multiple of 10
    // PCI device number, card number, disk number, 0: reported as path, target, LUN and port.
    UCHAR address[4];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PDO_CONTEXT, PavGetPdoContext);

// ---- Block interface entry (disk.cpp)

// The disk front end's operations: the entry the shell hands to kpav_bio_init.
extern const kpav_block_ops pav_disk_block_ops;
int PavDiskAssignName(bdev* device);
// Adds (or reports again) the disk of the block device as present in its card's child list:
// 0, -KPAV_EINVAL without a card or child list, -KPAV_ENOMEM. PASSIVE_LEVEL.
int PavDiskExpose(bdev* device);
// Stops the disk's queue once its requests are done; with flag bit 0 the disk goes: 0, or
// -KPAV_ENOENT when the block device was never exposed. PASSIVE_LEVEL.
int PavDiskHide(bdev* device, ULONG flags);

// ---- Child list callbacks and the disk device (disk.cpp)

// Sets up the card's default child list for its disks (device add).
void PavDiskConfigureChildList(PWDFDEVICE_INIT device_init);
NTSTATUS PdoEvtChildListCreateDevice(WDFCHILDLIST child_list,
                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                     PWDFDEVICE_INIT child_init);
NTSTATUS PdoIdentificationDuplicate(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
                                    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination);
void PdoIdentificationCleanup(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description);
NTSTATUS PdoEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state);
NTSTATUS PdoEvtSelfManagedIoSuspend(WDFDEVICE device);
NTSTATUS PdoEvtSelfManagedIoRestart(WDFDEVICE device);
void PdoEvtSelfManagedIoFlush(WDFDEVICE device);
NTSTATUS WriteDeviceSerialNumber(FDO_CONTEXT* fdo);
// The disk geometry of a block device under a card of `block_size` (0: none).
void PavDiskGeometry(const bdev* device, ULONG block_size, pav_disk_geometry* out);

// {F5E2C8CB-A2F4-4529-8124-66A0A1CB0BD5}: the disk's device interface.
inline constexpr GUID GUID_PAV_DISK_INTERFACE = {
    0xF5E2C8CB, 0xA2F4, 0x4529, {0x81, 0x24, 0x66, 0xA0, 0xA1, 0xCB, 0x0B, 0xD5}};

// ---- Disk requests (scsi.cpp)

// Driver start: what the disk requests keep for the driver's life starts afresh (the mapping
// failure is logged once per life).
void PavDiskRequestsInit();

void PdoEvtIoInternalDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t output_length, size_t input_length,
                                   ULONG code);
void PdoEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t output_length, size_t input_length,
                           ULONG code);
NTSTATUS ScsiExecuteCdb(PDO_CONTEXT* disk, WDFREQUEST request, PSCSI_REQUEST_BLOCK srb, ULONG* returned);
void PdoBioComplete(bio* first, ULONG64 bytes, int error);
// Fills the bio's scatter-gather list with the request's data (the bio's context): 0 or -1.
int PdoMapRequestBuffer(sgl* list, bio* b);
NTSTATUS PdoFlush(PDO_CONTEXT* disk);
// Discards [start, start + count) in chunks of at most PAV_DISCARD_CHUNK sectors, each but the
// last waited for: the last submission's result, or the first failure.
constexpr ULONG64 PAV_DISCARD_CHUNK = 0x4000000;
int PdoDiscardRange(bdev* device, ULONG64 start, ULONG64 count);
// The disk path's translation of a bio's result: its status and the SRB status it gives.
NTSTATUS PavDiskErrnoToStatus(int error, UCHAR* srb_status);
// The SRB status of a request's final status.
UCHAR PavSrbStatusOf(NTSTATUS status);

// ---- Decoders of what a disk request brings in (scsi_decode.cpp)

// What a command block asks for.
enum pav_scsi_action : ULONG {
    PAV_SCSI_ANSWERED = 0,  // answered in place (status and bytes returned set)
    PAV_SCSI_READ = 1,
    PAV_SCSI_WRITE = 2,
    PAV_SCSI_FLUSH = 3,     // a cache synchronisation
};
struct pav_scsi_command {
    pav_scsi_action action;
    NTSTATUS status;   // of an answered command; STATUS_SUCCESS for the others
    ULONG returned;    // bytes written into the SRB's data buffer
    ULONG64 lba;       // of a read or write, in external sectors
    ULONG length;      // bytes of a read or write (the SRB's transfer length)
};
// The largest transfer a disk request may carry (advertised in the adapter descriptor).
constexpr ULONG PAV_DISK_MAX_TRANSFER = 0x20000;
// Decodes the SRB's command block against the disk's geometry and answers the commands that
// need no media (into the SRB's data buffer, never past its transfer length). A command block
// whose length does not hold its command, or a transfer outside the disk, is refused.
void ScsiDecodeCdb(const pav_disk_geometry* geometry, const SCSI_REQUEST_BLOCK* srb, pav_scsi_command* out);

// What the property query's answer needs of the disk and its card.
struct pav_disk_identity {
    ULONG capacity_gb;
    ULONG external_sector_size;
    const char* uuid;           // the disk's UUID text
    const char* card_serial;    // the card's serial number text
    ULONG fw_version;           // version word: major bits 20-29, minor 10-19, micro 0-9
    ULONG fw_revision;
    BOOLEAN write_aggregation;
};
// Answers IOCTL_STORAGE_QUERY_PROPERTY from `input` into `output` (they may be one buffer: the
// query is read first). Sets *information to the bytes returned.
NTSTATUS PavQueryProperty(const pav_disk_identity* identity, const void* input, size_t input_length, void* output,
                          size_t output_length, ULONG_PTR* information);
// The geometry answer for a disk of `capacity` bytes with sectors of `sector_size` bytes.
void PavFillGeometry(ULONG64 capacity, ULONG sector_size, DISK_GEOMETRY* out);

// One whole-sector range to discard, in internal sectors.
using pav_trim_fn = int (*)(void* context, ULONG64 start, ULONG64 count);
// Walks the data-set management record of `length` bytes: STATUS_INVALID_PARAMETER when its
// header or any range lies outside it (nothing is discarded then); otherwise, for a trim, each
// range's whole sectors inside the device (or the whole device for the entire-range flag) go to
// `trim`. STATUS_SUCCESS for every other action.
NTSTATUS PavParseTrim(const void* input, size_t length, ULONG sector_size, ULONG64 sector_count, pav_trim_fn trim,
                      void* context);
