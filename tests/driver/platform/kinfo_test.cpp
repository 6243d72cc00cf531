// The kinfo tree as the control interface reaches it: every node type read and written through
// kinfo_user_access with the record and a user data area, the refusals, listings, and the tree's
// own building and removal.

#include <sys/mman.h>

#include <string>
#include <vector>

#include "driver/platform/kinfo.h"
#include "driver/platform/version.h"
#include "tests/driver/platform/kinfo_query.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

// A show that prints statistics and clears them as it reads them, as the devstats nodes do.
struct counters {
    ULONG reads = 0;
    ULONG renders = 0;
};

int show_and_clear(void* priv, ULONG direction, kinfo_seq* seq) {
    EXPECT_EQ(direction, KINFO_READ);
    auto* c = (counters*)priv;
    c->renders++;
    kinfo_seq_printf(seq, "reads %u\n", c->reads);
    kinfo_seq_printf(seq, "%s\n", "second line");
    if (!kinfo_seq_measure_only(seq)) {
        c->reads = 0;
    }
    return 0;
}

int show_long(void* priv, ULONG, kinfo_seq* seq) {
    for (int i = 0; i < *(int*)priv; i++) {
        kinfo_seq_printf(seq, "line %05d of a text longer than the first buffer\n", i);
    }
    return 0;
}

// A sequence of ints; a negative element makes its show fail.
struct int_sequence {
    std::vector<int> items;
    int stops = 0;
    void* stopped_at = (void*)1;
};

void* seq_start(void* priv, ULONG64* position, kinfo_seq*) {
    auto* s = (int_sequence*)priv;
    return *position < s->items.size() ? &s->items[*position] : nullptr;
}

void* seq_next(void* priv, void*, ULONG64* position) {
    auto* s = (int_sequence*)priv;
    ++*position;
    return *position < s->items.size() ? &s->items[*position] : nullptr;
}

void seq_stop(void* priv, void* element) {
    auto* s = (int_sequence*)priv;
    s->stops++;
    s->stopped_at = element;
}

int seq_show(void*, void* element, kinfo_seq* seq) {
    int v = *(int*)element;
    if (v < 0) {
        return v;
    }
    kinfo_seq_printf(seq, "%d;", v);
    return 0;
}

const kinfo_seq_ops int_sequence_ops = {seq_start, seq_next, seq_stop, seq_show};

ULONG size_seen_by_access = 0;

int doubling_access(void* variable, ULONG direction, kinfo_desc* read, kinfo_desc* write) {
    auto* v = (ULONG*)variable;
    size_seen_by_access = direction == KINFO_WRITE ? write->size : read->size;
    if (direction == KINFO_WRITE) {
        *v = *(ULONG*)write->buffer * 2;
    } else {
        *(ULONG*)read->buffer = *v + 1;
    }
    return 0;
}

class KinfoTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(pav_driver_kinfo_init(), 0);
        ASSERT_EQ(kinfo_create_dir(nullptr, "test", &dir_), 0);
    }
    void TearDown() override {
        pav_driver_kinfo_exit();
        EXPECT_EQ(kinfo_global_root(), nullptr);
        if (bad_page_ != nullptr) {
            munmap(bad_page_, 4096);
        }
        KernelTest::TearDown();
    }

    // A user address that cannot be read or written.
    void* bad_user_pointer() {
        if (bad_page_ == nullptr) {
            bad_page_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        }
        return bad_page_;
    }

    // Reads a text-like node completely: query, then read with the size the query gave.
    std::string read_all(const std::string& name, ULONG type) {
        kinfo_query q = make_query(name, 0, 0, 0);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
        std::string data(q.size, '\xAA');
        q = make_query(name, (ULONG)data.size(), type, KINFO_READ);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, data.data()), 0);
        data.resize(q.size);
        return data;
    }

    kinfo_node* dir_ = nullptr;
    void* bad_page_ = nullptr;
};

}  // namespace

TEST_F(KinfoTest, DriverRootHasTheVersionText) {
    std::string version = read_all("zelt4.version", KINFO_TEXT);
    EXPECT_EQ(version, std::string(pav_version_string) + "\n");
    const std::string release = "4.2.2.1144 Harnock@";
    ASSERT_EQ(version.size(), release.size() + 13) << version;
    EXPECT_EQ(version.substr(0, release.size()), release);
    EXPECT_EQ(version.substr(release.size()).find_first_not_of("0123456789abcdef"), 12u) << "12 hex digits";
    EXPECT_EQ(kinfo_find_child(kinfo_global_root(), "zelt4"), pav_driver_kinfo_root());
    EXPECT_EQ(std::string(kinfo_global_root()->name), "tavrin");
}

TEST_F(KinfoTest, DriverRootFailuresAreReported) {
    pav_driver_kinfo_exit();
    clear_debug_lines();
    fail_nth(fault_site::pool, 1, "mal4");
    EXPECT_EQ(pav_driver_kinfo_init(), -12);
    EXPECT_EQ(log(), std::vector<std::string>{"Unable to initialize kinfo subsystem.\n"});
    EXPECT_EQ(kinfo_global_root(), nullptr);

    clear_debug_lines();
    fail_nth(fault_site::pool, 2, "mal4");
    EXPECT_EQ(pav_driver_kinfo_init(), -12);
    EXPECT_EQ(log(), std::vector<std::string>{"Unable to create kinfo driverroot node (zelt4).\n"});
    EXPECT_EQ(kinfo_global_root(), nullptr) << "the root is freed again";

    fail_nth(fault_site::pool, 3, "mal4");  // "version": its loss is not fatal
    EXPECT_EQ(pav_driver_kinfo_init(), 0);
    EXPECT_EQ(kinfo_find_child(pav_driver_kinfo_root(), "version"), nullptr);
    ASSERT_EQ(kinfo_create_dir(nullptr, "test", &dir_), 0);
}

TEST_F(KinfoTest, QueriesGiveSizeTypeAndModeOfEveryNodeType) {
    LONG i32 = -5;
    ULONG u32 = 7;
    ULONG64 u64 = 1ull << 40;
    char text[32] = "hello";
    counters c;
    int_sequence s{{1, 22, 333}};
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_INT32, "i32", KINFO_MODE_RW, &i32, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "u32", KINFO_MODE_RO, &u32, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT64, "u64", KINFO_MODE_RW, &u64, 8, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_STRING, "str", KINFO_MODE_RW, text, sizeof text, nullptr), 0);
    ASSERT_EQ(kinfo_create_text(dir_, "text", nullptr, show_and_clear, &c), 0);
    ASSERT_EQ(kinfo_create_seqfile(dir_, "seq", &int_sequence_ops, &s), 0);

    struct row {
        const char* name;
        ULONG size, type, mode;
    } rows[] = {
        {"test", 25, KINFO_DIR, 0444},  // "i32 u32 u64 str text seq" with their NULs
        {"test.i32", 4, KINFO_INT32, 0644},
        {"test.u32", 4, KINFO_UINT32, 0444},
        {"test.u64", 8, KINFO_UINT64, 0644},
        {"test.str", 32, KINFO_STRING, 0644},
        {"test.text", 20, KINFO_TEXT, 0444},  // "reads 0\nsecond line\n"
        {"test.seq", 9, KINFO_SEQFILE, 0444},
        {"", 0, KINFO_DIR, 0444},  // the root: "zelt4.version", then the six above under "test."
    };
    for (const row& r : rows) {
        kinfo_query q = make_query(r.name, 0, 0, 0);
        ASSERT_EQ(kinfo_user_access(nullptr, &q, bad_user_pointer()), 0) << r.name;
        if (r.name[0] != 0) {
            EXPECT_EQ(q.size, r.size) << r.name;
        } else {
            EXPECT_EQ(q.size, 14u + 25u + 6u * 5u) << "root listing";
        }
        EXPECT_EQ(q.type, r.type) << r.name;
        EXPECT_EQ(q.mode, r.mode) << r.name;
    }
    EXPECT_EQ(c.reads, 0u);
}

TEST_F(KinfoTest, NumbersTravelInTheRecord) {
    LONG i32 = -5;
    ULONG u32 = 7;
    ULONG64 u64 = 1ull << 40;
    ULONG doubled = 10;
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_INT32, "i32", KINFO_MODE_RW, &i32, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "u32", KINFO_MODE_RO, &u32, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT64, "u64", KINFO_MODE_RW, &u64, 8, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "doubled", KINFO_MODE_RW, &doubled, 4, doubling_access), 0);

    kinfo_query q = make_query("test.i32", 4, KINFO_INT32, KINFO_READ);
    q.value.uint64 = ~0ull;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint64, 0xFFFFFFFBull) << "four bytes, the rest cleared";
    q = make_query("test.i32", 4, KINFO_INT32, KINFO_WRITE);
    q.value.int32 = 123;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(i32, 123);

    q = make_query("test.u64", 8, KINFO_UINT64, KINFO_WRITE);
    q.value.uint64 = 0x123456789ABCull;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(u64, 0x123456789ABCull);
    q = make_query("test.u64", 8, KINFO_UINT64, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint64, 0x123456789ABCull);

    // Sizes: a read needs room for the value, a write may not be wider than it.
    q = make_query("test.u32", 2, KINFO_UINT32, KINFO_READ);
    EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), -12);
    q = make_query("test.u32", 8, KINFO_UINT32, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint64, 7u);
    q = make_query("test.u64", 16, KINFO_UINT64, KINFO_WRITE);
    EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), -12);

    // An access callback sees the request instead of the variable being copied.
    q = make_query("test.doubled", 4, KINFO_UINT32, KINFO_WRITE);
    q.value.uint32 = 21;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(doubled, 42u);
    q = make_query("test.doubled", 4, KINFO_UINT32, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint32, 43u);
    // A larger request still hands the callback only the record's value: the number's size.
    q = make_query("test.doubled", 4096, KINFO_UINT32, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(size_seen_by_access, 4u);
}

TEST_F(KinfoTest, StringWritesTakeOnlyWhatWasGivenAndStayTerminated) {
    char text[8];
    std::memcpy(text, "abcdefg", 8);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_STRING, "str", KINFO_MODE_RW, text, sizeof text, nullptr), 0);

    char data[16] = "XY";
    kinfo_query q = make_query("test.str", 3, KINFO_STRING, KINFO_WRITE);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(std::string(text, sizeof text), std::string("XY\0\0\0\0\0\0", 8));

    std::memcpy(data, "12345678", 8);  // as long as the buffer, without NUL
    q = make_query("test.str", 8, KINFO_STRING, KINFO_WRITE);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(std::string(text, sizeof text), std::string("1234567\0", 8));

    q = make_query("test.str", 9, KINFO_STRING, KINFO_WRITE);
    EXPECT_EQ(kinfo_user_access(nullptr, &q, data), -12);
    EXPECT_EQ(std::string(text), "1234567");

    char out[16];
    std::memset(out, '#', sizeof out);
    q = make_query("test.str", sizeof out, KINFO_STRING, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, out), 0);
    EXPECT_EQ(std::string(out, 9), std::string("1234567\0#", 9)) << "the node's 8 bytes";
    q = make_query("test.str", 4, KINFO_STRING, KINFO_READ);
    EXPECT_EQ(kinfo_user_access(nullptr, &q, out), -12);
}

TEST_F(KinfoTest, TextsAreReadWholeAndRenderedOncePerRead) {
    counters c;
    c.reads = 1000;
    ASSERT_EQ(kinfo_create_text(dir_, "io", nullptr, show_and_clear, &c), 0);

    kinfo_query q = make_query("test.io", 0, 0, 0);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, bad_user_pointer()), 0) << "a query copies nothing";
    EXPECT_EQ(q.size, 23u);
    EXPECT_EQ(c.reads, 1000u) << "a query clears nothing";

    char data[64];
    q = make_query("test.io", sizeof data, KINFO_TEXT, KINFO_READ);
    c.renders = 0;
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(std::string(data, q.size), "reads 1000\nsecond line\n") << "the last character is kept";
    EXPECT_EQ(c.renders, 1u);
    EXPECT_EQ(c.reads, 0u);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(std::string(data, q.size), "reads 0\nsecond line\n");

    // A short data area gets the start of the text.
    q = make_query("test.io", 5, KINFO_TEXT, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(q.size, 5u);
    EXPECT_EQ(std::string(data, 5), "reads");

    // Many lines, far beyond the first buffer.
    int lines = 3000;
    ASSERT_EQ(kinfo_create_text(dir_, "long", nullptr, show_long, &lines), 0);
    std::string all = read_all("test.long", KINFO_TEXT);
    ASSERT_EQ(all.size(), 3000u * 50u);
    EXPECT_EQ(all.substr(0, 50), "line 00000 of a text longer than the first buffer\n");
    EXPECT_EQ(all.substr(all.size() - 50), "line 02999 of a text longer than the first buffer\n");
}

TEST_F(KinfoTest, SequencesRunStartShowNextStop) {
    int_sequence s{{1, 22, 333}};
    ASSERT_EQ(kinfo_create_seqfile(dir_, "seq", &int_sequence_ops, &s), 0);
    EXPECT_EQ(read_all("test.seq", KINFO_SEQFILE), "1;22;333;");
    EXPECT_EQ(s.stops, 2) << "query and read";
    EXPECT_EQ(s.stopped_at, nullptr);

    s.items = {4, -5, 6};
    char data[32];
    kinfo_query q = make_query("test.seq", sizeof data, KINFO_SEQFILE, KINFO_READ);
    EXPECT_EQ(kinfo_user_access(nullptr, &q, data), -5) << "the first show error";
    EXPECT_EQ(*(int*)s.stopped_at, -5);

    s.items = {};
    q = make_query("test.seq", 0, 0, 0);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.size, 0u);
}

TEST_F(KinfoTest, RequestsThatAreRefused) {
    ULONG u32 = 7;
    ULONG tunable = 1;
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "u32", KINFO_MODE_RO, &u32, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "tunable", KINFO_MODE_RW, &tunable, 4, nullptr), 0);
    counters c;
    ASSERT_EQ(kinfo_create_text(dir_, "text", nullptr, show_and_clear, &c), 0);

    struct refusal {
        const char* name;
        ULONG size, type, mode;
        int result;
        const char* why;
    } cases[] = {
        {"test.nothing", 4, KINFO_UINT32, KINFO_READ, -2, "unknown key"},
        {"test.u32.deeper", 4, KINFO_UINT32, KINFO_READ, -2, "below a value"},
        {"test.u3", 4, KINFO_UINT32, KINFO_READ, -2, "a prefix of a name"},
        {"tes.u32", 4, KINFO_UINT32, KINFO_READ, -2, "a prefix of a directory's name"},
        {"test.u32x", 4, KINFO_UINT32, KINFO_READ, -2, "a name the node's name is a prefix of"},
        {"test.u32", 0x1000001, KINFO_UINT32, KINFO_READ, -7, "above 16 MiB"},
        {"test.u32", 4, 0, KINFO_READ, -22, "no type"},
        {"test.u32", 4, KINFO_UINT32, 0, -22, "no mode"},
        {"test.u32", 4, KINFO_UINT32, KINFO_WRITE, -13, "writing a 0444 node"},
        {"test.u32", 4, KINFO_UINT32, KINFO_READ | KINFO_WRITE, -13, "both bits on a 0444 node"},
        {"test.u32", 4, KINFO_UINT64, KINFO_READ, -22, "another type"},
        {"test.tunable", 4, KINFO_UINT32, KINFO_READ | KINFO_WRITE, -22, "both directions at once"},
        {"test.tunable", 4, KINFO_UINT32, 0x20, -22, "a mode bit that is no direction"},
        {"test.text", 64, KINFO_TEXT, KINFO_WRITE, -13, "writing a text"},
        {"test", 64, KINFO_DIR, KINFO_WRITE, -13, "writing a directory"},
    };
    for (const refusal& r : cases) {
        kinfo_query q = make_query(r.name, r.size, r.type, r.mode);
        q.value.uint32 = 99;
        EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), r.result) << r.why;
    }
    EXPECT_EQ(u32, 7u);
    EXPECT_EQ(tunable, 1u);
    EXPECT_EQ(c.reads, 0u);

    kinfo_query q = make_query("zelt4", 0, 0, 0);
    q.selector = 1;
    EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), -2) << "a card's nodes need the card's directory";
    std::memset(q.name, 'x', sizeof q.name);
    q.selector = 0;
    EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), -22) << "a name without terminator";
}

TEST_F(KinfoTest, UnreachableDataAreasGiveMinus14) {
    char text[16] = "value";
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_STRING, "str", KINFO_MODE_RW, text, sizeof text, nullptr), 0);
    struct access_case {
        const char* name;
        ULONG type, mode;
    } cases[] = {
        {"test.str", KINFO_STRING, KINFO_WRITE},
        {"test.str", KINFO_STRING, KINFO_READ},
        {"zelt4.version", KINFO_TEXT, KINFO_READ},
        {"zelt4", KINFO_DIR, KINFO_READ},
    };
    for (const access_case& c : cases) {
        kinfo_query q = make_query(c.name, 16, c.type, c.mode);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, bad_user_pointer()), -14) << c.name;
        q = make_query(c.name, 16, c.type, c.mode);
        EXPECT_EQ(kinfo_user_access(nullptr, &q, nullptr), -14) << c.name;
    }
    EXPECT_EQ(std::string(text), "value");
}

TEST_F(KinfoTest, DirectoriesListTheirValuesAsRelativePaths) {
    ULONG a = 1, b = 2, c = 3;
    kinfo_node* sub;
    kinfo_node* empty;
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "a", KINFO_MODE_RO, &a, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_dir(dir_, "sub", &sub), 0);
    ASSERT_EQ(kinfo_create_dir(sub, "empty", &empty), 0);
    ASSERT_EQ(kinfo_create_value(sub, KINFO_UINT32, "b", KINFO_MODE_RO, &b, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(dir_, KINFO_UINT32, "c", KINFO_MODE_RO, &c, 4, nullptr), 0);

    const std::string listing("a\0sub.b\0c\0", 10);
    EXPECT_EQ(read_all("test", KINFO_DIR), listing);

    char data[16];
    std::memset(data, '#', sizeof data);
    kinfo_query q = make_query("test", 6, KINFO_DIR, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, data), 0);
    EXPECT_EQ(q.size, 6u);
    EXPECT_EQ(std::string(data, 7), std::string("a\0sub.#", 7)) << "cut at the request's size";

    // Lookups: runs of dots separate like one; a base directory makes names relative.
    q = make_query("test..sub...b", 4, KINFO_UINT32, KINFO_READ);
    ASSERT_EQ(kinfo_user_access(nullptr, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint32, 2u);
    q = make_query("sub.b", 4, KINFO_UINT32, KINFO_READ);
    q.selector = 1;
    ASSERT_EQ(kinfo_user_access(dir_, &q, nullptr), 0);
    EXPECT_EQ(q.value.uint32, 2u);
    q = make_query("", 16, KINFO_UINT32, KINFO_WRITE);  // the base itself, always as a read
    ASSERT_EQ(kinfo_user_access(sub, &q, data), 0);
    EXPECT_EQ(std::string(data, q.size), std::string("b\0", 2));
}

TEST_F(KinfoTest, PathsThatWouldReach256CharactersAreSkipped) {
    std::string name64(64, 'n');
    kinfo_node* d = dir_;
    std::string path;
    for (int i = 0; i < 3; i++) {  // "nnn.nnn.nnn." = 195 characters
        ASSERT_EQ(kinfo_create_dir(d, name64.c_str(), &d), 0);
        path += name64 + ".";
    }
    ULONG v = 0;
    std::string fits(60, 'f');      // 195 + 60 = 255
    std::string too_long(61, 't');  // 256
    ASSERT_EQ(kinfo_create_value(d, KINFO_UINT32, fits.c_str(), KINFO_MODE_RO, &v, 4, nullptr), 0);
    ASSERT_EQ(kinfo_create_value(d, KINFO_UINT32, too_long.c_str(), KINFO_MODE_RO, &v, 4, nullptr), 0);
    clear_debug_lines();
    EXPECT_EQ(read_all("test", KINFO_DIR), path + fits + std::string(1, '\0'));
    EXPECT_TRUE(logged("Skipping entry with long path '" + path + too_long + "' (len 256)\n"));
}

TEST_F(KinfoTest, BuildingAndRemovingTheTree) {
    EXPECT_EQ(kinfo_node_alloc(KINFO_DIR, std::string(65, 'x').c_str()), nullptr);
    kinfo_node* node = kinfo_node_alloc(KINFO_DIR, std::string(64, 'x').c_str());
    ASSERT_NE(node, nullptr);
    kinfo_node_free(node);
    EXPECT_EQ(kinfo_create_dir(dir_, std::string(65, 'x').c_str(), &node), -12);
    EXPECT_EQ(kinfo_create_text(dir_, std::string(65, 'x').c_str(), nullptr, show_long, nullptr), -12);

    kinfo_node* once;
    ASSERT_EQ(kinfo_create_dir(dir_, "once", &once), 0);
    kinfo_node* twice = nullptr;
    EXPECT_EQ(kinfo_create_dir(dir_, "once", &twice), -17);
    EXPECT_EQ(twice, nullptr);
    EXPECT_EQ(kinfo_create_text(nullptr, "orphan", nullptr, show_long, nullptr), -22);

    // A deep and wide subtree goes in one call, without recursion, and leaves no pool behind
    // (the fixture checks).
    kinfo_node* deep = once;
    ULONG v = 0;
    for (int i = 0; i < 3000; i++) {
        ASSERT_EQ(kinfo_create_value(deep, KINFO_UINT32, "leaf", KINFO_MODE_RO, &v, 4, nullptr), 0);
        ASSERT_EQ(kinfo_create_dir(deep, "d", &deep), 0);
    }
    kinfo_remove(&once);
    EXPECT_EQ(once, nullptr);
    EXPECT_EQ(kinfo_find_child(dir_, "once"), nullptr);

    kinfo_node* leaf = kinfo_node_alloc(KINFO_UINT32, "leaf");
    leaf->size = 4;
    leaf->priv = &v;
    kinfo_lock();
    ASSERT_EQ(kinfo_node_link(dir_, leaf), 0);
    kinfo_unlock();
    kinfo_remove(&leaf);
    EXPECT_EQ(kinfo_find_child(dir_, "leaf"), nullptr);
}
