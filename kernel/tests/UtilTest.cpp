// Tests of the kernel utilities: allocation helpers, number text, trimming,
// whole-file reading, UUIDs and UTF-8.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "KernelTestSupport.h"
#include "VekAlloc.h"
#include "VekFile.h"
#include "VekUtf8.h"
#include "VekUtil.h"

using namespace VekKernel;
using VekKernelTest::TempDir;

TEST(Alloc, BlocksCarryTheirSizeAndKeepContentsOnRealloc) {
    char* block = static_cast<char*>(vekMalloc(10));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(vekBlockSize(block), 10u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    std::memcpy(block, "0123456789", 10);

    block = static_cast<char*>(vekRealloc(block, 100000));
    EXPECT_EQ(vekBlockSize(block), 100000u);
    EXPECT_EQ(std::memcmp(block, "0123456789", 10), 0);
    block = static_cast<char*>(vekRealloc(block, 4));
    EXPECT_EQ(std::memcmp(block, "0123", 4), 0);
    vekFree(&block);
    EXPECT_EQ(block, nullptr);

    void* fresh = vekRealloc(nullptr, 3);
    EXPECT_EQ(vekBlockSize(fresh), 3u);
    vekFree(&fresh);
}

TEST(AllocDeathTest, ImpossibleSizesEndTheProcessInsteadOfReturningNull) {
    // The message names the real product, which is past the 32-bit size field.
    EXPECT_DEATH(vekCalloc(0x10000, 0x10001), "out of memory allocating 4295032832 bytes");
}

TEST(Util, Int64ToTextRadixes) {
    char buffer[32];
    EXPECT_STREQ(int64ToText(-42, buffer, sizeof(buffer), 10), "-42");
    EXPECT_STREQ(int64ToText(INT64_MIN, buffer, sizeof(buffer), 10), "-9223372036854775808");
    EXPECT_STREQ(int64ToText(255, buffer, sizeof(buffer), 16), "FF");
    EXPECT_STREQ(int64ToText(-1, buffer, sizeof(buffer), 16), "FFFFFFFFFFFFFFFF");
    std::strcpy(buffer, "keep");
    EXPECT_STREQ(int64ToText(7, buffer, sizeof(buffer), 8), "keep");
    char small[4];
    EXPECT_STREQ(int64ToText(123456, small, sizeof(small), 10), "123");  // cut, still terminated
}

TEST(Util, StringToInt64ReadsTheLeadingNumber) {
    EXPECT_EQ(stringToInt64("123abc"), 123);
    EXPECT_EQ(stringToInt64("  -17"), -17);
    EXPECT_EQ(stringToInt64("+5"), 5);
    EXPECT_EQ(stringToInt64("abc"), 0);
    EXPECT_EQ(stringToInt64(""), 0);
    EXPECT_EQ(stringToInt64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(stringToInt64("99999999999999999999"), INT64_MAX);
}

// A NUL stops the start side; bytes of 128 and above stop either side,
// even when they are in the extra set.
TEST(Util, TrimStripsControlBytesAndExtrasUpToNulOrHighBytes) {
    struct Case {
        std::string text;
        const char* extras;
        std::string trimmed;
    } cases[] = {
        {" \t\r\n hello \x01\x1f ", "", "hello"}, {"--x-y--", "-", "x-y"},
        {std::string(" \0 a ", 5), "", std::string("\0 a", 3)}, {" \xc3\xa9 ", "\xc3", "\xc3\xa9"},
        {" \t ", "", ""},
    };
    for (Case& c : cases) {
        trim(c.text, c.extras);
        EXPECT_EQ(c.text, c.trimmed) << c.extras;
    }
}

TEST(Util, ReadFileKeepsEachPieceUpToItsFirstNul) {
    TempDir dir;
    std::string big(5000, 'x');
    VekKernelTest::writeFile(dir.file("big"), big);
    EXPECT_EQ(readFile(dir.file("big")), big);

    // Pieces are 1023 bytes: the NUL cuts only the rest of its own piece.
    std::string withNul = std::string(10, 'a') + std::string(1, '\0') + std::string(1012, 'b') + "tail";
    VekKernelTest::writeFile(dir.file("nul"), withNul);
    EXPECT_EQ(readFile(dir.file("nul")), std::string(10, 'a') + "tail");

    EXPECT_EQ(readFile(dir.file("missing")), "");
}

TEST(Util, ReadFileRefusesEndlessDevicesButReadsPipesAndProcFiles) {
    EXPECT_EQ(readFile("/dev/zero"), "");
    EXPECT_EQ(readFile("/dev/urandom"), "");

    // A named pipe without a writer is empty, and opening it does not wait.
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(readFile(dir.file("fifo")), "");

    // A pipe whose writer has finished is read to its end.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "a,b;", 4), 4);
    close(ends[1]);
    EXPECT_EQ(readFile("/proc/self/fd/" + std::to_string(ends[0])), "a,b;");
    close(ends[0]);
    // Files under /proc state a size of 0 and still hold text.
    EXPECT_EQ(readFile("/proc/self/status").compare(0, 5, "Name:"), 0);
}

TEST(Util, NewUuidIsUpperCaseAndRandom) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string id = newUuid();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[8], '-');
        EXPECT_EQ(id[14], '4');  // version 4: random
        EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(Utf8, ValidatesCountsAndConverts) {
    std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // a, e-acute, euro, emoji
    EXPECT_EQ(VekUtf8::length(text), 4u);
    EXPECT_EQ(VekUtf8::utf8to16(text), (std::u16string{u'a', 0xe9, 0x20ac, 0xd83d, 0xde00}));
    EXPECT_EQ(VekUtf8::utf16to8(VekUtf8::utf8to16(text)), text);
    EXPECT_EQ(VekUtf8::fromWide(VekUtf8::toWide(text)), text);
    EXPECT_EQ(VekUtf8::encode(0x20ac), "\xe2\x82\xac");

    auto it = text.cbegin();
    EXPECT_EQ(VekUtf8::next(it, text.cend()), u32('a'));
    EXPECT_EQ(VekUtf8::next(it, text.cend()), 0xe9u);

    std::string cut = "\xe2\x82";
    std::string bad = "\xff";
    std::string surrogate = "\xed\xa0\x80";
    EXPECT_THROW(VekUtf8::length(cut), VekUtf8::not_enough_room);
    EXPECT_THROW(VekUtf8::length(bad), VekUtf8::invalid_utf8);
    EXPECT_THROW(VekUtf8::length(surrogate), VekUtf8::invalid_code_point);
    EXPECT_THROW(VekUtf8::encode(0x110000), VekUtf8::invalid_code_point);
    EXPECT_THROW(VekUtf8::utf8to16(bad), VekUtf8::invalid_utf8);
    EXPECT_FALSE(VekUtf8::isValid(bad));
    EXPECT_STREQ(VekUtf8::invalid_utf8(u8(0xff)).what(), "Invalid UTF-8");
}
