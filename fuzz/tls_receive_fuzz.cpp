// Fuzz target: receive_tls_msg over a socket pair, in the client or the
// server role. The first byte picks the role (bit 0) and a suite id (the
// other bits; 0 = none) whose keys are derived from a fixed master secret
// into the pending states, so that a change cipher spec from the input
// switches decryption and MAC checks on. The rest is the byte stream the
// peer sends; records are read until one fails or the stream ends. The
// server role finds its private key ("key.der") in the scratch directory.
#include <fcntl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "FuzzSupport.h"
#include "tls/src/tls_internal.h"

using namespace VekTls;

namespace {

constexpr int MaxRecords = 64;

void drain(int fd)
{
    char scrap[65536];
    while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
}

void setUpPendingKeys(TLSParameters* parameters, u32 suite)
{
    std::memset(parameters->master_secret, 0x4D, MASTER_SECRET_LENGTH);
    std::memset(parameters->client_random, 0x43, RANDOM_LENGTH);
    std::memset(parameters->server_random, 0x53, RANDOM_LENGTH);
    parameters->pending_send.suite = parameters->pending_recv.suite = suite;
    calculate_keys(parameters);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    VekFuzz::enterScratchDirectory();
    std::ifstream key(VEK_FUZZ_DATA "/key.der", std::ios::binary);
    std::ofstream copy("key.der", std::ios::binary);
    copy << key.rdbuf();
    return key && copy ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    int bufferSize = 1 << 18;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    if (send(pair[1], data + 1, size - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(size - 1)) std::abort();
    shutdown(pair[1], SHUT_WR);

    TLSParameters parameters;
    reset_for_handshake(&parameters, data[0] & 1, false);
    if (data[0] >> 1) setUpPendingKeys(&parameters, data[0] >> 1);
    u8 buffer[1024];
    for (int i = 0; i < MaxRecords; ++i) {
        int result = receive_tls_msg(pair[0], buffer, sizeof buffer, &parameters);
        drain(pair[1]);
        if (result < 0) break;
        if (result > TLS_MAX_RECORD) std::abort();
    }
    tls_shutdown(pair[0], &parameters);
    close(pair[0]);
    close(pair[1]);
    clear_session_cache();
    return 0;
}
