// Child lists of bus devices and the physical device objects (PDOs) of their children.
//
// A bus device's default child list holds one identification description per child. A
// description reported present gets a child device: the list calls EvtChildListCreateDevice
// with a WDFDEVICE_INIT for a PDO, starts the device it creates (EvtDeviceD0Entry, then
// self-managed I/O) and keeps it until the description is reported missing, when the child is
// stopped (self-managed I/O suspended, D0 exit, flushed, cleaned up) and removed. Descriptions
// are compared byte for byte unless the list has a compare callback, and copied with the
// duplicate callback (else byte for byte); each copy the list drops goes through the clean-up
// callback.
//
// While a scan (BeginScan to EndScan) or an iteration (BeginIteration to EndIteration) is open,
// reports change the descriptions at once but children are created and removed only when the
// last of them ends. A scan marks missing every child not reported between its begin and end.
// Children are created and removed on the thread that ends the last scan or iteration (or that
// reports outside them), at PASSIVE_LEVEL.
#pragma once

#include "sim/kmdf/device.h"
#include "sim/kmdf/types.h"

WDF_DECLARE_HANDLE(WDFCHILDLIST);

struct WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;
};
using PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER = WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*;

struct WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize;
};
using PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER = WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*;

using EVT_WDF_CHILD_LIST_CREATE_DEVICE = NTSTATUS(WDFCHILDLIST child_list,
                                                  PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                                  PWDFDEVICE_INIT child_init);
using EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN = void(WDFCHILDLIST child_list);
using EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE =
    NTSTATUS(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
             PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination);
using EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY =
    void(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
         PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination);
using EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP =
    void(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description);
using EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE =
    BOOLEAN(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
            PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second);

struct WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;
    EVT_WDF_CHILD_LIST_CREATE_DEVICE* EvtChildListCreateDevice;
    EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN* EvtChildListScanForChildren;
    EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY* EvtChildListIdentificationDescriptionCopy;
    EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE* EvtChildListIdentificationDescriptionDuplicate;
    EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP* EvtChildListIdentificationDescriptionCleanup;
    EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE* EvtChildListIdentificationDescriptionCompare;
    PVOID EvtChildListAddressDescriptionCopy;
    PVOID EvtChildListAddressDescriptionDuplicate;
    PVOID EvtChildListAddressDescriptionCleanup;
    PVOID EvtChildListDeviceReenumerated;
};
using PWDF_CHILD_LIST_CONFIG = WDF_CHILD_LIST_CONFIG*;

inline void WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG config, ULONG identification_description_size,
                                       EVT_WDF_CHILD_LIST_CREATE_DEVICE* create_device) {
    *config = WDF_CHILD_LIST_CONFIG{};
    config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    config->IdentificationDescriptionSize = identification_description_size;
    config->EvtChildListCreateDevice = create_device;
}

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT device_init, PWDF_CHILD_LIST_CONFIG config,
                                         PWDF_OBJECT_ATTRIBUTES default_child_list_attributes);
// The bus device's default child list; NULL for a device configured without one.
WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE fdo);
WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST child_list);

void WdfChildListBeginScan(WDFCHILDLIST child_list);
void WdfChildListEndScan(WDFCHILDLIST child_list);
// Adds a new description (pending until its child is created) or marks an equal one present
// again. STATUS_INVALID_PARAMETER for a description of the wrong size; the duplicate
// callback's failure.
NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(WDFCHILDLIST child_list,
                                                          PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address);
// STATUS_NO_SUCH_DEVICE when the list has no equal description.
NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(WDFCHILDLIST child_list,
                                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification);

enum WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS {
    WdfChildListRetrieveDeviceUndefined = 0,
    WdfChildListRetrieveDeviceSuccess,
    WdfChildListRetrieveDeviceNotYetCreated,
    WdfChildListRetrieveDeviceNoSuchDevice,
};

enum WDF_RETRIEVE_CHILDREN_FLAGS {
    WdfRetrieveUnspecified = 0,
    WdfRetrievePresentChildren = 0x1,
    WdfRetrieveMissingChildren = 0x2,
    WdfRetrievePendingChildren = 0x4,
    WdfRetrieveAddedChildren = WdfRetrievePresentChildren | WdfRetrievePendingChildren,
    WdfRetrieveAllChildren = 0x7,
};

struct WDF_CHILD_LIST_ITERATOR {
    ULONG Size;
    ULONG Flags;
    PVOID Reserved[4];
};
using PWDF_CHILD_LIST_ITERATOR = WDF_CHILD_LIST_ITERATOR*;

inline void WDF_CHILD_LIST_ITERATOR_INIT(PWDF_CHILD_LIST_ITERATOR iterator, ULONG flags) {
    *iterator = WDF_CHILD_LIST_ITERATOR{};
    iterator->Size = sizeof(WDF_CHILD_LIST_ITERATOR);
    iterator->Flags = flags;
}

// What a retrieval fills: the description (copied into the caller's buffer, whose size field
// must be set) and the state of its child.
struct WDF_CHILD_RETRIEVE_INFO {
    ULONG Size;
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription;
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription;
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS Status;
    EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE* EvtChildListIdentificationDescriptionCompare;
};
using PWDF_CHILD_RETRIEVE_INFO = WDF_CHILD_RETRIEVE_INFO*;

inline void WDF_CHILD_RETRIEVE_INFO_INIT(PWDF_CHILD_RETRIEVE_INFO info,
                                         PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification) {
    *info = WDF_CHILD_RETRIEVE_INFO{};
    info->Size = sizeof(WDF_CHILD_RETRIEVE_INFO);
    info->IdentificationDescription = identification;
}

void WdfChildListBeginIteration(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR iterator);
// The next child of the iteration's kinds: STATUS_SUCCESS with its device (NULL while not yet
// created), its description copied into `info` and its status; STATUS_NO_MORE_ENTRIES at the
// end.
NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR iterator,
                                        WDFDEVICE* device, PWDF_CHILD_RETRIEVE_INFO info);
void WdfChildListEndIteration(WDFCHILDLIST child_list, PWDF_CHILD_LIST_ITERATOR iterator);
// The child device of the description in `info` (NULL when none), with info->Status set.
WDFDEVICE WdfChildListRetrievePdo(WDFCHILDLIST child_list, PWDF_CHILD_RETRIEVE_INFO info);

// ---------------------------------------------------------------------------------------------
// PDO initialisation (in EvtChildListCreateDevice)

NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING device_id);
NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING hardware_id);
NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING instance_id);
NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT device_init, PCUNICODE_STRING compatible_id);
NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT device_init, PCUNICODE_STRING device_description,
                                 PCUNICODE_STRING device_location, LCID locale_id);
void WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT device_init, LCID locale_id);

struct WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
};
using PWDF_DEVICE_PNP_CAPABILITIES = WDF_DEVICE_PNP_CAPABILITIES*;

inline void WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES caps) {
    *caps = WDF_DEVICE_PNP_CAPABILITIES{};
    caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    caps->LockSupported = WdfUseDefault;
    caps->EjectSupported = WdfUseDefault;
    caps->Removable = WdfUseDefault;
    caps->DockDevice = WdfUseDefault;
    caps->UniqueID = WdfUseDefault;
    caps->SilentInstall = WdfUseDefault;
    caps->SurpriseRemovalOK = WdfUseDefault;
    caps->HardwareDisabled = WdfUseDefault;
    caps->NoDisplayInUI = WdfUseDefault;
    caps->Address = (ULONG)-1;
    caps->UINumber = (ULONG)-1;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES capabilities);
