// Fuzz target: opening a damaged base file, with or without a left-over
// flush journal beside it, then walking what opened: keys, data and
// sub-levels, a bounded number of moves. Every failure must come back as
// an exception from the cursor, never as a crash or a runaway allocation.
#include <fcntl.h>

#include <stdexcept>

#include "FuzzSupport.h"
#include "base/VEKCursor.h"
#include "base/VEKStream.h"

using namespace VekBase;

namespace {

const char* const BaseName = "damaged.vek";
const char* const JournalName = "damaged.vek.sw";

void writeFile(const char* name, const std::string& bytes)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    close(fd);
}

// Depth-first over the levels below the cursor's, at most *budget moves.
void walk(VEKCursorBase& cursor, int* budget, int depth)
{
    if (depth > 8 || !cursor.goFirst()) return;
    do {
        if (--*budget < 0) return;
        cursor.readString();
        cursor.getChildCount();
        if (cursor.goChild()) {
            walk(cursor, budget, depth + 1);
            cursor.goParent();
        }
    } while (cursor.goNextKey());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    VekFuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    VekFuzz::Bytes in(data, size);
    if (in.byte() & 1) {
        size_t journalLength = in.byte() * 256u + in.byte();
        writeFile(JournalName, in.take(journalLength));
    }
    writeFile(BaseName, in.rest());
    try {
        VEKCursorBase cursor(BaseName, VEK_STREAM_FILE);
        int budget = 200;
        walk(cursor, &budget, 0);
        cursor.discard();
    } catch (const std::runtime_error&) {
        // A damaged base is refused.
    }
    VEKStreamFile::removeFile(BaseName);
    VEKStreamFile::removeFile(JournalName);
    return 0;
}
