// Where a card's interrupts are delivered: PAV_AFFINITY, the NUMA node the system reports for
// the card, or a spread over every processor and node; written into the interrupt resource
// requirements before the card starts.
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "driver/shell/shell.h"

namespace {

constexpr size_t max_text = 4224;

struct affinity_entry {
    ULONG domain;
    ULONG bus;
    bool is_group;
    ULONG number;
    bool has_mask;
    ULONG64 mask;
};

// The syntax error's line: the text up to the 1-based `position`, copied from pool (the text
// may be as long as a parameter value, too long for a kernel stack).
void report_syntax_error(const char* text, ULONG position) {
    PAGED_CODE();
    size_t n = 0;
    while (n < position && n < max_text && text[n] != 0) {
        n++;
    }
    auto* copy = (char*)kpav_alloc(n + 1, KPAV_TAG_VML);
    if (copy == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6154,
                    "Invalid PAV_AFFINITY parameter syntax at character %u. Manual affinity settings are disabled!\n",
                    position);
        return;
    }
    RtlCopyMemory(copy, text, n);
    copy[n] = 0;
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6153,
                "Invalid PAV_AFFINITY parameter syntax at character %u: \"%s\". Manual affinity settings are "
                "disabled!\n",
                position, copy);
    kpav_free(copy, KPAV_TAG_VML);
}

// Parses PAV_AFFINITY. With `log`, a syntax error is reported (messages 6149-6154). `visit` is
// called for each entry of a valid text until it returns true. Returns false for an invalid text.
template <typename Visit>
bool parse_affinity(const char* text, bool log, Visit visit) {
    PAGED_CODE();
    const char* p = text;
    ULONG message = 0;
    const char* error = nullptr;
    auto digits = [&p](ULONG limit, ULONG* value) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        ULONG64 v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (ULONG64)(*p - '0');
            if (v > limit) {
                return false;
            }
            p++;
        }
        *value = (ULONG)v;
        return true;
    };
    bool ok = true;
    // First pass validates the whole text; entries are visited only when it is valid.
    for (int pass = 0; pass < 2 && ok; pass++) {
        p = text;
        while (ok) {
            affinity_entry e{};
            ULONG first = 0;
            if (!digits(0xFFFF, &first)) {
                ok = false;
                message = 6149;
                error = "PAV_AFFINITY: Invalid device number\n";
                break;
            }
            if (*p == ':') {
                p++;
                e.domain = first;
                if (!digits(255, &e.bus)) {
                    ok = false;
                    message = 6149;
                    error = "PAV_AFFINITY: Invalid device number\n";
                    break;
                }
            } else if (first > 255) {
                ok = false;
                message = 6149;
                error = "PAV_AFFINITY: Invalid device number\n";
                break;
            } else {
                e.bus = first;
            }
            if (*p != ',') {
                ok = false;  // ends too early
                break;
            }
            p++;
            e.is_group = true;
            if (*p == 'G' || *p == 'g') {
                p++;
            } else if (*p == 'N' || *p == 'n') {
                e.is_group = false;
                p++;
            }
            if (!digits(0xFFFF, &e.number)) {
                ok = false;
                message = 6150;
                error = "PAV_AFFINITY: Invalid group or node number\n";
                break;
            }
            if (*p == ',') {
                p++;
                if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
                    p += 2;
                }
                int n = 0;
                ULONG64 mask = 0;
                while (kpav_hex_digit(*p) >= 0) {
                    if (++n > 16) {
                        break;
                    }
                    mask = mask << 4 | (ULONG64)kpav_hex_digit(*p);
                    p++;
                }
                if (n > 16) {
                    ok = false;
                    message = 6152;
                    error = "PAV_AFFINITY: Invalid mask - too long\n";
                    break;
                }
                if (n == 0) {
                    ok = false;
                    message = 6151;
                    error = "PAV_AFFINITY: Invalid mask\n";
                    break;
                }
                e.has_mask = true;
                e.mask = mask;
            }
            if (pass == 1 && visit(e)) {
                return true;
            }
            if (*p == 0) {
                break;
            }
            if (*p != ';') {
                ok = false;
                break;
            }
            p++;
        }
    }
    if (!ok && log) {
        if (error != nullptr) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, message, "%s", error);
        }
        report_syntax_error(text, (ULONG)(p - text) + 1);
    }
    return ok;
}

// The node's group and the mask of its active processors.
void node_affinity(USHORT node, USHORT* group, KAFFINITY* mask) {
    PAGED_CODE();
    GROUP_AFFINITY a{};
    USHORT count = 0;
    KeQueryNodeActiveAffinity(node, &a, &count);
    *group = a.Group;
    *mask = a.Mask;
}

void group_mask(USHORT group, KAFFINITY* mask) {
    PAGED_CODE();
    *mask = 0;
    ULONG active = KeQueryActiveProcessorCountEx(group);
    for (ULONG i = 0; i < active && i < 64; i++) {
        *mask |= (KAFFINITY)1 << i;
    }
}

#define PAV_LOCATION_FORMAT "%04x:%02x:%02x.%01x"
#define PAV_LOCATION(pdev) (pdev).domain, (pdev).bus, (pdev).device, (pdev).function

}  // namespace

bool PavValidateAffinityParameter() {
    PAGED_CODE();
    if (pav_affinity[0] == 0) {
        return false;
    }
    return parse_affinity(pav_affinity, true, [](const affinity_entry&) { return false; });
}

bool PavFindAffinityEntry(USHORT domain, UCHAR bus, ULONG* number, ULONG64* mask, bool* is_group) {
    PAGED_CODE();
    if (pav_affinity[0] == 0) {
        return false;
    }
    bool found = false;
    parse_affinity(pav_affinity, false, [&](const affinity_entry& e) {
        if (e.domain != domain || e.bus != bus) {
            return false;
        }
        *number = e.number;
        *mask = e.has_mask ? e.mask : ~0ull;
        *is_group = e.is_group;
        found = true;
        return true;
    });
    return found;
}

void PavSetAffinityDefaults(FDO_CONTEXT* context) {
    PAGED_CODE();
    pci_dev& pdev = context->pdev;
    context->affinity_mask = 0;
    if (pav_numa_node_table == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, PAV_LOCATION_FORMAT ": No NUMA nodes are available.\n", PAV_LOCATION(pdev));
        return;
    }
    ULONG number = 0;
    ULONG64 mask = 0;
    bool is_group = false;
    if (PavValidateAffinityParameter() && PavFindAffinityEntry(pdev.domain, pdev.bus, &number, &mask, &is_group)) {
        if (is_group) {
            KAFFINITY active;
            group_mask((USHORT)number, &active);
            context->group = (USHORT)number;
            context->affinity_mask = mask & active;
        } else {
            KAFFINITY node_mask;
            context->numa_node = (USHORT)number;
            node_affinity((USHORT)number, &context->group, &node_mask);
            context->affinity_mask = node_mask;
        }
        kpav_print(KPAV_CLASS_NORMAL_TRACED,
                   PAV_LOCATION_FORMAT ": CPU affinity set by driver parameter.  NUMA %s 0x%x.\n", PAV_LOCATION(pdev),
                   is_group ? "group" : "node", number);
        return;
    }
    if (win_disable_default_numa_affinity != 0) {
        return;
    }
    USHORT node = 0;
    PDEVICE_OBJECT physical = WdfDeviceWdmGetPhysicalDevice(context->device);
    if (physical == nullptr || !NT_SUCCESS(IoGetDeviceNumaNode(physical, &node))) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    PAV_LOCATION_FORMAT
                    ": no affinity configuration found: it is recommended to use pav-config to tune interrupt "
                    "placement via PAV_AFFINITY for best performance.  Using NUMA node 0.\n",
                    PAV_LOCATION(pdev));
        node = 0;
    } else {
        kpav_print(KPAV_CLASS_NORMAL_TRACED, PAV_LOCATION_FORMAT ": BIOS affinity configuration found - setting to node %u\n",
                   PAV_LOCATION(pdev), node);
    }
    KAFFINITY node_mask;
    context->numa_node = node;
    node_affinity(node, &context->group, &node_mask);
    context->affinity_mask = node_mask;
    if (node >= pav_numa_node_count) {
        return;
    }
    // A node without processors has nothing to rotate through (and the rotation would not end).
    if (node_mask == 0) {
        kpav_syslog(KPAV_LEVEL_WARNING, nullptr, KPAV_NO_MESSAGE_ID,
                    PAV_LOCATION_FORMAT ": no active processors found.  Affinity is not being set.\n",
                    PAV_LOCATION(pdev));
        context->affinity_mask = 0;
        return;
    }
    ULONG64 bit = pav_numa_node_table[node] << 1;
    while ((bit & node_mask) == 0) {
        bit = bit == 0 ? 1 : bit << 1;
    }
    pav_numa_node_table[node] = bit;
    context->affinity_mask = bit;
}

ULONG PavPlanInterruptAffinity(WDFDEVICE device) {
    PAGED_CODE();
    FDO_CONTEXT* c = PavGetFdoContext(device);
    c->next_interrupt = 0;
    ULONG processors = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    if (!pav_multiq || processors == 0) {
        return 1;
    }
    ULONG vectors = processors + 2 < PAV_MAX_INTERRUPTS ? processors + 2 : PAV_MAX_INTERRUPTS;
    auto place = [c](ULONG index, USHORT group, ULONG64 mask, ULONG node) {
        INTERRUPT_CONTEXT* ic = PavGetInterruptContext(c->interrupts[index]);
        ic->group = group;
        ic->affinity = mask;
        ic->node = node;
    };
    USHORT group;
    KAFFINITY node_mask;
    node_affinity(c->numa_node, &group, &node_mask);
    ULONG64 first = node_mask & (~node_mask + 1);
    place(0, group, first, c->numa_node);
    place(1, group, first, c->numa_node);
    ULONG remaining = vectors - 2;
    ULONG plan = 2;
    if (remaining >= processors) {
        for (ULONG i = 0; i < processors; i++) {
            GROUP_AFFINITY a;
            USHORT node = 0;
            kpav_cpu_affinity(i, &a, &node);
            place(plan++, a.Group, a.Mask, node);
        }
        return plan;
    }
    ULONG nodes = pav_numa_node_count != 0 ? pav_numa_node_count : 1;
    ULONG stride = 1;
    ULONG per_node = 1;
    if (remaining < nodes) {
        stride = 2;
        while ((nodes + stride - 1) / stride > remaining) {
            stride++;
        }
    } else {
        per_node = remaining / nodes;
    }
    for (ULONG node = 0; node < nodes && plan < vectors; node += stride) {
        KAFFINITY mask;
        USHORT node_group;
        node_affinity((USHORT)node, &node_group, &mask);
        for (ULONG k = 0; k < per_node && plan < vectors; k++) {
            // The node's k-th active processor (none when it has fewer).
            KAFFINITY left = mask;
            for (ULONG skip = 0; skip < k && left != 0; skip++) {
                left &= left - 1;
            }
            place(plan++, node_group, left & (~left + 1), node);
        }
    }
    return plan;
}

NTSTATUS PavSetInterruptPolicy(WDFDEVICE device, PIO_RESOURCE_DESCRIPTOR descriptor) {
    PAGED_CODE();
    FDO_CONTEXT* c = PavGetFdoContext(device);
    pci_dev& pdev = c->pdev;
    if (win_disable_all_affinity != 0 || c->affinity_mask == 0) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED,
                   PAV_LOCATION_FORMAT
                   ": affinity not set for device because either WIN_DISABLE_ALL_AFFINITY is set to 1,or "
                   "WIN_DISABLE_DEFAULT_NUMA_AFFINITY is set to 1.\n",
                   PAV_LOCATION(pdev));
        return STATUS_UNSUCCESSFUL;
    }
    USHORT group = c->group;
    ULONG64 mask = c->affinity_mask;
    ULONG node = c->numa_node;
    ULONG vector = 0;
    if (pav_multiq) {
        vector = c->next_interrupt++;
        INTERRUPT_CONTEXT* ic = PavGetInterruptContext(c->interrupts[vector]);
        group = ic->group;
        mask = ic->affinity;
        node = ic->node;
    }
    descriptor->Flags |= CM_RESOURCE_INTERRUPT_POLICY_INCLUDED;
    descriptor->u.Interrupt.AffinityPolicy = IrqPolicySpecifiedProcessors;
    descriptor->u.Interrupt.Group = group;
    descriptor->u.Interrupt.TargetedProcessors = (KAFFINITY)mask;
    bool matched = false;
    ULONG in_group = KeQueryActiveProcessorCountEx(group);
    for (ULONG bit = 0; bit < 64 && bit < in_group; bit++) {
        if ((mask >> bit & 1) == 0) {
            continue;
        }
        matched = true;
        PROCESSOR_NUMBER number{group, (UCHAR)bit, 0};
        ULONG system = KeGetProcessorIndexFromNumber(&number);
        if (system == (ULONG)-1) {
            kpav_print(KPAV_CLASS_NORMAL_TRACED,
                       PAV_LOCATION_FORMAT
                       ": Requesting interrupt affinity for MSI-X %02u: System Processor=UNKNOWN, Group=%02u, Group "
                       "Processor=%02u, Group Mask=0x%016llx, NUMA Node=%02u\n",
                       PAV_LOCATION(pdev), vector, group, bit, mask, node);
        } else {
            kpav_print(KPAV_CLASS_NORMAL_TRACED,
                       PAV_LOCATION_FORMAT
                       ": Requesting interrupt affinity for MSI-X %02u: System Processor=%04u, Group=%02u, Group "
                       "Processor=%02u, Group Mask=0x%016llx, NUMA Node=%02u\n",
                       PAV_LOCATION(pdev), vector, system, group, bit, mask, node);
        }
    }
    if (!matched) {
        kpav_print(KPAV_CLASS_NORMAL_TRACED,
                   PAV_LOCATION_FORMAT
                   ": Unable to match interrupt group affinity mask with any processor for MSI-X %02u: Group=%02u, "
                   "Group Mask=0x%016llx, NUMA Node=%02u\n",
                   PAV_LOCATION(pdev), vector, group, mask, node);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FdoEvtDeviceFilterAddResourceRequirements(WDFDEVICE device, WDFIORESREQLIST requirements) {
    PAGED_CODE();
    FDO_CONTEXT* c = PavGetFdoContext(device);
    c->plan_count = PavPlanInterruptAffinity(device);
    for (ULONG l = 0; l < WdfIoResourceRequirementsListGetCount(requirements); l++) {
        WDFIORESLIST list = WdfIoResourceRequirementsListGetIoResList(requirements, l);
        c->next_interrupt = 0;
        for (ULONG i = 0; i < WdfIoResourceListGetCount(list); i++) {
            PIO_RESOURCE_DESCRIPTOR d = WdfIoResourceListGetDescriptor(list, i);
            if (d->Type != CmResourceTypeInterrupt) {
                continue;
            }
            IO_RESOURCE_DESCRIPTOR copy = *d;
            if (NT_SUCCESS(PavSetInterruptPolicy(device, &copy))) {
                WdfIoResourceListUpdateDescriptor(list, &copy, i);
            }
            if (!pav_multiq || c->next_interrupt >= c->plan_count) {
                break;
            }
        }
    }
    return STATUS_SUCCESS;
}
