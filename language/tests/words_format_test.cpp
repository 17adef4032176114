// Tests of the formatting, conversion and form-removal words: "fmtl",
// "refmtl", "fmtd", "fmtTime", "tcn", "s2us" and "=x", with the hostile
// patterns a page could hand to printf and scanf.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

TEST(FormatWords, IntegersFollowThePagesPattern) {
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%I64d items;42]]"), "42 items");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%05lld;7]]"), "00007");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%lld;seven]]"), "0");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;[%%%lld%%];5]]"), "%5%");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%-4llX|;255]]"), "FF  |");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%lld;-9223372036854775808]]"), "-9223372036854775808");
    // Without a 64-bit modifier the value is passed as the int the
    // conversion reads: its low 32 bits.
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%x;-1]]"), "ffffffff");
    EXPECT_EQ(runTemplate("#[out;#[fmtl;%d;4294967298]]"), "2");
}

TEST(FormatWords, PatternsThatWouldReadOrWriteMoreGiveNothing) {
    for (const char* pattern : {"%s", "%n", "%lln", "%p", "%*d", "%.*lld", "%lld %lld", "%lld%s", "plain", "%",
                                "%1$lld", "%99999lld", "%.99999lld", "%f", "%c", "%zd", "%I64s"}) {
        EXPECT_EQ(runTemplate(std::string("#[out;#[fmtl;[") + pattern + "];5]]"), "") << pattern;
        EXPECT_EQ(runTemplate(std::string("#[out;#[refmtl;[") + pattern + "];%lld;5]]"), "") << pattern;
    }
    for (const char* pattern : {"%s", "%n", "%d", "%*f", "%f%f", "%.*f", "", "%99999f", "%Lf%%%n"})
        EXPECT_EQ(runTemplate(std::string("#[out;#[fmtd;[") + pattern + "];1.5]]"), "") << pattern;
}

TEST(FormatWords, ReformatReadsOneIntegerAndWritesItAgain) {
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%llx;%lld;ff]]"), "255");
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%llx;%lld;zz]]"), "0");
    EXPECT_EQ(runTemplate("#[out;#[refmtl;id=%I64d;%I64x;id=4096]]"), "1000");
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%llx;%lld;ffffffffffffffff]]"), "-1");
    // A conversion without modifier stores an unsigned int, widened.
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%x;%lld;ffffffff]]"), "4294967295");
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%3lld;%lld;12345]]"), "123");
    // A good input pattern with a hostile output pattern gives nothing.
    EXPECT_EQ(runTemplate("#[out;#[refmtl;%lld;%s;5]]"), "");
}

TEST(FormatWords, RealsFollowThePagesPattern) {
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%.2f;3.14159]]"), "3.14");
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%08.3lf;-2.5]]"), "-002.500");
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%.1e;12345]]"), "1.2e+04");
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%Lg%%;0.5]]"), "0.5%");
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%.0f;x]]"), "0");
    // Results are cut to 1023 bytes.
    EXPECT_EQ(runTemplate("#[out;#[fmtd;%-2000f|;1]]").size(), 1023u);
}

TEST(FormatWords, TimesInUtcWithMilliseconds) {
    const char* page = "#[out;#[fmtTime;%Y-%m-%d %H:%M:%S.%s;1000000000123;GMT]]";
    EXPECT_EQ(runTemplate(page), "2001-09-09 01:46:40.123");
    // Only the first %s is the milliseconds; strftime reads the second.
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%s|%s;1000000000007;GMT]]"), "007|1000000000");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%H:%M:%S;1000000000999;GMT]]"), "01:46:40");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%Y;x;GMT]]"), "1970");
    // A result that does not fit the buffer, and a pattern with no output.
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;" + std::string(1100, 'y') + ";0;GMT]]"), "");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;;0;GMT]]"), "");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%Y;9223372036854775807;GMT]]"), "292278994");
}

TEST(FormatWords, TimesWithoutGmtAreLocal) {
    const char* saved = std::getenv("TZ");
    std::string savedZone = saved != nullptr ? saved : "";
    setenv("TZ", "XYZ-2", 1);
    tzset();
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%H:%M:%S.%s;1000000000123]]"), "03:46:40.123");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%H;1000000000123;gmt]]"), "03");
    EXPECT_EQ(runTemplate("#[out;#[fmtTime;%H;1000000000123;GMT]]"), "01");
    if (saved != nullptr)
        setenv("TZ", savedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(FormatWords, Utf16CodeUnits) {
    EXPECT_EQ(runTemplate("#[out;#[tcn;A]]"), "0041");
    EXPECT_EQ(runTemplate("#[out;#[tcn;Ab\xc3\xa9]]"), "0041006200e9");
    EXPECT_EQ(runTemplate("#[out;#[s2us;\xc3\xa9]]"), "\\u00e9");
    EXPECT_EQ(runTemplate("#[out;#[s2us;\xf0\x9f\x98\x80]]"), "\\ud83d\\ude00");
    EXPECT_EQ(runTemplate("#[out;#[tcn;\xf0\x9f\x98\x80]]"), "d83dde00");
    EXPECT_EQ(runTemplate("#[out;x#[tcn;]]"), "x");
}

TEST(FormatWords, InvalidUtf8FailsTheCall) {
    EXPECT_THROW(runTemplate("#[out;#[tcn;a\xc3]]"), TTMError);
    EXPECT_THROW(runTemplate("#[out;#[s2us;\xed\xa0\x80]]"), TTMError);
}

TEST(FormatWords, RemoveFormsLevelByLevel) {
    const char* page =
        "#[.=;f;low]#[.+]#[.=;f;high]#[.=;g;G]"
        "#[=x;f]#[.=;seen;#[f]]#[=x;f;g]#[out;#[seen]|#[existsf;f]|#[existsf;g]]";
    TTMProcessor processor;
    std::string printed = printedBy([&] { runOn(processor, page); });
    EXPECT_EQ(processor.outputText(), std::string("low|false|false") + '\0');
    EXPECT_EQ(printed, "");
}

TEST(FormatWords, RemoveFindsTheZeroSuffixedNameAndNeverGlobals) {
    std::string printed = printedBy([] {
        EXPECT_EQ(runTemplate("#[.=;h(0);H]#[=x;h]#[out;#[existsf;h]]"), "false");
        EXPECT_EQ(runTemplate("#[=;wordsFormatGlobal;kept]#[=x;wordsFormatGlobal;nowhere]#[out;#[wordsFormatGlobal]]"),
                  "kept");
        EXPECT_EQ(runTemplate("#[=x]#[out;ok]"), "ok");
    });
    EXPECT_EQ(printed, "Can not remove the global form \"wordsFormatGlobal\"!");
}
