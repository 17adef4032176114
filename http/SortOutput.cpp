// The sort mode's output file (SortOutput.h).
#include "SortOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "SortSignals.h"

namespace {

// Bytes gathered before one write.
constexpr size_t SORT_WRITE_BLOCK = 65536;

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the open file fd is mounted over its name in directory (a file
// volume of a container, say): a rename cannot replace it. Told by the
// mount each is on; a kernel that does not say tells only one of another
// file system.
bool mountedOver(int fd, const std::string& directory)
{
    struct statx file, parent;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &file) != 0 ||
        ::statx(AT_FDCWD, directory.c_str(), 0, STATX_MNT_ID, &parent) != 0)
        return false;
    if ((file.stx_mask & parent.stx_mask & STATX_MNT_ID) != 0) return file.stx_mnt_id != parent.stx_mnt_id;
    return file.stx_dev_major != parent.stx_dev_major || file.stx_dev_minor != parent.stx_dev_minor;
}

}  // namespace

SortOutput::SortOutput(const std::string& path) : path(path)
{
    if (!openStandardStream()) openByName();
}

SortOutput::~SortOutput()
{
    closeFile();
    if (!asidePath.empty()) ::unlink(asidePath.c_str());  // never put in place
}

// The standard output (or error) itself when the name reaches its file:
// the banner printed there goes out first, and the sorted lines follow it
// through the same open file, at the same offset. Opened afresh, a
// regular file would be truncated under the banner and the banner later
// written over the sorted lines.
bool SortOutput::openStandardStream()
{
    struct stat named;
    if (::stat(path.c_str(), &named) != 0) return false;
    struct StandardStream {
        FILE* stream;  // its buffered stream
        int fd;        // its descriptor
    } const standard[] = {{stdout, STDOUT_FILENO}, {stderr, STDERR_FILENO}};
    for (const StandardStream& each : standard) {
        struct stat status;
        if (::fstat(each.fd, &status) != 0 || !sameFile(status, named)) continue;
        std::fflush(each.stream);
        fd = ::fcntl(each.fd, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) throw std::runtime_error("Unable to open file: '" + path + "' !");
        return true;
    }
    return false;
}

void SortOutput::openByName()
{
    // O_EXCL first tells a file made now from one that was there.
    fd = openRetrying(O_WRONLY | O_CREAT | O_EXCL);
    made = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        struct stat target;
        if (::stat(path.c_str(), &target) != 0 && errno == ENOENT) {
            // A link to nothing (O_EXCL refuses any link): opening through
            // it makes its target, which is then this run's to remove.
            fd = openRetrying(O_WRONLY | O_CREAT);
            made = fd >= 0;
        } else {
            // Opened for writing even when it is written beside, so a file
            // the operator may not write is refused as before.
            fd = openRetrying(O_WRONLY | O_CREAT);
        }
    }
    if (fd < 0) throw std::runtime_error("Unable to open file: '" + path + "' !");
    if (made) {
        rememberMade();
        return;
    }
    struct stat there;
    if (::fstat(fd, &there) != 0 || !S_ISREG(there.st_mode)) return;
    truncate = true;
    if (there.st_nlink == 1) writeBeside(there);
}

// A new file beside the one that is there (at a link's target), with its
// mode and owner. Nothing when the directory takes no new file or the new
// one cannot be given the old one's owner and group (another user's file,
// which a rename in a shared directory may not replace either), or is a
// mount point of its own: the file is then written through its name.
void SortOutput::writeBeside(const struct stat& there)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return;
    std::string target = resolved;
    std::free(resolved);
    size_t slash = target.rfind('/');
    if (mountedOver(fd, slash == 0 ? "/" : target.substr(0, slash))) return;
    std::string aside = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".sorting-XXXXXX";
    int besideFd = ::mkostemp(&aside[0], O_CLOEXEC);
    if (besideFd < 0) return;
    if (::fchown(besideFd, there.st_uid, there.st_gid) != 0 || ::fchmod(besideFd, there.st_mode & 07777) != 0) {
        ::close(besideFd);
        ::unlink(aside.c_str());
        return;
    }
    ::close(fd);
    fd = besideFd;
    asidePath = aside;
    targetPath = target;
    truncate = false;
}

void SortOutput::begin()
{
    if (truncate && ::ftruncate(fd, 0) != 0) fail();
    truncate = false;
}

// Where the made file is and which file it is, for discard.
void SortOutput::rememberMade()
{
    struct stat status;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved && ::fstat(fd, &status) == 0) {
        madePath = resolved;
        madeDevice = status.st_dev;
        madeInode = status.st_ino;
    } else {
        made = false;  // cannot tell where it is: leave it rather than remove another
    }
    std::free(resolved);
}

void SortOutput::write(const char* data, size_t size)
{
    while (size > 0) {
        sort_stop_if_signalled();
        ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) fail();
        data += done;
        size -= static_cast<size_t>(done);
    }
}

void SortOutput::close()
{
    if (closeFile() != 0) fail();
}

void SortOutput::finish()
{
    close();
    if (asidePath.empty()) return;
    if (::rename(asidePath.c_str(), targetPath.c_str()) != 0) fail();
    asidePath.clear();
}

void SortOutput::discard()
{
    closeFile();
    if (!asidePath.empty()) ::unlink(asidePath.c_str());
    asidePath.clear();
    struct stat status;
    if (made && ::stat(madePath.c_str(), &status) == 0 && status.st_dev == madeDevice && status.st_ino == madeInode)
        ::unlink(madePath.c_str());
}

// Opening a named pipe waits for its reader; a signal ends the wait.
int SortOutput::openRetrying(int flags) const
{
    int opened;
    for (;;) {
        sort_stop_if_signalled();
        opened = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
        if (opened >= 0 || errno != EINTR) return opened;
    }
}

int SortOutput::closeFile()
{
    if (fd < 0) return 0;
    int result = ::close(fd);
    fd = -1;
    return result;
}

void SortOutput::fail() const { throw std::runtime_error(std::strerror(errno)); }

void SortWriter::put(const char* data, size_t size)
{
    pending.append(data, size);
    if (pending.size() >= SORT_WRITE_BLOCK) flush();
}

void SortWriter::flush()
{
    std::string data;
    data.swap(pending);
    if (!data.empty()) output.write(data.data(), data.size());
}
