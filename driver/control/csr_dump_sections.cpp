#include "driver/control/csr_dump_sections.h"

#include "driver/card/csr_dump.h"
#include "driver/card/pci_counters.h"
#include "driver/control/register_dump.h"
#include "driver/pipeline/status_dump.h"
#include "driver/platform/kassert.h"

void csr_dump_sections(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    dump_controller_registers(card, printer);
    dump_microcode(card, printer);
    if (card->nand != nullptr) {
        dump_software_status(card->nand, printer, normal_context);
    } else {
        csr_dump_printf(printer, "pavinf %s: no data channel: software status not available\n", pav_card_name(card));
    }
    print_pci_status_counters(card, printer);
    dump_pcie_config(card, printer, normal_context);
    dump_status_fifo(card, printer);
}
