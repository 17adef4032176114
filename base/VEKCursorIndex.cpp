// The word index, kept under the root's "index" element:
//   index / "word" / "n:"+namespace / word / symbol id   (word -> symbols)
//   index / "pointer" / symbol id / "n:"+namespace / word (symbol -> words)
//   index / "path" / symbol id / packed path from home    (where it was)
// Symbol ids are 8 bytes, big-endian, so they sort as numbers. A search
// keeps only symbols still found at their recorded path with the same id,
// so deleted or moved symbols drop out of results.
#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>

#include "base/VEKCursor.h"
#include "base/VEKTree.h"
#include "kernel/CommonNames.h"

namespace VekBase {

namespace {

std::string symbolKey(u64 id) {
  std::string key(8, '\0');
  for (int i = 0; i < 8; ++i) key[static_cast<size_t>(i)] = static_cast<char>(id >> (56 - 8 * i));
  return key;
}

u64 symbolId(const std::string& key) {
  u64 id = 0;
  for (char byte : key) id = (id << 8) | static_cast<unsigned char>(byte);
  return id;
}

std::string namespaceKey(const std::string& second) {
  return "n:" + second.substr(0, static_cast<size_t>(VEKCursorBase::MAX_KEY) - 2);
}

bool isWordByte(unsigned char byte) { return byte >= 0x80 || (byte < 0x80 && std::isalnum(byte)); }

// Runs of letters and digits (bytes of 128 and above count as letters, so
// UTF-8 words stay whole), ASCII letters folded to lower case.
std::set<std::string> wordsOf(const std::string& text) {
  std::set<std::string> words;
  std::string word;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (isWordByte(byte)) {
      word.push_back(static_cast<char>(byte < 0x80 ? std::tolower(byte) : byte));
    } else if (!word.empty()) {
      words.insert(word);
      word.clear();
    }
  }
  if (!word.empty()) words.insert(word);
  return words;
}

}  // namespace

// The id of a branch of the index; 0 when it is missing and create is off.
u64 VEKCursorBase::indexBranch(const std::string& branch, bool create) {
  u64 index = rootChild(VekNames::index, create), id = 0;
  if (index == 0) return 0;
  if (create) base().insert(index, branch, &id);
  else if (!base().find(index, branch, &id)) return 0;
  return id;
}

void VEKCursorBase::addToIndex(const std::string& text, const std::string& second) {
  std::string path = getStringList(true);
  if (!hasCurrent || path.empty() || path.size() > MAX_KEY) return;
  std::string symbol = symbolKey(currentId);
  u64 wordLevel = 0, symbolLevel = 0, pointerLevel = 0, pathLevel = 0, unused = 0;
  base().insert(indexBranch(VekNames::word, true), namespaceKey(second), &wordLevel);
  base().insert(indexBranch(VekNames::pointer, true), symbol, &symbolLevel);
  base().insert(symbolLevel, namespaceKey(second), &pointerLevel);
  for (const std::string& word : wordsOf(text)) {
    if (word.size() > MAX_KEY) continue;
    u64 wordId = 0, child = 0;
    base().insert(wordLevel, word, &wordId);
    base().insert(wordId, symbol, &child);
    child = 0;
    base().insert(pointerLevel, word, &child);
  }
  base().insert(indexBranch(VekNames::path, true), symbol, &pathLevel);
  deleteSubtree(pathLevel);
  base().insert(pathLevel, path, &unused);
}

void VEKCursorBase::removeFromIndex() {
  if (!hasCurrent) return;
  std::string symbol = symbolKey(currentId);
  u64 pointers = indexBranch(VekNames::pointer, true), words = indexBranch(VekNames::word, true),
      paths = indexBranch(VekNames::path, true);
  u64 own;
  if (base().find(pointers, symbol, &own)) {
    for (const std::string& space : childKeys(own)) {
      u64 spaceId, wordSpace, wordId;
      if (!base().find(own, space, &spaceId) || !base().find(words, space, &wordSpace)) continue;
      for (const std::string& word : childKeys(spaceId)) {
        if (!base().find(wordSpace, word, &wordId)) continue;
        base().erase(wordId, symbol);
        if (countLevel(wordId) == 0) base().erase(wordSpace, word);
      }
    }
    deleteSubtree(own);
    base().erase(pointers, symbol);
  }
  if (base().find(paths, symbol, &own)) {
    deleteSubtree(own);
    base().erase(paths, symbol);
  }
}

// The packed list of the packed paths of symbols that hold every word of
// query in namespace second, in key order of the paths, at most limit.
std::string VEKCursorBase::searchInIndex(const std::string& query, const std::string& second, int64 limit) {
  std::set<std::string> words = wordsOf(query);
  u64 wordSpace, wordId, pathLevel;
  if (words.empty() || limit <= 0 || !base().find(indexBranch(VekNames::word, false), namespaceKey(second), &wordSpace))
    return std::string();
  std::vector<std::string> matches;
  bool first = true;
  for (const std::string& word : words) {
    if (!base().find(wordSpace, word, &wordId)) return std::string();
    std::vector<std::string> holders = childKeys(wordId);
    if (first) matches = holders;
    else {
      std::vector<std::string> both;
      std::set_intersection(matches.begin(), matches.end(), holders.begin(), holders.end(), std::back_inserter(both));
      matches.swap(both);
    }
    first = false;
  }
  std::vector<std::vector<std::string>> paths;
  u64 pathsBranch = indexBranch(VekNames::path, false);
  for (const std::string& symbol : matches) {
    std::vector<std::string> recorded;
    if (base().find(pathsBranch, symbol, &pathLevel)) recorded = childKeys(pathLevel);
    if (recorded.empty()) continue;
    std::vector<std::string> keys = splitStringList(recorded[0]);
    std::vector<Frame> found;
    u64 id;
    if (enterPath(keys, true, false, &found, &id) && id == symbolId(symbol)) paths.push_back(keys);
  }
  std::sort(paths.begin(), paths.end());
  if (static_cast<int64>(paths.size()) > limit) paths.resize(static_cast<size_t>(limit));
  std::vector<std::string> items;
  for (const auto& keys : paths) items.push_back(joinStringList(keys));
  return joinStringList(items);
}

}  // namespace VekBase
