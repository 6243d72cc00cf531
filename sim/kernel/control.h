// The kernel stand-in's control surface, for the machine and for tests. The system's own code
// never includes this header: it sees only the Windows-named routines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/kernel/types.h"

namespace sim::kernel {

// ---------------------------------------------------------------------------------------------
// The machine

struct machine_config {
    ULONG max_processors = 4;               // possible processors (per-processor tables are sized by it)
    ULONG active_processors = 4;            // processors that run now; the others can be hot-added
    std::vector<USHORT> node_of_processor;  // NUMA node per processor index; empty = all on node 0
    USHORT node_count = 1;                  // nodes 0 .. node_count-1 exist, some may have no processor
    ULONG os_major = 10, os_minor = 0, os_build = 19045;
    double clock_rate = 1.0;                // machine seconds per real second; 0 freezes the clock
    int64_t boot_system_time = 0;           // 100 ns since 1601 at boot; 0 = the host's current time
    std::vector<std::string> missing_routines;  // names MmGetSystemRoutineAddress does not find
};

// Resets the stand-in to a freshly booted machine. No stand-in system thread may be running.
void boot(const machine_config& config = {});
const machine_config& config();

// ---------------------------------------------------------------------------------------------
// Bug checks

struct bug_check : std::runtime_error {
    ULONG code;
    ULONG_PTR parameters[4];
    bug_check(ULONG c, const ULONG_PTR p[4], const std::string& report);
};

struct secondary_dump {
    std::string component;
    GUID guid;
    std::vector<uint8_t> data;
};

// Runs every registered secondary-dump callback as a bug check would (twice each, at
// HIGH_LEVEL) without stopping the machine, and returns what they wrote.
std::vector<secondary_dump> collect_secondary_dumps(ULONG maximum_allowed = 0x1000);

// The last bug check of this boot, if any (code 0 when none).
ULONG last_bug_check_code();

// ---------------------------------------------------------------------------------------------
// The machine clock. Machine time starts at 0 at boot and runs `rate` times real time; every
// tick count, system time, stall, sleep and time-out follows it.

void set_clock_rate(double rate);
double clock_rate();
void advance_clock(uint64_t units_100ns);   // moves machine time forward at once
uint64_t machine_time();                    // 100 ns units since boot
constexpr ULONG time_increment = 156250;    // 100 ns units per clock tick (15.625 ms)

// ---------------------------------------------------------------------------------------------
// Processors

ULONG current_processor();
void set_current_processor(ULONG index);    // for the calling (outside) thread
// Brings processor `active_processors` online and notifies the processor-change callbacks;
// returns its index.
ULONG hot_add_processor();

// ---------------------------------------------------------------------------------------------
// Threads

// Stand-in system threads still running (created by PsCreateSystemThread and not yet returned).
ULONG live_system_threads();
// Waits (real time) until no stand-in system thread runs; false on time-out.
bool wait_for_system_threads(unsigned real_milliseconds);
// Wakes an alertable wait of the thread (STATUS_ALERTED).
void alert_thread(PVOID thread_object);
// Makes user-buffer copies of the calling thread read the memory of process `pid` (0 = own).
void set_user_process(int pid);
// The process whose user addresses the calling thread reaches: this process, or the one set by
// set_user_process. The stand-in's own threads (system threads, workers, DPCs, interrupts) run
// in the system process, which has no user buffers: -1 for them.
int user_process();
// Copies between this process's memory and the user memory of `process` (as user_process()
// gives it); false when the range is not mapped there, or for process -1.
bool copy_user_memory(int process, void* local, const void* remote, SIZE_T length, bool to_user);

// ---------------------------------------------------------------------------------------------
// Failure injection. A site counts its attempts; `fail_nth(site, n)` fails the n-th attempt from
// now (1 = the next one), `fail_always` every attempt, both optionally only for one pool tag.

// mdl_mapping: a new system-space mapping of an MDL's locked pages (MmGetSystemAddressForMdlSafe
// answers NULL, as when the system is out of page-table entries).
enum class fault_site { pool, system_thread, work_item, contiguous_memory, bugcheck_callback, mdl_mapping, count };
void fail_nth(fault_site site, uint64_t n, const char* tag = nullptr);
void fail_always(fault_site site, const char* tag = nullptr);
// Fails the attempts for which `rule` answers true; it is given the attempt's number, counted
// from 1 at this call (only attempts of `tag` count when one is given).
void fail_when(fault_site site, std::function<bool(uint64_t attempt)> rule, const char* tag = nullptr);
void clear_faults();
uint64_t attempts(fault_site site);  // attempts since boot (failed ones included)

// ---------------------------------------------------------------------------------------------
// Pool accounting

struct pool_usage {
    uint64_t allocations = 0;  // outstanding allocations
    uint64_t bytes = 0;        // outstanding bytes
    bool operator==(const pool_usage&) const = default;
};
// Outstanding pool per tag text ("mal4"); contiguous memory is listed as "(contiguous)".
std::map<std::string, pool_usage> pool_outstanding();
pool_usage pool_outstanding(const char* tag);
std::string pool_leak_report();  // empty when nothing is outstanding
std::string tag_text(ULONG tag);
// True when [address, address + length) lies in memory the card may reach by DMA: non-paged
// pool, contiguous memory or registered (locked) ranges.
bool dma_accessible(uint64_t address, uint64_t length);
void dma_register_range(const void* address, size_t length);
void dma_unregister_range(const void* address);

// ---------------------------------------------------------------------------------------------
// Debug print and trace capture

struct debug_line {
    ULONG component;
    ULONG level;
    std::string text;
};
// Every line since boot (or the last clear) is kept for the tests to read, unless a limit says
// to keep only the newest ones (a machine that runs for long keeps few; 0 keeps none). Boot
// lifts the limit.
std::vector<debug_line> debug_lines();
std::vector<std::string> debug_texts();  // the texts alone, in order
void clear_debug_lines();
void set_debug_capture_limit(size_t newest_lines);
void set_debug_echo(FILE* stream);  // also write every line there (the machine's log); nullptr = off

struct trace_event {
    GUID provider;
    USHORT id;
    UCHAR level;
    UCHAR channel;
    UCHAR opcode;
    USHORT task;
    ULONGLONG keyword;
    std::vector<std::vector<uint8_t>> fields;
};
std::vector<trace_event> trace_events();
void clear_trace_events();
// Enables or disables a registered provider through its enable callback.
void trace_enable(const GUID& provider, UCHAR level, ULONGLONG match_any_keyword);
void trace_disable(const GUID& provider);
bool trace_registered(const GUID& provider);

}  // namespace sim::kernel
