// The openssl command line as a test peer: keys and certificates are made at
// test time in a scratch directory, and results are checked against it.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "asn1.h"
#include "huge.h"
#include "kernel/VekTypes.h"
#include "test_bytes.h"

namespace VekTlsTest {

// A scratch directory removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vek_tls_XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) std::system(("rm -rf " + path_).c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command in `dir`; its standard output, or "<failed>" when it
// exits with a non-zero status.
inline std::string run(const ScratchDir& dir, const std::string& command) {
  std::string full = "cd " + dir.file("") + " && ( " + command + " ) 2>/dev/null";
  FILE* pipe = popen(full.c_str(), "r");
  if (!pipe) return "<failed>";
  std::string output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  int status = pclose(pipe);
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

// The INTEGER children of the DER SEQUENCE in `der` as hex, in order
// (DSA and EC private key files, DER signatures).
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

// Loads hex into a huge (the caller frees it).
inline VekTls::huge huge_from_hex(const std::string& hex) {
  VekTls::huge number{};
  std::vector<u8> bytes = from_hex(hex.size() % 2 ? "0" + hex : hex);
  VekTls::huge_load_bytes(&number, bytes.data(), bytes.size());
  return number;
}

// One DER element: tag, definite length, contents.
inline std::vector<u8> der(u8 tag, const std::vector<u8>& contents) {
  std::vector<u8> element = {tag};
  size_t length = contents.size();
  if (length < 0x80) {
    element.push_back(u8(length));
  } else {
    std::vector<u8> bytes;
    for (; length; length >>= 8) bytes.insert(bytes.begin(), u8(length));
    element.push_back(u8(0x80 | bytes.size()));
    element.insert(element.end(), bytes.begin(), bytes.end());
  }
  element.insert(element.end(), contents.begin(), contents.end());
  return element;
}

inline std::vector<u8> concat(std::initializer_list<std::vector<u8>> parts) {
  std::vector<u8> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// r and s as a DER SEQUENCE of two INTEGERs, the form openssl signs in.
inline std::vector<u8> der_signature(const VekTls::huge& r, const VekTls::huge& s) {
  auto integer = [](const VekTls::huge& value) {
    std::vector<u8> bytes(value.rep, value.rep + value.size);
    if (bytes[0] & 0x80) bytes.insert(bytes.begin(), 0);
    return der(0x02, bytes);
  };
  return der(0x30, concat({integer(r), integer(s)}));
}

}  // namespace VekTlsTest
