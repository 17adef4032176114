// Tests of the console writer: a pipe nobody reads never makes it wait,
// what it dropped is counted in the notice that precedes the next text
// that gets through, and a regular file takes everything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "VekConsole.h"

using VekKernel::ConsoleWriter;

namespace {

std::string drain(int fd) {
    std::string text;
    char piece[65536];
    ssize_t got;
    while ((got = read(fd, piece, sizeof piece)) > 0) text.append(piece, static_cast<size_t>(got));
    return text;
}

}  // namespace

TEST(Console, AFullPipeDropsAndCountsTheRestThenNoticesIt) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);  // the test's reads must not wait either
    int writeEnd = fcntl(fds[1], F_GETFL);
    fcntl(fds[1], F_SETFL, writeEnd & ~O_NONBLOCK);  // the writer's end blocks, as stdout does
    ConsoleWriter console(fds[1]);
    const std::string flood(1 << 20, 'f');
    console.write(flood.data(), flood.size());  // returns: nothing waits for a reader
    const std::string first = drain(fds[0]);
    EXPECT_GT(first.size(), 0u);
    EXPECT_EQ(console.dropped(), flood.size() - first.size());
    console.write("next\n", 5);
    EXPECT_EQ(drain(fds[0]), "\n[console: " + std::to_string(flood.size() - first.size()) + " bytes dropped]\nnext\n");
    EXPECT_EQ(console.dropped(), 0u);
    close(fds[0]);
    close(fds[1]);
}

TEST(Console, ARegularFileTakesEverything) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ConsoleWriter console(fileno(file));
    const std::string text(1 << 20, 't');
    console.write(text.data(), text.size());
    EXPECT_EQ(console.dropped(), 0u);
    EXPECT_EQ(lseek(fileno(file), 0, SEEK_END), static_cast<off_t>(text.size()));
    std::fclose(file);
}
