#include "sim/machine/machine.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

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
        std::string file = options.state_directory + "/registry.txt";
        std::string error;
        struct stat existing{};
        bool absent = ::stat(file.c_str(), &existing) != 0 && errno == ENOENT;
        if (!absent && !sim::kernel::registry_load(file, &error)) {
            throw std::runtime_error(error);
        }
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

namespace {

// One source for the identity words: the controller's configuration. The card answers them (it
// owns the registers its channel reads at reset and set-up), the controller side the rest.
sim::card::CardConfig card_config(const card_options& options) {
    sim::card::CardConfig config = options.card;
    config.controller.controller_kind = options.controller.kind;
    config.controller.firmware_version = options.controller.fw_version;
    config.controller.build_word = options.controller.build_word;
    config.channel.ring_count = options.controller.cq_count & 0xF;
    config.controller.capability_bits = options.controller.capability_b() & ~0xF00u;
    return config;
}

}  // namespace

size_t Machine::plug(const card_options& options) {
    auto p = std::make_unique<plugged>();
    p->options = options;
    p->card = std::make_unique<sim::card::Card>(card_config(options));
    p->bar = std::make_unique<sim::card::ControllerBar>(*p->card, options.controller);
    p->card->set_controller(p->bar.get());
    if (options.controller.incomplete_reset) {
        p->card->inject("incomplete_reset");
    }
    if (options.controller.lock_busy_reads != 0) {
        p->card->inject("hw_lock", "busy=" + std::to_string(options.controller.lock_busy_reads) + " times=always");
    }
    PDEVICE_OBJECT pdo = p->card->plug(options.bus, options.device, options.function);
    p->bar_physical = p->card->bar_address();
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
    d.bar_length = sim::card::Card::bar_size;
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
    p.card->unplug();
}

bool Machine::stop(std::string* error) {
    if (stopped_) {
        if (error != nullptr) {
            *error = stop_error_;
        }
        return stop_error_.empty();
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
    if (!options_.state_directory.empty() &&
        !sim::kernel::registry_save(options_.state_directory + "/registry.txt", &stop_error_) && stop_error_.empty()) {
        stop_error_ = "cannot save the registry";
    }
    if (error != nullptr) {
        *error = stop_error_;
    }
    return stop_error_.empty();
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
