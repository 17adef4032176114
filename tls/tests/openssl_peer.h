// The openssl command line as a test peer: keys and certificates are made at
// test time in a scratch directory, and results are checked against it.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "asn1.h"
#include "huge.h"
#include "test_bytes.h"

namespace VekTlsTest {

// A scratch directory, removed with everything in it at the end.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char pattern[] = "/tmp/vek_tls_XXXXXX";
    path = mkdtemp(pattern) ? pattern : "/nonexistent";
  }
  ~ScratchDir() { std::system(("rm -rf " + path).c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// The standard output of a shell command run in `dir`, or "<failed>".
inline std::string run(const ScratchDir& dir, const std::string& command) {
  FILE* pipe = popen(("cd " + dir.path + " && ( " + command + " ) 2>/dev/null").c_str(), "r");
  std::string output;
  char buffer[4096];
  for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, got);
  int status = pipe ? pclose(pipe) : -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : "<failed>";
}

inline std::vector<u8> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::vector<u8>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Upper-case hex of a huge's magnitude without leading zero bytes.
inline std::string huge_hex(const VekTls::huge& number) {
  size_t skip = 0;
  while (skip + 1 < number.size && number.rep[skip] == 0) skip++;
  std::string hex = to_hex(number.rep + skip, number.size - skip);
  for (char& c : hex) c = char(std::toupper(c));
  return hex;
}

inline VekTls::huge huge_from_hex(const std::string& hex) {
  VekTls::huge number{};
  std::vector<u8> bytes = from_hex(hex.size() % 2 ? "0" + hex : hex);
  VekTls::huge_load_bytes(&number, bytes.data(), bytes.size());
  return number;
}

// The contents of the children of the DER SEQUENCE in `der` as hex (the
// numbers of DSA and EC key files and of DER signatures).
inline std::vector<std::string> sequence_integers(const std::vector<u8>& der) {
  std::vector<std::string> integers;
  VekTls::asn1_node top = {};
  if (VekTls::asn1_parse(der.data(), int(der.size()), &top) != 0) return integers;
  for (VekTls::asn1_node* child = top.children; child; child = child->next) {
    integers.push_back(to_hex(child->data, child->length));
  }
  VekTls::asn1_free(&top);
  return integers;
}

inline std::vector<u8> concat(std::initializer_list<std::vector<u8>> parts) {
  std::vector<u8> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// One DER element: tag, definite length (short form or two bytes), contents.
inline std::vector<u8> der(u8 tag, const std::vector<u8>& contents) {
  size_t n = contents.size();
  std::vector<u8> header = n < 0x80 ? std::vector<u8>{tag, u8(n)} : std::vector<u8>{tag, 0x82, u8(n >> 8), u8(n)};
  return concat({header, contents});
}

// r and s as a DER SEQUENCE of two INTEGERs, the form openssl signs in.
inline std::vector<u8> der_signature(const VekTls::huge& r, const VekTls::huge& s) {
  auto integer = [](const VekTls::huge& value) {
    return der(0x02, concat({std::vector<u8>(value.rep[0] & 0x80 ? 1 : 0, 0), {value.rep, value.rep + value.size}}));
  };
  return der(0x30, concat({integer(r), integer(s)}));
}

}  // namespace VekTlsTest
