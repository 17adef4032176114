// The readiness wrapper of the connection engine, made with ppoll. An entry
// is ready for input or output under the same conditions as in select():
// hang-ups and errors count as ready, so the next read or write reports them.
#include "HttpSelect.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr short READY_FOR_INPUT = POLLIN | POLLRDNORM | POLLRDBAND | POLLRDHUP | POLLHUP | POLLERR;
constexpr short READY_FOR_OUTPUT = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
// POLLHUP and POLLERR are reported whether asked for or not.
constexpr short GONE = POLLRDHUP | POLLHUP | POLLERR;

void watch(HttpSelect* sets, int fd, short events)
{
    if (fd < 0) return;
    if (static_cast<size_t>(fd) >= sets->entryOf.size()) sets->entryOf.resize(static_cast<size_t>(fd) + 1, 0);
    int& entry = sets->entryOf[static_cast<size_t>(fd)];
    if (entry == 0) {
        sets->watch.push_back({fd, 0, 0});
        entry = static_cast<int>(sets->watch.size());
    }
    sets->watch[static_cast<size_t>(entry - 1)].events |= events;
}

// The entry's answer to the last wait when it was watched for events; 0 otherwise.
short answer(const HttpSelect* sets, int fd, short events)
{
    if (fd < 0 || static_cast<size_t>(fd) >= sets->entryOf.size()) return 0;
    int entry = sets->entryOf[static_cast<size_t>(fd)];
    if (entry == 0) return 0;
    const pollfd& watched = sets->watch[static_cast<size_t>(entry - 1)];
    return (watched.events & events) ? watched.revents : 0;
}

}  // namespace

void http_select_clear(HttpSelect* sets)
{
    for (const pollfd& entry : sets->watch) sets->entryOf[static_cast<size_t>(entry.fd)] = 0;
    sets->watch.clear();
}

void http_select_add_read(HttpSelect* sets, int fd)
{
    watch(sets, fd, POLLIN);
}

void http_select_add_write(HttpSelect* sets, int fd)
{
    watch(sets, fd, POLLOUT);
}

void http_select_add_departure(HttpSelect* sets, int fd)
{
    watch(sets, fd, POLLRDHUP);
}

int http_select_wait(HttpSelect* sets, long microseconds)
{
    for (pollfd& entry : sets->watch) entry.revents = 0;
    timespec timeout = {microseconds / 1000000, (microseconds % 1000000) * 1000};
    int result = ppoll(sets->watch.data(), static_cast<nfds_t>(sets->watch.size()),
                       microseconds < 0 ? nullptr : &timeout, nullptr);
    if (result <= 0) return result;
    int ready = 0;
    for (pollfd& entry : sets->watch) {
        if (entry.revents & POLLNVAL) {
            // select() refuses the whole wait for a descriptor that is not open.
            for (pollfd& other : sets->watch) other.revents = 0;
            errno = EBADF;
            return -1;
        }
        if ((entry.events & POLLIN) && (entry.revents & READY_FOR_INPUT)) ++ready;
        if ((entry.events & POLLOUT) && (entry.revents & READY_FOR_OUTPUT)) ++ready;
        if ((entry.events & POLLRDHUP) && !(entry.events & POLLIN) && (entry.revents & GONE)) ++ready;
    }
    return ready;
}

bool http_select_readable(const HttpSelect* sets, int fd)
{
    return answer(sets, fd, POLLIN) & READY_FOR_INPUT;
}

bool http_select_writable(const HttpSelect* sets, int fd)
{
    return answer(sets, fd, POLLOUT) & READY_FOR_OUTPUT;
}

bool http_select_departed(const HttpSelect* sets, int fd)
{
    return answer(sets, fd, POLLRDHUP) & GONE;
}
