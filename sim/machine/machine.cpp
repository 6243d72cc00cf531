#include "sim/machine/machine.h"

#include <cstdio>

#include "registry_driver/orrimand.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/mmio_control.h"
#include "sim/kernel/pci_bus.h"
#include "sim/kernel/pnp_control.h"
#include "sim/kernel/registry_control.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path);

namespace sim::machine {
namespace {

std::u16string widen(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v & 0xFFFF);
    return text;
}

}  // namespace

const char* Machine::service_key(const char* driver) {
    static thread_local std::string path;
    path = std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + driver;
    return path.c_str();
}

Machine::Machine(const machine_options& options) : options_(options) {
    sim::kernel::boot(options.kernel);
    if (!options.state_directory.empty()) {
        sim::kernel::registry_load(options.state_directory + "/registry.txt");
    }
    for (const char* driver : {"orrimand", "strovane"}) {
        sim::kernel::registry_create_key(std::string(service_key(driver)) + "\\Parameters");
    }
}

Machine::~Machine() {
    stop();
}

NTSTATUS Machine::load_drivers() {
    NTSTATUS status = sim::kernel::load_driver("orrimand", orrimand::DriverEntry, &orrimand_);
    if (!NT_SUCCESS(status)) {
        orrimand_ = nullptr;
        return status;
    }
    status = sim::kernel::load_driver("strovane", DriverEntry, &strovane_);
    if (!NT_SUCCESS(status)) {
        strovane_ = nullptr;
    }
    return status;
}

size_t Machine::plug(const card_options& options) {
    auto p = std::make_unique<plugged>();
    p->options = options;
    p->card = std::make_unique<sim::card::Card>(options.card);
    p->bar = std::make_unique<sim::card::ControllerBar>(*p->card, options.controller);
    p->bar_physical = sim::kernel::mmio_allocate_range(sim::card::ControllerBar::bar_size);
    sim::kernel::mmio_attach(p->bar_physical, sim::card::ControllerBar::bar_size, p->bar.get());
    PDEVICE_OBJECT pdo = sim::kernel::pci_plug(options.bus, options.device, options.function, p->card.get());
    sim::kernel::set_device_numa_node(pdo, options.numa_node);

    sim::kmdf::device_description d;
    d.physical_device = pdo;
    const auto& pci = options.card.pci;
    std::string id = "PCI\\VEN_" + hex4(pci.vendor) + "&DEV_" + hex4(pci.device);
    if (!options.hardware_id_without_subsys) {
        id += "&SUBSYS_" + hex4(pci.subsys_device) + hex4(pci.subsys_vendor);
    }
    id += "&REV_01";
    d.hardware_id = widen(id);
    d.bus_number = options.bus;
    d.address = options.device << 16 | options.function;
    d.ui_number = options.slot;
    d.bar_physical = p->bar_physical;
    d.bar_length = sim::card::ControllerBar::bar_size;
    d.messages = options.messages;
    p->stack = sim::kmdf::stack_create(d);
    p->status = STATUS_NO_SUCH_DEVICE;
    if (orrimand_ != nullptr &&
        NT_SUCCESS(sim::kmdf::stack_add_driver(p->stack, WdfWdmDriverGetWdfDriverHandle(orrimand_)))) {
        p->status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(p->status) && strovane_ != nullptr) {
        p->status = sim::kmdf::stack_add_driver(p->stack, WdfWdmDriverGetWdfDriverHandle(strovane_));
        if (NT_SUCCESS(p->status)) {
            p->status = sim::kmdf::stack_start(p->stack);
        }
    }
    std::lock_guard<std::mutex> g(mutex_);
    cards_.push_back(std::move(p));
    return cards_.size() - 1;
}

bool Machine::started(size_t card) const {
    return !cards_[card]->removed && sim::kmdf::stack_started(cards_[card]->stack);
}

NTSTATUS Machine::start_status(size_t card) const {
    return cards_[card]->status;
}

WDFDEVICE Machine::function_device(size_t index) {
    return cards_[index]->removed ? nullptr : sim::kmdf::stack_top(cards_[index]->stack);
}

void Machine::unplug(size_t index) {
    plugged& p = *cards_[index];
    if (p.removed) {
        return;
    }
    p.removed = true;
    sim::kmdf::stack_remove(p.stack);
    p.stack = nullptr;
    sim::kernel::pci_unplug(p.options.bus, p.options.device, p.options.function);
    sim::kernel::mmio_detach(p.bar_physical);
}

void Machine::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    for (size_t i = cards_.size(); i-- > 0;) {
        unplug(i);
    }
    if (strovane_ != nullptr) {
        sim::kmdf::unload(strovane_);
        strovane_ = nullptr;
    }
    if (orrimand_ != nullptr) {
        sim::kmdf::unload(orrimand_);
        orrimand_ = nullptr;
    }
    if (!options_.state_directory.empty()) {
        sim::kernel::registry_save(options_.state_directory + "/registry.txt");
    }
}

NTSTATUS Machine::open(const std::string& name, WDFFILEOBJECT* file) {
    *file = nullptr;
    std::string link = name;
    if (link.rfind("\\\\.\\", 0) == 0) {
        link = "\\DosDevices\\" + link.substr(4);
    }
    auto target = sim::kernel::symbolic_link_target(widen(link));
    if (!target) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    WDFDEVICE device = sim::kmdf::device_of_interface(*target);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return sim::kmdf::open_device(device, file);
}

NTSTATUS Machine::device_control(WDFFILEOBJECT file, ULONG code, void* buffer, ULONG input_length,
                                 ULONG output_length, ULONG_PTR* information) {
    *information = 0;
    if (!sim::kmdf::file_open(file)) {
        return STATUS_INVALID_HANDLE;
    }
    return sim::kmdf::device_control(WdfFileObjectGetDevice(file), file, code, buffer, input_length, output_length,
                                     information);
}

void Machine::close(WDFFILEOBJECT file) {
    sim::kmdf::close_device(file);
}

}  // namespace sim::machine
