// The card record: its name and PCI location, its firmware version, its register-dump buffer,
// its completion queues and its place in the driver-wide card list.
#pragma once

#include "driver/card/card_ops.h"
#include "driver/platform/os.h"
#include "driver/platform/steps.h"
#include "driver/platform/sync.h"
#include "driver/platform/thread.h"

struct completion_queue;
struct pipeline_device;

// Where a register dump is being printed: the card, its buffer, the write position and size,
// and the compressed copy made for the dump's print (NULL between prints).
struct csr_dump_printer {
    pipeline_device* card;
    char* buffer;
    ULONG position;
    ULONG size;
    UCHAR* compressed;
    ULONG compressed_length;  // bytes of the copy, its length header included
};

constexpr ULONG PAV_MAX_COMPLETION_QUEUES = 16;

// The last environment alert (driver/controller/environment.h): what the last environment
// interrupt found, kept until the next one for the control interface.
struct env_alert_record {
    ULONG last_kind;  // the alert kind recorded last
    ULONG kinds;      // the kinds recorded by this interrupt, ORed
    ULONG64 time;     // Unix seconds
    ULONG code;       // the raw code of the measurement
    USHORT low;       // the kind's default alarm limits
    USHORT high;
};

// The PCIe status registers mirrored in the register window: the start snapshot and three
// rotating ones, taken every two minutes (pci_counters.h).
constexpr ULONG PAV_PCIE_STATUS_REGISTERS = 11;
struct pcie_status_snapshots {
    ULONG64 start_us;
    ULONG start[PAV_PCIE_STATUS_REGISTERS];
    struct {
        ULONG64 time_us;  // 0: never taken
        ULONG values[PAV_PCIE_STATUS_REGISTERS];
    } rotating[3];
    ULONG newest;
};

// Bits of a card's dump state: a dump claimed (its text being written or waiting to be
// printed), its text complete and waiting for a service point to print it, and a compressed
// copy kept because another card's dump was being printed.
constexpr LONG PAV_DUMP_IN_PROGRESS_BIT = 0;
constexpr LONG PAV_DUMP_TAKEN_BIT = 1;
constexpr LONG PAV_DUMP_COPY_READY_BIT = 2;
constexpr LONG PAV_NO_NUMA_NODE = KPAV_NO_NUMA_NODE;

struct pipeline_device {
    const card_ops* ops = &card_ops_defaults;  // the device shell's, from the card's probe
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
    pcie_status_snapshots pcie_status;
    // The microcode image the NAND command engine runs, as its loader left it (register dumps
    // print it and read its trace).
    struct {
        BOOLEAN running;
        ULONG version;  // bits 16-23, 8-15, 0-7: major, minor, micro
        ULONG build;
        ULONG flags;
    } microcode;

    ULONG completion_queue_count;  // queues the card has
    ULONG completion_queues_in_use;
    completion_queue* completion_queues[PAV_MAX_COMPLETION_QUEUES];
    completion_queue* special_queues[2];  // the two designated queues
    completion_queue** cpu_queues;        // per processor index: the queue of that processor

    // ---- Card life cycle (controller bring-up) ----
    char display_name[256];      // "Velkor <pci name>", then "<product> <pci name>" or "<product> Slot <n>"
    struct pci_dev* pdev;
    struct card_probe* probe;
    struct FDO_CONTEXT* fdo;     // the device shell's context, set by start_device
    ULONG slot;
    ULONG list_flags;            // PAV_CARD_LISTED
    BOOLEAN bus_present;
    ULONG card_index;
    volatile ULONG* bar;         // register windows
    volatile ULONG* csr;         // BAR + 0x8000
    volatile ULONG* window2;     // BAR + 0x2000
    volatile ULONG* cq_windows;  // BAR + 0x4000, 512 bytes per completion queue
    ULONG minimal_mode_reasons;  // bit 0: minimal mode
    ULONG start_flags;           // PAV_CARD_PIPELINE_RUNNING (changed atomically)
    struct nand_dev* nand;       // the data channel's record; NULL until the channel exists
    char channel_name[33];       // "dov%d:0"

    // Controller state the start-up checks keep.
    ULONG channel_state;         // 1 initialising, 3 running, 4 failed
    ULONG fail_reason;
    ULONG generation;            // 1 to 6 from the controller kind
    ULONG fw_version;            // CSR 0x1208
    ULONG reserve[4];            // 300, capacity_warning_threshold, 100, 200
    ULONG csr_copies[4];         // CSR 0x120C, 0x122C, 0x1234, 0x1230
    ULONG count_512;
    ULONG64* per_cpu;            // one value per processor
    volatile ULONG* saved_state; // the adapter's saved-state word
    ULONG* saved_state_tail;     // the record's trailing word
    ULONG64 last_start_us;
    BOOLEAN power_master;
    BOOLEAN smp_link_open;
    BOOLEAN sensor_cache_ready;
    struct pmp_client* pmp;      // the management processor's link; NULL without one
    struct adc_cache* sensors;   // the sensor cache; NULL until it is set up
    struct card_mid* mid;        // manufacturing data and factory record
    BOOLEAN minimal;             // copy of reason bit 0

    // Adapter identity and power budget.
    ULONG board_kind;
    ULONG port_number;           // the card's port on a board of several (kinds 2, 4, 5 and 14)
    ULONG64 card_key;
    ULONG64 board_key;
    BOOLEAN adapter_mid_found;
    char adapter_serial[129];
    char product_name[129];
    BOOLEAN power_override;
    BOOLEAN external_power_required;
    BOOLEAN throttling_applicable;
    LONG power_limit_mw;
    BOOLEAN throttling_on;
    BOOLEAN thermal_monitoring;
    ULONG product_min_power_mw;
    ULONG product_max_throttle_mw;

    // The environment's last alert, under its own lock.
    kpav_spinlock env_alert_lock;
    env_alert_record env_alert;
    ULONG preallocate_listed;
    ULONG preallocate_mb_value;
    ULONG expected_io_size_value;

    // ---- Control interface (kept in the card record: a card in minimal mode has no channel)
    volatile LONG lock_mode_count;  // lock-mode holders, changed atomically; held while non-zero
    volatile LONG lock_mode_owner;  // the holder's id; -1 when nobody holds it
    FAST_MUTEX raw_access_mutex;    // guards the raw-access holds and the data device's claim
    ULONG raw_access_holds;         // raw-access holds; the data device cannot claim the card while any
    BOOLEAN data_device_claimed;    // the data device has the card claimed (the store's attach)

    kpav_step_run start_steps;   // how far card start got (undone by stop)
    BOOLEAN stop_immediate;      // the stop in progress is an immediate one
    struct pav_saved_state* saved_record;
};

constexpr ULONG PAV_CARD_LISTED = 0x1;
constexpr ULONG PAV_CARD_PIPELINE_RUNNING = 0x1;

// The card's name for messages: "dov??" before it has one.
inline const char* pav_card_name(const pipeline_device* card) {
    return card != nullptr && card->name[0] != 0 ? card->name : "dov??";
}

// A driver thread that runs on the card's NUMA node when it has one (no card: no preference).
// As kpav_create_thread_on_node. PASSIVE_LEVEL.
inline int kpav_create_thread(kpav_thread_fn function, void* argument, pipeline_device* card) {
    return kpav_create_thread_on_node(function, argument, card != nullptr ? card->numa_node : PAV_NO_NUMA_NODE);
}
