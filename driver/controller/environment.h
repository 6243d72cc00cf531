// The controller's environment: the system monitor's codes and their conversions, the check of
// the FPGA's two supply voltages before the channel starts, the alarm windows programmed at the
// channel's set-up, the environment interrupt with the last alert it records in the card record,
// the default alarm limits of each alert kind, and the NAND temperature.
//
// The system monitor measures the controller's temperature, its core and auxiliary supplies and
// the hold-up capacitor, and raises the environment interrupt (an event word of the completion
// rings, 94 | status bits) when a reading leaves its alarm window. A real voltage or temperature
// fault fails the channel and leaves the interrupt masked until the channel is initialised again;
// a capacitor interrupt moves the capacitor's window and says whether the power-cut flush can run.
//
// Locks and IRQL: env_interrupt runs in the completion path at DISPATCH_LEVEL (or in the control
// interface's thread); the alert record changes only under the card's alert lock, the interrupt
// mask under the channel's mask lock. check_fpga_voltages and program_env_alarms run at the
// channel's set-up.
#pragma once

#include "driver/card/pipeline_device.h"
#include "driver/platform/os.h"

struct nand_dev;

// Status bits of the environment interrupt.
constexpr ULONG ENV_STATUS_TEMPERATURE = 0x100;
constexpr ULONG ENV_STATUS_CORE = 0x200;
constexpr ULONG ENV_STATUS_AUX = 0x400;
constexpr ULONG ENV_STATUS_OVER_TEMPERATURE = 0x800;
constexpr ULONG ENV_STATUS_CAPACITOR_BAD = 0x1000;
constexpr ULONG ENV_STATUS_CAPACITOR_GOOD = 0x2000;
// The environment interrupt's bit of the interrupt mask.
constexpr ULONG ENV_INTR_MASK = 0x1000000;

// Alert kinds (the card record's alert); the default limits' code is the kind minus 1.
constexpr ULONG ENV_ALERT_TEMPERATURE = 1;
constexpr ULONG ENV_ALERT_CORE = 2;
constexpr ULONG ENV_ALERT_AUX = 4;
constexpr ULONG ENV_ALERT_OVER_TEMPERATURE = 8;
constexpr ULONG ENV_ALERT_POWERCUT_NOT_INSTALLED = 32;
constexpr ULONG ENV_ALERT_POWERCUT_ENABLED = 64;

// Channel failure reasons of the environment.
constexpr ULONG CHANNEL_FAIL_AUX_VOLTAGE = 0x4000;
constexpr ULONG CHANNEL_FAIL_CORE_VOLTAGE = 0x8000;
constexpr ULONG CHANNEL_FAIL_TEMPERATURE = 0x10000;
constexpr ULONG CHANNEL_FAIL_OVER_TEMPERATURE = 0x20000;

// The controller temperature limit when the manufacturing data gives none.
constexpr ULONG ENV_DEFAULT_TEMPERATURE_LIMIT_C = 85;

// ---- Codes (16-bit) and their units. Any IRQL.

// Degrees Celsius: ((code x 504) >> 16) - 273.
LONG env_temperature_c(ULONG code);
// Supply millivolts: (code >> 6) x 3000 >> 10.
ULONG env_voltage_mv(ULONG code);
// Capacitor millivolts: code x 1000 / 65535.
ULONG env_capacitor_mv(ULONG code);
// The temperature alarm code of a limit in degrees Celsius, as CSR 0x1300's low half holds it:
// ((limit x 1024000 + 279705600) / 503975 x 64) & 0xFFFF.
ULONG env_temperature_alarm_code(ULONG limit_c);

// ---- The channel's environment

// 0 when the core and auxiliary supplies are in range (always on controllers other than
// generation 3), 1 when either is not (each is reported). PASSIVE_LEVEL.
int check_fpga_voltages(nand_dev* channel);
// The temperature alarm (when the limit is not the default) and, on cards whose power-cut flush
// depends on the capacitor, the capacitor's window. PASSIVE_LEVEL.
void program_env_alarms(nand_dev* channel);
// The environment interrupt: `status` holds the status bits (the event word as the completion
// rings give it); check_spurious 1 judges voltage and temperature bits against the readings (the
// completion rings), 0 takes them as real (the control interface's alert request). At most
// DISPATCH_LEVEL.
void env_interrupt(nand_dev* channel, ULONG status, int check_spurious);
// The default alarm limits of an alert code (the kind minus 1); codes the table does not name
// leave *low and *high as they are. At most DISPATCH_LEVEL.
void env_alert_default_limits(nand_dev* channel, USHORT* low, USHORT* high, ULONG code);
// The card's last alert, copied under its lock.
env_alert_record env_last_alert(pipeline_device* card);
// The NAND temperature in degrees Celsius: the sensor cache's hottest NAND sample (tenths) / 10;
// when that is 0, the controller temperature (tenths) / 10 - 10. At most DISPATCH_LEVEL.
LONG nand_temperature_c(nand_dev* channel);
