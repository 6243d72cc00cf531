// A card record on the card model, for the controller's own tests: a booted machine with a card
// and its controller side plugged in, the BAR mapped, and a card record whose register windows
// point into it, as probe leaves them. The test runs the bring-up pieces it is about on it.
#pragma once

#include <memory>
#include <string>

#include "driver/card/pipeline_device.h"
#include "driver/platform/pci_dev.h"
#include "sim/card/card.h"
#include "sim/card/controller.h"
#include "tests/support/kernel_fixture.h"

class ControllerCardTest : public KernelTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The controller side's configuration; override to change it (a healthy card by default).
    virtual sim::card::ControllerConfig controller_config() const { return {}; }
    // Puts another card in the slot: the card record is released and made again.
    void replug(const sim::card::CardConfig& card, const sim::card::ControllerConfig& controller);

    // Frees what the bring-up pieces left on the card record (sensor cache, link, MID record).
    void release_card();
    // Debug lines captured that contain `part`.
    static bool has_text(const std::string& part);
    static size_t count_text(const std::string& part);

    void plug(const sim::card::CardConfig& card, const sim::card::ControllerConfig& controller);
    void unplug();

    std::unique_ptr<sim::card::Card> model_;
    std::unique_ptr<sim::card::ControllerBar> bar_;
    volatile ULONG* regs_ = nullptr;
    pipeline_device* card_ = nullptr;
    pci_dev pdev_{};  // the card's PCI record: its configuration space through the bus
};
