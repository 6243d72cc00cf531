// The card's function device: device add, the PCI identity and per-card configuration, the
// hardware resources, and the D0 callbacks that probe, start, stop and release the card.
#include "driver/controller/card.h"
#include "driver/card/hw_reset.h"
#include "driver/control/csr_dump_sections.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/steps.h"
#include "driver/platform/version.h"
#include "driver/shell/disk.h"
#include "driver/shell/shell.h"

namespace {

constexpr ULONG hardware_id_size = 1024;
constexpr ULONG control_bar_minimum = 65536;
// The card family's own subsystem ids, kept when the hardware id names none.
constexpr USHORT default_subsystem_vendor = 0x5EC7;
constexpr USHORT default_subsystem_device = 0x0010;

bool banner_printed = false;
LONG scsi_bus_id_copy = 0;

void kpav_noop(WDFOBJECT) {}

NTSTATUS kpav_noop_success(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    return STATUS_SUCCESS;
}

void kpav_noop_file(WDFFILEOBJECT) {}

void reference_string(ULONG number, WCHAR* buffer, UNICODE_STRING* text) {
    char narrow[16];
    int n = kpav_snprintf(narrow, sizeof narrow, "%u", number);
    for (int i = 0; i <= n; i++) {
        buffer[i] = (WCHAR)narrow[i];
    }
    text->Buffer = buffer;
    text->Length = (USHORT)(n * sizeof(WCHAR));
    text->MaximumLength = (USHORT)((n + 1) * sizeof(WCHAR));
}

void link_name(ULONG number, WCHAR* buffer, UNICODE_STRING* text) {
    char narrow[40];
    int n = kpav_snprintf(narrow, sizeof narrow, "\\DosDevices\\dov%d", (int)number);
    for (int i = 0; i <= n; i++) {
        buffer[i] = (WCHAR)narrow[i];
    }
    text->Buffer = buffer;
    text->Length = (USHORT)(n * sizeof(WCHAR));
    text->MaximumLength = (USHORT)((n + 1) * sizeof(WCHAR));
}

bool hex4(const WCHAR* text, USHORT* value) {
    USHORT v = 0;
    for (int i = 0; i < 4; i++) {
        WCHAR c = text[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) {
            return false;
        }
        v = (USHORT)(v << 4 | d);
    }
    *value = v;
    return true;
}

NTSTATUS read_parallel_attach(WDFDRIVER driver) {
    WDFKEY key;
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"parallel_attach");
        ULONG value = 0;
        if (NT_SUCCESS(WdfRegistryQueryULong(key, &name, &value))) {
            parallel_attach = (LONG)value;
        }
        WdfRegistryClose(key);
    }
    return status;
}

// ---- Device add, as steps on the device init; the framework deletes a device whose add failed.

struct add_context {
    WDFDRIVER driver;
    PWDFDEVICE_INIT init;
    WDFDEVICE device;
    FDO_CONTEXT* fdo;
};

int add_banner(void*) {
    if (!banner_printed) {
        banner_printed = true;
        kpav_print(KPAV_CLASS_NORMAL_TRACED, "Corvane Zelt v %s\r\nBuilt on %s %s\r\n", pav_version_string, __DATE__,
                   __TIME__);
    }
    return 0;
}

int add_parallel_attach(void* context) {
    read_parallel_attach(((add_context*)context)->driver);
    scsi_bus_id_copy = win_scsi_bus_id;
    return 0;
}

NTSTATUS FdoEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated);
NTSTATUS FdoEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST translated);
NTSTATUS FdoEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous);
NTSTATUS FdoEvtDeviceD0EntryPostInterruptsEnabled(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous);
NTSTATUS FdoEvtDeviceD0ExitPreInterruptsDisabled(WDFDEVICE device, WDF_POWER_DEVICE_STATE target);
NTSTATUS FdoEvtDeviceD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target);

int add_device_init(void* context) {
    auto* c = (add_context*)context;
    PWDFDEVICE_INIT init = c->init;
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_CONTROLLER);
    WdfDeviceInitSetExclusive(init, FALSE);
    WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = FdoEvtDevicePrepareHardware;
    pnp.EvtDeviceReleaseHardware = FdoEvtDeviceReleaseHardware;
    pnp.EvtDeviceD0Entry = FdoEvtDeviceD0Entry;
    pnp.EvtDeviceD0EntryPostInterruptsEnabled = FdoEvtDeviceD0EntryPostInterruptsEnabled;
    pnp.EvtDeviceD0ExitPreInterruptsDisabled = FdoEvtDeviceD0ExitPreInterruptsDisabled;
    pnp.EvtDeviceD0Exit = FdoEvtDeviceD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_FDO_EVENT_CALLBACKS fdo;
    WDF_FDO_EVENT_CALLBACKS_INIT(&fdo);
    fdo.EvtDeviceFilterAddResourceRequirements = FdoEvtDeviceFilterAddResourceRequirements;
    fdo.EvtDeviceRemoveAddedResources = kpav_noop_success;
    WdfFdoInitSetEventCallbacks(init, &fdo);
    return 0;
}

// The relations preprocessor of parallel attach; the attach itself joins with the child disks.
NTSTATUS PavParallelAttachPreprocess(WDFDEVICE, PIRP) {
    return STATUS_SUCCESS;
}

int add_preprocessor(void* context) {
    auto* c = (add_context*)context;
    if (parallel_attach == 0) {
        return 0;
    }
    UCHAR minor = IRP_MN_QUERY_DEVICE_RELATIONS;
    NTSTATUS status = WdfDeviceInitAssignWdmIrpPreprocessCallback(c->init, PavParallelAttachPreprocess, IRP_MJ_PNP,
                                                                   &minor, 1);
    if (!NT_SUCCESS(status)) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    "Unable to Register IRP preprocessor for parallel driver loading, status = 0x%x\n", status);
    }
    return 0;
}

int add_file_objects(void* context) {
    auto* c = (add_context*)context;
    WDF_FILEOBJECT_CONFIG config;
    WDF_FILEOBJECT_CONFIG_INIT(&config, FdoEvtDeviceFileCreate, nullptr, kpav_noop_file);
    config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILEOBJECT_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(c->init, &config, &attributes);
    return 0;
}

int add_child_list(void* context) {
    auto* c = (add_context*)context;
    PavDiskConfigureChildList(c->init);
    return 0;
}

int add_power_policy(void* context) {
    auto* c = (add_context*)context;
    WdfDeviceInitSetPowerPolicyOwnership(c->init, TRUE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PAV_IO_REQUEST);
    WdfDeviceInitSetRequestAttributes(c->init, &attributes);
    return 0;
}

// The control device's records are reached on the caller's thread, before the queue has them.
int add_caller_context(void* context) {
    auto* c = (add_context*)context;
    WdfDeviceInitSetIoInCallerContextCallback(c->init, FdoEvtIoInCallerContext);
    return 0;
}

int add_create_device(void* context) {
    auto* c = (add_context*)context;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_CONTEXT);
    attributes.EvtCleanupCallback = kpav_noop;
    NTSTATUS status = WdfDeviceCreate(&c->init, &attributes, &c->device);
    if (!NT_SUCCESS(status)) {
        return -KPAV_ENODEV;
    }
    c->fdo = PavGetFdoContext(c->device);
    RtlZeroMemory(c->fdo, sizeof(FDO_CONTEXT));
    GetPavPciInfo(c->fdo, c->device);
    c->fdo->pdev.card_ops = &pav_shell_card_ops;
    c->fdo->device = c->device;
    c->fdo->bugcheck.registered = FALSE;
    return 0;
}

int add_config_defaults(void* context) {
    auto* c = (add_context*)context;
    NTSTATUS status = PavGetConfigDefaults(c->driver, c->fdo);
    if (!NT_SUCCESS(status)) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    "%s: Unable to read the default configuration parameters, status = 0x%x.\n",
                    c->fdo->pdev.location, status);
    }
    if (parallel_attach != 0) {
        c->fdo->parallel_attach_pending = TRUE;
        KeInitializeEvent(&c->fdo->start_event, SynchronizationEvent, FALSE);
        c->fdo->start_status = STATUS_UNSUCCESSFUL;
    }
    return 0;
}

int add_queue(void* context) {
    auto* c = (add_context*)context;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfTrue;
    config.DefaultQueue = FALSE;
    config.Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    config.EvtIoDeviceControl = FdoEvtIoDeviceControl;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    NTSTATUS status = WdfIoQueueCreate(c->device, &config, &attributes, &c->fdo->queue);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceConfigureRequestDispatching(c->device, c->fdo->queue, WdfRequestTypeDeviceControl);
    }
    return NT_SUCCESS(status) ? 0 : -KPAV_ENOMEM;
}

int add_bus_information(void* context) {
    auto* c = (add_context*)context;
    PNP_BUS_INFORMATION bus{GUID_PAV_CHILD_BUS, PNPBus, 0};
    WdfDeviceSetBusInformationForChildren(c->device, &bus);
    return 0;
}

int add_interrupts(void* context) {
    auto* c = (add_context*)context;
    pav_multiq = enable_multq_at_load != 0;
    ULONG count = pav_multiq ? PAV_MAX_INTERRUPTS : 1;
    for (ULONG i = 0; i < count; i++) {
        WDF_INTERRUPT_CONFIG config;
        WDF_INTERRUPT_CONFIG_INIT(&config, FdoEvtInterruptIsr, FdoEvtInterruptDpc);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, INTERRUPT_CONTEXT);
        NTSTATUS status = WdfInterruptCreate(c->device, &config, &attributes, &c->fdo->interrupts[i]);
        if (!NT_SUCCESS(status)) {
            return -KPAV_ENOMEM;
        }
        INTERRUPT_CONTEXT* ic = PavGetInterruptContext(c->fdo->interrupts[i]);
        if (ic == nullptr) {
            return -KPAV_ENOMEM;
        }
        RtlZeroMemory(ic, sizeof *ic);
        ic->pdev = &c->fdo->pdev;
        ic->index = i;
        ic->affinity = c->fdo->affinity_mask;
    }
    return 0;
}

int add_power_capabilities(void* context) {
    auto* c = (add_context*)context;
    WDF_DEVICE_POWER_CAPABILITIES caps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&caps);
    caps.DeviceD1 = WdfFalse;
    caps.DeviceD2 = WdfFalse;
    caps.WakeFromD0 = caps.WakeFromD1 = caps.WakeFromD2 = caps.WakeFromD3 = WdfFalse;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) {
        caps.DeviceState[s] = PowerDeviceD3;
    }
    caps.IdealDxStateForSx = PowerDeviceD3;
    WdfDeviceSetPowerCapabilities(c->device, &caps);
    WdfDeviceSetSpecialFileSupport(c->device, WdfSpecialFilePaging, TRUE);
    WdfDeviceSetSpecialFileSupport(c->device, WdfSpecialFileHibernation, FALSE);
    WdfDeviceSetSpecialFileSupport(c->device, WdfSpecialFileDump, TRUE);
    return 0;
}

const kpav_step add_steps[] = {
    {"build banner", add_banner, nullptr},
    {"parallel attach setting", add_parallel_attach, nullptr},
    {"device init", add_device_init, nullptr},
    {"IRP preprocessor", add_preprocessor, nullptr},
    {"file objects", add_file_objects, nullptr},
    {"child list", add_child_list, nullptr},
    {"power policy", add_power_policy, nullptr},
    {"caller context", add_caller_context, nullptr},
    {"device", add_create_device, nullptr},
    {"configuration", add_config_defaults, nullptr},
    {"device-control queue", add_queue, nullptr},
    {"bus information", add_bus_information, nullptr},
    {"interrupts", add_interrupts, nullptr},
    {"power capabilities", add_power_capabilities, nullptr},
};

FDO_CONTEXT* context_of(WDFDEVICE device) {
    return PavGetFdoContext(device);
}

// ---- PnP and power

NTSTATUS FdoEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST translated) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    ULONG messages = 0;
    for (ULONG i = 0; i < WdfCmResourceListGetCount(translated); i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = WdfCmResourceListGetDescriptor(translated, i);
        if (d->Type == CmResourceTypeInterrupt && (d->Flags & CM_RESOURCE_INTERRUPT_MESSAGE) != 0) {
            c->message_signalled = TRUE;
            messages++;
        } else if (d->Type == CmResourceTypeMemory && d->u.Memory.Length >= control_bar_minimum) {
            if (c->bar != nullptr) {
                MmUnmapIoSpace(c->bar, c->bar_length);  // a later large range replaces it
            }
            c->bar_physical = (ULONG64)d->u.Memory.Start.QuadPart;
            c->bar_length = d->u.Memory.Length;
            c->bar = MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
            if (c->bar == nullptr) {
                kpav_syslog(KPAV_LEVEL_ERROR, nullptr, 6145,
                            "Failed to map control bar at physical address 0x%llx, length %lu\n", c->bar_physical,
                            (unsigned long)c->bar_length);
                return (NTSTATUS)0xC0000205;
            }
        }
    }
    if (c->bar == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, nullptr, 6146, "Control BAR has not been set!\n");
        return STATUS_UNSUCCESSFUL;
    }
    c->pdev.fdo = c;
    c->pdev.bar = c->bar;
    c->pdev.bar_length = c->bar_length;
    c->pdev.message_signalled = c->message_signalled;
    c->pdev.message_count = messages;
    c->message_count = messages;
    for (ULONG i = 0; i < PAV_MAX_INTERRUPTS && c->interrupts[i] != nullptr; i++) {
        INTERRUPT_CONTEXT* ic = PavGetInterruptContext(c->interrupts[i]);
        WDF_INTERRUPT_INFO_INIT(&ic->info);
        WdfInterruptGetInfo(c->interrupts[i], &ic->info);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FdoEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    if (c->bar != nullptr) {
        MmUnmapIoSpace(c->bar, c->bar_length);
        c->bar = nullptr;
        c->pdev.bar = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FdoEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    if (WdfDeviceWdmGetDeviceObject(device) == nullptr || probe_device(&c->pdev) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (c->pdev.probe != nullptr && !c->message_signalled) {
        c->pdev.probe->message_interrupts = FALSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FdoEvtDeviceD0EntryPostInterruptsEnabled(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    if (WdfDeviceWdmGetDeviceObject(device) == nullptr || start_controller(&c->pdev) != STATUS_SUCCESS) {
        return STATUS_UNSUCCESSFUL;
    }
    WCHAR buffer[16];
    UNICODE_STRING reference;
    reference_string(c->card_number, buffer, &reference);
    WdfDeviceSetDeviceInterfaceState(device, &GUID_PAV_CARD_INTERFACE, &reference, c->card != nullptr);
    WdfIoQueueStart(c->queue);
    kpav_print(KPAV_CLASS_NORMAL_TRACED, "dov%d at %04x:%02x:%02x.%01x\n", (int)c->card_number, c->pdev.domain,
               c->pdev.bus, c->pdev.device, c->pdev.function);
    if (parallel_attach != 0) {
        c->start_status = STATUS_SUCCESS;
        KeSetEvent(&c->start_event, 0, FALSE);
    }
    return STATUS_SUCCESS;
}

bool takes_card_down(WDF_POWER_DEVICE_STATE target) {
    return target == WdfPowerDeviceD3 || target == WdfPowerDeviceD3Final;
}

NTSTATUS FdoEvtDeviceD0ExitPreInterruptsDisabled(WDFDEVICE device, WDF_POWER_DEVICE_STATE target) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    if (parallel_attach != 0) {
        c->parallel_attach_pending = TRUE;
        // A later start must not find this start's result (its card record goes now).
        c->start_status = STATUS_UNSUCCESSFUL;
        KeClearEvent(&c->start_event);
    }
    if (!takes_card_down(target)) {
        return STATUS_SUCCESS;
    }
    WdfIoQueueStop(c->queue, nullptr, nullptr);
    if (c->pdev.probe != nullptr && c->card != nullptr) {
        PavUnregisterCardInterfaces(c);
    }
    if (c->pdev.probe != nullptr) {
        cq_enable_windows(c->pdev.probe);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FdoEvtDeviceD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target) {
    PAGED_CODE();
    FDO_CONTEXT* c = context_of(device);
    if (!takes_card_down(target)) {
        return STATUS_SUCCESS;
    }
    if (c->bugcheck.registered) {
        kpav_deregister_bugcheck_callback(&c->bugcheck);
    }
    release_device(&c->pdev);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FdoEvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT device_init) {
    PAGED_CODE();
    add_context context{driver, device_init, nullptr, nullptr};
    kpav_step_run run;
    int rc = kpav_steps_run(&run, add_steps, ARRAYSIZE(add_steps), &context, KPAV_DRIVER_COMPONENT);
    if (rc != 0) {
        return rc == -KPAV_ENODEV ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void GetPavPciInfo(FDO_CONTEXT* context, WDFDEVICE device) {
    PAGED_CODE();
    pci_dev* pdev = &context->pdev;
    pdev->vendor_id = pdev->device_id = 0;
    pdev->domain = 0;
    pdev->bus = pdev->device = pdev->function = 0;
    pdev->slot = 0;
    pdev->subsystem_vendor_id = default_subsystem_vendor;
    pdev->subsystem_device_id = default_subsystem_device;
    // Configuration requests go to the stack's bus device, which serves them.
    pdev->device_object = WdfDeviceWdmGetPhysicalDevice(device);
    if (pdev->device_object == nullptr) {
        pdev->device_object = WdfDeviceWdmGetDeviceObject(device);
    }

    auto* ids = (WCHAR*)ExAllocatePoolWithTagPriority(kpav_pool_type, hardware_id_size, kpav_tag("reg4"),
                                                      HighPoolPriority);
    if (ids == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6147,
                    "GetPavPciInfo - ExAllocatePoolWithTagPriority failed!\n");
    } else {
        ULONG length = 0;
        if (NT_SUCCESS(WdfDeviceQueryProperty(device, DevicePropertyHardwareID, hardware_id_size, ids, &length))) {
            ULONG chars = length / sizeof(WCHAR);
            for (ULONG i = 0; i < chars; i++) {
                if (ids[i] >= 'a' && ids[i] <= 'z') {
                    ids[i] = (WCHAR)(ids[i] - 'a' + 'A');
                }
            }
            const WCHAR key[] = u"SUBSYS_";
            for (ULONG i = 0; i + 7 <= chars; i++) {
                ULONG k = 0;
                while (k < 7 && ids[i + k] == key[k]) {
                    k++;
                }
                if (k < 7) {
                    continue;
                }
                // Eight hex digits must follow; anything else keeps the defaults.
                USHORT subsystem_device;
                USHORT subsystem_vendor;
                if (i + 15 <= chars && hex4(ids + i + 7, &subsystem_device) && hex4(ids + i + 11, &subsystem_vendor)) {
                    pdev->subsystem_device_id = subsystem_device;
                    pdev->subsystem_vendor_id = subsystem_vendor;
                }
                break;
            }
        }
        ExFreePoolWithTag(ids, kpav_tag("reg4"));
    }
    ULONG value = 0;
    ULONG length = 0;
    if (NT_SUCCESS(WdfDeviceQueryProperty(device, DevicePropertyBusNumber, sizeof value, &value, &length))) {
        pdev->bus = (UCHAR)(value & 0xFF);
        pdev->domain = (USHORT)(value >> 8);
    }
    if (NT_SUCCESS(WdfDeviceQueryProperty(device, DevicePropertyAddress, sizeof value, &value, &length))) {
        pdev->device = (UCHAR)(value >> 16);
        pdev->function = (UCHAR)(value & 0xFFFF);
    }
    if (NT_SUCCESS(WdfDeviceQueryProperty(device, DevicePropertyUINumber, sizeof value, &value, &length))) {
        pdev->slot = (UCHAR)value;
    }
    BUS_INTERFACE_STANDARD bus{};
    if (NT_SUCCESS(WdfFdoQueryForInterface(device, &GUID_BUS_INTERFACE_STANDARD, (PINTERFACE)&bus, sizeof bus, 1,
                                           nullptr))) {
        UCHAR config[64];
        if (bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, config, 0, 64) == 64) {
            pdev->vendor_id = (USHORT)(config[0] | config[1] << 8);
            pdev->device_id = (USHORT)(config[2] | config[3] << 8);
        }
        bus.InterfaceDereference(bus.Context);
    }
    kpav_snprintf(pdev->location, sizeof pdev->location, "(%d,%d)", pdev->bus, pdev->slot);
    kpav_snprintf(pdev->name, sizeof pdev->name, "%04x:%02x:%02x.%01x", pdev->domain, pdev->bus, pdev->device,
                  pdev->function);
}

NTSTATUS PavGetConfigDefaults(WDFDRIVER driver, FDO_CONTEXT* context) {
    PAGED_CODE();
    if (context->pdev.subsystem_vendor_id == 0 && context->pdev.subsystem_device_id == 0) {
        // Named by its location: the card's number is not known before it starts.
        kpav_syslog(KPAV_LEVEL_ERROR, nullptr, 6148,
                    "%s: fdoContext->pci_dev has not been initialized in PavGetConfigDefaults().  Some configuration "
                    "parameters may have no effect.",
                    context->pdev.location);
    }
    WDFKEY key;
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG size = kpav_param_count() * KPAV_PARAM_NAME_SIZE;
    auto* names = (char*)kpav_zalloc(size == 0 ? 1 : size, kpav_tag("cfg4"));
    if (names == nullptr) {
        WdfRegistryClose(key);
        return (NTSTATUS)0x801C0001;
    }
    ULONG length = 0;
    if (kpav_param_list(&length, names, size) != 0) {
        kpav_free(names, kpav_tag("cfg4"));
        WdfRegistryClose(key);
        return KPAV_PARAM_NOT_APPLIED;
    }
    for (ULONG at = 0; at < length && names[at] != 0;) {
        PavReadWdfRegistryParameter(key, names + at);
        while (at < length && names[at] != 0) {
            at++;
        }
        at++;
    }
    kpav_free(names, kpav_tag("cfg4"));
    PavSetAffinityDefaults(context);
    LONG block = win_block_size;
    context->block_size = block >= 512 && (block & (block - 1)) == 0 ? (ULONG)block : 0;
    WdfRegistryClose(key);
    return STATUS_SUCCESS;
}

NTSTATUS PavRegisterCardInterfaces(pci_dev* pdev, pipeline_device* card) {
    PAGED_CODE();
    FDO_CONTEXT* c = pdev->fdo;
    c->card_number = card->card_number;
    WritePointerRelease((PVOID volatile*)&c->card, nullptr);  // the ISR reads it
    if (start_device(pdev, card, c) != 0) {
        stop_device(card, 0);
        csr_dump_free(card);
        return STATUS_UNSUCCESSFUL;
    }
    WritePointerRelease((PVOID volatile*)&c->card, card);
    WCHAR buffer[16];
    UNICODE_STRING reference;
    reference_string(c->card_number, buffer, &reference);
    WDFSTRING string = nullptr;
    NTSTATUS status = WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceCreateDeviceInterface(c->device, &GUID_PAV_CARD_INTERFACE, &reference);
    }
    if (NT_SUCCESS(status)) {
        kpav_register_bugcheck_callback(&c->bugcheck, card);
        status = WdfDeviceRetrieveDeviceInterfaceString(c->device, &GUID_PAV_CARD_INTERFACE, &reference, string);
    }
    if (NT_SUCCESS(status)) {
        WCHAR link_buffer[40];
        UNICODE_STRING link;
        link_name(c->card_number, link_buffer, &link);
        UNICODE_STRING target;
        WdfStringGetUnicodeString(string, &target);
        status = IoCreateSymbolicLink(&link, &target);
    }
    if (string != nullptr) {
        WdfObjectDelete(string);
    }
    if (!NT_SUCCESS(status)) {
        WdfDeviceSetDeviceInterfaceState(c->device, &GUID_PAV_CARD_INTERFACE, &reference, FALSE);
        // The card pointer goes with the card: the exit path must not stop it again.
        WritePointerRelease((PVOID volatile*)&c->card, nullptr);  // the ISR reads it
        stop_device(card, 0);
        csr_dump_free(card);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PavQueryRegistryInterface(pci_dev* pdev, DRIVER_REGISTRY_INTERFACE* interface) {
    PAGED_CODE();
    FDO_CONTEXT* c = pdev->fdo;
    if (c == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return WdfFdoQueryForInterface(c->device, &GUID_DRIVER_REGISTRY_INTERFACE, (PINTERFACE)interface,
                                   sizeof *interface, DRIVER_REGISTRY_INTERFACE_VERSION, nullptr);
}

void PavUnregisterCardInterfaces(FDO_CONTEXT* context) {
    PAGED_CODE();
    WCHAR link_buffer[40];
    UNICODE_STRING link;
    link_name(context->card_number, link_buffer, &link);
    IoDeleteSymbolicLink(&link);
    WCHAR buffer[16];
    UNICODE_STRING reference;
    reference_string(context->card_number, buffer, &reference);
    WdfDeviceSetDeviceInterfaceState(context->device, &GUID_PAV_CARD_INTERFACE, &reference, FALSE);
    stop_device(context->card, 0);
    csr_dump_free(context->card);
    WritePointerRelease((PVOID volatile*)&context->card, nullptr);  // the ISR reads it
    context->attached_store = nullptr;  // it went with the card
}

// A failed channel is reported to the framework as a device that failed, without restart.
bool PavReportDeviceFailed(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    FDO_CONTEXT* fdo = card->fdo;
    if (fdo == nullptr || fdo->device == nullptr) {
        return false;
    }
    WdfDeviceSetFailed(fdo->device, WdfDeviceFailedNoRestart);
    return true;
}

// The register dumps' sections come from the diagnostics' printers.
constexpr card_ops pav_shell_card_ops = {
    PavRegisterCardInterfaces,
    PavQueryRegistryInterface,
    PavReportDeviceFailed,
    csr_dump_sections,
};
