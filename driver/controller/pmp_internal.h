// The card's PMP link record, shared by the link's, the requests', the key/value cache's and the
// indicators' code of this folder.
#pragma once

#include "driver/controller/pmp_client.h"
#include "driver/controller/smp_targets.h"
#include "driver/platform/os.h"

constexpr ULONG PMP_POOL_PACKETS = 8;

// Request slot states.
constexpr UCHAR PMP_IDLE = 0;
constexpr UCHAR PMP_DISCOVERY = 1;
constexpr UCHAR PMP_QUERY_WAITING = 2;
constexpr UCHAR PMP_COMMAND_WAITING = 3;
constexpr UCHAR PMP_ANSWERED = 4;

// The one request of a card in flight; the answer fields belong to the holder of the mutex.
struct pmp_request {
    UCHAR state;
    pmp_address expected_source;
    UCHAR expected_command;
    UCHAR sequence;
    UCHAR answer_length;
    UCHAR answer[PMP_DATA_MAX];
    ULONG addr_nak;
    FAST_MUTEX mutex;
};

struct pmp_client {
    pipeline_device* card;
    pmp_link link;
    pmp_node node;
    pmp_class_table classes;
    pmp_command_table commands;
    pmp_packet_pool pool;
    pmp_packet packets[PMP_POOL_PACKETS];
    pmp_request request;
    LIST_ENTRY kv_entries;
    ERESOURCE kv_lock;
    pmp_address_record targets[SMP_RECORDS];
    // The indicator settings last sent, and the activity counters at the last update.
    UCHAR indicators[3];
    BOOLEAN indicators_sent;
    ULONG activity[3];
};
