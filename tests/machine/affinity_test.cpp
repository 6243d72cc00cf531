// Where a card's interrupts are delivered: by PAV_AFFINITY, by the node the system reports for the
// card (successive cards of a node on successive processors), spread over every processor with
// several queues, and never hanging on a node that has no processor.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/registry_control.h"
#include "sim/machine/machine.h"

namespace {

// 4 processors on 3 nodes: 0 and 1 on node 0, 2 and 3 on node 1, none on node 2.
sim::machine::machine_options two_nodes_and_an_empty_one() {
    sim::machine::machine_options o;
    o.kernel.max_processors = 4;
    o.kernel.active_processors = 4;
    o.kernel.node_count = 3;
    o.kernel.node_of_processor = {0, 0, 1, 1};
    return o;
}

std::string parameters_key() { return std::string(sim::machine::Machine::service_key("strovane")) + "\\Parameters"; }

std::vector<std::string> lines_with(const std::string& part) {
    std::vector<std::string> found;
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

bool has_text(const std::string& part) { return !lines_with(part).empty(); }

// The "Requesting interrupt affinity" lines of a card, in order, cut to what follows "MSI-X ".
std::vector<std::string> requests(const std::string& location) {
    std::vector<std::string> out;
    for (const std::string& line : lines_with(location + ": Requesting interrupt affinity for MSI-X ")) {
        out.push_back(line.substr(line.find("MSI-X ") + 6));
    }
    return out;
}

sim::machine::card_options card_on(ULONG bus, std::optional<USHORT> node) {
    sim::machine::card_options c;
    c.bus = bus;
    c.numa_node = node;
    return c;
}

struct AffinityTest : ::testing::Test {
    void TearDown() override { sim::kernel::clear_faults(); }
};

}  // namespace

TEST_F(AffinityTest, SeveralQueuesGoTwoToTheCardsNodeAndOneToEachProcessor) {
    sim::machine::Machine m(two_nodes_and_an_empty_one());
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    m.plug(card_on(3, 1));
    ASSERT_TRUE(m.started(0));
    EXPECT_TRUE(has_text("0000:03:00.0: BIOS affinity configuration found - setting to node 1\n"));
    const std::vector<std::string> expected = {
        "00: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x0000000000000004, NUMA Node=01\n",
        "01: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x0000000000000004, NUMA Node=01\n",
        "02: System Processor=0000, Group=00, Group Processor=00, Group Mask=0x0000000000000001, NUMA Node=00\n",
        "03: System Processor=0001, Group=00, Group Processor=01, Group Mask=0x0000000000000002, NUMA Node=00\n",
        "04: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x0000000000000004, NUMA Node=01\n",
        "05: System Processor=0003, Group=00, Group Processor=03, Group Mask=0x0000000000000008, NUMA Node=01\n",
    };
    EXPECT_EQ(requests("0000:03:00.0"), expected);
}

// With one queue, the card's own placement is requested for its one vector.
TEST_F(AffinityTest, TheAffinityParameterPlacesACardByNodeOrGroup) {
    struct placement_case {
        const char* parameter;
        const char* chosen;                  // the line that says how the placement was made
        std::vector<std::string> requested;  // the vector's requests
    };
    const placement_case cases[] = {
        {"3,N1",
         "0000:03:00.0: CPU affinity set by driver parameter.  NUMA node 0x1.\n",
         {"00: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x000000000000000c, NUMA Node=01\n",
          "00: System Processor=0003, Group=00, Group Processor=03, Group Mask=0x000000000000000c, NUMA Node=01\n"}},
        {"7,N0;0:3,G0,0xF",
         "0000:03:00.0: CPU affinity set by driver parameter.  NUMA group 0x0.\n",
         {"00: System Processor=0000, Group=00, Group Processor=00, Group Mask=0x000000000000000f, NUMA Node=00\n",
          "00: System Processor=0001, Group=00, Group Processor=01, Group Mask=0x000000000000000f, NUMA Node=00\n",
          "00: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x000000000000000f, NUMA Node=00\n",
          "00: System Processor=0003, Group=00, Group Processor=03, Group Mask=0x000000000000000f, NUMA Node=00\n"}},
        // No entry for bus 3: the system's node for the card.
        {"4,N0",
         "0000:03:00.0: BIOS affinity configuration found - setting to node 1\n",
         {"00: System Processor=0002, Group=00, Group Processor=02, Group Mask=0x0000000000000004, NUMA Node=01\n"}},
    };
    for (const placement_case& c : cases) {
        SCOPED_TRACE(c.parameter);
        sim::machine::Machine m(two_nodes_and_an_empty_one());
        sim::kernel::registry_set_string(parameters_key(), "PAV_AFFINITY", c.parameter);
        sim::kernel::registry_set_dword(parameters_key(), "ENABLE_MULTQ_AT_LOAD", 0);
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        m.plug(card_on(3, 1));
        ASSERT_TRUE(m.started(0));
        EXPECT_TRUE(has_text(c.chosen));
        EXPECT_EQ(requests("0000:03:00.0"), c.requested);
    }
}

TEST_F(AffinityTest, AnInvalidAffinityParameterDisablesManualPlacement) {
    sim::machine::Machine m(two_nodes_and_an_empty_one());
    sim::kernel::registry_set_string(parameters_key(), "PAV_AFFINITY", "3,N1,;");
    sim::kernel::registry_set_dword(parameters_key(), "ENABLE_MULTQ_AT_LOAD", 0);
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    m.plug(card_on(3, 0));
    ASSERT_TRUE(m.started(0));
    EXPECT_TRUE(has_text("06151 PAV_AFFINITY: Invalid mask\n"));
    EXPECT_TRUE(has_text("06153 Invalid PAV_AFFINITY parameter syntax at character 6"));
    EXPECT_FALSE(has_text("CPU affinity set by driver parameter"));
    EXPECT_TRUE(has_text("0000:03:00.0: BIOS affinity configuration found - setting to node 0\n"));
}

TEST_F(AffinityTest, CardsOfOneNodeTakeItsProcessorsInTurn) {
    sim::machine::Machine m(two_nodes_and_an_empty_one());
    sim::kernel::registry_set_dword(parameters_key(), "ENABLE_MULTQ_AT_LOAD", 0);
    ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
    for (ULONG bus = 3; bus < 6; bus++) {
        m.plug(card_on(bus, 1));
        ASSERT_TRUE(m.started(bus - 3));
    }
    auto processor_of = [](const std::string& location) {
        auto r = requests(location);
        return r.size() == 1 ? r[0].substr(0, r[0].find(", Group=")) : std::string("none");
    };
    EXPECT_EQ(processor_of("0000:03:00.0"), "00: System Processor=0002");
    EXPECT_EQ(processor_of("0000:04:00.0"), "00: System Processor=0003");
    EXPECT_EQ(processor_of("0000:05:00.0"), "00: System Processor=0002");
}

TEST_F(AffinityTest, UnknownOrEmptyNodesAndDisabledAffinity) {
    {
        SCOPED_TRACE("the system knows no node for the card");
        sim::machine::Machine m(two_nodes_and_an_empty_one());
        sim::kernel::registry_set_dword(parameters_key(), "ENABLE_MULTQ_AT_LOAD", 0);
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        m.plug(card_on(3, std::nullopt));
        ASSERT_TRUE(m.started(0));
        EXPECT_TRUE(has_text("0000:03:00.0: no affinity configuration found: it is recommended to use pav-config to "
                             "tune interrupt placement via PAV_AFFINITY for best performance.  Using NUMA node 0.\n"));
        EXPECT_EQ(requests("0000:03:00.0").size(), 1u);
    }
    {
        SCOPED_TRACE("the card's node has no processor");
        sim::machine::Machine m(two_nodes_and_an_empty_one());
        sim::kernel::registry_set_dword(parameters_key(), "ENABLE_MULTQ_AT_LOAD", 0);
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        m.plug(card_on(3, 2));
        ASSERT_TRUE(m.started(0));
        EXPECT_TRUE(has_text("0000:03:00.0: no active processors found.  Affinity is not being set.\n"));
        EXPECT_TRUE(requests("0000:03:00.0").empty());
    }
    {
        SCOPED_TRACE("WIN_DISABLE_ALL_AFFINITY");
        sim::machine::Machine m(two_nodes_and_an_empty_one());
        sim::kernel::registry_set_dword(parameters_key(), "WIN_DISABLE_ALL_AFFINITY", 1);
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        m.plug(card_on(3, 1));
        ASSERT_TRUE(m.started(0));
        EXPECT_TRUE(requests("0000:03:00.0").empty());
        // Once for the first interrupt descriptor: a refused placement leaves the plan where it was.
        EXPECT_FALSE(lines_with("0000:03:00.0: affinity not set for device because either WIN_DISABLE_ALL_AFFINITY "
                                "is set to 1,or WIN_DISABLE_DEFAULT_NUMA_AFFINITY is set to 1.\n")
                         .empty());
    }
}
