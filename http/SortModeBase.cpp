// Telling the sort mode's bases from a page's (SortModeBase.h).
//
// Every base file made now carries a stamp in its header page: a page's
// base says so in both its files (NAME1 and its read copy NAME2), and a
// base the sort mode makes says it is the sort mode's. The stamp is read
// through whatever name the operator gave, so a link to a page base's file
// is refused like the file itself, and a sort base may be called anything.
//
// Files of older versions carry no stamp. An older page base gets its
// stamp at its next commit; until then its pair is still recognisable:
// after each commit the server keeps the read copy equal to the write file
// in size and header page, and a writer cut short leaves its journal
// beside the write file. Two independent sort bases named like a pair are
// almost never such copies, and a copy of a sort base made by this version
// carries the stamp, so the pair rule only ever looks at unstamped files.
#include "SortModeBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "base/VEKCursor.h"
#include "base/VEKTree.h"

using VekBase::VEKBaseStamp;

namespace {

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::unique_ptr<VekBase::VEKStream> streamLike(u32 streamKind)
{
    if (streamKind == VekBase::VEK_STREAM_MEMORY) return std::make_unique<VekBase::VEKStreamMem>();
    return std::make_unique<VekBase::VEKStreamFile>();
}

[[noreturn]] void refusePageBase(const std::string& name, const std::string& why)
{
    throw std::runtime_error("the base " + quoted(name) + " is " + why + "; the sort mode leaves page bases alone");
}

// The first page of the file at name; empty when it cannot be read whole.
std::string headerPage(const std::string& name)
{
    std::string page(VekBase::VEKTree::PAGE, '\0');
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    ssize_t got = ::pread(fd, &page[0], page.size(), 0);
    ::close(fd);
    return got == static_cast<ssize_t>(page.size()) ? page : "";
}

// Two files of the same size with the same header page: one is a copy of
// the other, as a page base's read copy is of its write file.
bool copiesOfEachOther(const std::string& a, const std::string& b)
{
    struct stat first, second;
    if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
    if (first.st_size != second.st_size) return false;
    std::string page = headerPage(a);
    return !page.empty() && page == headerPage(b);
}

bool exists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }

// Only a regular file is read for its header: opening a named pipe, a
// device or /dev/stdout to read could wait or take another reader's bytes.
bool regularFile(const std::string& name)
{
    struct stat status;
    return ::stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// An unstamped NAME1 or NAME2 is taken for an older page base's file when
// its partner is an unstamped base too and either the two are copies of
// each other, or the write file NAME1 has a page writer's journal beside it
// (".sw" of a writer cut short, ".swt" of a commit not yet published).
void refuseUnstampedPair(const std::string& name)
{
    if (name.empty() || (name.back() != '1' && name.back() != '2')) return;
    const std::string stem = name.substr(0, name.size() - 1);
    const bool writeFile = name.back() == '1';
    const std::string partner = stem + (writeFile ? '2' : '1');
    VEKBaseStamp stamp;
    if (!regularFile(partner) || !VekBase::readBaseStamp(VekBase::VEKStreamFile(), partner, &stamp) ||
        stamp.stamped())
        return;
    const std::string written = stem + "1";
    if (!copiesOfEachOther(name, partner) && !exists(written + ".sw") && !exists(written + ".swt")) return;
    refusePageBase(name, std::string("the ") + (writeFile ? "write file" : "read copy") + " of a page's base (" +
                             quoted(partner) + " beside it is its " + (writeFile ? "read copy" : "write file") +
                             ")");
}

// The pair rule for the name given and, when a symbolic link leads
// elsewhere, for the file it reaches (a hard link has no name to go by).
void refuseUnstampedFile(const std::string& name)
{
    refuseUnstampedPair(name);
    char* resolved = ::realpath(name.c_str(), nullptr);
    if (!resolved) return;
    const std::string reached = resolved;
    std::free(resolved);
    if (reached != name) refuseUnstampedPair(reached);
}

}  // namespace

SortBaseFile examineSortBase(const std::string& name, u32 streamKind)
{
    VEKBaseStamp stamp;
    if (streamKind == VekBase::VEK_STREAM_FILE && !regularFile(name)) return SortBaseFile::Unread;
    if (!VekBase::readBaseStamp(*streamLike(streamKind), name, &stamp)) return SortBaseFile::Unread;
    switch (stamp.kind) {
    case VEKBaseStamp::SortBase:
        return SortBaseFile::SortMode;
    case VEKBaseStamp::PageBase:
        refusePageBase(name, "a file of a page's base");
    case VEKBaseStamp::None:
        if (streamKind == VekBase::VEK_STREAM_FILE) refuseUnstampedFile(name);
        return SortBaseFile::Unstamped;
    default:
        throw std::runtime_error("the base " + quoted(name) + " says it is of a kind this program does not know (" +
                                 std::to_string(stamp.kind) + "); the sort mode leaves it alone");
    }
}

void refuseBaseAsOutput(const std::string& output)
{
    VEKBaseStamp stamp;
    if (regularFile(output) && VekBase::readBaseStamp(VekBase::VEKStreamFile(), output, &stamp))
        throw std::runtime_error("cannot write " + quoted(output) +
                                 ": it holds a base, which the sorted lines would replace");
}
