// A framework driver with plain devices, loaded through the stand-in's loader: what the device
// shell will provide to the platform layer (the driver's device objects for work items).
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/kernel/io_control.h"
#include "sim/kmdf/control.h"
#include "sim/kmdf/wdf.h"

class framework_driver {
  public:
    // Loads the driver and plugs in `devices` devices.
    void load(int devices) {
        ASSERT_EQ(sim::kernel::load_driver("strovane", entry, &wdm_), STATUS_SUCCESS);
        for (int i = 0; i < devices; i++) {
            plug();
        }
    }
    WDFDEVICE plug() {
        WDFDEVICE device = nullptr;
        EXPECT_EQ(sim::kmdf::add_device(WdfGetDriver(), {}, &device), STATUS_SUCCESS);
        devices_.push_back(device);
        return device;
    }
    void unload() {
        if (wdm_ != nullptr) {
            sim::kmdf::unload(wdm_);
            wdm_ = nullptr;
            devices_.clear();
        }
    }
    const std::vector<WDFDEVICE>& devices() const { return devices_; }

  private:
    static NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT init) {
        WDFDEVICE device;
        return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    }
    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, device_add);
        return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
    }

    PDRIVER_OBJECT wdm_ = nullptr;
    std::vector<WDFDEVICE> devices_;
};
