// The PCI bus: configuration requests sent to a function's device object, and the
// configuration ports by bus, device and function.

#include <cstring>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pci_bus.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

// A configuration space that records its accesses; byte i reads as i unless written.
class recording_space : public pci_config_space {
  public:
    recording_space() {
        for (ULONG i = 0; i < pci_config_size; i++) {
            bytes[i] = (UCHAR)i;
        }
    }
    ULONG config_read(ULONG offset, ULONG size) override {
        accesses.push_back({offset, size});
        ULONG v = 0;
        std::memcpy(&v, bytes + offset, size);
        return v;
    }
    void config_write(ULONG offset, ULONG size, ULONG value) override {
        accesses.push_back({offset, size});
        std::memcpy(bytes + offset, &value, size);
    }
    struct access {
        ULONG offset, size;
        bool operator==(const access&) const = default;
    };
    std::vector<access> accesses;
    UCHAR bytes[pci_config_size];
};

NTSTATUS config_request(PDEVICE_OBJECT device, UCHAR minor, void* buffer, ULONG offset, ULONG length,
                        ULONG_PTR* information, NTSTATUS* returned = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    stack->Parameters.ReadWriteConfig = {PCI_WHICHSPACE_CONFIG, buffer, offset, length};
    NTSTATUS status = IoCallDriver(device, irp);
    if (returned != nullptr) {
        *returned = status;
    }
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    *information = iosb.Information;
    return status;
}

ULONG port_read(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size) {
    WRITE_PORT_ULONG((PULONG)0xCF8, 0x80000000u | bus << 16 | device << 11 | function << 8 | (offset & 0xFC));
    switch (size) {
        case 1:
            return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(0xCFC + (offset & 3)));
        case 2:
            return READ_PORT_USHORT((PUSHORT)(ULONG_PTR)(0xCFC + (offset & 2)));
        default:
            return READ_PORT_ULONG((PULONG)0xCFC);
    }
}

class PciBusTest : public KernelTest {};

}  // namespace

TEST_F(PciBusTest, ConfigurationRequestsAreSplitIntoAlignedAccesses) {
    recording_space space;
    PDEVICE_OBJECT pdo = pci_plug(3, 0, 0, &space);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pci_plug(3, 0, 0, &space), nullptr) << "taken";
    EXPECT_EQ(pci_plug(3, 32, 0, &space), nullptr) << "no device 32";

    UCHAR buffer[9];
    ULONG_PTR information = 0;
    EXPECT_EQ(config_request(pdo, IRP_MN_READ_CONFIG, buffer, 3, 9, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 9u);
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(buffer[i], 3 + i);
    }
    using a = recording_space::access;
    EXPECT_EQ(space.accesses, (std::vector<a>{{3, 1}, {4, 4}, {8, 4}}));

    space.accesses.clear();
    USHORT word = 0xBEEF;
    EXPECT_EQ(config_request(pdo, IRP_MN_WRITE_CONFIG, &word, 0x7A, 2, &information), STATUS_SUCCESS);
    EXPECT_EQ(space.accesses, (std::vector<a>{{0x7A, 2}}));
    EXPECT_EQ(space.bytes[0x7A], 0xEF);

    EXPECT_EQ(config_request(pdo, IRP_MN_READ_CONFIG, buffer, 4094, 4, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(pci_requests_served(), 3u);
    pci_unplug(3, 0, 0);
}

TEST_F(PciBusTest, PendingAndFailingRequestsReachTheCallerThroughTheStatusBlock) {
    recording_space space;
    PDEVICE_OBJECT pdo = pci_plug(0, 1, 0, &space);
    ULONG value = 0;
    ULONG_PTR information;
    NTSTATUS returned;
    pci_set_request_behaviour({true, STATUS_SUCCESS});
    EXPECT_EQ(config_request(pdo, IRP_MN_READ_CONFIG, &value, 0, 4, &information, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_EQ(value, 0x03020100u);

    pci_set_request_behaviour({false, STATUS_NO_SUCH_DEVICE});
    EXPECT_EQ(config_request(pdo, IRP_MN_READ_CONFIG, &value, 0, 4, &information), STATUS_NO_SUCH_DEVICE);

    // A request for something other than configuration space keeps the status it came with.
    pci_set_request_behaviour({});
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &iosb);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MinorFunction = 0x07;
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);

    fail_nth(fault_site::pool, 1, "Irp ");
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &iosb), nullptr);
    pci_unplug(0, 1, 0);
}

TEST_F(PciBusTest, PortsReachEveryLocationAndAbsentFunctionsReadAllOnes) {
    recording_space space;
    pci_plug(5, 2, 0, &space);
    EXPECT_EQ(port_read(5, 2, 0, 0x40, 4), 0x43424140u);
    EXPECT_EQ(port_read(5, 2, 0, 0x42, 2), 0x4342u);
    EXPECT_EQ(port_read(5, 2, 0, 0x43, 1), 0x43u);
    EXPECT_EQ(port_read(5, 2, 1, 0x00, 4), 0xFFFFFFFFu) << "another function of the slot";
    EXPECT_EQ(port_read(4, 2, 0, 0x00, 2), 0xFFFFu);
    EXPECT_EQ(READ_PORT_ULONG((PULONG)0xCF8), 0x80041000u) << "the address port reads back";

    WRITE_PORT_ULONG((PULONG)0xCF8, 0x80000000u | 5u << 16 | 2u << 11 | 0x10);
    WRITE_PORT_USHORT((PUSHORT)0xCFE, 0xABCD);
    WRITE_PORT_UCHAR((PUCHAR)0xCFC, 0x77);
    EXPECT_EQ(pci_config_read(5, 2, 0, 0x10, 4), 0xABCD1177u);

    WRITE_PORT_ULONG((PULONG)0xCF8, 5u << 16 | 2u << 11 | 0x10);  // enable bit clear
    EXPECT_EQ(READ_PORT_ULONG((PULONG)0xCFC), 0xFFFFFFFFu);
    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)0x80), 0xFF) << "an unrelated port";
    pci_unplug(5, 2, 0);
    EXPECT_EQ(port_read(5, 2, 0, 0x40, 4), 0xFFFFFFFFu);
}
