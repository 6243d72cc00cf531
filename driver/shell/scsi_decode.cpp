// Decoders of what the disk stack sends a child disk: the command block of an SRB, the storage
// property query and the data-set management (trim) record. Everything in them comes from
// outside: lengths are checked before anything is read or written, and numbers before they are
// multiplied.
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/shell/disk.h"

namespace {

ULONG be32(const UCHAR* p) {
    return (ULONG)p[0] << 24 | (ULONG)p[1] << 16 | (ULONG)p[2] << 8 | p[3];
}

ULONG64 be64(const UCHAR* p) {
    return (ULONG64)be32(p) << 32 | be32(p + 4);
}

void put_be32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}

void put_be64(UCHAR* p, ULONG64 v) {
    put_be32(p, (ULONG)(v >> 32));
    put_be32(p + 4, (ULONG)v);
}

// The bytes a command block of this operation code holds (its group's length).
ULONG group_length(UCHAR code) {
    switch (code >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 0;  // reserved and vendor groups: no command of ours
    }
}

void answer(pav_scsi_command* out, NTSTATUS status, ULONG returned) {
    out->action = PAV_SCSI_ANSWERED;
    out->status = status;
    out->returned = returned;
}

// The data buffer of an answer of `size` bytes: NULL (with the answer set) when the SRB has no
// buffer of that size.
UCHAR* answer_buffer(const SCSI_REQUEST_BLOCK* srb, ULONG size, pav_scsi_command* out) {
    if (srb->DataBuffer == nullptr) {
        answer(out, STATUS_INVALID_PARAMETER, 0);
        return nullptr;
    }
    if (srb->DataTransferLength < size) {
        answer(out, STATUS_INVALID_BLOCK_LENGTH, 0);
        return nullptr;
    }
    return (UCHAR*)srb->DataBuffer;
}

void decode_transfer(const pav_disk_geometry* g, const SCSI_REQUEST_BLOCK* srb, pav_scsi_command* out) {
    const UCHAR* cdb = srb->Cdb;
    // The LBA's width follows the command (16-byte commands carry 64 bits), never the length the
    // SRB claims for its command block.
    ULONG64 lba = group_length(cdb[0]) == 16 ? be64(cdb + 2) : be32(cdb + 2);
    ULONG length = srb->DataTransferLength;
    ULONG size = g->external_sector_size;
    out->lba = lba;
    out->length = length;
    if (lba > g->external_count || (length != 0 && lba == g->external_count)) {
        answer(out, STATUS_INVALID_BLOCK_LENGTH, 0);
        return;
    }
    if (length == 0) {
        answer(out, STATUS_SUCCESS, 0);
        return;
    }
    if (size == 0 || length % size != 0 || length / size > g->external_count - lba) {
        answer(out, STATUS_INVALID_BLOCK_LENGTH, 0);
        return;
    }
    if (length > PAV_DISK_MAX_TRANSFER || srb->DataBuffer == nullptr) {
        answer(out, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    out->action = (cdb[0] & 0xF) == 8 ? PAV_SCSI_READ : PAV_SCSI_WRITE;
    out->status = STATUS_SUCCESS;
}

}  // namespace

void ScsiDecodeCdb(const pav_disk_geometry* geometry, const SCSI_REQUEST_BLOCK* srb, pav_scsi_command* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlZeroMemory(out, sizeof *out);
    const UCHAR* cdb = srb->Cdb;
    ULONG needed = group_length(cdb[0]);
    if (srb->CdbLength == 0 || srb->CdbLength > sizeof srb->Cdb || needed == 0 || srb->CdbLength < needed) {
        answer(out, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    switch (cdb[0]) {
        case SCSIOP_TEST_UNIT_READY:
        case SCSIOP_INQUIRY:
            answer(out, STATUS_SUCCESS, 0);
            return;
        case SCSIOP_MODE_SENSE: {
            UCHAR* data = answer_buffer(srb, 4, out);
            if (data != nullptr) {
                data[0] = 3;  // mode data length
                data[1] = 0;  // medium type
                data[2] = 0;  // device-specific: not write-protected
                data[3] = 0;  // no block descriptor
                answer(out, STATUS_SUCCESS, 4);
            }
            return;
        }
        case SCSIOP_READ_CAPACITY: {
            UCHAR* data = answer_buffer(srb, 8, out);
            if (data != nullptr) {
                ULONG64 last = geometry->external_count != 0 ? geometry->external_count - 1 : 0;
                put_be32(data, last > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)last);
                put_be32(data + 4, geometry->external_sector_size);
                answer(out, STATUS_SUCCESS, 8);
            }
            return;
        }
        case SCSIOP_READ_CAPACITY16: {
            UCHAR* data = answer_buffer(srb, 12, out);
            if (data != nullptr) {
                put_be64(data, geometry->external_count != 0 ? geometry->external_count - 1 : 0);
                put_be32(data + 8, geometry->external_sector_size);
                answer(out, STATUS_SUCCESS, 12);
            }
            return;
        }
        case SCSIOP_READ:
        case SCSIOP_READ12:
        case SCSIOP_READ16:
        case SCSIOP_WRITE:
        case SCSIOP_WRITE12:
        case SCSIOP_WRITE16:
            decode_transfer(geometry, srb, out);
            return;
        case SCSIOP_VERIFY: {
            ULONG64 lba = be32(cdb + 2);
            ULONG64 blocks = (ULONG64)cdb[7] << 8 | cdb[8];
            answer(out, lba + blocks > geometry->external_count ? STATUS_INVALID_BLOCK_LENGTH : STATUS_SUCCESS, 0);
            return;
        }
        case SCSIOP_SYNCHRONIZE_CACHE:
            out->action = PAV_SCSI_FLUSH;
            out->status = STATUS_SUCCESS;
            return;
        default:
            answer(out, STATUS_INVALID_DEVICE_REQUEST, 0);
            return;
    }
}

// ---- Property queries

namespace {

constexpr ULONG text_slot = 64;
constexpr ULONG device_descriptor_size = sizeof(STORAGE_DEVICE_DESCRIPTOR) + 4 * text_slot;  // 296
static_assert(device_descriptor_size == 296);
constexpr ULONG id_text_limit = 128;  // at most 127 characters

bool exists(ULONG id) {
    switch (id) {
        case StorageDeviceProperty:
        case StorageAdapterProperty:
        case StorageDeviceIdProperty:
        case StorageMiniportProperty:
        case StorageAccessAlignmentProperty:
        case StorageDeviceSeekPenaltyProperty:
        case StorageDeviceTrimProperty:
        case StorageDeviceWriteAggregationProperty:
        case StorageDeviceDeviceTelemetryProperty:
        case StorageDevicePowerProperty:
        case StorageDeviceResiliencyProperty:
            return true;
        default:
            return false;
    }
}

// Version and size of the descriptor for a property; 0 when the property is not served.
ULONG descriptor_size(ULONG id, const pav_disk_identity* identity, char* id_text, ULONG* version, ULONG* id_length) {
    switch (id) {
        case StorageDeviceProperty:
            *version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
            return device_descriptor_size;
        case StorageAdapterProperty:
            *version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
            return sizeof(STORAGE_ADAPTER_DESCRIPTOR);
        case StorageDeviceIdProperty: {
            int n = kpav_snprintf(id_text, id_text_limit, "%s {%s} ", identity->card_serial, identity->uuid);
            *id_length = n > 0 ? (ULONG)n : 0;
            *version = sizeof(STORAGE_DEVICE_ID_DESCRIPTOR);
            return sizeof(STORAGE_DEVICE_ID_DESCRIPTOR) + sizeof(STORAGE_IDENTIFIER) + *id_length;
        }
        case StorageMiniportProperty:
            *version = sizeof(STORAGE_MINIPORT_DESCRIPTOR);
            return sizeof(STORAGE_MINIPORT_DESCRIPTOR);
        case StorageAccessAlignmentProperty:
            *version = sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR);
            return sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR);
        case StorageDeviceSeekPenaltyProperty:
        case StorageDeviceTrimProperty:
        case StorageDeviceWriteAggregationProperty:
            *version = sizeof(DEVICE_TRIM_DESCRIPTOR);
            return sizeof(DEVICE_TRIM_DESCRIPTOR);
        case StorageDevicePowerProperty:
            *version = sizeof(DEVICE_POWER_DESCRIPTOR);
            return sizeof(DEVICE_POWER_DESCRIPTOR);
        case StorageDeviceResiliencyProperty:
            *version = sizeof(STORAGE_DEVICE_RESILIENCY_DESCRIPTOR);
            return sizeof(STORAGE_DEVICE_RESILIENCY_DESCRIPTOR);
        default:
            return 0;
    }
}

void fill_device(const pav_disk_identity* identity, UCHAR* out) {
    auto* d = (STORAGE_DEVICE_DESCRIPTOR*)out;
    d->DeviceType = 0;
    d->RemovableMedia = FALSE;
    d->CommandQueueing = FALSE;
    d->BusType = BusTypeUnknown;
    ULONG at = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    d->VendorIdOffset = at;
    d->ProductIdOffset = at + text_slot;
    d->SerialNumberOffset = at + 2 * text_slot;
    d->ProductRevisionOffset = at + 3 * text_slot;
    // Each text at most 63 characters and its NUL in its slot.
    kpav_snprintf((char*)out + d->VendorIdOffset, text_slot, "Tavrin ");
    kpav_snprintf((char*)out + d->ProductIdOffset, text_slot, "Ombrel3 %uGB ", identity->capacity_gb);
    kpav_snprintf((char*)out + d->SerialNumberOffset, text_slot, "%s ", identity->uuid);
    ULONG v = identity->fw_version;
    kpav_snprintf((char*)out + d->ProductRevisionOffset, text_slot, "%d.%d.%d  rev %d %s", (int)(v >> 20 & 0x3FF),
                  (int)(v >> 10 & 0x3FF), (int)(v & 0x3FF), (int)identity->fw_revision,
                  identity->fw_revision < 0x40000000 ? "Public" : "Internal");
}

void fill(ULONG id, const pav_disk_identity* identity, const char* id_text, ULONG id_length, UCHAR* out) {
    switch (id) {
        case StorageDeviceProperty:
            fill_device(identity, out);
            break;
        case StorageAdapterProperty: {
            auto* a = (STORAGE_ADAPTER_DESCRIPTOR*)out;
            a->MaximumTransferLength = PAV_DISK_MAX_TRANSFER;
            a->MaximumPhysicalPages = 256;
            a->AlignmentMask = 7;
            a->BusType = 0;
            break;
        }
        case StorageDeviceIdProperty: {
            auto* d = (STORAGE_DEVICE_ID_DESCRIPTOR*)out;
            d->NumberOfIdentifiers = 1;
            auto* i = (STORAGE_IDENTIFIER*)(out + offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers));
            i->CodeSet = StorageIdCodeSetAscii;
            i->Type = StorageIdTypeVendorId;
            i->Association = StorageIdAssocDevice;
            i->IdentifierSize = (USHORT)id_length;
            i->NextOffset = 0;
            RtlCopyMemory(i->Identifier, id_text, id_length);
            break;
        }
        case StorageMiniportProperty: {
            auto* m = (STORAGE_MINIPORT_DESCRIPTOR*)out;
            m->Portdriver = StoragePortCodeSetReserved;
            m->LUNResetSupported = FALSE;
            m->TargetResetSupported = TRUE;
            break;
        }
        case StorageAccessAlignmentProperty: {
            auto* a = (STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR*)out;
            a->BytesPerCacheLine = identity->external_sector_size;
            a->BytesPerLogicalSector = identity->external_sector_size;
            a->BytesPerPhysicalSector = identity->external_sector_size;
            break;
        }
        case StorageDeviceSeekPenaltyProperty:
            ((DEVICE_SEEK_PENALTY_DESCRIPTOR*)out)->IncursSeekPenalty = FALSE;
            break;
        case StorageDeviceTrimProperty:
            ((DEVICE_TRIM_DESCRIPTOR*)out)->TrimEnabled = TRUE;
            break;
        case StorageDeviceWriteAggregationProperty:
            ((DEVICE_WRITE_AGGREGATION_DESCRIPTOR*)out)->BenefitsFromWriteAggregation = identity->write_aggregation;
            break;
        case StorageDevicePowerProperty: {
            auto* p = (DEVICE_POWER_DESCRIPTOR*)out;
            p->D3ColdEnabled = TRUE;
            p->D3ColdSupported = TRUE;
            break;
        }
        case StorageDeviceResiliencyProperty: {
            auto* r = (STORAGE_DEVICE_RESILIENCY_DESCRIPTOR*)out;
            r->NameOffset = 0;
            r->NumberOfLogicalCopies = 1;
            r->NumberOfPhysicalCopies = 1;
            r->PhysicalDiskRedundancy = 0;
            r->NumberOfColumns = 1;
            r->Interleave = 4096;
            break;
        }
        default:
            break;
    }
}

}  // namespace

NTSTATUS PavQueryProperty(const pav_disk_identity* identity, const void* input, size_t input_length, void* output,
                          size_t output_length, ULONG_PTR* information) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *information = 0;
    // The property and query type are read before anything is written: the output may be the
    // same buffer.
    if (input == nullptr || input_length < 8) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG id;
    ULONG type;
    RtlCopyMemory(&id, input, sizeof id);
    RtlCopyMemory(&type, (const UCHAR*)input + 4, sizeof type);
    if (input_length >= sizeof(STORAGE_PROPERTY_QUERY) && type == PropertyExistsQuery && exists(id)) {
        return STATUS_SUCCESS;
    }
    if (type != PropertyStandardQuery) {
        return STATUS_NOT_SUPPORTED;
    }
    if (output == nullptr || output_length < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    char id_text[id_text_limit];
    ULONG id_length = 0;
    ULONG version = 0;
    ULONG size = descriptor_size(id, identity, id_text, &version, &id_length);
    if (size == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    RtlZeroMemory(output, output_length);
    auto* header = (STORAGE_DESCRIPTOR_HEADER*)output;
    header->Version = version;
    header->Size = size;
    if (output_length < size) {
        *information = sizeof(STORAGE_DESCRIPTOR_HEADER);
        return STATUS_SUCCESS;
    }
    fill(id, identity, id_text, id_length, (UCHAR*)output);
    *information = size;
    return STATUS_SUCCESS;
}

void PavFillGeometry(ULONG64 capacity, ULONG sector_size, DISK_GEOMETRY* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    constexpr ULONG64 mib = 1ull << 20;
    ULONG tracks;
    ULONG sectors;
    if (capacity < 8 * mib) {
        tracks = 16, sectors = 2;
    } else if (capacity < 512 * mib) {
        tracks = 32, sectors = 8;
    } else if (capacity < 2048 * mib) {
        tracks = 128, sectors = 16;
    } else if (capacity < 8192 * mib) {
        tracks = 256, sectors = 32;
    } else {
        tracks = 255, sectors = 63;
    }
    RtlZeroMemory(out, sizeof *out);
    out->MediaType = FixedMedia;
    out->BytesPerSector = sector_size;
    out->TracksPerCylinder = tracks;
    out->SectorsPerTrack = sectors;
    out->Cylinders.QuadPart = sector_size != 0 ? (LONGLONG)(capacity / tracks / sectors / sector_size) : 0;
}

// ---- Trim

NTSTATUS PavParseTrim(const void* input, size_t length, ULONG sector_size, ULONG64 sector_count, pav_trim_fn trim,
                      void* context) {
    KPAV_IRQL_AT_MOST(PASSIVE_LEVEL);
    DEVICE_MANAGE_DATA_SET_ATTRIBUTES header;
    if (input == nullptr || length < sizeof header) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&header, input, sizeof header);
    if (header.Action != DeviceDsmAction_Trim) {
        return STATUS_SUCCESS;
    }
    if (sector_size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((header.Flags & DEVICE_DSM_FLAG_ENTIRE_DATA_SET_RANGE) != 0) {
        int rc = sector_count != 0 ? trim(context, 0, sector_count) : 0;
        UCHAR srb_status;
        return rc < 0 ? PavDiskErrnoToStatus(rc, &srb_status) : STATUS_SUCCESS;
    }
    // Every range must lie inside the record before any is discarded.
    ULONG64 end = (ULONG64)header.DataSetRangesOffset + header.DataSetRangesLength;
    if (header.DataSetRangesOffset < sizeof header || end > length ||
        header.DataSetRangesLength % sizeof(DEVICE_DATA_SET_RANGE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* ranges = (const UCHAR*)input + header.DataSetRangesOffset;
    ULONG count = header.DataSetRangesLength / sizeof(DEVICE_DATA_SET_RANGE);
    for (ULONG i = 0; i < count; i++) {
        DEVICE_DATA_SET_RANGE r;
        RtlCopyMemory(&r, ranges + (size_t)i * sizeof r, sizeof r);
        if (r.StartingOffset < 0) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    for (ULONG i = 0; i < count; i++) {
        DEVICE_DATA_SET_RANGE r;
        RtlCopyMemory(&r, ranges + (size_t)i * sizeof r, sizeof r);
        // Only the sectors the range covers whole: the start rounds up, the end down.
        ULONG64 start = (ULONG64)r.StartingOffset;
        ULONG64 stop = r.LengthInBytes > ~0ull - start ? ~0ull : start + r.LengthInBytes;
        ULONG64 first = start / sector_size + (start % sector_size != 0 ? 1 : 0);
        ULONG64 last = stop / sector_size;
        if (last > sector_count) {
            last = sector_count;
        }
        if (last <= first) {
            continue;
        }
        int rc = trim(context, first, last - first);
        if (rc < 0) {
            UCHAR srb_status;
            return PavDiskErrnoToStatus(rc, &srb_status);
        }
    }
    return STATUS_SUCCESS;
}
