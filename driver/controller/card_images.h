// The images the card keeps in its memory for the NAND side: a chain of containers from
// 0x1F80000 (48-byte headers: magic 0x02281989, a non-zero format word, the total size, the id,
// the controller revisions served), container 0 holding the NCE microcode records the
// controller runs when microcode drives the NAND bus, container 1 the ECC1 matrix and table
// records of the ECC engine. The NAND controller's initialisation boots the microcode (loaded
// through the command ring), sets up each bank's NAND interface and the ECC geometry, which
// loads ECC1.
//
// The decoders take bytes read from card memory and check every length against what holds it
// before use: a record that does not fit, a section count past its payload, a chain that loops
// or leaves card memory are refused, never read past. All image fields are little-endian.
//
// Below DISPATCH_LEVEL unless said (card-memory reads, pool).
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;
struct nand_dev;

// Results the start-up checks turn into minimal-mode reasons.
constexpr int NCE_OUT_OF_DATE = -32768;  // "NCE Microcode out of date"
constexpr int NCE_CORRUPT = -262144;     // "NCE microcode corrupted"

constexpr ULONG IMAGE_CONTAINER_HEADER = 48;
constexpr ULONG IMAGE_CONTAINER_MAGIC = 0x02281989;
constexpr ULONG CONTAINER_MICROCODE = 0;
constexpr ULONG CONTAINER_ECC1 = 1;
constexpr ULONG MICROCODE_CONTAINER_LIMIT = 0x80000;
constexpr ULONG NCE_TYPE_ONFI = 0x10100;  // interface kinds 0 and 2
constexpr ULONG NCE_TYPE_OWN = 0x20100;   // interface kind 1

// ---- Decoders (any IRQL; `name` for the messages)

struct image_container {
    ULONG magic, format, total, id, revision_low, revision_high;
};
void image_container_decode(const UCHAR* header, image_container* out);

// The NCE record of `type` in a container's body (the bytes after its header).
struct nce_image {
    ULONG payload;  // offset of the payload in the body
    ULONG length;   // payload bytes
    ULONG type_word;
    ULONG version;
    ULONG build;
};
// 0 with *out; NCE_OUT_OF_DATE ("%s: Microcode out of date.\n": a version below 1.0.8 or a build
// outside 100749..199999); NCE_CORRUPT when poisoned ("%s: NCE image is poisoned.\n"), a CRC
// fails, a record does not fit or none of the type is there.
int nce_image_find(const char* name, const UCHAR* body, ULONG size, ULONG type, nce_image* out);
// The next step of the chain walk from the header at card address `at`: IMAGE_CHAIN_FOUND (the
// container has `id`; *next = its total size), IMAGE_CHAIN_NEXT (*next = the next header's
// address) or IMAGE_CHAIN_END (a bad magic, a zero format word, a size below a header, a
// container past card memory, or no room for another header).
constexpr int IMAGE_CHAIN_FOUND = 0;
constexpr int IMAGE_CHAIN_END = 1;
constexpr int IMAGE_CHAIN_NEXT = 2;
int image_chain_step(const UCHAR* header, ULONG at, ULONG id, ULONG* next);

// Checks a payload's sections ({kind, n, n words}, ended by a count of 0; kinds 0 to 2) before
// anything is loaded: 0 with the ring entries the load takes (its kind-1 words and two), or
// NCE_CORRUPT.
int nce_sections_check(const UCHAR* payload, ULONG length, ULONG* entries);

// Calls `visit` for each word of the kind-1 sections of a checked payload, in order, `first` for
// the first word of a section; stops when it returns false.
using nce_word_visitor = bool (*)(void* context, ULONG value, bool first);
void nce_register_words(const UCHAR* payload, ULONG length, nce_word_visitor visit, void* context);

// An ECC1 record: its data (the 24-byte header and the payload) and the header's two counts
// (matrix: sections S and bit width W; table: entries N and rows R).
struct ecc1_record {
    const UCHAR* data;
    ULONG length;
    ULONG count;
    ULONG second;
};
// Record `id` of a whole ECC1 container (header included): 0; -KPAV_ENOENT "%s: ECC1 image is
// corrupt.\n" (a wrong magic, a record that does not fit, no such record); -KPAV_EINVAL "%s:
// ECC1 image is invalid.\n" (CRC); -KPAV_EOPNOTSUPP "%s: ECC1 image does not meet minimum version
// requirement.\n".
int ecc1_find_record(const char* name, const UCHAR* image, ULONG size, ULONG id, ecc1_record* out);
// The counts against the records' data: S of 1 to 32, W a multiple of 32, R of 1 to 5, the
// words and entries they name inside the data. 0, or -KPAV_EINVAL ("%s: ECC1 image is
// invalid.\n").
int ecc1_records_check(const char* name, const ecc1_record& matrix, const ecc1_record& table);
// Value k (0 .. 4N - 1) of the table record: four 10-bit values per 5-byte entry.
ULONG ecc1_table_value(const ecc1_record& table, ULONG k);
// The ECC engine's register writes for two checked records, in order: (R - 1) x N table values and
// 15 to 0x63A8; per matrix section i, 1 << i to 0x42A4 and its (W / 32) x S words to 0x42A0; the
// 4N values to 0x42A8.
using ecc1_register_write = void (*)(void* context, ULONG csr, ULONG value);
void ecc1_stream(const ecc1_record& matrix, const ecc1_record& table, ecc1_register_write write, void* context);

// ---- On the card

// The container `id` of the chain: 0 with its card-memory address and total size, 1 when the
// chain ends first (a bad magic, a zero format word, a size below a header, an address past card
// memory) or card memory cannot be read.
int cmem_find_container(pipeline_device* card, ULONG id, ULONG* address, ULONG* size);

// Boots the channel's microcode: up to three attempts of reading container 0, finding the
// record of the channel's interface kind and loading it through the command ring ("%s: Microcode
// loaded (%d).\n" with the failed attempts, or "%s: Failed to boot microcode (%d).\n"): 0, or the
// last attempt's error.
int microcode_boot(nand_dev* channel);
// Each bank of `bank_mask` gets its NAND interface set up (pads, interface kind and clock, the
// part's features, the management key to bank 0): 0, or 1.
int nand_bank_interface_setup(nand_dev* channel, ULONG bank_mask);
// Chooses the ECC codeword for the part's page and sets up the ECC engine, which loads ECC1: 0 or
// a negative errno (image problems also set the card's minimal-mode reason 0x2).
int ecc_geometry_setup(nand_dev* channel);
