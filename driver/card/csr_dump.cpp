#include "driver/card/csr_dump.h"

#include "driver/card/card_ops.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

void csr_dump_vprintf(csr_dump_printer* printer, const char* format, va_list arguments) {
    if (printer == nullptr) {
        kpav_vdbgprint(format, arguments);
        return;
    }
    if (printer->buffer == nullptr || printer->position >= printer->size) {
        return;  // full: the shortage was reported when it filled
    }
    char* at = printer->buffer + printer->position;
    ULONG room = printer->size - printer->position;
    NTSTATUS status = kpav_vsnprintf_core(at, room, format, arguments);
    if (status == STATUS_SUCCESS) {
        printer->position += (ULONG)strnlen(at, room);
        return;
    }
    if (status != STATUS_BUFFER_OVERFLOW) {
        return;  // a format the bounded print refuses: nothing is appended
    }
    kpav_print(KPAV_CLASS_NORMAL, "%s: Insufficient CSR dump buffer - partial dump following\n",
               pav_card_name(printer->card));
    printer->position = printer->size;
}

void csr_dump_printf(csr_dump_printer* printer, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    csr_dump_vprintf(printer, format, ap);
    va_end(ap);
}

void csr_dump_line(void* printer, const char* line) {
    csr_dump_printf((csr_dump_printer*)printer, "%s", line);
}

// Any IRQL: the bug-check callback takes its dump at HIGH_LEVEL.
void csr_dump_request(pipeline_device* card, int error, const char* reason, ULONG flags) {
    if (InterlockedBitTestAndSet(&card->dump_state, PAV_DUMP_IN_PROGRESS_BIT)) {
        // Another dump is being taken (or was taken and not yet printed): leave it alone.
        kpav_print(KPAV_CLASS_NORMAL, "%s: Ignoring CSR dump request: buffer unavailable.\n", pav_card_name(card));
        return;
    }
    if (card->dump.buffer == nullptr || card->dump.size == 0) {
        InterlockedBitTestAndReset(&card->dump_state, PAV_DUMP_IN_PROGRESS_BIT);
        kpav_print(KPAV_CLASS_NORMAL, "%s: Ignoring CSR dump request: buffer unavailable.\n", pav_card_name(card));
        return;
    }
    card->dump.card = card;
    if (reason != nullptr) {
        csr_dump_printf(&card->dump, "pavinf %s: %s%s\n", pav_card_name(card), error ? "ERROR " : "", reason);
    }
    card->ops->dump_sections(card, &card->dump, flags);
    InterlockedBitTestAndSet(&card->dump_state, PAV_DUMP_TAKEN_BIT);
}
