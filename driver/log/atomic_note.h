// The note that hides the packets of an atomic write that an unclean stop left unfinished: a
// system packet at 0xFFFFFFFFFF79F0 listing, per LEB the write touched, the LEB's sequence and
// the first and last packet to leave out. Read back at the next rescan, it sets each listed
// LEB's discard range.
#pragma once

#include "driver/log/log_entry.h"
#include "driver/platform/os.h"

struct pav_log;

#pragma pack(push, 1)
struct atomic_note_entry {
    ULONG64 sequence;
    ULONG first_packet;
    ULONG last_packet;  // inclusive
    ULONG zero;
    USHORT leb;
    USHORT zero2;
};
struct atomic_note {
    UCHAR header[PKT_HEADER_SIZE];  // A0 FF FF FF F0 79 FF FF
    USHORT zero;
    USHORT count;
    ULONG zero2;
    atomic_note_entry entries[2];   // room for two in the 64-byte note; more make it longer
};
#pragma pack(pop)
static_assert(sizeof(atomic_note_entry) == 24);
static_assert(sizeof(atomic_note) == 64);
static_assert(offsetof(atomic_note, count) == 10);
static_assert(offsetof(atomic_note, entries) == 16);

constexpr ULONG ATOMIC_NOTE_MIN_BYTES = 64;
// The entries of a note, however many it holds (a built note may hold more than two).
inline atomic_note_entry* atomic_note_entries(atomic_note* note) {
    return (atomic_note_entry*)((UCHAR*)note + offsetof(atomic_note, entries));
}
inline const atomic_note_entry* atomic_note_entries(const atomic_note* note) {
    return (const atomic_note_entry*)((const UCHAR*)note + offsetof(atomic_note, entries));
}
inline ULONG atomic_note_bytes(ULONG entries) {
    ULONG bytes = 16 + 24 * entries;
    return bytes < ATOMIC_NOTE_MIN_BYTES ? ATOMIC_NOTE_MIN_BYTES : bytes;
}

// Builds the log's note for an unfinished atomic write from packet `first_packet` of
// `first_leb` to packet `last_packet` of `last_leb`, walking the chain between them: one entry
// per LEB (the first from the write's first packet to its LEB's end, the middle ones whole, the
// last from packet 0 to the write's last packet). 0, -KPAV_ENOMEM, -KPAV_EINVAL when the chain does
// not lead from the first LEB to the last. The note is sized for its entries and kept in
// log->discard_note.
int atomic_discard_note_build(pav_log* log, USHORT first_leb, ULONG first_packet, USHORT last_leb, ULONG last_packet);
void atomic_discard_note_free(pav_log* log);
// Sets the discard range of every listed LEB that is writing or closed and carries the listed
// sequence. `bytes` is the size of the note as read: 0, -KPAV_EINVAL for a count that does not fit
// it, an entry with a packet range upside down or past its LEB's packets, or an LEB outside the
// log (nothing is applied then).
int atomic_discard_note_apply(pav_log* log, const atomic_note* note, ULONG bytes);
// Writes the log's note (when it has one) through the append point, so that later scans hide
// the same packets: one 64-byte note per two entries (a write over more than two LEBs takes
// several), each on the media when the call returns and its packet then marked valid ("Unable to
// record packets in bitmap (%d)." when the store cannot). The note is freed. 0, the append's
// error, -KPAV_ENOMEM without a request, -KPAV_EINVAL without an open append point.
// PASSIVE_LEVEL.
int atomic_discard_note_write(pav_log* log);
