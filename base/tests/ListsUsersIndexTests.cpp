// Tests of packed string lists, paths, users and rights, and the word index.
#include <gtest/gtest.h>

#include "BaseTestUtil.h"
#include "base/VEKCursor.h"
#include "base/VEKStream.h"

using namespace VekBase;

TEST(StringList, PackAndUnpack) {
  EXPECT_EQ(packStringList("", "\\"), "");
  EXPECT_EQ(packStringList("ab\\c", "\\"), "00000002ab00000001c");
  EXPECT_EQ(packStringList("a\\\\b", "\\"), "00000001a0000000000000001b");
  EXPECT_EQ(packStringList("\xc3\xa9t\xc3\xa9", "/"), "00000003\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(unpackStringList("/", "00000002ab00000001c"), "ab/c");
  EXPECT_EQ(unpackStringList(", ", packStringList("x,y,,z", ",")), "x, y, , z");
  // Bytes that are not UTF-8 still come back as they went in.
  std::vector<std::string> odd = {"\x80\x81", "a\xff", "", std::string("\0x", 2)};
  EXPECT_EQ(splitStringList(joinStringList(odd)), odd);
  EXPECT_EQ(splitStringList("0000000Zab"), std::vector<std::string>());  // malformed
}

TEST(StringList, PathsFromHomeAndFromTheRoot) {
  VEKCursorBase cursor("memory_paths", VEK_STREAM_MEMORY);
  std::string path = joinStringList({"users", "ann", "mail"});
  EXPECT_FALSE(cursor.findStringList(path, true));
  EXPECT_TRUE(cursor.setStringList(path, true));
  EXPECT_EQ(cursor.readString(), "mail");
  EXPECT_EQ(cursor.getStringList(true), path);
  EXPECT_EQ(cursor.getStringList(false), joinStringList({"VEK", "users", "ann", "mail"}));
  cursor.goHome();
  EXPECT_TRUE(cursor.existsStringList(path, true));
  EXPECT_EQ(cursor.readString(), "users");  // exists does not move
  EXPECT_EQ(cursor.readStringAtList(path, true), "mail");
  EXPECT_TRUE(cursor.findStringList(joinStringList({"VEK", "users", "ann"}), false));
  EXPECT_EQ(cursor.readString(), "ann");
  EXPECT_FALSE(cursor.setStringList(joinStringList({"x", ""}), true));
  EXPECT_FALSE(cursor.existsStringList(joinStringList({"x"}), true));  // nothing half-made
  EXPECT_TRUE(cursor.findStringList(joinStringList({"DSQP"}), false));  // reserved root keys
  EXPECT_FALSE(cursor.findStringList(joinStringList({"DSQP"}), true));
  VEKStreamFile::removeFile("memory_paths");
}

TEST(StringList, MoveCarriesTheSubTree) {
  VEKCursorBase cursor("memory_move", VEK_STREAM_MEMORY);
  cursor.setStringList(joinStringList({"a", "b", "c"}), true);
  cursor.setStringList(joinStringList({"x"}), true);
  std::string from = joinStringList({"a", "b"});
  EXPECT_FALSE(cursor.moveStringList(from, joinStringList({"a", "b", "c", "d"})));  // into itself
  EXPECT_FALSE(cursor.moveStringList(from, joinStringList({"x"})));                // target exists
  EXPECT_FALSE(cursor.moveStringList(joinStringList({"nope"}), joinStringList({"y"})));
  EXPECT_TRUE(cursor.moveStringList(from, joinStringList({"x", "new", "b2"})));
  EXPECT_EQ(cursor.getStringList(true), joinStringList({"x", "new", "b2"}));
  EXPECT_FALSE(cursor.existsStringList(from, true));
  EXPECT_EQ(cursor.readStringAtList(joinStringList({"x", "new", "b2", "c"}), true), "c");
  VEKStreamFile::removeFile("memory_move");
}

TEST(Users, RightsAndPassPhrases) {
  VekBaseTest::TempDir dir;
  std::string name = dir.file("users.vek");
  {
    VEKCursor cursor(name.c_str(), VEK_STREAM_FILE);
    EXPECT_TRUE(cursor.login("anyone", "anything", "admin"));  // no users yet
    EXPECT_TRUE(cursor.addUser("ann", "secret", "read"));
    EXPECT_FALSE(cursor.addUser("ann", "other", "write"));
    EXPECT_FALSE(cursor.addUser("bob", "pw", "superuser"));
    EXPECT_TRUE(cursor.addUser("bob", "pw", "admin"));
  }
  EXPECT_EQ(VekBaseTest::slurp(name).find("secret"), std::string::npos);  // never in clear
  VEKCursor cursor(name.c_str(), VEK_STREAM_FILE);
  EXPECT_TRUE(cursor.login("ann", "secret", "read"));
  EXPECT_FALSE(cursor.login("ann", "secret", "write"));
  EXPECT_FALSE(cursor.login("ann", "wrong", "read"));
  EXPECT_FALSE(cursor.login("carl", "", "read"));
  EXPECT_TRUE(cursor.login("bob", "pw", "write"));
  EXPECT_TRUE(cursor.login("bob", "pw", "read"));
  EXPECT_FALSE(cursor.changePassword("ann", "wrong", "anna", "new"));
  EXPECT_FALSE(cursor.changePassword("ann", "secret", "bob", "new"));
  EXPECT_TRUE(cursor.changePassword("ann", "secret", "anna", "new"));
  EXPECT_FALSE(cursor.login("ann", "secret", "read"));
  EXPECT_TRUE(cursor.login("anna", "new", "read"));
  EXPECT_FALSE(cursor.login("anna", "new", "write"));  // the right stayed
  EXPECT_FALSE(cursor.deleteUser("bob", "nope"));
  EXPECT_TRUE(cursor.deleteUser("bob", "pw"));
  EXPECT_TRUE(cursor.deleteUser("anna", "new"));
  EXPECT_TRUE(cursor.login("", "", "write"));  // no users again
}

TEST(WordIndex, SearchFindsSymbolsHoldingEveryWord) {
  VEKCursorBase cursor("memory_index", VEK_STREAM_MEMORY);
  auto index = [&](std::vector<std::string> path, const std::string& text, const std::string& space) {
    cursor.setStringList(joinStringList(path), true);
    cursor.addToIndex(text, space);
  };
  index({"docs", "b"}, "The quick brown Fox", "en");
  index({"docs", "a"}, "a fox, QUICK as lightning", "en");
  index({"docs", "c"}, "quick fox", "de");
  index({"docs", "d"}, "slow brown fox", "en");
  auto search = [&](const std::string& query, const std::string& space, int64 limit) {
    std::vector<std::string> found;
    for (const std::string& packed : splitStringList(cursor.searchInIndex(query, space, limit)))
      found.push_back(unpackStringList("/", packed));
    return found;
  };
  EXPECT_EQ(search("quick FOX", "en", 100), (std::vector<std::string>{"docs/a", "docs/b"}));
  EXPECT_EQ(search("fox", "en", 2), (std::vector<std::string>{"docs/a", "docs/b"}));
  EXPECT_EQ(search("fox", "de", 100), (std::vector<std::string>{"docs/c"}));
  EXPECT_EQ(search("fox", "fr", 100), std::vector<std::string>());
  EXPECT_EQ(search("", "en", 100), std::vector<std::string>());
  cursor.findStringList(joinStringList({"docs", "a"}), true);
  cursor.removeFromIndex();
  EXPECT_EQ(search("quick fox", "en", 100), (std::vector<std::string>{"docs/b"}));
  cursor.findStringList(joinStringList({"docs", "b"}), true);
  cursor.deleteSymbol();  // a deleted symbol drops out of results
  EXPECT_EQ(search("fox", "en", 100), (std::vector<std::string>{"docs/d"}));
  VEKStreamFile::removeFile("memory_index");
}
