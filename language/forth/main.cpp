// forth_console: the Forth processor on standard input and the program
// arguments, used by the tests. With no arguments it greets and runs the
// console; with file names it includes them in order, then runs the console.
// The end of standard input ends the program with exit code 0.
#include <cstdlib>

#include "ForthProcessor.h"

namespace {

// The processor operations are not used by the console.
class ConsoleForth : public VekLanguage::ForthProcessor {
public:
    void process() override {}
    bool run(int64) override { return true; }
    void init(const std::string&) override {}
    void setInput(const std::string&) override {}
};

ConsoleForth* console = nullptr;

// Deleting the processor at exit closes (and flushes) the files a program
// left open when "bye" or the end of input ends the process.
void deleteConsole() { delete console; }

}  // namespace

int main(int argc, char** argv) {
    console = new ConsoleForth();
    std::atexit(deleteConsole);
    return console->main(argc, argv);
}
