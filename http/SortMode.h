// Command-line sort mode: counts the records of a file as keys of a base and
// writes them back in key order.
#pragma once
#include <string>

// Settings given by the sort options.
struct SortSettings {
    std::string input;        // file to count; empty = no counting
    std::string base = "sort.vek";  // base name
    std::string save;         // file to write; empty = no writing
    int length = 0;           // record length; 0 or less = divider records
    std::string dividerFile;  // file whose bytes are the dividers
    std::string dividers = "\n";  // divider characters
    bool descending = false;  // write in descending key order
    bool init = false;        // start from an empty base
};

// What the sort mode did.
enum class SortOutcome {
    Serve,   // nothing was asked of it: the program goes on to serve
    Done,    // counted and/or wrote: the program ends with status 0
    Failed,  // one line on standard error says what failed and where
    Interrupted,  // SIGINT or SIGTERM stopped it; one line says which
};

// Counts the named input into the base and writes the named output. A named
// input that cannot be read, a record the base refuses, a key the sort mode
// did not write (a page's), a signal or an error of the base fails the run:
// nothing of it is kept in the base, and the output's name is left as it
// was wherever it can be. A page's base (told by what its file says) is
// refused before anything is touched.
SortOutcome sort_files(SortSettings& settings);

// sort_files for the program's start: true when the program is done and
// must not serve; a failure ends the process with status 1, a signal as
// that signal would have ended it.
bool run_sort_mode(SortSettings& settings);
