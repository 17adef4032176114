// Which bases the sort mode may count into and write out, told by what
// their file says (the stamp in its header page), never by their names.
#pragma once
#include <string>

#include "kernel/VekTypes.h"

// What the header of the base's file says, read before the base opens.
enum class SortBaseFile {
    Unread,     // missing, empty, not a base or a header that does not read:
                // the open decides (it makes, refuses or mends it)
    SortMode,   // stamped as a base the sort mode made
    Unstamped,  // a base of an older version, which says nothing of itself
};

// Reads what the file at name (of that stream kind) says. Throws
// std::runtime_error, whose text is the line to print, for a base the sort
// mode leaves alone: a file stamped as a page base's (through any name: a
// link reaches the same header), a stamp of a kind this program does not
// know, and an unstamped file that is one of an unstamped page base's pair
// (see refuseUnstampedPair in the .cpp), by its name or a symbolic link's
// target.
SortBaseFile examineSortBase(const std::string& name, u32 streamKind);

// Refuses (throws as above) an output name that reaches a base's file:
// the sorted lines would replace the base.
void refuseBaseAsOutput(const std::string& output);
