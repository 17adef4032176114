// Tests of the file and memory streams and of the file-buffer cache.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "BaseTestUtil.h"
#include "base/VEKFileBuffers.h"
#include "base/VEKStream.h"

using namespace VekBase;
using VekBaseTest::TempDir;

namespace {

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

// Restores the cache settings a test changes.
struct CacheSettings {
  int64 items = VEKFileBuffers::bufferMaxItems, itemSize = VEKFileBuffers::bufferMaxItemSize,
        files = VEKFileBuffers::MaxItems;
  ~CacheSettings() {
    VEKFileBuffers::bufferMaxItems = items;
    VEKFileBuffers::bufferMaxItemSize = itemSize;
    VEKFileBuffers::MaxItems = files;
    vekFileBuffers.clear();
  }
  void set(int64 newItems, int64 newItemSize, int64 newFiles) {
    vekFileBuffers.clear();
    VEKFileBuffers::bufferMaxItems = newItems;
    VEKFileBuffers::bufferMaxItemSize = newItemSize;
    VEKFileBuffers::MaxItems = newFiles;
  }
};

// Random writes, reads, seeks and truncations through a stream, mirrored in
// a string; returns a trace of everything read.
std::string exercise(VEKStream& stream, unsigned seed) {
  std::mt19937 random(seed);
  std::string model, trace;
  for (int step = 0; step < 3000; ++step) {
    int64 offset = static_cast<int64>(random() % (model.size() + 50));
    int64 length = 1 + static_cast<int64>(random() % 300);
    switch (random() % 5) {
      case 0:
      case 1: {
        std::string bytes(static_cast<size_t>(length), '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        stream.seek(offset, SEEK_SET);
        stream.zwrite(bytes.data(), length);
        if (model.size() < static_cast<size_t>(offset + length)) model.resize(static_cast<size_t>(offset + length));
        model.replace(static_cast<size_t>(offset), static_cast<size_t>(length), bytes);
        break;
      }
      case 2:
      case 3: {
        std::string bytes(static_cast<size_t>(length), '\0');
        int64 got = stream.readAt(offset, &bytes[0], length);
        bytes.resize(static_cast<size_t>(got));
        EXPECT_EQ(bytes, offset < static_cast<int64>(model.size()) ? model.substr(offset, length) : "");
        trace += bytes;
        break;
      }
      default:
        if (random() % 10 == 0) {
          stream.truncate(offset);
          model.resize(static_cast<size_t>(offset));
        }
    }
    EXPECT_EQ(stream.size(), static_cast<int64>(model.size()));
  }
  return trace;
}

}  // namespace

TEST(VEKStreamFile, ExactErrorTexts) {
  TempDir dir;
  VEKStreamFile stream;
  std::string missing = dir.file("missing");
  EXPECT_EQ(errorOf([&] { stream.open(missing.c_str(), O_RDONLY, 0600); }), "Unable to open file: '" + missing + "' !");
  EXPECT_EQ(errorOf([&] { stream.zwrite("x", 1); }), "VEKStreamFile::zwrite - unable to perform operation!");
  char byte;
  EXPECT_EQ(stream.zread(&byte, 1), 0);  // not open: nothing read, no error

  stream.open(dir.file("f").c_str(), O_RDWR | O_CREAT, 0600);
  stream.zwrite("ab", 2);
  stream.seek(0, SEEK_SET);
  char two[2];
  EXPECT_EQ(stream.zread(two, 2), 2);
  EXPECT_TRUE(stream.eof());
  EXPECT_EQ(errorOf([&] { stream.zread(&byte, 1); }), "VEKStreamFile::zread - unable to perform operation!");
}

TEST(VEKStreamFile, RemoveFileDropsFileAndMemoryStore) {
  TempDir dir;
  std::string name = dir.file("gone");
  {
    VEKStreamFile file;
    file.open(name.c_str(), O_RDWR | O_CREAT, 0600);
    file.zwrite("data", 4);
  }
  EXPECT_EQ(VEKStreamFile::removeFile(name), 0);
  EXPECT_NE(VEKStreamFile::removeFile(name), 0);

  VEKStreamMem memory;
  memory.open("memory_removed", O_RDWR | O_CREAT, 0600);
  memory.zwrite("abc", 3);
  memory.close();
  EXPECT_EQ(VEKStreamFile::removeFile("memory_removed"), 0);
  EXPECT_THROW(memory.open("memory_removed", O_RDWR, 0600), std::runtime_error);
}

TEST(VEKStreamMem, StoreKeepsBytesUnderTheName) {
  {
    VEKStreamMem first;
    first.open("memory_store_test", O_RDWR | O_CREAT, 0600);
    first.zwrite("hello", 5);
  }
  VEKStreamMem second;
  second.open("memory_store_test", O_RDWR, 0600);
  char bytes[5];
  EXPECT_EQ(second.zread(bytes, 5), 5);
  EXPECT_EQ(std::string(bytes, 5), "hello");
  EXPECT_THROW(second.zread(bytes, 1), std::runtime_error);
  second.open("memory_store_test", O_RDWR | O_TRUNC, 0600);
  EXPECT_EQ(second.size(), 0);
  VEKStreamMem::removeStored("memory_store_test");
}

TEST(VEKStreamMem, BehavesLikeAFile) {
  VEKStreamMem memory;
  memory.open("memory_model", O_RDWR | O_CREAT, 0600);
  TempDir dir;
  VEKStreamFile file;
  file.open(dir.file("model").c_str(), O_RDWR | O_CREAT, 0600);
  EXPECT_EQ(exercise(memory, 7), exercise(file, 7));
  VEKStreamMem::removeStored("memory_model");
}

// Tiny caches (one item of 7 bytes, one pooled file) must read exactly what
// an uncached stream reads, also with two streams on one file.
TEST(VEKFileBuffers, TinyLimitsGiveTheSameResultsAsNoCache) {
  CacheSettings settings;
  TempDir dir;
  std::string uncached, cached;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 0) settings.set(0, 1024, 500);
    else settings.set(1, 7, 1);
    VEKStreamFile stream;
    stream.open(dir.file("cache" + std::to_string(pass)).c_str(), O_RDWR | O_CREAT, 0600);
    (pass == 0 ? uncached : cached) = exercise(stream, 11);
  }
  EXPECT_EQ(uncached, cached);
}

TEST(VEKFileBuffers, TwoStreamsOnOneFileSeeEachOthersWrites) {
  CacheSettings settings;
  settings.set(4, 16, 2);
  TempDir dir;
  std::string name = dir.file("shared");
  VEKStreamFile writer, reader;
  writer.open(name.c_str(), O_RDWR | O_CREAT, 0600);
  reader.open(name.c_str(), O_RDWR, 0600);
  std::string seen(10, '\0');
  for (int round = 0; round < 20; ++round) {
    std::string text = "round" + std::to_string(round * 997);
    reader.readAt(0, &seen[0], 10);  // caches the old bytes
    writer.seek(0, SEEK_SET);
    writer.zwrite(text.data(), static_cast<int64>(text.size()));
    seen.assign(text.size(), '\0');
    EXPECT_EQ(reader.readAt(0, &seen[0], static_cast<int64>(text.size())), static_cast<int64>(text.size()));
    EXPECT_EQ(seen, text);
  }
}

// A file rewritten behind the cache (by plain writes) must not be served
// from stale cached blocks, and a removed file's entry is never reused.
TEST(VEKFileBuffers, ChangesBehindTheCacheAreNoticed) {
  CacheSettings settings;
  settings.set(100, 64, 10);
  TempDir dir;
  std::string name = dir.file("behind");
  VekBaseTest::spit(name, "first version");
  std::string text(13, '\0');
  {
    VEKStreamFile stream;
    stream.open(name.c_str(), O_RDONLY, 0600);
    stream.zread(&text[0], 13);
  }
  VekBaseTest::spit(name, "second text!!");
  {
    VEKStreamFile stream;
    stream.open(name.c_str(), O_RDONLY, 0600);
    stream.zread(&text[0], 13);
    EXPECT_EQ(text, "second text!!");
  }
  VEKStreamFile holder;
  holder.open(name.c_str(), O_RDONLY, 0600);
  EXPECT_EQ(VEKStreamFile::removeFile(name), 0);
  VekBaseTest::spit(name, "third content");
  VEKStreamFile fresh;
  fresh.open(name.c_str(), O_RDONLY, 0600);
  fresh.zread(&text[0], 13);
  EXPECT_EQ(text, "third content");
  holder.zread(&text[0], 13);  // the old file's bytes, read directly
  EXPECT_EQ(text, "second text!!");
}

// Eviction drops the least recently used items: a block read again just
// before the cache fills survives, the oldest ones do not. What is cached
// shows through bytes changed behind the cache while a stream holds it.
TEST(VEKFileBuffers, EvictionDropsTheLeastRecentlyUsed) {
  CacheSettings settings;
  settings.set(4, 8, 10);
  VEKFileBuffers::bufferFlushDivider = 2.0f;  // drops 4 / 2 + 1 = 3 at once
  TempDir dir;
  std::string name = dir.file("recency");
  VekBaseTest::spit(name, std::string(48, 'o'));
  VEKStreamFile stream;
  stream.open(name.c_str(), O_RDONLY, 0600);
  char byte;
  for (int64 block : {0, 1, 2, 3, 0, 4}) stream.readAt(block * 8, &byte, 1);  // 0 is newest but one at the fill
  VekBaseTest::spit(name, std::string(48, 'n'));
  std::string seen;
  for (int64 block : {0, 4, 1, 2, 3}) seen += (stream.readAt(block * 8, &byte, 1), byte);
  VEKFileBuffers::bufferFlushDivider = 200.0f;
  EXPECT_EQ(seen, "oonnn");
}


// Every growth past the limit is refused with the stream unchanged, and
// every block is given back exactly by truncation, replacement and the
// stored stream's removal once its last holder closes it.
TEST(VEKStreamMem, HoldsNoMoreThanTheLimitAndGivesBlocksBack) {
  const int64 block = VEKStreamMem::Block, start = VEKStreamMem::held();
  VekBaseTest::MemoryLimit limit(start + 4 * block);
  VEKStreamMem memory, other;
  memory.open("memory_bounded", O_RDWR | O_CREAT, 0600);
  other.open("memory_bounded_other", O_RDWR | O_CREAT, 0600);
  const std::string big(static_cast<size_t>(2 * block), 'x');
  struct Step {
    const char* what;
    std::function<void()> action;
    bool refused;
    int64 size, held;  // of memory, and in blocks above start
  } steps[] = {
      {"small write", [&] { memory.zwrite("abc", 3); }, false, 3, 1},
      {"write within the limit", [&] { memory.zwrite(big.data(), 2 * block); }, false, 3 + 2 * block, 3},
      {"write past it", [&] { memory.zwrite(big.data(), 2 * block); }, true, 3 + 2 * block, 3},
      {"grow past it", [&] { memory.truncate(6 * block); }, true, 3 + 2 * block, 3},
      {"reserve past it", [&] { memory.reserve(6 * block); }, true, 3 + 2 * block, 3},
      {"reserve the last block", [&] { memory.reserve(4 * block); }, false, 3 + 2 * block, 4},
      {"another stream finds no room", [&] { other.zwrite("a", 1); }, true, 3 + 2 * block, 4},
      {"write into the reserve", [&] { memory.zwrite(big.data(), block - 3); }, false, 3 * block, 4},
      {"cut inside a block", [&] { memory.truncate(block + 1); }, false, block + 1, 2},
      {"another stream grows", [&] { other.zwrite(big.data(), block); }, false, block + 1, 3},
      {"replaced by a rename", [&] { memory.rename("memory_bounded_other", "memory_bounded"); }, false, block + 1, 3},
      {"its last holder closes", [&] { memory.close(); }, false, 0, 1},
      {"removed while open", [&] { VEKStreamMem::removeStored("memory_bounded"); }, false, 0, 1},
      {"closed after removal", [&] { other.close(); }, false, 0, 0},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(errorOf(step.action).empty(), !step.refused) << step.what;
    EXPECT_EQ(memory.size(), step.size) << step.what;
    EXPECT_EQ(VEKStreamMem::held() - start, step.held * block) << step.what;
  }
  // Bytes past a cut read as zeros when the stream grows again.
  memory.open("memory_bounded", O_RDWR | O_CREAT, 0600);
  memory.zwrite("abcdef", 6);
  memory.truncate(2);
  memory.truncate(6);
  char bytes[6];
  EXPECT_EQ(memory.readAt(0, bytes, 6), 6);
  EXPECT_EQ(std::string(bytes, 6), std::string("ab\0\0\0\0", 6));
  memory.close();
  VEKStreamMem::removeStored("memory_bounded");
  EXPECT_EQ(VEKStreamMem::held(), start);
}
