// The driver's information tree: directories, typed values, text nodes rendered by a show
// callback and sequence nodes rendered element by element. User-side tools read and write it
// through the control interface's kinfo request, which lands in kinfo_user_access.
//
// One fast mutex guards the whole tree (every link, unlink, lookup and access), so tree
// operations run at PASSIVE_LEVEL or APC_LEVEL; show callbacks run under it.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "driver/platform/os.h"

enum kinfo_type : ULONG {
    KINFO_DIR = 1,
    KINFO_INT32 = 2,
    KINFO_UINT32 = 3,
    KINFO_UINT64 = 4,
    KINFO_STRING = 5,
    KINFO_TEXT = 6,
    KINFO_SEQFILE = 7,
};

constexpr ULONG KINFO_MODE_RO = 0444;  // the default
constexpr ULONG KINFO_MODE_RW = 0644;  // tunables
// The mode bits of a request.
constexpr ULONG KINFO_READ = 0x100;
constexpr ULONG KINFO_WRITE = 0x80;

constexpr size_t KINFO_NAME_MAX = 64;
constexpr ULONG KINFO_MAX_TRANSFER = 0x1000000;  // 16 MiB
constexpr size_t KINFO_PATH_MAX = 255;

struct kinfo_node;
struct kinfo_seq;

// A value transfer handed to an access callback: the request's size and the transfer buffer.
struct kinfo_desc {
    ULONG64 size;
    void* buffer;
};

// Value access: (variable, KINFO_WRITE or KINFO_READ, read descriptor or NULL, write descriptor
// or NULL) -> 0 or a negative errno.
using kinfo_access_fn = int (*)(void* variable, ULONG direction, kinfo_desc* read, kinfo_desc* write);
// Text show: (private, KINFO_READ, output) -> 0 or a negative errno.
using kinfo_show_fn = int (*)(void* priv, ULONG direction, kinfo_seq* seq);

struct kinfo_seq_ops {
    void* (*start)(void* priv, ULONG64* position, kinfo_seq* seq);  // first element or NULL
    void* (*next)(void* priv, void* element, ULONG64* position);    // next element or NULL
    void (*stop)(void* priv, void* element);
    int (*show)(void* priv, void* element, kinfo_seq* seq);  // 0, or an error that ends the walk
};

// The control interface's kinfo record.
struct kinfo_query {
    char name[256];  // dot-separated path below the base
    ULONG size;      // bytes of the data area; 0 asks for size, type and mode
    ULONG type;
    ULONG mode;      // KINFO_READ or KINFO_WRITE
    ULONG selector;  // with no base given: 0 means the global tree
    union {
        LONG int32;
        ULONG uint32;
        ULONG64 uint64;
        UCHAR bytes[8];
    } value;  // numeric values travel here; everything else in the data area behind the record
};
static_assert(sizeof(kinfo_query) == 280);
static_assert(offsetof(kinfo_query, size) == 256);
static_assert(offsetof(kinfo_query, type) == 260);
static_assert(offsetof(kinfo_query, mode) == 264);
static_assert(offsetof(kinfo_query, selector) == 268);
static_assert(offsetof(kinfo_query, value) == 272);

// 0 or -KPAV_ENOMEM: the root "tavrin" and the tree mutex.
int kinfo_init();
// A zeroed node (the caller sets mode, size, private pointer and callback); NULL for a name
// longer than 64 characters or no memory.
kinfo_node* kinfo_node_alloc(ULONG type, const char* name);
void kinfo_node_free(kinfo_node* node);
// Links at the tail of the parent's children (NULL: the root, without a duplicate test):
// 0, -KPAV_EEXIST for a name the parent has already, -KPAV_EINVAL when the parent is no directory.
// The caller holds the tree mutex.
int kinfo_node_link(kinfo_node* parent, kinfo_node* node);
kinfo_node* kinfo_find_child(kinfo_node* directory, const char* name);
void kinfo_lock();
void kinfo_unlock();

// 0, -KPAV_ENOMEM, -KPAV_EEXIST. Directories are 0444.
int kinfo_create_dir(kinfo_node* parent, const char* name, kinfo_node** node);
// 0, -KPAV_EINVAL without parent, -KPAV_ENOMEM, -KPAV_EEXIST. The show callback is called as
// (private, KINFO_READ, seq).
int kinfo_create_text(kinfo_node* parent, const char* name, void* ignored, kinfo_show_fn show, void* priv);
// The publisher's way to a value node (mode 0444 or 0644, size 4 or 8 or the string buffer's
// size, optional access callback) and a sequence node: 0, -KPAV_ENOMEM, -KPAV_EEXIST.
int kinfo_create_value(kinfo_node* parent, ULONG type, const char* name, ULONG mode, void* variable, ULONG64 size,
                       kinfo_access_fn access);
int kinfo_create_seqfile(kinfo_node* parent, const char* name, const kinfo_seq_ops* ops, void* priv);
// Removes the node (a directory with its whole subtree, depth first without recursion) and
// clears the caller's pointer.
void kinfo_remove(kinfo_node** node);

// Formats at the write position: the length stored.
int kinfo_seq_printf(kinfo_seq* seq, const char* format, ...);
int kinfo_seq_vprintf(kinfo_seq* seq, const char* format, va_list arguments);

// Serves one kinfo request (PASSIVE_LEVEL): `root` the base directory, or NULL for the global
// tree (selector 0); `user_data` the caller's data area behind the record. 0 or a negative
// errno: -KPAV_ENOENT unknown name, -KPAV_E2BIG above 16 MiB, -KPAV_EINVAL bad type or mode,
// -KPAV_EACCES a mode bit the node lacks, -KPAV_ENOMEM a size that does not fit the value,
// -KPAV_EFAULT a data area that cannot be reached.
int kinfo_user_access(kinfo_node* root, kinfo_query* query, void* user_data);
// The same with the data area given either as the caller's buffer (`user`) or as kernel memory
// that stands for it (the control interface's locked record, at least query->size bytes).
int kinfo_access(kinfo_node* root, kinfo_query* query, void* data, bool user);

kinfo_node* kinfo_global_root();

// The driver root "zelt4" with its "version" text, at driver start; undone at driver exit
// together with the global root.
int pav_driver_kinfo_init();
void pav_driver_kinfo_exit();
kinfo_node* pav_driver_kinfo_root();

// ---------------------------------------------------------------------------------------------
// The records behind the routines. A caller of kinfo_node_alloc sets a node's mode, size,
// private pointer and callback; show callbacks print into a kinfo_seq with kinfo_seq_printf.

struct kinfo_node {
    kinfo_node* parent;  // NULL while unlinked
    void* priv;          // value nodes: the variable; text and sequence nodes: the owner's record
    ULONG type;          // kinfo_type
    ULONG64 size;        // value nodes: 4 or 8, or the string buffer's size
    ULONG mode;
    LIST_ENTRY sibling;  // in the parent's child list
    union {
        LIST_ENTRY children;  // directories
        kinfo_access_fn access;
        kinfo_show_fn show;
        const kinfo_seq_ops* seq_ops;
    };
    char name[KINFO_NAME_MAX + 1];
};

// The output of show callbacks. The buffer grows as text is printed, so every render is a
// single pass; a render that only measures (a size query) is marked, and shows with side
// effects (counters that are copied and cleared, baselines that move) must leave their state
// alone when kinfo_seq_measure_only says so.
struct kinfo_seq {
    kinfo_node* node;
    char* buffer;
    ULONG64 capacity;
    ULONG64 used;   // write position
    ULONG64 total;  // sum of the lengths printed
    ULONG flags;
};
static_assert(sizeof(kinfo_seq) == 48);

constexpr ULONG KINFO_SEQ_OPEN = 0x1;
constexpr ULONG KINFO_SEQ_MEASURE = 0x2;  // the text is measured, not read
constexpr ULONG KINFO_SEQ_NO_MEMORY = 0x4;

inline bool kinfo_seq_measure_only(const kinfo_seq* seq) {
    return (seq->flags & KINFO_SEQ_MEASURE) != 0;
}
