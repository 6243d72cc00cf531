#include "tests/driver/controller/controller_fixture.h"

#include <cstring>

#include "driver/controller/mid.h"
#include "driver/controller/pmp_client.h"
#include "driver/controller/sensor_cache.h"
#include "driver/platform/format.h"
#include "driver/platform/memory.h"
#include "sim/kernel/control.h"
#include "sim/kernel/mmio.h"

void ControllerCardTest::SetUp() {
    KernelTest::SetUp();
    plug(sim::card::CardConfig::small(), controller_config());
}

void ControllerCardTest::plug(const sim::card::CardConfig& card, const sim::card::ControllerConfig& controller) {
    model_ = std::make_unique<sim::card::Card>(card);
    bar_ = std::make_unique<sim::card::ControllerBar>(*model_, controller);
    model_->set_controller(bar_.get());
    pdev_ = pci_dev{};
    pdev_.device_object = model_->plug(0, 3, 0);
    pdev_.bus = 3;
    kpav_snprintf(pdev_.name, sizeof pdev_.name, "%s", "0000:03:00.0");
    PHYSICAL_ADDRESS address;
    address.QuadPart = (LONGLONG)model_->bar_address();
    regs_ = (volatile ULONG*)MmMapIoSpace(address, sim::card::Card::bar_size, MmNonCached);
    card_ = (pipeline_device*)kpav_zalloc(sizeof(pipeline_device), KPAV_TAG_MAL);
    card_->pdev = &pdev_;
    card_->bar = regs_;
    card_->csr = regs_ + 0x8000 / 4;
    card_->bus_present = TRUE;
    card_->generation = 3;
    card_->channel_state = 1;
    kpav_snprintf(card_->display_name, sizeof card_->display_name, "%s", "Velkor 0000:03:00.0");
}

void ControllerCardTest::unplug() {
    release_card();
    kpav_free_if(card_, KPAV_TAG_MAL);
    card_ = nullptr;
    MmUnmapIoSpace((PVOID)regs_, sim::card::Card::bar_size);
    model_->set_controller(nullptr);
    model_->unplug();
    bar_.reset();
    model_.reset();
}

void ControllerCardTest::replug(const sim::card::CardConfig& card, const sim::card::ControllerConfig& controller) {
    unplug();
    plug(card, controller);
}

void ControllerCardTest::release_card() {
    if (card_ != nullptr) {
        adc_cache_free(card_);
        pmp_link_release(card_);
        mid_free(card_);
    }
}

void ControllerCardTest::TearDown() {
    unplug();
    KernelTest::TearDown();
}

bool ControllerCardTest::has_text(const std::string& part) {
    return count_text(part) != 0;
}

size_t ControllerCardTest::count_text(const std::string& part) {
    size_t n = 0;
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            n++;
        }
    }
    return n;
}
