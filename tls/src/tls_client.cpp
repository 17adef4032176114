// The client's handshake: the full handshake (tls_connect, also used to
// renegotiate), the abbreviated one with a known session (tls_resume), the
// client hello, the server messages a client receives, and the RSA and
// Diffie-Hellman key exchanges.
#include <cstdio>
#include <cstring>

#include "asn1.h"
#include "dsa.h"
#include "kernel/VekAlloc.h"
#include "rsa.h"
#include "tls_internal.h"

namespace VekTls {

namespace {

constexpr int DH_PRIVATE_BYTES = 32;  // a 256-bit private exponent

int fail(int connection, TLSParameters* parameters, u8 description) {
  send_alert_message(connection, alert_fatal, description, &parameters->active_send);
  return -1;
}

bool has_value(const huge* h) { return h->rep != nullptr && h->size > 0; }

// Yc = g^x mod p and Z = Y^x mod p for a fresh random x. Z goes right-aligned
// into p's byte length; the pre-master secret is Z without leading zero
// bytes, which start at `*secret_offset`. The message length, or -1 when the
// parameters are missing.
int dh_exchange(dh_key* server_key, u8* pre_master, int* secret_offset, u8** message) {
  if (!has_value(&server_key->p) || !has_value(&server_key->g) || !has_value(&server_key->Y)) return -1;
  u8 random[DH_PRIVATE_BYTES];
  tls_random_bytes(random, DH_PRIVATE_BYTES);
  random[0] |= 0x80;  // the full 256 bits
  huge x = {0, 0, nullptr}, Yc = {0, 0, nullptr}, Z = {0, 0, nullptr};
  huge_load_bytes(&x, random, DH_PRIVATE_BYTES);
  huge_mod_pow(&server_key->g, &x, &server_key->p, &Yc);
  huge_mod_pow(&server_key->Y, &x, &server_key->p, &Z);
  int p_length = int(server_key->p.size);
  std::memset(pre_master, 0, p_length);
  int z_length = int(Z.size) <= p_length ? int(Z.size) : p_length;
  std::memcpy(pre_master + p_length - z_length, Z.rep + Z.size - z_length, z_length);
  *secret_offset = 0;
  while (*secret_offset < p_length - 1 && pre_master[*secret_offset] == 0) ++*secret_offset;
  int message_length = 2 + int(Yc.size);
  *message = static_cast<u8*>(vekMalloc(u32(message_length)));
  (*message)[0] = u8(Yc.size >> 8);
  (*message)[1] = u8(Yc.size);
  std::memcpy(*message + 2, Yc.rep, Yc.size);
  std::memset(random, 0, sizeof(random));
  huge_free(&x);
  huge_free(&Yc);
  huge_free(&Z);
  return message_length;
}

// Chooses the key exchange by the suite the server picked; derives the
// master secret and the keys. 0, or -1.
int send_client_key_exchange(int connection, TLSParameters* parameters) {
  u32 suite = parameters->pending_send.suite;
  u8* message = nullptr;
  int length = -1;
  if (suite == 0x00) {
    length = 0;
    derive_keys(nullptr, 0, parameters);
  } else if ((suite >= 0x01 && suite <= 0x0A) || suite == 0x2F || suite == 0x35) {
    u8 pre_master[MASTER_SECRET_LENGTH];
    length = rsa_key_exchange(&parameters->server_public_key.rsa_public_key, pre_master, &message);
    if (length >= 0) derive_keys(pre_master, MASTER_SECRET_LENGTH, parameters);
    std::memset(pre_master, 0, sizeof(pre_master));
  } else if ((suite >= 0x0B && suite <= 0x1B) || (suite >= 0x30 && suite <= 0x34) || (suite >= 0x36 && suite <= 0x3A)) {
    std::vector<u8> pre_master(parameters->server_dh_key.p.size + 1);
    int offset = 0;
    length = dh_exchange(&parameters->server_dh_key, pre_master.data(), &offset, &message);
    if (length >= 0)
      derive_keys(pre_master.data() + offset, int(parameters->server_dh_key.p.size) - offset, parameters);
  }
  if (length < 0 || length > 0xFFFF) {
    vekFree(&message);
    return -1;
  }
  int sent = send_handshake_message(connection, client_key_exchange, message, u16(length), parameters);
  vekFree(&message);
  return sent;
}

// The RSA signature of the handshake hash with the client's key.
int send_certificate_verify(int connection, TLSParameters* parameters) {
  rsa_key key;
  if (!load_private_key("key.der", &key)) return -1;
  u8 handshake_hash[HANDSHAKE_HASH_LENGTH];
  compute_handshake_hash(parameters, handshake_hash);
  u8* signature = nullptr;
  int length = rsa_sign(handshake_hash, HANDSHAKE_HASH_LENGTH, &signature, &key);
  free_rsa_private_key(&key);
  int result = -1;
  if (length > 0 && length <= 0xFFFF - 2) {
    std::vector<u8> body;
    put_number(body, length, 2);
    put_bytes(body, signature, length);
    result = send_handshake_message(connection, certificate_verify, body.data(), u16(body.size()), parameters);
  }
  vekFree(&signature);
  return result;
}

// The signed part of a server key exchange is client_random,
// server_random and the parameter bytes.
void hash_signed_parameters(TLSParameters* parameters, const u8* params, int length, digest_ctx* digest) {
  update_digest(digest, parameters->client_random, RANDOM_LENGTH);
  update_digest(digest, parameters->server_random, RANDOM_LENGTH);
  update_digest(digest, params, length);
  finalize_digest(digest);
}

bool rsa_signature_matches(TLSParameters* parameters, const u8* params, int params_length, const u8* signature,
                           int signature_length) {
  rsa_key* key = &parameters->server_public_key.rsa_public_key;
  if (key->modulus == nullptr || !has_value(key->modulus) || key->exponent == nullptr) return false;
  digest_ctx md5, sha1;
  new_md5_digest(&md5);
  new_sha1_digest(&sha1);
  hash_signed_parameters(parameters, params, params_length, &md5);
  hash_signed_parameters(parameters, params, params_length, &sha1);
  u8 expected[HANDSHAKE_HASH_LENGTH];
  std::memcpy(expected, md5.hash, 16);
  std::memcpy(expected + 16, sha1.hash, 20);
  u8* opened = nullptr;
  int length = rsa_decrypt(signature, signature_length, &opened, key);
  bool good = length == HANDSHAKE_HASH_LENGTH && std::memcmp(opened, expected, HANDSHAKE_HASH_LENGTH) == 0;
  vekFree(&opened);
  return good;
}

// The DER signature is SEQUENCE { INTEGER r, INTEGER s } over SHA-1.
bool dsa_signature_matches(TLSParameters* parameters, const u8* params, int params_length, const u8* signature,
                           int signature_length) {
  public_key_info* key = &parameters->server_public_key;
  if (!has_value(&key->dsa_parameters.p) || !has_value(&key->dsa_public_key)) return false;
  asn1_node top;
  std::memset(&top, 0, sizeof(top));
  asn1_parse(signature, signature_length, &top);
  asn1_node* r = top.children;
  asn1_node* s = r ? r->next : nullptr;
  bool good = false;
  if (top.tag == 16 && r && s && r->tag == 2 && s->tag == 2 && r->length > 0 && s->length > 0) {
    dsa_signature decoded = {{0, 0, nullptr}, {0, 0, nullptr}};
    huge_load_bytes(&decoded.r, r->data, int(r->length));
    huge_load_bytes(&decoded.s, s->data, int(s->length));
    digest_ctx sha1;
    new_sha1_digest(&sha1);
    hash_signed_parameters(parameters, params, params_length, &sha1);
    good = dsa_verify(&key->dsa_parameters, &key->dsa_public_key, sha1.hash, SHA1_HASH_WORDS, &decoded) == 1;
    huge_free(&decoded.r);
    huge_free(&decoded.s);
  }
  asn1_free(&top);
  return good;
}

}  // namespace

int rsa_key_exchange(rsa_key* server_key, u8 pre_master[MASTER_SECRET_LENGTH], u8** message) {
  *message = nullptr;
  // One PKCS#1 block must hold the 48 bytes and 11 bytes of framing.
  if (server_key->modulus == nullptr || server_key->exponent == nullptr || server_key->modulus->size < 59) return -1;
  pre_master[0] = 3;
  pre_master[1] = 1;
  tls_random_bytes(pre_master + 2, MASTER_SECRET_LENGTH - 2);
  u8* encrypted = nullptr;
  int length = rsa_encrypt(pre_master, MASTER_SECRET_LENGTH, &encrypted, server_key);
  if (length <= 0 || length > 0xFFFF - 2) {
    vekFree(&encrypted);
    return -1;
  }
  *message = static_cast<u8*>(vekMalloc(u32(length + 2)));
  (*message)[0] = u8(length >> 8);
  (*message)[1] = u8(length);
  std::memcpy(*message + 2, encrypted, length);
  vekFree(&encrypted);
  return length + 2;
}

// `pre_master` needs p's byte length; it receives Z right-aligned there.
// TLS takes Z without its leading zero bytes as the pre-master secret.
int dh_key_exchange(dh_key* server_key, u8* pre_master, u8** message) {
  int offset = 0;
  *message = nullptr;
  return dh_exchange(server_key, pre_master, &offset, message);
}

int send_client_hello(int connection, TLSParameters* parameters, int renegotiate) {
  fill_random(parameters->client_random);
  std::vector<u8> body = {3, 1};
  put_bytes(body, parameters->client_random, RANDOM_LENGTH);
  put_number(body, parameters->session_id_length, 1);
  put_bytes(body, parameters->session_id, parameters->session_id_length);
  put_number(body, 2, 2);
  put_number(body, 0x000A, 2);
  put_number(body, 1, 1);
  put_number(body, 0, 1);
  put_extensions(body, parameters, parameters->client_verify_data, renegotiate ? VERIFY_DATA_LENGTH : 0);
  return send_handshake_message(connection, client_hello, body.data(), u16(body.size()), parameters);
}

int receive_server_hello(int connection, const u8* data, int length, TLSParameters* parameters) {
  body_reader body = {data, length, true};
  body.bytes(2);  // version
  const u8* random = body.bytes(RANDOM_LENGTH);
  int session_id_length = body.number(1);
  const u8* session_id = body.bytes(session_id_length);
  int suite = body.number(2);
  int compression = body.number(1);
  if (!body.ok || session_id_length > MAX_SESSION_ID_LENGTH) return fail(connection, parameters, alert_decode_error);
  if (compression != 0) {
    std::fprintf(stderr, "Error, server wants compression.\n");
    return fail(connection, parameters, alert_illegal_parameter);
  }
  if (find_suite(u32(suite)) == nullptr) return fail(connection, parameters, alert_illegal_parameter);
  std::memcpy(parameters->server_random, random, RANDOM_LENGTH);
  parameters->session_id_length = session_id_length;
  std::memcpy(parameters->session_id, session_id, session_id_length);
  set_pending_suite(parameters, u32(suite));
  u8 expected[2 * VERIFY_DATA_LENGTH];
  std::memcpy(expected, parameters->client_verify_data, VERIFY_DATA_LENGTH);
  std::memcpy(expected + VERIFY_DATA_LENGTH, parameters->server_verify_data, VERIFY_DATA_LENGTH);
  int matched = 0;
  int alert = read_extensions(&body, parameters, expected, parameters->renegotiating ? 2 * VERIFY_DATA_LENGTH : 0,
                              false, &matched);
  return alert ? fail(connection, parameters, u8(alert)) : 0;
}

int receive_certificate(int connection, const u8* body, int length, TLSParameters* parameters) {
  free_peer_keys(parameters);
  if (parse_x509_chain(const_cast<u8*>(body), length, &parameters->server_public_key) == nullptr) {
    std::puts("Rejected, bad certificate");
    return fail(connection, parameters, alert_bad_certificate);
  }
  return 0;
}

// p, g and Y, each with a two-byte length, then the signature over them.
int receive_server_key_exchange(int connection, const u8* data, int length, TLSParameters* parameters) {
  body_reader body = {data, length, true};
  const u8* params = body.at;
  huge* targets[3] = {&parameters->server_dh_key.p, &parameters->server_dh_key.g, &parameters->server_dh_key.Y};
  const u8* values[3];
  int lengths[3];
  for (int i = 0; i < 3; i++) {
    lengths[i] = body.number(2);
    values[i] = body.bytes(lengths[i]);
  }
  int params_length = int(body.at - params);
  int signature_length = body.number(2);
  const u8* signature = body.bytes(signature_length);
  if (!body.ok) return fail(connection, parameters, alert_decode_error);
  bool good = parameters->server_public_key.algorithm == 1
                  ? dsa_signature_matches(parameters, params, params_length, signature, signature_length)
                  : rsa_signature_matches(parameters, params, params_length, signature, signature_length);
  if (!good) return fail(connection, parameters, alert_handshake_failure);
  for (int i = 0; i < 3; i++) {
    huge_free(targets[i]);
    huge_load_bytes(targets[i], values[i], lengths[i]);
  }
  return 0;
}

int receive_certificate_request(int connection, const u8* data, int length, TLSParameters* parameters) {
  body_reader body = {data, length, true};
  body.bytes(body.number(1));  // certificate types
  body_reader authorities = {nullptr, 0, true};
  authorities.left = body.number(2);
  authorities.at = body.bytes(authorities.left);
  while (body.ok && authorities.ok && authorities.left > 0) {
    int name_length = authorities.number(2);
    const u8* der = authorities.bytes(name_length);
    if (!authorities.ok) break;
    asn1_node top;
    std::memset(&top, 0, sizeof(top));
    asn1_parse(der, name_length, &top);
    x509_name name;
    std::memset(&name, 0, sizeof(name));
    if (parse_name(&top, &name) == 0) {
      auto text = [](const char* field) { return field ? field : ""; };
      std::printf("Server trusts issuer: C=%s/ST=%s/L=%s/O=%s/OU=%s/CN=%s\n", text(name.country),
                  text(name.state_or_province), text(name.locality), text(name.organization),
                  text(name.organizational_unit), text(name.common_name));
    }
    for (char** field : {&name.country, &name.state_or_province, &name.locality, &name.organization,
                         &name.organizational_unit, &name.common_name})
      vekFree(field);
    asn1_free(&top);
  }
  if (!body.ok || !authorities.ok) return fail(connection, parameters, alert_decode_error);
  parameters->certificate_requested = 1;
  return 0;
}

int tls_connect(int connection, TLSParameters* parameters, int renegotiate) {
  reset_for_handshake(parameters, 0, renegotiate != 0);
  parameters->renegotiating = renegotiate ? 1 : 0;
  if (send_client_hello(connection, parameters, renegotiate) < 0) {
    std::perror("Unable to send client hello");
    return 1;
  }
  parameters->server_hello_done = 0;
  parameters->certificate_requested = 0;
  while (!parameters->server_hello_done) {
    if (receive_tls_msg(connection, nullptr, 0, parameters) < 0) {
      std::perror("Unable to receive server hello");
      return 2;
    }
  }
  {  // one flight: certificate, key exchange, verify, change cipher spec, finished
    flight_cork flight(connection);
    if (parameters->certificate_requested) send_certificate(connection, parameters);
    if (send_client_key_exchange(connection, parameters) < 0) {
      std::perror("Unable to send client key exchange");
      return 3;
    }
    if (parameters->certificate_requested && send_certificate_verify(connection, parameters) < 0) {
      std::perror("Unable to send certificate verify message");
      return 3;
    }
    send_change_cipher_spec(connection, parameters);
    send_finished(connection, parameters);
  }
  parameters->peer_finished = 0;
  while (!parameters->peer_finished) {
    if (receive_tls_msg(connection, nullptr, 0, parameters) < 0) {
      std::perror("Unable to receive server finished");
      return 6;
    }
  }
  return 0;
}

// The keys follow from the known master secret as soon as the server has
// agreed to the session (its hello carries the same id).
int tls_resume(int connection, int session_id_length, const u8* session_id, const u8* master_secret,
               TLSParameters* parameters) {
  reset_for_handshake(parameters, 0, false);
  if (session_id_length < 0 || session_id_length > MAX_SESSION_ID_LENGTH) session_id_length = 0;
  parameters->session_id_length = session_id_length;
  std::memcpy(parameters->session_id, session_id, session_id_length);
  if (send_client_hello(connection, parameters, 0) < 0) {
    std::perror("Unable to send client hello");
    return 1;
  }
  parameters->peer_finished = 0;
  while (!parameters->peer_finished) {
    if (receive_tls_msg(connection, nullptr, 0, parameters) < 0) {
      std::perror("Unable to receive server finished");
      return 6;
    }
    if (parameters->session_id_length != session_id_length ||
        std::memcmp(parameters->session_id, session_id, session_id_length) != 0) {
      std::puts("Server refused to renegotiate, exiting.");
      return 7;
    }
    if (parameters->pending_send.mac_secret == nullptr) {
      std::memcpy(parameters->master_secret, master_secret, MASTER_SECRET_LENGTH);
      calculate_keys(parameters);
    }
  }
  flight_cork flight(connection);
  send_change_cipher_spec(connection, parameters);
  send_finished(connection, parameters);
  return 0;
}

}  // namespace VekTls
