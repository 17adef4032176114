// The listening socket and the taking of connections: opening it, a spare
// descriptor that lets the loop take and refuse a connection when the
// process has no other, a short pause of the listening socket when even
// that fails, and the careful close of a client socket.
#pragma once
#include "HttpServer.h"

// socket, SO_REUSEADDR, bind, non-blocking, listen; 0 on success, -1 on
// failure. A new listening socket starts without a pause.
int http_listen_open(HttpServer* server);
// The errno of the last http_listen_open that failed (EADDRINUSE for a
// port another socket listens on); 0 when none failed.
int http_listen_error();
// Opens the spare descriptor (when none is open) or closes it.
void http_spare_descriptor_open();
void http_spare_descriptor_close();
// Milliseconds left of the pause of the listening socket; 0 when none.
long http_accept_pause_left();
// Accepts the waiting connection: its descriptor, or 0 when none was taken
// (refused at once for want of descriptors, or the listening socket paused).
int http_accept_or_refuse(HttpServer* server, u32* peer);
// Closes a client socket after reading what it still holds.
void http_close_client_socket(int fd);
