#include "driver/controller/read_levels.h"

#include "driver/controller/sensor_cache.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_media.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

// floor(10^6 x exp((1.1 eV / k) x (1 / 313.15 K - 1 / (T + 273.15 K)))), T = 0..100 C.
const ULONG readlevel_temperature_factor[101] = {
    2560,      3036,      3596,      4253,      5025,      5930,      6989,      8228,      9675,
    11364,     13332,     15624,     18289,     21385,     24978,     29143,     33966,     39546,
    45995,     53440,     62027,     71920,     83308,     96403,     111447,    128713,    148511,
    171191,    197148,    226830,    260738,    299442,    343578,    393866,    451112,    516225,
    590220,    674240,    769561,    877614,    1000000,   1138505,   1295128,   1472097,   1671896,
    1897294,   2151374,   2437565,   2759679,   3121953,   3529089,   3986304,   4499381,   5074727,
    5719435,   6441351,   7249151,   8152419,   9161737,   10288780,  11546424,  12948855,  14511695,
    16252136,  18189090,  20343341,  22737719,  25397291,  28349555,  31624665,  35255663,  39278738,
    43733499,  48663278,  54115447,  60141768,  66798771,  74148152,  82257215,  91199337,  101054474,
    111909703, 123859807, 137007901, 151466109, 167356283, 184810780, 203973297, 224999761, 248059284,
    273335192, 301026113, 331347158, 364531169, 400830061, 440516257, 483884215, 531252063, 582963339,
    639388854, 700928669,
};

namespace {

constexpr ULONG one_day = 86400;
constexpr ULONG setup_erase_count = 100;
constexpr LONG retry_entry_level = 60;

readlevel_context* context_of(const nand_dev* channel) {
    return channel != nullptr ? channel->readlevel : nullptr;
}

CHAR clamp(const readlevel_context* c, LONG v) {
    if (v > c->level_max) {
        return c->level_max;
    }
    if (v < c->level_min) {
        return c->level_min;
    }
    return (CHAR)v;
}

size_t index_of(const readlevel_context* c, USHORT eb, ULONG die, ULONG pad) {
    return ((size_t)c->dies * eb + die) * c->pads + pad;
}

ULONG all_pads(const readlevel_context* c) {
    return c->pads >= 32 ? 0xFFFFFFFFu : (1u << c->pads) - 1;
}

// The pads of `die` in `eb`: those present and usable in the block's bank.
ULONG pad_mask_of(const nand_dev* channel, const readlevel_context* c, USHORT eb, ULONG die) {
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->banks[die].raw_mask & all_pads(c) : all_pads(c);
}

// The table's cell for the block as it is now.
CHAR eb_cell(nand_dev* channel, const readlevel_context* c, const eb_info* info, USHORT eb) {
    return eq_table_cell(c->tuning, (ULONG)info->erase_count, readlevel_eb_age(channel, eb));
}

// Under the lock: the block's levels from the cell and the learned offsets.
void compute_locked(readlevel_context* c, USHORT eb, CHAR cell) {
    for (ULONG die = 0; die < c->dies; die++) {
        for (ULONG pad = 0; pad < c->pads; pad++) {
            size_t i = index_of(c, eb, die, pad);
            c->levels[i] = clamp(c, (LONG)cell + c->offsets[i]);
        }
    }
}

void set_word(velkor_request* request, ULONG die, ULONG word) {
    request->retry_word = word;
    request->readlevel_override[die] = word;
    request->flags |= REQ_READ_LEVELS;
}

ULONG base_word_of(const readlevel_context* c) {
    ULONG w = 0;
    for (ULONG k = 0; k < 4; k++) {
        w |= (ULONG)(UCHAR)c->base_word[k] << (8 * k);
    }
    return w;
}

// Ends the retry state of `die`: flags, mask bit, word and levels as before the first retry.
void retry_clear(const readlevel_context* c, velkor_request* request, ULONG die) {
    request->flags &= ~(REQ_LEVEL_RETRY | REQ_FIXED_RETRY_WORD);
    request->retry_die_mask &= ~(1u << die);
    request->retry_word = base_word_of(c);
    RtlZeroMemory(request->retry_levels[die], sizeof request->retry_levels[die]);
    request->readlevel_override[die] = 0xFFFFFFFFu;
}

// The levels of retry `index` into the request's levels of `die`: false when there are none.
bool retry_levels(nand_dev* channel, readlevel_context* c, velkor_request* request, ULONG index, USHORT eb,
                  ULONG die) {
    CHAR* out = request->retry_levels[die];
    if (index == 0) {
        const eb_info* info = ebinfo_get(channel, eb);
        CHAR b = info != nullptr ? eb_cell(channel, c, info, eb)
                                 : eq_table_cell(c->tuning, setup_erase_count, one_day);
        kpav_spin_lock(&c->lock);
        for (ULONG pad = 0; pad < c->pads; pad++) {
            c->retry_base[index_of(c, eb, die, pad)] = clamp(c, b);
            out[pad] = clamp(c, b);
        }
        kpav_spin_unlock(&c->lock);
        return true;
    }
    if (index == 1) {
        kpav_spin_lock(&c->lock);
        for (ULONG pad = 0; pad < c->pads; pad++) {
            out[pad] = clamp(c, (LONG)c->retry_base[index_of(c, eb, die, pad)] + c->retry_offset);
        }
        kpav_spin_unlock(&c->lock);
        return true;
    }
    LONG low = c->retry_low;
    LONG high = c->retry_high;
    LONG step = c->retry_step;
    if (step <= 0 || high < low || (LONG)(index - 2) > (high - low) / step) {
        return false;
    }
    LONG center = (low + high) / 2;
    bool odd = (index & 1) != 0;
    LONG k = ((LONG)index - 2 + (odd ? 1 : 0)) / 2;
    LONG level = odd ? center + k * step : center - k * step;
    for (ULONG pad = 0; pad < c->pads; pad++) {
        out[pad] = (CHAR)level;
    }
    return true;
}

void drop(nand_dev* channel) {
    readlevel_context* c = channel->readlevel;
    channel->readlevel = nullptr;
    if (c != nullptr) {
        drive_tuning_free(c->tuning);
        kpav_free_if(c->offsets, KPAV_TAG_VML);
        kpav_free(c, KPAV_TAG_MAL);
    }
}

int setup_failed(nand_dev* channel, drive_tuning* tuning, int err) {
    drive_tuning_free(tuning);
    drop(channel);
    channel->iface.eq_capable = 0;
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 24578, "Setup for dynamic equalization failed (%d).\n", err);
    return err;
}

}  // namespace

// ---- Ages and the table

ULONG readlevel_weighted_age(ULONG elapsed, LONG celsius) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (celsius > 100) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 24576, "Unlikely temperature from card: %d C\n", celsius);
        celsius = 100;
    }
    // Below freezing ages as slowly as at 0 C: the factor table starts there.
    if (celsius < 0) {
        celsius = 0;
    }
    ULONG64 age = (ULONG64)readlevel_temperature_factor[celsius] * elapsed / 1000000u;
    // Very old blocks of hot cards keep the oldest age instead of wrapping to a young one.
    return age > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)age;
}

LONG readlevel_temperature(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const pipeline_device* card = channel->card;
    if (card == nullptr || card->sensors == nullptr) {
        return 40;  // no sensors: the table's reference temperature
    }
    ULONG average = adc_cache_average(card);
    if (average != 0) {
        return (LONG)(average / 10);
    }
    return adc_core_temperature(card) / 10;
}

ULONG readlevel_eb_age(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG now = ebinfo_unix_seconds();
    if (now == 0) {
        readlevel_context* c = context_of(channel);
        if (c == nullptr || InterlockedExchange(&c->time_warned, 1) == 0) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 24577,
                        "Time functions not working on this platform - trying to cope.\n");
        }
        return one_day;
    }
    const eb_info* info = ebinfo_get(channel, eb);
    ULONG written = info != nullptr ? info->erase_time : now;
    ULONG elapsed = (LONG)(now - written) < 0 ? 0 : now - written;
    return readlevel_weighted_age(elapsed, readlevel_temperature(channel));
}

CHAR eq_table_cell(const drive_tuning* tuning, ULONG erase_count, ULONG age_seconds) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const eq_parameters& eq = tuning->eq;
    ULONG row = 0;
    if (erase_count > eq.start) {
        ULONG64 r = ((ULONG64)erase_count - eq.start + eq.step - 1) / eq.step;
        row = r > tuning->rows - 1 ? tuning->rows - 1 : (ULONG)r;
    }
    ULONG column = EQ_COLUMNS - 1;
    for (ULONG k = 0; k < EQ_COLUMNS - 1; k++) {
        if (eq_column_age_seconds[k] >= age_seconds) {
            column = k;
            break;
        }
    }
    return eq_cell(tuning, row, column);
}

// ---- Set-up and tear-down

int readlevel_setup(nand_dev* channel) {
    PAGED_CODE();
    nand_interface& n = channel->iface;
    const char* name = channel_name(channel);
    drop(channel);
    if (n.mgmt == nullptr) {
        n.eq_capable = 0;
        return 0;
    }
    drive_tuning* tuning = nullptr;
    ULONG policy_value = n.policy != nullptr ? n.policy->values_a[1] : 0;
    int err = drive_tuning_decode(name, n.eq_capable != 0, policy_value, &n.mgmt_values, &tuning);
    if (err != 0) {
        return setup_failed(channel, tuning, err);
    }
    if (!n.eq_capable) {
        drive_tuning_free(tuning);
        return 0;
    }
    const nand_geometry& g = channel->geometry;
    auto* c = (readlevel_context*)kpav_zalloc(sizeof(readlevel_context), KPAV_TAG_MAL);
    ULONG dies = g.banks < READLEVEL_DIES_MAX ? g.banks : READLEVEL_DIES_MAX;
    ULONG pads = g.total_pads < READLEVEL_PADS_MAX ? g.total_pads : READLEVEL_PADS_MAX;
    size_t each = (size_t)pads * dies * g.eb_count;
    CHAR* tables = c != nullptr && each != 0 ? (CHAR*)kpav_zalloc(3 * each, KPAV_TAG_VML) : nullptr;
    if (tables == nullptr) {
        if (c != nullptr) {
            kpav_free(c, KPAV_TAG_MAL);
        }
        kpav_print(KPAV_CLASS_NORMAL, "%s: Dynamic equalization disabled (no memory).\n", name);
        return setup_failed(channel, tuning, -KPAV_ENOMEM);
    }
    kpav_spinlock_init(&c->lock, "readlevel");
    c->ebs = g.eb_count;
    c->dies = dies;
    c->pads = pads;
    c->offsets = tables;
    c->levels = tables + each;
    c->retry_base = tables + 2 * each;
    c->tuning = tuning;
    const nand_mgmt_info& m = n.mgmt_values;
    c->level_count = m.level_count < 4 ? m.level_count : 4;
    c->level_min = m.level_min;
    c->level_max = m.level_max;
    c->retry_low = m.retry_low;
    c->retry_high = m.retry_high;
    c->retry_step = n.mgmt->retry_step;
    c->retry_offset = n.mgmt->retry_offset;
    RtlCopyMemory(c->base_word, m.base_word, sizeof c->base_word);
    c->spread = m.spread;
    c->fixed_count = n.mgmt->fixed_retry_count < NAND_FIXED_RETRY_MAX ? n.mgmt->fixed_retry_count
                                                                      : (UCHAR)NAND_FIXED_RETRY_MAX;
    c->fixed_words = n.mgmt->fixed_retry;
    c->value_mask = n.rl_mask != 0 ? n.rl_mask : 0xFF;
    CHAR l0 = eq_table_cell(tuning, setup_erase_count, one_day);
    RtlFillMemory(c->levels, each, (UCHAR)l0);
    for (ULONG die = 0; die < READLEVEL_DIES_MAX; die++) {
        RtlCopyMemory(c->defaults[die].base_word, c->base_word, 4);
        c->defaults[die].level = l0;
        RtlCopyMemory(c->retry_entries[die].base_word, c->base_word, 4);
        c->retry_entries[die].level = (CHAR)retry_entry_level;
    }
    channel->readlevel = c;
    return 0;
}

void readlevel_free(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    drop(channel);
}

// ---- The store's notices

void readlevel_eb_update(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (c == nullptr || info == nullptr || eb >= c->ebs) {
        return;
    }
    CHAR state = info->condition;
    if (state == EB_COND_MEL_PARTIAL || state == EB_COND_ERASE_FIRST) {
        return;
    }
    CHAR cell = eb_cell(channel, c, info, eb);
    kpav_spin_lock(&c->lock);
    if (state == EB_COND_OPEN || state == EB_COND_BLANK || state == EB_COND_FULL) {
        CHAR offset = state == EB_COND_FULL ? 0 : c->retry_offset;
        for (ULONG die = 0; die < c->dies; die++) {
            RtlFillMemory(c->offsets + index_of(c, eb, die, 0), c->pads, (UCHAR)offset);
        }
    }
    compute_locked(c, eb, cell);
    kpav_spin_unlock(&c->lock);
}

void readlevel_refresh_all(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    const eb_table* table = ebinfo_table(channel);
    if (c == nullptr || table == nullptr) {
        return;
    }
    ULONG ebs = table->count < c->ebs ? table->count : c->ebs;
    LONG spread = c->spread;
    kpav_spin_lock(&c->lock);
    for (ULONG die = 0; die < c->dies; die++) {
        RtlZeroMemory(c->histogram, sizeof c->histogram);
        for (ULONG eb = 0; eb < ebs; eb++) {
            const eb_info& info = table->info[eb];
            if (info.mel_mark != 0) {
                continue;
            }
            ULONG mask = info.banks[die].raw_mask & all_pads(c);
            for (ULONG pad = 0; pad < c->pads; pad++) {
                if ((mask >> pad & 1) == 0) {
                    continue;
                }
                auto v = (UCHAR)c->levels[index_of(c, (USHORT)eb, die, pad)];
                c->histogram[v] += (ULONG)(spread + 1);
                for (LONG j = 1; j < spread; j++) {
                    c->histogram[(UCHAR)(v + j)] += (ULONG)(spread - j + 1);
                    c->histogram[(UCHAR)(v - j)] += (ULONG)(spread - j + 1);
                }
            }
        }
        ULONG best = 0;
        for (ULONG bin = 1; bin < 256; bin++) {
            if (c->histogram[bin] > c->histogram[best]) {
                best = bin;
            }
        }
        RtlCopyMemory(c->defaults[die].base_word, c->base_word, 4);
        c->defaults[die].level = (CHAR)(UCHAR)best;
    }
    kpav_spin_unlock(&c->lock);
}

// ---- Reads

ULONG readlevel_apply(const nand_dev* channel, LONG level) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    const readlevel_context* c = context_of(channel);
    if (c == nullptr) {
        return 0xFFFFFFFFu;
    }
    ULONG word = 0;
    for (ULONG k = 0; k < c->level_count; k++) {
        ULONG byte = (UCHAR)clamp(c, (LONG)c->base_word[k] + level) & c->value_mask;
        word |= byte << (8 * k);
    }
    return word;
}

ULONG readlevel_eb_word(nand_dev* channel, USHORT eb, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    if (c == nullptr || eb >= c->ebs || bank >= c->dies) {
        return 0xFFFFFFFFu;
    }
    ULONG mask = pad_mask_of(channel, c, eb, bank);
    kpav_spin_lock(&c->lock);
    LONG level = pad_mask_median(mask, c->levels + index_of(c, eb, bank, 0));
    kpav_spin_unlock(&c->lock);
    return readlevel_apply(channel, level);
}

// ---- Retries

bool readlevel_retry_next(nand_dev* channel, velkor_request* request, ULONG* retry_index, USHORT eb, ULONG die) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    if (c == nullptr || eb >= c->ebs || die >= c->dies) {
        return false;
    }
    ULONG i = *retry_index;
    if (i == 0) {
        request->flags |= REQ_LEVEL_RETRY | (c->fixed_count != 0 ? REQ_FIXED_RETRY_WORD : 0);
        request->retry_die_mask |= 1u << die;
        request->retry_word = base_word_of(c);
        RtlZeroMemory(request->retry_levels[die], sizeof request->retry_levels[die]);
    }
    if (c->fixed_count != 0) {
        if (i < c->fixed_count) {
            set_word(request, die, c->fixed_words[i]);
            *retry_index = i + 1;
            return true;
        }
    } else if (retry_levels(channel, c, request, i, eb, die)) {
        ULONG mask = pad_mask_of(channel, c, eb, die);
        set_word(request, die, readlevel_apply(channel, pad_mask_median(mask, request->retry_levels[die])));
        *retry_index = i + 1;
        return true;
    }
    retry_clear(c, request, die);
    return false;
}

void readlevel_retry_success(nand_dev* channel, velkor_request* request, USHORT eb, ULONG die) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    if (c == nullptr || eb >= c->ebs || die >= c->dies) {
        return;
    }
    if (c->fixed_count == 0) {
        kpav_spin_lock(&c->lock);
        for (ULONG pad = 0; pad < c->pads; pad++) {
            size_t i = index_of(c, eb, die, pad);
            CHAR level = request->retry_levels[die][pad];
            c->offsets[i] = (CHAR)(level - c->retry_base[i]);
            c->levels[i] = level;
        }
        kpav_spin_unlock(&c->lock);
    } else {
        const eb_info* info = ebinfo_get(channel, eb);
        if (info != nullptr && info->condition != EB_COND_MEL_PARTIAL && info->condition != EB_COND_OPEN) {
            channel_client_ops(channel)->eb_event_b(channel, eb);
        }
    }
    retry_clear(c, request, die);
}

// ---- The health pass

void readlevel_table_fill(nand_dev* channel, USHORT eb, CHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (c == nullptr || info == nullptr || eb >= c->ebs) {
        return;
    }
    CHAR cell = clamp(c, eb_cell(channel, c, info, eb));
    kpav_spin_lock(&c->lock);
    RtlFillMemory(out, (size_t)c->dies * c->pads, (UCHAR)cell);
    kpav_spin_unlock(&c->lock);
}

void readlevel_levels_fill(nand_dev* channel, USHORT eb, CHAR* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (c == nullptr || info == nullptr || eb >= c->ebs) {
        return;
    }
    CHAR cell = eb_cell(channel, c, info, eb);
    kpav_spin_lock(&c->lock);
    for (ULONG die = 0; die < c->dies; die++) {
        for (ULONG pad = 0; pad < c->pads; pad++) {
            out[die * c->pads + pad] = clamp(c, (LONG)cell + c->offsets[index_of(c, eb, die, pad)]);
        }
    }
    kpav_spin_unlock(&c->lock);
}

void readlevel_learn_dies(nand_dev* channel, USHORT eb, const CHAR* levels, const CHAR* base) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    readlevel_context* c = context_of(channel);
    if (c == nullptr || eb >= c->ebs) {
        return;
    }
    kpav_spin_lock(&c->lock);
    for (ULONG die = 0; die < c->dies; die++) {
        for (ULONG pad = 0; pad < c->pads; pad++) {
            size_t i = index_of(c, eb, die, pad);
            c->offsets[i] = (CHAR)(levels[die * c->pads + pad] - base[die * c->pads + pad]);
            c->levels[i] = levels[die * c->pads + pad];
        }
    }
    kpav_spin_unlock(&c->lock);
}
