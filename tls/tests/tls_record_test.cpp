// TLS record layer tests on socket pairs: record sizes and
// padding, every suite carrying data across records, the split of long
// sends and short reads, and hostile records answered by the right alert.
#include <string>

#include "aes.h"
#include "hmac.h"
#include "test_bytes.h"
#include "tls_test_support.h"

using namespace VekTls;
using namespace VekTlsTest;

// Fragment length and padding byte per suite and content length.
TEST(TlsRecord, FragmentIsContentMacAndPadding) {
  struct Case {
    u32 suite;
    int content;
    int fragment;
    int pad_byte;  // -1: no padding
  } cases[] = {
      {0x2F, 5, 32, 0x06}, {0x2F, 12, 48, 0x0F}, {0x00, 5, 5, -1},
      {0x0A, 5, 32, 0x06}, {0x04, 5, 21, -1},    {0x35, 0, 32, 0x0B},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    Connection client, server;
    share_keys(client, server, c.suite);
    std::vector<u8> iv(client.p.active_send.iv, client.p.active_send.iv + find_suite(c.suite)->IV_size);
    std::vector<u8> content(c.content, 0x41);
    ASSERT_EQ(send_message(pair.fd[0], content_application_data, content.data(), u16(c.content),
                           &client.p.active_send), 0);
    std::vector<u8> record = read_raw_record(pair.fd[1]);
    ASSERT_EQ(int(record.size()), 5 + c.fragment) << "suite " << c.suite;
    EXPECT_EQ(to_hex(record.data(), 3), "170301");
    if (c.suite == 0x2F) {  // open by hand: content, then MAC, then padding
      aes_128_decrypt(&record[5], c.fragment, &record[5], iv.data(), client.p.active_send.key);
      EXPECT_EQ(std::vector<u8>(record.begin() + 5, record.begin() + 5 + c.content), content);
      for (int i = 5 + c.content + 20; i < int(record.size()); i++) EXPECT_EQ(record[i], c.pad_byte);
    }
    EXPECT_EQ(client.p.active_send.sequence, 1u);
  }
}

// Every row of the table: three records of different sizes arrive intact,
// so MAC secrets, keys, IV chains and RC4 states line up on both ends.
TEST(TlsRecord, EverySuiteCarriesRecordsBothWays) {
  for (const cipher_suite& row : suites) {
    SocketPair pair;
    Connection client, server;
    share_keys(client, server, row.id);
    for (int length : {1, 100, 4000}) {
      std::vector<u8> data(length);
      for (int i = 0; i < length; i++) data[i] = u8(i * 31 + length);
      ASSERT_EQ(tls_send(pair.fd[0], data.data(), length, &client.p), length);
      ASSERT_EQ(tls_send(pair.fd[1], data.data(), length, &server.p), length);
      std::vector<u8> got(length);
      ASSERT_EQ(tls_recv(pair.fd[1], got.data(), length, &server.p), length) << "suite " << row.id;
      EXPECT_EQ(got, data);
      ASSERT_EQ(tls_recv(pair.fd[0], got.data(), length, &client.p), length) << "suite " << row.id;
      EXPECT_EQ(got, data);
    }
  }
}

TEST(TlsRecord, LongSendIsSplitAndShortReadKeepsTheRest) {
  SocketPair pair;
  Connection client, server;
  share_keys(client, server, 0x00);
  std::vector<u8> data(40000, 0x33);
  ASSERT_EQ(tls_send(pair.fd[0], data.data(), 40000, &client.p), 40000);
  for (int expected : {16384, 16384, 7232}) EXPECT_EQ(int(read_raw_record(pair.fd[1]).size()), 5 + expected);
  EXPECT_EQ(send_message(pair.fd[0], content_application_data, data.data(), 16385, &client.p.active_send), -1);

  std::vector<u8> hundred(100);
  for (int i = 0; i < 100; i++) hundred[i] = u8(i);
  ASSERT_EQ(tls_send(pair.fd[0], hundred.data(), 100, &client.p), 100);
  pair.close_end(0);  // the second read must not need the socket
  u8 buffer[100];
  ASSERT_EQ(tls_recv(pair.fd[1], buffer, 30, &server.p), 30);
  ASSERT_EQ(tls_recv(pair.fd[1], buffer + 30, 100, &server.p), 70);
  EXPECT_EQ(std::vector<u8>(buffer, buffer + 100), hundred);
  EXPECT_EQ(tls_recv(pair.fd[1], buffer, 100, &server.p), -1);  // closed, nothing more
}

namespace {

// A CBC record for suite 0x2F built by hand from the client's send state,
// so that padding and MAC can be spoiled independently.
std::vector<u8> cbc_record(Connection& client, int content_length, int pad, bool spoil_pad, bool spoil_mac) {
  std::vector<u8> mac_input = {0, 0, 0, 0, 0, 0, 0, 0, 23, 3, 1, 0, u8(content_length)};
  mac_input.resize(13 + content_length, 0x61);
  digest_ctx digest;
  new_sha1_digest(&digest);
  hmac(client.p.active_send.mac_secret, 20, mac_input.data(), int(mac_input.size()), &digest);
  std::vector<u8> fragment(mac_input.begin() + 13, mac_input.end());
  const u8* mac = reinterpret_cast<const u8*>(digest.hash);
  fragment.insert(fragment.end(), mac, mac + 20);
  if (spoil_mac) fragment.back() ^= 1;
  fragment.insert(fragment.end(), size_t(pad + 1), u8(pad));
  if (spoil_pad) fragment[fragment.size() - 2] ^= 0x40;
  aes_128_encrypt(fragment.data(), int(fragment.size()), fragment.data(), client.p.active_send.iv,
                  client.p.active_send.key);
  fragment.insert(fragment.begin(), {23, 3, 1, u8(fragment.size() >> 8), u8(fragment.size())});
  return fragment;
}

}  // namespace

std::vector<u8> header_and(std::vector<u8> header, int filler) {
  header.resize(header.size() + size_t(filler), 0x5c);
  return header;
}

// Each hostile record fails with -1 and the alert its kind calls for; a
// bad padding and a bad MAC get the same answer.
TEST(TlsRecord, HostileRecordsAreRefusedWithTheirAlert) {
  struct Case {
    const char* name;
    std::vector<u8> (*make)(Connection& client);
    const char* alert;  // null: the record is good
  } cases[] = {
      {"good, padding 11", [](Connection& c) { return cbc_record(c, 16, 11, false, false); }, nullptr},
      {"padding byte differs", [](Connection& c) { return cbc_record(c, 16, 11, true, false); }, "Bad Record Mac"},
      {"mac differs", [](Connection& c) { return cbc_record(c, 16, 11, false, true); }, "Bad Record Mac"},
      {"not whole blocks", [](Connection&) { return header_and({23, 3, 1, 0, 17}, 17); }, "Bad Record Mac"},
      {"no room for a mac", [](Connection&) { return header_and({23, 3, 1, 0, 16}, 16); }, "Bad Record Mac"},
      {"length above 18432", [](Connection&) { return header_and({23, 3, 1, 0x48, 0x01}, 0); }, "Record Overflow"},
      {"header cut short", [](Connection&) { return header_and({23, 3}, 0); }, "Record Overflow"},
      {"fragment cut short", [](Connection&) { return header_and({23, 3, 1, 0, 32}, 2); }, "Illegal Parameter"},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    Connection client, server;
    share_keys(client, server, 0x2F);
    write_bytes(pair.fd[0], c.make(client));
    shutdown(pair.fd[0], SHUT_WR);
    u8 buffer[64];
    int result = tls_recv(pair.fd[1], buffer, sizeof(buffer), &server.p);
    if (c.alert == nullptr) {
      EXPECT_EQ(result, 16) << c.name;
      continue;
    }
    EXPECT_EQ(result, -1) << c.name;
    EXPECT_EQ(server.p.active_recv.sequence, 0u) << c.name;
    // The alert comes back under the server's send keys.
    testing::internal::CaptureStdout();
    EXPECT_EQ(receive_tls_msg(pair.fd[0], nullptr, 0, &client.p), -1) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Alert - Fatal: ") + c.alert + "\n") << c.name;
  }
}

// Records that are not application data: what each leads to.
TEST(TlsRecord, AlertsAndChangeCipherSpecRecords) {
  struct Case {
    const char* name;
    std::vector<u8> record;
    int result;          // of tls_recv
    const char* output;  // printed by the receiver
  } cases[] = {
      {"warning close notify", {21, 3, 1, 0, 2, 1, 0}, 0, "Alert - Warning: Close notify\n"},
      {"fatal, unknown text", {21, 3, 1, 0, 2, 2, 99}, -1, "Alert - Fatal: UNKNOWN ALERT DESCRIPTION 99 (!!!)\n"},
      {"unknown level", {21, 3, 1, 0, 2, 7, 0}, 0, "Alert - UNKNOWN ALERT TYPE 7 (!!!): Close notify\n"},
      {"change cipher spec 2", {20, 3, 1, 0, 1, 2}, -1,
       "Error - received message ChangeCipherSpec, but type != 1\n"},
      {"change cipher spec without keys", {20, 3, 1, 0, 1, 1}, -1, ""},
      {"unknown type, then a close", {99, 3, 1, 0, 1, 0, 21, 3, 1, 0, 2, 1, 0}, 0,
       "Ignoring non-recognized content type 99\nAlert - Warning: Close notify\n"},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    Connection server;
    server.p.connection_end = 1;
    write_bytes(pair.fd[0], c.record);
    u8 buffer[16];
    testing::internal::CaptureStdout();
    EXPECT_EQ(tls_recv(pair.fd[1], buffer, sizeof(buffer), &server.p), c.result) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output) << c.name;
    if (c.name[0] == 'c') {
      EXPECT_EQ(to_hex(read_raw_record(pair.fd[0])), "15030100020" "20a") << c.name;
    }
  }
}

TEST(TlsRecord, WaitsEndOnTimeOutOrClose) {
  SocketPair pair;
  u8 buffer[8];
  EXPECT_EQ(recv_with_timeout(pair.fd[1], buffer, 8, 0), -1);  // nothing within 200 ms
  write_bytes(pair.fd[0], {1, 2, 3});
  EXPECT_EQ(recv_with_timeout(pair.fd[1], buffer, 8, 0), 3);   // a pause after some bytes
  write_bytes(pair.fd[0], {4, 5});
  pair.close_end(0);
  EXPECT_EQ(recv_with_timeout(pair.fd[1], buffer, 8, 0), 2);
  EXPECT_EQ(recv_with_timeout(pair.fd[1], buffer, 8, 0), -1);  // closed
  EXPECT_EQ(send_all(pair.fd[1], buffer, 8, 0), -1);           // no SIGPIPE either
}
