// The select() wrapper of the connection engine.
#include "HttpSelect.h"

bool http_select_fits(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

void http_select_clear(HttpSelect* sets)
{
    FD_ZERO(&sets->readSet);
    FD_ZERO(&sets->writeSet);
    sets->maxFd = -1;
}

void http_select_add_read(HttpSelect* sets, int fd)
{
    if (!http_select_fits(fd)) return;
    FD_SET(fd, &sets->readSet);
    if (fd > sets->maxFd) sets->maxFd = fd;
}

void http_select_add_write(HttpSelect* sets, int fd)
{
    if (!http_select_fits(fd)) return;
    FD_SET(fd, &sets->writeSet);
    if (fd > sets->maxFd) sets->maxFd = fd;
}

int http_select_wait(HttpSelect* sets, long microseconds)
{
    struct timeval timeout;
    timeout.tv_sec = microseconds / 1000000;
    timeout.tv_usec = microseconds % 1000000;
    return select(sets->maxFd + 1, &sets->readSet, &sets->writeSet, nullptr, &timeout);
}

bool http_select_readable(const HttpSelect* sets, int fd)
{
    return http_select_fits(fd) && FD_ISSET(fd, &sets->readSet);
}

bool http_select_writable(const HttpSelect* sets, int fd)
{
    return http_select_fits(fd) && FD_ISSET(fd, &sets->writeSet);
}
