// Module parameters read through the framework's Parameters key at each device add: a value is
// taken as a 32-bit number first and, when it is none, as a string.
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/shell/shell.h"

namespace {

bool integer_row(const char* name) {
    auto* get = (kpav_param_get_record*)kpav_zalloc(sizeof(kpav_param_get_record), KPAV_TAG_MAL);
    if (get == nullptr) {
        return true;  // unknown: refuse rather than misread
    }
    for (size_t i = 0; i + 1 < KPAV_PARAM_NAME_SIZE && name[i] != 0; i++) {
        get->registry_name[i] = name[i];
    }
    bool integer = kpav_param_get(get) != 0 || get->type == KPAV_PARAM_INT || get->type == KPAV_PARAM_INT_ALT;
    kpav_free(get, KPAV_TAG_MAL);
    return integer;
}

}  // namespace

NTSTATUS PavReadWdfRegistryParameter(WDFKEY key, const char* name) {
    PAGED_CODE();
    auto* record = (kpav_param_set_record*)kpav_zalloc(sizeof(kpav_param_set_record), KPAV_TAG_MAL);
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WCHAR wide_name[KPAV_PARAM_NAME_SIZE];
    USHORT characters = 0;
    for (; characters < KPAV_PARAM_NAME_SIZE - 1 && name[characters] != 0; characters++) {
        wide_name[characters] = (WCHAR)(UCHAR)name[characters];
        record->registry_name[characters] = name[characters];
    }
    wide_name[characters] = 0;
    UNICODE_STRING value_name = {(USHORT)(characters * sizeof(WCHAR)), (USHORT)sizeof wide_name, wide_name};
    record->source = KPAV_PARAM_FROM_REGISTRY;

    ULONG number = 0;
    NTSTATUS status = WdfRegistryQueryULong(key, &value_name, &number);
    if (NT_SUCCESS(status)) {
        record->value.integer = (LONG)number;
        status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : KPAV_PARAM_NOT_APPLIED;
        kpav_free(record, KPAV_TAG_MAL);
        return status;
    }
    WDFSTRING string = nullptr;
    status = WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (NT_SUCCESS(status)) {
        status = WdfRegistryQueryString(key, &value_name, string);
    }
    if (NT_SUCCESS(status)) {
        UNICODE_STRING text;
        WdfStringGetUnicodeString(string, &text);
        if (text.Length == 0) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ANSI_STRING narrow = {0, (USHORT)KPAV_PARAM_VALUE_SIZE, record->value.text};
            if (RtlUnicodeStringToAnsiString(&narrow, &text, FALSE) != STATUS_SUCCESS) {
                status = KPAV_PARAM_NOT_APPLIED;  // 4224 bytes or more with its NUL
            } else if (integer_row(name)) {
                status = KPAV_PARAM_NOT_APPLIED;  // a text is no row's number
            } else {
                record->list_mode = KPAV_PARAM_LIST_TEXT;
                status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : KPAV_PARAM_NOT_APPLIED;
            }
        }
    }
    if (string != nullptr) {
        WdfObjectDelete(string);
    }
    kpav_free(record, KPAV_TAG_MAL);
    return status;
}
