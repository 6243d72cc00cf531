#include "driver/platform/mem_chunk.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/steps.h"

namespace {

constexpr ULONG chunk_signature = 0x4B4E4843u;  // "CHNK" in memory
constexpr ULONG chunk_page_size = 4096;
constexpr ULONG first_usable_page = 2;          // pages 0 and 1 hold the header and the bitmap
constexpr ULONG smallest_chunk_bytes = 12289;   // a halved chunk must still hold a usable page
constexpr ULONG chunk_mb_low = 4;
constexpr ULONG chunk_mb_high = 128;
constexpr ULONG table_span_mb = 1048576;        // the first search table covers 1 TiB of chunks
constexpr ULONG bit_not_found = 0xFFFFFFFFu;

// Message numbers.
constexpr ULONG msg_not_uninitialised = 6169;
constexpr ULONG msg_search_table = 6170;
constexpr ULONG msg_initial_chunk = 6171;
constexpr ULONG msg_find_and_clear = 6172;
constexpr ULONG msg_free_null = 6173;
constexpr ULONG msg_free_signature = 6174;
constexpr ULONG msg_free_bad_page = 6175;
constexpr ULONG msg_free_list_state = 6176;
constexpr ULONG msg_table_growth = 6177;
constexpr ULONG msg_free_null_chunk = 6178;
constexpr ULONG msg_chunk_signature = 6179;
constexpr ULONG msg_chunk_free_count = 6180;
constexpr ULONG msg_chunk_free_link = 6181;
constexpr ULONG msg_xlat_null = 6182;
constexpr ULONG msg_xlat_no_table = 6183;
constexpr ULONG msg_xlat_no_size = 6184;
constexpr ULONG msg_xlat_no_entries = 6185;
constexpr ULONG msg_get_signature = 6186;
constexpr ULONG msg_get_not_on_free_list = 6187;
constexpr ULONG msg_get_no_free_pages = 6188;

// Sits at the start of every chunk; its bitmap (one bit per page, set = free) follows it.
struct mem_chunk {
    ULONG signature;
    LIST_ENTRY all_link;
    LIST_ENTRY free_link;  // both links NULL while the chunk is off the free list
    UCHAR on_free_list;
    ULONG size;
    ULONG page_count;
    ULONG free_count;
    ULONG hint;            // the page handed out last: the next search starts there
    RTL_BITMAP bitmap;
};
static_assert(sizeof(mem_chunk) + chunk_mb_high * 1048576 / chunk_page_size / 8 <=
                  first_usable_page * chunk_page_size,
              "header and bitmap of the largest chunk fit in the reserved pages");

enum allocator_state : LONG { state_uninitialised = 0, state_initialising = 1, state_ready = 2 };

struct chunk_allocator {
    volatile LONG state;
    LIST_ENTRY all_chunks;
    LIST_ENTRY free_chunks;  // pages are taken from the head; chunks join at the tail
    ULONG chunk_count;
    ULONG chunk_size;
    // Chunk addresses in ascending order, so that the chunk of a page is found by bisection.
    mem_chunk** table;
    ULONG table_capacity;
    ULONG table_entries;
    KSPIN_LOCK lock;
};

chunk_allocator allocator;

#define CHUNK_LOG(id, ...) kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, (id), __VA_ARGS__)

// Get and free may run at DISPATCH_LEVEL, where the lock is taken without raising.
KIRQL lock_allocator() {
    if (KeGetCurrentIrql() == DISPATCH_LEVEL) {
        KeAcquireSpinLockAtDpcLevel(&allocator.lock);
        return DISPATCH_LEVEL;
    }
    KIRQL old;
    KeAcquireSpinLock(&allocator.lock, &old);
    return old;
}

void unlock_allocator(KIRQL old) {
    if (old == DISPATCH_LEVEL) {
        KeReleaseSpinLockFromDpcLevel(&allocator.lock);
    } else {
        KeReleaseSpinLock(&allocator.lock, old);
    }
}

// ---------------------------------------------------------------------------------------------
// The search table

// The index before which `chunk` belongs: after every entry at or below it.
ULONG table_insert_position(mem_chunk* chunk) {
    ULONG low = 0;
    ULONG high = allocator.table_entries;
    while (low < high) {
        ULONG middle = low + (high - low) / 2;
        if ((ULONG_PTR)allocator.table[middle] > (ULONG_PTR)chunk) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

// Doubles a full table; false (logged) when the larger table cannot be had.
bool table_make_room() {
    if (allocator.table_entries < allocator.table_capacity) {
        return true;
    }
    ULONG capacity = allocator.table_capacity;
    ULONG new_capacity = capacity <= MAXULONG / 2 ? capacity * 2 : 0;
    mem_chunk** table = nullptr;
    if (new_capacity != 0) {
        table = (mem_chunk**)kpav_zalloc((size_t)new_capacity * sizeof(mem_chunk*), KPAV_TAG_ZPG);
    }
    if (table == nullptr) {
        CHUNK_LOG(msg_table_growth, "Failed to reallocate search table to new size of %u pointers\n", new_capacity);
        return false;
    }
    RtlCopyMemory(table, allocator.table, (size_t)allocator.table_entries * sizeof(mem_chunk*));
    kpav_free(allocator.table, KPAV_TAG_ZPG);
    allocator.table = table;
    allocator.table_capacity = new_capacity;
    return true;
}

// The table has room for one more entry (callers make sure of it with table_make_room).
void table_insert(mem_chunk* chunk) {
    ULONG position = table_insert_position(chunk);
    RtlMoveMemory(&allocator.table[position + 1], &allocator.table[position],
                  (size_t)(allocator.table_entries - position) * sizeof(mem_chunk*));
    allocator.table[position] = chunk;
    allocator.table_entries++;
}

void table_remove(mem_chunk* chunk) {
    ULONG position = table_insert_position(chunk);  // just past the entry when it is there
    if (position == 0 || allocator.table[position - 1] != chunk) {
        return;
    }
    position--;
    RtlMoveMemory(&allocator.table[position], &allocator.table[position + 1],
                  (size_t)(allocator.table_entries - position - 1) * sizeof(mem_chunk*));
    allocator.table_entries--;
    allocator.table[allocator.table_entries] = nullptr;
}

// The chunk that holds `page`, or NULL.
mem_chunk* xlat(void* page) {
    if (page == nullptr) {
        CHUNK_LOG(msg_xlat_null, "xlat: Attempting to find a NULL page address!\n");
        return nullptr;
    }
    if (allocator.table == nullptr) {
        CHUNK_LOG(msg_xlat_no_table, "xlat: search table has not been allocated!\n");
        return nullptr;
    }
    if (allocator.table_capacity == 0) {
        CHUNK_LOG(msg_xlat_no_size, "xlat: search table has no size!\n");
        return nullptr;
    }
    if (allocator.table_entries == 0) {
        CHUNK_LOG(msg_xlat_no_entries, "xlat: search table has no entries!\n");
        return nullptr;
    }
    auto address = (ULONG_PTR)page;
    LONG count = (LONG)allocator.table_entries;
    LONG index = count / 2;
    LONG step = count / 2;
    for (LONG round = 0; round < count; round++) {
        step = step / 2 > 0 ? step / 2 : 1;
        mem_chunk* chunk = allocator.table[index];
        auto start = (ULONG_PTR)chunk;
        // A chunk's own address counts as inside it, so that it is refused as a page rather
        // than handed back to the pool as if it were one.
        if (start <= address && address < start + chunk->size) {
            return chunk;
        }
        index += start < address ? step : -step;
        if (index < 0 || index >= count) {
            break;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Chunks

// A new chunk on both lists and in the table; NULL when no pool can be had. Called under the
// allocator's lock (or during init), at or below DISPATCH_LEVEL.
mem_chunk* create_chunk() {
    // A chunk that could not be found from its pages must never hand them out: their frees
    // would fail and the callers would give interior addresses of the chunk to the pool. So
    // the table makes room first, before a chunk is allocated and zeroed for nothing.
    if (!table_make_room()) {
        return nullptr;
    }
    ULONG size = allocator.chunk_size;
    void* memory = kpav_alloc(size, KPAV_TAG_ZPG);
    while (memory == nullptr) {
        size /= 2;
        if (size < smallest_chunk_bytes) {
            return nullptr;
        }
        memory = kpav_alloc(size, KPAV_TAG_ZPG);
    }
    RtlZeroMemory(memory, size);
    auto* chunk = (mem_chunk*)memory;
    chunk->signature = chunk_signature;
    chunk->size = size;
    chunk->page_count = size / chunk_page_size;
    chunk->free_count = chunk->page_count - first_usable_page;
    RtlInitializeBitMap(&chunk->bitmap, (PULONG)(chunk + 1), chunk->page_count);
    RtlSetAllBits(&chunk->bitmap);
    RtlClearBits(&chunk->bitmap, 0, first_usable_page);
    table_insert(chunk);
    InsertTailList(&allocator.all_chunks, &chunk->all_link);
    InsertTailList(&allocator.free_chunks, &chunk->free_link);
    chunk->on_free_list = 1;
    allocator.chunk_count++;
    return chunk;
}

// Frees an empty chunk; true when it was freed, false when it is left in place (orphaned).
bool free_chunk(mem_chunk* chunk) {
    if (chunk == nullptr) {
        CHUNK_LOG(msg_free_null_chunk, "Free Chunk: Attempting to free a NULL chunk!\n");
        return false;
    }
    if (chunk->signature != chunk_signature) {
        CHUNK_LOG(msg_chunk_signature,
                  "Free Chunk: Invalid chunk signature found on chunk %p! This memory is now orphaned!\n", chunk);
        return false;
    }
    if (chunk->free_count != chunk->page_count - first_usable_page) {
        CHUNK_LOG(msg_chunk_free_count,
                  "Free Chunk: Chunk %p has a free page count %u that should be %u! This memory is now orphaned!\n",
                  chunk, chunk->free_count, chunk->page_count - first_usable_page);
        return false;
    }
    // Checked before either list is touched, so that an orphaned chunk stays consistently
    // linked and found.
    if (chunk->on_free_list && (chunk->free_link.Flink == nullptr || chunk->free_link.Blink == nullptr)) {
        CHUNK_LOG(msg_chunk_free_link,
                  "Free Chunk: Invalid free_chunk_list entry in chunk %p: flink = %p, blink = %p! Orphaning this "
                  "memory.\n",
                  chunk, chunk->free_link.Flink, chunk->free_link.Blink);
        return false;
    }
    RemoveEntryList(&chunk->all_link);
    if (chunk->on_free_list) {
        RemoveEntryList(&chunk->free_link);
    }
    table_remove(chunk);
    ULONG size = chunk->size;
    RtlZeroMemory(chunk, size);
    kpav_free(chunk, KPAV_TAG_ZPG);
    allocator.chunk_count--;
    return true;
}

// The chunk to take a page from, or NULL. Under the allocator's lock.
mem_chunk* chunk_with_free_pages() {
    mem_chunk* chunk;
    if (IsListEmpty(&allocator.free_chunks)) {
        chunk = create_chunk();
        if (chunk == nullptr) {
            return nullptr;
        }
    } else {
        chunk = CONTAINING_RECORD(allocator.free_chunks.Flink, mem_chunk, free_link);
    }
    if (chunk->signature != chunk_signature) {
        CHUNK_LOG(msg_get_signature, "Get: Chunk header %p has invalid signature! 0x%X should be 0x%X!\n", chunk,
                  chunk->signature, chunk_signature);
        return nullptr;
    }
    if (!chunk->on_free_list) {
        CHUNK_LOG(msg_get_not_on_free_list, "Get: Chunk header %p indicates it is not on the free list!\n", chunk);
        return nullptr;
    }
    if (chunk->free_count == 0) {
        CHUNK_LOG(msg_get_no_free_pages, "Get: Chunk %p has no free pages! This should never happen!\n", chunk);
        return nullptr;
    }
    return chunk;
}

void take_off_free_list(mem_chunk* chunk) {
    RemoveEntryList(&chunk->free_link);
    chunk->free_link.Flink = nullptr;
    chunk->free_link.Blink = nullptr;
    chunk->on_free_list = 0;
}

void put_on_free_list(mem_chunk* chunk) {
    InsertTailList(&allocator.free_chunks, &chunk->free_link);
    chunk->on_free_list = 1;
}

// ---------------------------------------------------------------------------------------------
// Start and stop, as steps: the search table, then the first chunk (a spare one is tried too;
// the allocator works without it). Each step reports its own failure.

int allocate_search_table(void*) {
    LONG megabytes = pav_chunk_size_mb;
    if (megabytes < (LONG)chunk_mb_low) {
        megabytes = chunk_mb_low;
    } else if (megabytes > (LONG)chunk_mb_high) {
        megabytes = chunk_mb_high;
    }
    allocator.chunk_size = (ULONG)megabytes * 1048576u;
    ULONG capacity = table_span_mb / (ULONG)megabytes;
    ULONGLONG table_bytes = (ULONGLONG)capacity * sizeof(mem_chunk*);
    allocator.table_entries = 0;
    allocator.table = (mem_chunk**)kpav_zalloc((size_t)table_bytes, KPAV_TAG_ZPG);
    if (allocator.table == nullptr) {
        CHUNK_LOG(msg_search_table, "Failed to allocate %llu bytes for the search table\n", table_bytes);
        return -KPAV_ENOMEM;
    }
    allocator.table_capacity = capacity;
    return 0;
}

void free_search_table(void*) {
    if (allocator.table != nullptr) {
        kpav_free(allocator.table, KPAV_TAG_ZPG);
    }
    allocator.table = nullptr;
    allocator.table_capacity = 0;
    allocator.table_entries = 0;
}

int create_first_chunks(void*) {
    if (create_chunk() == nullptr) {
        CHUNK_LOG(msg_initial_chunk, "Failed to allocate initial memory chunk %d\n", 0);
        return -KPAV_ENOMEM;
    }
    (void)create_chunk();
    return 0;
}

// Every chunk goes, whatever created it; a chunk that cannot be freed stays behind, orphaned.
void free_chunks(void*) {
    PLIST_ENTRY entry = allocator.all_chunks.Flink;
    while (entry != &allocator.all_chunks) {
        PLIST_ENTRY next = entry->Flink;
        (void)free_chunk(CONTAINING_RECORD(entry, mem_chunk, all_link));
        entry = next;
    }
}

const kpav_step start_steps[] = {
    {"search table", allocate_search_table, free_search_table},
    {"first chunk", create_first_chunks, free_chunks},
};

kpav_step_run start_run;

}  // namespace

bool pav_mem_chunk_init() {
    PAGED_CODE();
    if (pav_chunk_enable == 0) {
        return true;
    }
    if (allocator.state != state_uninitialised) {
        CHUNK_LOG(msg_not_uninitialised, "Memory chunk management state not at the UNINITIALIZED state!\n");
        if (allocator.state != state_ready) {
            pav_mem_chunk_exit();
        }
        return false;
    }
    allocator.state = state_initialising;
    InitializeListHead(&allocator.all_chunks);
    InitializeListHead(&allocator.free_chunks);
    KeInitializeSpinLock(&allocator.lock);
    allocator.chunk_count = 0;
    if (kpav_steps_run(&start_run, start_steps, ARRAYSIZE(start_steps), nullptr, nullptr) != 0) {
        allocator.state = state_uninitialised;
        return false;
    }
    allocator.state = state_ready;
    return true;
}

// With no other user left.
void pav_mem_chunk_exit() {
    PAGED_CODE();
    if (allocator.state == state_uninitialised) {
        return;
    }
    kpav_steps_undo(&start_run, nullptr);
    allocator.state = state_uninitialised;
}

void* pav_mem_chunk_get_page() {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (allocator.state != state_ready) {
        return nullptr;
    }
    KIRQL irql = lock_allocator();
    void* page = nullptr;
    mem_chunk* chunk = chunk_with_free_pages();
    if (chunk != nullptr) {
        ULONG index = RtlFindSetBitsAndClear(&chunk->bitmap, 1, chunk->hint);
        if (index == bit_not_found) {
            CHUNK_LOG(msg_find_and_clear,
                      "Cannot find and clear a bit for chunk header %p. This should never happen!\n", chunk);
        } else {
            chunk->hint = index;
            page = (PUCHAR)chunk + (ULONG_PTR)index * chunk_page_size;
            if (--chunk->free_count == 0) {
                take_off_free_list(chunk);
            }
        }
    }
    unlock_allocator(irql);
    return page;
}

bool pav_mem_chunk_free_page(void* page) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (allocator.state != state_ready) {
        return false;
    }
    if (page == nullptr) {
        CHUNK_LOG(msg_free_null, "Free page address is NULL!\n");
        return false;
    }
    KIRQL irql = lock_allocator();
    mem_chunk* chunk = xlat(page);
    if (chunk == nullptr) {
        unlock_allocator(irql);
        return false;
    }
    if (chunk->signature != chunk_signature) {
        CHUNK_LOG(msg_free_signature,
                  "Free: Chunk header signature is not correct! Signature 0x%X should be 0x%X. Orphaning page.\n",
                  chunk->signature, chunk_signature);
        unlock_allocator(irql);
        return true;
    }
    // A page outside the handed-out range, or one that is free already, is orphaned with the
    // bitmap and counts untouched: marking it free would hand out the header, write past the
    // bitmap, or let the chunk look empty (and be freed) while a page of it is still in use.
    auto index = (ULONG)(((ULONG_PTR)page - (ULONG_PTR)chunk) / chunk_page_size);
    if (index < first_usable_page || index >= chunk->page_count) {
        CHUNK_LOG(msg_free_bad_page,
                  "Free page: The calculated page idx %lu for page %p and chunk %p is not in the correct range of "
                  "[%u,%u).\n",
                  index, page, chunk, first_usable_page, chunk->page_count);
        unlock_allocator(irql);
        return true;
    }
    if (RtlTestBit(&chunk->bitmap, index)) {
        // A second free of a page has no message of its own among the allocator's numbers.
        CHUNK_LOG(KPAV_NO_MESSAGE_ID, "Free page: Page %p (idx %lu) of chunk %p is already free. Orphaning page.\n",
                  page, index, chunk);
        unlock_allocator(irql);
        return true;
    }
    RtlSetBit(&chunk->bitmap, index);
    chunk->free_count++;
    bool empty = chunk->free_count == chunk->page_count - first_usable_page;
    if (empty && allocator.chunk_count > 2 && free_chunk(chunk)) {
        unlock_allocator(irql);
        return true;
    }
    if (!chunk->on_free_list) {
        put_on_free_list(chunk);
        if (chunk->free_count != 1) {
            CHUNK_LOG(msg_free_list_state,
                      "Free page: Chunk %p has is not on the free list but has a free page count of %u\n", chunk,
                      chunk->free_count);
        }
    }
    unlock_allocator(irql);
    return true;
}
