// uuids: the text form both ways, generation, and the generator's sequence.

#include <cstring>
#include <string>

#include "driver/platform/uuid.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class UuidTest : public KernelTest {};

TEST_F(UuidTest, TextFormReadsTheFirstFieldsLittleEndian) {
    const UCHAR bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    char text[PAV_UUID_TEXT_SIZE];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(pav_uuid_unparse(bytes, text), 36);
    EXPECT_EQ(std::string(text), "33221100-5544-7766-8899-aabbccddeeff");

    UCHAR parsed[16] = {};
    ASSERT_EQ(pav_uuid_parse(text, parsed), 0);
    EXPECT_EQ(std::memcmp(parsed, bytes, 16), 0);
    ASSERT_EQ(pav_uuid_parse("33221100-5544-7766-8899-AABBCCDDEEFF", parsed), 0);
    EXPECT_EQ(std::memcmp(parsed, bytes, 16), 0) << "upper case too";
}

TEST_F(UuidTest, MalformedTextIsRefusedAndLeavesTheUuid) {
    const char* bad[] = {
        "",
        "33221100-5544-7766-8899-aabbccddeef",    // short
        "33221100-5544-7766-8899-aabbccddeeff0",  // long
        "33221100-5544-7766-8899aaabbccddeeff",   // dash missing
        "33221100-5544-7766-8899-aabbccddeefg",   // not hex
        "3322110-05544-7766-8899-aabbccddeeff",   // dash misplaced
        "{3221100-5544-7766-8899-aabbccddeeff",
    };
    for (const char* text : bad) {
        UCHAR uuid[16];
        std::memset(uuid, 0x5A, sizeof uuid);
        EXPECT_EQ(pav_uuid_parse(text, uuid), -22) << text;
        EXPECT_EQ(uuid[0], 0x5A) << text;
    }
}

TEST_F(UuidTest, GeneratedUuidsDifferAndRoundTripThroughText) {
    UCHAR a[16];
    UCHAR b[16];
    pav_uuid_generate(a);
    pav_uuid_generate(b);
    EXPECT_NE(std::memcmp(a, b, 16), 0);
    for (const UCHAR* uuid : {a, b}) {
        char text[PAV_UUID_TEXT_SIZE];
        pav_uuid_unparse(uuid, text);
        UCHAR back[16];
        ASSERT_EQ(pav_uuid_parse(text, back), 0) << text;
        EXPECT_EQ(std::memcmp(back, uuid, 16), 0) << text;
    }

    UCHAR copy[20] = {};
    pav_uuid_copy(copy, a);
    EXPECT_EQ(std::memcmp(copy, a, 16), 0);
    pav_uuid_copy(copy + 2, copy);  // overlapping
    EXPECT_EQ(std::memcmp(copy + 2, a, 16), 0);
}

TEST_F(UuidTest, GeneratorFollowsItsReferenceSequence) {
    struct reference {
        ULONGLONG seed;
        ULONGLONG values[3];
    } runs[] = {
        {0, {0x142e13bb5626a786ull, 0x0eb83fd2ee499042ull, 0x8130298e92e0697cull}},
        {1, {0xf8c4851d3f775ce0ull, 0x6943b36e4549d30eull, 0xa2c582b74127818full}},
        {123456789, {0x8e6dad025f1c105eull, 0x3690e28f082b6abcull, 0xd519c52d7530e257ull}},
    };
    for (const reference& r : runs) {
        kpav_random64_seed(r.seed);
        for (ULONGLONG expected : r.values) {
            EXPECT_EQ(kpav_random64(), expected) << "seed " << r.seed;
        }
    }
    kpav_random64_seed(42);
    UCHAR uuid[16];
    pav_uuid_generate(uuid);
    char text[PAV_UUID_TEXT_SIZE];
    pav_uuid_unparse(uuid, text);
    EXPECT_EQ(std::string(text), "40fcd27d-efdd-1f04-2b6a-79e2a92e2c59") << "no version or variant bits";
}
