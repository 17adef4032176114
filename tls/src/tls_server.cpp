// The server's handshake (tls_accept): the client messages a server
// receives, the server hello, the certificate list from "cert.bundle" or
// "cert.der", the export key exchange from "cert-512.der" and
// "key-512.der", and the process-wide session cache.
//
// The client key exchange never answers differently when it does not
// decrypt to a 48-byte secret with the offered version: the handshake goes
// on with a random pre-master secret and fails at the finished check. An
// answer that told the two apart would let a recorder of a session decrypt
// its pre-master secret one question at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base64.h"
#include "kernel/VekAlloc.h"
#include "rsa.h"
#include "tls_internal.h"

namespace VekTls {

session_entry* session_cache[SESSION_CACHE_CHAINS];

namespace {

constexpr u32 SERVER_SUITE = 0x002F;
constexpr int SIGNALLING_SUITE = 0x00FF;  // an empty renegotiation_info, sent as a suite
constexpr int MAX_CERTIFICATE_LIST = 0xFFFF;
u32 next_session_id = 1;

int fail(int connection, TLSParameters* parameters, u8 description) {
  send_alert_message(connection, alert_fatal, description, &parameters->active_send);
  return -1;
}

// The first four id bytes (zero-filled), little-endian, modulo 100.
int session_chain(const u8* id, int length) {
  u8 first[4] = {0, 0, 0, 0};
  std::memcpy(first, id, length < 4 ? length : 4);
  u32 value = u32(first[0]) | (u32(first[1]) << 8) | (u32(first[2]) << 16) | (u32(first[3]) << 24);
  return int(value % SESSION_CACHE_CHAINS);
}

const session_entry* find_session(const u8* id, int length) {
  for (const session_entry* entry = session_cache[session_chain(id, length)]; entry; entry = entry->next)
    if (entry->session_id_length == length && std::memcmp(entry->session_id, id, length) == 0) return entry;
  return nullptr;
}

void remember_session(const TLSParameters* parameters) {
  session_entry* entry = static_cast<session_entry*>(vekMalloc(sizeof(session_entry)));
  entry->session_id_length = parameters->session_id_length;
  std::memcpy(entry->session_id, parameters->session_id, MAX_SESSION_ID_LENGTH);
  std::memcpy(entry->master_secret, parameters->master_secret, MASTER_SECRET_LENGTH);
  entry->next = nullptr;
  session_entry** tail = &session_cache[session_chain(parameters->session_id, parameters->session_id_length)];
  while (*tail) tail = &(*tail)->next;
  *tail = entry;
}

void send_handshake_failure(int connection, TLSParameters* parameters) {
  send_alert_message(connection, alert_fatal, alert_handshake_failure, &parameters->active_send);
}

// "cert.der" framed as a list of one; 0, or 1 after perror.
int load_single_certificate(int* length, u8** list, TLSParameters* parameters) {
  int fd = open("cert.der", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("unable to load certificate file");
    return 1;
  }
  struct stat status;
  if (fstat(fd, &status) < 0) {
    std::perror("unable to stat certificate file");
    close(fd);
    return 1;
  }
  if (status.st_size + 6 > MAX_CERTIFICATE_LIST) {
    std::fprintf(stderr, "certificate file too large\n");
    close(fd);
    return 1;
  }
  int size = int(status.st_size);
  *list = static_cast<u8*>(vekMalloc(u32(size + 6)));
  u8* der = *list + 6;
  int have = 0;
  for (ssize_t got = 1; have < size && got > 0; have += got > 0 ? int(got) : 0) got = read(fd, der + have, size - have);
  if (close(fd) < 0 || have < size) {
    std::perror("unable to close certificate file");
    vekFree(list);
    return 1;
  }
  std::vector<u8> frame;
  put_number(frame, size + 3, 3);
  put_number(frame, size, 3);
  std::memcpy(*list, frame.data(), 6);
  *length = size + 6;
  set_export_key_exchange(der, size, parameters);
  return 0;
}

// The RSA modulus and exponent, each with a two-byte length.
void put_rsa_parameters(std::vector<u8>& out, const rsa_key* key) {
  put_number(out, int(key->modulus->size), 2);
  put_bytes(out, key->modulus->rep, int(key->modulus->size));
  put_number(out, int(key->exponent->size), 2);
  put_bytes(out, key->exponent->rep, int(key->exponent->size));
}

}  // namespace

void clear_session_cache() {
  for (session_entry*& head : session_cache) {
    while (head) {
      session_entry* next = head->next;
      vekFree(&head);
      head = next;
    }
  }
}

void set_export_key_exchange(const u8* der, int length, TLSParameters* parameters) {
  x509_certificate certificate;
  init_x509_certificate(&certificate);
  if (parse_x509_certificate(der, length, &certificate) == 0) {
    const public_key_info& key = certificate.public_key;
    parameters->export_key_exchange =
        key.algorithm == 0 && key.rsa_public_key.modulus && key.rsa_public_key.modulus->size > 64;
  }
  free_x509_certificate(&certificate);
}

int load_certificate_bundle(int* length, u8** list, TLSParameters* parameters) {
  FILE* bundle = std::fopen("cert.bundle", "rbe");
  if (bundle == nullptr) return 1;
  std::vector<u8> out(3);
  std::string block;
  bool in_block = false, first = true;
  char line[256];
  while (std::fgets(line, sizeof(line), bundle)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    if (!in_block) {
      in_block = std::strncmp(line, "-----BEGIN", 10) == 0;
      block.clear();
      continue;
    }
    if (std::strncmp(line, "-----END", 8) != 0) {
      block += line;
      continue;
    }
    in_block = false;
    std::vector<u8> der(block.size() / 4 * 3 + 3);
    int der_length = base64_decode(reinterpret_cast<const u8*>(block.data()), int(block.size()), der.data());
    if (der_length < 0) continue;
    if (first) set_export_key_exchange(der.data(), der_length, parameters);
    first = false;
    put_number(out, der_length, 3);
    put_bytes(out, der.data(), der_length);
  }
  std::fclose(bundle);
  int total = int(out.size()) - 3;
  out[0] = u8(total >> 16), out[1] = u8(total >> 8), out[2] = u8(total);
  *list = static_cast<u8*>(vekMalloc(u32(out.size())));
  std::memcpy(*list, out.data(), out.size());
  *length = int(out.size());
  return 0;
}

int send_certificate(int connection, TLSParameters* parameters) {
  int length = 0;
  u8* list = nullptr;
  if (load_certificate_bundle(&length, &list, parameters) != 0 &&
      load_single_certificate(&length, &list, parameters) != 0)
    return 1;
  int result = 1;
  if (length > MAX_CERTIFICATE_LIST)
    std::fprintf(stderr, "certificate list too large\n");
  else
    result = send_handshake_message(connection, certificate, list, u16(length), parameters) < 0 ? 1 : 0;
  vekFree(&list);
  return result;
}

int send_server_hello(int connection, TLSParameters* parameters) {
  fill_random(parameters->server_random);
  if (parameters->session_id_length == 0) {
    u32 id = next_session_id++;
    u8 bytes[4] = {u8(id), u8(id >> 8), u8(id >> 16), u8(id >> 24)};
    std::memcpy(parameters->session_id, bytes, 4);
    parameters->session_id_length = 4;
  }
  std::vector<u8> body = {3, 1};
  put_bytes(body, parameters->server_random, RANDOM_LENGTH);
  put_number(body, parameters->session_id_length, 1);
  put_bytes(body, parameters->session_id, parameters->session_id_length);
  put_number(body, int(parameters->pending_send.suite), 2);
  put_number(body, 0, 1);
  u8 verified[2 * VERIFY_DATA_LENGTH];
  std::memcpy(verified, parameters->client_verify_data, VERIFY_DATA_LENGTH);
  std::memcpy(verified + VERIFY_DATA_LENGTH, parameters->server_verify_data, VERIFY_DATA_LENGTH);
  put_extensions(body, parameters, verified, parameters->renegotiating ? 2 * VERIFY_DATA_LENGTH : 0);
  return send_handshake_message(connection, server_hello, body.data(), u16(body.size()), parameters);
}

// Sent only when the certificate's key is longer than 512 bits and the
// 512-bit certificate and key are there: the temporary RSA key signed with
// MD5 and SHA-1 over both randoms.
int send_server_key_exchange(int connection, TLSParameters* parameters) {
  if (!parameters->export_key_exchange) return 0;
  int size = 0;
  u8* der = load_file("cert-512.der", &size);
  if (der == nullptr) return 0;
  x509_certificate certificate;
  init_x509_certificate(&certificate);
  rsa_key signing_key;
  const rsa_key* temporary = &certificate.public_key.rsa_public_key;
  if (parse_x509_certificate(der, size, &certificate) == 0 && certificate.public_key.algorithm == 0 &&
      load_private_key("key-512.der", &signing_key)) {
    std::vector<u8> body;
    put_rsa_parameters(body, temporary);
    digest_ctx md5, sha1;
    new_md5_digest(&md5);
    new_sha1_digest(&sha1);
    for (digest_ctx* digest : {&md5, &sha1}) {
      update_digest(digest, parameters->client_random, RANDOM_LENGTH);
      update_digest(digest, parameters->server_random, RANDOM_LENGTH);
      update_digest(digest, body.data(), int(body.size()));
      finalize_digest(digest);
    }
    u8 hash[HANDSHAKE_HASH_LENGTH];
    std::memcpy(hash, md5.hash, 16);
    std::memcpy(hash + 16, sha1.hash, 20);
    u8* signature = nullptr;
    int signature_length = rsa_sign(hash, HANDSHAKE_HASH_LENGTH, &signature, &signing_key);
    free_rsa_private_key(&signing_key);
    if (signature_length > 0 && body.size() + 2 + signature_length <= 0xFFFF) {
      put_number(body, signature_length, 2);
      put_bytes(body, signature, signature_length);
      send_handshake_message(connection, server_key_exchange, body.data(), u16(body.size()), parameters);
    }
    vekFree(&signature);
  }
  free_x509_certificate(&certificate);
  vekFree(&der);
  return 0;
}

int receive_client_hello(int connection, const u8* data, int length, TLSParameters* parameters) {
  body_reader body = {data, length, true};
  const u8* version = body.bytes(2);
  const u8* random = body.bytes(RANDOM_LENGTH);
  int session_id_length = body.number(1);
  const u8* session_id = body.bytes(session_id_length);
  int suites_length = body.number(2);
  const u8* offered = body.bytes(suites_length);
  body.bytes(body.number(1));  // compression methods, not examined
  if (!body.ok || session_id_length > MAX_SESSION_ID_LENGTH || suites_length % 2 != 0)
    return fail(connection, parameters, alert_decode_error);
  std::memcpy(parameters->client_version, version, 2);
  std::memcpy(parameters->client_random, random, RANDOM_LENGTH);
  if (session_id_length >= 1 && session_id_length <= 4) {
    const session_entry* entry = find_session(session_id, session_id_length);
    if (entry) {
      parameters->session_id_length = entry->session_id_length;
      std::memcpy(parameters->session_id, entry->session_id, MAX_SESSION_ID_LENGTH);
      std::memcpy(parameters->master_secret, entry->master_secret, MASTER_SECRET_LENGTH);
    }
  }
  bool found = false, scsv = false;
  for (int i = 0; i < suites_length; i += 2) {
    int suite = (offered[i] << 8) | offered[i + 1];
    found |= suite == int(SERVER_SUITE);
    scsv |= suite == SIGNALLING_SUITE;
  }
  if (!found) return fail(connection, parameters, alert_illegal_parameter);
  set_pending_suite(parameters, SERVER_SUITE);
  // After a finished handshake a client hello must carry the client's
  // last verify data; on a first handshake the field is empty.
  int expected_length = parameters->peer_finished ? VERIFY_DATA_LENGTH : 0;
  int matched = -1;
  int alert = read_extensions(&body, parameters, parameters->client_verify_data, expected_length, scsv, &matched);
  if (alert) return fail(connection, parameters, u8(alert));
  if (matched == VERIFY_DATA_LENGTH) parameters->renegotiating = 1;
  parameters->got_client_hello = 1;
  return 0;
}

int receive_client_key_exchange(int connection, const u8* data, int length, TLSParameters* parameters) {
  if (!parameters->got_client_hello) return fail(connection, parameters, alert_unexpected_message);
  body_reader body = {data, length, true};
  int encrypted_length = body.number(2);
  const u8* encrypted = body.bytes(encrypted_length);
  if (!body.ok || body.left != 0) return fail(connection, parameters, alert_decode_error);
  rsa_key key;
  if (!load_private_key("key.der", &key)) return fail(connection, parameters, alert_illegal_parameter);
  u8 pre_master[MASTER_SECRET_LENGTH];
  tls_random_bytes(pre_master, MASTER_SECRET_LENGTH);
  u8* decrypted = nullptr;
  int decrypted_length = rsa_decrypt(encrypted, encrypted_length, &decrypted, &key);
  free_rsa_private_key(&key);
  bool good = decrypted_length == MASTER_SECRET_LENGTH && decrypted[0] == parameters->client_version[0] &&
              decrypted[1] == parameters->client_version[1];
  if (good) std::memcpy(pre_master, decrypted, MASTER_SECRET_LENGTH);
  vekFree(&decrypted);
  derive_keys(pre_master, MASTER_SECRET_LENGTH, parameters);
  std::memset(pre_master, 0, sizeof(pre_master));
  return 0;
}

int tls_accept(int connection, TLSParameters* parameters) {
  reset_for_handshake(parameters, 1, false);
  while (!parameters->got_client_hello) {
    if (receive_tls_msg(connection, nullptr, 0, parameters) < 0) {
      std::perror("Unable to receive client hello");
      send_handshake_failure(connection, parameters);
      return 1;
    }
  }
  bool resumed = parameters->session_id_length != 0;
  if (resumed) {
    flight_cork flight(connection);
    if (send_server_hello(connection, parameters) != 0) {
      send_handshake_failure(connection, parameters);
      return 3;
    }
    calculate_keys(parameters);
    send_change_cipher_spec(connection, parameters);
    if (!send_finished(connection, parameters)) {
      std::perror("Unable to send client finished");
      send_handshake_failure(connection, parameters);
      return 8;
    }
  } else {
    flight_cork flight(connection);
    if (send_server_hello(connection, parameters) != 0) {
      send_handshake_failure(connection, parameters);
      return 2;
    }
    if (send_certificate(connection, parameters) != 0 || send_server_key_exchange(connection, parameters) != 0) {
      send_handshake_failure(connection, parameters);
      return 3;
    }
    send_handshake_message(connection, server_hello_done, nullptr, 0, parameters);
  }
  parameters->peer_finished = 0;
  while (!parameters->peer_finished) {
    if (receive_tls_msg(connection, nullptr, 0, parameters) < 0) {
      std::perror("Unable to receive client finished");
      send_handshake_failure(connection, parameters);
      return resumed ? 6 : 5;
    }
  }
  if (resumed) return 0;
  flight_cork flight(connection);
  send_change_cipher_spec(connection, parameters);
  if (!send_finished(connection, parameters)) {
    std::perror("Unable to send client finished");
    send_handshake_failure(connection, parameters);
    return 7;
  }
  remember_session(parameters);
  return 0;
}

}  // namespace VekTls
