// The select() wrapper of the connection engine: two descriptor sets and the
// highest descriptor, so the loop never touches fd_set itself.
#pragma once
#include <sys/select.h>

struct HttpSelect {
    fd_set readSet;   // descriptors watched for input
    fd_set writeSet;  // descriptors watched for output
    int maxFd;        // highest descriptor added; -1 when none
};

// True when select() can watch the descriptor at all.
bool http_select_fits(int fd);
void http_select_clear(HttpSelect* sets);
void http_select_add_read(HttpSelect* sets, int fd);
void http_select_add_write(HttpSelect* sets, int fd);
// Waits up to microseconds; select()'s result. The sets then hold the
// ready descriptors only.
int http_select_wait(HttpSelect* sets, long microseconds);
bool http_select_readable(const HttpSelect* sets, int fd);
bool http_select_writable(const HttpSelect* sets, int fd);
