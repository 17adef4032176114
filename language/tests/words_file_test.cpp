// Tests of the file-handle and file-status words: "oi", "oo", "oa", "cf",
// "eof", "frs", "frc", "fcm", "fps", "getFileTime" and "getFileSize",
// including the "-write" refusals and a file deleted under an open handle.
#include <gtest/gtest.h>

#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

class FileWords : public testing::Test {
protected:
    // Runs page with every "@" replaced by the test's folder.
    std::string run(const std::string& page) {
        return runTemplate(inFolder(page, dir.root));
    }
    // The message of the failure that page ends with.
    std::string failureOf(const std::string& page) {
        try {
            run(page);
        } catch (const TTMError& failure) {
            return failure.what();
        }
        return "no failure";
    }

    TempDir dir;  // this test's files
};

}  // namespace

// "frs" reads up to the mark ("'" until "fcm" sets another, NUL when set
// empty); "frc" reads one byte, giving nothing for a NUL.
TEST_F(FileWords, ReadStringsUpToTheMarkAndSingleBytes) {
    const struct {
        std::string bytes;
        const char *page, *expected;
    } cases[] = {
        {"one'two'three|four'|", "#[.=;r;#[frs;h],#[frs;h]]#[fcm;h;|]#[out;#[r],#[frs;h],#[frs;h],#[eof;h]]",
         "one,two,three,four',true"},
        {std::string("ab\0cd\0", 6), "#[fcm;h;]#[out;#[frs;h]-#[frs;h]]", "ab-cd"},
        {std::string("x\0y", 3), "#[out;#[frc;h]|#[frc;h]|#[frc;h]|#[eof;h]]", "x||y|true"},
    };
    for (const auto& c : cases) {
        writeBytes(dir.path("a"), c.bytes);
        EXPECT_EQ(run(std::string("#[oi;h;@/a;bad]") + c.page), c.expected) << c.page;
    }
}

TEST_F(FileWords, ReadingPastTheEndOrWritingAReadOnlyHandleFailsTheCall) {
    writeBytes(dir.path("a"), "a'b");
    std::string failure = failureOf("#[oi;h;@/a;bad]#[frs;h]#[frs;h]");
    EXPECT_NE(failure.find("eval: failed - VEKStreamFile::zread - unable to perform operation!, func_name:frs"),
              std::string::npos)
        << failure;
    failure = failureOf("#[oi;h;@/a;bad]#[fps;h;new]");
    EXPECT_NE(failure.find("eval: failed - VEKStreamFile::zwrite - unable to perform operation!, func_name:fps"),
              std::string::npos)
        << failure;
    EXPECT_EQ(readBytes(dir.path("a")), "a'b");
}

TEST_F(FileWords, OutputAndAppendNeedTheWriteSwitch) {
    writeBytes(dir.path("a"), "kept");
    SwitchGuard off(allowWriteCommands, false);
    std::string printed = printedBy([&] {
        EXPECT_EQ(run("#[out;#[oo;h;@/a;refused]]"), "refused");
        EXPECT_EQ(run("#[out;#[oa;h;@/a;refused]|#[eof;h]]"), "refused|false");
    });
    EXPECT_EQ(printed,
              "Command: \"oo\" not allowed! Set command line option \"-write\" to allow it.\n"
              "Command: \"oa\" not allowed! Set command line option \"-write\" to allow it.\n");
    EXPECT_EQ(readBytes(dir.path("a")), "kept");
}

TEST_F(FileWords, OutputStartsEmptyAndAppendKeepsTheContents) {
    SwitchGuard on(allowWriteCommands, true);
    writeBytes(dir.path("a"), "old contents");
    EXPECT_EQ(run("#[oo;w;@/a;bad]#[fps;w;new]#[fps;w;[;text]]#[cf;w]#[out;##[load;@/a]]"), "new;text");
    EXPECT_EQ(run("#[oa;w;@/a;bad]#[fps;w;+more]#[cf;w]#[out;##[load;@/a]]"), "new;text+more");
    EXPECT_EQ(run("#[out;#[oa;w;@/missing;no file]]"), "no file");
    // A file that "oo" creates is the owner's alone, and what "fps" writes
    // is in the file at once.
    const mode_t saved = ::umask(0);
    EXPECT_EQ(run("#[oo;w;@/b;bad]#[fps;w;abc']#[out;#[getFileSize;@/b]]"), "4");
    ::umask(saved);
    EXPECT_EQ(permissionsOf(dir.path("b")), 0600);
}

TEST_F(FileWords, MissingFilesAndHandles) {
    std::string printed = printedBy([&] {
        EXPECT_EQ(run("#[out;#[oi;h;@/none;no file]|#[eof;h]|#[frs;h]|#[frc;h]|#[cf;h]]"), "no file|false|||");
    });
    EXPECT_EQ(printed, "Invalid file handle \"h\"Invalid file handle \"h\"Invalid file handle \"h\"");
    EXPECT_EQ(printedBy([&] { run("#[fcm;g;x]#[fps;g;x]"); }),
              "Invalid file handle \"g\"Invalid file handle \"g\"");
}

TEST_F(FileWords, ReopeningAHandleNameClosesTheFirstFile) {
    writeBytes(dir.path("a"), "first'");
    writeBytes(dir.path("b"), "second'");
    EXPECT_EQ(run("#[oi;h;@/a;bad]#[oi;h;@/b;bad]#[out;#[frs;h]]"), "second");
    // A failing open leaves the handle that was there.
    EXPECT_EQ(run("#[oi;h;@/a;bad]#[oi;h;@/none;bad]#[out;#[frs;h]]"), "first");
}

TEST_F(FileWords, AHandleKeepsReadingAFileDeletedUnderIt) {
    SwitchGuard on(allowWriteCommands, true);
    writeBytes(dir.path("a"), "old text'more'");
    // The reader caches the old file, which is then deleted and replaced;
    // it must go on with its own file, and the new file must read as new.
    const char* page =
        "#[oi;r;@/a;bad]#[.=;first;#[frs;r]]"
        "#[df;@/a;gone]#[oo;w;@/a;bad]#[fps;w;new text']#[cf;w]"
        "#[oi;n;@/a;bad]"
        "#[out;#[first]|#[frs;r]|#[frs;n]|#[load;@/a]]";
    EXPECT_EQ(run(page), "old text|more|new text|new text'");
    // "oo" of the path a reader holds open replaces the file the same way.
    writeBytes(dir.path("c"), "cee'cee'");
    EXPECT_EQ(run("#[oi;r;@/c;bad]#[frs;r]#[oo;w;@/c;bad]#[fps;w;x']#[out;#[frs;r]|#[load;@/c]]"), "cee|x'");
}

TEST_F(FileWords, FileTimeAndSize) {
    writeBytes(dir.path("a"), "12345");
    struct utimbuf times = {1000000000, 1000000000};
    ASSERT_EQ(utime(dir.path("a").c_str(), &times), 0);
    EXPECT_EQ(run("#[out;#[getFileTime;@/a]|#[getFileSize;@/a]]"), "1000000000000|5");
    EXPECT_EQ(run("#[out;#[getFileTime;@/none]|#[getFileSize;@/none]]"), "0|0");
}

// A confined processor (as the server runs pages) reads a file named by a
// relative path that stays below the working directory, and refuses the same
// file reached by climbing out with "..", by an absolute path, or through a
// ".." in the middle; the same climbing path reads when not confined.
TEST_F(FileWords, AConfinedProcessorRefusesPathsThatLeaveTheWorkingDirectory) {
    writeBytes(dir.path("a"), "text");
    std::string up;
    for (const auto& part : std::filesystem::current_path()) if (part != "/") up += "../";
    const std::string climbing = up + dir.path("a").substr(1);
    const std::string inside = "confined-" + std::to_string(::getpid());
    writeBytes(inside, "text");
    struct Case { std::string path; bool confined; const char* expected; } cases[] = {
        {inside, true, "<text>"}, {climbing, false, "<text>"}, {climbing, true, "<>"},
        {dir.path("a"), true, "<>"}, {"sub/../" + inside, true, "<>"},
    };
    for (const Case& c : cases) {
        TTMProcessor processor;
        processor.confinePaths = c.confined;
        std::string output = runOn(processor, "#[out;<##[load;" + c.path + "]>]");
        EXPECT_EQ(output.substr(0, output.find('\0')), c.expected) << c.path << (c.confined ? " confined" : "");
    }
    std::remove(inside.c_str());
}
