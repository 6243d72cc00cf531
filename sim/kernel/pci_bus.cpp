// The PCI bus: a table of plugged functions, the configuration requests their device objects
// serve, and the configuration ports 0xCF8/0xCFC.

#include "sim/kernel/pci_bus.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/io.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/object.h"
#include "sim/kernel/ports.h"

namespace sim::kernel {
namespace {

struct plugged_function {
    pci_config_space* space;
    PDEVICE_OBJECT device_object;
};

// The bus driver: each plugged function has a device object of it, whose extension holds the
// function's location. It lives as long as the process.
PDRIVER_OBJECT bus_driver = nullptr;

struct function_extension {
    ULONG location;
};

std::mutex bus_mutex;
std::map<ULONG, plugged_function> functions;  // by location
pci_request_behaviour behaviour;
std::atomic<ULONG> requests{0};
std::atomic<ULONG> port_address{0};

constexpr ULONG config_address_port = 0xCF8;
constexpr ULONG config_data_port = 0xCFC;

ULONG location_of(ULONG bus, ULONG device, ULONG function) {
    return bus << 8 | device << 3 | function;
}

bool valid_location(ULONG bus, ULONG device, ULONG function) {
    return bus <= 255 && device <= 31 && function <= 7;
}

bool valid_access(ULONG offset, ULONG size) {
    return (size == 1 || size == 2 || size == 4) && offset < pci_config_size && offset + size <= pci_config_size;
}

ULONG all_ones(ULONG size) {
    return size == 4 ? 0xFFFFFFFFu : (1u << (size * 8)) - 1u;
}

// Callers hold bus_mutex.
ULONG read_locked(ULONG location, ULONG offset, ULONG size) {
    auto it = functions.find(location);
    if (it == functions.end() || !valid_access(offset, size)) {
        return all_ones(size);
    }
    return it->second.space->config_read(offset, size) & all_ones(size);
}

void write_locked(ULONG location, ULONG offset, ULONG size, ULONG value) {
    auto it = functions.find(location);
    if (it != functions.end() && valid_access(offset, size)) {
        it->second.space->config_write(offset, size, value & all_ones(size));
    }
}

// A configuration request of any length, done as the naturally aligned accesses that cover it.
NTSTATUS transfer(ULONG location, bool write, UCHAR* buffer, ULONG offset, ULONG length) {
    std::lock_guard<std::mutex> g(bus_mutex);
    if (functions.find(location) == functions.end()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    ULONG done = 0;
    while (done < length) {
        ULONG at = offset + done;
        ULONG left = length - done;
        ULONG size = (at % 4 == 0 && left >= 4) ? 4 : (at % 2 == 0 && left >= 2) ? 2 : 1;
        if (write) {
            ULONG value = 0;
            std::memcpy(&value, buffer + done, size);
            write_locked(location, at, size, value);
        } else {
            ULONG value = read_locked(location, at, size);
            std::memcpy(buffer + done, &value, size);
        }
        done += size;
    }
    return STATUS_SUCCESS;
}

NTSTATUS serve_request(PDEVICE_OBJECT device_object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;  // requests a bus does not serve keep their status
    ULONG_PTR information = irp->IoStatus.Information;
    if (stack->MajorFunction == IRP_MJ_PNP &&
        (stack->MinorFunction == IRP_MN_READ_CONFIG || stack->MinorFunction == IRP_MN_WRITE_CONFIG)) {
        requests++;
        auto& p = stack->Parameters.ReadWriteConfig;
        pci_request_behaviour now;
        {
            std::lock_guard<std::mutex> g(bus_mutex);
            now = behaviour;
        }
        information = 0;
        if (now.failure != STATUS_SUCCESS) {
            status = now.failure;
        } else if (p.WhichSpace != PCI_WHICHSPACE_CONFIG || p.Buffer == nullptr ||
                   p.Offset >= pci_config_size || p.Length > pci_config_size - p.Offset) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ULONG location = ((function_extension*)device_object->DeviceExtension)->location;
            status = transfer(location, stack->MinorFunction == IRP_MN_WRITE_CONFIG, (UCHAR*)p.Buffer, p.Offset,
                              p.Length);
            if (NT_SUCCESS(status)) {
                information = p.Length;
            }
        }
        if (now.pend) {
            IoMarkIrpPending(irp);
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, 0);
            return STATUS_PENDING;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, 0);
    return status;
}

void unplug_locked(std::map<ULONG, plugged_function>::iterator it) {
    PDEVICE_OBJECT device_object = it->second.device_object;
    functions.erase(it);
    IoDeleteDevice(device_object);
}

NTSTATUS bus_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = serve_request;
    return STATUS_SUCCESS;
}

}  // namespace

PDEVICE_OBJECT pci_plug(ULONG bus, ULONG device, ULONG function, pci_config_space* space) {
    if (!valid_location(bus, device, function) || space == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> g(bus_mutex);
    ULONG location = location_of(bus, device, function);
    if (functions.count(location) != 0) {
        return nullptr;
    }
    if (bus_driver == nullptr && !NT_SUCCESS(load_driver("pci", bus_driver_entry, &bus_driver))) {
        return nullptr;
    }
    PDEVICE_OBJECT device_object;
    if (!NT_SUCCESS(IoCreateDevice(bus_driver, sizeof(function_extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0,
                                   FALSE, &device_object))) {
        return nullptr;
    }
    ((function_extension*)device_object->DeviceExtension)->location = location;
    device_object->Flags &= ~DO_DEVICE_INITIALIZING;
    functions[location] = {space, device_object};
    return device_object;
}

void pci_unplug(ULONG bus, ULONG device, ULONG function) {
    if (!valid_location(bus, device, function)) {
        return;
    }
    std::lock_guard<std::mutex> g(bus_mutex);
    auto it = functions.find(location_of(bus, device, function));
    if (it != functions.end()) {
        unplug_locked(it);
    }
}

PDEVICE_OBJECT pci_device_object(ULONG bus, ULONG device, ULONG function) {
    if (!valid_location(bus, device, function)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> g(bus_mutex);
    auto it = functions.find(location_of(bus, device, function));
    return it == functions.end() ? nullptr : it->second.device_object;
}

bool pci_location_of(PDEVICE_OBJECT device_object, ULONG* bus, ULONG* device, ULONG* function) {
    std::lock_guard<std::mutex> g(bus_mutex);
    for (const auto& [location, f] : functions) {
        if (f.device_object == device_object) {
            *bus = location >> 8;
            *device = location >> 3 & 31;
            *function = location & 7;
            return true;
        }
    }
    return false;
}

ULONG pci_config_read(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size) {
    if (!valid_location(bus, device, function)) {
        return all_ones(size == 1 || size == 2 ? size : 4);
    }
    std::lock_guard<std::mutex> g(bus_mutex);
    return read_locked(location_of(bus, device, function), offset, size);
}

void pci_config_write(ULONG bus, ULONG device, ULONG function, ULONG offset, ULONG size, ULONG value) {
    if (!valid_location(bus, device, function)) {
        return;
    }
    std::lock_guard<std::mutex> g(bus_mutex);
    write_locked(location_of(bus, device, function), offset, size, value);
}

void pci_set_request_behaviour(const pci_request_behaviour& b) {
    std::lock_guard<std::mutex> g(bus_mutex);
    behaviour = b;
}

ULONG pci_requests_served() {
    return requests;
}

namespace parts {
void reset_pci_bus() {
    std::lock_guard<std::mutex> g(bus_mutex);
    while (!functions.empty()) {
        unplug_locked(functions.begin());
    }
    behaviour = {};
    requests = 0;
    port_address = 0;
}
}  // namespace parts

// ---------------------------------------------------------------------------------------------
// The configuration ports

namespace {

// The function and offset that a data-port access of `size` bytes at `port` reaches; false
// when the address port does not enable a configuration cycle or the access leaves the dword.
bool decode_data_port(ULONG port, ULONG size, ULONG* location, ULONG* offset) {
    ULONG address = port_address;
    ULONG byte = port - config_data_port;
    if ((address & 0x80000000u) == 0 || (address & 0x7F000000u) != 0 || byte + size > 4) {
        return false;
    }
    *location = address >> 8 & 0xFFFF;
    *offset = (address & 0xFC) + byte;
    return true;
}

ULONG port_read(ULONG port, ULONG size) {
    if (port == config_address_port && size == 4) {
        return port_address;
    }
    if (port >= config_data_port && port < config_data_port + 4) {
        ULONG location;
        ULONG offset;
        if (decode_data_port(port, size, &location, &offset)) {
            std::lock_guard<std::mutex> g(bus_mutex);
            return read_locked(location, offset, size);
        }
    }
    return all_ones(size);
}

void port_write(ULONG port, ULONG size, ULONG value) {
    if (port == config_address_port && size == 4) {
        port_address = value;
        return;
    }
    if (port >= config_data_port && port < config_data_port + 4) {
        ULONG location;
        ULONG offset;
        if (decode_data_port(port, size, &location, &offset)) {
            std::lock_guard<std::mutex> g(bus_mutex);
            write_locked(location, offset, size, value);
        }
    }
}

}  // namespace
}  // namespace sim::kernel

using sim::kernel::port_read;
using sim::kernel::port_write;

UCHAR READ_PORT_UCHAR(PUCHAR port) {
    return (UCHAR)port_read((ULONG)(ULONG_PTR)port, 1);
}

USHORT READ_PORT_USHORT(PUSHORT port) {
    return (USHORT)port_read((ULONG)(ULONG_PTR)port, 2);
}

ULONG READ_PORT_ULONG(PULONG port) {
    return port_read((ULONG)(ULONG_PTR)port, 4);
}

void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value) {
    port_write((ULONG)(ULONG_PTR)port, 1, value);
}

void WRITE_PORT_USHORT(PUSHORT port, USHORT value) {
    port_write((ULONG)(ULONG_PTR)port, 2, value);
}

void WRITE_PORT_ULONG(PULONG port, ULONG value) {
    port_write((ULONG)(ULONG_PTR)port, 4, value);
}
