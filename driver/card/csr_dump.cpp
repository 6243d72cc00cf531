#include "driver/card/csr_dump.h"

#include <lz4.h>

#include "driver/card/card_ops.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/once.h"

namespace {

// Driver-wide: the printed blocks of two cards never interleave. Only ever tried.
FAST_MUTEX print_mutex;
volatile LONG print_mutex_once = KPAV_ONCE_NOT_RUN;

void print_mutex_init() {
    ExInitializeFastMutex(&print_mutex);
}

bool print_mutex_try() {
    kpav_run_once(&print_mutex_once, print_mutex_init);
    return ExTryToAcquireFastMutex(&print_mutex) != FALSE;
}

constexpr LONG in_progress = 1 << PAV_DUMP_IN_PROGRESS_BIT;
constexpr LONG pending = 1 << PAV_DUMP_TAKEN_BIT;
constexpr LONG copy_ready = 1 << PAV_DUMP_COPY_READY_BIT;

constexpr ULONG base64_bytes_per_line = 57;
constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void log_unavailable(pipeline_device* card) {
    kpav_print(KPAV_CLASS_NORMAL, "%s: Ignoring CSR dump request: buffer unavailable.\n", pav_card_name(card));
}

// The dump has been printed (or given up): the buffer is empty and the next request may claim it.
void dump_done(pipeline_device* card) {
    card->dump.position = 0;
    InterlockedAnd(&card->dump_state, ~(in_progress | pending | copy_ready));
}

// Without a compressed copy: the text itself, as one block, still under the print mutex so that
// it does not interleave with another card's block; a busy mutex leaves the dump pending.
void print_uncompressed(pipeline_device* card) {
    if (!print_mutex_try()) {
        InterlockedOr(&card->dump_state, pending);
        return;
    }
    csr_dump_print(card, card->dump.buffer, card->dump.position);
    ExReleaseFastMutex(&print_mutex);
    dump_done(card);
}

void print_copy_and_release(pipeline_device* card) {
    csr_dump_print(card, card->dump.compressed, card->dump.compressed_length);
    ExReleaseFastMutex(&print_mutex);
    kpav_free(card->dump.compressed, KPAV_TAG_VML);
    card->dump.compressed = nullptr;
    card->dump.compressed_length = 0;
    dump_done(card);
}

// Appends the formatted text at *used of the 256-byte line, bounded by the line.
void line_append(char* line, size_t* used, const char* format, ...) {
    constexpr size_t line_size = 256;
    if (*used >= line_size - 1) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    int n = kpav_vsnprintf(line + *used, line_size - *used, format, ap);
    va_end(ap);
    if (n > 0) {
        *used += (size_t)n;
    }
}

template <typename Item>
void hex_block(csr_dump_printer* printer, const Item* items, ULONG count, ULONG per_line, const char* item_format,
               const char* prefix_format, const char* line_format, va_list arguments) {
    if (count == 0) {
        return;
    }
    if (per_line == 0) {
        per_line = count;
    }
    bool prefix_address = prefix_format != nullptr && prefix_format[0] == '%' && prefix_format[1] == 'p';
    for (ULONG i = 0; i < count; i += per_line) {
        ULONG n = count - i < per_line ? count - i : per_line;
        char line[256];
        line[0] = 0;
        size_t used = 0;
        if (line_format != nullptr) {
            va_list copy;
            va_copy(copy, arguments);
            int written = kpav_vsnprintf(line, sizeof line, line_format, copy);
            va_end(copy);
            used = written > 0 ? (size_t)written : 0;
        }
        if (prefix_format != nullptr) {
            if (prefix_address) {
                line_append(line, &used, prefix_format, (const void*)(items + i));
            } else {
                line_append(line, &used, prefix_format, i);
            }
        }
        for (ULONG k = 0; k < n; k++) {
            line_append(line, &used, item_format, (ULONG)items[i + k]);
        }
        csr_dump_printf(printer, "pavinf %s\n", line);
    }
}

}  // namespace

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
void csr_dump_request(pipeline_device* card, int error, const char* reason, ULONG normal_context) {
    if (InterlockedBitTestAndSet(&card->dump_state, PAV_DUMP_IN_PROGRESS_BIT)) {
        // Another dump is being taken (or was taken and not yet printed): leave it alone.
        log_unavailable(card);
        return;
    }
    if (card->dump.buffer == nullptr || card->dump.size == 0) {
        InterlockedBitTestAndReset(&card->dump_state, PAV_DUMP_IN_PROGRESS_BIT);
        log_unavailable(card);
        return;
    }
    card->dump.card = card;
    if (reason != nullptr) {
        csr_dump_printf(&card->dump, "pavinf %s: %s%s\n", pav_card_name(card), error ? "ERROR " : "", reason);
    }
    card->ops->dump_sections(card, &card->dump, normal_context);
    InterlockedBitTestAndSet(&card->dump_state, PAV_DUMP_TAKEN_BIT);
    // Without a running pipeline no service point comes (minimal mode, a failed start): print it
    // now, unless this is a crash or the level is too high for the print (then it waits for the
    // card's power-down).
    if (normal_context != 0 &&
        (ReadNoFence((const volatile LONG*)&card->start_flags) & (LONG)PAV_CARD_PIPELINE_RUNNING) == 0 &&
        KeGetCurrentIrql() <= APC_LEVEL) {
        csr_dump_service(card);
    }
}

void csr_dump_service(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((ReadNoFence(&card->dump_state) & pending) == 0) {
        return;
    }
    if (KeGetCurrentIrql() > APC_LEVEL) {
        return;  // the mutex cannot be tried here: a service point at a lower level prints it
    }
    if (InterlockedBitTestAndReset(&card->dump_state, PAV_DUMP_TAKEN_BIT)) {
        csr_dump(card);
    }
}

void csr_dump(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (KeGetCurrentIrql() > APC_LEVEL) {
        InterlockedOr(&card->dump_state, pending);
        return;
    }
    if (InterlockedBitTestAndReset(&card->dump_state, PAV_DUMP_COPY_READY_BIT)) {
        // The copy made at an earlier service point, when another card was printing.
        if (!print_mutex_try()) {
            InterlockedOr(&card->dump_state, copy_ready | pending);
            return;
        }
        print_copy_and_release(card);
        return;
    }
    ULONG used = card->dump.position;
    int bound = LZ4_compressBound((int)used);
    UCHAR* copy = bound > 0 ? (UCHAR*)kpav_alloc(4 + (size_t)bound, KPAV_TAG_VML) : nullptr;
    if (copy == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Allocation for CSR dump buffer failed\n", pav_card_name(card));
        print_uncompressed(card);
        return;
    }
    copy[0] = (UCHAR)used;
    copy[1] = (UCHAR)(used >> 8);
    copy[2] = (UCHAR)(used >> 16);
    copy[3] = (UCHAR)(used >> 24);
    int packed = LZ4_compress_default(card->dump.buffer, (char*)copy + 4, (int)used, bound);
    if (packed <= 0) {
        kpav_free(copy, KPAV_TAG_VML);
        print_uncompressed(card);
        return;
    }
    card->dump.compressed = copy;
    card->dump.compressed_length = (ULONG)packed + 4;
    if (!print_mutex_try()) {
        InterlockedOr(&card->dump_state, copy_ready | pending);
        return;
    }
    print_copy_and_release(card);
}

void csr_dump_print(pipeline_device* card, const void* bytes, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_NORMAL, "%s: BEGIN CSR DUMP\n", pav_card_name(card));
    csr_dump_base64(card, bytes, length);
    kpav_print(KPAV_CLASS_NORMAL, "%s: END CSR DUMP\n", pav_card_name(card));
}

void csr_dump_base64(pipeline_device* card, const void* bytes, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const UCHAR* in = (const UCHAR*)bytes;
    ULONG at = 0;
    for (;;) {
        ULONG n = length - at < base64_bytes_per_line ? length - at : base64_bytes_per_line;
        char line[base64_bytes_per_line / 3 * 4 + 1];
        ULONG out = 0;
        for (ULONG k = 0; k < n; k += 3) {
            ULONG left = n - k;
            ULONG group = (ULONG)in[at + k] << 16 | (left > 1 ? (ULONG)in[at + k + 1] << 8 : 0) |
                          (left > 2 ? (ULONG)in[at + k + 2] : 0);
            line[out++] = base64_alphabet[(group >> 18) & 63];
            line[out++] = base64_alphabet[(group >> 12) & 63];
            line[out++] = left > 1 ? base64_alphabet[(group >> 6) & 63] : '=';
            line[out++] = left > 2 ? base64_alphabet[group & 63] : '=';
        }
        line[out] = 0;
        kpav_print(KPAV_CLASS_NORMAL, "%s: CSR DUMP: %s\n", pav_card_name(card), line);
        at += n;
        if (n < base64_bytes_per_line) {
            return;  // the last line, with the rest (empty when nothing was left)
        }
    }
}

void csr_dump_free(pipeline_device* card) {
    PAGED_CODE();
    if (card == nullptr || card->dump.buffer == nullptr) {
        return;
    }
    // Claim the buffer. A dump still pending is printed here, the last service point of the
    // card; one being written finishes first (bounded: a writer that never ends loses its buffer).
    for (ULONG waited = 0; InterlockedBitTestAndSet(&card->dump_state, PAV_DUMP_IN_PROGRESS_BIT) && waited < 5000;
         waited++) {
        if (InterlockedBitTestAndReset(&card->dump_state, PAV_DUMP_TAKEN_BIT)) {
            csr_dump(card);
            if ((ReadAcquire(&card->dump_state) & in_progress) == 0) {
                continue;  // printed: claim the buffer now
            }
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    kpav_free_if(card->dump.compressed, KPAV_TAG_VML);
    card->dump.compressed = nullptr;
    card->dump.compressed_length = 0;
    kpav_free(card->dump.buffer, KPAV_TAG_VML);
    card->dump.buffer = nullptr;
    card->dump.size = 0;
    card->dump.position = 0;
    InterlockedAnd(&card->dump_state, 0);
}

void csr_dump_vhex_bytes(csr_dump_printer* printer, const UCHAR* items, ULONG count, ULONG per_line,
                         const char* item_format, const char* prefix_format, const char* line_format,
                         va_list arguments) {
    hex_block(printer, items, count, per_line, item_format, prefix_format, line_format, arguments);
}

void csr_dump_hex_bytes(csr_dump_printer* printer, const UCHAR* items, ULONG count, ULONG per_line,
                        const char* item_format, const char* prefix_format, const char* line_format, ...) {
    va_list ap;
    va_start(ap, line_format);
    hex_block(printer, items, count, per_line, item_format, prefix_format, line_format, ap);
    va_end(ap);
}

void csr_dump_vhex_dwords(csr_dump_printer* printer, const ULONG* items, ULONG count, ULONG per_line,
                          const char* item_format, const char* prefix_format, const char* line_format,
                          va_list arguments) {
    hex_block(printer, items, count, per_line, item_format, prefix_format, line_format, arguments);
}

void csr_dump_hex_dwords(csr_dump_printer* printer, const ULONG* items, ULONG count, ULONG per_line,
                         const char* item_format, const char* prefix_format, const char* line_format, ...) {
    va_list ap;
    va_start(ap, line_format);
    hex_block(printer, items, count, per_line, item_format, prefix_format, line_format, ap);
    va_end(ap);
}
