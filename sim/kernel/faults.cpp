#include "sim/kernel/faults.h"

#include <array>
#include <cstring>
#include <functional>
#include <mutex>

namespace sim::kernel {
namespace {

struct site_plan {
    uint64_t attempts = 0;
    uint64_t countdown = 0;  // fail when a matching attempt brings it from 1 to 0
    bool always = false;
    ULONG tag = 0;           // 0 = any tag
    std::function<bool(uint64_t)> rule;
    uint64_t rule_attempts = 0;
};

std::mutex plan_mutex;
std::array<site_plan, 4> plans;

ULONG tag_value(const char* tag) {
    if (tag == nullptr) {
        return 0;
    }
    ULONG v = 0;
    std::memcpy(&v, tag, std::min<size_t>(4, std::strlen(tag)));
    return v;
}

}  // namespace

void fail_nth(fault_site site, uint64_t n, const char* tag) {
    std::lock_guard<std::mutex> g(plan_mutex);
    site_plan& p = plans[(size_t)site];
    p.countdown = n;
    p.always = false;
    p.rule = nullptr;
    p.tag = tag_value(tag);
}

void fail_always(fault_site site, const char* tag) {
    std::lock_guard<std::mutex> g(plan_mutex);
    site_plan& p = plans[(size_t)site];
    p.countdown = 0;
    p.always = true;
    p.rule = nullptr;
    p.tag = tag_value(tag);
}

void fail_when(fault_site site, std::function<bool(uint64_t attempt)> rule, const char* tag) {
    std::lock_guard<std::mutex> g(plan_mutex);
    site_plan& p = plans[(size_t)site];
    p.countdown = 0;
    p.always = false;
    p.tag = tag_value(tag);
    p.rule = std::move(rule);
    p.rule_attempts = 0;
}

void clear_faults() {
    std::lock_guard<std::mutex> g(plan_mutex);
    for (site_plan& p : plans) {
        p.countdown = 0;
        p.always = false;
        p.tag = 0;
        p.rule = nullptr;
    }
}

uint64_t attempts(fault_site site) {
    std::lock_guard<std::mutex> g(plan_mutex);
    return plans[(size_t)site].attempts;
}

namespace faults {

bool should_fail(fault_site site, ULONG tag) {
    std::lock_guard<std::mutex> g(plan_mutex);
    site_plan& p = plans[(size_t)site];
    p.attempts++;
    if (p.tag != 0 && p.tag != tag) {
        return false;
    }
    if (p.always) {
        return true;
    }
    if (p.rule) {
        return p.rule(++p.rule_attempts);
    }
    if (p.countdown > 0 && --p.countdown == 0) {
        return true;
    }
    return false;
}

void reset() {
    std::lock_guard<std::mutex> g(plan_mutex);
    plans = {};
}

}  // namespace faults
}  // namespace sim::kernel
