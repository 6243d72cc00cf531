// Plug and Play and power of a framework device: the driver's PnP and power callbacks, the
// hardware resources handed to it, the resource requirements it may filter, and the device's
// settings that PnP reads (capabilities, special files, bus information, stop and remove).
//
// The framework calls the callbacks of a device at PASSIVE_LEVEL, one at a time per device stack,
// in this order when the device starts:
//   EvtDeviceFilterAddResourceRequirements (before resources are assigned)
//   EvtDevicePrepareHardware -> EvtDeviceD0Entry -> interrupts connected ->
//   EvtDeviceD0EntryPostInterruptsEnabled -> power-managed queues started
// and when it powers down (to D3, or D3-final before removal):
//   power-managed queues stopped (requests the driver owns are waited for) ->
//   EvtDeviceD0ExitPreInterruptsDisabled -> interrupts disconnected (their DPCs flushed) ->
//   EvtDeviceD0Exit -> EvtDeviceReleaseHardware (removal only).
// When a start callback fails, the framework unwinds what it began: the exit callback of the
// failed stage runs and those of every earlier stage, in reverse (a failed D0 entry runs
// EvtDeviceD0Exit and EvtDeviceReleaseHardware; a failed post-interrupt entry runs
// EvtDeviceD0ExitPreInterruptsDisabled, disconnects the interrupts, then EvtDeviceD0Exit and
// EvtDeviceReleaseHardware; a failed prepare runs EvtDeviceReleaseHardware), each with the
// target state WdfPowerDeviceD3Final. The device then fails its start.
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/kmdf/device.h"
#include "sim/kmdf/types.h"

WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFIORESREQLIST);
WDF_DECLARE_HANDLE(WDFIORESLIST);

enum WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
};

using EVT_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated);
using EVT_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS(WDFDEVICE device, WDFCMRESLIST translated);
using EVT_WDF_DEVICE_D0_ENTRY = NTSTATUS(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state);
using EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED = NTSTATUS(WDFDEVICE device,
                                                                 WDF_POWER_DEVICE_STATE previous_state);
using EVT_WDF_DEVICE_D0_EXIT = NTSTATUS(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP = void(WDFDEVICE device);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH = void(WDFDEVICE device);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT = NTSTATUS(WDFDEVICE device);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND = NTSTATUS(WDFDEVICE device);
using EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART = NTSTATUS(WDFDEVICE device);
using EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED = NTSTATUS(WDFDEVICE device,
                                                                WDF_POWER_DEVICE_STATE target_state);
using EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS = NTSTATUS(WDFDEVICE device, WDFIORESREQLIST requirements);
using EVT_WDF_DEVICE_REMOVE_ADDED_RESOURCES = NTSTATUS(WDFDEVICE device, WDFCMRESLIST raw, WDFCMRESLIST translated);

struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    EVT_WDF_DEVICE_D0_ENTRY* EvtDeviceD0Entry;
    EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* EvtDeviceD0EntryPostInterruptsEnabled;
    EVT_WDF_DEVICE_D0_EXIT* EvtDeviceD0Exit;
    EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* EvtDeviceD0ExitPreInterruptsDisabled;
    EVT_WDF_DEVICE_PREPARE_HARDWARE* EvtDevicePrepareHardware;
    EVT_WDF_DEVICE_RELEASE_HARDWARE* EvtDeviceReleaseHardware;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* EvtDeviceSelfManagedIoCleanup;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* EvtDeviceSelfManagedIoFlush;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* EvtDeviceSelfManagedIoInit;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* EvtDeviceSelfManagedIoSuspend;
    EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* EvtDeviceSelfManagedIoRestart;
    PVOID EvtDeviceSurpriseRemoval;
    PVOID EvtDeviceQueryRemove;
    PVOID EvtDeviceQueryStop;
    PVOID EvtDeviceUsageNotification;
    PVOID EvtDeviceRelationsQuery;
    PVOID EvtDeviceUsageNotificationEx;
};
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    *callbacks = WDF_PNPPOWER_EVENT_CALLBACKS{};
    callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

struct WDF_FDO_EVENT_CALLBACKS {
    ULONG Size;
    EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS* EvtDeviceFilterAddResourceRequirements;
    EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS* EvtDeviceFilterRemoveResourceRequirements;
    EVT_WDF_DEVICE_REMOVE_ADDED_RESOURCES* EvtDeviceRemoveAddedResources;
};
using PWDF_FDO_EVENT_CALLBACKS = WDF_FDO_EVENT_CALLBACKS*;

inline void WDF_FDO_EVENT_CALLBACKS_INIT(PWDF_FDO_EVENT_CALLBACKS callbacks) {
    *callbacks = WDF_FDO_EVENT_CALLBACKS{};
    callbacks->Size = sizeof(WDF_FDO_EVENT_CALLBACKS);
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT device_init, PWDF_PNPPOWER_EVENT_CALLBACKS callbacks);
void WdfFdoInitSetEventCallbacks(PWDFDEVICE_INIT device_init, PWDF_FDO_EVENT_CALLBACKS callbacks);
void WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT device_init, BOOLEAN is_power_policy_owner);
// The device is a filter: requests it has no queue for pass to the device below.
void WdfFdoInitSetFilter(PWDFDEVICE_INIT device_init);
// The physical device object of the stack that the device belongs to.
PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT device_init);
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device);

// ---------------------------------------------------------------------------------------------
// Resources

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4

#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE 0x0002
#define CM_RESOURCE_INTERRUPT_POLICY_INCLUDED 0x0004

enum IRQ_DEVICE_POLICY {
    IrqPolicyMachineDefault = 0,
    IrqPolicyAllCloseProcessors,
    IrqPolicyOneCloseProcessor,
    IrqPolicyAllProcessorsInMachine,
    IrqPolicySpecifiedProcessors,
    IrqPolicySpreadMessagesAcrossAllProcessors,
};

enum IRQ_PRIORITY { IrqPriorityUndefined = 0, IrqPriorityLow, IrqPriorityNormal, IrqPriorityHigh };

struct CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            USHORT Level;
            USHORT Group;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            struct {
                USHORT Group;
                USHORT MessageCount;
                ULONG Vector;
                KAFFINITY Affinity;
            } Raw;
            struct {
                USHORT Level;
                USHORT Group;
                ULONG Vector;
                KAFFINITY Affinity;
            } Translated;
        } MessageInterrupt;
    } u;
};
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;

struct IO_RESOURCE_DESCRIPTOR {
    UCHAR Option;
    UCHAR Type;
    UCHAR ShareDisposition;
    UCHAR Spare1;
    USHORT Flags;
    USHORT Spare2;
    union {
        struct {
            ULONG Length;
            ULONG Alignment;
            PHYSICAL_ADDRESS MinimumAddress;
            PHYSICAL_ADDRESS MaximumAddress;
        } Memory;
        struct {
            ULONG MinimumVector;
            ULONG MaximumVector;
            IRQ_DEVICE_POLICY AffinityPolicy;
            USHORT Group;
            IRQ_PRIORITY PriorityPolicy;
            KAFFINITY TargetedProcessors;
        } Interrupt;
    } u;
};
using PIO_RESOURCE_DESCRIPTOR = IO_RESOURCE_DESCRIPTOR*;

ULONG WdfCmResourceListGetCount(WDFCMRESLIST list);
PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST list, ULONG index);

// A requirements list holds logical configurations; each is a list of descriptors.
ULONG WdfIoResourceRequirementsListGetCount(WDFIORESREQLIST requirements);
WDFIORESLIST WdfIoResourceRequirementsListGetIoResList(WDFIORESREQLIST requirements, ULONG index);
ULONG WdfIoResourceListGetCount(WDFIORESLIST list);
PIO_RESOURCE_DESCRIPTOR WdfIoResourceListGetDescriptor(WDFIORESLIST list, ULONG index);
void WdfIoResourceListUpdateDescriptor(WDFIORESLIST list, PIO_RESOURCE_DESCRIPTOR descriptor, ULONG index);

// ---------------------------------------------------------------------------------------------
// Device settings

struct WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    int DeviceState[7];  // DEVICE_POWER_STATE per system power state
    int DeviceWake;
    int SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    int IdealDxStateForSx;
};
using PWDF_DEVICE_POWER_CAPABILITIES = WDF_DEVICE_POWER_CAPABILITIES*;

enum DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD3 };
enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
};

inline void WDF_DEVICE_POWER_CAPABILITIES_INIT(PWDF_DEVICE_POWER_CAPABILITIES caps) {
    *caps = WDF_DEVICE_POWER_CAPABILITIES{};
    caps->Size = sizeof(WDF_DEVICE_POWER_CAPABILITIES);
    caps->DeviceD1 = WdfUseDefault;
    caps->DeviceD2 = WdfUseDefault;
    caps->WakeFromD0 = WdfUseDefault;
    caps->WakeFromD1 = WdfUseDefault;
    caps->WakeFromD2 = WdfUseDefault;
    caps->WakeFromD3 = WdfUseDefault;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = (ULONG)-1;
}
void WdfDeviceSetPowerCapabilities(WDFDEVICE device, PWDF_DEVICE_POWER_CAPABILITIES caps);

enum WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileBoot,
    WdfSpecialFileMax,
};
void WdfDeviceSetSpecialFileSupport(WDFDEVICE device, WDF_SPECIAL_FILE_TYPE file_type, BOOLEAN supported);

enum INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, PCIBus = 5, PNPBus = 15 };
struct PNP_BUS_INFORMATION {
    GUID BusTypeGuid;
    INTERFACE_TYPE LegacyBusType;
    ULONG BusNumber;
};
using PPNP_BUS_INFORMATION = PNP_BUS_INFORMATION*;
void WdfDeviceSetBusInformationForChildren(WDFDEVICE device, PPNP_BUS_INFORMATION bus_information);

// FALSE raises the device's count of requests that forbid stop and remove, TRUE lowers it.
// While it is raised, PnP's query-stop and query-remove are refused.
void WdfDeviceSetStaticStopRemove(WDFDEVICE device, BOOLEAN stoppable);
enum WDF_DEVICE_FAILED_ACTION { WdfDeviceFailedUndefined = 0, WdfDeviceFailedAttemptRestart, WdfDeviceFailedNoRestart };
void WdfDeviceSetFailed(WDFDEVICE device, WDF_DEVICE_FAILED_ACTION action);

// Device properties of the physical device, as the bus reports them.
enum DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyBusNumber = 14,
    DevicePropertyAddress = 16,
    DevicePropertyUINumber = 17,
};
// STATUS_BUFFER_TOO_SMALL (with *result_length) when the buffer is short; STATUS_INVALID_PARAMETER_2
// for a property the bus does not report.
NTSTATUS WdfDeviceQueryProperty(WDFDEVICE device, DEVICE_REGISTRY_PROPERTY property, ULONG buffer_length,
                                PVOID buffer, PULONG result_length);

// A WDM preprocessor for one major function and a list of its minor functions. The stand-in
// sends no WDM requests of its own yet: the registration is recorded.
using EVT_WDFDEVICE_WDM_IRP_PREPROCESS = NTSTATUS(WDFDEVICE device, PIRP irp);
using PFN_WDFDEVICE_WDM_IRP_PREPROCESS = EVT_WDFDEVICE_WDM_IRP_PREPROCESS*;
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT device_init,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback,
                                                     UCHAR major_function, PUCHAR minor_functions,
                                                     ULONG minor_function_count);
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
