#include "driver/pipeline/nand_kinfo.h"

#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/format.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/pci_dev.h"

namespace {

int show_bus_id(void* priv, ULONG, kinfo_seq* seq) {
    auto* card = (pipeline_device*)priv;
    kinfo_seq_printf(seq, "%s\n", card->pdev != nullptr ? card->pdev->name : "");
    return 0;
}

int show_client(void* priv, ULONG, kinfo_seq* seq) {
    auto* channel = (nand_dev*)priv;
    const char* name = (const char*)ReadPointerAcquire((PVOID const volatile*)&channel->client_name);
    kinfo_seq_printf(seq, "%s\n", name != nullptr ? name : "");
    return 0;
}

ULONG64 counter(nand_dev* channel, ULONG type, ULONG stat) {
    return (ULONG64)ReadNoFence64(&channel->stats[type][stat]);
}

int show_stats(void* priv, ULONG, kinfo_seq* seq) {
    auto* channel = (nand_dev*)priv;
    for (ULONG t = 0; t < REQUEST_TYPE_COUNT; t++) {
        ULONG64 completed = counter(channel, t, STAT_COMPLETED);
        kinfo_seq_printf(seq, "%d %20.llu %5.llu %20.llu %20.llu %20.llu %20.llu %20.llu %20.llu\n", (int)t,
                         (unsigned long long)completed,
                         (unsigned long long)(counter(channel, t, STAT_SUBMITTED) - completed),
                         (unsigned long long)counter(channel, t, STAT_LATENCY_US), 0ull, 0ull,
                         (unsigned long long)counter(channel, t, STAT_BYTES),
                         (unsigned long long)counter(channel, t, STAT_OTHER_BYTES),
                         (unsigned long long)counter(channel, t, STAT_GROOMER_BYTES));
    }
    return 0;
}

// The growth since the previous reading; a reading that only measures leaves the baseline. The
// figures are taken under the statistics lock and printed after it.
int show_interval_stats(void* priv, ULONG, kinfo_seq* seq) {
    auto* channel = (nand_dev*)priv;
    const ULONG columns[] = {STAT_COMPLETED, STAT_LATENCY_US, STAT_BYTES, STAT_GROOMER_BYTES, STAT_OTHER_BYTES};
    ULONG64 growth[REQUEST_TYPE_COUNT][ARRAYSIZE(columns)];
    kpav_spin_lock(&channel->stats_lock);
    for (ULONG t = 0; t < REQUEST_TYPE_COUNT; t++) {
        for (ULONG c = 0; c < ARRAYSIZE(columns); c++) {
            LONG64 now = ReadNoFence64(&channel->stats[t][columns[c]]);
            growth[t][c] = (ULONG64)(now - channel->interval_base[t][columns[c]]);
            if (!kinfo_seq_measure_only(seq)) {
                channel->interval_base[t][columns[c]] = now;
            }
        }
    }
    kpav_spin_unlock(&channel->stats_lock);
    for (ULONG t = 0; t < REQUEST_TYPE_COUNT; t++) {
        const ULONG64* g = growth[t];
        kinfo_seq_printf(seq, "%d %20.llu %20.llu %20.llu %20.llu %20.llu %20.llu %20.llu\n", (int)t,
                         (unsigned long long)g[0], (unsigned long long)g[1], 0ull, 0ull, (unsigned long long)g[2],
                         (unsigned long long)g[3], (unsigned long long)g[4]);
    }
    return 0;
}

int create_geometry(kinfo_node* parent, nand_dev* channel) {
    kinfo_node* geom = nullptr;
    int rc = kinfo_create_dir(parent, "geom", &geom);
    if (rc != 0) {
        return rc;
    }
    nand_geometry& g = channel->geometry;
    struct value {
        const char* name;
        ULONG* variable;
    };
    const value values[] = {
        {"num-erase-blocks", &g.eb_count}, {"block-num-pages", &g.rows_per_eb},
        {"page-size", &g.page_size},       {"planes", &g.planes},
        {"data-pads", &g.data_pads},       {"total-pads", &g.total_pads},
        {"banks", &g.banks},               {"ecc_chunk_size", &g.ecc_chunk_size},
        {"ecc_chunk_size_raw", &g.ecc_chunk_size_raw}, {"ecc_hw_correction", &g.ecc_hw_correction},
    };
    for (const value& v : values) {
        rc = kinfo_create_value(geom, KINFO_UINT32, v.name, KINFO_MODE_RO, v.variable, sizeof(ULONG), nullptr);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int create_tree(pipeline_device* card, nand_dev* channel, kinfo_node** top) {
    int rc = kinfo_create_dir(pav_driver_kinfo_root(), card->name, top);
    kinfo_node* nand = nullptr;
    kinfo_node* channels = nullptr;
    kinfo_node* zero = nullptr;
    if (rc == 0) {
        rc = kinfo_create_dir(*top, "nand_dev", &nand);
    }
    if (rc == 0) {
        rc = kinfo_create_text(nand, "bus_id", nullptr, show_bus_id, card);
    }
    if (rc == 0) {
        rc = kinfo_create_dir(nand, "channels", &channels);
    }
    if (rc == 0) {
        rc = kinfo_create_dir(channels, "0", &zero);
    }
    if (rc == 0) {
        rc = kinfo_create_text(zero, "client", nullptr, show_client, channel);
    }
    if (rc == 0) {
        rc = kinfo_create_text(zero, "stats", nullptr, show_stats, channel);
    }
    if (rc == 0) {
        rc = kinfo_create_text(zero, "interval-stats", nullptr, show_interval_stats, channel);
    }
    if (rc == 0) {
        rc = create_geometry(zero, channel);
    }
    return rc;
}

}  // namespace

int nand_dev_kinfo_create(pipeline_device* card) {
    PAGED_CODE();
    nand_dev* channel = card->nand;
    if (channel == nullptr) {
        return 0;
    }
    if (pav_driver_kinfo_root() == nullptr) {
        return -KPAV_ENODEV;
    }
    kinfo_node* top = nullptr;
    int rc = create_tree(card, channel, &top);
    if (rc != 0) {
        kinfo_remove(&top);
        return rc;
    }
    channel->kinfo_dir = top;
    return 0;
}

void nand_dev_kinfo_remove(pipeline_device* card) {
    PAGED_CODE();
    if (card->nand != nullptr && card->nand->kinfo_dir != nullptr) {
        kinfo_remove(&card->nand->kinfo_dir);
    }
}
