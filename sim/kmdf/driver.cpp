#include "sim/kmdf/driver.h"

#include <algorithm>

#include "sim/kernel/io_control.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {
namespace {

// Framework drivers by WDM driver object, newest last. One process may hold several drivers;
// WdfGetDriver answers with the newest, which is the one under test.
std::vector<driver_object*>& drivers() {
    static auto* list = new std::vector<driver_object*>();
    return *list;
}

// Deletes the framework's driver object (its EvtCleanupCallback runs).
void forget_driver(driver_object* d) {
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        auto& list = drivers();
        list.erase(std::remove(list.begin(), list.end(), d), list.end());
    }
    delete_object(d);
}

void framework_unload(PDRIVER_OBJECT wdm) {
    driver_object* d = driver_of(wdm);
    if (d == nullptr) {
        return;
    }
    if (d->config.EvtDriverUnload != nullptr) {
        d->config.EvtDriverUnload((WDFDRIVER)d->handle());
    }
    forget_driver(d);
}

// A driver entry that fails after WdfDriverCreate: the driver object goes without the
// driver's unload callback.
void entry_failed(PDRIVER_OBJECT wdm) {
    driver_object* d = driver_of(wdm);
    if (d != nullptr) {
        forget_driver(d);
    }
}

}  // namespace

driver_object* current_driver() {
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    return drivers().empty() ? nullptr : drivers().back();
}

driver_object* driver_of(PDRIVER_OBJECT wdm) {
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    for (driver_object* d : drivers()) {
        if (d->wdm == wdm) {
            return d;
        }
    }
    return nullptr;
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driver_object_, PCUNICODE_STRING registry_path,
                         PWDF_OBJECT_ATTRIBUTES driver_attributes, PWDF_DRIVER_CONFIG driver_config,
                         WDFDRIVER* driver) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)driver_object_);
    if (driver != nullptr) {
        *driver = nullptr;
    }
    if (driver_object_ == nullptr || driver_config == nullptr || driver_config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (driver_attributes != nullptr && driver_attributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;  // the driver is the root of the tree
    }
    if (driver_of(driver_object_) != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* d = new driver_object();
    d->wdm = driver_object_;
    d->config = *driver_config;
    if (registry_path != nullptr && registry_path->Buffer != nullptr) {
        d->registry_path.assign(registry_path->Buffer, registry_path->Length / sizeof(WCHAR));
    }
    NTSTATUS status = attach(d, driver_attributes, nullptr);
    if (!NT_SUCCESS(status)) {
        discard(d);
        return status;
    }
    driver_object_->DriverUnload = framework_unload;
    sim::kernel::set_entry_failure_undo(driver_object_, entry_failed);
    {
        std::lock_guard<std::recursive_mutex> g(tree_mutex());
        drivers().push_back(d);
    }
    if (driver != nullptr) {
        *driver = (WDFDRIVER)d->handle();
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver() {
    driver_object* d = current_driver();
    return d != nullptr ? (WDFDRIVER)d->handle() : nullptr;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver) {
    return checked<driver_object>(driver, object_kind::driver)->wdm;
}

WDFDRIVER WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT driver_object_) {
    driver_object* d = driver_of(driver_object_);
    return d != nullptr ? (WDFDRIVER)d->handle() : nullptr;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER driver) {
    return checked<driver_object>(driver, object_kind::driver)->registry_path.data();
}

namespace sim::kmdf {

void unload(PDRIVER_OBJECT driver_object_) {
    driver_object* d = driver_of(driver_object_);
    if (d != nullptr) {
        for (;;) {
            object* device = nullptr;
            {
                // A bus device goes before the children it created: its removal takes them
                // with it, in order.
                std::lock_guard<std::recursive_mutex> g(tree_mutex());
                for (auto it = d->children.rbegin(); it != d->children.rend(); ++it) {
                    if ((*it)->kind == object_kind::device &&
                        (device == nullptr || !static_cast<device_object*>(*it)->settings.pdo.is_pdo)) {
                        device = *it;
                        if (!static_cast<device_object*>(*it)->settings.pdo.is_pdo) {
                            break;
                        }
                    }
                }
            }
            if (device == nullptr) {
                break;
            }
            remove_device((WDFDEVICE)device->handle());
        }
    }
    sim::kernel::unload_driver(driver_object_);
}

}  // namespace sim::kmdf
