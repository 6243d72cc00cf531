#include "driver/platform/kinfo.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/format.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/version.h"

namespace {

kinfo_node* tree_root;
kinfo_node* driver_root;
FAST_MUTEX tree_mutex;
bool tree_mutex_ready;

constexpr ULONG64 first_seq_capacity = 1024;
// Text beyond what one transfer can carry is not kept.
constexpr ULONG64 largest_seq_capacity = (ULONG64)KINFO_MAX_TRANSFER + 1;

kinfo_node* node_of(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, kinfo_node, sibling);
}

bool is_value(ULONG type) {
    return type >= KINFO_INT32 && type <= KINFO_STRING;
}

void unlink(kinfo_node* node) {
    if (node->parent != nullptr) {
        RemoveEntryList(&node->sibling);
        InitializeListHead(&node->sibling);
        node->parent = nullptr;
    }
}

// Under the tree mutex. Frees the children that are no directories and descends into the first
// directory; a directory left without children goes, and the walk climbs to its parent, until
// `top` itself is freed. The kernel stack stays flat however deep the tree is.
void remove_locked(kinfo_node* top) {
    if (top->type != KINFO_DIR) {
        unlink(top);
        kinfo_node_free(top);
        return;
    }
    kinfo_node* current = top;
    for (;;) {
        kinfo_node* subdirectory = nullptr;
        PLIST_ENTRY e = current->children.Flink;
        while (e != &current->children) {
            kinfo_node* child = node_of(e);
            e = e->Flink;
            if (child->type == KINFO_DIR) {
                subdirectory = child;
                break;
            }
            unlink(child);
            kinfo_node_free(child);
        }
        if (subdirectory != nullptr) {
            current = subdirectory;
            continue;
        }
        kinfo_node* parent = current->parent;
        bool done = current == top;
        unlink(current);
        kinfo_node_free(current);
        if (done) {
            return;
        }
        current = parent;
    }
}

// The node that a dot-separated path names below `base`; runs of dots separate like one.
kinfo_node* lookup_locked(kinfo_node* base, const char* path) {
    kinfo_node* current = base;
    const char* p = path;
    for (;;) {
        while (*p == '.') {
            p++;
        }
        if (*p == 0) {
            return current;
        }
        const char* end = p;
        while (*end != 0 && *end != '.') {
            end++;
        }
        size_t length = (size_t)(end - p);
        if (current->type != KINFO_DIR || length > KINFO_NAME_MAX) {
            return nullptr;
        }
        kinfo_node* found = nullptr;
        for (PLIST_ENTRY e = current->children.Flink; e != &current->children; e = e->Flink) {
            kinfo_node* child = node_of(e);
            if (strncmp(child->name, p, length) == 0 && child->name[length] == 0) {
                found = child;
                break;
            }
        }
        if (found == nullptr) {
            return nullptr;
        }
        current = found;
        p = end;
    }
}

// Lists every node of the subtree that is no directory, depth first in child order, as its
// path relative to `directory` and a NUL. Writes at most `capacity` bytes to `out` (NULL only
// measures); returns the length of the whole listing.
ULONG64 list_locked(kinfo_node* directory, char* out, ULONG64 capacity) {
    char path[KINFO_PATH_MAX + 2];  // the current directory's path and its trailing dot
    size_t path_length = 0;
    ULONG64 produced = 0;
    kinfo_node* current = directory;
    PLIST_ENTRY e = directory->children.Flink;
    for (;;) {
        if (e == &current->children) {
            if (current == directory) {
                return produced;
            }
            path_length -= strlen(current->name) + 1;
            e = current->sibling.Flink;
            current = current->parent;
            continue;
        }
        kinfo_node* child = node_of(e);
        e = e->Flink;
        size_t name_length = strlen(child->name);
        size_t full_length = path_length + name_length;
        if (full_length > KINFO_PATH_MAX) {
            path[path_length] = 0;
            kpav_print(KPAV_CLASS_NORMAL, "Skipping entry with long path '%s%s' (len %d)\n", path, child->name,
                       (int)full_length);
            continue;
        }
        if (child->type == KINFO_DIR) {
            RtlCopyMemory(path + path_length, child->name, name_length);
            path_length += name_length;
            path[path_length++] = '.';
            current = child;
            e = child->children.Flink;
            continue;
        }
        for (size_t i = 0; i <= full_length; i++) {
            char c = i < path_length ? path[i] : i < full_length ? child->name[i - path_length] : 0;
            if (out != nullptr && produced < capacity) {
                out[produced] = c;
            }
            produced++;
        }
    }
}

bool grow(kinfo_seq* seq) {
    if (seq->capacity >= largest_seq_capacity) {
        return false;
    }
    ULONG64 capacity = seq->capacity == 0 ? first_seq_capacity : seq->capacity * 2;
    if (capacity > largest_seq_capacity) {
        capacity = largest_seq_capacity;
    }
    auto* buffer = (char*)kpav_alloc((size_t)capacity, KPAV_TAG_VML);
    if (buffer == nullptr) {
        seq->flags |= KINFO_SEQ_NO_MEMORY;
        return false;
    }
    if (seq->buffer != nullptr) {
        RtlCopyMemory(buffer, seq->buffer, (size_t)seq->used);
        kpav_free(seq->buffer, KPAV_TAG_VML);
    }
    seq->buffer = buffer;
    seq->capacity = capacity;
    return true;
}

kinfo_seq* seq_open(kinfo_node* node, bool measure) {
    auto* seq = (kinfo_seq*)kpav_zalloc(sizeof(kinfo_seq), KPAV_TAG_MAL);
    if (seq != nullptr) {
        seq->node = node;
        seq->flags = KINFO_SEQ_OPEN | (measure ? KINFO_SEQ_MEASURE : 0);
    }
    return seq;
}

void seq_close(kinfo_seq* seq) {
    if (seq->buffer != nullptr) {
        kpav_free(seq->buffer, KPAV_TAG_VML);
    }
    kpav_free(seq, KPAV_TAG_MAL);
}

// One pass of a text or sequence node's shows into the seq.
int render_locked(kinfo_node* node, kinfo_seq* seq) {
    int result = 0;
    if (node->type == KINFO_TEXT) {
        result = node->show != nullptr ? node->show(node->priv, KINFO_READ, seq) : 0;
    } else {
        const kinfo_seq_ops* ops = node->seq_ops;
        ULONG64 position = 0;
        void* element = ops->start(node->priv, &position, seq);
        while (element != nullptr) {
            int shown = ops->show(node->priv, element, seq);
            if (shown != 0) {
                result = shown;
                break;
            }
            element = ops->next(node->priv, element, &position);
        }
        ops->stop(node->priv, element);
    }
    if (result > 0) {
        result = 0;
    }
    if (result == 0 && (seq->flags & KINFO_SEQ_NO_MEMORY) != 0) {
        result = -KPAV_ENOMEM;
    }
    return result;
}

// Copies to and from the data area behind the record: the caller's own buffer (`user`), or a
// kernel range that stands for it (the control interface's locked record). 0 or the bytes not copied.
ULONG data_out(void* data, const void* source, ULONG length, bool user) {
    if (user) {
        return kpav_copy_to_user(data, source, length);
    }
    if (data == nullptr && length != 0) {
        return length;
    }
    RtlCopyMemory(data, source, length);
    return 0;
}

ULONG data_in(void* destination, const void* data, ULONG length, bool user) {
    if (user) {
        return kpav_copy_from_user(destination, data, length);
    }
    if (data == nullptr && length != 0) {
        return length;
    }
    RtlCopyMemory(destination, data, length);
    return 0;
}

ULONG clamp_size(ULONG64 size) {
    return size > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)size;
}

// A size query: size, type and mode of the node. Texts are rendered to be measured; their
// shows are told so and leave their state alone.
int query_locked(kinfo_node* node, kinfo_query* query) {
    ULONG64 size = node->size;
    if (node->type == KINFO_DIR) {
        size = list_locked(node, nullptr, 0);
    } else if (node->type == KINFO_TEXT || node->type == KINFO_SEQFILE) {
        kinfo_seq* seq = seq_open(node, true);
        if (seq == nullptr) {
            return -KPAV_ENOMEM;
        }
        // A show that fails here is reported by the read; the query gives what it rendered.
        render_locked(node, seq);
        size = seq->used;
        seq_close(seq);
    }
    query->size = clamp_size(size);
    query->type = node->type;
    query->mode = node->mode;
    return 0;
}

int read_text_locked(kinfo_node* node, kinfo_query* query, void* user_data, bool user) {
    kinfo_seq* seq = seq_open(node, false);
    if (seq == nullptr) {
        return -KPAV_ENOMEM;
    }
    int result = render_locked(node, seq);
    if (result == 0) {
        ULONG length = seq->used < query->size ? (ULONG)seq->used : query->size;
        if (length != 0 && data_out(user_data, seq->buffer, length, user) != 0) {
            result = -KPAV_EFAULT;
        } else {
            query->size = length;
        }
    }
    seq_close(seq);
    return result;
}

int read_directory_locked(kinfo_node* node, kinfo_query* query, void* user_data, bool user) {
    auto* buffer = (char*)kpav_alloc(query->size, KPAV_TAG_VML);
    if (buffer == nullptr) {
        return -KPAV_ENOMEM;
    }
    ULONG64 listing = list_locked(node, buffer, query->size);
    ULONG length = listing < query->size ? (ULONG)listing : query->size;
    int result = 0;
    if (length != 0 && data_out(user_data, buffer, length, user) != 0) {
        result = -KPAV_EFAULT;
    } else {
        query->size = length;
    }
    kpav_free(buffer, KPAV_TAG_VML);
    return result;
}

int access_value_locked(kinfo_node* node, kinfo_query* query, void* user_data, bool user) {
    bool write = query->mode == KINFO_WRITE;
    bool text = node->type == KINFO_STRING;
    if (!text && node->size > sizeof query->value) {
        return -KPAV_EINVAL;  // a number wider than the record can carry
    }
    void* buffer = &query->value;
    if (text) {
        buffer = kpav_zalloc(query->size, KPAV_TAG_VML);
        if (buffer == nullptr) {
            return -KPAV_ENOMEM;
        }
        if (write && data_in(buffer, user_data, query->size, user) != 0) {
            kpav_free(buffer, KPAV_TAG_VML);
            return -KPAV_EFAULT;
        }
    }
    // A number travels in the record's 8-byte value: its callback sees the number's own size.
    kinfo_desc desc = {text ? query->size : (ULONG)node->size, buffer};
    int result = 0;
    if (write) {
        if (node->size < query->size) {
            result = -KPAV_ENOMEM;
        } else if (node->access != nullptr) {
            result = node->access(node->priv, KINFO_WRITE, nullptr, &desc);
        } else if (text) {
            // Only what the caller gave, the rest cleared, and always terminated.
            auto* variable = (char*)node->priv;
            RtlCopyMemory(variable, buffer, query->size);
            RtlZeroMemory(variable + query->size, (size_t)(node->size - query->size));
            if (node->size != 0) {
                variable[node->size - 1] = 0;
            }
        } else {
            RtlCopyMemory(node->priv, buffer, (size_t)node->size);
        }
    } else {
        if (node->size > query->size) {
            result = -KPAV_ENOMEM;
        } else {
            if (!text) {
                query->value.uint64 = 0;
            }
            if (node->access != nullptr) {
                result = node->access(node->priv, KINFO_READ, &desc, nullptr);
            } else {
                RtlCopyMemory(buffer, node->priv, (size_t)node->size);
            }
            if (result == 0 && text) {
                ULONG length = node->size < query->size ? (ULONG)node->size : query->size;
                if (length != 0 && data_out(user_data, buffer, length, user) != 0) {
                    result = -KPAV_EFAULT;
                }
            }
        }
    }
    if (text) {
        kpav_free(buffer, KPAV_TAG_VML);
    }
    return result < 0 ? result : 0;
}

int show_version(void* priv, ULONG direction, kinfo_seq* seq) {
    UNREFERENCED_PARAMETER(priv);
    UNREFERENCED_PARAMETER(direction);
    kinfo_seq_printf(seq, "%s\n", pav_version_string);
    return 0;
}

// Links a new node under the mutex; frees it when linking fails.
int link_new(kinfo_node* parent, kinfo_node* node) {
    kinfo_lock();
    int result = kinfo_node_link(parent, node);
    kinfo_unlock();
    if (result != 0) {
        kinfo_node_free(node);
    }
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Nodes

int kinfo_init() {
    PAGED_CODE();
    if (!tree_mutex_ready) {
        ExInitializeFastMutex(&tree_mutex);
        tree_mutex_ready = true;
    }
    if (tree_root != nullptr) {
        return 0;
    }
    tree_root = kinfo_node_alloc(KINFO_DIR, "tavrin");
    if (tree_root == nullptr) {
        return -KPAV_ENOMEM;
    }
    tree_root->mode = KINFO_MODE_RO;
    return 0;
}

kinfo_node* kinfo_node_alloc(ULONG type, const char* name) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    size_t length = strnlen(name, KINFO_NAME_MAX + 1);
    if (length > KINFO_NAME_MAX) {
        return nullptr;
    }
    auto* node = (kinfo_node*)kpav_zalloc(sizeof(kinfo_node), KPAV_TAG_MAL);
    if (node == nullptr) {
        return nullptr;
    }
    node->type = type;
    InitializeListHead(&node->sibling);
    if (type == KINFO_DIR) {
        InitializeListHead(&node->children);
    }
    RtlCopyMemory(node->name, name, length);
    return node;
}

void kinfo_node_free(kinfo_node* node) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_free(node, KPAV_TAG_MAL);
}

int kinfo_node_link(kinfo_node* parent, kinfo_node* node) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (parent == nullptr) {
        parent = tree_root;
    } else if (kinfo_find_child(parent, node->name) != nullptr) {
        return -KPAV_EEXIST;
    }
    if (parent == nullptr || parent->type != KINFO_DIR) {
        return -KPAV_EINVAL;
    }
    InsertTailList(&parent->children, &node->sibling);
    node->parent = parent;
    return 0;
}

kinfo_node* kinfo_find_child(kinfo_node* directory, const char* name) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (directory == nullptr || directory->type != KINFO_DIR) {
        return nullptr;
    }
    for (PLIST_ENTRY e = directory->children.Flink; e != &directory->children; e = e->Flink) {
        kinfo_node* child = node_of(e);
        if (strcmp(child->name, name) == 0) {
            return child;
        }
    }
    return nullptr;
}

void kinfo_lock() {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    ExAcquireFastMutex(&tree_mutex);
}

void kinfo_unlock() {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    ExReleaseFastMutex(&tree_mutex);
}

int kinfo_create_dir(kinfo_node* parent, const char* name, kinfo_node** node) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    kinfo_node* directory = kinfo_node_alloc(KINFO_DIR, name);
    if (directory == nullptr) {
        return -KPAV_ENOMEM;
    }
    directory->mode = KINFO_MODE_RO;
    int result = link_new(parent, directory);
    if (result == 0 && node != nullptr) {
        *node = directory;
    }
    return result;
}

int kinfo_create_text(kinfo_node* parent, const char* name, void* ignored, kinfo_show_fn show, void* priv) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    UNREFERENCED_PARAMETER(ignored);
    if (parent == nullptr) {
        return -KPAV_EINVAL;
    }
    kinfo_node* node = kinfo_node_alloc(KINFO_TEXT, name);
    if (node == nullptr) {
        return -KPAV_ENOMEM;
    }
    node->mode = KINFO_MODE_RO;
    node->show = show;
    node->priv = priv;
    return link_new(parent, node);
}

int kinfo_create_value(kinfo_node* parent, ULONG type, const char* name, ULONG mode, void* variable, ULONG64 size,
                       kinfo_access_fn access) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (!is_value(type)) {
        return -KPAV_EINVAL;
    }
    kinfo_node* node = kinfo_node_alloc(type, name);
    if (node == nullptr) {
        return -KPAV_ENOMEM;
    }
    node->mode = mode;
    node->size = size;
    node->priv = variable;
    node->access = access;
    return link_new(parent, node);
}

int kinfo_create_seqfile(kinfo_node* parent, const char* name, const kinfo_seq_ops* ops, void* priv) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    kinfo_node* node = kinfo_node_alloc(KINFO_SEQFILE, name);
    if (node == nullptr) {
        return -KPAV_ENOMEM;
    }
    node->mode = KINFO_MODE_RO;
    node->seq_ops = ops;
    node->priv = priv;
    return link_new(parent, node);
}

void kinfo_remove(kinfo_node** node) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (*node == nullptr) {
        return;
    }
    kinfo_lock();
    remove_locked(*node);
    kinfo_unlock();
    *node = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Output of shows

int kinfo_seq_printf(kinfo_seq* seq, const char* format, ...) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    va_list ap;
    va_start(ap, format);
    int n = kinfo_seq_vprintf(seq, format, ap);
    va_end(ap);
    return n;
}

int kinfo_seq_vprintf(kinfo_seq* seq, const char* format, va_list arguments) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    for (;;) {
        ULONG64 room = seq->capacity - seq->used;
        NTSTATUS status = STATUS_BUFFER_OVERFLOW;
        if (room > 1) {
            va_list copy;
            va_copy(copy, arguments);
            status = kpav_vsnprintf_core(seq->buffer + seq->used, (size_t)room, format, copy);
            va_end(copy);
            if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW) {
                return 0;
            }
        }
        if (status == STATUS_SUCCESS || !grow(seq)) {
            // Done, or cut where the buffer cannot grow further.
            size_t length = room > 1 ? strnlen(seq->buffer + seq->used, (size_t)room) : 0;
            seq->used += length;
            seq->total += length;
            return (int)length;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The control interface's access

int kinfo_user_access(kinfo_node* root, kinfo_query* query, void* user_data) {
    PAGED_CODE();
    return kinfo_access(root, query, user_data, true);
}

int kinfo_access(kinfo_node* root, kinfo_query* query, void* data, bool user) {
    PAGED_CODE();
    void* user_data = data;
    if (root == nullptr) {
        if (query->selector != 0) {
            return -KPAV_ENOENT;
        }
        root = tree_root;
        if (root == nullptr) {
            return -KPAV_ENOENT;
        }
    }
    if (strnlen(query->name, sizeof query->name) == sizeof query->name) {
        return -KPAV_EINVAL;  // no terminator within the name field
    }
    if (query->name[0] == 0) {
        query->type = KINFO_DIR;
        query->mode = KINFO_READ;
    }
    kinfo_lock();
    int result;
    kinfo_node* node = lookup_locked(root, query->name);
    if (node == nullptr) {
        result = -KPAV_ENOENT;
    } else if (query->size == 0) {
        result = query_locked(node, query);
    } else if (query->size > KINFO_MAX_TRANSFER) {
        result = -KPAV_E2BIG;
    } else if (query->type == 0 || query->mode == 0) {
        result = -KPAV_EINVAL;
    } else if ((query->mode & ~node->mode) != 0) {
        result = -KPAV_EACCES;  // every bit asked for must be one the node has
    } else if (query->type != node->type) {
        result = -KPAV_EINVAL;
    } else if (query->mode != KINFO_READ && (query->mode != KINFO_WRITE || !is_value(node->type))) {
        result = -KPAV_EINVAL;  // one direction per request; only values are written
    } else if (node->type == KINFO_DIR) {
        result = read_directory_locked(node, query, user_data, user);
    } else if (node->type == KINFO_TEXT || node->type == KINFO_SEQFILE) {
        result = read_text_locked(node, query, user_data, user);
    } else {
        result = access_value_locked(node, query, user_data, user);
    }
    kinfo_unlock();
    return result;
}

kinfo_node* kinfo_global_root() {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return tree_root;
}

// ---------------------------------------------------------------------------------------------
// The driver root

int pav_driver_kinfo_init() {
    PAGED_CODE();
    int result = kinfo_init();
    if (result != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "Unable to initialize kinfo subsystem.\n");
        return result;
    }
    char name[16];
    kpav_snprintf(name, sizeof name, "zelt%d", 4);
    if (kinfo_create_dir(nullptr, name, &driver_root) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "Unable to create kinfo driverroot node (%s).\n", name);
        kinfo_remove(&tree_root);
        return -KPAV_ENOMEM;
    }
    kinfo_create_text(driver_root, "version", nullptr, show_version, nullptr);
    return 0;
}

void pav_driver_kinfo_exit() {
    PAGED_CODE();
    kinfo_remove(&driver_root);
    kinfo_remove(&tree_root);
}

kinfo_node* pav_driver_kinfo_root() {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return driver_root;
}
