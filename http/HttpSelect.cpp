// The readiness wrapper of the connection engine, made with ppoll. An entry
// is ready for input or output under the same conditions as in select():
// hang-ups and errors count as ready, so the next read or write reports them.
#include "HttpSelect.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr short READY_FOR_INPUT = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short READY_FOR_OUTPUT = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;

void watch(HttpSelect* sets, int fd, fd_set* set, short events)
{
    if (!http_select_fits(fd)) return;
    FD_SET(fd, set);
    if (fd > sets->maxFd) sets->maxFd = fd;
    sets->watch[sets->count++] = {fd, events, 0};
}

}  // namespace

bool http_select_fits(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

void http_select_clear(HttpSelect* sets)
{
    FD_ZERO(&sets->readSet);
    FD_ZERO(&sets->writeSet);
    sets->maxFd = -1;
    sets->count = 0;
}

void http_select_add_read(HttpSelect* sets, int fd)
{
    if (http_select_fits(fd) && !FD_ISSET(fd, &sets->readSet)) watch(sets, fd, &sets->readSet, POLLIN);
}

void http_select_add_write(HttpSelect* sets, int fd)
{
    if (http_select_fits(fd) && !FD_ISSET(fd, &sets->writeSet)) watch(sets, fd, &sets->writeSet, POLLOUT);
}

int http_select_wait(HttpSelect* sets, long microseconds)
{
    timespec timeout = {microseconds / 1000000, (microseconds % 1000000) * 1000};
    int result = ppoll(sets->watch, static_cast<nfds_t>(sets->count), microseconds < 0 ? nullptr : &timeout,
                       nullptr);
    FD_ZERO(&sets->readSet);
    FD_ZERO(&sets->writeSet);
    if (result <= 0) return result;
    int ready = 0;
    for (int i = 0; i < sets->count; ++i) {
        const pollfd& entry = sets->watch[i];
        if (entry.revents & POLLNVAL) {
            // select() refuses the whole wait for a descriptor that is not open.
            FD_ZERO(&sets->readSet);
            FD_ZERO(&sets->writeSet);
            errno = EBADF;
            return -1;
        }
        bool input = entry.events == POLLIN;
        if (!(entry.revents & (input ? READY_FOR_INPUT : READY_FOR_OUTPUT))) continue;
        FD_SET(entry.fd, input ? &sets->readSet : &sets->writeSet);
        ++ready;
    }
    return ready;
}

bool http_select_readable(const HttpSelect* sets, int fd)
{
    return http_select_fits(fd) && FD_ISSET(fd, &sets->readSet);
}

bool http_select_writable(const HttpSelect* sets, int fd)
{
    return http_select_fits(fd) && FD_ISSET(fd, &sets->writeSet);
}
