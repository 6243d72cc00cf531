#include "driver/log/log_file.h"

#include <cstdio>

#include "driver/log/datalog.h"
#include "driver/log/eb_header.h"
#include "driver/log/eb_media.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/log/log_entry.h"
#include "driver/pipeline/builders.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/time.h"

namespace {

nand_dev* channel_of(const log_file* reader) {
    return reader->log->channel;
}

const char* name_of(const log_file* reader) {
    return datalog_device_name(reader->log);
}

ULONG units_per_eb(const log_file* reader) {
    eb_table* table = ebinfo_table(channel_of(reader));
    return table != nullptr ? table->geometry.segments_per_eb : 0;
}

// The unit that holds byte `byte` of the erase block of `leb` (0xFFFF: none).
ULONG unit_of(const log_file* reader, USHORT leb, ULONG64 byte) {
    ULONG64 packed;
    if (ebinfo_offset_to_pad(channel_of(reader), leb, byte, &packed) < 0) {
        return 0xFFFF;
    }
    return eb_addr_segment(packed);
}

bool leb_valid(const log_file* reader, USHORT leb) {
    return leb != PAV_NO_LEB && leb < reader->log->eb_count;
}

// The units of an LEB that hold its packet slots when read backward: from the one with byte H to
// the one with the last byte of the slots.
ULONG first_data_unit(const log_file* reader, USHORT leb) {
    return unit_of(reader, leb, reader->log->geometry.head_reserve);
}

ULONG last_data_unit(const log_file* reader, USHORT leb) {
    ULONG64 end = log_leb_data_end(reader->log, leb);
    return end > reader->log->geometry.head_reserve ? unit_of(reader, leb, end - 1) : first_data_unit(reader, leb);
}

// The unit after `at` in the reading direction (LEB 65535 past the chain's end).
void step_unit(const log_file* reader, log_unit_addr* at) {
    if (!leb_valid(reader, at->leb)) {
        at->leb = PAV_NO_LEB;
        return;
    }
    const leb_record* record = &reader->log->lebs[at->leb];
    if (reader->dir == LOG_FILE_FORWARD) {
        if ((ULONG)at->unit + 1 < units_per_eb(reader)) {
            at->unit++;
            return;
        }
        at->leb = leb_valid(reader, record->next) ? record->next : PAV_NO_LEB;
        at->unit = 0;
        return;
    }
    if (at->unit > first_data_unit(reader, at->leb)) {
        at->unit--;
        return;
    }
    at->leb = leb_valid(reader, record->previous) ? record->previous : PAV_NO_LEB;
    at->unit = at->leb != PAV_NO_LEB ? (USHORT)last_data_unit(reader, at->leb) : 0;
}

void buffer_wait(log_file_buffer* buffer) {
    kpav_spin_lock(&buffer->lock);
    while (buffer->ready == 0) {
        kpav_cv_timedwait(&buffer->cv, &buffer->lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&buffer->lock);
}

void buffer_finish(log_file_buffer* buffer, int status) {
    kpav_spin_lock(&buffer->lock);
    buffer->status = status;
    buffer->ready = 1;
    kpav_cv_broadcast(&buffer->cv);
    kpav_spin_unlock(&buffer->lock);
}

void wait_all(log_file* reader) {
    for (auto& buffer : reader->buffers) {
        buffer_wait(&buffer);
    }
}

// The read's completion: an erased unit reads as all ones.
void unit_read_done(velkor_request* head, ULONG64, ULONG64) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* buffer = (log_file_buffer*)head->done_arg;
    int status = head->fail != 0 ? head->fail : head->chain_fail;
    if (status == PAV_ERASED_MEDIA) {
        RtlFillMemory(buffer->data, buffer->size, 0xFF);
        buffer->erased = 1;
        status = 0;
    }
    buffer_finish(buffer, status);
}

int submit_unit_read(log_file* reader, log_file_buffer* buffer) {
    tavrin_ioctx* context = request_alloc(channel_of(reader), REQUEST_ALLOC_WAIT);
    if (context == nullptr) {
        return -KPAV_EIO;
    }
    velkor_request* request = context->request;
    request->type = REQUEST_READ;
    request->data_op = DATA_OP_RAW_DATA;
    request->params.read.data_length = buffer->size;
    request->params.read.transfer_length = buffer->size;
    request->params.read.address = buffer->paddr;
    if (kpav_sgl_map_bytes(request->list, buffer->data, buffer->size) != 0) {
        request_free(request);
        return -KPAV_EFAULT;
    }
    request->done_fn = unit_read_done;
    request->done_arg = buffer;
    if (request_chain_validate(request) != 0) {
        request_print_chain(request);
    }
    submit_request(request);
    return 0;
}

// Reads the next unit into `buffer` (which is ready) and moves the fill position on.
void fill(log_file* reader, log_file_buffer* buffer) {
    log_unit_addr at = reader->next;
    step_unit(reader, &reader->next);
    buffer->naddr = at;
    buffer->ready = 0;
    buffer->status = 0;
    buffer->erased = 0;
    buffer->low = 0;
    buffer->size = 0;
    buffer->high = 0;
    if (!leb_valid(reader, at.leb)) {
        buffer->naddr.leb = PAV_NO_LEB;
        buffer_finish(buffer, -KPAV_ENOENT);
        return;
    }
    nand_dev* channel = channel_of(reader);
    buffer->size = eb_segment_length(channel, at.leb, at.unit);
    buffer->naddr.byte = eb_segment_offset(channel, at.leb, at.unit);
    buffer->high = buffer->size;
    if (reader->dir == LOG_FILE_BACKWARD) {
        ULONG64 start = reader->log->geometry.head_reserve;
        ULONG64 end = log_leb_data_end(reader->log, at.leb);
        ULONG64 first = buffer->naddr.byte;
        if (start > first && start < first + buffer->size) {
            buffer->low = (ULONG)(start - first);
        }
        if (end > first && end < first + buffer->size) {
            buffer->high = (ULONG)(end - first);
        }
    }
    buffer->paddr = media_address{};
    buffer->paddr.eb = at.leb;
    buffer->paddr.offset = buffer->naddr.byte;
    if (buffer->size == 0 || buffer->size > reader->unit_capacity) {
        buffer_finish(buffer, -KPAV_EIO);
        return;
    }
    int rc = submit_unit_read(reader, buffer);
    if (rc != 0) {
        buffer_finish(buffer, rc);
    }
}

// The reader enters `leb`: one more LEB against its limit and the loop guard.
int enter_leb(log_file* reader, USHORT leb) {
    if (leb == reader->cur_leb) {
        return 0;
    }
    if (reader->stop_count != LOG_FILE_NO_LIMIT) {
        if (reader->stop_count == 0) {
            reader->at_end = 1;
            return -KPAV_ENOENT;
        }
        reader->stop_count--;
    }
    if (++reader->leb_moves > reader->log->eb_count) {
        kpav_print(KPAV_CLASS_ERROR, "%s: LEB chain loops back to LEB %u\n", name_of(reader), (ULONG)leb);
        reader->error_count++;
        return -KPAV_EINVAL;
    }
    reader->cur_leb = leb;
    ULONG64 now = kpav_get_usecs();
    if (now - reader->stamp_us > LOG_FILE_PAUSE_US) {
        YieldProcessor();
        reader->stamp_us = now;
    }
    return 0;
}

// The current buffer after a move: its read's status, the end, or the LEB it enters.
int enter_current(log_file* reader) {
    log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
    buffer_wait(buffer);
    if (buffer->naddr.leb == PAV_NO_LEB) {
        reader->at_end = 1;
        return -KPAV_ENOENT;
    }
    if (buffer->status != 0) {
        reader->error_count++;
        return buffer->status;
    }
    return enter_leb(reader, buffer->naddr.leb);
}

// The current buffer is used up: it reads the next unit and the one after it becomes current.
int advance(log_file* reader) {
    fill(reader, &reader->buffers[reader->cur_buffer]);
    reader->cur_buffer = (reader->cur_buffer + 1) % LOG_FILE_BUFFERS;
    return enter_current(reader);
}

// Starts the four buffers at `at` and waits for the first.
int start_at(log_file* reader, log_unit_addr at) {
    wait_all(reader);
    reader->next = at;
    reader->cur_buffer = 0;
    for (auto& buffer : reader->buffers) {
        fill(reader, &buffer);
    }
    return enter_current(reader);
}

void format_position(log_file* reader) {
    const log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
    std::snprintf(reader->position, sizeof reader->position, "%u:%u+%u (%llu)", (unsigned)buffer->naddr.leb,
                  (unsigned)buffer->naddr.unit, (unsigned)reader->cur_offset,
                  (unsigned long long)(buffer->naddr.byte + reader->cur_offset));
}

ULONG64 byte_address(const log_file* reader) {
    return reader->buffers[reader->cur_buffer].naddr.byte + reader->cur_offset;
}

int usable(const log_file* reader) {
    if (reader->error_count != 0) {
        return -KPAV_EIO;
    }
    return reader->at_end != 0 ? -KPAV_ENOENT : 0;
}

int skip_forward(log_file* reader, ULONG64 bytes) {
    USHORT leb = reader->cur_leb;
    ULONG64 offset = reader->cur_offset + bytes;
    while (offset >= reader->buffers[reader->cur_buffer].size) {
        offset -= reader->buffers[reader->cur_buffer].size;
        int rc = advance(reader);
        if (rc != 0) {
            return rc;
        }
        if (reader->cur_leb != leb && offset != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: entry 0x%x runs past the end of LEB %u\n", name_of(reader),
                       reader->last_opcode, (ULONG)leb);
            reader->error_count++;
            return -KPAV_EINVAL;
        }
    }
    reader->cur_offset = (ULONG)offset;
    return 0;
}

int skip_backward(log_file* reader, ULONG64 bytes) {
    for (;;) {
        const log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
        ULONG room = reader->cur_offset > buffer->low ? reader->cur_offset - buffer->low : 0;
        if (bytes <= room) {
            reader->cur_offset -= (ULONG)bytes;
            return 0;
        }
        bytes -= room;
        int rc = advance(reader);
        if (rc != 0) {
            return rc;
        }
        reader->cur_offset = reader->buffers[reader->cur_buffer].high;
    }
}

// Forward at byte 0 of an LEB: its EB header must decode and the opener stand at byte 96.
int check_open(log_file* reader) {
    eb_table* table = ebinfo_table(channel_of(reader));
    const store_geometry& g = table->geometry;
    ULONG size = g.packet_size + g.ecc_chunk_size;
    int rc = log_file_copy_out(reader, reader->scratch, size);
    if (rc != 0) {
        return rc;
    }
    rc = eb_first_packet_decode(reader->scratch, g.packet_size, g.ecc_chunk_size);
    if (rc != 0 || reader->scratch[EB_HEADER_PAYLOAD_OFFSET] != LOG_OP_EB_OPENER) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Discovered invalid open for erase block %4u\n", name_of(reader),
                   (ULONG)reader->cur_leb);
        reader->error_count++;
        return -KPAV_EINVAL;
    }
    return skip_forward(reader, reader->log->geometry.head_reserve);
}

// 0xFF forward: the rest of the LEB is empty; the reader goes on at byte 0 of the next one.
int next_leb(log_file* reader) {
    USHORT next = reader->log->lebs[reader->cur_leb].next;
    if (!leb_valid(reader, next)) {
        reader->at_end = 1;
        return -KPAV_ENOENT;
    }
    int rc = enter_leb(reader, next);
    if (rc != 0) {
        return rc;
    }
    reader->cur_offset = 0;
    return start_at(reader, log_unit_addr{next, 0, 0});
}

// Reads the unit of `leb` that starts at `byte` into the scratch buffer (erased: all ones).
int read_unit_sync(log_file* reader, USHORT leb, ULONG64 byte, ULONG* out_size) {
    ULONG unit = unit_of(reader, leb, byte);
    ULONG size = unit != 0xFFFF ? eb_segment_length(channel_of(reader), leb, unit) : 0;
    *out_size = size;
    if (size == 0 || size > reader->unit_capacity) {
        return -KPAV_EINVAL;
    }
    media_address address{};
    address.eb = leb;
    address.offset = byte;
    int status = media_read_raw(channel_of(reader), &address, reader->scratch, size, 0, nullptr, nullptr, nullptr);
    if (status == PAV_ERASED_MEDIA) {
        RtlFillMemory(reader->scratch, size, 0xFF);
        status = 0;
    }
    return status;
}

void dump_bytes_of(log_file* reader, const log_file_buffer* buffer, ULONG from, ULONG to) {
    const char* name = name_of(reader);
    to = to < buffer->size ? to : buffer->size;
    for (ULONG at = from & ~7u; at + 8 <= to; at += 8) {
        const UCHAR* b = buffer->data + at;
        bool here = buffer == &reader->buffers[reader->cur_buffer] && reader->cur_offset >= at &&
                    reader->cur_offset < at + 8;
        kpav_print(KPAV_CLASS_NORMAL, "%s: %6.6d %s %2.2x %2.2x %2.2x %2.2x : %2.2x %2.2x %2.2x %2.2x\n", name, (int)at,
                   here ? "-->" : "   ", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
        if (at % 1024 != 0) {
            kpav_udelay(1000);
        }
    }
}

}  // namespace

ULONG64 log_leb_data_end(const pav_log* log, USHORT leb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return log->geometry.head_reserve + (ULONG64)datalog_leb_capacity(log, leb) * log->geometry.packet_size;
}

int log_file_create(log_file** out, pav_log* log) {
    PAGED_CODE();
    *out = nullptr;
    eb_table* table = ebinfo_table(log->channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    ULONG unit = 0;
    for (ULONG b = 0; b < EB_MAX_BANKS && b < table->geometry.banks; b++) {
        for (ULONG eb = 0; eb < table->count; eb++) {
            ULONG bytes = table->info[eb].banks[b].usable_bytes;
            unit = bytes > unit ? bytes : unit;
        }
    }
    ULONG scratch = table->geometry.packet_size + table->geometry.ecc_chunk_size;
    scratch = scratch > unit ? scratch : unit;
    auto* reader = (log_file*)kpav_zalloc(sizeof(log_file), KPAV_TAG_MAL);
    if (reader == nullptr) {
        return -KPAV_ENOMEM;
    }
    reader->log = log;
    reader->unit_capacity = unit;
    reader->cur_leb = PAV_NO_LEB;
    reader->scratch = (UCHAR*)kpav_alloc(scratch, KPAV_TAG_VML);
    bool failed = reader->scratch == nullptr;
    for (auto& buffer : reader->buffers) {
        buffer.reader = reader;
        buffer.ready = 1;
        buffer.naddr.leb = PAV_NO_LEB;
        kpav_cv_init(&buffer.cv);
        kpav_spinlock_init(&buffer.lock);
        buffer.data = unit != 0 ? (UCHAR*)kpav_alloc(unit, KPAV_TAG_VML) : nullptr;
        failed = failed || buffer.data == nullptr;
    }
    if (failed) {
        log_file_destroy(reader);
        return -KPAV_ENOMEM;
    }
    *out = reader;
    return 0;
}

void log_file_destroy(log_file* reader) {
    PAGED_CODE();
    if (reader == nullptr) {
        return;
    }
    wait_all(reader);
    for (auto& buffer : reader->buffers) {
        kpav_free_if(buffer.data, KPAV_TAG_VML);
    }
    kpav_free_if(reader->scratch, KPAV_TAG_VML);
    kpav_free_if(reader, KPAV_TAG_MAL);
}

int log_file_open(log_file* reader, const log_file_pos* position, ULONG dir, ULONG stop_count) {
    PAGED_CODE();
    wait_all(reader);
    pav_log* log = reader->log;
    reader->dir = dir == LOG_FILE_BACKWARD ? LOG_FILE_BACKWARD : LOG_FILE_FORWARD;
    reader->stop_count = stop_count;
    reader->error_count = 0;
    reader->last_opcode = 0;
    reader->cur_buffer = 0;
    reader->cur_offset = 0;
    reader->at_end = 0;
    reader->leb_moves = 0;
    reader->stamp_us = kpav_get_usecs();
    log_file_pos at;
    if (position != nullptr) {
        at = *position;
    } else if (reader->dir == LOG_FILE_FORWARD) {
        at = {log->head_leb, 0};
    } else {
        at = {log->append_leb, leb_valid(reader, log->append_leb) ? log_leb_data_end(log, log->append_leb) : 0};
    }
    if (!leb_valid(reader, at.leb)) {
        reader->at_end = 1;
        reader->cur_leb = PAV_NO_LEB;
        return -KPAV_ENOENT;
    }
    // Backward the place is the end of the byte before it: a unit may be entered at its end.
    bool backward = reader->dir == LOG_FILE_BACKWARD;
    if (backward && (at.byte <= log->geometry.head_reserve || at.byte > log_leb_data_end(log, at.leb))) {
        return -KPAV_EINVAL;
    }
    ULONG unit = unit_of(reader, at.leb, backward ? at.byte - 1 : at.byte);
    if (unit == 0xFFFF) {
        return -KPAV_EINVAL;
    }
    reader->cur_leb = at.leb;
    int rc = start_at(reader, log_unit_addr{at.leb, (USHORT)unit, 0});
    if (rc != 0) {
        return rc;
    }
    reader->cur_offset = (ULONG)(at.byte - reader->buffers[0].naddr.byte);
    return 0;
}

// Forward: whether the entry of `length` bytes at the reader's place runs on into a unit of its
// LEB that read as erased (the rest of the entry never reached the media).
static bool entry_torn(log_file* reader, ULONG64 length) {
    ULONG index = reader->cur_buffer;
    const log_file_buffer* buffer = &reader->buffers[index];
    const USHORT leb = buffer->naddr.leb;
    ULONG64 left = buffer->size > reader->cur_offset ? buffer->size - reader->cur_offset : 0;
    for (ULONG k = 1; length > left && k < LOG_FILE_BUFFERS; k++) {
        index = (index + 1) % LOG_FILE_BUFFERS;
        log_file_buffer* next = &reader->buffers[index];
        buffer_wait(next);
        if (next->status != 0 || next->naddr.leb != leb) {
            return false;  // a read error or the LEB's end: the copy reports it
        }
        if (next->erased != 0) {
            return true;
        }
        left += next->size;
    }
    return false;
}

int log_file_peek_opcode(log_file* reader, UCHAR* out) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int rc = usable(reader);
    if (rc != 0) {
        return rc;
    }
    const log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
    // Backward, the end of the packet slots shows nothing: the LEB is empty there.
    *out = reader->cur_offset < buffer->high ? log_opcode_fold(buffer->data[reader->cur_offset]) : (UCHAR)LOG_OP_EMPTY;
    return 0;
}

int log_file_skip(log_file* reader, ULONG64 bytes) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int rc = usable(reader);
    if (rc != 0) {
        return rc;
    }
    if (reader->dir == LOG_FILE_BACKWARD) {
        return skip_backward(reader, bytes);
    }
    rc = skip_forward(reader, bytes);
    if (rc != 0) {
        return rc;
    }
    UCHAR opcode;
    if (log_file_peek_opcode(reader, &opcode) == 0 && opcode != LOG_OP_EMPTY) {
        reader->last_opcode = opcode;
    }
    return 0;
}

int log_file_back(log_file* reader, ULONG bytes) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int rc = usable(reader);
    if (rc != 0) {
        return rc;
    }
    const log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
    if (reader->dir == LOG_FILE_FORWARD) {
        if (bytes > reader->cur_offset) {
            return -KPAV_EINVAL;
        }
        reader->cur_offset -= bytes;
        return 0;
    }
    if ((ULONG64)reader->cur_offset + bytes > buffer->high) {
        return -KPAV_EINVAL;
    }
    reader->cur_offset += bytes;
    return 0;
}

int log_file_copy_out(log_file* reader, void* dest, ULONG bytes) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    int status = usable(reader);
    if (status != 0) {
        return status;
    }
    auto* to = (UCHAR*)dest;
    ULONG index = reader->cur_buffer;
    const log_file_buffer* buffer = &reader->buffers[index];
    const USHORT leb = buffer->naddr.leb;
    ULONG64 byte = buffer->naddr.byte + buffer->size;  // the first byte after the buffer's unit
    ULONG take = buffer->size > reader->cur_offset ? buffer->size - reader->cur_offset : 0;
    take = take < bytes ? take : bytes;
    RtlCopyMemory(to, buffer->data + reader->cur_offset, take);
    to += take;
    bytes -= take;
    for (ULONG k = 1; bytes > 0; k++) {
        const UCHAR* source;
        ULONG size;
        if (reader->dir == LOG_FILE_FORWARD && k < LOG_FILE_BUFFERS) {
            // Forward the next buffer holds the next unit.
            index = (index + 1) % LOG_FILE_BUFFERS;
            log_file_buffer* next = &reader->buffers[index];
            buffer_wait(next);
            status = next->status;
            if (status == 0 && (next->naddr.leb != leb || next->naddr.byte != byte)) {
                status = -KPAV_EINVAL;  // the entry runs past its LEB
            }
            source = next->data;
            size = next->size;
        } else {
            // Backward the unit that follows was read before: it is read again for the copy.
            status = read_unit_sync(reader, leb, byte, &size);
            source = reader->scratch;
        }
        if (status != 0) {
            break;
        }
        take = size < bytes ? size : bytes;
        RtlCopyMemory(to, source, take);
        to += take;
        bytes -= take;
        byte += size;
    }
    if (status != 0) {
        format_position(reader);
        kpav_print(KPAV_CLASS_ERROR, "%s: log file copy out failed at %s\n", name_of(reader), reader->position);
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 16393, "Unable to read drive metadata (%d)\n", status);
        return status;
    }
    return 0;
}

int log_entry_skip(log_file* reader, UCHAR opcode) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG length;
    if (log_entry_length(reader->log, opcode, &length) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: unknown entry 0x%x seen in log @%u+%llu\n", name_of(reader), (ULONG)opcode,
                   (ULONG)reader->cur_leb, (unsigned long long)byte_address(reader));
        return -KPAV_EINVAL;
    }
    reader->last_opcode = opcode;
    return log_file_skip(reader, length);
}

int log_file_next_entry(log_file* reader, UCHAR* out_opcode) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (reader->dir != LOG_FILE_FORWARD) {
        return -KPAV_EINVAL;
    }
    const ULONG packet = reader->log->geometry.packet_size;
    const ULONG64 head = reader->log->geometry.head_reserve;
    for (;;) {
        int rc = usable(reader);
        if (rc != 0) {
            return rc;
        }
        const log_file_buffer* buffer = &reader->buffers[reader->cur_buffer];
        if (buffer->naddr.unit == 0 && reader->cur_offset == 0) {
            rc = check_open(reader);
            if (rc != 0) {
                return rc;
            }
            continue;
        }
        UCHAR opcode;
        rc = log_file_peek_opcode(reader, &opcode);
        if (rc != 0) {
            return rc;
        }
        if (opcode == LOG_OP_EMPTY) {
            rc = next_leb(reader);
            if (rc != 0) {
                return rc;
            }
            continue;
        }
        if (opcode == LOG_OP_PAD_F3 || opcode == LOG_OP_PAD_F7) {
            ULONG64 address = byte_address(reader);
            ULONG64 into = address > head ? (address - head) % packet : 0;
            ULONG64 page_skip = buffer->size - reader->cur_offset;
            ULONG64 pkt_skip = packet - into;
            ULONG64 skip = pkt_skip < page_skip ? pkt_skip : page_skip;
            if (skip == 0 || packet == 0) {
                kpav_print(KPAV_CLASS_ERROR,
                           "%s: skip == 0: pkt_skip: %u page_skip: %u addr: %u+%llu paddr: %u,%u,%u size: %d\n",
                           name_of(reader), (ULONG)pkt_skip, (ULONG)page_skip, (ULONG)reader->cur_leb,
                           (unsigned long long)address, (ULONG)buffer->paddr.eb, (ULONG)buffer->naddr.unit,
                           (ULONG)buffer->paddr.offset, (int)buffer->size);
                kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 16395, "Internal software error.\n");
                return -KPAV_EINVAL;
            }
            reader->last_opcode = opcode;
            rc = skip_forward(reader, skip);
            if (rc != 0) {
                return rc;
            }
            continue;
        }
        // A packet cut short by a power loss ends the LEB: what follows it was never written.
        ULONG length;
        if (log_entry_length(reader->log, opcode, &length) == 0 && entry_torn(reader, length)) {
            rc = next_leb(reader);
            if (rc != 0) {
                return rc;
            }
            continue;
        }
        reader->last_opcode = opcode;
        *out_opcode = opcode;
        return 0;
    }
}

void log_file_where(const log_file* reader, log_file_pos* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    out->leb = reader->cur_leb;
    out->byte = byte_address(reader);
}

void log_file_dump(log_file* reader) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const char* name = name_of(reader);
    kpav_print(KPAV_CLASS_NORMAL, "%s: log_file:  dir %d stop_count: %d\n", name, (int)reader->dir,
               (int)reader->stop_count);
    kpav_print(KPAV_CLASS_NORMAL, "%s: log_file:  error_count: %d\n", name, (int)reader->error_count);
    kpav_print(KPAV_CLASS_NORMAL, "%s: log_file:  last opcode: %d\n", name, (int)reader->last_opcode);
    kpav_print(KPAV_CLASS_NORMAL, "%s: log_file:  cur_offset: %d cur_buffer: %d\n", name, (int)reader->cur_offset,
               (int)reader->cur_buffer);
    for (ULONG i = 0; i < LOG_FILE_BUFFERS; i++) {
        log_file_buffer* buffer = &reader->buffers[i];
        kpav_spin_lock(&buffer->lock);
        bool ready = buffer->ready != 0;
        int status = buffer->status;
        kpav_spin_unlock(&buffer->lock);
        kpav_print(KPAV_CLASS_NORMAL, "%s: log_file: buffer %d: base: %p paddr: %u:%u+%u naddr: %u+%llu size: %d ready: %d\n",
                   name, (int)i, (void*)buffer->data, (ULONG)buffer->paddr.eb, (ULONG)buffer->naddr.unit,
                   (ULONG)buffer->paddr.offset, (ULONG)buffer->naddr.leb, (unsigned long long)buffer->naddr.byte,
                   (int)buffer->size, ready ? 1 : 0);
        if (!ready || status != 0 || buffer->size < 32) {
            continue;
        }
        kpav_print(KPAV_CLASS_NORMAL, "%s: Page beginning:\n", name);
        dump_bytes_of(reader, buffer, 0, 32);
        kpav_print(KPAV_CLASS_NORMAL, "%s: Page end:\n", name);
        dump_bytes_of(reader, buffer, buffer->size - 32, buffer->size);
    }
}

void log_file_dump_bytes(log_file* reader, ULONG from, ULONG to) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    dump_bytes_of(reader, &reader->buffers[reader->cur_buffer], from, to);
}
