// Tests of the cursor over memory and file bases: key order, a large level
// checked against a std::map, sub-levels, moves, counts and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <random>
#include <stdexcept>

#include "BaseTestUtil.h"
#include "base/VEKCursor.h"
#include "base/VEKStream.h"

using namespace VekBase;
using VekBaseTest::TempDir;

namespace {

std::vector<std::string> levelKeys(VEKCursorBase& cursor) {
  std::vector<std::string> keys;
  for (bool more = cursor.goFirst(); more; more = cursor.goNextKey()) keys.push_back(cursor.readString());
  return keys;
}

std::string randomKey(std::mt19937& random) {
  std::string key(1 + random() % 24, '\0');
  for (char& c : key) c = static_cast<char>(random() % 6 == 0 ? (random() % 2 ? 0 : 0xFF) : random());
  return key;
}

// Random inserts and deletes in the cursor's level, mirrored in a map.
void fillAgainstModel(VEKCursorBase& cursor, std::map<std::string, int>& model, int count, unsigned seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < count; ++i) {
    std::string key = randomKey(random);
    if (random() % 4 == 0 && cursor.findSymbol(key)) {
      EXPECT_TRUE(cursor.deleteSymbol());
      model.erase(key);
    } else {
      EXPECT_TRUE(cursor.putSymbol(key));
      EXPECT_EQ(cursor.readString(), key);
      model[key] = 1;
    }
  }
}

void expectSameAsModel(VEKCursorBase& cursor, const std::map<std::string, int>& model) {
  std::vector<std::string> expected;
  for (const auto& entry : model) expected.push_back(entry.first);
  EXPECT_EQ(levelKeys(cursor), expected);
  EXPECT_EQ(cursor.getSymbolCount(), static_cast<int64>(model.size()));
  std::vector<std::string> backwards;
  for (bool more = cursor.goLast(); more; more = cursor.goPrevKey(1)) backwards.push_back(cursor.readString());
  EXPECT_EQ(backwards, std::vector<std::string>(expected.rbegin(), expected.rend()));
  for (const std::string& key : expected) ASSERT_TRUE(cursor.existsSymbol(key));
}

}  // namespace

TEST(VEKCursor, KeyOrderIsUnsignedBytewiseWithPrefixesFirst) {
  VEKCursorBase cursor("memory_order", VEK_STREAM_MEMORY);
  for (const char* key : {"b", "ab", "a", "abc", "\xff", "B", "a\x01"}) EXPECT_TRUE(cursor.putSymbol(key));
  EXPECT_TRUE(cursor.putSymbolData("a\0b", 3, 0));
  EXPECT_FALSE(cursor.putSymbol(""));
  std::vector<std::string> expected = {"B", "a", std::string("a\0b", 3), "a\x01", "ab", "abc", "b", "\xff"};
  EXPECT_EQ(levelKeys(cursor), expected);
  EXPECT_TRUE(cursor.putSymbol("ab"));  // found, not duplicated
  EXPECT_EQ(cursor.getSymbolCount(), 8);
  VEKStreamFile::removeFile("memory_order");
}

// Keys that differ only around the 8th and 16th byte, in trailing zero
// bytes or far behind a long common start, in enough numbers to fill many
// pages: they must keep byte order, in memory and after a reopen.
TEST(VEKCursor, KeysAlikeInTheirFirstBytesKeepByteOrder) {
  TempDir dir;
  std::string name = dir.file("alike.vek");
  std::set<std::string> expected;
  std::string stems[] = {"", std::string(7, 'a'), std::string(8, 'a'), std::string(15, '\0'), std::string(16, 'b'),
                         std::string(16, '\xff'), std::string(40, 'c')};
  for (const std::string& stem : stems)
    for (int i = 0; i < 400; ++i) {
      std::string key = stem + std::string(1 + i % 3, static_cast<char>(i % 2 ? 0 : i)) + std::to_string(i);
      expected.insert(key);
      expected.insert(key.substr(0, key.size() - 1) + std::string(i % 4, '\0'));
    }
  expected.erase("");
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (auto key = expected.rbegin(); key != expected.rend(); ++key) ASSERT_TRUE(cursor.putSymbol(*key));
    EXPECT_EQ(levelKeys(cursor), std::vector<std::string>(expected.begin(), expected.end()));
  }
  VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
  EXPECT_EQ(levelKeys(cursor), std::vector<std::string>(expected.begin(), expected.end()));
  for (const std::string& key : expected) ASSERT_TRUE(cursor.findSymbol(key)) << key.size();
  for (std::string absent : {std::string(16, 'b') + std::string(40, '\0'), std::string(8, 'a') + "\x01"}) {
    ASSERT_EQ(expected.count(absent), 0u);
    EXPECT_FALSE(cursor.findSymbol(absent));
  }
}

TEST(VEKCursor, HundredThousandRandomKeysInAFileSurviveReopening) {
  TempDir dir;
  std::string name = dir.file("keys.vek");
  std::map<std::string, int> model;
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    fillAgainstModel(cursor, model, 60000, 2);
  }
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    expectSameAsModel(cursor, model);
    fillAgainstModel(cursor, model, 40000, 3);  // reuses freed pages
  }
  VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
  expectSameAsModel(cursor, model);
}

// A budget of a few nodes: pages leave the cache and come back all the
// time, changed ones written long before the flush, in files and in
// memory, with keys that need overflow pages among them.
TEST(VEKCursor, ATinyPageCacheKeepsEveryKey) {
  VekBaseTest::PageCache tiny(32 << 10);
  TempDir dir;
  for (u32 kind : {VEK_STREAM_FILE, VEK_STREAM_MEMORY}) {
    std::string name = kind == VEK_STREAM_FILE ? dir.file("tiny.vek") : "memory_tiny";
    std::map<std::string, int> model;
    {
      VEKCursorBase cursor(name.c_str(), kind);
      fillAgainstModel(cursor, model, 15000, 5);
      for (int i = 0; i < 100; ++i) {
        std::string key = std::string(300 + i * 37, 'L') + std::to_string(i);
        ASSERT_TRUE(cursor.putSymbol(key));
        model[key] = 1;
      }
      expectSameAsModel(cursor, model);
    }
    VEKCursorBase cursor(name.c_str(), kind);
    expectSameAsModel(cursor, model);
    fillAgainstModel(cursor, model, 5000, 6);
    expectSameAsModel(cursor, model);
    VEKStreamFile::removeFile(name);
  }
}

// Keys arriving in order leave full pages behind (a split at the end of a
// leaf keeps the left one full), so their base is far smaller than the
// same keys inserted at random, which fill pages about two thirds.
TEST(VEKCursor, KeysInOrderFillTheirPages) {
  TempDir dir;
  std::vector<std::string> keys;
  for (int i = 0; i < 30000; ++i) keys.push_back("key" + std::to_string(1000000 + i * 7));
  auto sizeOf = [&dir](const std::string& name, const std::vector<std::string>& order) {
    VEKCursorBase cursor(dir.file(name).c_str(), VEK_STREAM_FILE);
    for (const std::string& key : order) cursor.putSymbol(key);
    cursor.close();
    return VekBaseTest::slurp(dir.file(name)).size();
  };
  size_t inOrder = sizeOf("ordered.vek", keys);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
  size_t shuffled = sizeOf("shuffled.vek", keys);
  EXPECT_LT(inOrder * 10, shuffled * 8) << inOrder << " bytes in order, " << shuffled << " at random";
}

// Keys of 1 to 700 bytes, so that separators in inner pages are long and
// have overflow pages of their own, inserted and deleted against a model
// across reopenings: splits, merges of emptied leaves and freed chains.
TEST(VEKCursor, LongAndShortKeysMixedAgainstAModel) {
  TempDir dir;
  std::string name = dir.file("mixed.vek");
  std::set<std::string> model;
  std::mt19937 random(11);
  auto makeKey = [&random]() {
    std::string key(1 + random() % 700, 'k');
    for (size_t i = 0; i < key.size(); i += 1 + random() % 64) key[i] = static_cast<char>(random() % 4);
    return key;
  };
  for (int round = 0; round < 3; ++round) {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    ASSERT_EQ(levelKeys(cursor), std::vector<std::string>(model.begin(), model.end()));
    for (int i = 0; i < 3000; ++i) {
      if (random() % 3 == 0 && !model.empty()) {
        auto victim = model.begin();
        std::advance(victim, random() % model.size());
        ASSERT_TRUE(cursor.findSymbol(*victim));
        ASSERT_TRUE(cursor.deleteSymbol());
        model.erase(victim);
      } else {
        std::string key = makeKey();
        ASSERT_TRUE(cursor.putSymbol(key));
        model.insert(key);
      }
    }
  }
  VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
  EXPECT_EQ(levelKeys(cursor), std::vector<std::string>(model.begin(), model.end()));
  for (const std::string& key : model) {
    cursor.findSymbol(key);
    cursor.deleteSymbol();
  }
  EXPECT_FALSE(cursor.goFirst());
}

TEST(VEKCursor, SubLevelsSeveralDeep) {
  VEKCursorBase cursor("memory_deep", VEK_STREAM_MEMORY);
  cursor.putSymbol("top");
  for (int depth = 0; depth < 6; ++depth) {
    EXPECT_TRUE(cursor.goChild());
    EXPECT_FALSE(cursor.goFirst());  // empty sub-level: empty position
    EXPECT_EQ(cursor.readString(), "");
    cursor.putSymbol("z" + std::to_string(depth));
    cursor.putSymbol("a" + std::to_string(depth));
  }
  EXPECT_EQ(cursor.getStringList(true), joinStringList({"top", "a0", "a1", "a2", "a3", "a4", "a5"}));
  for (int depth = 5; depth >= 0; --depth) EXPECT_TRUE(cursor.goParent());
  EXPECT_EQ(cursor.readString(), "top");
  EXPECT_FALSE(cursor.goParent());  // never above home
  EXPECT_EQ(cursor.getChildCount(), 2);
  EXPECT_TRUE(cursor.deleteSymbol());
  EXPECT_EQ(cursor.getSymbolCount(), 0);
  EXPECT_TRUE(cursor.putSymbol("top"));
  EXPECT_EQ(cursor.getChildCount(), 0);  // the old sub-tree went with it
  VEKStreamFile::removeFile("memory_deep");
}

TEST(VEKCursor, ReplaceKeepsTheSubLevel) {
  VEKCursorBase cursor("memory_replace", VEK_STREAM_MEMORY);
  cursor.putSymbol("old");
  cursor.goChild();
  cursor.putSymbol("child");
  cursor.goParent();
  cursor.putSymbol("other");
  cursor.findSymbol("old");
  EXPECT_FALSE(cursor.replaceSymbol("other"));  // would duplicate
  EXPECT_TRUE(cursor.replaceSymbol("new"));
  EXPECT_EQ(cursor.readString(), "new");
  EXPECT_FALSE(cursor.existsSymbol("old"));
  EXPECT_TRUE(cursor.goChild());
  EXPECT_EQ(cursor.readString(), "child");
  VEKStreamFile::removeFile("memory_replace");
}

TEST(VEKCursor, SearchCodesAndNeighbourFinds) {
  VEKCursorBase cursor("memory_search", VEK_STREAM_MEMORY);
  EXPECT_EQ(cursor.searchSymbol("x"), 2);
  EXPECT_FALSE(cursor.goFirst());
  for (const char* key : {"b", "d", "f"}) cursor.putSymbol(key);
  EXPECT_EQ(cursor.searchSymbol("d"), 0);
  EXPECT_EQ(cursor.readString(), "d");
  EXPECT_EQ(cursor.searchSymbol("c"), 1);
  EXPECT_EQ(cursor.readString(), "d");
  EXPECT_EQ(cursor.searchSymbol("g"), -1);
  EXPECT_EQ(cursor.readString(), "f");
  EXPECT_TRUE(cursor.findSymbolOrNext("a"));
  EXPECT_EQ(cursor.readString(), "b");
  EXPECT_FALSE(cursor.findSymbolOrNext("fa"));
  EXPECT_EQ(cursor.readString(), "b");  // unchanged
  EXPECT_TRUE(cursor.findSymbolOrPrev("e"));
  EXPECT_EQ(cursor.readString(), "d");
  EXPECT_FALSE(cursor.findSymbolOrPrev("a"));
  EXPECT_FALSE(cursor.findSymbol("zz"));
  EXPECT_EQ(cursor.readString(), "d");
  cursor.goLast();
  EXPECT_FALSE(cursor.goNextKey());
  EXPECT_EQ(cursor.readString(), "f");
  VEKStreamFile::removeFile("memory_search");
}

TEST(VEKCursor, PreOrderWalkStaysBelowHome) {
  VEKCursorBase cursor("memory_walk", VEK_STREAM_MEMORY);
  cursor.setStringList(joinStringList({"a", "a1", "a11"}), true);
  cursor.setStringList(joinStringList({"a", "a2"}), true);
  cursor.setStringList(joinStringList({"b"}), true);
  cursor.goHome();
  std::vector<std::string> forward{cursor.readString()};
  while (cursor.goNx()) forward.push_back(cursor.readString());
  EXPECT_EQ(forward, (std::vector<std::string>{"a", "a1", "a11", "a2", "b"}));
  std::vector<std::string> backward{cursor.readString()};
  while (cursor.goPr()) backward.push_back(cursor.readString());
  EXPECT_EQ(backward, (std::vector<std::string>{"b", "a2", "a11", "a1", "a"}));
  EXPECT_TRUE(cursor.goDn());
  EXPECT_EQ(cursor.readString(), "a1");
  EXPECT_TRUE(cursor.goUp());
  EXPECT_FALSE(cursor.goUp());
  VEKStreamFile::removeFile("memory_walk");
}

TEST(VEKCursor, PermissionsOfTheCheckingCursor) {
  VEKCursor cursor("memory_locks", VEK_STREAM_MEMORY);
  cursor.putSymbol("k");
  cursor.lockWrite();
  try {
    cursor.putSymbol("x");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Error: VEK Base write denied.");
  }
  EXPECT_TRUE(cursor.findSymbol("k"));
  cursor.unlockWrite();
  cursor.lockRead();
  try {
    cursor.goFirst();
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Error: VEK Base read denied.");
  }
  cursor.unlockRead();
  EXPECT_TRUE(cursor.putSymbol("x"));
  VEKStreamFile::removeFile("memory_locks");
}

// A file that is no base (text, a stub shorter than a header, a version
// field that does not match its checksum) or a base of another format
// version (the first format left the field 0) is refused with a text that
// says which, and left untouched.
TEST(VEKCursor, AFileThatIsNotABaseOfThisFormatIsRefused) {
  TempDir dir;
  std::string name = dir.file("old.vek");
  { VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE); }
  std::string base = VekBaseTest::slurp(name);
  auto withVersion = [&base](const char* version) { return std::string(base).replace(44, 8, version, 8); };
  struct Case {
    std::string bytes;
    std::string expected;
  } cases[] = {
      {std::string(10000, 'x'), ""},
      {"short", ""},
      {withVersion("\0\0\0\0\0\0\0\0"), " (written in format version 1, this program reads version 2 only)"},
      {withVersion("\3\0\0\0\x0b\x30\x1a\x7c"), ""},  // checksum of another header
  };
  for (const Case& test : cases) {
    VekBaseTest::spit(name, test.bytes);
    try {
      VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
      ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "Can't open the VEKBase file: " + name + test.expected);
    }
    EXPECT_EQ(VekBaseTest::slurp(name), test.bytes);
  }
}

// Every page after the header overwritten with garbage: operations throw
// instead of following the garbage.
TEST(VEKCursor, DamagedPagesRaiseErrors) {
  TempDir dir;
  std::string name = dir.file("damaged.vek");
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (int i = 0; i < 5000; ++i) cursor.putSymbol("key" + std::to_string(i));
  }
  std::string bytes = VekBaseTest::slurp(name);
  std::mt19937 random(5);
  for (size_t i = 4096; i < bytes.size(); ++i)
    if (random() % 3 == 0) bytes[i] = static_cast<char>(random());
  VekBaseTest::spit(name, bytes);
  bool threw = false;
  try {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (int i = 0; i < 5000; ++i) cursor.findSymbol("key" + std::to_string(i));
    while (cursor.goNextKey()) {
    }
  } catch (const std::runtime_error&) {
    threw = true;
  }
  EXPECT_TRUE(threw);
}

// A leaf whose link back points at a page of greater keys: walking back
// strictly raises "#5 Ptr=<page>", a plain walk back just stops there.
TEST(VEKCursor, ADamagedLinkStopsOrRaisesTheStrictWalkBack) {
  TempDir dir;
  std::string name = dir.file("links.vek");
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (int i = 0; i < 3000; ++i) cursor.putSymbol("key" + std::to_string(10000 + i));
  }
  std::string bytes = VekBaseTest::slurp(name);
  auto field = [&bytes](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8 |
                                 static_cast<unsigned char>(bytes[at + 2]) << 16 | static_cast<unsigned char>(bytes[at + 3]) << 24);
  };
  size_t damagedPage = 0;
  for (size_t page = 1; (page + 1) * 4096 <= bytes.size() && !damagedPage; ++page) {
    size_t at = page * 4096;
    if (bytes[at] == 1 && field(at + 4) != 0 && field(at + 8) != 0) {  // a leaf with both links
      bytes.replace(at + 8, 4, bytes.substr(at + 4, 4));             // back link := forward link
      damagedPage = field(at + 4);
    }
  }
  ASSERT_NE(damagedPage, 0u);
  VekBaseTest::spit(name, bytes);
  VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
  int steps = 0;
  for (bool more = cursor.goLast(); more; more = cursor.goPrevKey(0)) ++steps;
  EXPECT_GT(steps, 0);
  EXPECT_LT(steps, 3000);
  cursor.goLast();
  try {
    while (cursor.goPrevKey(1)) {
    }
    ADD_FAILURE() << "the strict walk back passed the damaged link";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "#5 Ptr=" + std::to_string(damagedPage));
  }
}

// Every inner page's children but the first rewritten to its last one, so one leaf has many
// parents: emptying and freeing it through one parent must not leave the
// others pointing at freed memory; the descent reports the damage instead.
TEST(VEKCursor, ALeafSharedByDamagedParentsIsReportedNotFollowed) {
  TempDir dir;
  std::string name = dir.file("shared.vek");
  {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (int i = 0; i < 20000; ++i) cursor.putSymbol("key" + std::to_string(i));
  }
  std::string bytes = VekBaseTest::slurp(name);
  int innerPages = 0;
  for (size_t page = 4096; page + 4096 <= bytes.size(); page += 4096) {
    if (bytes[page] != 2) continue;  // inner pages only
    ++innerPages;
    size_t count = static_cast<unsigned char>(bytes[page + 2]) | static_cast<unsigned char>(bytes[page + 3]) << 8;
    std::vector<size_t> childAt(1, page + 12);
    for (size_t i = 0, pos = page + 16; i < count; ++i) {
      size_t length = static_cast<unsigned char>(bytes[pos + 16]) | static_cast<unsigned char>(bytes[pos + 17]) << 8;
      pos += 24 + std::min<size_t>(length, 256);
      childAt.push_back(pos);
      pos += 4;
    }
    // The first child keeps the path to the root level's keys; the others
    // all lead to the last child, whose keys can all be deleted.
    std::string lastChild = bytes.substr(childAt.back(), 4);
    for (size_t i = 1; i < childAt.size(); ++i) bytes.replace(childAt[i], 4, lastChild);
  }
  ASSERT_GT(innerPages, 0);
  VekBaseTest::spit(name, bytes);
  bool threw = false;
  try {
    VEKCursorBase cursor(name.c_str(), VEK_STREAM_FILE);
    for (int round = 0; round < 3; ++round)
      for (int i = 0; i < 20000; ++i)
        if (cursor.findSymbol("key" + std::to_string(i))) cursor.deleteSymbol();
    cursor.discard();
  } catch (const std::runtime_error&) {
    threw = true;
  }
  EXPECT_TRUE(threw);
}
