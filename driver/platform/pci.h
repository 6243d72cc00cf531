// The card's PCI configuration space: reads and writes through the card's own device stack
// (the normal way), access by bus, device and function through the configuration ports (for
// the control interface's requests), and the PCI Express capability, its error reporting and
// its link and power figures.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/pci_dev.h"

// Size codes of the port access.
enum kpav_pci_size : ULONG {
    KPAV_PCI_BYTE = 0,
    KPAV_PCI_WORD = 1,
    KPAV_PCI_DWORD = 2,
};

// Standard capability id of PCI Express; extended capability id of Advanced Error Reporting.
constexpr UCHAR PCI_CAP_ID_EXP = 0x10;
constexpr USHORT PCI_EXT_CAP_ID_ERR = 0x0001;

// Device status bits (PCI Express capability + 10), also the error bits of the summaries.
constexpr ULONG PCIE_ERR_CORRECTABLE = 0x1;
constexpr ULONG PCIE_ERR_NONFATAL = 0x2;
constexpr ULONG PCIE_ERR_FATAL = 0x4;
constexpr ULONG PCIE_ERR_UNSUPPORTED = 0x8;
constexpr ULONG PCIE_ERR_ALL = 0xF;

struct pcie_summary {
    ULONG errors;            // device status bits 0-3
    ULONG max_link_speed;    // link capabilities bits 0-3
    ULONG max_link_width;    // link capabilities bits 4-9
    ULONG link_speed;        // link status bits 0-3
    ULONG link_width;        // link status bits 4-9
    ULONG slot_power_mw;
};

struct pcie_aer {
    USHORT id;
    USHORT next_version;
    ULONG uncorrectable_status;
    ULONG uncorrectable_mask;
    ULONG uncorrectable_severity;
    ULONG correctable_status;
    ULONG correctable_mask;
};

// A synchronous read-config or write-config request to the top of the card's stack: 0, the
// request's error status, or STATUS_INSUFFICIENT_RESOURCES when it cannot be built.
// PASSIVE_LEVEL (it waits).
NTSTATUS kpav_pci_config_access(pci_dev* pdev, int write, void* buffer, ULONG offset, ULONG length);
// 0, -KPAV_EINVAL for an offset above 4095 or no device, else the request's status as an errno.
int kpav_pci_write_config_word(pci_dev* pdev, ULONG offset, USHORT value);

// Port access by location, under the driver's port lock (any IRQL up to DISPATCH_LEVEL): 0, or
// -KPAV_EINVAL for a bus above 255, a device above 31, a function above 7, an offset above 255, a
// size code above 2, or a word (double word) at an offset not a multiple of 2 (4). A byte or word
// read fills the low bits of *value and clears the rest.
int kpav_pci_read_config(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code, ULONG* value);
int kpav_pci_write_config(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size_code,
                          const ULONG* value);
// Driver entry: the port lock starts free.
void kpav_pci_port_lock_init();

// The PCI Express capability's offset: 0, or -KPAV_ENOENT when the standard list has none or cannot
// be read (logged, message 14341).
int pcie_find_cap(pci_dev* pdev, ULONG* offset);
// The Advanced Error Reporting capability's offset: 0, or -KPAV_ENOENT when the extended list has
// none (also when it ends, loops, points back below the extended space or cannot be read).
int pcie_find_aer(pci_dev* pdev, ULONG* offset);
// Finds AER (its offset to *offset) and reads its header and registers: 0, -KPAV_ENOENT without
// AER, -KPAV_EIO when a register cannot be read.
int pcie_read_aer(pci_dev* pdev, ULONG* offset, pcie_aer* aer);
// Clears latched device-status error bits (controller start); logs non-fatal and fatal ones.
void pcie_clear_errors(pci_dev* pdev);
// The link and power figures: 0, -KPAV_ENOENT without the PCI Express capability, -KPAV_EIO when a
// register cannot be read (the figures read so far are set).
int pcie_read_caps(pci_dev* pdev, pcie_summary* summary);
// The slot power limit in milliwatts, to *milliwatts, from the capability at `cap`: 0, or -KPAV_EIO
// when a register cannot be read (the limit is then 0).
int pcie_slot_power_limit(pci_dev* pdev, ULONG cap, ULONG* milliwatts);
// The reported error bits (device status bits that device control enables, filtered by AER):
// 0, -KPAV_ENOENT without the PCI Express capability, -KPAV_EIO when a register cannot be read.
int pcie_get_error_state(pci_dev* pdev, ULONG* errors);
// Every routine above waits for its requests: PASSIVE_LEVEL.

// ---------------------------------------------------------------------------------------------
// The registers the routines read

constexpr ULONG PCI_CAPABILITY_LIST = 0x34;  // the standard list's first pointer
constexpr ULONG PCI_EXTENDED_SPACE = 0x100;  // where the extended list starts

// Registers of the PCI Express capability, from its start. The dword at the start holds the
// id, the next pointer and the capabilities register, whose bit 8 says a slot is implemented.
constexpr ULONG PCIE_CAP_HEADER = 0x00;
constexpr ULONG PCIE_SLOT_IMPLEMENTED = 1u << 24;
constexpr ULONG PCIE_DEVICE_CAPS = 0x04;
constexpr ULONG PCIE_DEVICE_CONTROL = 0x08;
constexpr ULONG PCIE_DEVICE_STATUS = 0x0A;
constexpr ULONG PCIE_LINK_CAPS = 0x0C;
constexpr ULONG PCIE_LINK_STATUS = 0x12;
constexpr ULONG PCIE_SLOT_CAPS = 0x14;

// Fields: speed in bits 0-3 and width in bits 4-9 of link capabilities and link status; the
// slot power value (8 bits) and scale (2 bits) in slot capabilities, and as captured in device
// capabilities.
constexpr ULONG PCIE_LINK_SPEED_MASK = 0xF;
constexpr ULONG PCIE_LINK_WIDTH_SHIFT = 4;
constexpr ULONG PCIE_LINK_WIDTH_MASK = 0x3F;
constexpr ULONG PCIE_POWER_VALUE_MASK = 0xFF;
constexpr ULONG PCIE_POWER_SCALE_MASK = 0x3;
constexpr ULONG PCIE_SLOT_POWER_VALUE_SHIFT = 7;
constexpr ULONG PCIE_SLOT_POWER_SCALE_SHIFT = 15;
constexpr ULONG PCIE_CAPTURED_POWER_VALUE_SHIFT = 18;
constexpr ULONG PCIE_CAPTURED_POWER_SCALE_SHIFT = 26;

// An extended capability's header: id in bits 0-15, version in 16-19, next pointer in 20-31
// (the upper word shifted right by 4).
constexpr ULONG PCIE_EXT_CAP_NEXT = 0x02;
constexpr ULONG PCIE_EXT_CAP_NEXT_SHIFT = 4;

// Registers of the Advanced Error Reporting capability, from its start, and the bits the error
// state looks at.
constexpr ULONG PCIE_AER_UNCORRECTABLE_STATUS = 0x04;
constexpr ULONG PCIE_AER_UNCORRECTABLE_MASK = 0x08;
constexpr ULONG PCIE_AER_UNCORRECTABLE_SEVERITY = 0x0C;
constexpr ULONG PCIE_AER_CORRECTABLE_STATUS = 0x10;
constexpr ULONG PCIE_AER_CORRECTABLE_MASK = 0x14;
constexpr ULONG PCIE_AER_UNSUPPORTED_REQUEST = 1u << 20;  // uncorrectable
constexpr ULONG PCIE_AER_ADVISORY_NONFATAL = 1u << 13;    // correctable
