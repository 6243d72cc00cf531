// The card's sensor cache (`adc_cache`): what the management processors above the card report
// about themselves and their sensors, and the controller's own temperature. The nodes asked are
// the ancestors of the card's PMP node: with an own address of length L, target k (0..L-2) is the
// node whose address is the first k+1 bytes of it. Per target: its record (command 1), its
// command set (command 57), and by its flags the temperature samples (set A, command 9, tenths of
// a degree Celsius), the supply samples (set B, command 8), the fans (command 34), with the
// sensor descriptors of sets A and B (command 54). The power monitor's accumulated figures come
// from command 53.
//
// Every array, count and accumulator is read and written under the cache's spin lock; PMP
// requests are made outside it. Readers take and drop the lock per sample.
#pragma once

#include "driver/controller/pmp_frame.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct pipeline_device;
struct kinfo_seq;

constexpr ULONG ADC_TARGETS = 8;
constexpr ULONG ADC_SAMPLES = 32;
constexpr ULONG ADC_DESCRIPTOR_SIZE = 52;
constexpr ULONG ADC_SUPPLY_12V_DEFAULT = 12150;

enum adc_set : ULONG {
    ADC_SET_A = 0,     // temperatures
    ADC_SET_B = 1,     // supplies
    ADC_SET_FANS = 2,
};

// ---- Interface

// Sets the cache up once the PMP link is up: 0, or -1 (logged) when memory ran out; nothing of
// it is left then. PASSIVE_LEVEL.
int adc_cache_init(pipeline_device* card);
// Card release: frees the arrays and the cache. Safe without one.
void adc_cache_free(pipeline_device* card);

// Refresh one sample set of every target that has it (set A, set B, fans): an answer of n > 0
// bytes, a multiple of 5, gives n / 5 samples; any other answer none. Below DISPATCH_LEVEL.
void adc_refresh_set_a(pipeline_device* card);
void adc_refresh_set_b(pipeline_device* card);
void adc_refresh_fans(pipeline_device* card);
// The controller's temperature register (CSR 0x1314); an all-ones read runs the lost-bus check
// and leaves the last temperature.
void adc_refresh_core_temperature(pipeline_device* card);
// One power sample of the power monitor (command 53), when one was chosen.
void adc_refresh_power(pipeline_device* card);

// The record (command 1, 39 bytes) of target `target`; NULL without a cache or such a target.
const UCHAR* adc_target_record(const pipeline_device* card, ULONG target);
// The power monitor's address (length 0 when none was chosen); NULL without a cache.
const pmp_address* adc_power_monitor(const pipeline_device* card);
// The controller's temperature in tenths of a degree Celsius.
SHORT adc_core_temperature(const pipeline_device* card);

struct adc_cursor {
    ULONG target;
    ULONG index;
};
// The set A sample at the cursor, which moves on: 1, or 0 at the end (after target 7, or at the
// first target that has a set A array but no sample). A cursor starts at {0, 0}.
int adc_cache_iterate(const pipeline_device* card, adc_cursor* cursor, ULONG* target, ULONG* index, ULONG* value);
// The smallest non-zero set A sample; 0 when none.
ULONG adc_cache_min_value(const pipeline_device* card);
// The largest set A sample not marked excluded by its descriptor; 0 when none.
ULONG adc_cache_max_value(const pipeline_device* card);
// The average of the non-zero set A samples not marked excluded; 0 when none.
ULONG adc_cache_average(const pipeline_device* card);
// The first non-zero set B sample whose descriptor's nominal value is 12000 (the 12 V supply, in
// mV); 12150 when none.
ULONG adc_supply_12v(const pipeline_device* card);
// The descriptor's name of a set A or B sensor below its count, "fan1" for a fan below the fan
// count, else "unknown".
const char* adc_sensor_name(const pipeline_device* card, adc_set set, ULONG target, ULONG index);
// The "sensors" table: a heading, then a row per set A sample, set B sample and fan.
int adc_sensors_show(const pipeline_device* card, kinfo_seq* seq);

// The power monitor's accumulated figures.
struct adc_power_figures {
    ULONG64 samples;
    ULONG64 sum2;
    ULONG64 sum3;
    ULONG max;
    ULONG min;
    ULONG average;
    ULONG power;  // the last power figure, mW
};
adc_power_figures adc_power(const pipeline_device* card);
