// The register-dump printer: into the card's buffer within its size, or to the debug log; and the
// print step that puts a taken dump into the log.

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/card/csr_dump.h"
#include "driver/platform/memory.h"
#include "sim/kernel/control.h"
#include "tests/support/csr_dump_decode.h"
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

// ---- The print step

namespace {

// A running card with a dump buffer of `size` bytes: its dumps wait for a service point.
struct dump_card {
    explicit dump_card(const char* name, ULONG size = 614400) : buffer(size) {
        std::strcpy(card.name, name);
        card.dump = {&card, buffer.data(), 0, size};
        card.start_flags = PAV_CARD_PIPELINE_RUNNING;
    }
    pipeline_device card{};
    std::vector<char> buffer;
};

// Sections of a given size: numbered lines of 60 characters, as repetitive as register text.
ULONG section_lines = 10;
void numbered_sections(pipeline_device* card, csr_dump_printer* printer, ULONG) {
    for (ULONG i = 0; i < section_lines; i++) {
        csr_dump_printf(printer, "pavinf %s: register %6u: 0x%08x 0x%08x 0x%08x\n", pav_card_name(card), i, i * 7,
                        i ^ 0x5A5A, 0u);
    }
}
constexpr card_ops numbered_ops = [] {
    card_ops ops = card_ops_defaults;
    ops.dump_sections = numbered_sections;
    return ops;
}();

std::string printed_text(const std::string& name, size_t nth = 0) {
    return csr_dump_decode::decompress(csr_dump_decode::find_block(sim::kernel::debug_texts(), name, nth).bytes);
}

}  // namespace

TEST_F(CsrDumpTest, Base64LinesCarry57BytesAndTheLastLineIsAlwaysLogged) {
    pipeline_device card{};
    std::strcpy(card.name, "dov2");
    struct base64_case {
        ULONG length;
        std::vector<size_t> line_sizes;
        const char* last_line;
    };
    std::vector<UCHAR> bytes(200);
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (UCHAR)(i * 37 + 11);
    }
    const base64_case cases[] = {
        {0, {0}, ""},
        {57, {76, 0}, ""},
        {114, {76, 76, 0}, ""},
        {115, {76, 76, 4}, nullptr},
        {116, {76, 76, 4}, nullptr},
        {3, {4}, nullptr},
    };
    for (const base64_case& c : cases) {
        sim::kernel::clear_debug_lines();
        csr_dump_base64(&card, bytes.data(), c.length);
        std::vector<std::string> lines = log();
        ASSERT_EQ(lines.size(), c.line_sizes.size()) << c.length;
        std::string text;
        for (size_t i = 0; i < lines.size(); i++) {
            ASSERT_EQ(lines[i].rfind("dov2: CSR DUMP: ", 0), 0u);
            std::string chunk = lines[i].substr(16, lines[i].size() - 17);
            EXPECT_EQ(chunk.size(), c.line_sizes[i]) << c.length << " line " << i;
            text += chunk;
        }
        bool ok = false;
        std::vector<uint8_t> decoded = csr_dump_decode::base64(text, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(decoded, std::vector<uint8_t>(bytes.begin(), bytes.begin() + c.length)) << c.length;
    }
    sim::kernel::clear_debug_lines();
    csr_dump_base64(&card, bytes.data(), 115);
    EXPECT_EQ(log().back().substr(log().back().size() - 3), "==\n");
    const UCHAR man[] = {'M', 'a', 'n'};
    sim::kernel::clear_debug_lines();
    csr_dump_base64(&card, man, 3);
    EXPECT_EQ(log(), std::vector<std::string>{"dov2: CSR DUMP: TWFu\n"});
}

TEST_F(CsrDumpTest, ATakenDumpIsPrintedOnceCompressedAndTheNextStartsAtTheBeginning) {
    dump_card c("dov4");
    c.card.ops = &numbered_ops;
    section_lines = 2000;
    csr_dump_request(&c.card, 1, "Failing channel.", 1);
    std::string taken(c.buffer.data(), c.card.dump.position);
    EXPECT_EQ(taken.rfind("pavinf dov4: ERROR Failing channel.\npavinf dov4: register      0:", 0), 0u);
    csr_dump_service(&c.card);
    csr_dump_service(&c.card);  // nothing left: printed once
    EXPECT_EQ(csr_dump_decode::printed_count(log(), "dov4"), 1u);
    csr_dump_decode::block b = csr_dump_decode::find_block(log(), "dov4");
    ASSERT_TRUE(b.found);
    EXPECT_TRUE(b.contiguous);
    EXPECT_EQ(csr_dump_decode::decompress(b.bytes), taken);
    EXPECT_LT(b.bytes.size(), taken.size() / 4);  // register text compresses well
    EXPECT_EQ(c.card.dump.position, 0u);
    EXPECT_EQ(c.card.dump_state, 0);
    EXPECT_EQ(sim::kernel::pool_outstanding("vml4").allocations, 0u);

    // The next request is taken from the start of the buffer, without a reason line.
    section_lines = 1;
    csr_dump_request(&c.card, 0, nullptr, 1);
    csr_dump_service(&c.card);
    EXPECT_EQ(printed_text("dov4", 1), "pavinf dov4: register      0: 0x00000000 0x00005a5a 0x00000000\n");
}

TEST_F(CsrDumpTest, ARequestWhileADumpWaitsIsRefusedAndTheFirstDumpIsKept) {
    dump_card c("dov5");
    csr_dump_request(&c.card, 1, "Poison Pkt detected from host.", 1);
    csr_dump_request(&c.card, 0, "second", 1);
    EXPECT_TRUE(logged("dov5: Ignoring CSR dump request: buffer unavailable.\n"));
    csr_dump_service(&c.card);
    EXPECT_EQ(printed_text("dov5"), "pavinf dov5: ERROR Poison Pkt detected from host.\n");
    // A card without a buffer refuses every request.
    dump_card none("dov6", 16);
    none.card.dump.buffer = nullptr;
    none.card.dump.size = 0;
    csr_dump_request(&none.card, 0, "x", 1);
    EXPECT_TRUE(logged("dov6: Ignoring CSR dump request: buffer unavailable.\n"));
    EXPECT_EQ(none.card.dump_state, 0);
}

TEST_F(CsrDumpTest, ADumpLargerThanItsBufferSaysSoOnceAndPrintsWhatFitted) {
    dump_card c("dov7", 4096);
    c.card.ops = &numbered_ops;
    section_lines = 500;
    csr_dump_request(&c.card, 1, "Failing channel.", 1);
    EXPECT_EQ(c.card.dump.position, 4096u);
    size_t insufficient = 0;
    for (const std::string& line : log()) {
        insufficient += line == "dov7: Insufficient CSR dump buffer - partial dump following\n" ? 1 : 0;
    }
    EXPECT_EQ(insufficient, 1u);
    csr_dump_service(&c.card);
    std::string text = printed_text("dov7");
    EXPECT_EQ(text.size(), 4096u);
    EXPECT_EQ(text.rfind("pavinf dov7: ERROR Failing channel.\n", 0), 0u);
}

// Without memory for the compressed copy the text itself is printed, and the dump is done: the
// next request is taken.
TEST_F(CsrDumpTest, WithoutMemoryForTheCopyTheTextIsPrintedUncompressed) {
    dump_card c("dov8");
    csr_dump_request(&c.card, 1, "Failing channel.", 1);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1, "vml4");
    csr_dump_service(&c.card);
    sim::kernel::clear_faults();
    EXPECT_TRUE(logged("dov8: Allocation for CSR dump buffer failed\n"));
    csr_dump_decode::block b = csr_dump_decode::find_block(log(), "dov8");
    ASSERT_TRUE(b.found);
    EXPECT_EQ(std::string(b.bytes.begin(), b.bytes.end()), "pavinf dov8: ERROR Failing channel.\n");
    EXPECT_EQ(c.card.dump_state, 0);
    csr_dump_request(&c.card, 0, "again", 1);
    EXPECT_FALSE(logged("dov8: Ignoring CSR dump request: buffer unavailable.\n"));
}

// Two cards print at the same time: each block is whole, the second follows the first, and a card
// that found the print busy keeps its copy for its next service point.
TEST_F(CsrDumpTest, TwoCardsPrintingAtOnceNeverInterleave) {
    dump_card a("dov1");
    dump_card b("dov2");
    a.card.ops = &numbered_ops;
    b.card.ops = &numbered_ops;
    section_lines = 8000;  // about half a megabyte of text, some thousand Base64 lines
    bool busy_seen = false;
    for (int round = 0; round < 6 && !HasFailure(); round++) {
        sim::kernel::clear_debug_lines();
        csr_dump_request(&a.card, 1, "Failing channel.", 1);
        csr_dump_request(&b.card, 1, "Failing channel.", 1);
        std::atomic<bool> go{false};
        auto service = [&go](pipeline_device* card) {
            while (!go.load()) {
            }
            while ((ReadAcquire(&card->dump_state) & 1) != 0) {
                csr_dump_service(card);
            }
        };
        std::thread ta(service, &a.card);
        std::thread tb([&] {
            while (!go.load()) {
            }
            csr_dump_service(&b.card);
            busy_seen = busy_seen || (ReadAcquire(&b.card.dump_state) & 4) != 0;
            while ((ReadAcquire(&b.card.dump_state) & 1) != 0) {
                csr_dump_service(&b.card);
            }
        });
        go = true;
        ta.join();
        tb.join();
        for (const char* name : {"dov1", "dov2"}) {
            csr_dump_decode::block blk = csr_dump_decode::find_block(log(), name);
            ASSERT_TRUE(blk.found) << name;
            EXPECT_TRUE(blk.contiguous) << name;
            EXPECT_EQ(csr_dump_decode::decompress(blk.bytes).rfind(std::string("pavinf ") + name + ": ERROR", 0), 0u);
        }
    }
    EXPECT_EQ(sim::kernel::pool_outstanding("vml4").allocations, 0u);
    if (!busy_seen) {
        GTEST_LOG_(INFO) << "the second card never found the print busy in these rounds";
    }
}

TEST_F(CsrDumpTest, FreeingTheBufferPrintsTheDumpStillWaiting) {
    auto* c = new dump_card("dov9");
    std::vector<char> owned = std::move(c->buffer);
    // The buffer is the driver's: csr_dump_free gives it back to pool.
    c->card.dump.buffer = (char*)kpav_alloc(614400, KPAV_TAG_VML);
    csr_dump_request(&c->card, 1, "Failing channel.", 1);
    csr_dump_free(&c->card);
    EXPECT_EQ(printed_text("dov9"), "pavinf dov9: ERROR Failing channel.\n");
    EXPECT_EQ(c->card.dump.buffer, nullptr);
    EXPECT_EQ(sim::kernel::pool_outstanding("vml4").allocations, 0u);
    delete c;
}

TEST_F(CsrDumpTest, HexBlocksPrintTheirItemsALineAtATime) {
    pipeline_device card{};
    char buffer[2048];
    csr_dump_printer printer{&card, buffer, 0, sizeof buffer};
    const UCHAR bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    csr_dump_hex_bytes(&printer, bytes, 10, 4, " %02x", "[%u]", "%s:", "dov1");
    EXPECT_EQ(std::string(buffer, printer.position),
              "pavinf dov1:[0] 00 01 02 03\npavinf dov1:[4] 04 05 06 07\npavinf dov1:[8] 08 09\n");
    printer.position = 0;
    csr_dump_hex_bytes(&printer, bytes, 10, 4, " %x", "%p:", nullptr);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "pavinf %016llX: 0 1 2 3\npavinf %016llX: 4 5 6 7\npavinf %016llX: 8 9\n",
                  (unsigned long long)(ULONG_PTR)&bytes[0], (unsigned long long)(ULONG_PTR)&bytes[4],
                  (unsigned long long)(ULONG_PTR)&bytes[8]);
    EXPECT_EQ(std::string(buffer, printer.position), expected);
    printer.position = 0;
    const ULONG words[3] = {0xDEADBEEF, 1, 2};
    csr_dump_hex_dwords(&printer, words, 3, 0, " %08x", nullptr, "%s: %21s", "dov1", "nce trace: 0001 0000:");
    EXPECT_EQ(std::string(buffer, printer.position), "pavinf dov1: nce trace: 0001 0000: deadbeef 00000001 00000002\n");
    printer.position = 0;
    csr_dump_hex_dwords(&printer, words, 0, 4, " %08x", nullptr, nullptr);
    EXPECT_EQ(printer.position, 0u);
}

// A card whose pipeline does not run (minimal mode) has no service point: its dump is printed as
// it is taken. A crash's dump is never printed: the system takes the buffer.
TEST_F(CsrDumpTest, ACardWithoutARunningPipelinePrintsItsDumpAtOnce) {
    dump_card c("dov3");
    c.card.start_flags = 0;
    csr_dump_request(&c.card, 1, "Failing channel.", 1);
    EXPECT_EQ(printed_text("dov3"), "pavinf dov3: ERROR Failing channel.\n");
    EXPECT_EQ(c.card.dump_state, 0);
    csr_dump_request(&c.card, 0, "crash banner", 0);
    EXPECT_EQ(csr_dump_decode::printed_count(log(), "dov3"), 1u);
    EXPECT_EQ(std::string(c.buffer.data(), c.card.dump.position), "pavinf dov3: crash banner\n");
}
