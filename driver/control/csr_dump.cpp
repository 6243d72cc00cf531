#include "driver/control/csr_dump.h"

#include "driver/platform/format.h"
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
