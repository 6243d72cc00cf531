// The registry: keys by path and by handle, typed values and their information records, the
// control surface, and the state file.

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/registry_control.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane";
const std::string parameters = service + "\\Parameters";

// A UNICODE_STRING over its own storage.
struct wide {
    std::u16string text;
    UNICODE_STRING us;
    explicit wide(const char16_t* t) : text(t) {
        us.Buffer = text.data();
        us.Length = (USHORT)(text.size() * 2);
        us.MaximumLength = us.Length;
    }
    PUNICODE_STRING operator&() { return &us; }
};

NTSTATUS open_key(const char16_t* path, HANDLE* key, HANDLE root = nullptr) {
    wide name(path);
    OBJECT_ATTRIBUTES a;
    InitializeObjectAttributes(&a, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key, KEY_READ, &a);
}

NTSTATUS create_key(const char16_t* path, HANDLE* key, ULONG* disposition, HANDLE root = nullptr) {
    wide name(path);
    OBJECT_ATTRIBUTES a;
    InitializeObjectAttributes(&a, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &a, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

class RegistryTest : public KernelTest {
  protected:
    void TearDown() override {
        EXPECT_EQ(objects::open_handles(), handles_before_) << "key handles left open";
        KernelTest::TearDown();
    }
    ULONG handles_before_ = objects::open_handles();
};

}  // namespace

TEST_F(RegistryTest, KeysOpenAndCreateByFullOrRelativePathWithoutRegardToCase) {
    HANDLE key;
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\System", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG disposition = 0;
    EXPECT_EQ(create_key(u"\\Registry\\Machine\\System\\Services", &key, &disposition), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the parent must exist";
    EXPECT_EQ(create_key(u"\\Registry\\Machine\\System", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HANDLE child;
    EXPECT_EQ(create_key(u"Services", &child, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ZwClose(child);
    EXPECT_EQ(create_key(u"SERVICES", &child, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ZwClose(child);
    ZwClose(key);

    EXPECT_EQ(open_key(u"\\REGISTRY\\machine\\SYSTEM\\services", &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(registry_key_exists("\\Registry\\Machine\\System\\Services"));
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\\\System", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open_key(u"\\Elsewhere\\Machine", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE) << "closed already";
}

TEST_F(RegistryTest, PartialInformationAndItsBufferStatuses) {
    registry_set_dword(parameters, "COMPLETION_POLL_MS", 7);
    HANDLE key;
    ASSERT_EQ(open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters", &key),
              STATUS_SUCCESS);
    wide name(u"completion_poll_ms");
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(info->Type, REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(*(ULONG*)info->Data, 7u);

    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(info->Type, REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    EXPECT_EQ(info->Data[0], 0xEE) << "no data copied";
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u);

    wide missing(u"PAV_AFFINITY");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, FullAndBasicInformationCarryTheName) {
    registry_set_string(parameters, "PAV_AFFINITY", "3,N1");
    HANDLE key;
    ASSERT_EQ(open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters", &key),
              STATUS_SUCCESS);
    wide name(u"pav_affinity");
    alignas(8) UCHAR buffer[128];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* full = (PKEY_VALUE_FULL_INFORMATION)buffer;
    EXPECT_EQ(full->Type, REG_SZ);
    EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"PAV_AFFINITY") << "the name as it was set";
    EXPECT_EQ(full->DataOffset % 8, 0u);
    EXPECT_GE(full->DataOffset, 20u + full->NameLength);
    EXPECT_EQ(full->DataLength, 10u);
    EXPECT_EQ(std::u16string((const char16_t*)(buffer + full->DataOffset), 5), std::u16string(u"3,N1\0", 5));
    EXPECT_EQ(result, full->DataOffset + 10);

    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* basic = (PKEY_VALUE_BASIC_INFORMATION)buffer;
    EXPECT_EQ(result, 12u + 24u);
    EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), u"PAV_AFFINITY");
    ZwClose(key);
}

TEST_F(RegistryTest, SetEnumerateAndDeleteKeepTheOrderOfFirstSetting) {
    registry_create_key(parameters);
    HANDLE key;
    ASSERT_EQ(open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters", &key),
              STATUS_SUCCESS);
    ULONG one = 1;
    ULONG two = 2;
    UCHAR bytes[3] = {1, 2, 3};
    wide a(u"A"), b(u"B"), c(u"C"), lower_a(u"a");
    EXPECT_EQ(ZwSetValueKey(key, &a, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &b, 0, REG_BINARY, bytes, 3), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &c, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &lower_a, 0, REG_DWORD, &two, 4), STATUS_SUCCESS);  // replaces A in place

    std::vector<std::u16string> names;
    alignas(8) UCHAR buffer[64];
    ULONG result;
    for (ULONG i = 0;; i++) {
        NTSTATUS s = ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof buffer, &result);
        if (s == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        ASSERT_EQ(s, STATUS_SUCCESS);
        auto* basic = (PKEY_VALUE_BASIC_INFORMATION)buffer;
        names.emplace_back(basic->Name, basic->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"B", u"C"}));
    EXPECT_EQ(registry_get_dword(parameters, "A"), 2u);
    auto binary = registry_get(parameters, "b");
    ASSERT_TRUE(binary.has_value());
    EXPECT_EQ(binary->type, REG_BINARY);
    EXPECT_EQ(binary->data, (std::vector<uint8_t>{1, 2, 3}));

    EXPECT_EQ(ZwDeleteValueKey(key, &b), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &b), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(registry_value_names(parameters), (std::vector<std::string>{"A", "C"}));
    ZwClose(key);
}

TEST_F(RegistryTest, RoutinesRunOnlyAtPassiveLevel) {
    registry_create_key(parameters);
    HANDLE key;
    ASSERT_EQ(open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters", &key),
              STATUS_SUCCESS);
    wide name(u"X");
    UCHAR buffer[32];
    ULONG result;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    expect_bug_check(IRQL_NOT_LESS_OR_EQUAL,
                     [&] { ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result); });
    ZwClose(key);
}

TEST_F(RegistryTest, BootStartsWithAnEmptyRegistry) {
    registry_set_dword(parameters, "AUTO_ATTACH", 0);
    boot();
    EXPECT_FALSE(registry_get(parameters, "AUTO_ATTACH").has_value());
    EXPECT_TRUE(registry_key_exists("\\Registry\\Machine"));
    EXPECT_FALSE(registry_key_exists(service));
}

TEST_F(RegistryTest, StateFileKeepsEveryValueExactly) {
    std::string dir = testing::TempDir();
    std::string file = dir + "/registry-" + std::to_string(getpid()) + ".txt";

    registry_set_dword(parameters, "COMPLETION_POLL_MS", 0);
    registry_set_string(parameters, "PAV_AFFINITY", "3,N1;\"quoted\" \\ back\nline \xc3\xa9\xe2\x82\xac");
    registry_set_multi_string(parameters, "LIST", {"a", "b c"});
    registry_set_multi_string(parameters, "EMPTY_LIST", {});
    registry_set(parameters, "RAW", REG_BINARY, {0x00, 0xFF, 0x10});
    registry_set(parameters, "NO_TERMINATOR", REG_SZ, {'a', 0, 'b', 0});
    registry_set(parameters, "SHORT_DWORD", REG_DWORD, {1, 2});
    registry_set(parameters, "Odd name \"]%", REG_SZ, {0, 0});
    registry_create_key(service + "\\Empty]Key%");
    ASSERT_TRUE(registry_save(file));

    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[\\Registry\\Machine\\System\\CurrentControlSet\\Services\\strovane\\Parameters]\n"
                        "\"COMPLETION_POLL_MS\"=dword:00000000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"LIST\"=multi_sz:\"a\",\"b c\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"RAW\"=hex(3):00,ff,10\n"), std::string::npos) << text;
    EXPECT_NE(text.find("strovane\\Empty%5DKey%25]"), std::string::npos) << text;

    std::vector<std::pair<std::string, registry_value>> before;
    for (const std::string& name : registry_value_names(parameters)) {
        before.emplace_back(name, *registry_get(parameters, name));
    }
    registry_clear();
    EXPECT_FALSE(registry_key_exists(parameters));
    std::string error;
    ASSERT_TRUE(registry_load(file, &error)) << error;
    std::vector<std::pair<std::string, registry_value>> after;
    for (const std::string& name : registry_value_names(parameters)) {
        after.emplace_back(name, *registry_get(parameters, name));
    }
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++) {
        EXPECT_EQ(after[i].first, before[i].first);
        EXPECT_EQ(after[i].second.type, before[i].second.type) << before[i].first;
        EXPECT_EQ(after[i].second.data, before[i].second.data) << before[i].first;
    }
    EXPECT_TRUE(registry_key_exists(service + "\\Empty]Key%"));
    EXPECT_EQ(registry_get_string(parameters, "pav_affinity"),
              "3,N1;\"quoted\" \\ back\nline \xc3\xa9\xe2\x82\xac");
    std::remove(file.c_str());
}

TEST_F(RegistryTest, ABadOrCutOffStateFileIsRefusedWithItsLineAndChangesNothing) {
    std::string file = testing::TempDir() + "/registry-bad-" + std::to_string(getpid()) + ".txt";
    const std::string key = "[\\Registry\\Machine\\X]\n";
    struct bad_file {
        std::string text;
        const char* error;
    };
    const bad_file cases[] = {
        {"# comment\n" + key + "\"A\"=dword:1\n\"B\"=sz:\"unterminated\n", ":4: bad value data"},
        {key + "\"A\"=hex(99999999999):00\n", ":2: bad value data"},
        {key + "\"A\"=dword:0000", ":2: the line has no end: the file is cut off"},
        {"", ":0: the file is empty: it is cut off"},
        // A saved file ends with its end line: cut off at the end of a line, it has none.
        {"# velkor registry 2\n" + key + "\"A\"=dword:00000001\n", ":3: no \"# end of registry\" line"},
        {"# velkor registry 2\n" + key + "# end of registry\n\"A\"=dword:00000001\n",
         ":4: text after \"# end of registry\""},
    };
    registry_set_dword(parameters, "KEEP", 5);
    for (const bad_file& c : cases) {
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << c.text;
        }
        std::string error;
        EXPECT_FALSE(registry_load(file, &error)) << c.text;
        EXPECT_EQ(error.rfind(file + c.error, 0), 0u) << error;
        EXPECT_EQ(registry_get_dword(parameters, "KEEP"), 5u);
        EXPECT_FALSE(registry_key_exists("\\Registry\\Machine\\X"));
    }
    // A file written by hand needs no header nor end line, only whole lines.
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << key << "\"A\"=dword:00000001\r\n";
    }
    std::string error;
    EXPECT_TRUE(registry_load(file, &error)) << error;
    EXPECT_EQ(registry_get_dword("\\Registry\\Machine\\X", "A"), 1u);
    std::string error_missing;
    EXPECT_FALSE(registry_load(file + ".missing", &error_missing));
    EXPECT_NE(error_missing.find("No such file"), std::string::npos) << error_missing;
    std::remove(file.c_str());
}

// Keys and values are found through their indexes: a large file loads whole, a name set again
// in any case replaces the value in its place, and a deletion leaves every later value found.
TEST_F(RegistryTest, ManyValuesLoadAndStayFoundAfterReplacementAndDeletion) {
    std::string file = testing::TempDir() + "/registry-many-" + std::to_string(getpid()) + ".txt";
    const int count = 100000;
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "[\\Registry\\Machine\\Many]\n";
        for (int i = 0; i < count; i++) {
            char line[64];
            std::snprintf(line, sizeof line, "\"Value%d\"=dword:%08x\n", i, i);
            out << line;
        }
        out << "\"value7\"=dword:ffffffff\n";  // the same name again, another case
        for (int i = 0; i < 1000; i++) {
            out << "[\\Registry\\Machine\\Many\\Sub" << i << "]\n";
        }
        out << "[\\Registry\\MACHINE\\many\\SUB999]\n\"Deep\"=sz:\"here\"\n";
    }
    std::string error;
    ASSERT_TRUE(registry_load(file, &error)) << error;
    const std::string many = "\\Registry\\Machine\\Many";
    std::vector<std::string> names = registry_value_names(many);
    ASSERT_EQ(names.size(), (size_t)count);
    EXPECT_EQ(names[7], "Value7") << "the first spelling stays";
    EXPECT_EQ(registry_get_dword(many, "VALUE7"), 0xFFFFFFFFu);
    EXPECT_EQ(registry_get_dword(many, "value99999"), 99999u);
    EXPECT_EQ(registry_get_string(many + "\\Sub999", "deep"), "here");

    ASSERT_TRUE(registry_delete_value(many, "value10"));
    EXPECT_FALSE(registry_get(many, "Value10").has_value());
    EXPECT_EQ(registry_get_dword(many, "Value11"), 11u);
    EXPECT_EQ(registry_get_dword(many, "Value99999"), 99999u);
    registry_set_dword(many, "value11", 1);
    names = registry_value_names(many);
    ASSERT_EQ(names.size(), (size_t)count - 1);
    EXPECT_EQ(names[10], "Value11");
    EXPECT_EQ(registry_get_dword(many, "Value11"), 1u);
    registry_set_dword(many, "New", 2);
    EXPECT_EQ(registry_value_names(many).back(), "New");
    EXPECT_EQ(registry_get_dword(many, "new"), 2u);
    std::remove(file.c_str());
}

TEST(RtlStringTest, NarrowingCutsToTheBufferAndReplacesWhatItCannotSay) {
    const char16_t text[] = u"ab\u00e9\u20ac";
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, text);
    EXPECT_EQ(source.Length, 8);
    char out[8];
    ANSI_STRING narrow = {0, sizeof out, out};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out), "ab\xe9?");
    ANSI_STRING small = {0, 3, out};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&small, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(out), "ab");

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "PARAMS");
    UNICODE_STRING wide_copy;
    sim::kernel::boot();
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide_copy, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide_copy.Buffer, wide_copy.Length / 2), u"PARAMS");
    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, u"params");
    EXPECT_TRUE(RtlEqualUnicodeString(&wide_copy, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&wide_copy, &upper, FALSE));
    RtlFreeUnicodeString(&wide_copy);
    EXPECT_EQ(wide_copy.Buffer, nullptr);
}
