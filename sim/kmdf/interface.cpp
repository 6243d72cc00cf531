// Query interfaces along a device stack, and device interfaces with their symbolic names.
#include "sim/kmdf/interface.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/pci_bus.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

// Every device interface by its folded symbolic name.
std::map<std::u16string, device_object*>& interface_names() {
    static auto* names = new std::map<std::u16string, device_object*>();
    return *names;
}

std::u16string fold(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = (char16_t)(c - u'a' + u'A');
        }
    }
    return out;
}

std::u16string widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::u16string text_of(PCUNICODE_STRING s) {
    return s != nullptr && s->Buffer != nullptr ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR))
                                                : std::u16string();
}

bool same_guid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string guid_text(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

device_object::device_interface* find_interface(device_object* d, const GUID* guid, PCUNICODE_STRING reference) {
    std::u16string ref = text_of(reference);
    for (auto& i : d->interfaces) {
        if (same_guid(i.guid, *guid) && i.reference == ref) {
            return &i;
        }
    }
    return nullptr;
}

// The bus's standard interface: configuration space of the stack's function.
void bus_noop(PVOID) {}

ULONG bus_data(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length, bool write) {
    auto* stack = (device_stack*)context;
    if (data_type != PCI_WHICHSPACE_CONFIG || offset >= sim::kernel::pci_config_size) {
        return 0;
    }
    if (length > sim::kernel::pci_config_size - offset) {
        length = sim::kernel::pci_config_size - offset;
    }
    ULONG bus = stack->description.bus_number & 0xFF;
    ULONG device = stack->description.address >> 16;
    ULONG function = stack->description.address & 0xFFFF;
    auto* bytes = (UCHAR*)buffer;
    for (ULONG i = 0; i < length; i++) {
        if (write) {
            sim::kernel::pci_config_write(bus, device, function, offset + i, 1, bytes[i]);
        } else {
            bytes[i] = (UCHAR)sim::kernel::pci_config_read(bus, device, function, offset + i, 1);
        }
    }
    return length;
}

ULONG bus_get(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length) {
    return bus_data(context, data_type, buffer, offset, length, false);
}

ULONG bus_set(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length) {
    return bus_data(context, data_type, buffer, offset, length, true);
}

}  // namespace

// Called as a device is deleted: its interfaces disappear.
void forget_interfaces(device_object* d) {
    std::lock_guard<std::mutex> g(io_mutex());
    for (auto& i : d->interfaces) {
        interface_names().erase(fold(i.link));
    }
    d->interfaces.clear();
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE device, PWDF_QUERY_INTERFACE_CONFIG config) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    auto* d = checked<device_object>(device, object_kind::device);
    if (config == nullptr || config->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG) || config->Interface == nullptr ||
        config->InterfaceType == nullptr || config->Interface->Size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    for (auto& o : d->offered) {
        if (same_guid(o.guid, *config->InterfaceType)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    auto* bytes = (const uint8_t*)config->Interface;
    d->offered.push_back({*config->InterfaceType, std::vector<uint8_t>(bytes, bytes + config->Interface->Size)});
    return STATUS_SUCCESS;
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE device, const GUID* interface_type, PINTERFACE interface, USHORT size,
                                 USHORT version, PVOID) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    auto* d = checked<device_object>(device, object_kind::device);
    if (interface == nullptr || interface_type == nullptr || size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    device_stack* stack = d->stack;
    if (stack == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    std::vector<uint8_t> found;
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        size_t at = 0;
        while (at < stack->devices.size() && stack->devices[at] != d) {
            at++;
        }
        for (size_t i = at; i-- > 0 && found.empty();) {
            for (auto& o : stack->devices[i]->offered) {
                auto* head = (const INTERFACE*)o.bytes.data();
                if (same_guid(o.guid, *interface_type) && o.bytes.size() >= size && head->Version >= version) {
                    found = o.bytes;
                    break;
                }
            }
        }
    }
    if (found.empty() && std::memcmp(interface_type, &GUID_BUS_INTERFACE_STANDARD, sizeof(GUID)) == 0 &&
        stack->description.physical_device != nullptr) {
        BUS_INTERFACE_STANDARD bus{};
        bus.Size = sizeof bus;
        bus.Version = 1;
        bus.Context = stack;
        bus.InterfaceReference = bus_noop;
        bus.InterfaceDereference = bus_noop;
        bus.GetBusData = bus_get;
        bus.SetBusData = bus_set;
        if (size <= sizeof bus && version <= 1) {
            found.assign((uint8_t*)&bus, (uint8_t*)&bus + sizeof bus);
        }
    }
    if (found.empty()) {
        return STATUS_NOT_SUPPORTED;
    }
    std::memcpy(interface, found.data(), size);
    interface->Size = size;
    interface->Version = version;
    if (interface->InterfaceReference != nullptr) {
        interface->InterfaceReference(interface->Context);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* interface_class_guid,
                                        PCUNICODE_STRING reference_string) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    auto* d = checked<device_object>(device, object_kind::device);
    std::lock_guard<std::mutex> g(io_mutex());
    if (find_interface(d, interface_class_guid, reference_string) != nullptr) {
        return STATUS_SUCCESS;
    }
    std::u16string instance = d->stack != nullptr ? d->stack->description.hardware_id : u"ROOT\\VELKOR";
    for (char16_t& c : instance) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    char location[32];
    std::snprintf(location, sizeof location, "#%p#", (void*)d);
    std::u16string link = u"\\??\\" + instance + widen(location) + widen(guid_text(*interface_class_guid));
    std::u16string ref = text_of(reference_string);
    if (!ref.empty()) {
        link += u"\\" + ref;
    }
    d->interfaces.push_back({*interface_class_guid, ref, link, false});
    interface_names()[fold(link)] = d;
    return STATUS_SUCCESS;
}

void WdfDeviceSetDeviceInterfaceState(WDFDEVICE device, const GUID* interface_class_guid,
                                      PCUNICODE_STRING reference_string, BOOLEAN is_interface_enabled) {
    auto* d = checked<device_object>(device, object_kind::device);
    std::lock_guard<std::mutex> g(io_mutex());
    device_object::device_interface* i = find_interface(d, interface_class_guid, reference_string);
    if (i != nullptr) {
        i->enabled = is_interface_enabled != FALSE;
    }
}

NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE device, const GUID* interface_class_guid,
                                                PCUNICODE_STRING reference_string, WDFSTRING string) {
    auto* d = checked<device_object>(device, object_kind::device);
    auto* s = checked<string_object>(string, object_kind::string);
    std::lock_guard<std::mutex> g(io_mutex());
    device_object::device_interface* i = find_interface(d, interface_class_guid, reference_string);
    if (i == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    s->text = i->link;
    return STATUS_SUCCESS;
}

namespace sim::kmdf {

WDFDEVICE device_of_interface(const std::u16string& interface_name) {
    std::lock_guard<std::mutex> g(io_mutex());
    auto it = interface_names().find(fold(interface_name));
    if (it == interface_names().end()) {
        return nullptr;
    }
    for (auto& i : it->second->interfaces) {
        if (fold(i.link) == fold(interface_name)) {
            return i.enabled ? (WDFDEVICE)it->second->handle() : nullptr;
        }
    }
    return nullptr;
}

}  // namespace sim::kmdf
