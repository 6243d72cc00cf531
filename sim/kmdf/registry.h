// Registry keys and string objects of the framework: the driver's Parameters key and the values
// read from it.
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/kmdf/driver.h"
#include "sim/kmdf/types.h"

WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFSTRING);

#define STANDARD_RIGHTS_ALL 0x001F0000u

// Opens "<service key>\Parameters" (STATUS_OBJECT_NAME_NOT_FOUND when it does not exist).
// PASSIVE_LEVEL.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER driver, ACCESS_MASK desired_access,
                                            PWDF_OBJECT_ATTRIBUTES key_attributes, WDFKEY* key);
void WdfRegistryClose(WDFKEY key);
#define PLUGPLAY_REGKEY_DEVICE 1u
// Opens (creating it when missing) the device's hardware key. PASSIVE_LEVEL.
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE device, ULONG device_instance_key_type, ACCESS_MASK desired_access,
                                  PWDF_OBJECT_ATTRIBUTES key_attributes, WDFKEY* key);
// Stores the string as a REG_SZ value. PASSIVE_LEVEL.
NTSTATUS WdfRegistryAssignString(WDFKEY key, PCUNICODE_STRING value_name, WDFSTRING string);
// A REG_DWORD value; STATUS_OBJECT_TYPE_MISMATCH for a value of another type,
// STATUS_OBJECT_NAME_NOT_FOUND for none.
NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING value_name, PULONG value);
// A REG_SZ value into the string object; STATUS_OBJECT_TYPE_MISMATCH for another type.
NTSTATUS WdfRegistryQueryString(WDFKEY key, PCUNICODE_STRING value_name, WDFSTRING string);

// A string object, initialised from `unicode_string` (may be NULL: empty). At most DISPATCH_LEVEL.
NTSTATUS WdfStringCreate(PCUNICODE_STRING unicode_string, PWDF_OBJECT_ATTRIBUTES string_attributes,
                         WDFSTRING* string);
// The string's text; valid while the object lives and is not changed.
void WdfStringGetUnicodeString(WDFSTRING string, PUNICODE_STRING unicode_string);
