#include "driver/platform/pci.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

constexpr ULONG config_space_size = 4096;
constexpr ULONG legacy_space_size = 256;
constexpr int standard_walk_steps = 128;
// A well-formed extended list has at most one capability per dword of the extended space.
constexpr int extended_walk_steps = (config_space_size - PCI_EXTENDED_SPACE) / 4;
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
    if (read8(pdev, PCI_CAPABILITY_LIST, &pointer)) {
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
    return -KPAV_ENOENT;
}

int pcie_find_aer(pci_dev* pdev, ULONG* offset) {
    PAGED_CODE();
    ULONG at = PCI_EXTENDED_SPACE;
    // Bounded, and only into the extended space: a list that loops or points back into the
    // standard header ends the search.
    for (int steps = extended_walk_steps; at < config_space_size - 1 && steps > 0; steps--) {
        USHORT id;
        USHORT next_version;
        if (!read16(pdev, at, &id)) {
            return -KPAV_ENOENT;
        }
        if (id == PCI_EXT_CAP_ID_ERR) {
            *offset = at;
            return 0;
        }
        if (id == 0 || !read16(pdev, at + PCIE_EXT_CAP_NEXT, &next_version)) {
            return -KPAV_ENOENT;
        }
        ULONG next = (ULONG)next_version >> PCIE_EXT_CAP_NEXT_SHIFT;
        if (next < PCI_EXTENDED_SPACE) {
            return -KPAV_ENOENT;
        }
        at = next;
    }
    return -KPAV_ENOENT;
}

int pcie_read_aer(pci_dev* pdev, ULONG* offset, pcie_aer* aer) {
    PAGED_CODE();
    ULONG at;
    int err = pcie_find_aer(pdev, &at);
    if (err != 0) {
        return err;
    }
    *offset = at;
    RtlZeroMemory(aer, sizeof *aer);
    bool read = read16(pdev, at, &aer->id);
    read = read16(pdev, at + PCIE_EXT_CAP_NEXT, &aer->next_version) && read;
    struct {
        ULONG offset;
        ULONG* value;
    } const registers[] = {
        {PCIE_AER_UNCORRECTABLE_STATUS, &aer->uncorrectable_status},
        {PCIE_AER_UNCORRECTABLE_MASK, &aer->uncorrectable_mask},
        {PCIE_AER_UNCORRECTABLE_SEVERITY, &aer->uncorrectable_severity},
        {PCIE_AER_CORRECTABLE_STATUS, &aer->correctable_status},
        {PCIE_AER_CORRECTABLE_MASK, &aer->correctable_mask},
    };
    for (const auto& r : registers) {
        if (at + r.offset + 4 > config_space_size) {
            break;
        }
        read = read32(pdev, at + r.offset, r.value) && read;
    }
    return read ? 0 : -KPAV_EIO;
}

void pcie_clear_errors(pci_dev* pdev) {
    PAGED_CODE();
    ULONG cap;
    USHORT status;
    if (pcie_find_cap(pdev, &cap) != 0 || !read16(pdev, cap + PCIE_DEVICE_STATUS, &status)) {
        return;
    }
    if ((status & PCIE_ERR_ALL) == 0) {
        return;
    }
    if ((status & (PCIE_ERR_NONFATAL | PCIE_ERR_FATAL)) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%02x:%02x.%02x: Clearing PCIe errors (0x%x)\n", pdev->bus, pdev->device,
                   pdev->function, status & PCIE_ERR_ALL);
    }
    kpav_pci_write_config_word(pdev, cap + PCIE_DEVICE_STATUS, status);
}

int pcie_slot_power_limit(pci_dev* pdev, ULONG cap, ULONG* milliwatts) {
    PAGED_CODE();
    *milliwatts = 0;
    ULONG header = 0;
    if (!read32(pdev, cap + PCIE_CAP_HEADER, &header)) {
        return -KPAV_EIO;
    }
    // With a slot the limit is in the slot capabilities; without one, as the device captured it.
    bool slot = (header & PCIE_SLOT_IMPLEMENTED) != 0;
    ULONG reg = 0;
    if (!read32(pdev, cap + (slot ? PCIE_SLOT_CAPS : PCIE_DEVICE_CAPS), &reg)) {
        return -KPAV_EIO;
    }
    ULONG value = reg >> (slot ? PCIE_SLOT_POWER_VALUE_SHIFT : PCIE_CAPTURED_POWER_VALUE_SHIFT) & PCIE_POWER_VALUE_MASK;
    ULONG scale = reg >> (slot ? PCIE_SLOT_POWER_SCALE_SHIFT : PCIE_CAPTURED_POWER_SCALE_SHIFT) & PCIE_POWER_SCALE_MASK;
    *milliwatts = value * power_scale_mw[scale];
    return 0;
}

int pcie_read_caps(pci_dev* pdev, pcie_summary* summary) {
    PAGED_CODE();
    ULONG cap;
    int err = pcie_find_cap(pdev, &cap);
    if (err != 0) {
        return err;
    }
    USHORT device_status = 0;
    ULONG link_caps = 0;
    USHORT link_status = 0;
    bool read = read16(pdev, cap + PCIE_DEVICE_STATUS, &device_status);
    read = read32(pdev, cap + PCIE_LINK_CAPS, &link_caps) && read;
    read = read16(pdev, cap + PCIE_LINK_STATUS, &link_status) && read;
    summary->errors = device_status & PCIE_ERR_ALL;
    summary->max_link_speed = link_caps & PCIE_LINK_SPEED_MASK;
    summary->max_link_width = link_caps >> PCIE_LINK_WIDTH_SHIFT & PCIE_LINK_WIDTH_MASK;
    summary->link_speed = link_status & PCIE_LINK_SPEED_MASK;
    summary->link_width = (ULONG)link_status >> PCIE_LINK_WIDTH_SHIFT & PCIE_LINK_WIDTH_MASK;
    err = pcie_slot_power_limit(pdev, cap, &summary->slot_power_mw);
    return read ? err : -KPAV_EIO;
}

int pcie_get_error_state(pci_dev* pdev, ULONG* errors) {
    PAGED_CODE();
    ULONG cap;
    int err = pcie_find_cap(pdev, &cap);
    if (err != 0) {
        return err;
    }
    USHORT status = 0;
    USHORT control = 0;
    if (!read16(pdev, cap + PCIE_DEVICE_STATUS, &status) || !read16(pdev, cap + PCIE_DEVICE_CONTROL, &control)) {
        return -KPAV_EIO;
    }
    ULONG bits = (ULONG)status & control & PCIE_ERR_ALL;
    ULONG aer_offset;
    pcie_aer aer;
    if (bits != 0 && pcie_read_aer(pdev, &aer_offset, &aer) == 0) {
        // A bit of `open` is clear where an error is logged, unmasked and of fatal severity.
        ULONG open = ~(aer.uncorrectable_severity & aer.uncorrectable_status) | aer.uncorrectable_mask;
        if (open == 0xFFFFFFFFu) {
            bits &= ~PCIE_ERR_FATAL;
        }
        if ((open & PCIE_AER_UNSUPPORTED_REQUEST) != 0) {
            bits &= ~PCIE_ERR_UNSUPPORTED;
        }
        if ((bits & PCIE_ERR_CORRECTABLE) != 0 &&
            ((aer.correctable_mask | aer.correctable_status) & PCIE_AER_ADVISORY_NONFATAL) != 0) {
            bits &= ~PCIE_ERR_CORRECTABLE;
        }
    }
    *errors = bits;
    return 0;
}
