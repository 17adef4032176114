// Tests of the hourly log: file names under the default and a custom
// pattern, the three suffixes, the error-line format, and the cut fields.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "KernelTestSupport.h"
#include "VEKLog.h"

using VekKernel::VEKLog;
using VekKernelTest::TempDir;
using VekKernelTest::slurp;

namespace {

// Runs the test in UTC so file names of fixed times are known.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// 2026-03-04 05:59:59 and one second later, UTC.
constexpr std::time_t EndOfHour = 1772603999;

}  // namespace

TEST_F(LogTest, FileNamesFollowTheHourAndSuffix) {
    VEKLog log;
    log.setPrefix("/var/log/vek");
    EXPECT_EQ(log.fileName("", EndOfHour), "/var/log/vek-2026-03-04-05.log");
    EXPECT_EQ(log.fileName(".err", EndOfHour + 1), "/var/log/vek-2026-03-04-06.log.err");
    EXPECT_EQ(log.fileName(".sys", EndOfHour + 1), "/var/log/vek-2026-03-04-06.log.sys");

    log.setDateFormat("_%Y%m%d_%H%M.txt");  // replaces the whole pattern, ".log" included
    EXPECT_EQ(log.fileName(".sys", EndOfHour), "/var/log/vek_20260304_0559.txt.sys");
    log.setDateFormat("");
    EXPECT_EQ(log.fileName("", EndOfHour), "/var/log/vek-2026-03-04-05.log");
}

TEST_F(LogTest, LinesAreAppendedToTheirOwnFiles) {
    TempDir dir;
    VEKLog log;
    log.setPrefix(dir.file("srv"));
    log.setDateFormat(".log");  // no time in the name: the test may cross an hour
    log.write("request one", "");
    log.write("request two", "");
    log.system("Connection denied");
    EXPECT_EQ(slurp(dir.file("srv.log")), "request one\nrequest two\n");
    EXPECT_EQ(slurp(dir.file("srv.log.sys")), "Connection denied\n");
}

TEST_F(LogTest, ErrorLinesGoToTheErrorFileAndStdoutCutTo512) {
    TempDir dir;
    VEKLog log;
    log.setPrefix(dir.file("srv"));
    log.setDateFormat(".log");
    testing::internal::CaptureStdout();
    log.error("bad thing", "language/ttm/TTMProcessor", 1337);
    log.error(std::string(600, 'm'), "x.cpp", -1);
    log.error(std::string("cut\0here", 8), "y.cpp", 2);  // no NUL byte reaches the line
    std::string printed = testing::internal::GetCapturedStdout();
    std::string longLine = "ER:" + std::string(512, 'm') + ", x.cpp, -1\n";
    std::string expected = "ER:bad thing, language/ttm/TTMProcessor, 1337\n" + longLine + "ER:cut, y.cpp, 2\n";
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(slurp(dir.file("srv.log.err")), expected);
}

TEST_F(LogTest, OffWhileThePrefixIsEmptyButErrorsStillPrint) {
    TempDir dir;
    VEKLog log;
    EXPECT_FALSE(log.enabled());
    log.setPrefix(dir.file("srv"));
    EXPECT_TRUE(log.enabled());
    log.setPrefix("");
    log.setDateFormat(".log");
    testing::internal::CaptureStdout();
    log.error("shown", "f", 1);
    log.write("dropped", "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ER:shown, f, 1\n");
    EXPECT_EQ(slurp(dir.file("srv.log")), "");
    EXPECT_EQ(slurp(dir.file("srv.log.err")), "");
}

TEST_F(LogTest, OverlongPrefixAndPatternAreCutNotOverflowed) {
    VEKLog log;
    log.setPrefix(std::string(5000, 'p'));
    log.setDateFormat(std::string(5000, 'd'));
    EXPECT_EQ(log.fileName("", EndOfHour), std::string(VEKLog::MaxPrefix, 'p') + std::string(VEKLog::MaxDateFormat, 'd'));
    log.write("unwritable name", "");  // silent failure: the name is too long for the file system
}

TEST_F(LogTest, UnwritableDirectoryIsSilent) {
    VEKLog log;
    log.setPrefix("/nonexistent-dir-for-vek-tests/x");
    log.write("line", "");
    log.system("line");
    SUCCEED();
}
