#include "driver/pipeline/nand_media.h"

#include <math.h>

#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

const nand_media_policy nand_media_policy_table[] = {
    // ONFi parts
    {5, 11000, {450000, 0}, 450000, 450000, 1800000, 18000000, 15, 360, {300, 4}, 0},
    // the maker's own parts
    {6, 4000, {450000, 0}, 450000, 450000, 1800000, 18000000, 15, 360, {300, 4}, 0},
    {0, 0, {0, 0}, 0, 0, 0, 0, 0, 0, {0, 0}, 0},
};

// The tuning strings: an endurance type byte with 13 compact numbers; an equalization type byte,
// quantum, divisor, two bytes, f0..f8 as compact numbers, start / 10, end / 10 and step.
const nand_mgmt_info nand_mgmt_info_table[] = {
    {1, 4, -50, 50, -40, 8, 6, -15, {0, 0, 0, 0},
     ENDURANCE_STRING_BYTES,
     {0x04, 0x22, 0x00, 0x42, 0x00, 0x62, 0x00, 0x82, 0x00, 0xA2, 0x00, 0xC2, 0x00, 0xE2, 0x00,
      0x02, 0x01, 0x22, 0x01, 0x42, 0x01, 0x62, 0x01, 0x82, 0x01, 0xA2, 0x01},
     EQUALIZATION_STRING_BYTES,
     {0x03, 0x01, 0x01, 0x00, 0x00, 0x22, 0x00, 0xBF, 0xFF, 0x23, 0x00, 0xBA, 0xFF, 0xC2, 0xFF, 0x5E,
      0x00, 0x62, 0xFF, 0x00, 0x00, 0x22, 0x00, 0x64, 0x00, 0xB0, 0x04, 0xE8, 0x03, 0x00, 0x00},
     6, 0, {}},
    {8, 4, -63, 63, -25, 25, 5, -6, {0, 0, 0, 0},
     ENDURANCE_STRING_BYTES,
     {0x04, 0x22, 0x00, 0x42, 0x00, 0x62, 0x00, 0x82, 0x00, 0xA2, 0x00, 0xC2, 0x00, 0xE2, 0x00,
      0x02, 0x01, 0x22, 0x01, 0x42, 0x01, 0x62, 0x01, 0x82, 0x01, 0xA2, 0x01},
     EQUALIZATION_STRING_BYTES,
     {0x03, 0x02, 0x02, 0x00, 0x00, 0x22, 0x00, 0xE0, 0xFF, 0x43, 0x00, 0x7A, 0xFF, 0xE2, 0xFF, 0x3F,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00, 0x90, 0x01, 0xF4, 0x01, 0x00, 0x00},
     2, 18,
     {0x00000000, 0x0A0A0A0A, 0xF6F6F6F6, 0x14141414, 0xECECECEC, 0x1E1E1E1E, 0xE2E2E2E2, 0x05050505,
      0xFBFBFBFB, 0x0F0F0F0F, 0xF1F1F1F1, 0x19191919, 0xE7E7E7E7, 0x0A05000B, 0xF6FB00F5, 0x140A0016,
      0xECF600EA, 0x23190023}},
    {0, 0, 0, 0, 0, 0, 0, 0, {0, 0, 0, 0}, 0, {}, 0, {}, 0, 0, {}},
};

const ULONG eq_column_age_seconds[EQ_COLUMNS] = {
    86400 * 1,  86400 * 2,  86400 * 3,  86400 * 4,   86400 * 6,   86400 * 8,   86400 * 10,  86400 * 12,
    86400 * 16, 86400 * 20, 86400 * 24, 86400 * 28,  86400 * 32,  86400 * 40,  86400 * 48,  86400 * 56,
    86400 * 72, 86400 * 88, 86400 * 104, 86400 * 120, 86400 * 200, 86400 * 300, 86400 * 400, 86400 * 500,
};

// The NAND models the equalization formula serves, first match used.
struct nand_model_descriptor {
    ULONG eq_type;
    ULONG endurance_type;
    LONG (*formula)(const float f[9], ULONG x, ULONG y, ULONG z);
};

namespace {

const nand_model_descriptor model_descriptors[] = {
    {3, 4, eq_formula}, {3, 4, eq_formula}, {3, 4, eq_formula},
    {3, 4, eq_formula}, {3, 4, eq_formula}, {3, 4, eq_formula},
    {0, 0, nullptr},
};

const nand_model_descriptor* descriptor_by_endurance(ULONG type) {
    for (const nand_model_descriptor* d = model_descriptors; d->formula != nullptr; d++) {
        if (d->endurance_type == type) {
            return d;
        }
    }
    return nullptr;
}

const nand_model_descriptor* descriptor_by_eq(ULONG type) {
    for (const nand_model_descriptor* d = model_descriptors; d->formula != nullptr; d++) {
        if (d->eq_type == type) {
            return d;
        }
    }
    return nullptr;
}

USHORT le16(const UCHAR* p) {
    return (USHORT)(p[0] | p[1] << 8);
}

ULONG bit_length(ULONG v) {
    ULONG b = 0;
    while (v != 0) {
        b++;
        v >>= 1;
    }
    return b;
}

}  // namespace

// ---- Lookups

const nand_media_policy* nand_media_policy_find(ULONG key) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    for (const nand_media_policy* p = nand_media_policy_table; p->key != 0; p++) {
        if (p->key == key) {
            return p;
        }
    }
    return nullptr;
}

const nand_mgmt_info* nand_mgmt_info_lookup(ULONG key) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    for (const nand_mgmt_info* m = nand_mgmt_info_table; m->key != 0; m++) {
        if (m->key == key) {
            return m;
        }
    }
    return nullptr;
}

int nand_mgmt_info_find(nand_dev* channel, ULONG key) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_mgmt_info* info = nand_mgmt_info_lookup(key);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    channel->iface.mgmt = info;
    channel->iface.mgmt_values = *info;
    return 0;
}

// ---- Wear policy

ULONG read_count_policy_of(const nand_media_policy* policy, ULONG erase_count, ULONG64 read_count) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (policy == nullptr) {
        return READ_POLICY_NOTHING;
    }
    ULONG64 w = policy->rated_wear;
    ULONG64 e = erase_count;
    ULONG64 limit;
    if (e <= w / 10) {
        limit = policy->read_limit_new;
    } else if (e < w) {
        limit = ((ULONG64)policy->read_limit_new - policy->read_limit_worn) * (w - e) / w + policy->read_limit_worn;
    } else {
        limit = policy->read_limit_worn;
    }
    if (limit != 0 && read_count >= limit) {
        return READ_POLICY_REFRESH;
    }
    if (policy->sample_interval == 0) {
        return READ_POLICY_NOTHING;
    }
    return read_count % policy->sample_interval == 0 ? READ_POLICY_SAMPLE : READ_POLICY_NOTHING;
}

ULONG read_count_policy(nand_dev* channel, ULONG erase_count, ULONG64 read_count) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return read_count_policy_of(channel->iface.policy, erase_count, read_count);
}

ULONG wear_scale(ULONG v) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (v <= 64) {
        return v;
    }
    ULONG k = bit_length(v) - 6;
    return (ULONG)(((ULONG64)v + (1ull << k) - 1) >> k) + 32 * k;
}

ULONG retention_seconds_of(const nand_media_policy* policy, ULONG wear) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (policy == nullptr) {
        return 0;
    }
    ULONG r = wear_scale(policy->rated_wear);
    ULONG x = wear_scale(wear);
    if (x >= r) {
        return policy->retention_days_worn * 86400;
    }
    ULONG days = policy->retention_days_worn +
                 (policy->retention_days_new - policy->retention_days_worn) * (r - x) / 104;
    return days * 86400;
}

ULONG retention_seconds(nand_dev* channel, ULONG wear) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return retention_seconds_of(channel->iface.policy, wear);
}

void page_class_of(const nand_media_policy* policy, ULONG page, ULONG* out) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (policy == nullptr) {
        return;
    }
    if (policy->key == 5) {
        ULONG h = page / 2;
        if (h == 1 || h == 252 || h >= 254) {
            *out = 1;
        } else {
            *out = (page & 2) != 0 ? 3 : 2;
        }
    } else if (policy->key == 6) {
        if (page == 0) {
            *out = 2;
        } else if (page == 255) {
            *out = 3;
        } else {
            *out = page % 2 == 0 ? 3 : 2;
        }
    }
}

void page_class(nand_dev* channel, ULONG page, ULONG* out) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    page_class_of(channel->iface.policy, page, out);
}

// ---- Drive tuning

float compact_number(USHORT word) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    LONG mantissa = (LONG)(word >> 5);
    if (mantissa >= 1024) {
        mantissa -= 2048;
    }
    LONG exponent = (LONG)(word & 0x1F);
    if (exponent >= 16) {
        exponent -= 32;
    }
    if (mantissa == 0) {
        return 0.0f;
    }
    float value = (float)mantissa;
    LONG power = exponent - 2;
    const float tenth = 1.0f / 10.0f;
    for (LONG i = 0; i < (power < 0 ? -power : power); i++) {
        value = power > 0 ? value * 10.0f : value * tenth;
    }
    return value;
}

LONG eq_formula(const float f[9], ULONG x, ULONG y, ULONG z) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    float fx = (float)x;
    float fy = (float)y;
    float fz = (float)z;
    float a = f[1] * fx + f[2];
    float b = a * expf(f[3] * fz);
    float e = f[4] * expf(f[5] * fx);
    float d = (b + e) + f[6];
    if (f[7] != 0.0f) {
        d = d + ((fx / f[7]) * fy) / f[8];
    }
    if (!(d == d)) {
        return 0;  // not a number (f8 of 0 with a zero numerator)
    }
    if (d >= 2147483647.0f) {
        return 0x7FFFFFFF;
    }
    if (d <= -2147483648.0f) {
        return (LONG)0x80000000;
    }
    return (LONG)d;
}

int eq_parameters_decode(const UCHAR* bytes, ULONG length, eq_parameters* out) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    if (length != EQUALIZATION_STRING_BYTES) {
        return -KPAV_EINVAL;
    }
    out->type = bytes[0];
    out->q = bytes[1];
    out->d = bytes[2];
    out->extra[0] = bytes[3];
    out->extra[1] = bytes[4];
    for (ULONG i = 0; i < 9; i++) {
        out->f[i] = compact_number(le16(bytes + 5 + 2 * i));
    }
    out->start = (ULONG)le16(bytes + 23) * 10;
    out->end = (ULONG)le16(bytes + 25) * 10;
    out->step = le16(bytes + 27);
    return 0;
}

namespace {

CHAR quantise(LONG v, LONG q, LONG d) {
    LONG64 rounded = v >= 0 ? ((LONG64)v + q / 2) : ((LONG64)v - q / 2);
    LONG64 cell = rounded / q * q / d;
    // A value beyond a signed byte keeps its sign at the byte's limit.
    if (cell > 127) {
        return 127;
    }
    if (cell < -128) {
        return -128;
    }
    return (CHAR)cell;
}

int eq_table_build(const char* name, ULONG policy_value, const nand_mgmt_info* info, drive_tuning* tuning) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    eq_parameters& eq = tuning->eq;
    if (eq_parameters_decode(info->equalization, info->equalization_length, &eq) != 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unable to decode equalization parameters.\n", name);
        return -KPAV_EINVAL;
    }
    // A quantum or divisor of 0 would divide by zero below.
    if (eq.step < 100 || eq.end <= eq.start || eq.q == 0 || eq.d == 0 ||
        (eq.end - eq.start) / eq.step + 1 > EQ_ROWS_MAX) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Incorrect equalization parameters.\n", name);
        return -KPAV_EINVAL;
    }
    ULONG rows = (eq.end - eq.start) / eq.step + 1;
    const nand_model_descriptor* model = descriptor_by_eq(eq.type);
    if (model == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unknown equalization parameter %d\n", name, eq.type);
        return -KPAV_EINVAL;
    }
    tuning->table = (CHAR*)kpav_zalloc((size_t)rows * EQ_COLUMNS, KPAV_TAG_VML);
    if (tuning->table == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Drive tuning parameter initialization failed.\n", name);
        return -KPAV_ENOMEM;
    }
    tuning->rows = rows;
    for (ULONG r = 0; r < rows; r++) {
        ULONG x = eq.step * r + eq.step / 2 + eq.start;
        for (ULONG c = 0; c < EQ_COLUMNS; c++) {
            LONG v = model->formula(eq.f, x, policy_value, eq_column_age_seconds[c]);
            tuning->table[r * EQ_COLUMNS + c] = quantise(v, eq.q, eq.d);
        }
    }
    return 0;
}

}  // namespace

int drive_tuning_decode(const char* name, bool capable, ULONG policy_value, const nand_mgmt_info* info,
                        drive_tuning** out) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    auto* tuning = (drive_tuning*)kpav_zalloc(sizeof(drive_tuning), KPAV_TAG_MAL);
    *out = tuning;
    if (tuning == nullptr) {
        return -KPAV_ENOMEM;
    }
    if (info->endurance_length != ENDURANCE_STRING_BYTES) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unable to decode endurance parameters.\n", name);
        return -KPAV_EINVAL;
    }
    tuning->endurance_type = info->endurance[0];
    for (ULONG i = 0; i < 13; i++) {
        tuning->endurance[i] = compact_number(le16(info->endurance + 1 + 2 * i));
    }
    tuning->model = descriptor_by_endurance(tuning->endurance_type);
    if (tuning->model == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Unknown endurance type %d.\n", name, tuning->endurance_type);
        return -KPAV_EINVAL;
    }
    if (!capable) {
        if (info->equalization_length != 0) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: Excess equalization information present for non-capable hardware.\n",
                       name);
        }
        return 0;
    }
    if (info->equalization_length == 0) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: No equalization information present for capable hardware.\n", name);
        return -KPAV_EINVAL;
    }
    return eq_table_build(name, policy_value, info, tuning);
}

void drive_tuning_free(drive_tuning* tuning) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (tuning != nullptr) {
        kpav_free_if(tuning->table, KPAV_TAG_VML);
        kpav_free(tuning, KPAV_TAG_MAL);
    }
}

// ---- Median

LONG pad_mask_median(ULONG pad_mask, const CHAR* values) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    CHAR v[32];
    LONG n = 0;
    for (ULONG pad = 0; pad < 32; pad++) {
        if ((pad_mask >> pad & 1) != 0) {
            v[n++] = values[pad];
        }
    }
    if (n == 0) {
        return 0;
    }
    // Quickselect: the last element is the pivot, those not greater move to the front in order,
    // the pivot follows them; go on on the side that holds the wanted position.
    LONG want = (n - 1) / 2;
    LONG low = 0;
    LONG high = n - 1;
    while (low < high) {
        CHAR pivot = v[high];
        LONG store = low;
        for (LONG i = low; i < high; i++) {
            if (v[i] <= pivot) {
                CHAR t = v[i];
                v[i] = v[store];
                v[store] = t;
                store++;
            }
        }
        v[high] = v[store];
        v[store] = pivot;
        if (store == want) {
            break;
        }
        if (store < want) {
            low = store + 1;
        } else {
            high = store - 1;
        }
    }
    return v[want];
}
