#include "driver/control/register_dump.h"

#include "driver/card/csr_dump.h"
#include "driver/card/hw_reset.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/pci.h"
#include "driver/platform/pci_dev.h"
#include "driver/platform/time.h"

namespace {

constexpr ULONG fifo_entry_limit = 4096;
// The trace readout gives up after 2 s, or after this many register polls when time does not
// move (at a crash the tick count stands still).
constexpr ULONG64 trace_limit_us = 2000000;
constexpr ULONG trace_poll_limit = 1000000;

// A register shown by name with its raw value: the sections whose fields are the controller's
// own layout.
struct named_register {
    const char* name;
    ULONG offset;
};

ULONG bits(ULONG value, ULONG low, ULONG high) {
    ULONG width = high - low + 1;
    return width >= 32 ? value >> low : (value >> low) & ((1u << width) - 1);
}

ULONG bit(ULONG value, ULONG n) {
    return (value >> n) & 1;
}

ULONG reg(pipeline_device* card, ULONG offset) {
    return csr_read(card->csr, offset);
}

// A register of the per-queue window of hardware queue q.
ULONG queue_reg(pipeline_device* card, ULONG q, ULONG offset) {
    return READ_REGISTER_ULONG(card->cq_windows + (q * 0x200 + offset) / 4);
}

void print_named(pipeline_device* card, csr_dump_printer* printer, const named_register* regs, ULONG count) {
    for (ULONG i = 0; i < count; i++) {
        csr_dump_printf(printer, "pavinf %s: %s: 0x%08x\n", pav_card_name(card), regs[i].name,
                        reg(card, regs[i].offset));
    }
}

template <ULONG N>
void print_named(pipeline_device* card, csr_dump_printer* printer, const named_register (&regs)[N]) {
    print_named(card, printer, regs, N);
}

ULONG bank_count(pipeline_device* card) {
    return card->nand != nullptr && card->nand->geometry.banks == 8 ? 8 : 4;
}

// Registers all ones while the card should answer: the bus is gone.
bool bus_lost(pipeline_device* card) {
    return card->csr == nullptr || reg(card, 0x120C) == 0xFFFFFFFF;
}

void print_pcie_link(pipeline_device* card, csr_dump_printer* printer) {
    const char* name = pav_card_name(card);
    ULONG v = reg(card, 0x1400);
    csr_dump_printf(printer,
                    "pavinf %s: PCIE Link: 0x%08x rdst_ep_set %u rdst_app_set %u fatal %u rsv %u poison %u "
                    "flow_ctl %u rx_ovrflow %u\n",
                    name, v, bit(v, 31), bit(v, 30), bit(v, 29), bit(v, 28), bit(v, 27), bit(v, 26), bit(v, 25));
    csr_dump_printf(printer, "pavinf %s: PCIE Link: malform %u ecrc %u unsupport %u\n", name, bit(v, 24), bit(v, 23),
                    bit(v, 22));
    csr_dump_printf(printer,
                    "pavinf %s: PCIE Link: i_state %u leg_assert %u rsrc_rdy_n %u rdst_rdy_n %u rerrfwd_n %u "
                    "rnp_ok_n %u\n",
                    name, bits(v, 0, 3), bit(v, 4), bit(v, 5), bit(v, 6), bit(v, 7), bit(v, 8));
    csr_dump_printf(printer,
                    "pavinf %s: PCIE Link: err_cpl_to_closed_tag %u err_cpl_timeout %u err_tag_active %u "
                    "pcie_interrupt %u lnk_up_n %u\n",
                    name, bit(v, 9), bit(v, 10), bit(v, 11), bit(v, 12), bit(v, 13));
    csr_dump_printf(printer,
                    "pavinf %s: PCIE Link: corr-err %u non-fatal-err %u fatal-err %u unsupp-req-detect %u "
                    "aux-pwr-detect %u trans-pending %u\n",
                    name, bit(v, 14), bit(v, 15), bit(v, 16), bit(v, 17), bit(v, 18), bit(v, 19));
    csr_dump_printf(printer, "pavinf %s: PCIE Link: PCIE link retrain (bar reset) %u MSI mode %u\n", name, bit(v, 21),
                    bit(v, 20));
}

void print_msi_and_power(pipeline_device* card, csr_dump_printer* printer) {
    const char* name = pav_card_name(card);
    if (card->cq_windows != nullptr) {
        for (ULONG q = 0; q < card->completion_queue_count; q++) {
            csr_dump_printf(printer, "pavinf %s: MSI-%d adr hi: 0x%x adr lo: 0x%x data: 0x%x\n", name, (int)q,
                            queue_reg(card, q, 0x5C), queue_reg(card, q, 0x58), queue_reg(card, q, 0x60));
        }
    }
    csr_dump_printf(printer, "pavinf %s: Powercut %s\n", name, (reg(card, 0x1388) & 1) != 0 ? "enabled" : "disabled");
    csr_dump_printf(printer, "pavinf %s: Brownout %s\n", name, (reg(card, 0x1380) & 1) != 0 ? "enabled" : "disabled");
}

const named_register nand_bus_registers[] = {
    {"bus_status", 0x2200},  {"bus_status0", 0x2204}, {"bus_status1", 0x2208}, {"bus_status2", 0x220C},
    {"bus_status3", 0x2210}, {"Page Buffer Data Count 1", 0x2214}, {"Page Buffer Data Count 2", 0x24D4},
    {"bank_arb_status", 0x24B0}, {"bank_arb_status2", 0x24B4}, {"bank_arb_status3", 0x24B8},
    {"bank_arb_status4", 0x24BC}, {"bank_arb_status5", 0x24C0}, {"bank_arb_status6", 0x24C4},
    {"bank_arb_status7", 0x24C8}, {"bank_arb_status8", 0x24CC}, {"bank_arb_status9", 0x24D0},
};

const named_register timing_registers[] = {{"tPROG", 0x2584}, {"tREAD", 0x2580}, {"tSTAT", 0x2590}};

const named_register configuration_registers[] = {
    {"erase_wait", 0x2630}, {"erase_token", 0x2634}, {"dither_test", 0x128C}, {"config", 0x25D8},
    {"nand_mode", 0x2010},  {"module_present", 0x2038}, {"PW counter", 0x1244},
    {"WQ", 0x4200},         {"WS", 0x4204},         {"DWQ", 0x6080},         {"DWS", 0x6084},
    {"PQ", 0x4090},         {"PS", 0x4094},         {"DPQ", 0x610C},         {"DPS", 0x6110},
    {"AF status0", 0x4100}, {"AF mask status", 0x4104}, {"AF status1", 0x4108}, {"AF status2", 0x410C},
    {"AS status0", 0x6180}, {"AS mask status", 0x6184}, {"AS status1", 0x6188}, {"AS status2", 0x618C},
    {"AS status3", 0x6190}, {"AS status4", 0x6194},
};

void print_banks(pipeline_device* card, csr_dump_printer* printer) {
    ULONG banks = bank_count(card);
    for (ULONG b = 0; b < banks; b++) {
        print_bank_status(card, b, reg(card, 0x2400 + 4 * b), printer);
    }
    for (ULONG b = 0; b < banks; b++) {
        print_bank_status_st(card, b, reg(card, 0x2420 + 4 * b), printer);
    }
    for (ULONG b = 0; b < banks; b++) {
        print_bank_status_st2(card, b, reg(card, 0x2440 + 4 * b), printer);
    }
    for (ULONG b = 0; b < banks; b++) {
        print_cmd_fifo_status(card, b, reg(card, 0x2500 + 4 * b), printer);
    }
}

const named_register data_path_registers[] = {
    {"fast_comp", 0x2030}, {"bank_ctrl", 0x25D4}, {"jf status1", 0x2020}, {"jf check", 0x201C},
    {"input_fifo_status", 0x2014}, {"output_fifo_status", 0x2018},
};

void print_address_queues(pipeline_device* card, csr_dump_printer* printer) {
    const char* name = pav_card_name(card);
    ULONG banks = bank_count(card);
    for (ULONG b = 0; b < banks; b++) {
        ULONG raw = reg(card, b < 4 ? 0x24A0 : 0x24A4);
        ULONG v = (raw >> (8 * (b % 4))) & 0xFF;
        char shown[24] = "";
        if (b % 4 == 0) {
            kpav_snprintf(shown, sizeof shown, " (0x%08x)", raw);
        }
        csr_dump_printf(printer,
                        "pavinf %s: address queue bank%u status:%s pfull=%u empty=%u full=%u und_cnt=%u ovr_cnt=%u\n",
                        name, b, shown, bit(v, 2), bit(v, 0), bit(v, 1), bits(v, 3, 4), bits(v, 5, 7));
    }
}

const named_register stripe_registers[] = {
    {"sort_on", 0x2050}, {"vstripe size", 0x2048}, {"vstripe no_ecc size", 0x204C}, {"sni_cmd_reg", 0x1238},
};

const named_register unit_registers[] = {
    {"rd_buff_status", 0x6028}, {"vcw_ecc_status", 0x6318}, {"status_bcmd", 0x2180},
    {"adp_strip_status", 0x6180}, {"adp_strip_status1", 0x6184}, {"adp_strip_status2", 0x6188},
    {"adp_fill_status", 0x4100}, {"adp_fill_status1", 0x4104}, {"adp_fill_status2", 0x4108},
    {"adp_fill_status3", 0x410C},
    {"nand mode", 0x2010}, {"bitbang enable", 0x2280}, {"interrupt status", 0x2040},
    {"interrupt masks", 0x2004}, {"interrupt misc masks", 0x2008},
};

// Register blocks shown as rows of dwords.
void print_block(pipeline_device* card, csr_dump_printer* printer, const char* label, ULONG first, ULONG count) {
    ULONG values[32];
    for (ULONG i = 0; i < count && i < 32; i++) {
        values[i] = reg(card, first + 4 * i);
    }
    csr_dump_hex_dwords(printer, values, count < 32 ? count : 32, 8, " %08x", " [%2u]", "%s: %s", pav_card_name(card),
                        label);
}

void print_dma(pipeline_device* card, csr_dump_printer* printer) {
    const char* name = pav_card_name(card);
    csr_dump_printf(printer, "pavinf %s: CMD/CMPL queues\n", name);
    if (card->cq_windows != nullptr) {
        for (ULONG q = 0; q < card->completion_queue_count; q++) {
            ULONG data = queue_reg(card, q, 0xC);
            csr_dump_printf(printer,
                            "pavinf %s: HW Queue %u: dma common status 0x%08x version 0x%08x data status 0x%08x "
                            "cmd_pio 0x%08x\n",
                            name, q, queue_reg(card, q, 0x0), queue_reg(card, q, 0x4), data, queue_reg(card, q, 0x90));
        }
    }
    if (card->bar != nullptr) {
        // The command-side engine window (BAR 0) and its command queue.
        auto engine = [card](ULONG offset) { return READ_REGISTER_ULONG(card->bar + offset / 4); };
        ULONG fifo = engine(0x148);
        csr_dump_printf(printer,
                        "pavinf %s: CMD queue: completion count %u fifo wd count %u ring buffer free count %u "
                        "count_0 %u overflow count %u current ptr 0x%08x%08x\n",
                        name, engine(0x114), bits(fifo, 0, 9), bits(fifo, 10, 31), engine(0x10C), engine(0x108),
                        engine(0x124), engine(0x120));
        csr_dump_printf(printer,
                        "pavinf %s: CMD queue: count 0x%08x data 0x%08x target wr 0x%08x tx_arb 0x%08x "
                        "cmd_fifo_wr_cnt_in %u cmd_fifo_wr_cnt_out %u\n",
                        name, engine(0x118), engine(0x11C), engine(0x138), engine(0x13C), engine(0x140), engine(0x144));
        csr_dump_printf(printer, "pavinf %s: CMD state status 0x%08x remaining byte count %u eng state 0x%08x\n", name,
                        engine(0x12C), engine(0x130), engine(0x134));
        ULONG values[20];
        for (ULONG i = 0; i < 20; i++) {
            values[i] = engine(4 * i);
        }
        csr_dump_hex_dwords(printer, values, 20, 10, " %08x", nullptr, "%s: DMA WRITE s2c:", name);
    }
    if (card->window2 != nullptr) {
        ULONG values[20];
        for (ULONG i = 0; i < 20; i++) {
            values[i] = READ_REGISTER_ULONG(card->window2 + i);
        }
        csr_dump_hex_dwords(printer, values, 20, 10, " %08x", nullptr, "%s: DMA READ c2s:", name);
    }
}

const named_register upset_registers[] = {
    {"SEU csr", 0x10BC}, {"Parity status", 0x202C}, {"Sim_pcut", 0x139C}, {"Parity_inj", 0x2034},
    {"e_offset", 0x2000},
};

}  // namespace

void dump_controller_registers(pipeline_device* card, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (!card->bus_present || bus_lost(card)) {
        csr_dump_printf(printer, "pavinf %s: Device is offline, no registers to report\n", pav_card_name(card));
        return;
    }
    print_firmware_archive_info(card, printer);
    print_pcie_link(card, printer);
    print_msi_and_power(card, printer);
    print_named(card, printer, nand_bus_registers);
    if (!card->microcode.running) {
        print_named(card, printer, timing_registers);
    }
    print_named(card, printer, configuration_registers);
    print_banks(card, printer);
    print_named(card, printer, data_path_registers);
    print_address_queues(card, printer);
    print_named(card, printer, stripe_registers);
    print_block(card, printer, "rd_buff_status", 0x602C, 19);
    print_block(card, printer, "status_parsub", 0x6280, 10);
    print_block(card, printer, "status_sort", 0x2184, 24);
    print_block(card, printer, "status_sort[6..9]", 0x2800, 32);
    print_named(card, printer, unit_registers);
    print_dma(card, printer);
    print_named(card, printer, upset_registers);
}

namespace {

// The trace readout's clock: 2 s from its start, or the poll budget.
struct trace_clock {
    ULONG64 start_us = kpav_get_usecs();
    ULONG polls = 0;
    bool expired() { return ++polls > trace_poll_limit || kpav_get_usecs() - start_us >= trace_limit_us; }
};

bool session_busy(pipeline_device* card) {
    return (reg(card, 0x209C) & 2) != 0;
}

void wait_session_idle(pipeline_device* card, trace_clock* clock) {
    while (session_busy(card) && !clock->expired()) {
    }
}

void print_trace_record(pipeline_device* card, csr_dump_printer* printer, trace_clock* clock) {
    ULONG header = reg(card, 0x22C8);
    char label[32];
    kpav_snprintf(label, sizeof label, "nce trace: %04x %04x:", header & 0xFFFF, header >> 16);
    ULONG count = header >> 18;
    ULONG words[16];
    ULONG held = 0;
    for (ULONG i = 0; i < count && !clock->expired(); i++) {
        csr_write(card->csr, 0x22E4, 4);
        words[held++] = reg(card, 0x22C8);
        if (held == 16 || i + 1 == count) {
            csr_dump_hex_dwords(printer, words, held, 16, " %08x", nullptr, "%s: %21s", pav_card_name(card), label);
            label[0] = 0;
            held = 0;
        }
    }
    csr_write(card->csr, 0x22E4, 4);
}

}  // namespace

void dump_microcode(pipeline_device* card, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (!card->microcode.running || !card->bus_present || bus_lost(card)) {
        return;
    }
    const char* name = pav_card_name(card);
    char version[40];
    ULONG v = card->microcode.version;
    kpav_snprintf(version, sizeof version, "%d.%d.%d", (int)bits(v, 16, 23), (int)bits(v, 8, 15), (int)bits(v, 0, 7));
    csr_dump_printf(printer, "pavinf %s: microcode image %s rev %u with flags 0x%08x\n", name, version,
                    card->microcode.build, card->microcode.flags);
    trace_clock clock;
    ULONG control = reg(card, 0x22E4);
    if ((control & 0x10) != 0) {
        // The trace cannot be read: leave the session started for the next reader.
        wait_session_idle(card, &clock);
        csr_write(card->csr, 0x2094, 1);
        csr_write(card->csr, 0x209C, 3);
        return;
    }
    while ((reg(card, 0x22E4) & 0x8) != 0 && !clock.expired()) {
        csr_write(card->csr, 0x22E4, 0);
    }
    wait_session_idle(card, &clock);
    csr_write(card->csr, 0x2094, 1);
    csr_write(card->csr, 0x209C, 3);
    while (session_busy(card) && !clock.expired()) {
        if ((reg(card, 0x22E4) & 1) == 0) {
            print_trace_record(card, printer, &clock);
        }
    }
    if (clock.expired()) {
        csr_dump_printf(printer, "pavinf %s: nce trace: time limit reached\n", name);
    }
    csr_write(card->csr, 0x22E4, 2);
}

void print_bank_status(pipeline_device* card, ULONG bank, ULONG v, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const char* name = pav_card_name(card);
    csr_dump_printf(printer,
                    "pavinf %s: bank%d status:   0x%08x nand_statusR=0x%02x bank_rtr=%d cmd_async_full=%d "
                    "cmd_async_empty=%d\n",
                    name, (int)bank, v, bits(v, 0, 7), (int)bit(v, 8), (int)bit(v, 9), (int)bit(v, 10));
    csr_dump_printf(printer, "pavinf %s:                            bank_latch=%d bank_cmd=%d bank_cmd_cnt=%d\n", name,
                    (int)bit(v, 11), (int)bits(v, 12, 16), (int)bits(v, 17, 30));
}

void print_bank_status_st(pipeline_device* card, ULONG bank, ULONG v, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const char* name = pav_card_name(card);
    csr_dump_printf(printer, "pavinf %s: bank%d status_st: 0x%08x state=%d sizeR=%d size2R=%d\n", name, (int)bank, v,
                    (int)bits(v, 0, 7), (int)bits(v, 18, 25), (int)bits(v, 26, 31));
    csr_dump_printf(printer, "pavinf %s:                    flag1=%d drnd=%d splane=%d int=%d\n", name, (int)bit(v, 8),
                    (int)bit(v, 9), (int)bit(v, 10), (int)bit(v, 11));
    csr_dump_printf(printer, "pavinf %s:                    prerd=%d rd=%d wr=%d er=%d blk80_i=%d blk80_o=%d\n", name,
                    (int)bit(v, 14), (int)bit(v, 15), (int)bit(v, 16), (int)bit(v, 17), (int)bit(v, 13),
                    (int)bit(v, 12));
}

void print_bank_status_st2(pipeline_device* card, ULONG bank, ULONG v, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    csr_dump_printf(printer, "pavinf %s: bank%d status_st2: 0x%08x pstream=%d blk_o=%d blk_i=%d idle_o=%d idle_i=%d\n",
                    pav_card_name(card), (int)bank, v, (int)bits(v, 0, 15), (int)bit(v, 16), (int)bit(v, 17),
                    (int)bit(v, 18), (int)bit(v, 19));
}

void print_cmd_fifo_status(pipeline_device* card, ULONG bank, ULONG v, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    csr_dump_printf(printer,
                    "pavinf %s: cmd fifo bank%d status:    0x%08x pfull=%d empty=%d full=%d und_cnt=%d ovr_cnt=%d "
                    "wd_cnt=%d\n",
                    pav_card_name(card), (int)bank, v, (int)bit(v, 28), (int)bit(v, 26), (int)bit(v, 27),
                    (int)bits(v, 10, 17), (int)bits(v, 18, 25), (int)bits(v, 0, 9));
}

void dump_pcie_config(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (normal_context == 0 || card->pdev == nullptr || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;
    }
    const char* name = pav_card_name(card);
    csr_dump_printf(printer, "pavinf %s: Dumping PCIe configuration space:\n", name);
    for (ULONG offset = 0; offset < 0x180; offset += 16) {
        ULONG d[4] = {};
        NTSTATUS status = kpav_pci_config_access(card->pdev, 0, d, offset, sizeof d);
        if (!NT_SUCCESS(status)) {
            csr_dump_printf(printer, "pavinf %s: 0x%04x: configuration space read failed (0x%08x): not shown\n", name,
                            offset, (ULONG)status);
            return;
        }
        if ((d[0] & d[1] & d[2] & d[3]) == 0xFFFFFFFF && offset == 0) {
            csr_dump_printf(printer, "pavinf %s: PCIe configuration space reads all ones: not shown\n", name);
            return;
        }
        if ((d[0] | d[1] | d[2] | d[3]) == 0) {
            continue;
        }
        csr_dump_printf(printer, "pavinf %s: 0x%04x: 0x%08x 0x%08x 0x%08x 0x%08x\n", name, offset, d[0], d[1], d[2],
                        d[3]);
    }
}

void dump_status_fifo(pipeline_device* card, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (card->bus_present != 1 || card->csr == nullptr) {
        return;
    }
    for (ULONG entries = 0; (reg(card, 0x2054) & 1) == 0; entries++) {
        if (entries == fifo_entry_limit) {
            csr_dump_printf(printer, "pavinf %s: status FIFO never empty: stopped after %u entries\n",
                            pav_card_name(card), entries);
            return;
        }
        ULONG w0 = reg(card, 0x2058);
        ULONG w1 = reg(card, 0x205C);
        ULONG w2 = reg(card, 0x2060);
        ULONG w3 = reg(card, 0x2064);
        csr_dump_printf(printer, "pavinf %s: 0x%08x:0x%08x:0x%08x:0x%08x.\n", pav_card_name(card), w3, w2, w1, w0);
        csr_write(card->csr, 0x2054, 0);
    }
}

void print_firmware_archive_info(pipeline_device* card, csr_dump_printer* printer) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const char* name = pav_card_name(card);
    ULONG v = reg(card, 0x1208);
    ULONG b = reg(card, 0x120C);
    ULONG platform = reg(card, 0x1224);
    csr_dump_printf(printer, "pavinf %s: Firmware version %d.%d.%d %u (0x%x 0x%x)\n", name, (int)bits(v, 20, 29),
                    (int)bits(v, 10, 19), (int)bits(v, 0, 9), bits(b, 0, 29), v, b);
    csr_dump_printf(printer, "pavinf %s: Platform version %d %s\n", name, (int)platform, "");
    if (b > 0x3FFFFFFF) {
        csr_dump_printf(printer, "pavinf %s: Firmware POISONED\n", name);
        if (bit(b, 31) != 0) {
            csr_dump_printf(printer, "pavinf %s:     * Repository out of sync\n", name);
        }
        if (bit(b, 30) != 0) {
            csr_dump_printf(printer, "pavinf %s:     * Uncommitted source changes\n", name);
        }
    }
    csr_dump_printf(printer, "pavinf %s: Firmware VCS version %d [0x%x]\n", name, (int)bits(b, 0, 29), b);
    csr_dump_printf(printer, "pavinf %s: Firmware VCS uid 0x%08x%08x%08x%08x%08x\n", name, reg(card, 0x1220),
                    reg(card, 0x121C), reg(card, 0x1218), reg(card, 0x1214), reg(card, 0x1210));
}

void dump_pcie_aggregate_counts(pipeline_device* card) {
    PAGED_CODE();
    const char* name = pav_card_name(card);
    ULONG word = 0;
    if (card->pdev != nullptr && NT_SUCCESS(kpav_pci_config_access(card->pdev, 0, &word, 0x104, 4))) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Aggregate Count 0:    0x%x\n", name, word);
        kpav_print(KPAV_CLASS_NORMAL, "%s:   clock lock count:    %u\n", name, bits(word, 0, 7));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   pll lock count:      %u\n", name, bits(word, 8, 15));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   link up count:       %u\n", name, bits(word, 16, 23));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   device status:       0x%02x\n", name, bits(word, 24, 29));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   bar got reset:       %u\n", name, bit(word, 31));
    }
    if (card->pdev != nullptr && NT_SUCCESS(kpav_pci_config_access(card->pdev, 0, &word, 0x108, 4))) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Aggregate Count 1:    0x%x\n", name, word);
        kpav_print(KPAV_CLASS_NORMAL, "%s:   replay TLP:          %u\n", name, bits(word, 0, 7));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   naked TLP:           %u\n", name, bits(word, 8, 15));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   malformed TLP:       %u\n", name, bits(word, 16, 23));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   trn_lnk_up_n:        %u\n", name, bit(word, 24));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   LINK UPR:            %u\n", name, bit(word, 25));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   pll lock:            %u\n", name, bit(word, 26));
        kpav_print(KPAV_CLASS_NORMAL, "%s:   clock lock:          %u\n", name, bit(word, 27));
    }
}
