// The readiness wrapper of the connection engine: descriptors watched for
// input, for output or for their peer's departure, one wait, then the ready
// ones. The loop never sees how the wait is made. It is made with ppoll,
// which takes any descriptor number the process may open (select() stops
// at 1023) and costs what the watched descriptors cost, not what the
// highest number does.
#pragma once
#include <poll.h>

#include <vector>

struct HttpSelect {
    std::vector<pollfd> watch;  // one entry per watched descriptor, its interests OR'd
    std::vector<int> entryOf;   // descriptor -> its index in watch plus one; 0 = not watched
};

// Forgets every watched descriptor; the vectors keep their room for the next turn.
void http_select_clear(HttpSelect* sets);
void http_select_add_read(HttpSelect* sets, int fd);
void http_select_add_write(HttpSelect* sets, int fd);
// What a wait saw of a peer watched for its departure.
enum HttpDeparture {
    HTTP_PEER_PRESENT,      // nothing
    HTTP_PEER_HALF_CLOSED,  // its end of input: it closed its sending side, or all of its end
    HTTP_PEER_GONE,         // the connection hung up or failed (a reset)
};
// Watches a descriptor for its peer's departure only: its end of input
// (whatever it left unread) or a hang-up or failure. Input waiting on it
// does not make it ready.
void http_select_add_departure(HttpSelect* sets, int fd);
// Watches a descriptor only for a hang-up or failure: for a peer whose end
// of input was already seen, which would otherwise make every wait return
// at once.
void http_select_add_hangup(HttpSelect* sets, int fd);
// Waits up to microseconds (no limit when negative); the number of ready
// descriptors and directions, 0 when none, -1 on failure (EBADF when a
// watched descriptor is not open).
int http_select_wait(HttpSelect* sets, long microseconds);
// After a wait: ready for input (data, end of input or an error, so the
// next read reports it), ready for output, or what was seen of a departure.
// Only what the descriptor was watched for is reported.
bool http_select_readable(const HttpSelect* sets, int fd);
bool http_select_writable(const HttpSelect* sets, int fd);
HttpDeparture http_select_departure(const HttpSelect* sets, int fd);
