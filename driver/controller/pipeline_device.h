// The card record: its name and PCI location, its firmware version, its register-dump buffer,
// its completion queues and its place in the driver-wide card list.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/thread.h"

struct completion_queue;
struct pipeline_device;

// Where a register dump is being printed: the card, its buffer, the write position and size.
struct csr_dump_printer {
    pipeline_device* card;
    char* buffer;
    ULONG position;
    ULONG size;
};

constexpr ULONG PAV_MAX_COMPLETION_QUEUES = 16;

// Bits of a card's dump state.
constexpr LONG PAV_DUMP_IN_PROGRESS_BIT = 0;
constexpr LONG PAV_DUMP_TAKEN_BIT = 1;
constexpr LONG PAV_NO_NUMA_NODE = KPAV_NO_NUMA_NODE;

struct pipeline_device {
    LIST_ENTRY card_list_link;  // in the driver-wide card list while the card runs
    char name[16];              // "dov%d"; empty until the card has its number
    ULONG card_number;

    USHORT pci_domain;
    UCHAR pci_bus;
    UCHAR pci_device;
    UCHAR pci_function;
    LONG numa_node;  // PAV_NO_NUMA_NODE when not known

    BOOLEAN fw_version_read;
    ULONG fw_major;
    ULONG fw_minor;
    ULONG fw_micro;
    ULONG fw_build;

    csr_dump_printer dump;  // buffer NULL when the card has no register-dump buffer
    volatile LONG dump_state;  // PAV_DUMP_* bits

    ULONG completion_queue_count;  // queues the card has
    ULONG completion_queues_in_use;
    completion_queue* completion_queues[PAV_MAX_COMPLETION_QUEUES];
    completion_queue* special_queues[2];  // the two designated queues
    completion_queue** cpu_queues;        // per processor index: the queue of that processor
};

// The card's name for messages: "dov??" before it has one.
inline const char* pav_card_name(const pipeline_device* card) {
    return card != nullptr && card->name[0] != 0 ? card->name : "dov??";
}

// A driver thread that runs on the card's NUMA node when it has one (no card: no preference).
// As kpav_create_thread_on_node. PASSIVE_LEVEL.
inline int kpav_create_thread(kpav_thread_fn function, void* argument, pipeline_device* card) {
    return kpav_create_thread_on_node(function, argument, card != nullptr ? card->numa_node : PAV_NO_NUMA_NODE);
}
