// Command-line sort mode. Not done yet: it reports so when a sort is asked
// for and lets the program serve.
#include "SortMode.h"

#include <cstdio>

bool run_sort_mode(SortSettings& settings)
{
    if (!settings.input.empty() || !settings.save.empty()) std::printf("Sort mode is not done yet.\n");
    return false;
}
