// Child lists and the PDOs of their children: descriptions, scans, iterations, and the creation,
// start, stop and removal of child devices.
#include "sim/kmdf/childlist.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "sim/kmdf/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {

struct child_entry {
    std::vector<uint8_t> description;  // the list's copy
    bool present = true;               // reported present (else missing: to be removed)
    bool reported = false;             // reported during the open scan
    bool busy = false;                 // being created or removed outside the lock
    device_object* pdo = nullptr;
};

struct child_list_object : object {
    child_list_object() : object(object_kind::child_list) {}
    void before_cleanup() override;
    device_object* device = nullptr;
    WDF_CHILD_LIST_CONFIG config{};
    std::recursive_mutex lock;
    std::vector<std::unique_ptr<child_entry>> entries;  // oldest first
    int scans = 0;       // open scans
    int iterations = 0;  // open iterations
    bool settling = false;
};

namespace {

using header = WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER;

WDFCHILDLIST handle_of(child_list_object* l) {
    return (WDFCHILDLIST)l->handle();
}

bool equal(child_list_object* l, const std::vector<uint8_t>& kept, const header* other) {
    auto* mine = (header*)kept.data();
    if (l->config.EvtChildListIdentificationDescriptionCompare != nullptr) {
        return l->config.EvtChildListIdentificationDescriptionCompare(handle_of(l), mine, (header*)other) != FALSE;
    }
    return other->IdentificationDescriptionSize == kept.size() && std::memcmp(kept.data(), other, kept.size()) == 0;
}

child_entry* find(child_list_object* l, const header* description) {
    for (auto& e : l->entries) {
        if (equal(l, e->description, description)) {
            return e.get();
        }
    }
    return nullptr;
}

void drop_description(child_list_object* l, child_entry* e) {
    if (l->config.EvtChildListIdentificationDescriptionCleanup != nullptr) {
        l->config.EvtChildListIdentificationDescriptionCleanup(handle_of(l), (header*)e->description.data());
    }
}

void set_power(device_object* d, bool in_d0) {
    std::lock_guard<std::mutex> g(io_mutex());
    d->in_d0 = in_d0;
    for (queue_object* q : d->queues) {
        present_held(q);
    }
    io_changed().notify_all();
}

// Starts a child device as PnP does after its creation: D0 entry, then self-managed I/O.
NTSTATUS start_child(device_object* d) {
    const auto& pnp = d->settings.pnp;
    WDFDEVICE h = (WDFDEVICE)d->handle();
    NTSTATUS status = pnp.EvtDeviceD0Entry != nullptr ? pnp.EvtDeviceD0Entry(h, WdfPowerDeviceD3Final) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    set_power(d, true);
    {
        // The device's interfaces go live with its start.
        std::lock_guard<std::mutex> g(io_mutex());
        for (auto& i : d->interfaces) {
            i.enabled = true;
        }
    }
    if (pnp.EvtDeviceSelfManagedIoInit != nullptr) {
        status = pnp.EvtDeviceSelfManagedIoInit(h);
        if (!NT_SUCCESS(status)) {
            set_power(d, false);
            if (pnp.EvtDeviceD0Exit != nullptr) {
                pnp.EvtDeviceD0Exit(h, WdfPowerDeviceD3Final);
            }
        }
    }
    return status;
}

// Stops and removes a started child: self-managed I/O suspended, D0 exit, flush and clean-up,
// then the device is deleted.
void remove_child(device_object* d) {
    const auto& pnp = d->settings.pnp;
    WDFDEVICE h = (WDFDEVICE)d->handle();
    if (pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
        pnp.EvtDeviceSelfManagedIoSuspend(h);
    }
    set_power(d, false);
    if (pnp.EvtDeviceD0Exit != nullptr) {
        pnp.EvtDeviceD0Exit(h, WdfPowerDeviceD3Final);
    }
    if (pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
        pnp.EvtDeviceSelfManagedIoFlush(h);
    }
    if (pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
        pnp.EvtDeviceSelfManagedIoCleanup(h);
    }
    delete_object(d);
}

// Creates the child of a description: the driver's create callback with a PDO's init, then the
// start. NULL when the callback fails or creates nothing, or the start fails.
device_object* create_child(child_list_object* l, std::vector<uint8_t>* description) {
    if (l->config.EvtChildListCreateDevice == nullptr) {
        return nullptr;
    }
    WDFDEVICE_INIT init;
    init.driver = l->device->driver;
    init.settings.pdo.is_pdo = true;
    NTSTATUS status = l->config.EvtChildListCreateDevice(handle_of(l), (header*)description->data(), &init);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)l->config.EvtChildListCreateDevice, KeGetCurrentIrql(), 0, 0);
    }
    if (!NT_SUCCESS(status) || init.created == nullptr) {
        if (init.created != nullptr) {
            delete_object(init.created);
        }
        return nullptr;
    }
    device_object* d = init.created;
    d->wdm->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!NT_SUCCESS(start_child(d))) {
        delete_object(d);
        return nullptr;
    }
    return d;
}

// Brings the children in line with the descriptions once no scan or iteration is open: missing
// descriptions lose their child and go, present ones without a child get one. Callbacks run
// without the list's lock; one thread settles at a time, and goes on until nothing is left.
void settle(child_list_object* l) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)l->handle());
    std::unique_lock<std::recursive_mutex> g(l->lock);
    if (l->settling || l->scans != 0 || l->iterations != 0) {
        return;
    }
    l->settling = true;
    for (;;) {
        if (l->scans != 0 || l->iterations != 0) {
            break;
        }
        child_entry* work = nullptr;
        for (auto& e : l->entries) {
            if (!e->present || e->pdo == nullptr) {
                work = e.get();
                break;
            }
        }
        if (work == nullptr) {
            break;
        }
        work->busy = true;
        if (!work->present) {
            device_object* pdo = work->pdo;
            work->pdo = nullptr;
            g.unlock();
            if (pdo != nullptr) {
                remove_child(pdo);
            }
            drop_description(l, work);
            g.lock();
            auto& list = l->entries;
            list.erase(std::find_if(list.begin(), list.end(), [work](auto& p) { return p.get() == work; }));
            continue;
        }
        std::vector<uint8_t> copy = work->description;
        g.unlock();
        device_object* pdo = create_child(l, &copy);
        g.lock();
        work->busy = false;
        if (pdo == nullptr) {
            // The child could not be made: its description goes, as PnP drops a child whose
            // start failed.
            work->present = false;
            continue;
        }
        if (!work->present) {
            work->pdo = pdo;  // reported missing meanwhile: removed on the next pass
            continue;
        }
        work->pdo = pdo;
    }
    l->settling = false;
}

}  // namespace

void child_list_object::before_cleanup() {
    std::vector<std::unique_ptr<child_entry>> gone;
    {
        std::lock_guard<std::recursive_mutex> g(lock);
        gone.swap(entries);
        scans = 0;
        iterations = 0;
    }
    for (auto& e : gone) {
        if (e->pdo != nullptr) {
            remove_child(e->pdo);
        }
        drop_description(this, e.get());
    }
}

NTSTATUS create_default_child_list(device_object* d) {
    auto* l = new child_list_object();
    NTSTATUS status = attach(l, nullptr, d);
    if (!NT_SUCCESS(status)) {
        discard(l);
        return status;
    }
    l->device = d;
    l->config = d->settings.child_list;
    d->child_list = l;
    return STATUS_SUCCESS;
}

}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

namespace {

child_list_object* list_of(WDFCHILDLIST handle) {
    return checked<child_list_object>(handle, object_kind::child_list);
}

}  // namespace

WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE fdo) {
    auto* d = checked<device_object>(fdo, object_kind::device);
    return d->child_list != nullptr ? (WDFCHILDLIST)d->child_list->handle() : nullptr;
}

WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST child_list) {
    return (WDFDEVICE)list_of(child_list)->device->handle();
}

void WdfChildListBeginScan(WDFCHILDLIST child_list) {
    auto* l = list_of(child_list);
    std::lock_guard<std::recursive_mutex> g(l->lock);
    if (l->scans++ == 0) {
        for (auto& e : l->entries) {
            e->reported = false;
        }
    }
}

void WdfChildListEndScan(WDFCHILDLIST child_list) {
    auto* l = list_of(child_list);
    {
        std::lock_guard<std::recursive_mutex> g(l->lock);
        if (l->scans == 0) {
            violation(0x80, (ULONG_PTR)child_list);  // no scan open
        }
        if (--l->scans == 0) {
            for (auto& e : l->entries) {
                if (!e->reported) {
                    e->present = false;
                }
            }
        }
    }
    settle(l);
}

NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(WDFCHILDLIST child_list,
                                                          PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER) {
    auto* l = list_of(child_list);
    if (identification == nullptr ||
        identification->IdentificationDescriptionSize != l->config.IdentificationDescriptionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::recursive_mutex> g(l->lock);
        child_entry* e = find(l, identification);
        if (e != nullptr) {
            e->present = true;
            e->reported = true;
        } else {
            auto added = std::make_unique<child_entry>();
            added->description.assign((uint8_t*)identification,
                                      (uint8_t*)identification + identification->IdentificationDescriptionSize);
            if (l->config.EvtChildListIdentificationDescriptionDuplicate != nullptr) {
                NTSTATUS status = l->config.EvtChildListIdentificationDescriptionDuplicate(
                    child_list, identification, (header*)added->description.data());
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            } else if (l->config.EvtChildListIdentificationDescriptionCopy != nullptr) {
                l->config.EvtChildListIdentificationDescriptionCopy(child_list, identification,
                                                                    (header*)added->description.data());
            }
            added->reported = true;
            l->entries.push_back(std::move(added));
        }
    }
    settle(l);
    return STATUS_SUCCESS;
}

NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(WDFCHILDLIST child_list,
                                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification) {
    auto* l = list_of(child_list);
    {
        std::lock_guard<std::recursive_mutex> g(l->lock);
        child_entry* e = find(l, identification);
        if (e == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        e->present = false;
    }
    settle(l);
    return STATUS_SUCCESS;
}

void WdfChildListBeginIteration(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR iterator) {
    auto* l = list_of(child_list);
    std::lock_guard<std::recursive_mutex> g(l->lock);
    l->iterations++;
    iterator->Reserved[0] = nullptr;  // the index of the next entry
}

namespace {

WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status_of(const child_entry* e) {
    if (!e->present) {
        return WdfChildListRetrieveDeviceNoSuchDevice;
    }
    return e->pdo != nullptr ? WdfChildListRetrieveDeviceSuccess : WdfChildListRetrieveDeviceNotYetCreated;
}

bool wanted(const child_entry* e, ULONG flags) {
    if (!e->present) {
        return (flags & WdfRetrieveMissingChildren) != 0;
    }
    return (flags & (e->pdo != nullptr ? WdfRetrievePresentChildren : WdfRetrievePendingChildren)) != 0;
}

void fill(child_list_object* l, const child_entry* e, PWDF_CHILD_RETRIEVE_INFO info) {
    if (info == nullptr) {
        return;
    }
    info->Status = status_of(e);
    header* out = info->IdentificationDescription;
    if (out != nullptr) {
        if (out->IdentificationDescriptionSize != e->description.size()) {
            violation(0x81, (ULONG_PTR)out);  // the caller's buffer is not a description of this list
        }
        if (l->config.EvtChildListIdentificationDescriptionCopy != nullptr) {
            l->config.EvtChildListIdentificationDescriptionCopy(handle_of(l), (header*)e->description.data(), out);
        } else {
            std::memcpy(out, e->description.data(), e->description.size());
        }
    }
}

}  // namespace

NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR iterator,
                                        WDFDEVICE* device, PWDF_CHILD_RETRIEVE_INFO info) {
    auto* l = list_of(child_list);
    std::lock_guard<std::recursive_mutex> g(l->lock);
    auto index = (size_t)iterator->Reserved[0];
    while (index < l->entries.size()) {
        child_entry* e = l->entries[index++].get();
        if (!wanted(e, iterator->Flags)) {
            continue;
        }
        iterator->Reserved[0] = (PVOID)index;
        *device = e->pdo != nullptr ? (WDFDEVICE)e->pdo->handle() : nullptr;
        fill(l, e, info);
        return STATUS_SUCCESS;
    }
    iterator->Reserved[0] = (PVOID)index;
    *device = nullptr;
    return STATUS_NO_MORE_ENTRIES;
}

void WdfChildListEndIteration(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR) {
    auto* l = list_of(child_list);
    {
        std::lock_guard<std::recursive_mutex> g(l->lock);
        if (l->iterations == 0) {
            violation(0x82, (ULONG_PTR)child_list);  // no iteration open
        }
        l->iterations--;
    }
    settle(l);
}

WDFDEVICE WdfChildListRetrievePdo(WDFCHILDLIST child_list, PWDF_CHILD_RETRIEVE_INFO info) {
    auto* l = list_of(child_list);
    std::lock_guard<std::recursive_mutex> g(l->lock);
    child_entry* e = find(l, info->IdentificationDescription);
    if (e == nullptr) {
        info->Status = WdfChildListRetrieveDeviceNoSuchDevice;
        return nullptr;
    }
    info->Status = status_of(e);
    return e->present && e->pdo != nullptr ? (WDFDEVICE)e->pdo->handle() : nullptr;
}

// ---- PDO initialisation

namespace {

std::u16string text(PCUNICODE_STRING s) {
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

bool is_pdo(PWDFDEVICE_INIT init) {
    return init != nullptr && init->settings.pdo.is_pdo;
}

}  // namespace

NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING device_id) {
    if (!is_pdo(device_init)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    device_init->settings.pdo.device_id = text(device_id);
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING hardware_id) {
    if (!is_pdo(device_init)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    device_init->settings.pdo.hardware_ids.push_back(text(hardware_id));
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING instance_id) {
    if (!is_pdo(device_init)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    device_init->settings.pdo.instance_id = text(instance_id);
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING compatible_id) {
    if (!is_pdo(device_init)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    device_init->settings.pdo.compatible_ids.push_back(text(compatible_id));
    return STATUS_SUCCESS;
}

NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT device_init, PCUNICODE_STRING device_description,
                                 PCUNICODE_STRING device_location, LCID locale_id) {
    if (!is_pdo(device_init)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    device_init->settings.pdo.texts.push_back({locale_id, text(device_description), text(device_location)});
    return STATUS_SUCCESS;
}

void WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT device_init, LCID locale_id) {
    if (is_pdo(device_init)) {
        device_init->settings.pdo.default_locale = locale_id;
    }
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES capabilities) {
    auto* d = checked<device_object>(device, object_kind::device);
    d->pnp_caps = *capabilities;
    d->has_pnp_caps = true;
}

namespace sim::kmdf {

std::vector<WDFDEVICE> child_devices(WDFDEVICE fdo) {
    std::vector<WDFDEVICE> out;
    auto* d = checked<device_object>(fdo, object_kind::device);
    if (d->child_list == nullptr) {
        return out;
    }
    std::lock_guard<std::recursive_mutex> g(d->child_list->lock);
    for (auto& e : d->child_list->entries) {
        if (e->present && e->pdo != nullptr) {
            out.push_back((WDFDEVICE)e->pdo->handle());
        }
    }
    return out;
}

ULONG child_descriptions(WDFDEVICE fdo) {
    auto* d = checked<device_object>(fdo, object_kind::device);
    if (d->child_list == nullptr) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> g(d->child_list->lock);
    return (ULONG)d->child_list->entries.size();
}

pdo_record pdo_record_of(WDFDEVICE pdo) {
    auto* d = checked<device_object>(pdo, object_kind::device);
    pdo_record r;
    const auto& p = d->settings.pdo;
    r.device_id = p.device_id;
    r.instance_id = p.instance_id;
    r.hardware_ids = p.hardware_ids;
    r.compatible_ids = p.compatible_ids;
    for (const auto& t : p.texts) {
        r.texts.push_back({t.locale, t.description, t.location});
    }
    r.default_locale = p.default_locale;
    r.has_pnp_caps = d->has_pnp_caps;
    r.pnp_caps = d->pnp_caps;
    r.device_type = d->wdm != nullptr ? d->wdm->DeviceType : 0;
    for (const auto& i : d->interfaces) {
        if (i.enabled) {
            r.interfaces.push_back(i.reference);
        }
    }
    return r;
}

}  // namespace sim::kmdf
