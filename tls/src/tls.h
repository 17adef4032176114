// TLS 1.0 (RFC 2246) over a connected TCP socket: the per-connection state,
// the cipher-suite table, the record layer (tls_record.cpp), the handshake
// for both ends (tls_handshake.cpp, tls_client.cpp, tls_server.cpp) and the
// server's process-wide session cache.
//
// C style: plain records, integer results (negative or non-zero for
// failure), vekMalloc'd blocks. A connection's TLSParameters is used by one
// caller at a time; the session cache is process-wide and unguarded.
//
// What this layer does not do: it parses the peer's certificate chain but
// verifies neither its signatures, its issuers nor its validity dates; it
// offers one suite per end (0x000A as a client, 0x002F as a server); it has
// no compression, no session tickets and no versions other than 3.1.
#pragma once
#include "cipher.h"
#include "digest.h"
#include "huge.h"
#include "kernel/VekTypes.h"
#include "x509.h"

namespace VekTls {

// Content types of the record header.
enum : u8 {
  content_change_cipher_spec = 20,
  content_alert = 21,
  content_handshake = 22,
  content_application_data = 23,
};

// Handshake message types.
enum : u8 {
  hello_request = 0,
  client_hello = 1,
  server_hello = 2,
  certificate = 11,
  server_key_exchange = 12,
  certificate_request = 13,
  server_hello_done = 14,
  certificate_verify = 15,
  client_key_exchange = 16,
  finished = 20,
};

// Alert levels and the descriptions this layer sends.
enum : u8 {
  alert_warning = 1,
  alert_fatal = 2,
};
enum : u8 {
  alert_close_notify = 0,
  alert_unexpected_message = 10,
  alert_bad_record_mac = 20,
  alert_record_overflow = 22,
  alert_handshake_failure = 40,
  alert_bad_certificate = 42,
  alert_illegal_parameter = 47,
  alert_decode_error = 50,
};

constexpr int TLS_MAX_FRAGMENT = 16384;          // plaintext bytes per record
constexpr int TLS_MAX_RECORD = 16384 + 2048;     // largest fragment a peer may send
constexpr int MASTER_SECRET_LENGTH = 48;
constexpr int RANDOM_LENGTH = 32;
constexpr int MAX_SESSION_ID_LENGTH = 32;
constexpr int VERIFY_DATA_LENGTH = 12;
constexpr int HANDSHAKE_HASH_LENGTH = 36;        // MD5 (16) then SHA-1 (20)
constexpr int SESSION_CACHE_CHAINS = 100;

// One direction's protection.
struct cipher_state {
  u8* mac_secret;  // vekMalloc block of the suite's hash size
  u8* key;         // block of the key size
  u8* iv;          // block of the IV size (CBC chain), or a zeroed rc4_state for RC4 suites
  u32 suite;       // cipher-suite id; 0 means no protection
  u32 sequence;    // record counter (the MAC's 64-bit sequence has 32 high zero bits)
};

// One row of the cipher-suite table.
struct cipher_suite {
  u32 id;                              // the suite's two-byte id
  u32 block_size;                      // 0 for stream ciphers and suites without a cipher
  u32 IV_size;                         // bytes of the CBC chaining block
  u32 key_size;                        // bytes of the bulk key
  u32 hash_size;                       // bytes of the MAC (0: no MAC)
  cipher_function bulk_encrypt;        // null: no cipher
  cipher_function bulk_decrypt;        // null: no cipher
  void (*new_digest)(digest_ctx*);     // MAC digest set-up; null: no MAC
};

constexpr int SUITE_COUNT = 57;
extern const cipher_suite suites[SUITE_COUNT];

// The table row of a suite id, or null for an id without a row
// (0x1C, 0x1D, above 0x3A).
const cipher_suite* find_suite(u32 id);

// Diffie-Hellman parameters and the server's public value.
struct dh_key {
  huge p;  // prime modulus
  huge g;  // generator
  huge Y;  // server's public value g^y mod p
};

// One connection.
struct TLSParameters {
  int connection_end;                          // 0 client, 1 server
  u8 master_secret[MASTER_SECRET_LENGTH];
  u8 client_random[RANDOM_LENGTH];
  u8 server_random[RANDOM_LENGTH];
  cipher_state pending_send;                   // filled by calculate_keys
  cipher_state pending_recv;                   //   and activated by change cipher spec
  cipher_state active_send;                    // in force on the wire
  cipher_state active_recv;
  public_key_info server_public_key;           // the server's key from its certificate
  dh_key server_dh_key;                        // from the server key exchange
  int got_client_hello;                        // handshake progress flags
  int server_hello_done;
  int peer_finished;
  int certificate_requested;
  digest_ctx md5_handshake_digest;             // running digests of all handshake messages
  digest_ctx sha1_handshake_digest;
  u8* unread_buffer;                           // application data received, not yet delivered
  int unread_length;
  int session_id_length;
  u8 session_id[MAX_SESSION_ID_LENGTH];
  int secure_renegotiation;                    // renegotiation_info seen or offered
  u8 client_verify_data[VERIFY_DATA_LENGTH];   // the last finished values
  u8 server_verify_data[VERIFY_DATA_LENGTH];
  int renegotiating;
  int export_key_exchange;                     // the server's certificate key is longer than 512 bits
  u8 client_version[2];                        // version the client hello offered; checked in the pre-master secret
};

// One cached server session; chain = first four id bytes (zero-filled),
// little-endian, modulo 100.
struct session_entry {
  int session_id_length;
  u8 session_id[MAX_SESSION_ID_LENGTH];
  u8 master_secret[MASTER_SECRET_LENGTH];
  session_entry* next;
};
extern session_entry* session_cache[SESSION_CACHE_CHAINS];

// ---- Record layer (tls_record.cpp) ----

// Fills both pending states from the master secret and the randoms
// (releasing whatever blocks they held).
void calculate_keys(TLSParameters* parameters);

// Builds, protects and sends one record of at most 16384 content bytes; 0,
// or -1 when the content is longer or the socket refuses bytes (the
// sequence number is then unchanged).
int send_message(int connection, u8 content_type, const u8* content, u16 content_length, cipher_state* state);

// Reads and processes one record: the number of application bytes delivered
// for application data, the content length for other records, -1 on failure
// (after a fatal alert where the peer misbehaved). Handshake callers pass a
// null buffer and size 0.
int receive_tls_msg(int connection, u8* buffer, int buffer_size, TLSParameters* parameters);

// Sends `length` bytes of application data in records of at most 16384
// bytes; `length`, or -1 when the socket fails. A length of 0 or less is
// returned at once.
int tls_send(int connection, const u8* data, int length, TLSParameters* parameters);

// Delivers application data: the byte count (> 0), 0 when the peer closed
// the connection with a close notify, -1 on failure or time-out. Records
// that carry no application bytes are processed and passed over.
int tls_recv(int connection, u8* buffer, int buffer_size, TLSParameters* parameters);

// Sends the close alert, releases every block the connection holds; 1.
int tls_shutdown(int connection, TLSParameters* parameters);

// Fills `length` bytes from the socket: `length` when full, -1 when nothing
// arrived within 200 ms (or the peer closed first), the count so far when
// more than 100 ms passed after the last byte (or the peer closed).
int recv_with_timeout(int socket, u8* buffer, int length, int flags);

// Sends every byte: `length`, or -1 when a call sends nothing.
int send_all(int socket, const u8* buffer, int length, int flags);

// Sends the two-byte alert with the active send state.
void send_alert_message(int connection, u8 level, u8 description, cipher_state* state);

// Releases the three blocks of a state and zeroes it.
void free_cipher_state(cipher_state* state);

// Fills `length` bytes from the operating system's random source.
void tls_random_bytes(u8* output, int length);

// ---- Handshake (tls_handshake.cpp, tls_client.cpp, tls_server.cpp) ----

int tls_connect(int connection, TLSParameters* parameters, int renegotiate);
int tls_resume(int connection, int session_id_length, const u8* session_id, const u8* master_secret,
               TLSParameters* parameters);
int tls_accept(int connection, TLSParameters* parameters);
void clear_session_cache();

int send_handshake_message(int connection, u8 message_type, const u8* body, u16 body_length,
                           TLSParameters* parameters);
int send_client_hello(int connection, TLSParameters* parameters, int renegotiate);
int send_server_hello(int connection, TLSParameters* parameters);
int send_certificate(int connection, TLSParameters* parameters);
int send_server_key_exchange(int connection, TLSParameters* parameters);
int send_finished(int connection, TLSParameters* parameters);
void compute_handshake_hash(TLSParameters* parameters, u8 handshake_hash[HANDSHAKE_HASH_LENGTH]);
int load_certificate_bundle(int* length, u8** list, TLSParameters* parameters);
void set_export_key_exchange(const u8* der, int length, TLSParameters* parameters);
int rsa_key_exchange(rsa_key* server_key, u8 pre_master[MASTER_SECRET_LENGTH], u8** message);
int dh_key_exchange(dh_key* server_key, u8* pre_master, u8** message);

// Processes the handshake messages of one record (content type 22):
// 0, or -1 after the fatal alert the failure calls for.
int receive_handshake_record(int connection, const u8* content, int length, TLSParameters* parameters);

// Sends the change cipher spec record and switches the send state.
int send_change_cipher_spec(int connection, TLSParameters* parameters);

// Releases the peer's public key and Diffie-Hellman values.
void free_peer_keys(TLSParameters* parameters);

}  // namespace VekTls
