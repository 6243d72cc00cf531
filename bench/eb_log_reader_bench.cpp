// The log reader streaming a chain of three LEBs written to the card model (through the channel's
// read requests, the card's page reads and DMA), entry by entry, beside a memcpy of the same
// bytes. "ratio" is reader time / memcpy time; "media_MBps" the reader's rate of media bytes.
//
// Its fixture boots a machine of its own and leaves nothing behind; it runs before the forward
// map's benchmarks, which keep their machine to the end of the program (file order).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "driver/log/log_file.h"
#include "tests/driver/log/media_fixture.h"

namespace {

using steady = std::chrono::steady_clock;
constexpr ULONG packets_per_leb = 3000;

// The store's media fixture outside a test: a machine, the card model and a log with its LEBs.
class ReaderRig : public StoreMediaTest {
  public:
    void TestBody() override {}
    bool up() {
        SetUp();
        if (HasFatalFailure()) return false;
        for (USHORT leb = 2; leb < 5; leb++) {
            leb_image image = take_leb(leb);
            for (ULONG k = 0; k < packets_per_leb; k++) put_packet(image, 0x90, 100000ull * leb + k, (UCHAR)k);
            program(image);
            bytes += image.at - head();
        }
        return !HasFatalFailure() && log_file_create(&reader, &log_) == 0;
    }
    void down() {
        log_file_destroy(reader);
        TearDown();
    }
    // One pass over the chain: the entries read.
    ULONG walk() {
        ULONG entries = 0;
        if (log_file_open(reader, nullptr, LOG_FILE_FORWARD, LOG_FILE_NO_LIMIT) != 0) return 0;
        UCHAR opcode;
        while (log_file_next_entry(reader, &opcode) == 0 && log_entry_skip(reader, opcode) == 0) entries++;
        return entries;
    }

    log_file* reader = nullptr;
    ULONG64 bytes = 0;
};

void BM_LogReaderStream(benchmark::State& state) {
    ReaderRig rig;
    if (!rig.up()) {
        state.SkipWithError("the card fixture did not start");
        rig.down();
        return;
    }
    std::vector<UCHAR> source(rig.bytes, 0x5A);
    std::vector<UCHAR> dest(rig.bytes);
    double reader_ns = 0;
    double memcpy_ns = 0;
    ULONG entries = 0;
    for (auto _ : state) {
        auto t0 = steady::now();
        entries = rig.walk();
        auto t1 = steady::now();
        std::memcpy(dest.data(), source.data(), source.size());
        benchmark::DoNotOptimize(dest.data());
        auto t2 = steady::now();
        reader_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        memcpy_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    if (entries != 3 * packets_per_leb) {
        state.SkipWithError("the reader did not walk every packet");
    }
    double iterations = (double)state.iterations();
    state.counters["media_MBps"] = reader_ns > 0 ? (double)rig.bytes * iterations / reader_ns * 1e3 : 0;
    state.counters["memcpy_MBps"] = memcpy_ns > 0 ? (double)rig.bytes * iterations / memcpy_ns * 1e3 : 0;
    state.counters["ratio"] = memcpy_ns > 0 ? reader_ns / memcpy_ns : 0;
    state.SetBytesProcessed((int64_t)(rig.bytes * state.iterations()));
    rig.down();
}
BENCHMARK(BM_LogReaderStream)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
