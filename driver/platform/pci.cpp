#include "driver/platform/pci.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

constexpr ULONG config_space_size = 4096;
constexpr ULONG legacy_space_size = 256;
constexpr ULONG capability_pointer = 0x34;
constexpr ULONG first_extended_cap = 0x100;
constexpr int standard_walk_steps = 128;
// A well-formed extended list has at most one capability per dword of the extended space.
constexpr int extended_walk_steps = (config_space_size - first_extended_cap) / 4;
constexpr ULONG largest_success_status = 63;
constexpr ULONG message_no_pcie_cap = 14341;

constexpr ULONG config_address_port = 0xCF8;
constexpr ULONG config_data_port = 0xCFC;

constexpr ULONG power_scale_mw[4] = {1000, 100, 10, 1};

KSPIN_LOCK port_lock;

bool read_config(pci_dev* pdev, ULONG offset, void* value, ULONG length) {
    return kpav_pci_config_access(pdev, 0, value, offset, length) == 0;
}

bool read8(pci_dev* pdev, ULONG offset, UCHAR* value) {
    return read_config(pdev, offset, value, 1);
}

bool read16(pci_dev* pdev, ULONG offset, USHORT* value) {
    return read_config(pdev, offset, value, 2);
}

bool read32(pci_dev* pdev, ULONG offset, ULONG* value) {
    return read_config(pdev, offset, value, 4);
}

// The configuration address of a location. Out-of-range numbers are refused before this, so
// no field spills into its neighbour's bits.
ULONG config_address(ULONG bus, ULONG device, ULONG function, ULONG offset) {
    return 0x80000000u | bus << 16 | device << 11 | function << 8 | (offset & 0xFC);
}

bool valid_port_access(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code, const void* value) {
    if (bus > 255 || device > 31 || function > 7 || offset >= legacy_space_size || value == nullptr) {
        return false;
    }
    switch (size_code) {
        case KPAV_PCI_BYTE:
            return true;
        case KPAV_PCI_WORD:
            return offset % 2 == 0;
        case KPAV_PCI_DWORD:
            return offset % 4 == 0;
        default:
            return false;
    }
}

}  // namespace

NTSTATUS kpav_pci_config_access(pci_dev* pdev, int write, void* buffer, ULONG offset, ULONG length) {
    PAGED_CODE();
    if (pdev == nullptr || pdev->device_object == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdev->device_object);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = write ? IRP_MN_WRITE_CONFIG : IRP_MN_READ_CONFIG;
    stack->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    stack->Parameters.ReadWriteConfig.Buffer = buffer;
    stack->Parameters.ReadWriteConfig.Offset = offset;
    stack->Parameters.ReadWriteConfig.Length = length;
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObDereferenceObject(top);
    return (ULONG)status <= largest_success_status ? 0 : status;
}

int kpav_pci_write_config_word(pci_dev* pdev, ULONG offset, USHORT value) {
    PAGED_CODE();
    if (offset >= config_space_size || pdev == nullptr || pdev->device_object == nullptr) {
        return -KPAV_EINVAL;
    }
    return kpav_ntstatus_to_errno(kpav_pci_config_access(pdev, 1, &value, offset, sizeof value));
}

void kpav_pci_port_lock_init() {
    PAGED_CODE();
    KeInitializeSpinLock(&port_lock);
}

namespace {

// Validates a port access, then runs `transfer` on the data port with the location's address
// latched under the port lock; the address port's previous value is put back afterwards.
template <typename Transfer>
int with_config_address(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code, const void* value,
                        Transfer&& transfer) {
    if (!valid_port_access(bus, device, function, offset, size_code, value)) {
        return -KPAV_EINVAL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&port_lock, &irql);
    ULONG saved = READ_PORT_ULONG((PULONG)(ULONG_PTR)config_address_port);
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)config_address_port, config_address(bus, device, function, offset));
    transfer();
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)config_address_port, saved);
    KeReleaseSpinLock(&port_lock, irql);
    return 0;
}

}  // namespace

int kpav_pci_read_config(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code, ULONG* value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return with_config_address(bus, device, function, offset, size_code, value, [&] {
        switch (size_code) {
            case KPAV_PCI_BYTE:
                *value = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(config_data_port + (offset & 3)));
                break;
            case KPAV_PCI_WORD:
                *value = READ_PORT_USHORT((PUSHORT)(ULONG_PTR)(config_data_port + (offset & 2)));
                break;
            default:
                *value = READ_PORT_ULONG((PULONG)(ULONG_PTR)config_data_port);
                break;
        }
    });
}

int kpav_pci_write_config(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code,
                          const ULONG* value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return with_config_address(bus, device, function, offset, size_code, value, [&] {
        switch (size_code) {
            case KPAV_PCI_BYTE:
                WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(config_data_port + (offset & 3)), (UCHAR)*value);
                break;
            case KPAV_PCI_WORD:
                WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)(config_data_port + (offset & 2)), (USHORT)*value);
                break;
            default:
                WRITE_PORT_ULONG((PULONG)(ULONG_PTR)config_data_port, *value);
                break;
        }
    });
}

int pcie_find_cap(pci_dev* pdev, ULONG* offset) {
    PAGED_CODE();
    UCHAR pointer = 0;
    int steps = standard_walk_steps;
    if (read8(pdev, capability_pointer, &pointer)) {
        while (pointer != 0 && pointer != 0xFF && steps > 0) {
            UCHAR id;
            if (!read8(pdev, pointer, &id)) {
                break;
            }
            if (id == PCI_CAP_ID_EXP) {
                *offset = pointer;
                return 0;
            }
            if (!read8(pdev, pointer + 1u, &pointer)) {
                break;
            }
            steps--;
        }
    }
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, message_no_pcie_cap,
                "%02x:%02x.%02x: Cannot read PCIe capabilities for device, off 0x%02X, cnt %u\n", pdev->bus,
                pdev->device, pdev->function, pointer, (ULONG)steps);
    return 1;
}

int pcie_find_aer(pci_dev* pdev, ULONG* offset) {
    PAGED_CODE();
    ULONG at = first_extended_cap;
    // Bounded, and only forwards into the extended space: a list that loops or points back
    // into the standard header ends the search.
    for (int steps = extended_walk_steps; at < config_space_size - 1 && steps > 0; steps--) {
        USHORT id;
        USHORT next_version;
        if (!read16(pdev, at, &id)) {
            return 1;
        }
        if (id == PCI_EXT_CAP_ID_ERR) {
            *offset = at;
            return 0;
        }
        if (id == 0 || !read16(pdev, at + 2, &next_version)) {
            return 1;
        }
        ULONG next = next_version >> 4;
        if (next < first_extended_cap) {
            return 1;
        }
        at = next;
    }
    return 1;
}

int pcie_read_aer(pci_dev* pdev, ULONG* offset, pcie_aer* aer) {
    PAGED_CODE();
    ULONG at;
    if (pcie_find_aer(pdev, &at) != 0) {
        return 1;
    }
    *offset = at;
    RtlZeroMemory(aer, sizeof *aer);
    read16(pdev, at, &aer->id);
    read16(pdev, at + 2, &aer->next_version);
    ULONG* registers[] = {&aer->uncorrectable_status, &aer->uncorrectable_mask, &aer->uncorrectable_severity,
                          &aer->correctable_status, &aer->correctable_mask};
    for (ULONG i = 0; i < ARRAYSIZE(registers); i++) {
        ULONG register_offset = at + 4 * (i + 1);
        if (register_offset + 4 > config_space_size) {
            break;
        }
        read32(pdev, register_offset, registers[i]);
    }
    return 0;
}

void pcie_clear_errors(pci_dev* pdev) {
    PAGED_CODE();
    ULONG cap;
    USHORT status;
    if (pcie_find_cap(pdev, &cap) != 0 || !read16(pdev, cap + 10, &status)) {
        return;
    }
    if ((status & 0xF) == 0) {
        return;
    }
    if ((status & (PCIE_ERR_NONFATAL | PCIE_ERR_FATAL)) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%02x:%02x.%02x: Clearing PCIe errors (0x%x)\n", pdev->bus, pdev->device,
                   pdev->function, status & 15u);
    }
    kpav_pci_write_config_word(pdev, cap + 10, status);
}

ULONG pcie_slot_power_limit(pci_dev* pdev, ULONG cap, ULONG* milliwatts) {
    PAGED_CODE();
    ULONG header = 0;
    ULONG value = 0;
    ULONG scale = 0;
    read32(pdev, cap, &header);
    if ((header & (1u << 24)) != 0) {
        ULONG slot = 0;
        read32(pdev, cap + 20, &slot);
        value = slot >> 7 & 0xFF;
        scale = slot >> 15 & 3;
    } else {
        ULONG device = 0;
        read32(pdev, cap + 4, &device);
        value = device >> 18 & 0xFF;
        scale = device >> 26 & 3;
    }
    *milliwatts = value * power_scale_mw[scale];
    return *milliwatts;
}

int pcie_read_caps(pci_dev* pdev, pcie_summary* summary) {
    PAGED_CODE();
    ULONG cap;
    if (pcie_find_cap(pdev, &cap) != 0) {
        return 1;
    }
    USHORT device_status = 0;
    ULONG link_caps = 0;
    USHORT link_status = 0;
    read16(pdev, cap + 10, &device_status);
    read32(pdev, cap + 12, &link_caps);
    read16(pdev, cap + 18, &link_status);
    summary->errors = device_status & 0xFu;
    summary->max_link_speed = link_caps & 0xF;
    summary->max_link_width = link_caps >> 4 & 0x3F;
    summary->link_speed = link_status & 0xFu;
    summary->link_width = (ULONG)link_status >> 4 & 0x3F;
    pcie_slot_power_limit(pdev, cap, &summary->slot_power_mw);
    return 0;
}

int pcie_get_error_state(pci_dev* pdev, ULONG* errors) {
    PAGED_CODE();
    ULONG cap;
    if (pcie_find_cap(pdev, &cap) != 0) {
        return 1;
    }
    USHORT status = 0;
    USHORT control = 0;
    read16(pdev, cap + 10, &status);
    read16(pdev, cap + 8, &control);
    ULONG bits = (ULONG)status & control & 0xF;
    ULONG aer_offset;
    pcie_aer aer;
    if (bits != 0 && pcie_read_aer(pdev, &aer_offset, &aer) == 0) {
        // A bit of `open` is clear where an error is logged, unmasked and of fatal severity.
        ULONG open = ~(aer.uncorrectable_severity & aer.uncorrectable_status) | aer.uncorrectable_mask;
        if (open == 0xFFFFFFFFu) {
            bits &= ~PCIE_ERR_FATAL;
        }
        if ((open & (1u << 20)) != 0) {
            bits &= ~PCIE_ERR_UNSUPPORTED;
        }
        if ((bits & PCIE_ERR_CORRECTABLE) != 0 &&
            ((aer.correctable_mask | aer.correctable_status) & (1u << 13)) != 0) {
            bits &= ~PCIE_ERR_CORRECTABLE;
        }
    }
    *errors = bits;
    return 0;
}
