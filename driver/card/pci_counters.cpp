#include "driver/card/pci_counters.h"

#include "driver/card/csr_dump.h"
#include "driver/card/hw_reset.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/time.h"

namespace {

constexpr ULONG first_register = 0x111C;
constexpr ULONG latch_register = 0x1118;
constexpr ULONG64 rotate_us = 120000000;

const char* const register_names[PAV_PCIE_STATUS_REGISTERS] = {
    "Uncorrectable error status",
    "Uncorrectable error mask",
    "Uncorrectable error severity",
    "Correctable error status",
    "Correctable error mask",
    "Advanced error capabilities and control",
    "Header log 0",
    "Header log 1",
    "Header log 2",
    "Header log 3",
    "Correctable error count",
};

void read_registers(pipeline_device* card, ULONG* values) {
    for (ULONG i = 0; i < PAV_PCIE_STATUS_REGISTERS; i++) {
        values[i] = csr_read(card->csr, first_register + 4 * i);
    }
}

// Appends to the 164-byte line.
void append(char* line, size_t* used, const char* format, ...) {
    constexpr size_t line_size = 164;
    if (*used >= line_size - 1) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    int n = kpav_vsnprintf(line + *used, line_size - *used, format, ap);
    va_end(ap);
    *used += n > 0 ? (size_t)n : 0;
}

}  // namespace

void pci_counters_snapshot(pipeline_device* card) {
    PAGED_CODE();
    RtlZeroMemory(&card->pcie_status, sizeof card->pcie_status);
    if (card->csr == nullptr) {
        return;
    }
    card->pcie_status.start_us = kpav_get_usecs();
    read_registers(card, card->pcie_status.start);
    csr_write(card->csr, latch_register, 1);
}

void pci_counters_rotate(pipeline_device* card, ULONG64 now_us) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pcie_status_snapshots& s = card->pcie_status;
    if (card->csr == nullptr || s.rotating[s.newest].time_us + rotate_us >= now_us) {
        return;
    }
    ULONG next = (s.newest + 1) % 3;
    s.rotating[next].time_us = now_us;
    read_registers(card, s.rotating[next].values);
    s.newest = next;
}

void print_pci_status_counters(pipeline_device* card, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const pcie_status_snapshots& s = card->pcie_status;
    ULONG64 now = kpav_get_usecs();
    ULONG current[PAV_PCIE_STATUS_REGISTERS] = {};
    if (card->csr != nullptr) {
        read_registers(card, current);
    }
    csr_dump_printf(printer, "pavinf PCI Status Counters\n");
    char line[164];
    size_t used = 0;
    line[0] = 0;
    append(line, &used, "time (sec)          :%8llu",
           (unsigned long long)(now > s.start_us ? (now - s.start_us) / 1000000 : 0));
    for (ULONG k = 1; k <= 3; k++) {
        const auto& snap = s.rotating[(s.newest + k) % 3];  // oldest first
        if (snap.time_us == 0) {
            append(line, &used, ",  None");
        } else {
            append(line, &used, ",%8llu", (unsigned long long)(now > snap.time_us ? (now - snap.time_us) / 1000000 : 0));
        }
    }
    append(line, &used, ",%8d\n", 0);
    csr_dump_printf(printer, "pavinf %s", line);
    for (ULONG r = 0; r < PAV_PCIE_STATUS_REGISTERS; r++) {
        used = 0;
        line[0] = 0;
        append(line, &used, "%-20s:%8d", register_names[r], (int)s.start[r]);
        for (ULONG k = 1; k <= 3; k++) {
            append(line, &used, ",%8d", (int)s.rotating[(s.newest + k) % 3].values[r]);
        }
        append(line, &used, ",%8d\n", (int)current[r]);
        csr_dump_printf(printer, "pavinf %s", line);
    }
}

void read_pcie_error_counts(pipeline_device* card, ULONG counts[12]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    static const ULONG offsets[12] = {0x111C, 0x1120, 0x1124, 0x1128, 0x112C, 0x1130,
                                      0x1138, 0x113C, 0x1140, 0x1144, 0x1148, 0x114C};
    for (ULONG i = 0; i < 12; i++) {
        counts[i] = card->csr != nullptr ? csr_read(card->csr, offsets[i]) : 0;
    }
}
