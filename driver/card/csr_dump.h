// A card's register dump: the printer that puts dump lines into the card's dump buffer (or the
// debug log when there is no buffer to fill), the request that takes a dump once, and the print
// step that puts a taken dump into the driver's log: compressed (LZ4 block behind a 4-byte length
// header), Base64-encoded, between "<card>: BEGIN CSR DUMP" and "<card>: END CSR DUMP".
//
// A dump goes idle -> in progress (bit 0, its text being written) -> pending (bits 0 and 1) ->
// printed (no bits, the buffer empty again). The print happens at the channel's service points
// (csr_dump_service) under one driver-wide mutex that is only ever tried: a busy mutex leaves the
// dump pending with its compressed copy (bit 2) for the next service point, so the blocks of two
// cards never interleave and no card waits for another's print. What a dump holds beyond its
// reason line comes from the card's dump_sections operation (card_ops.h).
#pragma once

#include <cstdarg>

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

// Appends the formatted line at the printer's position. A line that does not fit is cut at the
// end of the buffer, the position moves to the end and "<card>: Insufficient CSR dump buffer -
// partial dump following" is logged once; later lines of a full buffer are dropped. With no
// printer the line goes to the debug log. Any IRQL.
void csr_dump_printf(csr_dump_printer* printer, const char* format, ...);
void csr_dump_vprintf(csr_dump_printer* printer, const char* format, va_list arguments);
// A finished line into the dump of `printer` (a csr_dump_printer, or NULL): the line printer
// that the per-processor threads' dump (cpu_wq_dump) and other layers below print through.
void csr_dump_line(void* printer, const char* line);

// Takes a register dump of the card into its dump buffer, once: with a reason, the dump starts
// with "pavinf <card>: [ERROR ]<reason>". When the card has no buffer or a dump is already
// being taken, "<card>: Ignoring CSR dump request: buffer unavailable." is logged instead.
// `normal_context` is 1 outside a crash (the sections may read configuration space and lock the
// per-processor queues), 0 at a crash. A card whose pipeline does not run (minimal mode) has no
// service point: its dump is printed at once (at most APC_LEVEL, outside a crash). Any IRQL.
void csr_dump_request(pipeline_device* card, int error, const char* reason, ULONG normal_context);

// A service point: prints the card's dump when one is pending. At most DISPATCH_LEVEL; above
// APC_LEVEL (where the dump mutex cannot be tried) the dump stays pending for the next one.
void csr_dump_service(pipeline_device* card);
// Prints the pending dump of the card (its pending bit already taken by the caller): compressed
// and Base64-encoded between the BEGIN and END lines, then the buffer is empty and free for the
// next dump. Without memory for the compressed copy, or when the text does not compress, the text
// is printed uncompressed instead. At most DISPATCH_LEVEL.
void csr_dump(pipeline_device* card);
// Logs `length` bytes as one dump block: the BEGIN line, the Base64 lines, the END line.
void csr_dump_print(pipeline_device* card, const void* bytes, ULONG length);
// Logs `length` bytes in standard Base64 as "<card>: CSR DUMP: <76 characters>" lines (57 bytes
// a line); the last line, with the rest, is always logged (empty when nothing is left).
void csr_dump_base64(pipeline_device* card, const void* bytes, ULONG length);
// At power-down: prints a dump still pending (waiting up to 5 s for one being written), then
// frees the buffer and any compressed copy. PASSIVE_LEVEL.
void csr_dump_free(pipeline_device* card);

// Hex blocks: `count` items, `per_line` a line (0: all on one line), each line built from
// `line_format` (NULL: empty) with the trailing arguments, then `prefix_format` (NULL: none) with
// the line's first item index (or its address when the prefix starts with "%p"), then
// `item_format` once per item, and written as "pavinf <line>". Lines are cut at 255 characters.
void csr_dump_hex_bytes(csr_dump_printer* printer, const UCHAR* items, ULONG count, ULONG per_line,
                        const char* item_format, const char* prefix_format, const char* line_format, ...);
void csr_dump_vhex_bytes(csr_dump_printer* printer, const UCHAR* items, ULONG count, ULONG per_line,
                         const char* item_format, const char* prefix_format, const char* line_format,
                         va_list arguments);
void csr_dump_hex_dwords(csr_dump_printer* printer, const ULONG* items, ULONG count, ULONG per_line,
                         const char* item_format, const char* prefix_format, const char* line_format, ...);
void csr_dump_vhex_dwords(csr_dump_printer* printer, const ULONG* items, ULONG count, ULONG per_line,
                          const char* item_format, const char* prefix_format, const char* line_format,
                          va_list arguments);
