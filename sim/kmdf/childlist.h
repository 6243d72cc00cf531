// The default child list of a bus device: its configuration is taken at device add. The list's
// operations (scans, descriptions, child devices) come with the child disk devices.
#pragma once

#include "sim/kmdf/device.h"
#include "sim/kmdf/types.h"

struct WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;
};
using PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER = WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*;

struct WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;
    PVOID EvtChildListCreateDevice;
    PVOID EvtChildListScanForChildren;
    PVOID EvtChildListIdentificationDescriptionCopy;
    PVOID EvtChildListIdentificationDescriptionDuplicate;
    PVOID EvtChildListIdentificationDescriptionCleanup;
    PVOID EvtChildListIdentificationDescriptionCompare;
    PVOID EvtChildListAddressDescriptionCopy;
    PVOID EvtChildListAddressDescriptionDuplicate;
    PVOID EvtChildListAddressDescriptionCleanup;
    PVOID EvtChildListDeviceReenumerated;
};
using PWDF_CHILD_LIST_CONFIG = WDF_CHILD_LIST_CONFIG*;

inline void WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG config, ULONG identification_description_size,
                                       PVOID create_device) {
    *config = WDF_CHILD_LIST_CONFIG{};
    config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    config->IdentificationDescriptionSize = identification_description_size;
    config->EvtChildListCreateDevice = create_device;
}

void WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT device_init, PWDF_CHILD_LIST_CONFIG config,
                                         PWDF_OBJECT_ATTRIBUTES default_child_list_attributes);
