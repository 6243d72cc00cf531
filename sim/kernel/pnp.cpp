#include "sim/kernel/pnp.h"

#include <map>
#include <mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/machine_parts.h"
#include "sim/kernel/pnp_control.h"

namespace sim::kernel {
namespace {

std::mutex pnp_mutex;
std::map<PDEVICE_OBJECT, USHORT> nodes;
std::map<std::u16string, std::pair<std::u16string, std::u16string>> links;  // folded name -> {name, target}

std::u16string fold(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = (char16_t)(c - u'a' + u'A');
        }
    }
    return out;
}

std::u16string text_of(PUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace

void set_device_numa_node(PDEVICE_OBJECT physical_device, std::optional<USHORT> node) {
    std::lock_guard<std::mutex> g(pnp_mutex);
    if (node) {
        nodes[physical_device] = *node;
    } else {
        nodes.erase(physical_device);
    }
}

std::optional<std::u16string> symbolic_link_target(const std::u16string& link_name) {
    std::lock_guard<std::mutex> g(pnp_mutex);
    auto it = links.find(fold(link_name));
    if (it == links.end()) {
        return std::nullopt;
    }
    return it->second.second;
}

std::vector<std::u16string> symbolic_links() {
    std::lock_guard<std::mutex> g(pnp_mutex);
    std::vector<std::u16string> out;
    for (auto& [key, link] : links) {
        out.push_back(link.first);
    }
    return out;
}

namespace parts {
void reset_pnp() {
    std::lock_guard<std::mutex> g(pnp_mutex);
    nodes.clear();
    links.clear();
}
}  // namespace parts

}  // namespace sim::kernel

using namespace sim::kernel;

NTSTATUS IoGetDeviceNumaNode(PDEVICE_OBJECT physical_device, PUSHORT node) {
    std::lock_guard<std::mutex> g(pnp_mutex);
    auto it = nodes.find(physical_device);
    if (it == nodes.end()) {
        return STATUS_NOT_FOUND;
    }
    *node = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link_name, PUNICODE_STRING target_name) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)link_name, KeGetCurrentIrql(), 0, 0);
    }
    std::u16string name = text_of(link_name);
    std::u16string target = text_of(target_name);
    if (name.empty() || target.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> g(pnp_mutex);
    if (!links.emplace(fold(name), std::make_pair(name, target)).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link_name) {
    std::lock_guard<std::mutex> g(pnp_mutex);
    return links.erase(fold(text_of(link_name))) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
