// Helpers shared by the database engine tests: a private temporary
// directory per test, file contents, a page cache budget and a limit on
// memory streams.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>
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

// The keys a new reader of the file base at name sees, opened afresh (as
// after a restart); empty with the failure when it does not open.
inline std::vector<std::string> keysAfterRestart(const std::string& name, std::string* failure = nullptr) {
  VekBase::VEKCursorProtected base(name + "1", name + "2", VekBase::VEK_STREAM_FILE);
  if (failure) *failure = base.failure();
  if (!base.hasCursors()) return {};
  int64 reader = base.openReadProcess("", "");
  std::vector<std::string> keys = keysOf(base, reader);
  base.closeProcess(reader);
  return keys;
}

// Commits count keys prefix000, prefix001, ... into the file base at name.
inline std::vector<std::string> commitKeys(const std::string& name, const std::string& prefix, int count) {
  VekBase::VEKCursorProtected base(name + "1", name + "2", VekBase::VEK_STREAM_FILE);
  int64 writer = base.openWriteProcess("", "");
  std::vector<std::string> keys;
  for (int i = 0; i < count; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "%s%03d", prefix.c_str(), i);
    base.putSymbol(writer, key);
    keys.push_back(key);
  }
  base.closeProcess(writer);
  return keys;
}

inline struct stat statusOf(const std::string& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status;
}

}  // namespace VekBaseTest
