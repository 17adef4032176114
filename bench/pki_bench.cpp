// Public-key speed: X.509 parses of a 2048-bit RSA certificate, RSA-2048
// private decryption and public verification, ECDSA P-256 signing and
// verification. The key and certificate are made with the openssl command
// line when the program starts; compare with `openssl speed rsa2048 ecdsap256`.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "digest.h"
#include "ecc.h"
#include "kernel/VekAlloc.h"
#include "rsa.h"
#include "x509.h"

using namespace VekTls;

namespace {

struct rsa_material {
  std::vector<u8> certificate;  // DER
  std::vector<u8> private_key;  // PKCS#1 DER
};

std::vector<u8> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const rsa_material& material() {
  static rsa_material made = [] {
    char pattern[] = "/tmp/vek_pki_bench_XXXXXX";
    std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
    std::string command = "cd " + dir + " && (openssl genrsa -traditional -out k.pem 2048 && openssl rsa -in k.pem "
                          "-traditional -outform DER -out k.der && openssl req -x509 -new -key k.pem -sha256 -days 30 "
                          "-subj /CN=bench -outform DER -out c.der) >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "openssl could not make the key\n");
    rsa_material result{read_all(dir + "/c.der"), read_all(dir + "/k.der")};
    std::system(("rm -rf " + dir).c_str());
    return result;
  }();
  return made;
}

void BM_ParseCertificate2048(benchmark::State& state) {
  const std::vector<u8>& der = material().certificate;
  for (auto _ : state) {
    x509_certificate certificate;
    init_x509_certificate(&certificate);
    benchmark::DoNotOptimize(parse_x509_certificate(der.data(), int(der.size()), &certificate));
    free_x509_certificate(&certificate);
  }
}

// Runs `operation` on one RSA block under the private or the public key.
void run_rsa(benchmark::State& state, bool private_operation) {
  const std::vector<u8>& der = material().private_key;
  rsa_key private_key{};
  parse_private_key(&private_key, der.data(), int(der.size()));
  rsa_key public_key{static_cast<huge*>(vekCalloc(1, sizeof(huge))), static_cast<huge*>(vekCalloc(1, sizeof(huge)))};
  huge_copy(public_key.modulus, private_key.modulus);
  huge_set_uint(public_key.exponent, 65537);
  const u8 secret[48] = {3, 1};
  u8* block = nullptr;
  // A private operation opens an encrypted block; a public one a signature.
  int length = private_operation ? rsa_encrypt(secret, 48, &block, &public_key) : rsa_sign(secret, 36, &block, &private_key);
  for (auto _ : state) {
    u8* output = nullptr;
    benchmark::DoNotOptimize(rsa_decrypt(block, length, &output, private_operation ? &private_key : &public_key));
    vekFree(&output);
  }
  vekFree(&block);
  free_rsa_key(&private_key);
  free_rsa_key(&public_key);
}

void BM_Rsa2048PrivateDecrypt(benchmark::State& state) { run_rsa(state, true); }
void BM_Rsa2048PublicVerify(benchmark::State& state) { run_rsa(state, false); }

void run_ecdsa(benchmark::State& state, bool sign) {
  elliptic_curve curve{};
  get_named_curve("prime256v1", &curve);
  const u8 private_bytes[32] = {0x1c, 0x2b, 0x3a, 0x49, 0x58, 0x67, 0x76, 0x85, 0x94, 0xa3, 0xb2,
                                0xc1, 0xd0, 0xef, 0xfe, 0x0d, 0x1c, 0x2b, 0x3a, 0x49, 0x58, 0x67,
                                0x76, 0x85, 0x94, 0xa3, 0xb2, 0xc1, 0xd0, 0xef, 0xfe, 0x0d};
  huge d{};
  huge_load_bytes(&d, private_bytes, sizeof(private_bytes));
  ec_point Q{};
  huge_copy(&Q.x, &curve.G.x);
  huge_copy(&Q.y, &curve.G.y);
  multiply_point(&Q, &d, &curve.a, &curve.p);
  digest_ctx hash;
  new_sha256_digest(&hash);
  update_digest(&hash, private_bytes, 5);
  finalize_digest(&hash);
  dsa_signature signature{};
  ecdsa_sign(&curve, &d, hash.hash, hash.hash_len, &signature);
  for (auto _ : state) {
    if (sign) {
      dsa_signature fresh{};
      ecdsa_sign(&curve, &d, hash.hash, hash.hash_len, &fresh);
      huge_free(&fresh.r);
      huge_free(&fresh.s);
    } else {
      benchmark::DoNotOptimize(ecdsa_verify(&curve, &Q, hash.hash, hash.hash_len, &signature));
    }
  }
  for (huge* number : {&d, &Q.x, &Q.y, &signature.r, &signature.s}) huge_free(number);
  free_elliptic_curve(&curve);
}

void BM_EcdsaP256Sign(benchmark::State& state) { run_ecdsa(state, true); }
void BM_EcdsaP256Verify(benchmark::State& state) { run_ecdsa(state, false); }

}  // namespace

BENCHMARK(BM_ParseCertificate2048);
BENCHMARK(BM_Rsa2048PrivateDecrypt);
BENCHMARK(BM_Rsa2048PublicVerify);
BENCHMARK(BM_EcdsaP256Sign);
BENCHMARK(BM_EcdsaP256Verify);

BENCHMARK_MAIN();
