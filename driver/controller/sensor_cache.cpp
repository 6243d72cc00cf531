#include "driver/controller/sensor_cache.h"

#include "driver/card/hw_reset.h"
#include "driver/controller/little_endian.h"
#include "driver/card/pipeline_device.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/smp_targets.h"
#include "driver/controller/startup.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG csr_temperature = 0x1314;
constexpr UCHAR cmd_target_record = 1;
constexpr UCHAR cmd_set_b = 8;
constexpr UCHAR cmd_set_a = 9;
constexpr UCHAR cmd_fans = 34;
constexpr UCHAR cmd_power = 53;
constexpr UCHAR cmd_descriptor = 54;
constexpr UCHAR cmd_command_set = 57;
constexpr ULONG sample_size = 5;
constexpr ULONG sample_bytes = 128;
constexpr ULONG power_answer_size = 32;
constexpr ULONG nominal_12v = 12000;

// Descriptor fields.
constexpr ULONG desc_divisor = 1;
constexpr ULONG desc_name = 3;
constexpr ULONG desc_name_size = 32;
constexpr ULONG desc_units = 35;
constexpr ULONG desc_units_size = 8;
constexpr ULONG desc_excluded = 43;
constexpr ULONG desc_nominal = 44;

using descriptor = UCHAR[ADC_DESCRIPTOR_SIZE];

struct sample_set {
    ULONG* values;            // ADC_SAMPLES values; NULL when the target has no such set
    descriptor* descriptors;  // sets A and B
    UCHAR count;
};

struct adc_target {
    UCHAR record[SMP_TARGET_RECORD_SIZE];
    UCHAR commands[32];
    sample_set sets[3];
};

const adc_set all_sets[] = {ADC_SET_A, ADC_SET_B, ADC_SET_FANS};

ULONG set_flag(adc_set set) {
    return set == ADC_SET_A ? SMP_FLAG_SET_A : set == ADC_SET_B ? SMP_FLAG_SET_B : SMP_FLAG_FANS;
}

UCHAR set_command(adc_set set) {
    return set == ADC_SET_A ? cmd_set_a : set == ADC_SET_B ? cmd_set_b : cmd_fans;
}

}  // namespace

struct adc_cache {
    kpav_spinlock lock;
    pmp_address power_monitor;
    ULONG target_count;
    adc_target targets[ADC_TARGETS];
    SHORT core_temperature;
    UCHAR power_answer[power_answer_size];
    adc_power_figures power;
};

namespace {

// The address of target k: the first k + 1 bytes of the card's own.
pmp_address target_address(const pipeline_device* card, ULONG k) {
    pmp_address a{};
    const pmp_address* own = pmp_own_address(card);
    a.length = (UCHAR)(k + 1);
    RtlCopyMemory(a.bytes, own->bytes, k + 1);
    return a;
}

const descriptor* descriptor_of(const adc_cache* cache, adc_set set, ULONG target, ULONG index) {
    const sample_set& s = cache->targets[target].sets[set];
    return s.descriptors != nullptr && index < ADC_SAMPLES ? &s.descriptors[index] : nullptr;
}

ULONG divisor_of(const descriptor* d) {
    ULONG divisor = d != nullptr ? le_get_u16(*d + desc_divisor) : 1;
    return divisor == 0 ? 1 : divisor;
}

bool excluded(const descriptor* d) {
    return d != nullptr && (*d)[desc_excluded] != 0;
}

void free_arrays(adc_cache* cache) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (adc_target& t : cache->targets) {
        for (sample_set& s : t.sets) {
            kpav_free_if(s.values, KPAV_TAG_MAL);
            s = sample_set{};
        }
    }
}

int allocate_arrays(adc_cache* cache) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (ULONG k = 0; k < cache->target_count; k++) {
        adc_target& t = cache->targets[k];
        ULONG flags = le_get_u32(t.record + SMP_TARGET_FLAGS);
        for (adc_set set : all_sets) {
            if ((flags & set_flag(set)) == 0) {
                continue;
            }
            bool described = set != ADC_SET_FANS;
            size_t size = ADC_SAMPLES * sizeof(ULONG) + (described ? ADC_SAMPLES * sizeof(descriptor) : 0);
            auto* block = (UCHAR*)kpav_zalloc(size, KPAV_TAG_MAL);
            if (block == nullptr) {
                return -1;
            }
            t.sets[set].values = (ULONG*)block;
            t.sets[set].descriptors = described ? (descriptor*)(block + ADC_SAMPLES * sizeof(ULONG)) : nullptr;
        }
    }
    return 0;
}

// Reads the descriptors of a set's present samples, names with blanks as '_', texts ended.
void read_descriptors(pipeline_device* card, adc_set set) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    for (ULONG k = 0; k < cache->target_count; k++) {
        sample_set& s = cache->targets[k].sets[set];
        pmp_address address = target_address(card, k);
        for (ULONG i = 0; s.descriptors != nullptr && i < s.count && i < ADC_SAMPLES; i++) {
            UCHAR* d = s.descriptors[i];
            ULONG argument = i << 16 | (set == ADC_SET_A ? 1u << 24 : 0);
            pmp_query(card, &address, cmd_descriptor, argument, d, (UCHAR)ADC_DESCRIPTOR_SIZE);
            d[desc_name + desc_name_size - 1] = 0;
            d[desc_units + desc_units_size - 1] = 0;
            for (ULONG c = desc_name; c < desc_name + desc_name_size && d[c] != 0; c++) {
                if (d[c] == ' ') {
                    d[c] = '_';
                }
            }
        }
    }
}

void refresh_set(pipeline_device* card, adc_set set) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    if (cache == nullptr) {
        return;
    }
    for (ULONG k = 0; k < cache->target_count; k++) {
        sample_set& s = cache->targets[k].sets[set];
        if (s.values == nullptr) {
            continue;
        }
        UCHAR answer[sample_bytes];
        pmp_address address = target_address(card, k);
        ULONG n = pmp_read_data(card, &address, set_command(set), 0, answer, sizeof answer);
        kpav_spin_lock(&cache->lock);
        if (n > 0 && n % sample_size == 0) {
            s.count = (UCHAR)(n / sample_size);
            for (ULONG i = 0; i < s.count && i < ADC_SAMPLES; i++) {
                s.values[i] = le_get_u32(answer + i * sample_size + 1);
            }
        } else {
            s.count = 0;
        }
        kpav_spin_unlock(&cache->lock);
    }
}

// Calls `visit` with every set A sample (value, its descriptor), each under the lock.
template <typename Visit>
void each_set_a_sample(const adc_cache* cache, Visit visit) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* lock = (kpav_spinlock*)&cache->lock;
    for (ULONG k = 0; k < cache->target_count; k++) {
        const sample_set& s = cache->targets[k].sets[ADC_SET_A];
        for (ULONG i = 0; s.values != nullptr; i++) {
            kpav_spin_lock(lock);
            bool present = i < s.count && i < ADC_SAMPLES;
            ULONG value = present ? s.values[i] : 0;
            bool skip = excluded(descriptor_of(cache, ADC_SET_A, k, i));
            kpav_spin_unlock(lock);
            if (!present) {
                break;
            }
            visit(value, skip);
        }
    }
}

void show_row(kinfo_seq* seq, const pipeline_device* card, adc_set set, ULONG k, ULONG i, ULONG value) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    const adc_cache* cache = card->sensors;
    const descriptor* d = set != ADC_SET_FANS ? descriptor_of(cache, set, k, i) : nullptr;
    ULONG divisor = divisor_of(d);
    const char* units = d != nullptr && (*d)[desc_units] != 0 ? (const char*)&(*d)[desc_units] : "unknown";
    kinfo_seq_printf(seq, "%-10s ", smp_kind_name(cache->targets[k].record[SMP_TARGET_KIND]));
    kinfo_seq_printf(seq, "0x%02x %-16s ", (unsigned)i, adc_sensor_name(card, set, k, i));
    kinfo_seq_printf(seq, "%-6s %4llu.", units, (unsigned long long)(value / divisor));
    int rest = (int)(value % divisor);
    switch (divisor) {
        case 1: kinfo_seq_printf(seq, "0  "); break;
        case 10: kinfo_seq_printf(seq, "%-3d", rest); break;
        case 100: kinfo_seq_printf(seq, "%02d", rest); break;
        case 1000: kinfo_seq_printf(seq, "%03d", rest); break;
        default: kinfo_seq_printf(seq, "***"); break;
    }
    kinfo_seq_printf(seq, "\n");
}

}  // namespace

int adc_cache_init(pipeline_device* card) {
    PAGED_CODE();
    auto* cache = (adc_cache*)kpav_zalloc(sizeof(adc_cache), KPAV_TAG_MAL);
    if (cache == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Inadequate memory - adc_cache.\n", pav_card_name(card));
        return -1;
    }
    kpav_spinlock_init(&cache->lock, "adc cache");
    const pmp_address* own = pmp_own_address(card);
    ULONG length = own != nullptr ? own->length : 0;
    cache->target_count = length >= 2 ? (length - 1 < ADC_TARGETS ? length - 1 : ADC_TARGETS) : 0;
    card->sensors = cache;
    for (ULONG k = 0; k < cache->target_count; k++) {
        adc_target& t = cache->targets[k];
        pmp_address address = target_address(card, k);
        if (pmp_query(card, &address, cmd_target_record, 0, t.record, sizeof t.record) < 0) {
            RtlZeroMemory(t.record, sizeof t.record);
        }
        pmp_query(card, &address, cmd_command_set, 0, t.commands, sizeof t.commands);
    }
    if (allocate_arrays(cache) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Inadequate memory - adc_cache.\n", pav_card_name(card));
        adc_cache_free(card);
        return -1;
    }
    adc_refresh_power(card);
    adc_refresh_core_temperature(card);
    adc_refresh_set_b(card);
    adc_refresh_set_a(card);
    adc_refresh_fans(card);
    read_descriptors(card, ADC_SET_B);
    read_descriptors(card, ADC_SET_A);
    for (ULONG k = 0; k < cache->target_count; k++) {
        if ((le_get_u32(cache->targets[k].record + SMP_TARGET_FLAGS) & SMP_FLAG_POWER_MONITOR) != 0) {
            cache->power_monitor = target_address(card, k);
            break;
        }
    }
    return 0;
}

void adc_cache_free(pipeline_device* card) {
    PAGED_CODE();
    adc_cache* cache = card->sensors;
    if (cache == nullptr) {
        return;
    }
    kpav_spin_lock(&cache->lock);
    card->sensors = nullptr;
    kpav_spin_unlock(&cache->lock);
    free_arrays(cache);
    kpav_free(cache, KPAV_TAG_MAL);
}

void adc_refresh_set_a(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    refresh_set(card, ADC_SET_A);
}

void adc_refresh_set_b(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    refresh_set(card, ADC_SET_B);
}

void adc_refresh_fans(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    refresh_set(card, ADC_SET_FANS);
}

void adc_refresh_core_temperature(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    ULONG raw = csr_read(card->csr, csr_temperature);
    if (raw == 0xFFFFFFFF) {
        // A lost bus, or one bad read: either way not a temperature.
        check_lost_bus(card);
        return;
    }
    LONG64 tenths = ((LONG64)(raw & 0xFFFF) * 503975 / 65536 - 273150) / 100;
    if (cache != nullptr) {
        kpav_spin_lock(&cache->lock);
        cache->core_temperature = (SHORT)tenths;
        kpav_spin_unlock(&cache->lock);
    }
}

void adc_refresh_power(pipeline_device* card) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    if (cache == nullptr || cache->power_monitor.length < 1 || cache->power_monitor.length > PMP_ADDRESS_MAX) {
        return;
    }
    UCHAR answer[power_answer_size];
    pmp_address monitor = cache->power_monitor;
    if (pmp_query(card, &monitor, cmd_power, 0, answer, sizeof answer) != (int)sizeof answer) {
        return;
    }
    ULONG64 samples = le_get_u64(answer);
    if (samples == 0) {
        return;
    }
    ULONG supply = adc_supply_12v(card);
    ULONG max = le_get_u32(answer + 24);
    ULONG min = le_get_u32(answer + 28);
    kpav_spin_lock(&cache->lock);
    RtlCopyMemory(cache->power_answer, answer, sizeof answer);
    adc_power_figures& p = cache->power;
    p.samples += samples;
    p.sum2 += le_get_u64(answer + 8);
    p.sum3 += le_get_u64(answer + 16);
    if (max > p.max) {
        p.max = max;
    }
    if (min != 0 && (p.min == 0 || min < p.min)) {
        p.min = min;
    }
    p.average = (ULONG)(le_get_u64(answer + 16) / samples);
    p.power = (ULONG)((ULONG64)p.average * supply / 1000);
    kpav_spin_unlock(&cache->lock);
}

const UCHAR* adc_target_record(const pipeline_device* card, ULONG target) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const adc_cache* cache = card->sensors;
    return cache != nullptr && target < cache->target_count ? cache->targets[target].record : nullptr;
}

const pmp_address* adc_power_monitor(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return card->sensors != nullptr ? &card->sensors->power_monitor : nullptr;
}

SHORT adc_core_temperature(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    if (cache == nullptr) {
        return 0;
    }
    kpav_spin_lock(&cache->lock);
    SHORT t = cache->core_temperature;
    kpav_spin_unlock(&cache->lock);
    return t;
}

adc_power_figures adc_power(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    if (cache == nullptr) {
        return {};
    }
    kpav_spin_lock(&cache->lock);
    adc_power_figures p = cache->power;
    kpav_spin_unlock(&cache->lock);
    return p;
}

int adc_cache_iterate(const pipeline_device* card, adc_cursor* cursor, ULONG* target, ULONG* index, ULONG* value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    if (cache == nullptr) {
        return 0;
    }
    while (cursor->target < ADC_TARGETS) {
        const sample_set& s = cache->targets[cursor->target].sets[ADC_SET_A];
        if (cursor->target >= cache->target_count || s.values == nullptr) {
            cursor->target++;
            cursor->index = 0;
            continue;
        }
        kpav_spin_lock(&cache->lock);
        ULONG count = s.count < ADC_SAMPLES ? s.count : ADC_SAMPLES;
        bool present = cursor->index < count;
        ULONG v = present ? s.values[cursor->index] : 0;
        kpav_spin_unlock(&cache->lock);
        if (count == 0) {
            return 0;
        }
        if (!present) {
            cursor->target++;
            cursor->index = 0;
            continue;
        }
        *target = cursor->target;
        *index = cursor->index++;
        *value = v;
        return 1;
    }
    return 0;
}

ULONG adc_cache_min_value(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG lowest = 0;
    if (card->sensors != nullptr) {
        each_set_a_sample(card->sensors, [&](ULONG v, bool) {
            if (v != 0 && (lowest == 0 || v < lowest)) {
                lowest = v;
            }
        });
    }
    return lowest;
}

ULONG adc_cache_max_value(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG highest = 0;
    if (card->sensors != nullptr) {
        each_set_a_sample(card->sensors, [&](ULONG v, bool skip) {
            if (!skip && v > highest) {
                highest = v;
            }
        });
    }
    return highest;
}

ULONG adc_cache_average(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 sum = 0;
    ULONG n = 0;
    if (card->sensors != nullptr) {
        each_set_a_sample(card->sensors, [&](ULONG v, bool skip) {
            if (!skip && v != 0) {
                sum += v;
                n++;
            }
        });
    }
    return n != 0 ? (ULONG)(sum / n) : 0;
}

ULONG adc_supply_12v(const pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    adc_cache* cache = card->sensors;
    ULONG found = 0;
    for (ULONG k = 0; cache != nullptr && found == 0 && k < cache->target_count; k++) {
        const sample_set& s = cache->targets[k].sets[ADC_SET_B];
        kpav_spin_lock(&cache->lock);
        for (ULONG i = 0; s.values != nullptr && i < s.count && i < ADC_SAMPLES; i++) {
            if (s.values[i] != 0 && le_get_u32(s.descriptors[i] + desc_nominal) == nominal_12v) {
                found = s.values[i];
                break;
            }
        }
        kpav_spin_unlock(&cache->lock);
    }
    return found != 0 ? found : ADC_SUPPLY_12V_DEFAULT;
}

const char* adc_sensor_name(const pipeline_device* card, adc_set set, ULONG target, ULONG index) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const adc_cache* cache = card->sensors;
    if (cache == nullptr || target >= cache->target_count || index >= ADC_SAMPLES) {
        return "unknown";
    }
    const sample_set& s = cache->targets[target].sets[set];
    if (s.values == nullptr || index >= s.count) {
        return "unknown";
    }
    if (set == ADC_SET_FANS) {
        return "fan1";
    }
    const UCHAR* name = s.descriptors[index] + desc_name;
    return name[0] != 0 ? (const char*)name : "unknown";
}

int adc_sensors_show(const pipeline_device* card, kinfo_seq* seq) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    kinfo_seq_printf(seq, "Node       ID   Name             Units    Value\n");
    adc_cache* cache = card->sensors;
    for (ULONG k = 0; cache != nullptr && k < cache->target_count; k++) {
        for (adc_set set : all_sets) {
            const sample_set& s = cache->targets[k].sets[set];
            for (ULONG i = 0; s.values != nullptr; i++) {
                kpav_spin_lock(&cache->lock);
                bool present = i < s.count && i < ADC_SAMPLES;
                ULONG value = present ? s.values[i] : 0;
                kpav_spin_unlock(&cache->lock);
                if (!present) {
                    break;
                }
                show_row(seq, card, set, k, i, value);
            }
        }
    }
    return 0;
}
