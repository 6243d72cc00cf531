// The registry: one tree of keys under "\Registry", guarded by one mutex. Key handles are kernel
// objects of type "Key" that keep their key alive, so a handle stays usable across a clear. Each
// key indexes its subkeys and values by their upper-cased names, so a look-up does not walk them
// (a registry of a million values loads in linear time).

#include "sim/kernel/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/registry_control.h"
#include "sim/kernel/rtl_string.h"
#include "sim/kernel/sync.h"

namespace sim::kernel {
namespace {

struct value_entry {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

// Positions in a key's `children` or `values` by upper-cased name.
using name_index = std::unordered_map<std::u16string, size_t>;

struct key_node {
    std::u16string name;
    std::vector<std::shared_ptr<key_node>> children;  // in creation order
    std::vector<value_entry> values;                  // in creation order (enumeration follows it)
    name_index child_index;
    name_index value_index;
};

std::mutex store_mutex;
std::shared_ptr<key_node> store_root;

OBJECT_TYPE key_type{"Key"};
POBJECT_TYPE key_type_pointer = &key_type;

// The body of a key object.
struct key_object {
    std::shared_ptr<key_node>* node;
};

void destroy_key_object(PVOID object) {
    delete ((key_object*)object)->node;
}

// ---------------------------------------------------------------------------------------------
// Names

bool same_name(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string from_unicode(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        auto c = (unsigned char)text[i];
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        i++;
        for (size_t k = 0; k < extra && i < text.size(); k++, i++) {
            cp = cp << 6 | ((unsigned char)text[i] & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
    }
    return out;
}

// false when the text holds an unpaired surrogate (then it is converted with '?' for it).
bool utf16_to_utf8(const std::u16string& text, std::string* out) {
    bool clean = true;
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            clean = false;
            cp = '?';
        }
        if (cp < 0x80) {
            out->push_back((char)cp);
        } else if (cp < 0x800) {
            out->push_back((char)(0xC0 | cp >> 6));
            out->push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back((char)(0xE0 | cp >> 12));
            out->push_back((char)(0x80 | (cp >> 6 & 0x3F)));
            out->push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out->push_back((char)(0xF0 | cp >> 18));
            out->push_back((char)(0x80 | (cp >> 12 & 0x3F)));
            out->push_back((char)(0x80 | (cp >> 6 & 0x3F)));
            out->push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return clean;
}

std::string narrow(const std::u16string& text) {
    std::string out;
    utf16_to_utf8(text, &out);
    return out;
}

std::vector<uint8_t> utf16_bytes(const std::u16string& text) {
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::u16string utf16_of_bytes(const std::vector<uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

// ---------------------------------------------------------------------------------------------
// The tree (callers hold store_mutex)

std::shared_ptr<key_node> new_key(const std::u16string& name) {
    auto k = std::make_shared<key_node>();
    k->name = name;
    return k;
}

std::u16string folded(const std::u16string& name) {
    std::u16string out(name.size(), u'\0');
    for (size_t i = 0; i < name.size(); i++) {
        out[i] = RtlUpcaseUnicodeChar(name[i]);
    }
    return out;
}

std::shared_ptr<key_node> find_child(const std::shared_ptr<key_node>& parent, const std::u16string& name) {
    auto it = parent->child_index.find(folded(name));
    return it == parent->child_index.end() ? nullptr : parent->children[it->second];
}

void add_child(key_node* parent, std::shared_ptr<key_node> child) {
    parent->child_index.emplace(folded(child->name), parent->children.size());
    parent->children.push_back(std::move(child));
}

value_entry* find_value(key_node* key, const std::u16string& name) {
    auto it = key->value_index.find(folded(name));
    return it == key->value_index.end() ? nullptr : &key->values[it->second];
}

// Sets the value; one of the same name keeps its place and its spelling.
void set_value(key_node* key, value_entry v) {
    auto [it, added] = key->value_index.emplace(folded(v.name), key->values.size());
    if (added) {
        key->values.push_back(std::move(v));
    } else {
        key->values[it->second].type = v.type;
        key->values[it->second].data = std::move(v.data);
    }
}

bool delete_value(key_node* key, const std::u16string& name) {
    auto it = key->value_index.find(folded(name));
    if (it == key->value_index.end()) {
        return false;
    }
    size_t position = it->second;
    key->value_index.erase(it);
    key->values.erase(key->values.begin() + (ptrdiff_t)position);
    for (auto& [_, at] : key->value_index) {
        if (at > position) {
            at--;
        }
    }
    return true;
}

// "\Registry" with its two keys and nothing else.
std::shared_ptr<key_node> empty_root() {
    auto r = new_key(u"Registry");
    add_child(r.get(), new_key(u"Machine"));
    add_child(r.get(), new_key(u"User"));
    return r;
}

void reset_store() {
    store_root = empty_root();
}

std::shared_ptr<key_node>& root() {
    if (!store_root) {
        reset_store();
    }
    return store_root;
}

// Splits "a\b\c" into its components; false for an empty component.
bool split_path(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty()) {
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty()) {
            return false;
        }
        parts->push_back(part);
        if (end == std::u16string::npos) {
            return true;
        }
        start = end + 1;
    }
}

// Full paths ("\Registry\...") start at the root; the first component must name it.
NTSTATUS parse_full_path(const std::u16string& path, std::vector<std::u16string>* parts) {
    std::u16string rest = path;
    if (!rest.empty() && rest[0] == u'\\') {
        rest.erase(0, 1);
    }
    if (!split_path(rest, parts)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (parts->empty() || !same_name((*parts)[0], u"Registry")) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    parts->erase(parts->begin());
    return STATUS_SUCCESS;
}

std::shared_ptr<key_node> walk(std::shared_ptr<key_node> from, const std::vector<std::u16string>& parts,
                               size_t count, bool create) {
    for (size_t i = 0; i < count && from; i++) {
        auto next = find_child(from, parts[i]);
        if (!next && create) {
            next = new_key(parts[i]);
            add_child(from.get(), next);
        }
        from = next;
    }
    return from;
}

// ---------------------------------------------------------------------------------------------
// Handles

void require_passive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        std::fprintf(stderr, "sim: %s at IRQL %u\n", routine, KeGetCurrentIrql());
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, KeGetCurrentIrql(), 0, 0);
    }
}

// The key of a handle, with a reference on its object that the caller drops.
NTSTATUS key_of_handle(HANDLE handle, PVOID* object, std::shared_ptr<key_node>* key) {
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, key_type_pointer, KernelMode, object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *key = *((key_object*)*object)->node;
    return STATUS_SUCCESS;
}

// Runs `work` on the values of the handle's key under the store's lock, holding the key object
// for the duration; a bad handle's status is returned without running it.
template <typename Work>
NTSTATUS with_key_values(HANDLE handle, Work&& work) {
    PVOID object = nullptr;
    std::shared_ptr<key_node> node;
    NTSTATUS status = key_of_handle(handle, &object, &node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> g(store_mutex);
        status = work(node.get());
    }
    ObDereferenceObject(object);
    return status;
}

NTSTATUS open_key_handle(const std::shared_ptr<key_node>& key, PHANDLE handle) {
    PVOID object = objects::create(key_type_pointer, sizeof(key_object), destroy_key_object);
    if (object == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ((key_object*)object)->node = new std::shared_ptr<key_node>(key);
    *handle = objects::open_handle(object);
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

// Resolves the object attributes to the key's parent and the last component. An empty name
// relative to a key handle names that key itself (then `last` is empty).
NTSTATUS resolve(POBJECT_ATTRIBUTES attributes, std::shared_ptr<key_node>* parent, std::u16string* last) {
    if (attributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path = from_unicode(attributes->ObjectName);
    std::vector<std::u16string> parts;
    std::shared_ptr<key_node> start;
    if (attributes->RootDirectory != nullptr) {
        PVOID object = nullptr;
        NTSTATUS status = key_of_handle(attributes->RootDirectory, &object, &start);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ObDereferenceObject(object);
        if (!split_path(path, &parts)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    } else {
        NTSTATUS status = parse_full_path(path, &parts);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::lock_guard<std::mutex> g(store_mutex);
        start = root();
    }
    std::lock_guard<std::mutex> g(store_mutex);
    if (parts.empty()) {
        *parent = start;
        last->clear();
        return STATUS_SUCCESS;
    }
    *parent = walk(start, parts, parts.size() - 1, false);
    if (!*parent) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *last = parts.back();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Value records

ULONG align8(ULONG v) {
    return (v + 7u) & ~7u;
}

NTSTATUS fill_record(const value_entry& v, KEY_VALUE_INFORMATION_CLASS information_class, PVOID information,
                     ULONG length, PULONG result_length) {
    ULONG name_bytes = (ULONG)(v.name.size() * sizeof(WCHAR));
    ULONG data_bytes = (ULONG)v.data.size();
    ULONG fixed;
    ULONG required;
    ULONG data_offset = 0;
    switch (information_class) {
        case KeyValueBasicInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            required = fixed + name_bytes;
            break;
        case KeyValueFullInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            data_offset = align8(fixed + name_bytes);
            required = data_offset + data_bytes;
            break;
        case KeyValuePartialInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            required = fixed + data_bytes;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (result_length != nullptr) {
        *result_length = required;
    }
    if (length < fixed || information == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = (uint8_t*)information;
    switch (information_class) {
        case KeyValueBasicInformation: {
            auto* r = (PKEY_VALUE_BASIC_INFORMATION)out;
            r->TitleIndex = 0;
            r->Type = v.type;
            r->NameLength = name_bytes;
            if (length < required) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(out + fixed, v.name.data(), name_bytes);
            break;
        }
        case KeyValueFullInformation: {
            auto* r = (PKEY_VALUE_FULL_INFORMATION)out;
            r->TitleIndex = 0;
            r->Type = v.type;
            r->DataOffset = data_offset;
            r->DataLength = data_bytes;
            r->NameLength = name_bytes;
            if (length < required) {
                return STATUS_BUFFER_OVERFLOW;
            }
            std::memcpy(out + fixed, v.name.data(), name_bytes);
            std::memset(out + fixed + name_bytes, 0, data_offset - fixed - name_bytes);
            if (data_bytes != 0) {
                std::memcpy(out + data_offset, v.data.data(), data_bytes);
            }
            break;
        }
        default: {
            auto* r = (PKEY_VALUE_PARTIAL_INFORMATION)out;
            r->TitleIndex = 0;
            r->Type = v.type;
            r->DataLength = data_bytes;
            if (length < required) {
                return STATUS_BUFFER_OVERFLOW;
            }
            if (data_bytes != 0) {
                std::memcpy(out + fixed, v.data.data(), data_bytes);
            }
            break;
        }
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Control-surface helpers

std::shared_ptr<key_node> key_at(const std::string& key_path, bool create) {
    std::vector<std::u16string> parts;
    if (!NT_SUCCESS(parse_full_path(utf8_to_utf16(key_path), &parts))) {
        if (create) {
            throw std::invalid_argument("not a registry key path: " + key_path);
        }
        return nullptr;
    }
    return walk(root(), parts, parts.size(), create);
}

}  // namespace

namespace parts {
void reset_registry() {
    std::lock_guard<std::mutex> g(store_mutex);
    reset_store();
}
}  // namespace parts

}  // namespace sim::kernel

using namespace sim::kernel;

// ---------------------------------------------------------------------------------------------
// The Windows-named routines

namespace {

// Opens the key the attributes name; with `create`, a missing last component is made first.
// `how` tells which of the two happened.
NTSTATUS open_named_key(PHANDLE key, POBJECT_ATTRIBUTES attributes, bool create, ULONG* how) {
    std::shared_ptr<key_node> parent;
    std::u16string last;
    NTSTATUS status = resolve(attributes, &parent, &last);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<key_node> found = parent;
    *how = REG_OPENED_EXISTING_KEY;
    if (!last.empty()) {
        std::lock_guard<std::mutex> g(store_mutex);
        found = find_child(parent, last);
        if (!found && create) {
            found = new_key(last);
            add_child(parent.get(), found);
            *how = REG_CREATED_NEW_KEY;
        }
    }
    if (!found) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return open_key_handle(found, key);
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes) {
    UNREFERENCED_PARAMETER(access);
    require_passive("ZwOpenKey");
    ULONG how = 0;
    return open_named_key(key, attributes, false, &how);
}

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG title_index,
                     PUNICODE_STRING class_name, ULONG create_options, PULONG disposition) {
    UNREFERENCED_PARAMETER(access);
    UNREFERENCED_PARAMETER(title_index);
    UNREFERENCED_PARAMETER(class_name);
    UNREFERENCED_PARAMETER(create_options);
    require_passive("ZwCreateKey");
    ULONG how = 0;
    NTSTATUS status = open_named_key(key, attributes, true, &how);
    if (NT_SUCCESS(status) && disposition != nullptr) {
        *disposition = how;
    }
    return status;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING value_name, KEY_VALUE_INFORMATION_CLASS information_class,
                         PVOID information, ULONG length, PULONG result_length) {
    require_passive("ZwQueryValueKey");
    return with_key_values(key, [&](key_node* node) {
        value_entry* v = find_value(node, from_unicode(value_name));
        return v == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND
                            : fill_record(*v, information_class, information, length, result_length);
    });
}

NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS information_class,
                             PVOID information, ULONG length, PULONG result_length) {
    require_passive("ZwEnumerateValueKey");
    return with_key_values(key, [&](key_node* node) {
        return index >= node->values.size()
                   ? STATUS_NO_MORE_ENTRIES
                   : fill_record(node->values[index], information_class, information, length, result_length);
    });
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING value_name, ULONG title_index, ULONG type, PVOID data,
                       ULONG data_size) {
    UNREFERENCED_PARAMETER(title_index);
    require_passive("ZwSetValueKey");
    if (data == nullptr && data_size != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return with_key_values(key, [&](key_node* node) {
        std::vector<uint8_t> bytes((const uint8_t*)data, (const uint8_t*)data + data_size);
        set_value(node, {from_unicode(value_name), type, std::move(bytes)});
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING value_name) {
    require_passive("ZwDeleteValueKey");
    return with_key_values(key, [&](key_node* node) {
        return delete_value(node, from_unicode(value_name)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    });
}

// ---------------------------------------------------------------------------------------------
// The control surface

namespace sim::kernel {

void registry_set(const std::string& key_path, const std::string& name, ULONG type, std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> g(store_mutex);
    auto key = key_at(key_path, true);
    if (!key) {
        return;
    }
    set_value(key.get(), {utf8_to_utf16(name), type, std::move(data)});
}

void registry_set_dword(const std::string& key_path, const std::string& name, uint32_t value) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    registry_set(key_path, name, REG_DWORD, std::move(data));
}

void registry_set_string(const std::string& key_path, const std::string& name, const std::string& text) {
    registry_set(key_path, name, REG_SZ, utf16_bytes(utf8_to_utf16(text) + u'\0'));
}

void registry_set_multi_string(const std::string& key_path, const std::string& name,
                               const std::vector<std::string>& texts) {
    std::u16string all;
    for (const std::string& t : texts) {
        all += utf8_to_utf16(t) + u'\0';
    }
    all += u'\0';
    registry_set(key_path, name, REG_MULTI_SZ, utf16_bytes(all));
}

std::optional<registry_value> registry_get(const std::string& key_path, const std::string& name) {
    std::lock_guard<std::mutex> g(store_mutex);
    auto key = key_at(key_path, false);
    if (!key) {
        return std::nullopt;
    }
    value_entry* v = find_value(key.get(), utf8_to_utf16(name));
    if (v == nullptr) {
        return std::nullopt;
    }
    return registry_value{v->type, v->data};
}

std::optional<uint32_t> registry_get_dword(const std::string& key_path, const std::string& name) {
    auto v = registry_get(key_path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) {
        return std::nullopt;
    }
    uint32_t value;
    std::memcpy(&value, v->data.data(), 4);
    return value;
}

std::optional<std::string> registry_get_string(const std::string& key_path, const std::string& name) {
    auto v = registry_get(key_path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::u16string text = utf16_of_bytes(v->data);
    text = text.substr(0, text.find(u'\0'));
    return narrow(text);
}

std::vector<std::string> registry_value_names(const std::string& key_path) {
    std::lock_guard<std::mutex> g(store_mutex);
    std::vector<std::string> names;
    auto key = key_at(key_path, false);
    if (key) {
        for (const value_entry& v : key->values) {
            names.push_back(narrow(v.name));
        }
    }
    return names;
}

bool registry_key_exists(const std::string& key_path) {
    std::lock_guard<std::mutex> g(store_mutex);
    return key_at(key_path, false) != nullptr;
}

void registry_create_key(const std::string& key_path) {
    std::lock_guard<std::mutex> g(store_mutex);
    key_at(key_path, true);
}

bool registry_delete_value(const std::string& key_path, const std::string& name) {
    std::lock_guard<std::mutex> g(store_mutex);
    auto key = key_at(key_path, false);
    if (!key) {
        return false;
    }
    return delete_value(key.get(), utf8_to_utf16(name));
}

void registry_clear() {
    parts::reset_registry();
}

// ---------------------------------------------------------------------------------------------
// The text file

namespace {

std::string escape_string(const std::string& utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        auto c = (unsigned char)ch;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out + "\"";
}

std::string escape_key_name(const std::string& utf8) {
    std::string out;
    for (char ch : utf8) {
        auto c = (unsigned char)ch;
        if (c == '%' || c == ']' || c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Strings of a well-formed REG_SZ (one) or REG_MULTI_SZ (any number, none empty); false when
// the data is not exactly what those strings would give.
bool well_formed_strings(const value_entry& v, std::vector<std::string>* texts) {
    texts->clear();
    if (v.data.size() % 2 != 0 || v.data.empty()) {
        return false;
    }
    std::u16string all = utf16_of_bytes(v.data);
    std::u16string rebuilt;
    if (v.type == REG_SZ) {
        std::u16string text = all.substr(0, all.find(u'\0'));
        rebuilt = text + u'\0';
        std::string utf8;
        if (!utf16_to_utf8(text, &utf8)) {
            return false;
        }
        texts->push_back(utf8);
    } else {
        size_t start = 0;
        while (start < all.size() && all[start] != 0) {
            size_t end = all.find(u'\0', start);
            if (end == std::u16string::npos) {
                return false;
            }
            std::u16string text = all.substr(start, end - start);
            std::string utf8;
            if (!utf16_to_utf8(text, &utf8)) {
                return false;
            }
            texts->push_back(utf8);
            rebuilt += text + u'\0';
            start = end + 1;
        }
        rebuilt += u'\0';
    }
    return rebuilt == all;
}

std::string value_text(const value_entry& v) {
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t value;
        std::memcpy(&value, v.data.data(), 4);
        char buf[32];
        std::snprintf(buf, sizeof buf, "dword:%08x", value);
        return buf;
    }
    std::vector<std::string> texts;
    if (v.type == REG_SZ && well_formed_strings(v, &texts)) {
        return "sz:" + escape_string(texts[0]);
    }
    if (v.type == REG_MULTI_SZ && well_formed_strings(v, &texts)) {
        std::string out = "multi_sz:";
        for (size_t i = 0; i < texts.size(); i++) {
            if (i != 0) {
                out += ',';
            }
            out += escape_string(texts[i]);
        }
        return out;
    }
    std::string out = "hex(" + std::to_string(v.type) + "):";
    for (size_t i = 0; i < v.data.size(); i++) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%s%02x", i != 0 ? "," : "", v.data[i]);
        out += buf;
    }
    return out;
}

void save_key(std::ostream& out, const key_node& key, const std::string& path) {
    out << "[" << path << "]\n";
    for (const value_entry& v : key.values) {
        out << escape_string(narrow(v.name)) << "=" << value_text(v) << "\n";
    }
    for (const auto& child : key.children) {
        save_key(out, *child, path + "\\" + escape_key_name(narrow(child->name)));
    }
}

// Parses a quoted string at text[*pos]; leaves *pos behind the closing quote.
bool parse_string(const std::string& text, size_t* pos, std::string* out) {
    out->clear();
    size_t i = *pos;
    if (i >= text.size() || text[i] != '"') {
        return false;
    }
    for (i++; i < text.size(); i++) {
        char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i >= text.size()) {
            return false;
        }
        switch (text[i]) {
            case '"': out->push_back('"'); break;
            case '\\': out->push_back('\\'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'x': {
                if (i + 2 >= text.size() || hex_digit(text[i + 1]) < 0 || hex_digit(text[i + 2]) < 0) {
                    return false;
                }
                out->push_back((char)(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2])));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return false;
}

bool parse_key_path(const std::string& inner, std::vector<std::u16string>* parts) {
    parts->clear();
    std::string rest = inner;
    if (!rest.empty() && rest[0] == '\\') {
        rest.erase(0, 1);
    }
    std::string component;
    for (size_t i = 0; i <= rest.size(); i++) {
        if (i == rest.size() || rest[i] == '\\') {
            if (component.empty()) {
                return false;
            }
            parts->push_back(utf8_to_utf16(component));
            component.clear();
        } else if (rest[i] == '%') {
            if (i + 2 >= rest.size() || hex_digit(rest[i + 1]) < 0 || hex_digit(rest[i + 2]) < 0) {
                return false;
            }
            component.push_back((char)(hex_digit(rest[i + 1]) * 16 + hex_digit(rest[i + 2])));
            i += 2;
        } else {
            component.push_back(rest[i]);
        }
    }
    if (!same_name((*parts)[0], u"Registry")) {
        return false;
    }
    parts->erase(parts->begin());
    return true;
}

bool parse_value(const std::string& form, ULONG* type, std::vector<uint8_t>* data) {
    data->clear();
    if (form.rfind("dword:", 0) == 0) {
        std::string digits = form.substr(6);
        if (digits.empty() || digits.size() > 8) {
            return false;
        }
        uint32_t value = 0;
        for (char c : digits) {
            if (hex_digit(c) < 0) {
                return false;
            }
            value = value << 4 | (uint32_t)hex_digit(c);
        }
        *type = REG_DWORD;
        data->resize(4);
        std::memcpy(data->data(), &value, 4);
        return true;
    }
    if (form.rfind("sz:", 0) == 0) {
        size_t pos = 3;
        std::string text;
        if (!parse_string(form, &pos, &text) || pos != form.size()) {
            return false;
        }
        *type = REG_SZ;
        *data = utf16_bytes(utf8_to_utf16(text) + u'\0');
        return true;
    }
    if (form.rfind("multi_sz:", 0) == 0) {
        size_t pos = 9;
        std::u16string all;
        while (pos < form.size()) {
            std::string text;
            if (!parse_string(form, &pos, &text) || text.empty()) {
                return false;
            }
            all += utf8_to_utf16(text) + u'\0';
            if (pos < form.size() && form[pos++] != ',') {
                return false;
            }
        }
        all += u'\0';
        *type = REG_MULTI_SZ;
        *data = utf16_bytes(all);
        return true;
    }
    if (form.rfind("hex(", 0) == 0) {
        size_t close = form.find("):");
        if (close == std::string::npos || close == 4) {
            return false;
        }
        std::string number = form.substr(4, close - 4);
        if (number.size() > 10 || number.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        uint64_t kind = std::stoull(number);
        if (kind > 0xFFFFFFFFu) {
            return false;
        }
        *type = (ULONG)kind;
        std::string bytes = form.substr(close + 2);
        for (size_t i = 0; i < bytes.size();) {
            if (i + 1 >= bytes.size() || hex_digit(bytes[i]) < 0 || hex_digit(bytes[i + 1]) < 0) {
                return false;
            }
            data->push_back((uint8_t)(hex_digit(bytes[i]) * 16 + hex_digit(bytes[i + 1])));
            i += 2;
            if (i < bytes.size() && bytes[i++] != ',') {
                return false;
            }
        }
        return true;
    }
    return false;
}

// A saved file starts with the header and ends with the end line, so a file cut off at a line's
// end is told from a whole one. Files without the header (written by hand) need no end line,
// but like every file they end their last line.
constexpr const char* header_line = "# velkor registry 2";
constexpr const char* end_line = "# end of registry";

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Writes `text` to `file` so that a crash at any moment leaves the old file or the new one:
// a temporary file beside it, flushed to the disk, renamed over it, and the directory flushed.
bool write_atomically(const std::string& file, const std::string& text, std::string* error) {
    auto failed = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    std::string tmp = file + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return failed(errno_text("cannot create " + tmp));
    }
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::string why = errno_text("cannot write " + tmp);
            ::close(fd);
            ::unlink(tmp.c_str());
            return failed(why);
        }
        p += n;
        left -= (size_t)n;
    }
    if (::fsync(fd) != 0) {
        std::string why = errno_text("cannot flush " + tmp);
        ::close(fd);
        ::unlink(tmp.c_str());
        return failed(why);
    }
    ::close(fd);
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        std::string why = errno_text("cannot rename " + tmp + " to " + file);
        ::unlink(tmp.c_str());
        return failed(why);
    }
    size_t slash = file.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return failed(errno_text("cannot open " + directory));
    }
    bool synced = ::fsync(dir) == 0;
    std::string why = synced ? "" : errno_text("cannot flush " + directory);
    ::close(dir);
    return synced || failed(why);
}

}  // namespace

bool registry_save(const std::string& file, std::string* error) {
    std::ostringstream out;
    out << header_line << "\n";
    {
        std::lock_guard<std::mutex> g(store_mutex);
        for (const auto& child : root()->children) {
            save_key(out, *child, "\\Registry\\" + escape_key_name(narrow(child->name)));
        }
    }
    out << end_line << "\n";
    return write_atomically(file, out.str(), error);
}

bool registry_load(const std::string& file, std::string* error) {
    std::ifstream f(file, std::ios::binary);
    if (!f) {
        if (error != nullptr) {
            *error = "cannot open " + file + ": " + std::strerror(errno);
        }
        return false;
    }
    auto loaded = empty_root();
    std::shared_ptr<key_node> current;
    std::string line;
    int number = 0;
    bool needs_end = false;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = file + ":" + std::to_string(number) + ": " + why;
        }
        return false;
    };
    while (std::getline(f, line)) {
        number++;
        if (f.eof()) {
            return fail("the line has no end: the file is cut off");
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (number == 1 && line == header_line) {
            needs_end = true;
            continue;
        }
        if (ended) {
            if (!line.empty()) {
                return fail("text after \"" + std::string(end_line) + "\"");
            }
            continue;
        }
        if (line == end_line) {
            ended = true;
            continue;
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail("key line without ']'");
            }
            std::vector<std::u16string> parts;
            if (!parse_key_path(line.substr(1, line.size() - 2), &parts)) {
                return fail("bad key path");
            }
            current = walk(loaded, parts, parts.size(), true);
            continue;
        }
        if (!current) {
            return fail("value outside a key");
        }
        size_t pos = 0;
        std::string name;
        if (!parse_string(line, &pos, &name) || pos >= line.size() || line[pos] != '=') {
            return fail("bad value name");
        }
        value_entry v;
        v.name = utf8_to_utf16(name);
        if (!parse_value(line.substr(pos + 1), &v.type, &v.data)) {
            return fail("bad value data");
        }
        set_value(current.get(), std::move(v));
    }
    if (f.bad()) {
        return fail(std::string("read error: ") + std::strerror(errno));
    }
    if (number == 0) {
        return fail("the file is empty: it is cut off");
    }
    if (needs_end && !ended) {
        return fail("no \"" + std::string(end_line) + "\" line: the file is cut off");
    }
    std::lock_guard<std::mutex> g(store_mutex);
    store_root = loaded;
    return true;
}

}  // namespace sim::kernel
