// What both ends of the handshake share: sending handshake messages and
// change cipher spec, the running handshake digests and the finished
// values, the master secret, randoms, the renegotiation_info extension,
// and the dispatch of received handshake messages.
//
// Order rules the dispatch enforces, because a message out of order would
// otherwise act on keys that do not exist yet: change cipher spec needs
// the pending keys (tls_record.cpp), finished needs the peer's change
// cipher spec, and each end accepts only the messages its peer sends.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "asn1.h"
#include "kernel/VekAlloc.h"
#include "prf.h"
#include "rsa.h"
#include "tls_internal.h"

namespace VekTls {

namespace {

bool equal_bytes(const u8* a, const u8* b, int length) {
  u8 difference = 0;
  for (int i = 0; i < length; i++) difference |= u8(a[i] ^ b[i]);
  return difference == 0;
}

int fail(int connection, TLSParameters* parameters, u8 description) {
  send_alert_message(connection, alert_fatal, description, &parameters->active_send);
  return -1;
}

// The peer's finished: checked against the value computed with the peer's
// label over the hash of everything before it.
int receive_finished(int connection, const u8* body, int length, TLSParameters* parameters) {
  if (parameters->active_recv.mac_secret == nullptr) return fail(connection, parameters, alert_unexpected_message);
  parameters->peer_finished = 1;
  int peer = parameters->connection_end == 0 ? 1 : 0;
  u8* stored = peer == 0 ? parameters->client_verify_data : parameters->server_verify_data;
  compute_verify_data(peer, parameters, stored);
  if (length != VERIFY_DATA_LENGTH || !equal_bytes(stored, body, VERIFY_DATA_LENGTH))
    return fail(connection, parameters, alert_illegal_parameter);
  return 0;
}

// A client renegotiates when asked after a finished handshake; a server
// never takes the request.
int receive_hello_request(int connection, TLSParameters* parameters) {
  if (parameters->connection_end == 1) return fail(connection, parameters, alert_unexpected_message);
  if (!parameters->peer_finished) return 0;
  return tls_connect(connection, parameters, 1) == 0 ? 0 : -1;
}

// The handshake messages only one side may receive, with their handlers;
// the other side answers them with an unexpected-message alert.
struct SidedMessage {
  u8 type;
  bool to_server;
  int (*receive)(int connection, const u8* body, int length, TLSParameters* parameters);
};

const SidedMessage sided_messages[] = {
    {client_hello, true, receive_client_hello},
    {client_key_exchange, true, receive_client_key_exchange},
    {server_hello, false, receive_server_hello},
    {certificate, false, receive_certificate},
    {server_key_exchange, false, receive_server_key_exchange},
    {certificate_request, false, receive_certificate_request},
};

int process_message(int connection, u8 type, const u8* body, int length, TLSParameters* parameters) {
  bool server = parameters->connection_end == 1;
  for (const SidedMessage& message : sided_messages)
    if (message.type == type)
      return message.to_server == server ? message.receive(connection, body, length, parameters)
                                         : fail(connection, parameters, alert_unexpected_message);
  switch (type) {
    case hello_request:
      return receive_hello_request(connection, parameters);
    case server_hello_done:
      parameters->server_hello_done = 1;
      return 0;
    case finished:
      return receive_finished(connection, body, length, parameters);
    default:
      std::printf("Ignoring unrecognized handshake message %d\n", type);
      return 0;
  }
}

}  // namespace

// A record may hold several messages; one that claims more bytes than the
// record has is refused. Each message enters the running digests after it
// is processed (a finished is checked against the hash before it), except
// hello requests, which the finished values never cover.
int receive_handshake_record(int connection, const u8* content, int length, TLSParameters* parameters) {
  for (int at = 0; at < length;) {
    if (length - at < 4) return fail(connection, parameters, alert_decode_error);
    const u8* message = content + at;
    int body_length = (message[1] << 16) | (message[2] << 8) | message[3];
    if (body_length > length - at - 4) return fail(connection, parameters, alert_decode_error);
    if (process_message(connection, message[0], message + 4, body_length, parameters) < 0) return -1;
    if (message[0] != hello_request) {
      update_digest(&parameters->md5_handshake_digest, message, 4 + body_length);
      update_digest(&parameters->sha1_handshake_digest, message, 4 + body_length);
    }
    at += 4 + body_length;
  }
  return 0;
}

// Bodies longer than one record are sent in several records, as the
// record layer allows.
int send_handshake_message(int connection, u8 message_type, const u8* body, u16 body_length,
                           TLSParameters* parameters) {
  std::vector<u8> message;
  message.reserve(4 + body_length);
  message.push_back(message_type);
  put_number(message, body_length, 3);
  if (body_length > 0) put_bytes(message, body, body_length);
  update_digest(&parameters->md5_handshake_digest, message.data(), int(message.size()));
  update_digest(&parameters->sha1_handshake_digest, message.data(), int(message.size()));
  for (size_t sent = 0; sent < message.size();) {
    size_t part = message.size() - sent < size_t(TLS_MAX_FRAGMENT) ? message.size() - sent : TLS_MAX_FRAGMENT;
    if (send_message(connection, content_handshake, &message[sent], u16(part), &parameters->active_send) < 0)
      return -1;
    sent += part;
  }
  return 0;
}

void compute_handshake_hash(TLSParameters* parameters, u8 handshake_hash[HANDSHAKE_HASH_LENGTH]) {
  digest_ctx md5 = parameters->md5_handshake_digest;
  digest_ctx sha1 = parameters->sha1_handshake_digest;
  finalize_digest(&md5);
  finalize_digest(&sha1);
  std::memcpy(handshake_hash, md5.hash, 16);
  std::memcpy(handshake_hash + 16, sha1.hash, 20);
}

void compute_verify_data(int connection_end, TLSParameters* parameters, u8 verify_data[VERIFY_DATA_LENGTH]) {
  const char* label = connection_end == 0 ? "client finished" : "server finished";
  u8 handshake_hash[HANDSHAKE_HASH_LENGTH];
  compute_handshake_hash(parameters, handshake_hash);
  prf(parameters->master_secret, MASTER_SECRET_LENGTH, reinterpret_cast<const u8*>(label), 15, handshake_hash,
      HANDSHAKE_HASH_LENGTH, verify_data, VERIFY_DATA_LENGTH);
}

// 1 when sent, 0 when the socket refused it.
int send_finished(int connection, TLSParameters* parameters) {
  u8* own = parameters->connection_end == 0 ? parameters->client_verify_data : parameters->server_verify_data;
  compute_verify_data(parameters->connection_end, parameters, own);
  return send_handshake_message(connection, finished, own, VERIFY_DATA_LENGTH, parameters) < 0 ? 0 : 1;
}

int send_change_cipher_spec(int connection, TLSParameters* parameters) {
  u8 one = 1;
  int result = send_message(connection, content_change_cipher_spec, &one, 1, &parameters->active_send);
  free_cipher_state(&parameters->active_send);
  parameters->active_send = parameters->pending_send;
  parameters->active_send.sequence = 0;
  std::memset(&parameters->pending_send, 0, sizeof(cipher_state));
  return result;
}

void derive_keys(const u8* pre_master, int pre_master_length, TLSParameters* parameters) {
  static const char label[] = "master secret";
  u8 seed[2 * RANDOM_LENGTH];
  std::memcpy(seed, parameters->client_random, RANDOM_LENGTH);
  std::memcpy(seed + RANDOM_LENGTH, parameters->server_random, RANDOM_LENGTH);
  prf(pre_master, pre_master_length, reinterpret_cast<const u8*>(label), 13, seed, sizeof(seed),
      parameters->master_secret, MASTER_SECRET_LENGTH);
  calculate_keys(parameters);
}

void fill_random(u8 random[RANDOM_LENGTH]) {
  u32 now = u32(std::time(nullptr));
  random[0] = u8(now >> 24);
  random[1] = u8(now >> 16);
  random[2] = u8(now >> 8);
  random[3] = u8(now);
  tls_random_bytes(random + 4, RANDOM_LENGTH - 4);
}

void put_extensions(std::vector<u8>& out, const TLSParameters* parameters, const u8* verified,
                    int verified_length) {
  if (!parameters->secure_renegotiation) {
    put_number(out, 0, 2);
    return;
  }
  put_number(out, 5 + verified_length, 2);  // extensions length
  put_number(out, 0xFF01, 2);                 // renegotiation_info
  put_number(out, 1 + verified_length, 2);
  put_number(out, verified_length, 1);
  if (verified_length > 0) put_bytes(out, verified, verified_length);
}

int read_extensions(body_reader* body, TLSParameters* parameters, const u8* expected, int expected_length,
                    bool scsv, int* matched_length) {
  *matched_length = -1;
  bool offered = scsv;
  if (body->left > 0) {
    int total = body->number(2);
    if (!body->ok || total != body->left) return alert_decode_error;
    while (body->left > 0) {
      int type = body->number(2);
      int length = body->number(2);
      const u8* data = body->bytes(length);
      if (!body->ok) return alert_decode_error;
      if (type != 0xFF01) continue;
      if (length < 1 || data[0] != length - 1) return alert_decode_error;
      if (data[0] != expected_length || !equal_bytes(data + 1, expected, expected_length))
        return alert_illegal_parameter;
      *matched_length = data[0];
      offered = true;
    }
  } else if (parameters->connection_end == 0) {
    offered = parameters->secure_renegotiation != 0;  // a hello without extensions changes nothing
  }
  parameters->secure_renegotiation = offered ? 1 : 0;
  return 0;
}

void set_pending_suite(TLSParameters* parameters, u32 suite) {
  free_cipher_state(&parameters->pending_send);
  free_cipher_state(&parameters->pending_recv);
  parameters->pending_send.suite = parameters->pending_recv.suite = suite;
}

void reset_for_handshake(TLSParameters* parameters, int connection_end, bool renegotiation) {
  if (renegotiation) {
    free_cipher_state(&parameters->pending_send);
    free_cipher_state(&parameters->pending_recv);
    free_peer_keys(parameters);
  } else {
    std::memset(parameters, 0, sizeof(*parameters));
    parameters->secure_renegotiation = 1;
  }
  std::memset(parameters->master_secret, 0, MASTER_SECRET_LENGTH);
  std::memset(parameters->client_random, 0, RANDOM_LENGTH);
  std::memset(parameters->server_random, 0, RANDOM_LENGTH);
  parameters->got_client_hello = 0;
  parameters->server_hello_done = 0;
  parameters->peer_finished = 0;
  parameters->certificate_requested = 0;
  parameters->session_id_length = 0;
  std::memset(parameters->session_id, 0, MAX_SESSION_ID_LENGTH);
  parameters->connection_end = connection_end;
  new_md5_digest(&parameters->md5_handshake_digest);
  new_sha1_digest(&parameters->sha1_handshake_digest);
}

bool load_private_key(const char* path, rsa_key* key) {
  key->modulus = key->exponent = nullptr;
  int size = 0;
  u8* der = load_file(path, &size);
  if (der == nullptr) {
    std::perror("Unable to load file");
    return false;
  }
  parse_private_key(key, der, size);
  vekFree(&der);
  if (key->modulus && key->exponent && key->modulus->size > 0) return true;
  free_rsa_private_key(key);
  std::fprintf(stderr, "Unable to read the private key in %s\n", path);
  return false;
}

void free_rsa_private_key(rsa_key* key) { free_rsa_key(key); }

void free_peer_keys(TLSParameters* parameters) {
  free_public_key_info(&parameters->server_public_key);
  std::memset(&parameters->server_public_key, 0, sizeof(public_key_info));
  huge_free(&parameters->server_dh_key.p);
  huge_free(&parameters->server_dh_key.g);
  huge_free(&parameters->server_dh_key.Y);
  std::memset(&parameters->server_dh_key, 0, sizeof(dh_key));
}

}  // namespace VekTls
