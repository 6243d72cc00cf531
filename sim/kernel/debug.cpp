#include "sim/kernel/debug.h"

#include <cstring>
#include <deque>
#include <limits>
#include <mutex>

#include "sim/kernel/control.h"
#include "sim/kernel/format.h"
#include "sim/kernel/machine_parts.h"

namespace sim::kernel {
namespace {

// The kernel's debug print keeps at most 512 bytes of one message.
constexpr size_t debug_print_limit = 512;

constexpr size_t every_line = std::numeric_limits<size_t>::max();

std::mutex log_mutex;
std::deque<debug_line> lines;  // the newest `kept_lines` lines
size_t kept_lines = every_line;
FILE* echo = nullptr;

void keep(debug_line line) {
    if (kept_lines == 0) {
        return;
    }
    if (lines.size() >= kept_lines) {
        lines.pop_front();
    }
    lines.push_back(std::move(line));
}

struct provider {
    GUID id;
    PETWENABLECALLBACK callback;
    PVOID context;
    REGHANDLE handle;
};
std::mutex trace_mutex;
std::vector<provider> providers;
std::vector<trace_event> events;
REGHANDLE next_handle = 1;

bool same(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

std::vector<debug_line> debug_lines() {
    std::lock_guard<std::mutex> g(log_mutex);
    return {lines.begin(), lines.end()};
}

std::vector<std::string> debug_texts() {
    std::lock_guard<std::mutex> g(log_mutex);
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (const debug_line& l : lines) {
        texts.push_back(l.text);
    }
    return texts;
}

void clear_debug_lines() {
    std::lock_guard<std::mutex> g(log_mutex);
    lines.clear();
}

void set_debug_capture_limit(size_t newest_lines) {
    std::lock_guard<std::mutex> g(log_mutex);
    kept_lines = newest_lines;
    while (lines.size() > kept_lines) {
        lines.pop_front();
    }
}

void set_debug_echo(FILE* stream) {
    std::lock_guard<std::mutex> g(log_mutex);
    echo = stream;
}

std::vector<trace_event> trace_events() {
    std::lock_guard<std::mutex> g(trace_mutex);
    return events;
}

void clear_trace_events() {
    std::lock_guard<std::mutex> g(trace_mutex);
    events.clear();
}

bool trace_registered(const GUID& id) {
    std::lock_guard<std::mutex> g(trace_mutex);
    for (const provider& p : providers) {
        if (same(p.id, id)) {
            return true;
        }
    }
    return false;
}

static void control_provider(const GUID& id, ULONG code, UCHAR level, ULONGLONG keyword) {
    std::vector<provider> matching;
    {
        std::lock_guard<std::mutex> g(trace_mutex);
        for (const provider& p : providers) {
            if (same(p.id, id)) {
                matching.push_back(p);
            }
        }
    }
    // The enable callback runs without the stand-in's lock: it may write events itself.
    for (const provider& p : matching) {
        if (p.callback != nullptr) {
            p.callback(&p.id, code, level, keyword, 0, nullptr, p.context);
        }
    }
}

void trace_enable(const GUID& id, UCHAR level, ULONGLONG match_any_keyword) {
    control_provider(id, EVENT_CONTROL_CODE_ENABLE_PROVIDER, level, match_any_keyword);
}

void trace_disable(const GUID& id) {
    control_provider(id, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0);
}

namespace parts {

void reset_debug() {
    {
        std::lock_guard<std::mutex> g(log_mutex);
        lines.clear();
        kept_lines = every_line;
    }
    std::lock_guard<std::mutex> g(trace_mutex);
    events.clear();
    providers.clear();
}

void echo_to_log(const std::string& text) {
    std::lock_guard<std::mutex> g(log_mutex);
    if (echo != nullptr) {
        std::fputs(text.c_str(), echo);
        std::fflush(echo);
    }
}

}  // namespace parts
}  // namespace sim::kernel

ULONG vDbgPrintEx(ULONG component_id, ULONG level, PCSTR format, va_list arguments) {
    char text[sim::kernel::debug_print_limit];
    sim::kernel::vformat(text, sizeof text, format, arguments);
    std::lock_guard<std::mutex> g(sim::kernel::log_mutex);
    sim::kernel::keep({component_id, level, text});
    if (sim::kernel::echo != nullptr) {
        std::fputs(text, sim::kernel::echo);
        std::fflush(sim::kernel::echo);
    }
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG component_id, ULONG level, PCSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    ULONG r = vDbgPrintEx(component_id, level, format, ap);
    va_end(ap);
    return r;
}

ULONG DbgPrint(PCSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    ULONG r = vDbgPrintEx(0, DPFLTR_ERROR_LEVEL, format, ap);
    va_end(ap);
    return r;
}

NTSTATUS EtwRegister(LPCGUID provider_id, PETWENABLECALLBACK enable_callback, PVOID callback_context,
                     PREGHANDLE reg_handle) {
    if (provider_id == nullptr || reg_handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> g(sim::kernel::trace_mutex);
    REGHANDLE h = sim::kernel::next_handle++;
    sim::kernel::providers.push_back({*provider_id, enable_callback, callback_context, h});
    *reg_handle = h;
    return STATUS_SUCCESS;
}

NTSTATUS EtwUnregister(REGHANDLE reg_handle) {
    std::lock_guard<std::mutex> g(sim::kernel::trace_mutex);
    auto& ps = sim::kernel::providers;
    for (auto it = ps.begin(); it != ps.end(); ++it) {
        if (it->handle == reg_handle) {
            ps.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_HANDLE;
}

NTSTATUS EtwWrite(REGHANDLE reg_handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity_id,
                  ULONG user_data_count, PEVENT_DATA_DESCRIPTOR user_data) {
    UNREFERENCED_PARAMETER(activity_id);
    std::lock_guard<std::mutex> g(sim::kernel::trace_mutex);
    for (const auto& p : sim::kernel::providers) {
        if (p.handle != reg_handle) {
            continue;
        }
        sim::kernel::trace_event e{p.id,
                                   descriptor->Id,
                                   descriptor->Level,
                                   descriptor->Channel,
                                   descriptor->Opcode,
                                   descriptor->Task,
                                   descriptor->Keyword,
                                   {}};
        for (ULONG i = 0; i < user_data_count; i++) {
            auto* b = (const uint8_t*)(ULONG_PTR)user_data[i].Ptr;
            e.fields.emplace_back(b, b + user_data[i].Size);
        }
        sim::kernel::events.push_back(std::move(e));
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_HANDLE;
}
