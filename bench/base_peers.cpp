// Database engine beside two embedded peers on one workload: N distinct
// 16-byte random keys inserted in one transaction, the base closed,
// reopened and 1 000 000 random keys of it found. Each engine and phase
// runs in a child process, so the peak memory of a phase is that child's
// own (for the memory-mapped peer it includes the mapped file).
//   base_peers [keys]        (default 4 000 000; files go to $TMPDIR or /tmp)
#include <lmdb.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/VEKCursor.h"
#include "base/VEKStream.h"

using namespace VekBase;

namespace {

constexpr size_t kKeyBytes = 16;
constexpr int kFinds = 1000000;

// The keys of the workload back to back, the same in every process.
struct Keys {
  std::string bytes;  // kKeyBytes per key
  size_t size() const { return bytes.size() / kKeyBytes; }
  const char* operator[](size_t i) const { return bytes.data() + i * kKeyBytes; }
};

Keys makeKeys(size_t count) {
  std::mt19937_64 random(20261207);
  Keys keys;
  keys.bytes.resize(count * kKeyBytes);
  for (size_t i = 0; i < keys.bytes.size(); i += 8) {
    u64 bits = random();
    std::memcpy(&keys.bytes[i], &bits, 8);
  }
  return keys;
}

// Indexes of the keys to find, in random order.
std::vector<size_t> findOrder(size_t count) {
  std::mt19937_64 random(7);
  std::vector<size_t> order(kFinds);
  for (size_t& index : order) index = random() % count;
  return order;
}

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

// One engine: build the base from keys, then find the keys named by order
// in a freshly opened base; find returns how many were found.
struct Engine {
  const char* name;
  std::function<void(const std::string&, const Keys&)> build;
  std::function<size_t(const std::string&, const Keys&, const std::vector<size_t>&)> find;
  std::function<std::string(const std::string&)> file;  // the file whose size is reported
};

Engine thisEngine() {
  Engine engine;
  engine.name = "this engine";
  engine.build = [](const std::string& path, const Keys& keys) {
    VEKCursorBase cursor(path.c_str(), VEK_STREAM_FILE);
    for (size_t i = 0; i < keys.size(); ++i) check(cursor.putSymbolData(keys[i], kKeyBytes, 0), "put");
    cursor.close();
  };
  engine.find = [](const std::string& path, const Keys& keys, const std::vector<size_t>& order) {
    VEKCursorBase cursor(path.c_str(), VEK_STREAM_FILE);
    size_t found = 0;
    std::string key;
    for (size_t index : order) found += cursor.existsSymbol(key.assign(keys[index], kKeyBytes));
    return found;
  };
  engine.file = [](const std::string& path) { return path; };
  return engine;
}

Engine sqliteEngine() {
  Engine engine;
  engine.name = "SQLite";
  engine.build = [](const std::string& path, const Keys& keys) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
    check(sqlite3_exec(db, "CREATE TABLE t(k BLOB PRIMARY KEY) WITHOUT ROWID; BEGIN", nullptr, nullptr, nullptr) ==
              SQLITE_OK, "sqlite create");
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?)", -1, &insert, nullptr) == SQLITE_OK, "sqlite prepare");
    for (size_t i = 0; i < keys.size(); ++i) {
      sqlite3_bind_blob(insert, 1, keys[i], static_cast<int>(kKeyBytes), SQLITE_STATIC);
      check(sqlite3_step(insert) == SQLITE_DONE, "sqlite insert");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK, "sqlite commit");
    sqlite3_close(db);
  };
  engine.find = [](const std::string& path, const Keys& keys, const std::vector<size_t>& order) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
    sqlite3_stmt* select = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT 1 FROM t WHERE k=?", -1, &select, nullptr) == SQLITE_OK, "sqlite prepare");
    size_t found = 0;
    for (size_t index : order) {
      sqlite3_bind_blob(select, 1, keys[index], static_cast<int>(kKeyBytes), SQLITE_STATIC);
      found += sqlite3_step(select) == SQLITE_ROW;
      sqlite3_reset(select);
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return found;
  };
  engine.file = [](const std::string& path) { return path; };
  return engine;
}

MDB_env* openLmdb(const std::string& path, unsigned flags) {
  MDB_env* env = nullptr;
  check(mdb_env_create(&env) == 0, "lmdb create");
  mdb_env_set_mapsize(env, size_t(8) << 30);
  mkdir(path.c_str(), 0755);
  check(mdb_env_open(env, path.c_str(), flags, 0644) == 0, "lmdb open");
  return env;
}

Engine lmdbEngine() {
  Engine engine;
  engine.name = "LMDB";
  engine.build = [](const std::string& path, const Keys& keys) {
    MDB_env* env = openLmdb(path, 0);
    MDB_txn* txn = nullptr;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, 0, &txn) == 0 && mdb_dbi_open(txn, nullptr, 0, &dbi) == 0, "lmdb txn");
    for (size_t i = 0; i < keys.size(); ++i) {
      MDB_val k{kKeyBytes, const_cast<char*>(keys[i])}, v{0, nullptr};
      check(mdb_put(txn, dbi, &k, &v, 0) == 0, "lmdb put");
    }
    check(mdb_txn_commit(txn) == 0, "lmdb commit");
    mdb_env_close(env);
  };
  engine.find = [](const std::string& path, const Keys& keys, const std::vector<size_t>& order) {
    MDB_env* env = openLmdb(path, MDB_RDONLY);
    MDB_txn* txn = nullptr;
    MDB_dbi dbi;
    check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0 && mdb_dbi_open(txn, nullptr, 0, &dbi) == 0, "lmdb txn");
    size_t found = 0;
    for (size_t index : order) {
      MDB_val k{kKeyBytes, const_cast<char*>(keys[index])}, v;
      found += mdb_get(txn, dbi, &k, &v) == 0;
    }
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return found;
  };
  engine.file = [](const std::string& path) { return path + "/data.mdb"; };
  return engine;
}

// Runs work in a child; its seconds (wall clock, inside the child) and
// peak resident memory in MiB. The key table the parent made is shared
// copy-on-write, so the child's peak counts only its first touch of it:
// the baseline is measured the same way with no work.
struct Run {
  double seconds;
  double peakMiB;
};

Run inChild(const std::function<void()>& work) {
  int ends[2];
  check(pipe(ends) == 0, "pipe");
  pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    auto start = std::chrono::steady_clock::now();
    try {
      work();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "failed: %s\n", error.what());
      _exit(1);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (write(ends[1], &seconds, sizeof seconds) != sizeof seconds) _exit(2);
    _exit(0);
  }
  close(ends[1]);
  Run run{0, 0};
  if (read(ends[0], &run.seconds, sizeof run.seconds) != sizeof run.seconds) run.seconds = -1;
  close(ends[0]);
  int status = 0;
  struct rusage usage;
  wait4(child, &status, 0, &usage);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "child failed");
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

double fileMiB(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? static_cast<double>(status.st_size) / (1 << 20) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4000000;
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp ? tmp : "/tmp") + "/vek-peers-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr, "mkdtemp");
  Keys keys = makeKeys(count);
  std::vector<size_t> order = findOrder(count);
  // What a child holds before any engine runs: the shared tables it touches.
  Run idle = inChild([&] {
    size_t sum = 0;
    for (size_t i = 0; i < keys.size(); ++i) sum += static_cast<u8>(keys[i][0]);
    for (size_t index : order) sum += index;
    if (sum == 1) std::printf(" ");
  });
  std::printf("%zu keys of %zu random bytes, %d finds; memory beyond the key tables (%.0f MiB)\n", count, kKeyBytes,
              kFinds, idle.peakMiB);
  std::printf("%-12s %12s %14s %12s %14s %10s\n", "engine", "inserts/s", "insert peak", "finds/s", "find peak",
              "file");
  for (const Engine& engine : {thisEngine(), sqliteEngine(), lmdbEngine()}) {
    std::string path = pattern + "/" + engine.name[0] + std::string("base");
    Run built = inChild([&] { engine.build(path, keys); });
    size_t found = 0;
    Run searched = inChild([&] {
      found = engine.find(path, keys, order);
      check(found == order.size(), "a key was not found");
    });
    std::printf("%-12s %10.0f k %10.0f MiB %10.0f k %10.0f MiB %6.0f MiB\n", engine.name,
                static_cast<double>(count) / built.seconds / 1000, built.peakMiB - idle.peakMiB,
                kFinds / searched.seconds / 1000, searched.peakMiB - idle.peakMiB, fileMiB(engine.file(path)));
    std::fflush(stdout);
  }
  std::system(("rm -rf '" + pattern + "'").c_str());
  return 0;
}
