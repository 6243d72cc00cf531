// What a card's register dump holds after its reason line, in order: the controller's registers,
// the microcode image and its trace, the channel's software status, the PCIe status counters, the configuration space (outside a
// crash) and the status FIFO. The device shell hands it to the card as its dump_sections
// operation (card_ops.h).
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// Any IRQL (a crash dump runs it at HIGH_LEVEL with normal_context 0).
void csr_dump_sections(pipeline_device* card, csr_dump_printer* printer, ULONG normal_context);
