// TLS benchmarks. As a Google Benchmark program: bulk transfer through
// tls_send/tls_recv (suite 0x002F) between two threads over a socket pair.
// With "--serve PORT" it is instead a small accept loop over tls_accept in
// the working directory (cert.der, key.der), answering each connection's
// handshake and closing it, for bench/tls_bench.sh to drive with
// `openssl s_time`.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tls.h"

using namespace VekTls;

namespace {

constexpr int BULK_BYTES = 100 * 1024 * 1024;  // a whole number of chunks
constexpr int CHUNK = 16384;

// Both ends of one connection with the same keys, as after a handshake.
void share_keys(TLSParameters* client, TLSParameters* server) {
  for (TLSParameters* p : {client, server}) {
    std::memset(p, 0, sizeof(*p));
    p->connection_end = p == client ? 0 : 1;
    for (int i = 0; i < MASTER_SECRET_LENGTH; i++) p->master_secret[i] = u8(i);
    p->pending_send.suite = p->pending_recv.suite = 0x2F;
    calculate_keys(p);
    p->active_send = p->pending_send;
    p->active_recv = p->pending_recv;
    std::memset(&p->pending_send, 0, sizeof(cipher_state));
    std::memset(&p->pending_recv, 0, sizeof(cipher_state));
  }
}

void BM_TlsBulk100MB(benchmark::State& state) {
  for (auto _ : state) {
    int fd[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fd);
    TLSParameters client, server;
    share_keys(&client, &server);
    std::thread sender([&] {
      std::vector<u8> data(CHUNK, 0x5a);
      for (int sent = 0; sent < BULK_BYTES; sent += CHUNK) tls_send(fd[0], data.data(), CHUNK, &client);
    });
    std::vector<u8> buffer(CHUNK);
    long long received = 0;
    while (received < BULK_BYTES) {
      int got = tls_recv(fd[1], buffer.data(), CHUNK, &server);
      if (got <= 0) break;
      received += got;
    }
    sender.join();
    tls_shutdown(-1, &client);
    tls_shutdown(-1, &server);
    close(fd[0]);
    close(fd[1]);
    if (received != BULK_BYTES) state.SkipWithError("transfer cut short");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * BULK_BYTES);
}
BENCHMARK(BM_TlsBulk100MB)->Unit(benchmark::kMillisecond)->UseRealTime();

int serve(int port) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u16(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 || listen(listener, 64) < 0) {
    perror("listen");
    return 1;
  }
  for (;;) {
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    TLSParameters parameters;
    if (tls_accept(connection, &parameters) == 0) {
      // s_time sends a GET; read it so the client sees the close in order.
      u8 request[1024];
      tls_recv(connection, request, sizeof(request), &parameters);
    }
    tls_shutdown(connection, &parameters);
    close(connection);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return serve(std::atoi(argv[2]));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
