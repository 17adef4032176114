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
#include <cstdlib>
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
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void close_end(int i) {
    close(fd[i]);
    fd[i] = -1;
  }
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
    for (int i = 0; i < VekTls::MASTER_SECRET_LENGTH; i++) c->p.master_secret[i] = u8(i * 7);
    std::memset(c->p.client_random, 0x11, 32);
    std::memset(c->p.server_random, 0x22, 32);
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
// and its output in another; killed if it is still running at the end.
struct Peer {
  pid_t pid = -1;
  std::string output_path;
  Peer(const std::string& command, const std::string& input_path, const std::string& output) : output_path(output) {
    pid = fork();
    if (pid == 0) {
      int in = open(input_path.c_str(), O_RDONLY);
      int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // The exit status, waiting at most `seconds`; -1 when it had to be killed.
  int finish(double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string output() const {
    std::ifstream file(output_path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  ~Peer() { finish(0); }
};

// A listening socket on a free loopback port.
struct Listener {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  Listener() {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd, 8), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { close(fd); }
};

// Connects to a loopback port, retrying while the peer starts; -1 if never.
inline int connect_loopback(int port, double seconds = 10) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(u16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

inline void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace VekTlsTest
