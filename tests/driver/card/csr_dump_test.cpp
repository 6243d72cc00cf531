// The register-dump printer: into the card's buffer within its size, or to the debug log.

#include <cstring>
#include <string>

#include "driver/card/csr_dump.h"
#include "tests/support/kernel_fixture.h"

class CsrDumpTest : public KernelTest {};

TEST_F(CsrDumpTest, WithoutAPrinterLinesGoToTheDebugLog) {
    csr_dump_printf(nullptr, "pavinf %s CPU completion queues:\n", "dov1");
    EXPECT_TRUE(logged("pavinf dov1 CPU completion queues:\n"));
}

TEST_F(CsrDumpTest, LinesAreAppendedUntilTheBufferIsFull) {
    pipeline_device card{};
    std::strcpy(card.name, "dov3");
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    csr_dump_printer printer{&card, buffer, 0, sizeof buffer};

    csr_dump_printf(&printer, "%s\n", "0123456789");
    EXPECT_EQ(printer.position, 11u);
    csr_dump_printf(&printer, "%d", 1234);  // exactly fills the text room (the NUL takes the last byte)
    EXPECT_EQ(printer.position, 15u);
    EXPECT_STREQ(buffer, "0123456789\n1234");
    EXPECT_TRUE(log().empty());

    printer.position = 11;
    csr_dump_printf(&printer, "abcdef");  // does not fit: cut, and the rest of the dump is dropped
    EXPECT_EQ(printer.position, 16u);
    EXPECT_STREQ(buffer, "0123456789\nabcd");
    csr_dump_printf(&printer, "more");
    EXPECT_EQ(printer.position, 16u);
    EXPECT_EQ(log(), (std::vector<std::string>{"dov3: Insufficient CSR dump buffer - partial dump following\n"}));
}

TEST_F(CsrDumpTest, ACardWithoutANameIsReportedAsUnnamed) {
    pipeline_device card{};
    char buffer[4];
    csr_dump_printer printer{&card, buffer, 0, sizeof buffer};
    csr_dump_printf(&printer, "too long");
    EXPECT_EQ(log(), (std::vector<std::string>{"dov??: Insufficient CSR dump buffer - partial dump following\n"}));
}
