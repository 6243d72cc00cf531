// Completion rings and MSI-X through registers, host memory and the stand-in's interrupt
// connection: the arm / acknowledge / re-trigger protocol, polled rings, held writes, the
// capacity margin and records across the ring's end, event masks and the interrupt status.

#include <gtest/gtest.h>

#include "sim/kernel/irql.h"
#include <thread>

#include "sim/card/reports.h"
#include "sim/kernel/dpc.h"
#include "sim/kernel/processors.h"
#include "tests/sim/card/card_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::cq;
using card_test::nand;
using card_test::lenient;
using sim::card::CardConfig;

namespace {

// Posts the event word `word` (low byte 98 is one the host ignores) to ring q.
void post(CardHost& h, unsigned q, uint32_t word = 98) {
    h.card.inject("event", "word=" + std::to_string(word) + " ring=" + std::to_string(q));
}

using Completion = CardTest;

TEST_F(Completion, ArmAcknowledgeAndRetriggerDecideEachSignal) {
    CardHost& h = make_host(lenient());
    h.start(2);
    h.connect_interrupts();
    EXPECT_TRUE(h.card.msix_enabled());

    // Each step, then the number of messages ring 1 has had in all.
    struct step {
        const char* what;
        std::function<void(CardHost&)> action;
        uint32_t interrupts;
    };
    const step steps[] = {
        {"a word on an armed ring signals", [](CardHost& h) { post(h, 1); }, 1},
        {"a second word before the acknowledge does not", [](CardHost& h) { post(h, 1); }, 1},
        {"acknowledging one word of two re-arms and signals at once",
         [](CardHost& h) { h.write(cq(1, 0x028), 1); }, 2},
        {"stay-masked acknowledge of the rest", [](CardHost& h) { h.write(cq(1, 0x028), 0x80000001); }, 2},
        {"a word while masked", [](CardHost& h) { post(h, 1); }, 2},
        {"re-trigger with words pending", [](CardHost& h) { h.write(cq(1, 0x064), 1); }, 3},
        {"re-arm with the word still pending", [](CardHost& h) { h.write(cq(1, 0x028), 0); }, 4},
        {"hold the ring, acknowledge and re-arm", [](CardHost& h) {
             h.write(cq(1, 0x014), 1);
             h.write(cq(1, 0x028), 1);
         }, 4},
        {"a word while held", [](CardHost& h) { post(h, 1); }, 4},
        {"releasing the hold signals", [](CardHost& h) { h.write(cq(1, 0x014), 0); }, 5},
        {"re-trigger with nothing pending", [](CardHost& h) {
             h.write(cq(1, 0x028), 1);
             h.write(cq(1, 0x064), 1);
         }, 5},
    };
    for (const step& s : steps) {
        s.action(h);
        ASSERT_TRUE(h.wait_interrupts(1, s.interrupts)) << s.what;
        h.card.wait_idle();
        EXPECT_EQ(h.interrupts(1), s.interrupts) << s.what;
    }
    EXPECT_EQ(h.interrupts(0), 0u);
    EXPECT_EQ(h.card.counters().msix_signals[1], 5u);
    EXPECT_EQ(h.last_irql(1), SIM_DEVICE_LEVEL);
    EXPECT_EQ(h.last_processor(1), 1u) << "message 1 targets processor 1";
    EXPECT_EQ(h.read(cq(1, 0x00C)), 4u);
    EXPECT_EQ(h.read(cq(1, 0x058)), 4u);
}

TEST_F(Completion, PolledRingsTakeWordsWithoutSignalsAndDisabledWritesWait) {
    CardHost& h = make_host(lenient());
    h.start(1, false);  // state 2, hold 1: the host polls
    h.connect_interrupts();
    post(h, 0, 0x1234562D);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{0x1234562D}));
    EXPECT_EQ(h.interrupts(0), 0u);

    h.write(cq(0, 0x010), 0);  // writes disabled: words wait in the card
    post(h, 0, 0x2D);
    EXPECT_EQ(h.word(0, 1), card_test::empty_word);
    EXPECT_EQ(h.read(cq(0, 0x060)) & 4, 4u) << "reports queued";
    h.write(cq(0, 0x010), 1);
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{0x2D}));

    h.write(cq(0, 0x000), 1);  // interrupt mode, still held
    post(h, 0, 0x2D);
    EXPECT_EQ(h.read(cq(0, 0x060)) & 3, 3u) << "armed, held back by the hold bit";
    h.write(cq(0, 0x014), 0);
    EXPECT_TRUE(h.wait_interrupts(0, 1));
}

TEST_F(Completion, RecordsAreWholeAndTheCardKeepsItsMarginAcrossTheEnd) {
    CardHost& h = make_host(lenient());
    h.start(1, false);
    // Records of 1000 body words: 1002 words each with the first word and terminator.
    std::string body = "[";
    for (int i = 0; i < 1000; i++) {
        body += std::to_string(i) + (i + 1 < 1000 ? "," : "]");
    }
    const uint32_t size = 1002;
    const uint32_t limit = card_test::cq_words - 128;
    uint32_t fits = limit / size;
    for (uint32_t i = 0; i < fits + 1; i++) {
        h.card.inject("event", "word=102 record=" + body);
    }
    EXPECT_EQ(h.read(cq(0, 0x05C)), fits * size) << "the last record waits for room";
    EXPECT_EQ(h.read(cq(0, 0x060)) & 4, 4u);

    // Consume everything without looking, acknowledge: the waiting record goes in across the
    // ring's end, its body first.
    auto words = h.drain(0);
    ASSERT_EQ(words.size(), fits * size);
    EXPECT_EQ(words[0], 102u);
    EXPECT_EQ(words[size - 1], sim::card::record_terminator);
    uint32_t start = fits * size;
    ASSERT_GT(start + size, card_test::cq_words) << "the record wraps";
    EXPECT_EQ(h.word(0, start), 102u);
    EXPECT_EQ(h.word(0, start + 1), 0u);
    EXPECT_EQ(h.word(0, start + size - 1), sim::card::record_terminator);
    auto last = h.drain(0);
    EXPECT_EQ(last.size(), size);
    EXPECT_EQ(h.read(cq(0, 0x00C)), (start + size) % card_test::cq_words);
}

TEST_F(Completion, UnprogrammedRingsFallBackToRingZeroAndOverrunsAreClamped) {
    CardHost& h = make_host(lenient());
    h.start(2, false);
    post(h, 3, 0x112D);  // ring 3 was never programmed
    EXPECT_EQ(h.drain(0, false), (std::vector<uint32_t>{0x112D}));
    h.write(cq(0, 0x028), 5);
    ASSERT_EQ(h.card.protocol_faults().size(), 1u);
    EXPECT_EQ(h.card.protocol_faults()[0].code, "ack_overrun");
    EXPECT_EQ(h.read(cq(0, 0x058)), 1u);

    h.write(cq(0, 0x008), 0x80000000);  // ring reset
    EXPECT_EQ(h.read(cq(0, 0x000)), 0u);
    EXPECT_EQ(h.read(cq(0, 0x00C)), 0u);
    EXPECT_EQ(h.read(cq(0, 0x058)), 0u);
}

TEST_F(Completion, DroppedSignalsAreRecoveredByTheRetrigger) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.connect_interrupts();
    h.card.inject("drop_interrupt", "ring=0");
    post(h, 0);
    h.card.wait_idle();
    EXPECT_EQ(h.word(0, 0), 98u);
    EXPECT_EQ(h.interrupts(0), 0u);
    h.write(cq(0, 0x064), 1);
    EXPECT_TRUE(h.wait_interrupts(0, 1));
}

TEST_F(Completion, EventMasksDropOnlyTheirEvents) {
    struct mask_case {
        uint32_t mask;
        uint32_t word;
        bool posted;
    };
    // The masked environment event comes last: it waits for its mask bit (the next test).
    const mask_case cases[] = {
        {0x2000000, 95, false}, {0x8000000, 100 | 0x400, false}, {0x400000, 94, true},
        {0x1000000, 95, true},  {0xFFFFFFFF, 105, true},         {0x1000000, 94 | 0x100, false},
    };
    CardHost& h = make_host(lenient());
    h.start(1, false);
    uint64_t masked = 0;
    for (const mask_case& c : cases) {
        h.write(nand(8196), c.mask);
        post(h, 0, c.word);
        auto words = h.drain(0);
        EXPECT_EQ(words.size(), c.posted ? 1u : 0u) << std::hex << c.word << " mask " << c.mask;
        masked += c.posted ? 0 : 1;
    }
    EXPECT_EQ(h.card.counters().events_masked, masked);
}

TEST_F(Completion, MaskedEnvironmentEventsWaitForTheirMaskBitAndAResetDropsThem) {
    CardHost& h = make_host(lenient());
    h.start(1, false);
    h.write(nand(8196), 0x1000000);
    post(h, 0, 94 | 0x100);
    post(h, 0, 94 | 0x2000);
    post(h, 0, 95);  // not the environment's: passes
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{95}));
    h.write(nand(8196), 0x2000000);  // another bit masked, the environment's cleared: one event
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{94 | 0x2100}));
    h.write(nand(8196), 0);
    EXPECT_TRUE(h.drain(0).empty()) << "posted once";

    h.write(nand(8196), 0x1000000);
    post(h, 0, 94 | 0x400);
    uint64_t posted = h.card.counters().events_posted;
    h.write(nand(4096), 0xFFFFFFFF);  // the channel reset
    h.write(nand(8196), 0);
    EXPECT_EQ(h.card.counters().events_posted, posted);
}

TEST_F(Completion, EventRecordsAreWrittenAsGivenForTheDecoderPaths) {
    CardHost& h = make_host(lenient());
    h.start(1, false);
    h.card.inject("event", "word=0x2C record=[1,2,3,4,5,6]");
    h.card.inject("event", "word=0x68 record=[7,0] no_terminator");
    h.card.inject("event", "word=0x69 record=[7,0] bad_terminator");
    EXPECT_EQ(h.drain(0), (std::vector<uint32_t>{0x2C, 1, 2, 3, 4, 5, 6, 0x00C0FFEE, 0x68, 7, 0, 0x69, 7, 0,
                                                 0x0BADC0DE}));
}

TEST_F(Completion, InterruptStatusDescribesRingZero) {
    CardHost& h = make_host(lenient());
    h.start(1, false);
    EXPECT_EQ(h.read(0xA040), 1u << 10) << "nothing pending";
    post(h, 0);
    post(h, 0);
    h.write(cq(0, 0x028), 0x80000000);  // disarmed with words pending
    EXPECT_EQ(h.read(0xA040), 1u | 8u << 16);
    h.card.inject("intr_status", "value=0x12345678 times=always");
    EXPECT_EQ(h.read(0xA040), 0x12345678u);
    h.write(0xA040, 3);  // a pad group count, kept apart
    EXPECT_EQ(h.read(0xA040), 0x12345678u);
}

TEST_F(Completion, MaskedMessagesWaitInThePendingBits) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.connect_interrupts();
    h.write(0xF00C, 1);  // mask entry 0
    post(h, 0);
    h.card.wait_idle();
    EXPECT_EQ(h.read(0xF800), 1u);
    EXPECT_EQ(h.interrupts(0), 0u);
    h.write(0xF00C, 0);
    EXPECT_TRUE(h.wait_interrupts(0, 1));
    EXPECT_EQ(h.read(0xF800), 0u);

    // The function mask in configuration space works the same way.
    ULONG control = h.card.config_read(0x52, 2);
    h.card.config_write(0x52, 2, control | 0x4000);
    h.write(cq(0, 0x028), 1);
    post(h, 0);
    h.card.wait_idle();
    EXPECT_EQ(h.interrupts(0), 1u);
    h.card.config_write(0x52, 2, control & ~0x4000u);
    EXPECT_TRUE(h.wait_interrupts(0, 2));
}

// A service routine that queues a DPC, as the driver's does: the DPC runs at DISPATCH_LEVEL on
// the processor the message targeted, on the host thread that ran the service routine.
struct dpc_probe {
    KDPC dpc;
    std::atomic<int> runs{0};
    std::atomic<ULONG> processor{99};
    std::atomic<KIRQL> irql{0};
    std::atomic<KIRQL> isr_irql{0};
    std::atomic<std::thread::id> isr_thread{};
    std::atomic<std::thread::id> dpc_thread{};
};

void probe_dpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* p = (dpc_probe*)context;
    p->processor = KeGetCurrentProcessorNumber();
    p->irql = KeGetCurrentIrql();
    p->dpc_thread = std::this_thread::get_id();
    p->runs++;
}

BOOLEAN probe_isr(PKINTERRUPT, PVOID context, ULONG) {
    auto* p = (dpc_probe*)context;
    p->isr_irql = KeGetCurrentIrql();
    p->isr_thread = std::this_thread::get_id();
    KeInsertQueueDpc(&p->dpc, nullptr, nullptr);
    return TRUE;
}

TEST_F(Completion, MessagesReachTheirTargetProcessorAndStrayOnceDisconnected) {
    CardHost& h = make_host(lenient());
    h.start(3);
    sim::kernel::msi_set_target(h.card.device_object(), 2, 3);
    dpc_probe probe;
    KeInitializeDpc(&probe.dpc, probe_dpc, &probe);
    PIO_INTERRUPT_MESSAGE_INFO table = nullptr;
    IO_CONNECT_INTERRUPT_PARAMETERS p{};
    p.Version = CONNECT_MESSAGE_BASED;
    p.MessageBased.PhysicalDeviceObject = h.card.device_object();
    p.MessageBased.ConnectionContext.InterruptMessageTable = &table;
    p.MessageBased.MessageServiceRoutine = probe_isr;
    p.MessageBased.ServiceContext = &probe;
    ASSERT_EQ(IoConnectInterruptEx(&p), STATUS_SUCCESS);
    EXPECT_EQ(IoConnectInterruptEx(&p), STATUS_INVALID_DEVICE_STATE) << "connected once";
    ASSERT_EQ(table->MessageCount, 16u);
    EXPECT_EQ(table->MessageInfo[2].TargetProcessorSet, (KAFFINITY)1 << 3);
    EXPECT_EQ(table->MessageInfo[2].Irql, SIM_DEVICE_LEVEL);
    EXPECT_EQ(h.read(0xF020), (uint32_t)table->MessageInfo[2].MessageAddress.QuadPart) << "the table is programmed";
    EXPECT_EQ(h.read(0xF028), table->MessageInfo[2].MessageData);

    post(h, 2);
    for (int i = 0; i < 5000 && probe.runs.load() == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_EQ(probe.processor.load(), 3u);
    EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
    EXPECT_EQ(probe.isr_irql.load(), SIM_DEVICE_LEVEL);
    EXPECT_EQ(probe.dpc_thread.load(), probe.isr_thread.load()) << "no thread switch from the interrupt to its DPC";

    IO_DISCONNECT_INTERRUPT_PARAMETERS d{};
    d.Version = CONNECT_MESSAGE_BASED;
    d.ConnectionContext.InterruptMessageTable = table;
    IoDisconnectInterruptEx(&d);
    ULONG strays = sim::kernel::msi_stray_messages();
    h.write(cq(2, 0x028), 1);
    post(h, 2);
    h.card.wait_idle();
    EXPECT_EQ(sim::kernel::msi_stray_messages(), strays + 1);
    KeFlushQueuedDpcs();
}

}  // namespace
