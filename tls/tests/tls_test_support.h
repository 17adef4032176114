// Helpers for the TLS tests: socket pairs, two ends sharing keys without a
// handshake, raw record reading, and owned connection state.
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tls.h"

namespace VekTlsTest {

// A connected pair of stream sockets, closed on destruction.
struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~SocketPair() { close_end(0), close_end(1); }
  void close_end(int i) { close(fd[i]), fd[i] = -1; }
};

// Connection state released with tls_shutdown's clean-up (without sending).
struct Connection {
  VekTls::TLSParameters p;
  Connection() { std::memset(&p, 0, sizeof(p)); }
  ~Connection() { VekTls::tls_shutdown(-1, &p); }
};

// Gives client and server the same master secret and randoms, derives the
// keys of `suite` and makes them active on both ends.
inline void share_keys(Connection& client, Connection& server, u32 suite) {
  for (Connection* c : {&client, &server}) {
    c->p.connection_end = c == &client ? 0 : 1;
    std::memset(c->p.master_secret, 7, VekTls::MASTER_SECRET_LENGTH);
    c->p.pending_send.suite = c->p.pending_recv.suite = suite;
    VekTls::calculate_keys(&c->p);
    c->p.active_send = c->p.pending_send;
    c->p.active_recv = c->p.pending_recv;
    std::memset(&c->p.pending_send, 0, sizeof(VekTls::cipher_state));
    std::memset(&c->p.pending_recv, 0, sizeof(VekTls::cipher_state));
  }
}

// Reads one raw record (header and fragment) from a socket.
inline std::vector<u8> read_raw_record(int fd) {
  std::vector<u8> record(5);
  if (VekTls::recv_with_timeout(fd, record.data(), 5, 0) != 5) return {};
  int length = (record[3] << 8) | record[4];
  record.resize(5 + length);
  if (length > 0 && VekTls::recv_with_timeout(fd, record.data() + 5, length, 0) != length) return {};
  return record;
}

inline void write_bytes(int fd, const std::vector<u8>& bytes) {
  ASSERT_EQ(VekTls::send_all(fd, bytes.data(), int(bytes.size()), 0), int(bytes.size()));
}

// A peer program run through the shell with its standard input from a file
// and its output in another. It leads a process group of its own, so that
// everything the shell started is killed if it still runs after `finish`'s wait.
struct Peer {
  pid_t pid;
  std::string output_path;
  Peer(const std::string& command, const std::string& input, const std::string& output) : output_path(output) {
    if ((pid = fork()) != 0) return;
    setpgid(0, 0);
    dup2(open(input.c_str(), O_RDONLY), 0);
    dup2(open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(1, 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  void finish(int milliseconds = 10000) {
    for (int waited = 0; pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; waited += 10) {
      if (waited >= milliseconds) kill(-pid, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
  }
  std::string output() const {
    std::stringstream text;
    text << std::ifstream(output_path).rdbuf();
    return text.str();
  }
  ~Peer() { finish(0); }
};

inline sockaddr_in loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u16(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A listening socket on a free loopback port.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  Listener() {
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    listen(fd, 8);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
};

// Connects to a loopback port, retrying for 10 s while the peer starts.
inline int connect_loopback(int port) {
  for (int tries = 0; tries < 200; tries++) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

// Runs `f` with standard output and error captured (and dropped).
template <typename F>
auto quietly(F f) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto result = f();
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return result;
}

inline void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace VekTlsTest
