// The module parameters: their live variables, the table that describes them, get, set and
// list for the control interface, and the reading of their registry values at driver entry.
#include "driver/platform/params.h"

#include "driver/platform/format.h"
#include "driver/platform/log.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/tokenize.h"

// The live variables, at their defaults.
#define KPAV_PARAM_INT_ROW(registry_name, variable, default_value, min, max, fixed, help) \
    LONG variable = default_value;
#define KPAV_PARAM_STRING_ROW(registry_name, variable, min, max, fixed, help) char variable[KPAV_PARAM_VALUE_SIZE];
#include "driver/platform/params_table.h"
#undef KPAV_PARAM_INT_ROW
#undef KPAV_PARAM_STRING_ROW

namespace {

// A row as the code gives it; the table proper is built from these at load.
struct param_description {
    const char* registry_name;
    const char* name;
    ULONG type;
    LONG default_value;  // integer rows; every string row defaults to the empty text
    LONG min;
    LONG max;
    ULONG fixed;
    void* value;
    const char* help;
};

const param_description descriptions[] = {
#define KPAV_PARAM_INT_ROW(registry_name, variable, default_value, min, max, fixed, help) \
    {registry_name, #variable, KPAV_PARAM_INT, default_value, min, max, fixed, &variable, help},
#define KPAV_PARAM_STRING_ROW(registry_name, variable, min, max, fixed, help) \
    {registry_name, #variable, KPAV_PARAM_STRING, 0, min, max, fixed, variable, help},
#include "driver/platform/params_table.h"
#undef KPAV_PARAM_INT_ROW
#undef KPAV_PARAM_STRING_ROW
};
static_assert(ARRAYSIZE(descriptions) == KPAV_PARAM_COUNT);

kpav_param* table;
ULONG table_count;

constexpr NTSTATUS not_applied = KPAV_PARAM_NOT_APPLIED;
constexpr ULONG registry_value_buffer_size = 4240;

bool is_integer_type(ULONG type) {
    return type == KPAV_PARAM_INT || type == KPAV_PARAM_INT_ALT;
}

// The row whose registry name equals `name` (whole names, case included). The name is read
// within its 81-byte field only, so a field without NUL matches nothing.
kpav_param* find_row(const char* name) {
    if (table == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < table_count; i++) {
        kpav_param* row = &table[i];
        if (row->registry_name != nullptr && strncmp(row->registry_name, name, KPAV_PARAM_NAME_SIZE) == 0) {
            return row;
        }
    }
    return nullptr;
}

// Copies at most `size` - 1 characters and a NUL.
void copy_text(char* destination, size_t size, const char* source) {
    size_t n = strnlen(source, size - 1);
    RtlCopyMemory(destination, source, n);
    destination[n] = 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The table

int kpav_param_table_init() {
    PAGED_CODE();
    if (table == nullptr) {
        table = (kpav_param*)kpav_zalloc(sizeof(kpav_param) * KPAV_PARAM_COUNT, KPAV_TAG_VML);
        if (table == nullptr) {
            return -1;
        }
    }
    for (ULONG i = 0; i < KPAV_PARAM_COUNT; i++) {
        const param_description& d = descriptions[i];
        kpav_param& row = table[i];
        // The source flags describe the live value, which a rebuild keeps.
        ULONG64 source = row.source;
        RtlZeroMemory(&row, sizeof row);
        row.registry_name = d.registry_name;
        row.name = d.name;
        if (is_integer_type(d.type)) {
            row.default_value.integer = d.default_value;
        }
        row.fixed = d.fixed;
        row.flag_one = 1;
        row.type = d.type;
        row.value = d.value;
        row.min = d.min;
        row.max = d.max;
        row.help = d.help;
        row.source = source;
    }
    table_count = KPAV_PARAM_COUNT;
    return 0;
}

void kpav_param_table_free() {
    PAGED_CODE();
    if (table != nullptr) {
        kpav_free(table, KPAV_TAG_VML);
    }
    table = nullptr;
    table_count = 0;
}

ULONG kpav_param_count() {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return table_count;
}

// ---------------------------------------------------------------------------------------------
// Get, set and list

int kpav_param_get(kpav_param_get_record* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const kpav_param* row = find_row(record->registry_name);
    if (row == nullptr) {
        return -KPAV_ENOTTY;
    }
    RtlZeroMemory(record->name, sizeof record->name);
    RtlZeroMemory(&record->default_value, sizeof record->default_value);
    RtlZeroMemory(&record->value, sizeof record->value);
    RtlZeroMemory(record->help, sizeof record->help);
    record->flag_one = row->flag_one;
    record->min = row->min;
    record->max = row->max;
    record->fixed = row->fixed;
    record->type = row->type;
    switch (row->type) {
        case KPAV_PARAM_INT:
        case KPAV_PARAM_INT_ALT:
            record->default_value.integer = row->default_value.integer;
            record->value.integer = row->value != nullptr ? *(const LONG*)row->value : row->default_value.integer;
            break;
        case KPAV_PARAM_STRING:
            RtlCopyMemory(record->default_value.text, row->default_value.text, KPAV_PARAM_VALUE_SIZE);
            RtlCopyMemory(record->value.text, row->value != nullptr ? row->value : row->default_value.text,
                          KPAV_PARAM_VALUE_SIZE);
            break;
        case KPAV_PARAM_LIST:
            RtlCopyMemory(&record->value.list, row->value != nullptr ? row->value : &row->default_value.list,
                          sizeof(kpav_int_list));
            break;
        default:
            return -KPAV_EACCES;
    }
    if (row->help != nullptr) {
        copy_text(record->help, sizeof record->help, row->help);
    }
    if (row->name != nullptr) {
        copy_text(record->name, sizeof record->name, row->name);
    }
    record->source = row->source;
    return 0;
}

int kpav_param_set(const kpav_param_set_record* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_param* row = find_row(record->registry_name);
    if (row == nullptr) {
        return -KPAV_ENOTTY;
    }
    row->source = record->source;
    if (row->fixed != 0 || row->value == nullptr) {
        return -KPAV_EACCES;
    }
    switch (row->type) {
        case KPAV_PARAM_INT:
        case KPAV_PARAM_INT_ALT: {
            LONG value = record->value.integer;
            if (value < row->min || value > row->max) {
                return -KPAV_EACCES;
            }
            *(LONG*)row->value = value;
            return 0;
        }
        case KPAV_PARAM_STRING: {
            // The text and its NUL must lie within the value field.
            size_t length = strnlen(record->value.text, KPAV_PARAM_VALUE_SIZE);
            if (length == KPAV_PARAM_VALUE_SIZE) {
                return -KPAV_EACCES;
            }
            auto* live = (char*)row->value;
            RtlZeroMemory(live, KPAV_PARAM_VALUE_SIZE);
            RtlCopyMemory(live, record->value.text, length);
            return 0;
        }
        case KPAV_PARAM_LIST: {
            if (record->list_mode == KPAV_PARAM_LIST_BINARY) {
                if (record->value.list.count > KPAV_PARAM_LIST_MAX) {
                    return -KPAV_EACCES;
                }
                RtlCopyMemory(row->value, &record->value.list, sizeof(kpav_int_list));
                return 0;
            }
            if (record->list_mode != KPAV_PARAM_LIST_TEXT ||
                strnlen(record->value.text, KPAV_PARAM_VALUE_SIZE) == KPAV_PARAM_VALUE_SIZE) {
                return -KPAV_EACCES;
            }
            // Parsed aside first, so that a refused text leaves the live list as it was.
            auto* parsed = (kpav_int_list*)kpav_alloc(sizeof(kpav_int_list), KPAV_TAG_VML);
            if (parsed == nullptr) {
                return -KPAV_EACCES;
            }
            bool ok = kpav_param_parse_list(record->value.text, parsed);
            if (ok) {
                RtlCopyMemory(row->value, parsed, sizeof(kpav_int_list));
            }
            kpav_free(parsed, KPAV_TAG_VML);
            return ok ? 0 : -KPAV_EACCES;
        }
        default:
            return -KPAV_EACCES;
    }
}

int kpav_param_list(ULONG* length, char* buffer, ULONG size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *length = 0;
    if (buffer == nullptr) {
        return -KPAV_ENOMEM;
    }
    if (size == 0) {
        return -KPAV_EINVAL;
    }
    RtlZeroMemory(buffer, size);
    ULONG total = 0;
    for (ULONG i = 0; table != nullptr && i < table_count; i++) {
        const char* name = table[i].registry_name;
        ULONG n = (ULONG)strlen(name) + 1;
        if (total + n > size) {
            return -KPAV_EINVAL;
        }
        RtlCopyMemory(buffer + total, name, n);
        total += n;
    }
    *length = total;
    return 0;
}

bool kpav_param_parse_list(const char* text, kpav_int_list* list) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (text == nullptr || text[0] == 0 || list == nullptr) {
        return false;
    }
    RtlZeroMemory(list, sizeof *list);
    size_t length = strnlen(text, KPAV_PARAM_VALUE_SIZE);
    if (length == KPAV_PARAM_VALUE_SIZE) {
        return false;
    }
    // The tokenizer cuts its text, so it works on a copy.
    auto* copy = (char*)kpav_alloc(length + 1, KPAV_TAG_VML);
    if (copy == nullptr) {
        return false;
    }
    RtlCopyMemory(copy, text, length + 1);
    bool ok = true;
    char* save = nullptr;
    for (char* token = kpav_strtok_r(copy, ",", &save); token != nullptr; token = kpav_strtok_r(nullptr, ",", &save)) {
        ULONG value = (ULONG)kpav_strtoul(token, nullptr, 10);
        if (value == 0 || list->count == KPAV_PARAM_LIST_MAX) {
            ok = false;
            break;
        }
        list->values[list->count++] = value;
    }
    kpav_free(copy, KPAV_TAG_VML);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// The registry

NTSTATUS PavReadRegistryParameter(ULONG mode, HANDLE key, const char* name) {
    PAGED_CODE();
    // Only a key the caller opened (mode 0) is read here; mode 1 (the framework's Parameters
    // key at device add) is the device shell's to read.
    if (mode != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* record = (kpav_param_set_record*)kpav_zalloc(sizeof(kpav_param_set_record), KPAV_TAG_MAL);
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WCHAR wide_name[KPAV_PARAM_NAME_SIZE];
    USHORT characters = 0;
    for (; characters < KPAV_PARAM_NAME_SIZE - 1 && name[characters] != 0; characters++) {
        wide_name[characters] = (WCHAR)(UCHAR)name[characters];
    }
    wide_name[characters] = 0;
    UNICODE_STRING value_name = {(USHORT)(characters * sizeof(WCHAR)), (USHORT)sizeof wide_name, wide_name};

    auto* information =
        (PKEY_VALUE_PARTIAL_INFORMATION)kpav_alloc(registry_value_buffer_size, KPAV_TAG_MAL);
    if (information == nullptr) {
        kpav_free(record, KPAV_TAG_MAL);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG result_length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, information,
                                      registry_value_buffer_size, &result_length);
    if (NT_SUCCESS(status)) {
        copy_text(record->registry_name, sizeof record->registry_name, name);
        record->source = KPAV_PARAM_FROM_REGISTRY;
        const kpav_param* row = find_row(record->registry_name);
        switch (information->Type) {
            case REG_DWORD:
                // Exactly four bytes make a number; anything else is not one.
                if (information->DataLength != sizeof(LONG)) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                RtlCopyMemory(&record->value.integer, information->Data, sizeof(LONG));
                status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : not_applied;
                break;
            case REG_SZ: {
                // A text is taken as a number by no row: an integer row refuses it rather
                // than read its characters as the number's bytes.
                if (row != nullptr && is_integer_type(row->type)) {
                    status = not_applied;
                    break;
                }
                // Exactly DataLength bytes, less one terminator when there is one: registry
                // data need not end in a NUL.
                USHORT length = (USHORT)(information->DataLength / sizeof(WCHAR));
                auto* text = (PWCH)information->Data;
                if (length != 0 && text[length - 1] == 0) {
                    length--;
                }
                UNICODE_STRING wide = {(USHORT)(length * sizeof(WCHAR)), (USHORT)(length * sizeof(WCHAR)), text};
                ANSI_STRING narrow = {0, (USHORT)KPAV_PARAM_VALUE_SIZE, record->value.text};
                if (RtlUnicodeStringToAnsiString(&narrow, &wide, FALSE) != STATUS_SUCCESS) {
                    status = not_applied;  // 4224 bytes or more with its NUL
                    break;
                }
                record->list_mode = KPAV_PARAM_LIST_TEXT;
                status = kpav_param_set(record) == 0 ? STATUS_SUCCESS : not_applied;
                break;
            }
            default:
                status = STATUS_INVALID_PARAMETER;
                break;
        }
    }
    kpav_free(information, KPAV_TAG_MAL);
    kpav_free(record, KPAV_TAG_MAL);
    return status;
}

NTSTATUS PavReadRegistryParameters(PCUNICODE_STRING registry_path) {
    PAGED_CODE();
    static const WCHAR parameters[] = u"\\Parameters";
    constexpr USHORT parameters_bytes = sizeof parameters - sizeof(WCHAR);
    if (registry_path->Length > 0xFFFF - 24) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT buffer_bytes = (USHORT)(registry_path->Length + 24);
    auto* path = (PWCH)kpav_alloc(buffer_bytes, KPAV_TAG_MAL);
    if (path == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(path, registry_path->Buffer, registry_path->Length);
    RtlCopyMemory((PUCHAR)path + registry_path->Length, parameters, sizeof parameters);
    UNICODE_STRING key_name = {(USHORT)(registry_path->Length + parameters_bytes), buffer_bytes, path};

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    kpav_free(path, KPAV_TAG_MAL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG count = kpav_param_count();
    ULONG names_size = count * (ULONG)KPAV_PARAM_NAME_SIZE;
    auto* names = names_size != 0 ? (char*)kpav_alloc(names_size, KPAV_TAG_MAL) : nullptr;
    ULONG length = 0;
    if (names != nullptr && kpav_param_list(&length, names, names_size) == 0) {
        for (ULONG at = 0; at < length; at += (ULONG)strlen(names + at) + 1) {
            PavReadRegistryParameter(0, key, names + at);
        }
    }
    if (names != nullptr) {
        kpav_free(names, KPAV_TAG_MAL);
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}
