// The readiness wrapper of the connection engine: descriptors watched for
// input and for output, one wait, then the ready ones. The loop never sees
// how the wait is made (ppoll, whose cost does not grow with the highest
// descriptor number as select()'s does); the answers are select()'s.
#pragma once
#include <poll.h>
#include <sys/select.h>

struct HttpSelect {
    fd_set readSet;              // watched for input; after the wait, ready for input
    fd_set writeSet;             // watched for output; after the wait, ready for output
    int maxFd;                   // highest descriptor added; -1 when none
    pollfd watch[2 * FD_SETSIZE];  // one entry per descriptor and direction
    int count;                   // entries in use
};

// True when the loop can watch the descriptor at all.
bool http_select_fits(int fd);
void http_select_clear(HttpSelect* sets);
void http_select_add_read(HttpSelect* sets, int fd);
void http_select_add_write(HttpSelect* sets, int fd);
// Waits up to microseconds (no limit when negative); the number of ready
// descriptors and directions, 0 when none, -1 on failure (EBADF when a
// watched descriptor is not open). The sets then hold the ready ones only.
int http_select_wait(HttpSelect* sets, long microseconds);
bool http_select_readable(const HttpSelect* sets, int fd);
bool http_select_writable(const HttpSelect* sets, int fd);
