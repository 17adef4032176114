// The readiness wrapper of the connection engine, made with ppoll. An entry
// is ready for input or output under the same conditions as in select():
// hang-ups and errors count as ready, so the next read or write reports them.
#include "HttpSelect.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr short READY_FOR_INPUT = POLLIN | POLLRDNORM | POLLRDBAND | POLLRDHUP | POLLHUP | POLLERR;
constexpr short READY_FOR_OUTPUT = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
// Reported whether asked for or not: the connection hung up (both
// directions are shut, as after a reset) or failed.
constexpr short HUNG_UP = POLLHUP | POLLERR;
constexpr short DEPARTED = POLLRDHUP | HUNG_UP;

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

const pollfd* entryFor(const HttpSelect* sets, int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= sets->entryOf.size()) return nullptr;
    int entry = sets->entryOf[static_cast<size_t>(fd)];
    return entry == 0 ? nullptr : &sets->watch[static_cast<size_t>(entry - 1)];
}

// The entry's answer to the last wait when it was watched for events; 0 otherwise.
short answer(const HttpSelect* sets, int fd, short events)
{
    const pollfd* watched = entryFor(sets, fd);
    return watched && (watched->events & events) ? watched->revents : 0;
}

// Watched for its departure or hang-up alone: a descriptor watched for
// input or output reports a departure as readiness instead.
bool watchedForDeparture(const pollfd& entry)
{
    return !(entry.events & (POLLIN | POLLOUT));
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

void http_select_add_hangup(HttpSelect* sets, int fd)
{
    watch(sets, fd, 0);
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
        if (watchedForDeparture(entry) && (entry.revents & DEPARTED)) ++ready;
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

HttpDeparture http_select_departure(const HttpSelect* sets, int fd)
{
    const pollfd* watched = entryFor(sets, fd);
    if (!watched || !watchedForDeparture(*watched)) return HTTP_PEER_PRESENT;
    if (watched->revents & HUNG_UP) return HTTP_PEER_GONE;
    // Only asked for when watched with http_select_add_departure.
    if (watched->revents & POLLRDHUP) return HTTP_PEER_HALF_CLOSED;
    return HTTP_PEER_PRESENT;
}
