#include "sim/kmdf/registry.h"

#include <cstdio>
#include <cstring>

#include "sim/kmdf/control.h"
#include "sim/kmdf/framework.h"

namespace sim::kmdf::framework {

void key_object::after_cleanup() {
    if (key != nullptr) {
        ZwClose(key);
        key = nullptr;
    }
}

namespace {

NTSTATUS query_value(WDFKEY key, PCUNICODE_STRING value_name, std::vector<uint8_t>* data, ULONG* type) {
    auto* k = checked<key_object>(key, object_kind::key);
    ULONG length = 0;
    UNICODE_STRING name = *value_name;
    NTSTATUS status = ZwQueryValueKey(k->key, &name, KeyValuePartialInformation, nullptr, 0, &length);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        return NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status;
    }
    std::vector<uint8_t> buffer(length);
    status = ZwQueryValueKey(k->key, &name, KeyValuePartialInformation, buffer.data(), length, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer.data();
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace sim::kmdf::framework

using namespace sim::kmdf::framework;

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER driver, ACCESS_MASK desired_access,
                                            PWDF_OBJECT_ATTRIBUTES key_attributes, WDFKEY* key) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)driver);
    *key = nullptr;
    auto* d = checked<driver_object>(driver, object_kind::driver);
    std::u16string path = d->registry_path + u"\\Parameters";
    UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwOpenKey(&handle, desired_access == STANDARD_RIGHTS_ALL ? KEY_ALL_ACCESS : desired_access,
                                &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* k = new key_object();
    k->key = handle;
    WDF_OBJECT_ATTRIBUTES copy;
    if (key_attributes != nullptr) {
        copy = *key_attributes;
    }
    status = attach(k, key_attributes != nullptr ? &copy : nullptr,
                    key_attributes != nullptr && key_attributes->ParentObject != nullptr
                        ? from_handle(key_attributes->ParentObject)
                        : d);
    if (!NT_SUCCESS(status)) {
        k->after_cleanup();
        discard(k);
        return status;
    }
    *key = (WDFKEY)k->handle();
    return STATUS_SUCCESS;
}

void WdfRegistryClose(WDFKEY key) {
    delete_object(checked<key_object>(key, object_kind::key));
}

NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING value_name, PULONG value) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)key);
    std::vector<uint8_t> data;
    ULONG type = 0;
    NTSTATUS status = query_value(key, value_name, &data, &type);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type != REG_DWORD || data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(value, data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(WDFKEY key, PCUNICODE_STRING value_name, WDFSTRING string) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)key);
    auto* s = checked<string_object>(string, object_kind::string);
    std::vector<uint8_t> data;
    ULONG type = 0;
    NTSTATUS status = query_value(key, value_name, &data, &type);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string text((const char16_t*)data.data(), data.size() / 2);
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos) {
        text.resize(nul);
    }
    s->text = text;
    return STATUS_SUCCESS;
}

NTSTATUS WdfStringCreate(PCUNICODE_STRING unicode_string, PWDF_OBJECT_ATTRIBUTES string_attributes,
                         WDFSTRING* string) {
    require_irql_at_most(DISPATCH_LEVEL, (ULONG_PTR)string);
    *string = nullptr;
    auto* s = new string_object();
    if (unicode_string != nullptr && unicode_string->Buffer != nullptr) {
        s->text.assign(unicode_string->Buffer, unicode_string->Length / sizeof(WCHAR));
    }
    object* parent = string_attributes != nullptr && string_attributes->ParentObject != nullptr
                         ? from_handle(string_attributes->ParentObject)
                         : current_driver();
    if (parent == nullptr) {
        discard(s);
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = attach(s, string_attributes, parent);
    if (!NT_SUCCESS(status)) {
        discard(s);
        return status;
    }
    *string = (WDFSTRING)s->handle();
    return STATUS_SUCCESS;
}

void WdfStringGetUnicodeString(WDFSTRING string, PUNICODE_STRING unicode_string) {
    auto* s = checked<string_object>(string, object_kind::string);
    unicode_string->Buffer = s->text.data();
    unicode_string->Length = (USHORT)(s->text.size() * sizeof(WCHAR));
    unicode_string->MaximumLength = unicode_string->Length;
}

// ---- The device's own hardware key ("Device Parameters" of its instance)

namespace sim::kmdf::framework {
namespace {

std::u16string device_key_path(device_object* d) {
    std::u16string instance = d->stack != nullptr ? d->stack->description.hardware_id : u"";
    if (instance.empty()) {
        char text[32];
        std::snprintf(text, sizeof text, "ROOT\\VELKOR\\%p", (void*)d);
        for (const char* p = text; *p != 0; p++) {
            instance.push_back((char16_t)*p);
        }
    }
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
}

}  // namespace
}  // namespace sim::kmdf::framework

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE device, ULONG device_instance_key_type, ACCESS_MASK desired_access,
                                  PWDF_OBJECT_ATTRIBUTES key_attributes, WDFKEY* key) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)device);
    *key = nullptr;
    auto* d = checked<device_object>(device, object_kind::device);
    if (device_instance_key_type != PLUGPLAY_REGKEY_DEVICE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (d->fail_registry_open) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // The key and every missing key above it, as PnP makes them for a new device.
    std::u16string path = device_key_path(d);
    HANDLE handle = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t end = path.find(u'\\', 1);; end = path.find(u'\\', end + 1)) {
        std::u16string part = path.substr(0, end);
        UNICODE_STRING name{(USHORT)(part.size() * 2), (USHORT)(part.size() * 2), part.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (handle != nullptr) {
            ZwClose(handle);
            handle = nullptr;
        }
        status = ZwCreateKey(&handle, desired_access == STANDARD_RIGHTS_ALL ? KEY_ALL_ACCESS : desired_access,
                             &attributes, 0, nullptr, 0, nullptr);
        if (end == std::u16string::npos) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* k = new key_object();
    k->key = handle;
    status = attach(k, key_attributes, d);
    if (!NT_SUCCESS(status)) {
        k->after_cleanup();
        discard(k);
        return status;
    }
    *key = (WDFKEY)k->handle();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignString(WDFKEY key, PCUNICODE_STRING value_name, WDFSTRING string) {
    require_irql_at_most(PASSIVE_LEVEL, (ULONG_PTR)key);
    auto* k = checked<key_object>(key, object_kind::key);
    auto* s = checked<string_object>(string, object_kind::string);
    std::u16string data = s->text;
    data.push_back(0);
    UNICODE_STRING name = *value_name;
    return ZwSetValueKey(k->key, &name, 0, REG_SZ, data.data(), (ULONG)(data.size() * sizeof(char16_t)));
}

namespace sim::kmdf {

void fail_device_key_open(WDFDEVICE device, bool fail) {
    checked<device_object>(device, object_kind::device)->fail_registry_open = fail;
}

bool device_key_string(WDFDEVICE device, const std::u16string& value, std::u16string* text) {
    auto* d = checked<device_object>(device, object_kind::device);
    std::u16string path = device_key_path(d);
    UNICODE_STRING name{(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&handle, KEY_READ, &attributes))) {
        return false;
    }
    WDFKEY key = nullptr;
    auto* k = new key_object();
    k->key = handle;
    if (!NT_SUCCESS(attach(k, nullptr, d))) {
        k->after_cleanup();
        discard(k);
        return false;
    }
    key = (WDFKEY)k->handle();
    std::vector<uint8_t> data;
    ULONG type = 0;
    UNICODE_STRING value_name{(USHORT)(value.size() * 2), (USHORT)(value.size() * 2), (PWCH)value.data()};
    NTSTATUS status = query_value(key, &value_name, &data, &type);
    delete_object(k);
    if (!NT_SUCCESS(status) || type != REG_SZ) {
        return false;
    }
    text->assign((const char16_t*)data.data(), data.size() / 2);
    while (!text->empty() && text->back() == 0) {
        text->pop_back();
    }
    return true;
}

}  // namespace sim::kmdf
