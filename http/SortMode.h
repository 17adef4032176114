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

// Runs the sort mode; true when the program is done (an input was named and
// exists, or an output was named) and must not serve.
bool run_sort_mode(SortSettings& settings);
