#include "driver/controller/environment.h"

#include "driver/card/hw_reset.h"
#include "driver/controller/mid.h"
#include "driver/controller/sensor_cache.h"
#include "driver/pipeline/cq.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// The system monitor's registers.
constexpr ULONG csr_temperature_alarm = 0x1300;  // low half the limit code, high half 0xC7B4
constexpr ULONG csr_capacitor_high = 0x1308;
constexpr ULONG csr_capacitor_low = 0x130C;
constexpr ULONG csr_temperature = 0x1314;
constexpr ULONG csr_core = 0x1318;
constexpr ULONG csr_aux = 0x131C;
constexpr ULONG csr_core_minmax = 0x1324;  // minimum low half, maximum high half
constexpr ULONG csr_aux_minmax = 0x1328;
constexpr ULONG csr_capacitor = 0x1338;

constexpr ULONG over_temperature_release = 0xC7B4;  // 120 degrees
constexpr ULONG over_temperature_code = 0xCA40;     // 125 degrees
constexpr LONG over_temperature_c = 125;
constexpr ULONG zero_c_code = 0x8ABF;

// The supplies' windows on generation-3 controllers: valid codes at the start (inclusive), and
// the alarm windows an interrupt is judged against (exclusive).
struct supply {
    const char* name;
    ULONG csr_current;
    ULONG csr_minmax;
    ULONG valid_low, valid_high;
    ULONG alarm_low, alarm_high;
    ULONG status;
    ULONG reason;
    ULONG kind;
};
constexpr supply aux_supply = {"aux", csr_aux, csr_aux_minmax, 36545, 41983, 36544, 41984,
                               ENV_STATUS_AUX, CHANNEL_FAIL_AUX_VOLTAGE, ENV_ALERT_AUX};
constexpr supply core_supply = {"core", csr_core, csr_core_minmax, 20973, 22717, 20972, 22718,
                                ENV_STATUS_CORE, CHANNEL_FAIL_CORE_VOLTAGE, ENV_ALERT_CORE};

// The capacitor's windows: present (watched for failing) and absent (watched for appearing).
constexpr ULONG capacitor_present_low = 18944, capacitor_present_high = 29120;
constexpr ULONG capacitor_absent_low = 20928, capacitor_absent_high = 27136;

bool generation3(const nand_dev* channel) {
    return channel->card->generation == 3;
}

ULONG temperature_limit_c(const nand_dev* channel) {
    const card_mid* mid = channel->card->mid;
    return mid != nullptr ? mid->core_temp_limit_c : ENV_DEFAULT_TEMPERATURE_LIMIT_C;
}

ULONG powercut_level(const nand_dev* channel) {
    const card_mid* mid = channel->card->mid;
    return mid != nullptr ? mid->powercut_level : 0;
}

ULONG code_at(const nand_dev* channel, ULONG offset) {
    return csr_read(channel->card->csr, offset) & 0xFFFF;
}

void capacitor_window(nand_dev* channel, ULONG low, ULONG high) {
    csr_write(channel->card->csr, csr_capacitor_low, low);
    csr_write(channel->card->csr, csr_capacitor_high, high);
}

void record_alert(pipeline_device* card, ULONG kind, ULONG code) {
    kpav_spin_lock(&card->env_alert_lock);
    card->env_alert.kinds |= kind;
    card->env_alert.last_kind = kind;
    card->env_alert.code = code;
    kpav_spin_unlock(&card->env_alert_lock);
}

// What one interrupt has found so far.
struct env_pass {
    bool report = true;   // no bit so far was judged spurious
    bool failed = false;  // a real fault failed the channel
};

void capacitor_event(nand_dev* channel) {
    ULONG code = code_at(channel, csr_capacitor);
    ULONG low = code_at(channel, csr_capacitor_low);
    ULONG high = code_at(channel, csr_capacitor_high);
    ULONG kind;
    if (code > high || code < low) {
        channel->powercut_flush_enabled = 0;
        kpav_print(KPAV_CLASS_WARNING, "%s: Powercut flush supported but NOT installed (%d mV).\n",
                   channel_name(channel), (int)env_capacitor_mv(code));
        capacitor_window(channel, capacitor_absent_low, capacitor_absent_high);
        kind = ENV_ALERT_POWERCUT_NOT_INSTALLED;
    } else {
        channel->powercut_flush_enabled = 1;
        kpav_print(KPAV_CLASS_NORMAL, "%s: Powercut flush supported and enabled (%d mV).\n", channel_name(channel),
                   (int)env_capacitor_mv(code));
        capacitor_window(channel, capacitor_present_low, capacitor_present_high);
        kind = ENV_ALERT_POWERCUT_ENABLED;
    }
    record_alert(channel->card, kind, code);
}

// A supply's interrupt: spurious when the smallest, the largest and the current code seen all lie
// inside its alarm window (only generation-3 controllers have one; elsewhere it is empty).
void supply_event(nand_dev* channel, const supply& s, int check_spurious, env_pass* pass) {
    ULONG current = code_at(channel, s.csr_current);
    ULONG minmax = csr_read(channel->card->csr, s.csr_minmax);
    ULONG min = minmax & 0xFFFF;
    ULONG max = minmax >> 16;
    auto inside = [&](ULONG code) { return generation3(channel) && code > s.alarm_low && code < s.alarm_high; };
    if (check_spurious != 0 && inside(min) && inside(max) && inside(current)) {
        kpav_print(KPAV_CLASS_WARNING, "%s: Warning: Voltage '%s' spurious intr.\n", channel_name(channel), s.name);
        pass->report = false;
        return;
    }
    if (!pass->report) {
        return;
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: Warning: Voltage '%s' is out of spec. Shutting down channel.\n",
               channel_name(channel), s.name);
    kpav_print(KPAV_CLASS_ERROR, "%s: Warning: Voltage '%s' min/max/cval : %d/%d/%d mV\n", channel_name(channel),
               s.name, (int)env_voltage_mv(min), (int)env_voltage_mv(max), (int)env_voltage_mv(current));
    fail_channel(channel, 0, s.reason);
    pass->failed = true;
    record_alert(channel->card, s.kind, current);
}

// A temperature interrupt (the limit's or the over-temperature one). Real when the reading has
// reached the alarm's own code: converted back to whole degrees, a reading just at the limit code
// can be a degree below the limit.
void temperature_event(nand_dev* channel, bool over, int check_spurious, env_pass* pass) {
    ULONG code = code_at(channel, csr_temperature);
    LONG actual = env_temperature_c(code);
    LONG trigger = over ? over_temperature_c : (LONG)temperature_limit_c(channel);
    ULONG trigger_code = over ? over_temperature_code : env_temperature_alarm_code((ULONG)trigger);
    if (check_spurious != 0 && code < trigger_code) {
        kpav_print(KPAV_CLASS_WARNING,
                   over ? "%s: Warning: Overtemperature spurious intr (Actual=%d C Trigger=%d C).\n"
                        : "%s: Warning: Thermal spurious intr (Actual=%d C Trigger=%d C).\n",
                   channel_name(channel), (int)actual, (int)trigger);
        pass->report = false;
        return;
    }
    if (!pass->report) {
        return;
    }
    kpav_print(KPAV_CLASS_ERROR,
               over ? "%s: WARNING: Overtemperature detected (%d C).\n" : "%s: WARNING: Temperature is too high (%d C).\n",
               channel_name(channel), (int)actual);
    fail_channel(channel, 0, over ? CHANNEL_FAIL_OVER_TEMPERATURE : CHANNEL_FAIL_TEMPERATURE);
    pass->failed = true;
    record_alert(channel->card, over ? ENV_ALERT_OVER_TEMPERATURE : ENV_ALERT_TEMPERATURE, code);
}

}  // namespace

LONG env_temperature_c(ULONG code) {
    return (LONG)(((code & 0xFFFF) * 504) >> 16) - 273;
}

ULONG env_voltage_mv(ULONG code) {
    return ((code & 0xFFFF) >> 6) * 3000 >> 10;
}

ULONG env_capacitor_mv(ULONG code) {
    return (code & 0xFFFF) * 1000 / 65535;
}

ULONG env_temperature_alarm_code(ULONG limit_c) {
    ULONG64 code = ((ULONG64)limit_c * 1024000 + 279705600) / 503975;
    return (ULONG)(code * 64) & 0xFFFF;
}

int check_fpga_voltages(nand_dev* channel) {
    PAGED_CODE();
    if (!generation3(channel)) {
        return 0;
    }
    int failed = 0;
    static const supply* const supplies[] = {&core_supply, &aux_supply};
    for (const supply* s : supplies) {
        ULONG code = code_at(channel, s->csr_current);
        if (code < s->valid_low || code > s->valid_high) {
            kpav_print(KPAV_CLASS_ERROR, s == &core_supply ? "%s: Invalid FPGA core voltage: %dmV\n"
                                                           : "%s: Invalid FPGA aux voltage: %dmV\n",
                       channel_name(channel), (int)env_voltage_mv(code));
            failed = 1;
        }
    }
    return failed;
}

void program_env_alarms(nand_dev* channel) {
    PAGED_CODE();
    ULONG limit = temperature_limit_c(channel);
    if (limit != ENV_DEFAULT_TEMPERATURE_LIMIT_C) {
        csr_write(channel->card->csr, csr_temperature_alarm,
                  over_temperature_release << 16 | env_temperature_alarm_code(limit));
    }
    if (powercut_level(channel) == 1) {
        ULONG code = code_at(channel, csr_capacitor);
        if (code >= capacitor_absent_low && code <= capacitor_absent_high) {
            capacitor_window(channel, capacitor_present_low, capacitor_present_high);
        } else {
            capacitor_window(channel, capacitor_absent_low, capacitor_absent_high);
        }
    }
}

void env_interrupt(nand_dev* channel, ULONG status, int check_spurious) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    pipeline_device* card = channel->card;
    intr_mask_set(channel, ENV_INTR_MASK);
    kpav_spin_lock(&card->env_alert_lock);
    card->env_alert.last_kind = 0;
    card->env_alert.kinds = 0;
    card->env_alert.time = ebinfo_unix_seconds();
    kpav_spin_unlock(&card->env_alert_lock);

    env_pass pass;
    if ((status & (ENV_STATUS_CAPACITOR_BAD | ENV_STATUS_CAPACITOR_GOOD)) != 0) {
        capacitor_event(channel);
    }
    if ((status & ENV_STATUS_AUX) != 0) {
        supply_event(channel, aux_supply, check_spurious, &pass);
    }
    if ((status & ENV_STATUS_CORE) != 0) {
        supply_event(channel, core_supply, check_spurious, &pass);
    }
    if ((status & ENV_STATUS_TEMPERATURE) != 0) {
        temperature_event(channel, false, check_spurious, &pass);
    }
    if ((status & ENV_STATUS_OVER_TEMPERATURE) != 0) {
        temperature_event(channel, true, check_spurious, &pass);
    }

    kpav_spin_lock(&card->env_alert_lock);
    ULONG kind = card->env_alert.last_kind;
    kpav_spin_unlock(&card->env_alert_lock);
    if (pass.report && kind >= 1 && kind <= 64) {
        USHORT low = 0;
        USHORT high = 0;
        env_alert_default_limits(channel, &low, &high, kind - 1);
        kpav_spin_lock(&card->env_alert_lock);
        card->env_alert.low = low;
        card->env_alert.high = high;
        kpav_spin_unlock(&card->env_alert_lock);
    }
    // A real fault leaves the interrupt masked until the channel is initialised again; anything
    // else (capacitor news, bits judged spurious) lets the next one in.
    if ((status & ~0x30FFu) == 0 || !pass.failed) {
        intr_mask_clear(channel, ENV_INTR_MASK);
    }
}

void env_alert_default_limits(nand_dev* channel, USHORT* low, USHORT* high, ULONG code) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bool gen3 = generation3(channel);
    switch (code) {
        case ENV_ALERT_TEMPERATURE - 1:
            *low = zero_c_code;
            *high = (USHORT)(csr_read(channel->card->csr, csr_temperature_alarm) & 0xFFFF);
            return;
        case ENV_ALERT_CORE - 1:
            *low = gen3 ? 0x51EC : 0;
            *high = gen3 ? 0x58BE : 0;
            return;
        case ENV_ALERT_AUX - 1:
            *low = gen3 ? 0x8EC0 : 0;
            *high = gen3 ? 0xA400 : 0;
            return;
        case ENV_ALERT_OVER_TEMPERATURE - 1:
            *low = (USHORT)over_temperature_release;
            *high = (USHORT)over_temperature_code;
            return;
        case ENV_ALERT_POWERCUT_NOT_INSTALLED - 1:
        case ENV_ALERT_POWERCUT_ENABLED - 1: {
            ULONG level = powercut_level(channel);
            if (level == 1 && channel->powercut_flush_enabled != 0) {
                *low = (USHORT)capacitor_present_low;
                *high = (USHORT)capacitor_present_high;
            } else if (level == 1) {
                *low = (USHORT)capacitor_absent_low;
                *high = (USHORT)capacitor_absent_high;
            } else {
                *low = 0;
                *high = 0xFFFF;
            }
            return;
        }
        default:
            return;
    }
}

env_alert_record env_last_alert(pipeline_device* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&card->env_alert_lock);
    env_alert_record copy = card->env_alert;
    kpav_spin_unlock(&card->env_alert_lock);
    return copy;
}

LONG nand_temperature_c(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    LONG nand = (LONG)(adc_cache_max_value(channel->card) / 10);
    if (nand != 0) {
        return nand;
    }
    return adc_core_temperature(channel->card) / 10 - 10;
}
