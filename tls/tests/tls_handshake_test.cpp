// TLS handshake tests: the server against openssl's and gnutls's clients,
// the client against gnutls's server (full and resumed), hellos built by
// hand on socket pairs for the negotiation rules and alerts, the export
// key exchange, and truncated or mangled handshakes failing cleanly.
// Keys and certificates are made with the openssl command at start.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "asn1.h"
#include "kernel/VekAlloc.h"
#include "test_bytes.h"
#include "tls_test_support.h"
#include "x509.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const char* const kTls1Aes = "-tls1 -cipher AES128-SHA@SECLEVEL=0";
const char* const kGnutlsAes = "NORMAL:-VERS-ALL:+VERS-TLS1.0:-CIPHER-ALL:+AES-128-CBC:-KX-ALL:+RSA:-MAC-ALL:+SHA1:%COMPAT";
const char* const kGnutls3Des = "NORMAL:-VERS-ALL:+VERS-TLS1.0:-CIPHER-ALL:+3DES-CBC:-KX-ALL:+RSA:%COMPAT";

// Directories of key sets: plain (cert.der, key.der), bundle (a chain of
// two in cert.bundle), export (1024-bit cert.der with cert-512/key-512),
// small (a 512-bit cert.der with the same extras) and empty.
std::string key_root;

const char* const kMakeKeys = R"(set -e
der() { openssl x509 -in $1.pem -outform DER -out $2; openssl rsa -in $1.key -outform DER -traditional -out $3 2>/dev/null; }
gen() { openssl req -x509 -newkey rsa:$2 -nodes -keyout $1.key -out $1.pem -subj /CN=$1 -days 2 2>/dev/null; }
gen leaf 1024; gen ca 1024; gen tiny 512
openssl req -new -key leaf.key -subj /CN=chained 2>/dev/null | openssl x509 -req -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out chained.pem 2>/dev/null
mkdir plain bundle export small empty
der leaf plain/cert.der plain/key.der
cat chained.pem ca.pem > bundle/cert.bundle; cp plain/key.der bundle/
cp plain/* export/; der tiny export/cert-512.der export/key-512.der
der tiny small/cert.der small/key.der; cp export/cert-512.der export/key-512.der small/
)";

class TlsHandshake : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/tls_handshake_XXXXXX";
    key_root = mkdtemp(pattern);
    write_file(key_root + "/make.sh", kMakeKeys);
    ASSERT_EQ(std::system(("cd " + key_root + " && sh make.sh").c_str()), 0);
  }
  static void TearDownTestSuite() { std::system(("rm -rf " + key_root).c_str()); }
  void TearDown() override {
    if (!saved_dir.empty()) {
      EXPECT_EQ(chdir(saved_dir.c_str()), 0);
    }
  }
  // Key and certificate files are read from the working directory.
  void use_keys(const std::string& set) {
    char here[4096];
    if (saved_dir.empty() && getcwd(here, sizeof(here))) saved_dir = here;
    ASSERT_EQ(chdir((key_root + "/" + set).c_str()), 0);
  }
  std::string path(const std::string& name) { return key_root + "/" + name; }
  std::string saved_dir;
};

// Everything the other end sends until it closes or pauses.
std::vector<u8> drain(int fd) {
  std::vector<u8> all;
  u8 buffer[4096];
  for (int got; (got = recv_with_timeout(fd, buffer, sizeof(buffer), 0)) > 0;) all.insert(all.end(), buffer, buffer + got);
  return all;
}

std::vector<u8> record(u8 type, const std::vector<u8>& content) {
  std::vector<u8> out = {type, 3, 1, u8(content.size() >> 8), u8(content.size())};
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<u8> handshake(u8 type, const std::vector<u8>& body) {
  std::vector<u8> message = {type, 0, u8(body.size() >> 8), u8(body.size())};
  message.insert(message.end(), body.begin(), body.end());
  return record(content_handshake, message);
}

// A client hello: suites, session id, and the bytes after the compression
// methods (the extensions block, length included, or nothing).
std::vector<u8> client_hello_record(const std::vector<u8>& suites, const std::vector<u8>& extensions,
                                    const std::vector<u8>& session_id = {}) {
  std::vector<u8> body = {3, 1};
  body.resize(34, 0x11);
  body.push_back(u8(session_id.size()));
  body.insert(body.end(), session_id.begin(), session_id.end());
  body.push_back(0);
  body.push_back(u8(suites.size()));
  body.insert(body.end(), suites.begin(), suites.end());
  body.insert(body.end(), {1, 0});
  body.insert(body.end(), extensions.begin(), extensions.end());
  return handshake(client_hello, body);
}

// Client state ready to send a hello without tls_connect.
void start_client(TLSParameters* parameters) {
  new_md5_digest(&parameters->md5_handshake_digest);
  new_sha1_digest(&parameters->sha1_handshake_digest);
  parameters->secure_renegotiation = 1;
}

// The body of the first handshake message of `type` in plain records.
std::vector<u8> handshake_body(const std::vector<u8>& records, u8 type) {
  for (size_t at = 0; at + 5 <= records.size();) {
    size_t end = std::min(records.size(), at + 5 + (records[at + 3] << 8 | records[at + 4]));
    for (size_t m = at + 5; records[at] == content_handshake && m + 4 <= end;) {
      size_t length = records[m + 1] << 16 | records[m + 2] << 8 | records[m + 3];
      if (records[m] == type) return std::vector<u8>(records.begin() + long(m + 4), records.begin() + long(std::min(end, m + 4 + length)));
      m += 4 + length;
    }
    at = end;
  }
  return {};
}

struct ServerRun {
  int result;
  std::string sent;  // hex of everything the server wrote
};

// tls_accept over a socket pair whose other end holds `input` and then
// goes quiet; the server ends by failing its wait for the client.
ServerRun run_server(const std::vector<u8>& input) {
  SocketPair pair;
  Connection server;
  write_bytes(pair.fd[0], input);
  shutdown(pair.fd[0], SHUT_WR);
  testing::internal::CaptureStdout();
  int result = tls_accept(pair.fd[1], &server.p);
  testing::internal::GetCapturedStdout();
  pair.close_end(1);
  return {result, to_hex(drain(pair.fd[0]))};
}

}  // namespace

TEST_F(TlsHandshake, ServerWithOpensslClientFullResumedAndChained) {
  struct Case {
    const char* keys;
    const char* client_options;
    const char* expected_output;  // in the client's output
    bool resumed;
  } cases[] = {
      {"plain", "-sess_out sess.pem", "Protocol  : TLSv1", false},
      {"plain", "-sess_in sess.pem", "Reused, ", true},
      {"bundle", "-showcerts", " 1 s:CN = ca", false},
  };
  std::vector<u8> first_id;
  for (const Case& c : cases) {
    use_keys(c.keys);
    std::string request = "hello from the client\n" + std::string(100000, 'c') + "\n";
    write_file(path("request.txt"), request);
    Listener listener;
    Peer client("openssl s_client -connect 127.0.0.1:" + std::to_string(listener.port) + " " + kTls1Aes +
                    " -ign_eof " + c.client_options,
                path("request.txt"), path("client.out"));
    int fd = accept(listener.fd, nullptr, nullptr);
    Connection server;
    ASSERT_EQ(tls_accept(fd, &server.p), 0) << c.keys << " " << c.client_options;
    std::string received;
    std::vector<u8> buffer(9000);
    while (received.size() < request.size()) {
      int got = tls_recv(fd, buffer.data(), int(buffer.size()), &server.p);
      ASSERT_GT(got, 0) << "after " << received.size() << " bytes";
      received.append(reinterpret_cast<char*>(buffer.data()), got);
    }
    EXPECT_EQ(received, request);
    std::string reply = "hello from the server\n" + std::string(100000, 's') + "\nend\n";
    EXPECT_EQ(tls_send(fd, text_bytes(reply), int(reply.size()), &server.p), int(reply.size()));
    std::vector<u8> id(server.p.session_id, server.p.session_id + server.p.session_id_length);
    tls_shutdown(fd, &server.p);
    close(fd);
    client.finish();
    std::string output = client.output();
    EXPECT_NE(output.find(c.expected_output), std::string::npos) << output.substr(0, 3000);
    EXPECT_NE(output.find(reply), std::string::npos) << "reply missing";
    // New ids count up from the process-wide counter, kept little-endian
    // and cached in chain (first byte) % 100.
    ASSERT_EQ(id.size(), 4u);
    if (c.resumed) {
      EXPECT_EQ(id, first_id);
    }
    if (first_id.empty()) first_id = id;
    bool cached = false;
    for (session_entry* e = session_cache[(id[0] | id[1] << 8) % 100]; e; e = e->next)
      cached |= e->session_id_length == 4 && std::vector<u8>(e->session_id, e->session_id + 4) == id;
    EXPECT_TRUE(cached);
  }
  clear_session_cache();
  for (session_entry* head : session_cache) EXPECT_EQ(head, nullptr);
}

TEST_F(TlsHandshake, ServerWithGnutlsClient) {
  use_keys("plain");
  write_file(path("request.txt"), "ping\n");
  Listener listener;
  Peer client("(cat " + path("request.txt") + "; sleep 1) | gnutls-cli --insecure -p " +
                  std::to_string(listener.port) + " 127.0.0.1 --priority '" + kGnutlsAes + "'",
              "/dev/null", path("client.out"));
  int fd = accept(listener.fd, nullptr, nullptr);
  Connection server;
  ASSERT_EQ(tls_accept(fd, &server.p), 0);
  u8 buffer[64];
  ASSERT_EQ(tls_recv(fd, buffer, sizeof(buffer), &server.p), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "ping\n");
  EXPECT_EQ(tls_send(fd, text_bytes("pong\n"), 5, &server.p), 5);
  tls_shutdown(fd, &server.p);
  close(fd);
  client.finish();
  EXPECT_NE(client.output().find("pong"), std::string::npos) << client.output();
}

// The client against gnutls-serv with 3DES: a full handshake, an echo, a
// resumption of that session; then the server's first flight, captured,
// is fed back cut at every length and must fail cleanly.
TEST_F(TlsHandshake, ClientWithGnutlsServerFullResumedAndTruncated) {
  Listener probe;
  int port = probe.port;
  close(probe.fd);
  probe.fd = -1;
  Peer server("gnutls-serv --echo --disable-client-cert -p " + std::to_string(port) + " --x509certfile " + path("leaf.pem") +
                  " --x509keyfile " + path("leaf.key") + " --priority '" + kGnutls3Des + "'",
              "/dev/null", path("server.out"));
  u8 master[MASTER_SECRET_LENGTH];
  std::vector<u8> id;
  for (int resume = 0; resume < 2; resume++) {
    int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    Connection client;
    if (resume)
      ASSERT_EQ(tls_resume(fd, int(id.size()), id.data(), master, &client.p), 0);
    else
      ASSERT_EQ(tls_connect(fd, &client.p, 0), 0);
    EXPECT_EQ(client.p.active_send.suite, 0x0Au);
    id.assign(client.p.session_id, client.p.session_id + client.p.session_id_length);
    std::memcpy(master, client.p.master_secret, sizeof(master));
    EXPECT_EQ(tls_send(fd, text_bytes("echo me\n"), 8, &client.p), 8);
    u8 buffer[64];
    ASSERT_EQ(tls_recv(fd, buffer, sizeof(buffer), &client.p), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "echo me\n");
    tls_shutdown(fd, &client.p);
    close(fd);
  }

  // The server's answer to a client hello: server hello, certificate, done.
  SocketPair hello_pair;
  Connection hello_maker;
  start_client(&hello_maker.p);
  ASSERT_EQ(send_client_hello(hello_pair.fd[0], &hello_maker.p, 0), 0);
  std::vector<u8> client_hello = drain(hello_pair.fd[1]);
  int fd = connect_loopback(port);
  write_bytes(fd, client_hello);
  std::vector<u8> flight = drain(fd);
  close(fd);
  ASSERT_GT(flight.size(), 100u);
  for (size_t cut = 0; cut < flight.size(); cut += flight.size() < 400 ? 1 : 7) {
    SocketPair pair;
    Connection client;
    write_bytes(pair.fd[0], std::vector<u8>(flight.begin(), flight.begin() + cut));
    shutdown(pair.fd[0], SHUT_WR);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_NE(tls_connect(pair.fd[1], &client.p, 0), 0) << "cut at " << cut;
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  }
}

// Hellos built by hand: the server's choice of suite, the
// renegotiation_info rules, resumption from the cache, and what it answers
// to what it cannot take. `sent` is the hex of everything it wrote.
TEST_F(TlsHandshake, ServerAnswersHandBuiltHellos) {
  const std::vector<u8> reneg_empty = {0, 5, 0xFF, 0x01, 0, 1, 0};
  struct Case {
    const char* name;
    const char* keys;
    std::vector<u8> input;
    int result;
    const char* sent;  // hex that must appear in what the server wrote
  } cases[] = {
      {"picks 0x2F", "plain", client_hello_record({0, 0x35, 0, 0x2F}, reneg_empty), 5, "002f000005ff01000100"},
      {"only 0x35", "plain", client_hello_record({0, 0x35}, reneg_empty), 1, "15030100020" "22f"},
      {"signalling suite", "plain", client_hello_record({0, 0x2F, 0, 0xFF}, {}), 5, "002f000005ff01000100"},
      {"no extensions", "plain", client_hello_record({0, 0x2F}, {}), 5, "002f0000001603010"},
      {"renegotiation info not empty", "plain", client_hello_record({0, 0x2F}, {0, 6, 0xFF, 1, 0, 2, 1, 9}), 1,
       "15030100020" "22f"},
      {"extensions length off", "plain", client_hello_record({0, 0x2F}, {0, 9, 0xFF, 1, 0, 1, 0}), 1,
       "150301000202" "32"},
      {"hello request", "plain", handshake(hello_request, {}), 1, "15030100020" "20a"},
      {"no certificate files", "empty", client_hello_record({0, 0x2F}, reneg_empty), 3, "150301000202" "28"},
      {"cached session", "plain", client_hello_record({0, 0x2F}, reneg_empty, {0x63, 0, 0, 0}), 6,
       "0463000000002f000005ff0100010014030100010116"},
  };
  session_entry* cached = static_cast<session_entry*>(vekCalloc(1, sizeof(session_entry)));
  cached->session_id_length = 4;
  cached->session_id[0] = 0x63;  // chain 99
  session_cache[0x63] = cached;
  for (const Case& c : cases) {
    use_keys(c.keys);
    testing::internal::CaptureStderr();
    ServerRun run = run_server(c.input);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.result, c.result) << c.name << "\n" << errors;
    EXPECT_NE(run.sent.find(c.sent), std::string::npos) << c.name << "\n" << run.sent.substr(0, 300);
    if (c.keys[0] == 'e') {
      EXPECT_NE(errors.find("unable to load certificate file"), std::string::npos);
    }
  }
  clear_session_cache();
}

// A certificate key above 512 bits brings the export key exchange: the
// 512-bit key's modulus and exponent, signed over both randoms with MD5
// and SHA-1 by key-512.der. A 512-bit certificate key does not.
TEST_F(TlsHandshake, ExportKeyExchangeFollowsTheCertificateKeySize) {
  for (const char* keys : {"export", "small"}) {
    use_keys(keys);
    ServerRun run = run_server(client_hello_record({0, 0x2F}, {}));
    EXPECT_EQ(run.result, 5);
    std::vector<u8> sent = from_hex(run.sent);
    std::vector<u8> body = handshake_body(sent, server_key_exchange);
    if (std::string(keys) == "small") {
      EXPECT_TRUE(body.empty());
      continue;
    }
    ASSERT_GT(body.size(), 71u);
    std::vector<u8> params(body.begin(), body.begin() + 2 + 64 + 2 + 3);
    EXPECT_EQ(params[0] << 8 | params[1], 64);
    EXPECT_EQ(to_hex(params.data() + 66, 5), "0003010001");
    // Check the signature with the 512-bit certificate's public key.
    int size = 0;
    u8* der = load_file("cert-512.der", &size);
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    ASSERT_EQ(parse_x509_certificate(der, size, &certificate), 0);
    u8* opened = nullptr;
    int opened_length = rsa_decrypt(body.data() + params.size() + 2, int(body.size() - params.size() - 2), &opened,
                                    &certificate.public_key.rsa_public_key);
    std::vector<u8> signed_bytes(32, 0x11);
    std::vector<u8> hello = handshake_body(sent, server_hello);
    signed_bytes.insert(signed_bytes.end(), hello.begin() + 2, hello.begin() + 34);
    signed_bytes.insert(signed_bytes.end(), params.begin(), params.end());
    digest_ctx md5, sha1;
    new_md5_digest(&md5);
    new_sha1_digest(&sha1);
    for (digest_ctx* d : {&md5, &sha1}) {
      update_digest(d, signed_bytes.data(), int(signed_bytes.size()));
      finalize_digest(d);
    }
    ASSERT_EQ(opened_length, 36);
    EXPECT_EQ(to_hex(opened, 36), to_hex(md5.hash, 16) + to_hex(sha1.hash, 20));
    vekFree(&opened);
    vekFree(&der);
    free_x509_certificate(&certificate);
  }
}

// The client's first hello, its randoms, and its answers to server hellos
// it must refuse.
TEST_F(TlsHandshake, ClientHelloAndServerHelloChecks) {
  std::string randoms[2];
  for (std::string& random : randoms) {
    SocketPair pair;
    Connection client;
    shutdown(pair.fd[0], SHUT_WR);
    EXPECT_EQ(tls_connect(pair.fd[1], &client.p, 0), 2);
    pair.close_end(1);
    std::string hex = to_hex(drain(pair.fd[0]));
    EXPECT_EQ(hex.substr(hex.size() - 26), "0002000a01000005ff01000100");
    random = hex.substr(26, 56);
  }
  EXPECT_NE(randoms[0], randoms[1]);

  auto make_server_hello = [](u8 suite, u8 compression, std::vector<u8> extensions) {
    std::vector<u8> body = {3, 1};
    body.resize(34, 0x22);
    body.insert(body.end(), {0, 0, suite, compression});
    body.insert(body.end(), extensions.begin(), extensions.end());
    return handshake(server_hello, body);
  };
  struct Case {
    const char* name;
    std::vector<u8> input;
    const char* alert;
  } cases[] = {
      {"compression", make_server_hello(0x0A, 1, {}), "022f"},
      {"suite without a row", make_server_hello(0x1C, 0, {}), "022f"},
      {"renegotiation info not empty", make_server_hello(0x0A, 0, {0, 6, 0xFF, 1, 0, 2, 1, 9}), "022f"},
      {"extensions length off", make_server_hello(0x0A, 0, {0, 4, 0xFF, 1, 0, 1, 0}), "0232"},
      {"message longer than its record", record(content_handshake, {2, 0, 1, 0, 3, 1}), "0232"},
      {"finished before change cipher spec", handshake(finished, std::vector<u8>(12)), "020a"},
      {"certificate refused", handshake(certificate, {0, 0, 9, 0, 0, 6, 1, 2, 3, 4, 5, 6}), "022a"},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    Connection client;
    write_bytes(pair.fd[0], c.input);
    shutdown(pair.fd[0], SHUT_WR);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tls_connect(pair.fd[1], &client.p, 0), 2) << c.name;
    testing::internal::GetCapturedStdout();
    std::string errors = testing::internal::GetCapturedStderr();
    pair.close_end(1);
    std::string hex = to_hex(drain(pair.fd[0]));
    EXPECT_EQ(hex.substr(hex.size() - 14), std::string("1503010002") + c.alert) << c.name;
    if (c.name[0] == 'c' && c.name[1] == 'o') {
      EXPECT_NE(errors.find("Error, server wants compression."), std::string::npos);
    }
  }
}

// Every cut of a good client hello, and random changes to it, fail without
// harm; so do random handshake records.
TEST_F(TlsHandshake, MangledClientHellosFailCleanly) {
  use_keys("plain");
  std::vector<u8> hello = client_hello_record({0, 0x35, 0, 0x2F, 0, 0xFF}, {0, 5, 0xFF, 1, 0, 1, 0});
  srand(7);
  for (size_t round = 0; round < hello.size() + 60; round++) {
    std::vector<u8> input(hello.begin(), hello.begin() + long(std::min(round, hello.size())));
    if (round >= hello.size()) input[5 + rand() % (input.size() - 5)] = u8(rand());
    testing::internal::CaptureStderr();
    ServerRun run = run_server(input);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(run.result, 0);
  }
}

// The Diffie-Hellman exchange agrees with the server's side: Yc^y = Y^x.
TEST(TlsKeyExchange, DiffieHellmanAndRsaPreMasterSecrets) {
  const std::vector<u8> prime = from_hex("ffffffffffffffffc90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b22514a08798e3404ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e7ec6f44c42e9a63a3620ffffffffffffffff");
  dh_key key = {};
  huge y = {};
  huge_load_bytes(&key.p, prime.data(), prime.size());
  huge_set_uint(&key.g, 2);
  u8 secret_y[32];
  tls_random_bytes(secret_y, 32);
  huge_load_bytes(&y, secret_y, 32);
  huge_mod_pow(&key.g, &y, &key.p, &key.Y);
  std::vector<u8> pre_master(prime.size());
  u8* message = nullptr;
  int length = dh_key_exchange(&key, pre_master.data(), &message);
  ASSERT_GT(length, 2);
  EXPECT_EQ((message[0] << 8 | message[1]) + 2, length);
  huge Yc = {}, Z = {};
  huge_load_bytes(&Yc, message + 2, size_t(length - 2));
  huge_mod_pow(&Yc, &y, &key.p, &Z);
  std::vector<u8> expected(prime.size(), 0);
  huge_store_bytes(&Z, expected.data(), expected.size());
  EXPECT_EQ(to_hex(pre_master), to_hex(expected));
  vekFree(&message);
  for (huge* h : {&key.p, &key.g, &key.Y, &y, &Yc, &Z}) huge_free(h);
}
