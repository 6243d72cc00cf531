// A card's register dump: the printer that puts dump lines into the card's dump buffer (or the
// debug log when there is no buffer to fill), and the request that takes a dump once. What a dump
// holds beyond its reason line comes from the card's dump_sections operation (card_ops.h).
#pragma once

#include <cstdarg>

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// Appends the formatted line at the printer's position. A line that does not fit is cut at the
// end of the buffer, the position moves to the end and "<card>: Insufficient CSR dump buffer -
// partial dump following" is logged once; later lines of a full buffer are dropped. With no
// printer the line goes to the debug log. At most DISPATCH_LEVEL.
void csr_dump_printf(csr_dump_printer* printer, const char* format, ...);
void csr_dump_vprintf(csr_dump_printer* printer, const char* format, va_list arguments);
// A finished line into the dump of `printer` (a csr_dump_printer, or NULL): the line printer
// that the per-processor threads' dump (cpu_wq_dump) and other layers below print through.
void csr_dump_line(void* printer, const char* line);

// Takes a register dump of the card into its dump buffer, once: with a reason, the dump starts
// with "pavinf <card>: [ERROR ]<reason>". When the card has no buffer or a dump is already
// being taken, "<card>: Ignoring CSR dump request: buffer unavailable." is logged instead.
void csr_dump_request(pipeline_device* card, int error, const char* reason, ULONG flags);
