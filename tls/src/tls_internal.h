// Helpers shared by the handshake files (tls_handshake.cpp, tls_client.cpp,
// tls_server.cpp): a bounds-checked reader of message bodies, the
// renegotiation_info extension, and the per-message handlers that
// receive_handshake_record dispatches to.
#pragma once
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <vector>

#include "tls.h"

namespace VekTls {

// Reads big-endian fields from a message body; any read past the end
// clears `ok` and yields zeros or null, so a parser checks once at the end.
struct body_reader {
  const u8* at;  // next unread byte
  int left;      // bytes left
  bool ok;       // no read ran past the end

  const u8* bytes(int count) {
    if (!ok || count < 0 || count > left) {
      ok = false;
      return nullptr;
    }
    const u8* start = at;
    at += count;
    left -= count;
    return start;
  }
  int number(int width) {
    const u8* field = bytes(width);
    int value = 0;
    for (int i = 0; field && i < width; i++) value = (value << 8) | field[i];
    return value;
  }
};

// Holds back the records of one flight (the messages a side sends before it
// waits for its peer) until the flight is complete, so they leave in as few
// segments as possible. Sent one record at a time, the second record of a
// flight would wait for the acknowledgement of the first, which the peer
// delays because it is still waiting for the rest: about 40 ms per flight.
// On a socket that is not TCP (a socket pair) the option fails and nothing
// changes.
class flight_cork {
 public:
  explicit flight_cork(int connection) : connection_(connection) { set(1); }
  ~flight_cork() { set(0); }  // clearing the cork sends what it held
  flight_cork(const flight_cork&) = delete;
  flight_cork& operator=(const flight_cork&) = delete;

 private:
  void set(int on) { setsockopt(connection_, IPPROTO_TCP, TCP_CORK, &on, sizeof(on)); }
  int connection_;  // the socket whose sends are held back
};

// Appends big-endian fields to a message body under construction.
inline void put_number(std::vector<u8>& out, int value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out.push_back(u8(value >> shift));
}
inline void put_bytes(std::vector<u8>& out, const u8* bytes, int length) {
  out.insert(out.end(), bytes, bytes + length);
}

// Time in bytes 0-3, the operating system's random bytes in 4-31.
void fill_random(u8 random[RANDOM_LENGTH]);

// Appends the extensions length and, when secure renegotiation is on, the
// renegotiation_info extension carrying `verified` (0, 12 or 24 bytes).
void put_extensions(std::vector<u8>& out, const TLSParameters* parameters, const u8* verified, int verified_length);

// Reads what follows the compression methods of a hello. `expected` is the
// renegotiated_connection value that must arrive (empty on a first
// handshake). `scsv` says the client hello carried the signalling suite
// 0x00FF, which counts as an empty renegotiation_info. 0, or the alert
// description to fail with; `*matched_length` receives the length of the
// renegotiated_connection field that matched (-1 when none arrived).
int read_extensions(body_reader* body, TLSParameters* parameters, const u8* expected, int expected_length, bool scsv,
                    int* matched_length);

// pre-master secret -> master secret; then calculate_keys.
void derive_keys(const u8* pre_master, int pre_master_length, TLSParameters* parameters);

// The verify data the given end sends over the current handshake hash.
void compute_verify_data(int connection_end, TLSParameters* parameters, u8 verify_data[VERIFY_DATA_LENGTH]);

// Message handlers: 0, or -1 after sending the alert the failure calls for.
int receive_client_hello(int connection, const u8* body, int length, TLSParameters* parameters);
int receive_client_key_exchange(int connection, const u8* body, int length, TLSParameters* parameters);
int receive_server_hello(int connection, const u8* body, int length, TLSParameters* parameters);
int receive_certificate(int connection, const u8* body, int length, TLSParameters* parameters);
int receive_server_key_exchange(int connection, const u8* body, int length, TLSParameters* parameters);
int receive_certificate_request(int connection, const u8* body, int length, TLSParameters* parameters);

// Resets the connection for a new handshake; a renegotiation keeps the
// active states and the verify data.
void reset_for_handshake(TLSParameters* parameters, int connection_end, bool renegotiation);

// Makes `suite` the pending suite of both directions. Keys already derived
// belong to the suite they were derived for (their blocks have its sizes),
// so they are dropped: a hello that changes the suite after the key
// exchange leaves nothing a change cipher spec could activate.
void set_pending_suite(TLSParameters* parameters, u32 suite);

// The RSA private key read from a DER file; false (after perror) when the
// file cannot be read. Release with free_rsa_private_key.
bool load_private_key(const char* path, rsa_key* key);
void free_rsa_private_key(rsa_key* key);

}  // namespace VekTls
