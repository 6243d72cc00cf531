// The storage stack's definitions as a disk driver sees them: the SCSI request block and its
// command block, the storage and disk device-control codes, and the records those requests
// carry (property queries and their descriptors, the disk geometry, the SCSI address, the
// miniport control header, the data-set management record and its ranges). Layouts are the
// 64-bit ones; every record that crosses the boundary is checked for its size and offsets.
#pragma once

#include <cstddef>

#include "sim/kernel/types.h"

// ---- SCSI request blocks

#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08

#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH 0x15

struct SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    union {
        ULONG InternalStatus;
        ULONG QueueSortKey;
        ULONG LinkTimeOutValue;
    };
    ULONG Reserved;
    UCHAR Cdb[16];
};
using PSCSI_REQUEST_BLOCK = SCSI_REQUEST_BLOCK*;
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 88);
static_assert(offsetof(SCSI_REQUEST_BLOCK, Function) == 2 && offsetof(SCSI_REQUEST_BLOCK, SrbStatus) == 3);
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10 && offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12);
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16 && offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24);
static_assert(offsetof(SCSI_REQUEST_BLOCK, OriginalRequest) == 48 && offsetof(SCSI_REQUEST_BLOCK, Cdb) == 72);

// Operation codes (byte 0 of the command block).
#define SCSIOP_TEST_UNIT_READY 0x00
#define SCSIOP_INQUIRY 0x12
#define SCSIOP_MODE_SENSE 0x1A
#define SCSIOP_READ_CAPACITY 0x25
#define SCSIOP_READ 0x28
#define SCSIOP_WRITE 0x2A
#define SCSIOP_VERIFY 0x2F
#define SCSIOP_SYNCHRONIZE_CACHE 0x35
#define SCSIOP_READ16 0x88
#define SCSIOP_WRITE16 0x8A
#define SCSIOP_READ_CAPACITY16 0x9E
#define SCSIOP_READ12 0xA8
#define SCSIOP_WRITE12 0xAA

// ---- Device-control codes of disks

#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u
#define IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES 0x002D9404u
#define IOCTL_STORAGE_GET_MEDIA_TYPES 0x002D0C00u
#define IOCTL_STORAGE_GET_MEDIA_TYPES_EX 0x002D0C04u
#define IOCTL_STORAGE_GET_HOTPLUG_INFO 0x002D0C14u
#define IOCTL_SCSI_GET_ADDRESS 0x00041018u
#define IOCTL_SCSI_MINIPORT 0x0004D008u
#define IOCTL_SCSI_PASS_THROUGH 0x0004D004u
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014u
#define IOCTL_MOUNTDEV_LINK_DELETED 0x004D0014u
#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define IOCTL_DISK_GET_MEDIA_TYPES 0x00070C00u

// ---- Property queries

enum STORAGE_PROPERTY_ID : ULONG {
    StorageDeviceProperty = 0,
    StorageAdapterProperty = 1,
    StorageDeviceIdProperty = 2,
    StorageDeviceUniqueIdProperty = 3,
    StorageDeviceWriteCacheProperty = 4,
    StorageMiniportProperty = 5,
    StorageAccessAlignmentProperty = 6,
    StorageDeviceSeekPenaltyProperty = 7,
    StorageDeviceTrimProperty = 8,
    StorageDeviceWriteAggregationProperty = 9,
    StorageDeviceDeviceTelemetryProperty = 10,
    StorageDeviceLBProvisioningProperty = 11,
    StorageDevicePowerProperty = 12,
    StorageDeviceCopyOffloadProperty = 13,
    StorageDeviceResiliencyProperty = 14,
};

enum STORAGE_QUERY_TYPE : ULONG {
    PropertyStandardQuery = 0,
    PropertyExistsQuery = 1,
    PropertyMaskQuery = 2,
};

struct STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    UCHAR AdditionalParameters[1];
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12 && offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4);

// What every descriptor begins with.
struct STORAGE_DESCRIPTOR_HEADER {
    ULONG Version;
    ULONG Size;
};
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8);

enum STORAGE_BUS_TYPE : ULONG { BusTypeUnknown = 0 };

struct STORAGE_DEVICE_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    UCHAR DeviceType;
    UCHAR DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    ULONG VendorIdOffset;
    ULONG ProductIdOffset;
    ULONG ProductRevisionOffset;
    ULONG SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    ULONG RawPropertiesLength;
    UCHAR RawDeviceProperties[1];
};
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28 &&
              offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36);

struct STORAGE_ADAPTER_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG AlignmentMask;
    BOOLEAN AdapterUsesPio;
    BOOLEAN AdapterScansDown;
    BOOLEAN CommandQueueing;
    BOOLEAN AcceleratedTransfer;
    UCHAR BusType;
    USHORT BusMajorVersion;
    USHORT BusMinorVersion;
    UCHAR SrbType;
    UCHAR AddressType;
};
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32 && offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) == 24 &&
              offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == 16);

enum STORAGE_IDENTIFIER_CODE_SET : ULONG { StorageIdCodeSetBinary = 1, StorageIdCodeSetAscii = 2 };
enum STORAGE_IDENTIFIER_TYPE : ULONG { StorageIdTypeVendorSpecific = 0, StorageIdTypeVendorId = 1 };
enum STORAGE_ASSOCIATION_TYPE : ULONG { StorageIdAssocDevice = 0 };

struct STORAGE_IDENTIFIER {
    STORAGE_IDENTIFIER_CODE_SET CodeSet;
    STORAGE_IDENTIFIER_TYPE Type;
    USHORT IdentifierSize;
    USHORT NextOffset;
    STORAGE_ASSOCIATION_TYPE Association;
    UCHAR Identifier[1];
};
static_assert(sizeof(STORAGE_IDENTIFIER) == 20 && offsetof(STORAGE_IDENTIFIER, IdentifierSize) == 8 &&
              offsetof(STORAGE_IDENTIFIER, Identifier) == 16);

struct STORAGE_DEVICE_ID_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    ULONG NumberOfIdentifiers;
    UCHAR Identifiers[1];
};
static_assert(sizeof(STORAGE_DEVICE_ID_DESCRIPTOR) == 16 && offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers) == 12);

enum STORAGE_PORT_CODE_SET : ULONG { StoragePortCodeSetReserved = 0 };

struct STORAGE_MINIPORT_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    STORAGE_PORT_CODE_SET Portdriver;
    BOOLEAN LUNResetSupported;
    BOOLEAN TargetResetSupported;
};
static_assert(sizeof(STORAGE_MINIPORT_DESCRIPTOR) == 16 && offsetof(STORAGE_MINIPORT_DESCRIPTOR, LUNResetSupported) == 12);

struct STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    ULONG BytesPerCacheLine;
    ULONG BytesOffsetForCacheAlignment;
    ULONG BytesPerLogicalSector;
    ULONG BytesPerPhysicalSector;
    ULONG BytesOffsetForSectorAlignment;
};
static_assert(sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR) == 28);

// Seek penalty, trim and write aggregation: one flag each.
struct DEVICE_SEEK_PENALTY_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    BOOLEAN IncursSeekPenalty;
};
struct DEVICE_TRIM_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    BOOLEAN TrimEnabled;
};
struct DEVICE_WRITE_AGGREGATION_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    BOOLEAN BenefitsFromWriteAggregation;
};
static_assert(sizeof(DEVICE_SEEK_PENALTY_DESCRIPTOR) == 12 && sizeof(DEVICE_TRIM_DESCRIPTOR) == 12 &&
              sizeof(DEVICE_WRITE_AGGREGATION_DESCRIPTOR) == 12);

struct DEVICE_POWER_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    BOOLEAN DeviceAttentionSupported;
    BOOLEAN AsynchronousNotificationSupported;
    BOOLEAN IdlePowerManagementEnabled;
    BOOLEAN D3ColdEnabled;
    BOOLEAN D3ColdSupported;
    BOOLEAN NoVerifyDuringIdlePower;
    UCHAR Reserved[2];
    ULONG IdleTimeoutInMS;
};
static_assert(sizeof(DEVICE_POWER_DESCRIPTOR) == 20 && offsetof(DEVICE_POWER_DESCRIPTOR, D3ColdEnabled) == 11 &&
              offsetof(DEVICE_POWER_DESCRIPTOR, IdleTimeoutInMS) == 16);

struct STORAGE_DEVICE_RESILIENCY_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    ULONG NameOffset;
    ULONG NumberOfLogicalCopies;
    ULONG NumberOfPhysicalCopies;
    ULONG PhysicalDiskRedundancy;
    ULONG NumberOfColumns;
    ULONG Interleave;
};
static_assert(sizeof(STORAGE_DEVICE_RESILIENCY_DESCRIPTOR) == 32 &&
              offsetof(STORAGE_DEVICE_RESILIENCY_DESCRIPTOR, Interleave) == 28);

// ---- Geometry, address, miniport control

enum MEDIA_TYPE : ULONG { Unknown = 0, FixedMedia = 12 };

struct DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    ULONG TracksPerCylinder;
    ULONG SectorsPerTrack;
    ULONG BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24 && offsetof(DISK_GEOMETRY, MediaType) == 8 &&
              offsetof(DISK_GEOMETRY, BytesPerSector) == 20);

struct SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
};
static_assert(sizeof(SCSI_ADDRESS) == 8 && offsetof(SCSI_ADDRESS, Lun) == 7);

struct SRB_IO_CONTROL {
    ULONG HeaderLength;
    UCHAR Signature[8];
    ULONG Timeout;
    ULONG ControlCode;
    ULONG ReturnCode;
    ULONG Length;
};
static_assert(sizeof(SRB_IO_CONTROL) == 28 && offsetof(SRB_IO_CONTROL, ReturnCode) == 20);

// ---- Data-set management (trim)

#define DeviceDsmAction_Trim 1u
#define DEVICE_DSM_FLAG_ENTIRE_DATA_SET_RANGE 0x00000001u

struct DEVICE_MANAGE_DATA_SET_ATTRIBUTES {
    ULONG Size;
    ULONG Action;
    ULONG Flags;
    ULONG ParameterBlockOffset;
    ULONG ParameterBlockLength;
    ULONG DataSetRangesOffset;
    ULONG DataSetRangesLength;
};
static_assert(sizeof(DEVICE_MANAGE_DATA_SET_ATTRIBUTES) == 28 &&
              offsetof(DEVICE_MANAGE_DATA_SET_ATTRIBUTES, DataSetRangesOffset) == 20);

struct DEVICE_DATA_SET_RANGE {
    LONGLONG StartingOffset;
    ULONGLONG LengthInBytes;
};
static_assert(sizeof(DEVICE_DATA_SET_RANGE) == 16);

// ---- Statuses of the storage stack

#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3)
#define STATUS_INVALID_BLOCK_LENGTH ((NTSTATUS)0xC0000173)
#define STATUS_RETRY ((NTSTATUS)0xC000022D)
