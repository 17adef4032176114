// Helpers shared by the database engine tests: a private temporary
// directory per test, file contents, a page cache budget and a limit on
// memory streams.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/VEKCursorProtected.h"
#include "base/VEKStream.h"
#include "base/VEKTree.h"

namespace VekBaseTest {

// Sets the page cache budget of every tree for one test.
struct PageCache {
  explicit PageCache(size_t bytes) { VekBase::VEKTree::pageCacheBytes = bytes; }
  ~PageCache() { VekBase::VEKTree::pageCacheBytes = VekBase::VEKTree::PAGE_CACHE_BYTES; }
};

// Sets the limit of all memory streams for one test (none afterwards).
struct MemoryLimit {
  explicit MemoryLimit(int64 bytes) { VekBase::VEKStreamMem::setLimit(bytes); }
  ~MemoryLimit() { VekBase::VEKStreamMem::setLimit(-1); }
};

// A fresh directory under /tmp, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vekbase-test-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;  // the directory
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void spit(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The keys of the level session id of base stands on, in order.
inline std::vector<std::string> keysOf(VekBase::VEKCursorProtected& base, int64 id) {
  std::vector<std::string> keys;
  for (bool more = base.goFirst(id); more; more = base.goNextKey(id)) keys.push_back(base.readString(id));
  return keys;
}

}  // namespace VekBaseTest
