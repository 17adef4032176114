// TLS handshake tests: the server against openssl's and gnutls's clients,
// the client against gnutls's server (full and resumed), hellos built by
// hand on socket pairs for the negotiation rules and alerts, and
// truncated or mangled handshakes failing cleanly.
// Keys and certificates are made with the openssl command at start.
#include <cstdlib>
#include <set>
#include <string>

#include "kernel/VekAlloc.h"
#include "test_bytes.h"
#include "tls_internal.h"
#include "tls_test_support.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const char* const kTls1Aes = "-tls1 -cipher AES128-SHA@SECLEVEL=0";
const char* const kGnutlsAes = "NORMAL:-VERS-ALL:+VERS-TLS1.0:-CIPHER-ALL:+AES-128-CBC:-KX-ALL:+RSA:-MAC-ALL:+SHA1:%COMPAT";
const char* const kGnutls3Des = "NORMAL:-VERS-ALL:+VERS-TLS1.0:-CIPHER-ALL:+3DES-CBC:-KX-ALL:+RSA:%COMPAT";

// Directories of key sets: plain (cert.der, key.der), bundle (a chain of
// two in cert.bundle), export (plain with cert-512.der, key-512.der), empty.
std::string key_root;

const char* const kMakeKeys = R"(set -e
der() { openssl x509 -in $1.pem -outform DER -out $2; openssl rsa -in $1.key -outform DER -traditional -out $3 2>/dev/null; }
gen() { openssl req -x509 -newkey rsa:$2 -nodes -keyout $1.key -out $1.pem -subj /CN=$1 -days 2 2>/dev/null; }
gen leaf 1024; gen ca 1024; gen tiny 512
openssl req -new -key leaf.key -subj /CN=chained 2>/dev/null | openssl x509 -req -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out chained.pem 2>/dev/null
mkdir plain bundle export empty
der leaf plain/cert.der plain/key.der
cat chained.pem ca.pem > bundle/cert.bundle; cp plain/key.der bundle/
cp plain/* export/; der tiny export/cert-512.der export/key-512.der
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

// One handshake message in one record.
std::vector<u8> handshake(u8 type, const std::vector<u8>& body) {
  std::vector<u8> out = {22, 3, 1, u8((body.size() + 4) >> 8), u8(body.size() + 4), type, 0, u8(body.size() >> 8),
                         u8(body.size())};
  out.insert(out.end(), body.begin(), body.end());
  return out;
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
  int result = tls_accept(pair.fd[1], &server.p);
  pair.close_end(1);
  return {result, to_hex(drain(pair.fd[0]))};
}

}  // namespace

// openssl's client: full, resumed from its saved session, with a chain of
// two in cert.bundle; gnutls's client. Each sends 100 KB and gets 100 KB.
TEST_F(TlsHandshake, ServerWithOpensslAndGnutlsClients) {
  const std::string openssl = std::string("openssl s_client -connect 127.0.0.1:PORT -ign_eof ") + kTls1Aes;
  struct Case {
    const char* keys;
    std::string client;
    const char* expected_output;  // in the client's output
  } cases[] = {
      {"plain", openssl + " -sess_out sess.pem", "Protocol  : TLSv1"},
      {"plain", openssl + " -sess_in sess.pem", "Reused, "},
      {"bundle", openssl + " -showcerts", " 1 s:CN = ca"},
      {"plain", std::string("(cat; sleep 1) | gnutls-cli --insecure -p PORT 127.0.0.1 --priority ") + kGnutlsAes,
       "Handshake was completed"},
  };
  std::vector<u8> first_id;
  for (const Case& c : cases) {
    use_keys(c.keys);
    std::string request = "from the client " + std::string(100000, 'c') + "\n";
    write_file(path("request.txt"), request);
    Listener listener;
    std::string command = c.client;
    command.replace(command.find("PORT"), 4, std::to_string(listener.port));
    Peer client(command, path("request.txt"), path("client.out"));
    int fd = accept(listener.fd, nullptr, nullptr);
    Connection server;
    ASSERT_EQ(tls_accept(fd, &server.p), 0) << command;
    std::string received;
    std::vector<u8> buffer(9000);
    for (int got; received.size() < request.size(); received.append(reinterpret_cast<char*>(buffer.data()), got))
      ASSERT_GT(got = tls_recv(fd, buffer.data(), int(buffer.size()), &server.p), 0) << "after " << received.size();
    EXPECT_EQ(received, request);
    std::string reply = "from the server " + std::string(100000, 's') + "\n";
    EXPECT_EQ(tls_send(fd, text_bytes(reply), int(reply.size()), &server.p), int(reply.size()));
    std::vector<u8> id(server.p.session_id, server.p.session_id + server.p.session_id_length);
    tls_shutdown(fd, &server.p);
    close(fd);
    client.finish();
    std::string output = client.output();
    EXPECT_NE(output.find(c.expected_output), std::string::npos) << output.substr(0, 3000);
    EXPECT_NE(output.find(reply), std::string::npos) << "reply missing";
    // Ids count up from 1, little-endian, cached in chain (id % 100); the
    // resumed session keeps the first one's.
    if (first_id.empty()) first_id = id;
    EXPECT_EQ(id == first_id, c.expected_output[0] == 'P' || c.expected_output[0] == 'R');
    bool cached = false;
    for (session_entry* e = session_cache[(id[0] | id[1] << 8) % 100]; e; e = e->next)
      cached |= std::vector<u8>(e->session_id, e->session_id + e->session_id_length) == id;
    EXPECT_TRUE(cached);
  }
  clear_session_cache();
  for (session_entry* head : session_cache) EXPECT_EQ(head, nullptr);
}

// The client against gnutls-serv with 3DES: a full handshake, an echo, a
// resumption of that session; then the server's first flight, captured,
// is fed back cut at every length and must fail cleanly.
TEST_F(TlsHandshake, ClientWithGnutlsServerFullResumedAndTruncated) {
  int port = Listener().port;
  Peer server("gnutls-serv --echo --disable-client-cert -p " + std::to_string(port) + " --x509certfile " + path("leaf.pem") +
                  " --x509keyfile " + path("leaf.key") + " --priority '" + kGnutls3Des + "'",
              "/dev/null", path("server.out"));
  u8 master[MASTER_SECRET_LENGTH];
  std::vector<u8> id;
  for (int resume = 0; resume < 2; resume++) {
    int fd = connect_loopback(port);
    ASSERT_GE(fd, 0);
    Connection client;
    ASSERT_EQ(resume ? tls_resume(fd, int(id.size()), id.data(), master, &client.p) : tls_connect(fd, &client.p, 0), 0);
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
  shutdown(hello_pair.fd[1], SHUT_WR);
  quietly([&] { return tls_connect(hello_pair.fd[0], &hello_maker.p, 0); });
  int fd = connect_loopback(port);
  write_bytes(fd, drain(hello_pair.fd[1]));
  std::vector<u8> flight = drain(fd);
  close(fd);
  ASSERT_GT(flight.size(), 100u);
  for (size_t cut = 0; cut < flight.size(); cut += flight.size() < 400 ? 1 : 7) {
    SocketPair pair;
    Connection client;
    write_bytes(pair.fd[0], std::vector<u8>(flight.begin(), flight.begin() + cut));
    shutdown(pair.fd[0], SHUT_WR);
    EXPECT_NE(quietly([&] { return tls_connect(pair.fd[1], &client.p, 0); }), 0) << "cut at " << cut;
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
      {"export key exchange", "export", client_hello_record({0, 0x2F}, reneg_empty), 5, "0c0000890040"},
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
    if (std::string(c.keys) == "empty") {
      EXPECT_NE(errors.find("unable to load certificate file"), std::string::npos);
    }
  }
  clear_session_cache();
}

// The client's answers to server hellos it must refuse; before each, its
// hello with the empty renegotiation_info and a random of its own.
TEST_F(TlsHandshake, ClientRefusesBadServerHellos) {
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
      {"message longer than its record", {22, 3, 1, 0, 6, 2, 0, 1, 0, 3, 1}, "0232"},
      {"finished before change cipher spec", handshake(finished, std::vector<u8>(12)), "020a"},
      {"certificate refused", handshake(certificate, {0, 0, 9, 0, 0, 6, 1, 2, 3, 4, 5, 6}), "022a"},
  };
  std::set<std::string> randoms;
  for (const Case& c : cases) {
    SocketPair pair;
    Connection client;
    write_bytes(pair.fd[0], c.input);
    shutdown(pair.fd[0], SHUT_WR);
    EXPECT_EQ(quietly([&] { return tls_connect(pair.fd[1], &client.p, 0); }), 2) << c.name;
    pair.close_end(1);
    std::string hex = to_hex(drain(pair.fd[0]));
    EXPECT_EQ(hex.substr(hex.size() - 40), std::string("0002000a01000005ff010001001503010002") + c.alert) << c.name;
    randoms.insert(hex.substr(26, 56));
  }
  EXPECT_EQ(randoms.size(), std::size(cases));
}

// A server hello that changes the suite after the client derived its keys
// (blocks of 3DES sizes) leaves nothing for a change cipher spec to switch
// on: AES-256 would read its key and IV past those blocks.
TEST(TlsHandshakeKeys, SuiteChangedAfterKeyExchangeDropsTheKeys) {
  SocketPair pair;
  Connection client;
  reset_for_handshake(&client.p, 0, false);
  client.p.pending_send.suite = client.p.pending_recv.suite = 0x0A;
  calculate_keys(&client.p);
  std::vector<u8> body = {3, 1};
  body.resize(34, 0x22);
  body.insert(body.end(), {0, 0, 0x35, 0});
  std::vector<u8> input = handshake(server_hello, body);
  input.insert(input.end(), {20, 3, 1, 0, 1, 1});
  write_bytes(pair.fd[0], input);
  EXPECT_EQ(receive_tls_msg(pair.fd[1], nullptr, 0, &client.p), 42);
  EXPECT_EQ(receive_tls_msg(pair.fd[1], nullptr, 0, &client.p), -1);
  EXPECT_EQ(client.p.active_recv.suite, 0u);
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
    EXPECT_NE(quietly([&] { return run_server(input); }).result, 0);
  }
}

// The Diffie-Hellman exchange agrees with the server's side: Yc^y = Y^x.
TEST(TlsKeyExchange, DiffieHellmanSidesAgree) {
  std::vector<u8> prime = from_hex("ffffffffffffffffc90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b"
                                   "22514a08798e3404ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e"
                                   "7ec6f44c42e9a63a3620ffffffffffffffff");
  u8 random[32];
  tls_random_bytes(random, 32);
  dh_key key = {};
  huge y = {}, Yc = {}, Z = {};
  huge_load_bytes(&key.p, prime.data(), prime.size());
  huge_set_uint(&key.g, 2);
  huge_load_bytes(&y, random, 32);
  huge_mod_pow(&key.g, &y, &key.p, &key.Y);
  std::vector<u8> pre_master(prime.size()), expected(prime.size(), 0);
  u8* message = nullptr;
  int length = dh_key_exchange(&key, pre_master.data(), &message);
  ASSERT_EQ((message[0] << 8 | message[1]) + 2, length);
  huge_load_bytes(&Yc, message + 2, size_t(length - 2));
  huge_mod_pow(&Yc, &y, &key.p, &Z);
  huge_store_bytes(&Z, expected.data(), expected.size());
  EXPECT_EQ(to_hex(pre_master), to_hex(expected));
  vekFree(&message);
  for (huge* h : {&key.p, &key.g, &key.Y, &y, &Yc, &Z}) huge_free(h);
}
