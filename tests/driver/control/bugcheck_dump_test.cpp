// A card's data in a crash dump: the build banner and the card's identity, or its register
// dump; and the register-dump request itself.

#include <string>

#include "driver/control/bugcheck_dump.h"
#include "driver/card/csr_dump.h"
#include "driver/card/pipeline_device.h"
#include "driver/platform/format.h"
#include "driver/platform/params.h"
#include "driver/platform/version.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class BugcheckDumpTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        saved_enable_ = win_bugcheck_enable_csr_dump;
        card_ = {};
        kpav_snprintf(card_.name, sizeof card_.name, "dov%d", 3);
        card_.card_number = 3;
        card_.pci_domain = 0;
        card_.pci_bus = 0x5;
        card_.pci_device = 0x1f;
        card_.pci_function = 2;
    }
    void TearDown() override {
        kpav_deregister_bugcheck_callback(&record_);
        win_bugcheck_enable_csr_dump = saved_enable_;
        KernelTest::TearDown();
    }
    static std::string text_of(const secondary_dump& d) { return std::string(d.data.begin(), d.data.end()); }
    // The banner with its build date and time ("Dec 10 2026 14:05:09") replaced by "<built>".
    static std::string banner(const std::string& device_line, const std::string& fw_line) {
        return std::string("Corvane Zelt v ") + pav_version_string + "\r\nBuilt on <built>\r\n" + device_line + "\r\n" +
               fw_line + "\r\n";
    }
    static std::string with_build_time_hidden(std::string text) {
        size_t at = text.find("Built on ");
        if (at != std::string::npos && text.size() >= at + 29 && text[at + 9 + 14] == ':' && text[at + 9 + 17] == ':') {
            text.replace(at + 9, 20, "<built>");
        }
        return text;
    }

    pipeline_device card_;
    kpav_bugcheck_record record_{};
    LONG saved_enable_ = 1;
};

TEST_F(BugcheckDumpTest, BannerNamesTheBuildTheCardAndItsFirmware) {
    win_bugcheck_enable_csr_dump = 0;
    card_.fw_version_read = TRUE;
    card_.fw_major = 1;
    card_.fw_minor = 2;
    card_.fw_micro = 30;
    card_.fw_build = 4000;
    GUID before = kpav_bugcheck_dump_guid;
    kpav_register_bugcheck_callback(&record_, &card_);
    ASSERT_TRUE(record_.registered);
    EXPECT_EQ(record_.dump_guid.Data3, before.Data3);
    EXPECT_EQ(kpav_bugcheck_dump_guid.Data3, (USHORT)(before.Data3 + 1));  // the next card's differs

    auto dumps = collect_secondary_dumps(4096);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].component, "strovane");
    EXPECT_EQ(dumps[0].guid.Data1, before.Data1);
    EXPECT_EQ(dumps[0].guid.Data3, before.Data3);
    EXPECT_EQ(with_build_time_hidden(text_of(dumps[0])),
              banner("Device dov3 at 0000:05:1f.2", "FW version: 1.2.30.4000"));
}

TEST_F(BugcheckDumpTest, UnnamedCardWithoutFirmwareAndSmallAllowance) {
    win_bugcheck_enable_csr_dump = 0;
    card_.name[0] = 0;
    kpav_register_bugcheck_callback(&record_, &card_);
    auto dumps = collect_secondary_dumps(4096);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(with_build_time_hidden(text_of(dumps[0])), banner("Device dov?? at 0000:05:1f.2", "FW version: UNAVAILABLE"));
    // The system may allow less than the banner: the data is cut to what it allows.
    dumps = collect_secondary_dumps(20);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(text_of(dumps[0]), std::string("Corvane Zelt v ") + std::string(pav_version_string).substr(0, 5));
}

TEST_F(BugcheckDumpTest, RegisterDumpCarriesTheBannerAsItsReason) {
    win_bugcheck_enable_csr_dump = 1;
    char buffer[1024];
    card_.dump = {&card_, buffer, 0, sizeof buffer};
    static int sections_printed;
    sections_printed = 0;
    static constexpr card_ops diagnostics = [] {
        card_ops ops = card_ops_defaults;
        ops.dump_sections = [](pipeline_device*, csr_dump_printer* printer, ULONG) {
            sections_printed++;
            csr_dump_printf(printer, "pavinf dov3: registers\n");
        };
        return ops;
    }();
    card_.ops = &diagnostics;
    kpav_register_bugcheck_callback(&record_, &card_);
    auto stop = expect_bug_check(0xA0000000, [] { KeBugCheckEx(0xA0000000, 0, 0, 7, 0); });
    card_.ops = &card_ops_defaults;
    EXPECT_EQ(sections_printed, 1);
    std::string dumped(buffer, card_.dump.position);
    EXPECT_EQ(with_build_time_hidden(dumped), "pavinf dov3: " + banner("Device dov3 at 0000:05:1f.2", "FW version: UNAVAILABLE") +
                                                  "\npavinf dov3: registers\n");
    EXPECT_NE(std::string(stop.what()).find("pavinf dov3: registers"), std::string::npos);
    EXPECT_TRUE(InterlockedBitTestAndReset(&card_.dump_state, PAV_DUMP_TAKEN_BIT));
}

TEST_F(BugcheckDumpTest, RegistrationFailureIsLogged) {
    fail_nth(fault_site::bugcheck_callback, 1);
    kpav_register_bugcheck_callback(&record_, &card_);
    EXPECT_FALSE(record_.registered);
    EXPECT_EQ(log(), std::vector<std::string>{"pavwrn dov3: Unable to register bugcheck callback\r\n"});
    EXPECT_TRUE(collect_secondary_dumps().empty());
}

TEST_F(BugcheckDumpTest, DumpRequestIsTakenOnceAndNeedsABuffer) {
    csr_dump_request(&card_, 0, "no buffer", 0);
    EXPECT_EQ(card_.dump_state, 0);  // the in-progress mark is given back
    char buffer[256];
    card_.dump = {&card_, buffer, 0, sizeof buffer};
    csr_dump_request(&card_, 1, "Failing channel.", 0);
    EXPECT_EQ(std::string(buffer, card_.dump.position), "pavinf dov3: ERROR Failing channel.\n");
    csr_dump_request(&card_, 0, "again", 0);  // the first dump is kept until it is printed
    EXPECT_EQ(card_.dump.position, 36u);
    std::vector<std::string> expected(2, "dov3: Ignoring CSR dump request: buffer unavailable.\n");
    EXPECT_EQ(log(), expected);
}
