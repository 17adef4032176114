// The TLS 1.0 record layer: building, MAC-ing, padding, encrypting and
// sending records; reading, decrypting and checking received records and
// handling alerts, change cipher spec and application data. Handshake
// records go to receive_handshake_record (tls_handshake.cpp).
//
// Buffer layout used on both paths, so that the MAC input (sequence number,
// type, version, length, content) is contiguous without a copy:
//
//   [0..7] sequence  [8] type  [9..10] version  [11..12] length  [13..] content, MAC, padding
//
// Bytes 8..12 double as the record header; only the length differs between
// the MAC input (content length) and the header (fragment length).
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hmac.h"
#include "kernel/VekAlloc.h"
#include "tls.h"

namespace VekTls {

namespace {

constexpr int SEQUENCE_OFFSET = 0;
constexpr int HEADER_OFFSET = 8;   // the 5 record header bytes
constexpr int CONTENT_OFFSET = 13;
constexpr int FIRST_BYTE_WAIT_MS = 200;  // nothing at all arrived
constexpr int NEXT_BYTE_WAIT_MS = 100;   // the rest of a partial read

// What a record turned out to be, for tls_recv's loop.
struct record_info {
  u8 content_type;   // type of the record just processed
  int close_notify;  // the peer sent a close notify alert
};

long long monotonic_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void store_be16(u8* p, int value) {
  p[0] = u8(value >> 8);
  p[1] = u8(value);
}

const cipher_suite* suite_of(const cipher_state* state) {
  const cipher_suite* suite = find_suite(state->suite);
  return suite ? suite : &suites[0];
}

// HMAC of the MAC input that starts at `record` (the layout above) and
// carries `content_length` content bytes; writes hash_size bytes to `mac`.
void compute_mac(const cipher_suite* suite, const cipher_state* state, u8* record, int content_length, u8* mac) {
  std::memset(record + SEQUENCE_OFFSET, 0, 4);
  record[4] = u8(state->sequence >> 24);
  record[5] = u8(state->sequence >> 16);
  record[6] = u8(state->sequence >> 8);
  record[7] = u8(state->sequence);
  store_be16(record + 11, content_length);
  digest_ctx digest;
  suite->new_digest(&digest);
  hmac(state->mac_secret, int(suite->hash_size), record, CONTENT_OFFSET + content_length, &digest);
  std::memcpy(mac, digest.hash, suite->hash_size);
}

// Compares without an early exit, so the time taken does not tell where
// the first difference lies.
bool equal_bytes(const u8* a, const u8* b, int length) {
  u8 difference = 0;
  for (int i = 0; i < length; i++) difference |= u8(a[i] ^ b[i]);
  return difference == 0;
}

const char* alert_text(int description) {
  switch (description) {
    case 0: return "Close notify";
    case 10: return "Unexpected message";
    case 20: return "Bad Record Mac";
    case 21: return "Decryption Failed";
    case 22: return "Record Overflow";
    case 30: return "Decompression Failure";
    case 40: return "Handshake Failure";
    case 42: return "Bad Certificate";
    case 43: return "Unsupported Certificate";
    case 44: return "Certificate Revoked";
    case 45: return "Certificate Expired";
    case 46: return "Certificate Unknown";
    case 47: return "Illegal Parameter";
    case 48: return "Unknown CA";
    case 49: return "Access Denied";
    case 50: return "Decode Error";
    case 51: return "Decrypt Error";
    case 60: return "Export Restriction";
    case 70: return "Protocol Version";
    case 71: return "Insufficient Security";
    case 80: return "Internal Error";
    case 90: return "User canceled";
    case 100: return "No renegotiation";
    default: return nullptr;
  }
}

// Prints each two-byte alert; -1 once a fatal one arrives, else 0.
int report_alerts(const u8* content, int length, record_info* info) {
  for (int i = 0; i + 1 < length; i += 2) {
    int level = content[i], description = content[i + 1];
    std::printf("Alert - ");
    if (level == alert_warning)
      std::printf("Warning: ");
    else if (level == alert_fatal)
      std::printf("Fatal: ");
    else
      std::printf("UNKNOWN ALERT TYPE %d (!!!): ", level);
    const char* text = alert_text(description);
    if (text)
      std::printf("%s\n", text);
    else
      std::printf("UNKNOWN ALERT DESCRIPTION %d (!!!)\n", description);
    if (description == alert_close_notify) info->close_notify = 1;
    if (level == alert_fatal) return -1;
  }
  return 0;
}

// Each byte 1 makes the pending receive state active. A byte of another
// value, or a switch before the keys exist, is answered with alert 10:
// taking an empty pending state would silently drop the protection.
int change_receive_state(int connection, const u8* content, int length, TLSParameters* parameters) {
  for (int i = 0; i < length; i++) {
    if (content[i] != 1) {
      std::printf("Error - received message ChangeCipherSpec, but type != 1\n");
      send_alert_message(connection, alert_fatal, alert_unexpected_message, &parameters->active_send);
      return -1;
    }
    if (parameters->pending_recv.mac_secret == nullptr) {
      send_alert_message(connection, alert_fatal, alert_unexpected_message, &parameters->active_send);
      return -1;
    }
    free_cipher_state(&parameters->active_recv);
    parameters->active_recv = parameters->pending_recv;
    parameters->active_recv.sequence = 0;
    std::memset(&parameters->pending_recv, 0, sizeof(cipher_state));
  }
  return 0;
}

// Copies what fits to the caller and keeps the rest (after anything already
// kept) for the next call.
int deliver_application_data(const u8* content, int length, u8* buffer, int buffer_size,
                             TLSParameters* parameters) {
  int copied = buffer_size < length ? (buffer_size > 0 ? buffer_size : 0) : length;
  if (copied > 0) std::memcpy(buffer, content, copied);
  int rest = length - copied;
  if (rest > 0) {
    int kept = parameters->unread_length;
    u8* joined = static_cast<u8*>(vekMalloc(u32(kept + rest)));
    if (kept > 0) std::memcpy(joined, parameters->unread_buffer, kept);
    std::memcpy(joined + kept, content + copied, rest);
    vekFree(&parameters->unread_buffer);
    parameters->unread_buffer = joined;
    parameters->unread_length = kept + rest;
  }
  return copied;
}

// Hands out kept application bytes; the remainder stays kept.
int deliver_unread(u8* buffer, int buffer_size, TLSParameters* parameters) {
  u8* kept = parameters->unread_buffer;
  int length = parameters->unread_length;
  parameters->unread_buffer = nullptr;
  parameters->unread_length = 0;
  int copied = deliver_application_data(kept, length, buffer, buffer_size, parameters);
  vekFree(&kept);
  return copied;
}

// Reads the header and fragment into `record` (the layout above). The
// fragment length, or -1 after the alert the failure calls for.
int read_record(int connection, std::vector<u8>& record, TLSParameters* parameters) {
  record.resize(CONTENT_OFFSET);
  int got = recv_with_timeout(connection, &record[HEADER_OFFSET], 5, 0);
  if (got < 0) return -1;
  int length = got == 5 ? (record[11] << 8) | record[12] : -1;
  if (length < 0 || length > TLS_MAX_RECORD) {
    send_alert_message(connection, alert_fatal, alert_record_overflow, &parameters->active_send);
    return -1;
  }
  record.resize(CONTENT_OFFSET + length);
  for (int have = 0; have < length;) {
    got = recv_with_timeout(connection, &record[CONTENT_OFFSET + have], length - have, 0);
    if (got <= 0) {
      std::perror("While reading a TLS packet");
      send_alert_message(connection, alert_fatal, alert_illegal_parameter, &parameters->active_send);
      return -1;
    }
    have += got;
  }
  return length;
}

// Decrypts the fragment in place and checks padding and MAC. The content
// length, or -1 when anything is wrong: a bad padding and a bad MAC take the
// same path and the MAC is computed either way, so the answer does not tell
// which check failed.
int open_fragment(u8* record, int length, cipher_state* state) {
  const cipher_suite* suite = suite_of(state);
  u8* fragment = record + CONTENT_OFFSET;
  bool good = true;
  if (suite->bulk_decrypt) {
    if (suite->block_size > 0 && (length == 0 || length % int(suite->block_size) != 0)) return -1;
    suite->bulk_decrypt(fragment, length, fragment, state->iv, state->key);
  }
  if (suite->block_size > 0) {
    int pad = fragment[length - 1];
    int mac_length = suite->new_digest ? int(suite->hash_size) : 0;
    if (pad + 1 + mac_length > length) {
      good = false;
      pad = 0;
    }
    for (int i = length - 1 - pad; i < length; i++) good &= fragment[i] == pad;
    length -= pad + 1;
  }
  if (suite->new_digest == nullptr) return good ? length : -1;
  int content_length = length - int(suite->hash_size);
  if (content_length < 0) return -1;
  u8 mac[32];
  compute_mac(suite, state, record, content_length, mac);
  good &= equal_bytes(mac, fragment + content_length, int(suite->hash_size));
  return good ? content_length : -1;
}

int receive_record(int connection, u8* buffer, int buffer_size, TLSParameters* parameters, record_info* info) {
  info->content_type = 0;
  if (parameters->unread_length > 0 && buffer_size > 0) {
    info->content_type = content_application_data;
    return deliver_unread(buffer, buffer_size, parameters);
  }
  std::vector<u8> record;
  int length = read_record(connection, record, parameters);
  if (length < 0) return -1;
  u8 type = record[HEADER_OFFSET];
  info->content_type = type;
  int content_length = open_fragment(record.data(), length, &parameters->active_recv);
  if (content_length < 0) {
    send_alert_message(connection, alert_fatal, alert_bad_record_mac, &parameters->active_send);
    return -1;
  }
  parameters->active_recv.sequence++;
  const u8* content = record.data() + CONTENT_OFFSET;
  switch (type) {
    case content_handshake:
      return receive_handshake_record(connection, content, content_length, parameters) < 0 ? -1 : content_length;
    case content_alert:
      return report_alerts(content, content_length, info) < 0 ? -1 : content_length;
    case content_change_cipher_spec:
      return change_receive_state(connection, content, content_length, parameters) < 0 ? -1 : content_length;
    case content_application_data:
      return deliver_application_data(content, content_length, buffer, buffer_size, parameters);
    default:
      std::printf("Ignoring non-recognized content type %d\n", type);
      return content_length;
  }
}

}  // namespace

// More than 16384 content bytes is refused (-1): the peer would refuse the
// record, and with MAC and padding the length could wrap its 16-bit field.
int send_message(int connection, u8 content_type, const u8* content, u16 content_length, cipher_state* state) {
  if (content_length > TLS_MAX_FRAGMENT) return -1;
  const cipher_suite* suite = suite_of(state);
  int mac_length = int(suite->hash_size);
  int block = int(suite->block_size);
  int pad = block > 0 ? block - (content_length + mac_length) % block : 0;
  int fragment_length = content_length + mac_length + pad;
  std::vector<u8> record(CONTENT_OFFSET + fragment_length);
  u8* header = &record[HEADER_OFFSET];
  header[0] = content_type;
  header[1] = 3;
  header[2] = 1;
  if (content_length > 0) std::memcpy(&record[CONTENT_OFFSET], content, content_length);
  if (suite->new_digest) compute_mac(suite, state, record.data(), content_length, &record[CONTENT_OFFSET + content_length]);
  if (pad > 0) std::memset(&record[CONTENT_OFFSET + content_length + mac_length], pad - 1, pad);
  store_be16(header + 3, fragment_length);
  if (suite->bulk_encrypt)
    suite->bulk_encrypt(&record[CONTENT_OFFSET], fragment_length, &record[CONTENT_OFFSET], state->iv, state->key);
  if (send_all(connection, header, 5 + fragment_length, 0) < 0) return -1;
  state->sequence++;
  return 0;
}

void send_alert_message(int connection, u8 level, u8 description, cipher_state* state) {
  u8 alert[2] = {level, description};
  send_message(connection, content_alert, alert, 2, state);
}

int receive_tls_msg(int connection, u8* buffer, int buffer_size, TLSParameters* parameters) {
  record_info info;
  return receive_record(connection, buffer, buffer_size, parameters, &info);
}

int tls_send(int connection, const u8* data, int length, TLSParameters* parameters) {
  if (length <= 0) return length;
  for (int sent = 0; sent < length;) {
    int part = length - sent < TLS_MAX_FRAGMENT ? length - sent : TLS_MAX_FRAGMENT;
    if (send_message(connection, content_application_data, data + sent, u16(part), &parameters->active_send) < 0)
      return -1;
    sent += part;
  }
  return length;
}

// Alerts, handshake messages (a renegotiation) and empty application
// records, which some peers send ahead of each real one, deliver nothing:
// reading goes on until bytes arrive, the peer closes, or a failure.
int tls_recv(int connection, u8* buffer, int buffer_size, TLSParameters* parameters) {
  if (buffer_size <= 0) return 0;
  for (;;) {
    record_info info = {0, 0};
    int result = receive_record(connection, buffer, buffer_size, parameters, &info);
    if (result < 0) return -1;
    if (info.close_notify) return 0;
    if (info.content_type == content_application_data && result > 0) return result;
  }
}

int tls_shutdown(int connection, TLSParameters* parameters) {
  send_alert_message(connection, alert_fatal, alert_close_notify, &parameters->active_send);
  vekFree(&parameters->unread_buffer);
  parameters->unread_length = 0;
  free_cipher_state(&parameters->active_send);
  free_cipher_state(&parameters->active_recv);
  free_cipher_state(&parameters->pending_send);
  free_cipher_state(&parameters->pending_recv);
  free_peer_keys(parameters);
  return 1;
}

// Polls instead of sleeping; the waits count milliseconds of a monotonic
// clock. A peer that closed sends no more, so its end stops the wait early.
int recv_with_timeout(int socket, u8* buffer, int length, int flags) {
  int received = 0;
  long long last = monotonic_ms();
  while (received < length) {
    int limit = received == 0 ? FIRST_BYTE_WAIT_MS : NEXT_BYTE_WAIT_MS;
    long long waited = monotonic_ms() - last;
    if (waited > limit) return received > 0 ? received : -1;
    pollfd readable = {socket, POLLIN, 0};
    int ready = poll(&readable, 1, int(limit - waited + 1));
    if (ready < 0 && errno != EINTR) return received > 0 ? received : -1;
    if (ready <= 0) continue;
    ssize_t got = recv(socket, buffer + received, size_t(length - received), flags | MSG_DONTWAIT);
    if (got > 0) {
      received += int(got);
      last = monotonic_ms();
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return received > 0 ? received : -1;
    }
  }
  return length;
}

// MSG_NOSIGNAL: a peer that went away gives -1 here, not a SIGPIPE that
// ends the process. A non-blocking socket that is full gets 200 ms to drain.
int send_all(int socket, const u8* buffer, int length, int flags) {
  for (int sent = 0; sent < length;) {
    ssize_t done = send(socket, buffer + sent, size_t(length - sent), flags | MSG_NOSIGNAL);
    if (done > 0) {
      sent += int(done);
      continue;
    }
    if (done < 0 && errno == EINTR) continue;
    pollfd writable = {socket, POLLOUT, 0};
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && poll(&writable, 1, FIRST_BYTE_WAIT_MS) > 0)
      continue;
    return -1;
  }
  return length;
}

}  // namespace VekTls
