// The cursor over one base: opening or creating the base, the symbols of the
// current level (put, replace, delete, read), finding keys and moving
// between keys and levels. Paths, users and the word index are in
// VEKCursorPaths.cpp, VEKCursorUsers.cpp and VEKCursorIndex.cpp.
#include <fcntl.h>

#include <cstring>
#include <stdexcept>

#include "base/VEKCursor.h"
#include "base/VEKJournal.h"
#include "base/VEKTree.h"
#include "kernel/CommonNames.h"

namespace VekBase {

namespace {

// The reserved keys of the root level, in the order a new base gets them.
const char* const kAccess = "access";

}  // namespace

int removeBaseFile(const std::string& path, u32 mode) {
  if (mode == VEK_STREAM_MEMORY) return isBaseFile(VEKStreamMem(), path) ? VEKStreamMem::removeStored(path) : -1;
  return isBaseFile(VEKStreamFile(), path) ? VEKStreamFile::removeFile(path) : -1;
}

bool holdsBaseFile(const std::string& path) { return isBaseFile(VEKStreamFile(), path); }

VEKCursorBase::VEKCursorBase(const char* fileName, u32 flags) : baseName(fileName), streamFlags(flags) {
  open(fileName);
}

VEKCursorBase::~VEKCursorBase() {
  try {
    close();
  } catch (const std::exception&) {
    // A destructor cannot report; the base keeps what was written before.
  }
}

void VEKCursorBase::open(const char* fileName) {
  close();
  baseName = fileName;
  if (streamFlags == VEK_STREAM_MEMORY) baseStream.reset(new VEKStreamMem());
  else baseStream.reset(new VEKStreamFile());
  try {
    // A file that its own journal names is this engine's, even when a
    // crash left no header at its start yet (the rollback below mends it).
    if (!isJournalFile(*baseStream, baseName + ".sw") && !mayHoldBase(*baseStream, baseName))
      throw std::runtime_error("Can't open the VEKBase file: " + baseName);
    baseStream->open(fileName, O_RDWR | O_CREAT, 0644);
    rollbackInterruptedFlush();
    tree.reset(new VEKTree(*baseStream));
    if (streamFlags != VEK_STREAM_MEMORY) tree->setSpillHook([this] { startOwnJournal(); });
    if (tree->formatted()) {
      for (const std::string& key : {VekNames::DSQP, VekNames::Home, VekNames::VEKPoints, std::string(kAccess),
                                     VekNames::index}) {
        u64 id = 0;
        tree->insert(0, key, &id);
        if (key == VekNames::Home) tree->setHome(id);
      }
      u64 dsqp = rootChild(VekNames::DSQP, true), value = 0;
      tree->insert(dsqp, std::string(8, '\0'), &value);
      flush();
    } else if (!tree->find(0, VekNames::Home, nullptr)) {
      throw std::runtime_error("Can't open the VEKBase file: " + baseName);
    }
  } catch (const std::exception& error) {
    tree.reset();
    baseStream.reset();
    std::string text = error.what();
    if (text.rfind("Can't open the VEKBase file", 0) == 0) throw;
    throw std::runtime_error("Can't open the VEKBase file: " + baseName);
  }
  goHome();
}

void VEKCursorBase::close() {
  if (!baseStream) return;
  frames.clear();
  standEmpty();
  try {
    flush();
  } catch (const std::exception&) {
    discard();  // the cursor is closed either way
    throw;
  }
  tree.reset();
  baseStream->close();
  baseStream.reset();
}

// Drops pending changes; changes the tree already wrote under this
// cursor's own journal are rolled back with it (when that fails, the
// journal stays and the next open rolls it back).
void VEKCursorBase::discard() {
  if (!baseStream) return;
  tree.reset();
  frames.clear();
  standEmpty();
  if (ownJournal) {
    ownJournal = false;
    baseStream->EndSaveWrite();
    try {
      rollbackInterruptedFlush();
    } catch (const std::exception&) {
    }
  }
  baseStream->close();
  baseStream.reset();
}

// A file base that no protected writer journals journals its changes
// itself (".sw" beside it), from the first write of changed pages (at the
// flush, or earlier when the tree's page cache overflows) until the flush
// has made the base durable; the journal is durable before the first page
// is overwritten.
void VEKCursorBase::startOwnJournal() {
  if (baseStream->journal()) return;  // a protected writer's journal, or ours
  baseStream->StartSaveWrite(baseName + ".sw");
  ownJournal = true;
  baseStream->journal()->sync();
}

bool VEKCursorBase::created() const { return tree && tree->formatted(); }

const VEKBaseStamp& VEKCursorBase::stamp() const {
  static const VEKBaseStamp none;
  return tree ? tree->stamp() : none;
}

void VEKCursorBase::setStamp(const VEKBaseStamp& stamp) {
  if (tree) tree->setStamp(stamp);
}

// Writes pending changes. Under the own journal a crash leaves the base as
// it was before the first write or after this flush, and opening the base
// rolls a left-over journal back.
void VEKCursorBase::flush() {
  if (!tree || (!tree->pending() && !ownJournal)) return;
  if (streamFlags == VEK_STREAM_MEMORY || (baseStream->journal() && !ownJournal)) {
    tree->flush();
    return;
  }
  std::string journal = baseName + ".sw";
  startOwnJournal();
  tree->flush();
  baseStream->sync();
  baseStream->EndSaveWrite();
  ownJournal = false;
  if (baseStream->remove(journal.c_str()) != 0) throw std::runtime_error("Can not delete file: " + journal);
  baseStream->syncDirectory(journal);
}

// Rolls back a flush that a crash interrupted (see flush).
void VEKCursorBase::rollbackInterruptedFlush() {
  std::string journal = baseName + ".sw";
  if (streamFlags == VEK_STREAM_MEMORY || baseStream->access(journal.c_str(), 0) != 0) return;
  if (!mayHoldJournal(*baseStream, journal)) throw std::runtime_error("Can't open the VEKBase file: " + journal);
  VEKJournalImage image = readJournal(*baseStream, journal);
  if (image.valid) {
    rollbackJournal(*baseStream, image);
    baseStream->sync();
  }
  if (baseStream->remove(journal.c_str()) != 0) throw std::runtime_error("Can not delete file: " + journal);
  baseStream->syncDirectory(journal);
}

VEKTree& VEKCursorBase::base() {
  if (!tree) throw std::runtime_error("VEK Base is not open: " + baseName);
  return *tree;
}

u64 VEKCursorBase::levelId() const { return frames.empty() ? 0 : frames.back().id; }

bool VEKCursorBase::atHomeLevel() const { return frames.size() == 1 && frames[0].id == tree->home(); }

void VEKCursorBase::standOn(std::string_view key, u64 id) {
  hasCurrent = true;
  currentKey.assign(key.data(), key.size());
  currentId = id;
}

void VEKCursorBase::standEmpty() {
  hasCurrent = false;
  currentKey.clear();
  currentId = 0;
}

// The id of a reserved root key; when it is missing, 0 (or a new key when
// create is set). Read operations never create.
u64 VEKCursorBase::rootChild(const std::string& key, bool create) {
  u64 id = 0;
  if (create) base().insert(0, key, &id);
  else if (!base().find(0, key, &id)) return 0;
  return id;
}

void VEKCursorBase::goHome() {
  frames.assign(1, Frame{VekNames::Home, base().home()});
  std::string key;
  u64 id;
  if (firstOf(levelId(), &key, &id)) standOn(key, id);
  else standEmpty();
}

bool VEKCursorBase::itemOfLevel(const VEKPos& pos, u64 level, std::string* key, u64* id) {
  if (!pos.valid()) return false;
  VEKItem item = base().at(pos);
  if (item.parent != level) return false;
  *key = item.key;
  *id = item.id;
  return true;
}

bool VEKCursorBase::firstOf(u64 level, std::string* key, u64* id) {
  return itemOfLevel(base().lowerBound(level, std::string()), level, key, id);
}

bool VEKCursorBase::lastOf(u64 level, std::string* key, u64* id) {
  return itemOfLevel(base().lastBefore(level + 1, std::string()), level, key, id);
}

bool VEKCursorBase::nextAfter(u64 level, const std::string& key, std::string* nextKey, u64* id) {
  return itemOfLevel(base().upperBound(level, key), level, nextKey, id);
}

bool VEKCursorBase::prevBefore(u64 level, const std::string& key, std::string* prevKey, u64* id) {
  return itemOfLevel(base().lastBefore(level, key), level, prevKey, id);
}

bool VEKCursorBase::putSymbol(const std::string& key) {
  if (key.empty()) return false;
  return putSymbolData(key.data(), key.size(), 0);
}

bool VEKCursorBase::putSymbolData(const void* data, u64 size, u16 /*type*/) {
  if (size == 0 || size > MAX_KEY || data == nullptr) return false;
  std::string_view key(static_cast<const char*>(data), static_cast<size_t>(size));
  u64 id = 0;
  base().insert(levelId(), key, &id);
  standOn(key, id);
  return true;
}

bool VEKCursorBase::replaceSymbol(const std::string& key) { return replaceSymbolData(key.data(), key.size(), 0); }

// The symbol keeps its id, so its sub-level stays with it under the new key.
bool VEKCursorBase::replaceSymbolData(const void* data, u64 size, u16 /*type*/) {
  if (!hasCurrent || size == 0 || size > MAX_KEY || data == nullptr) return false;
  std::string key(static_cast<const char*>(data), static_cast<size_t>(size));
  if (key == currentKey) return true;
  if (base().find(levelId(), key, nullptr)) return false;
  u64 id = currentId;
  base().erase(levelId(), currentKey);
  base().insert(levelId(), key, &id);
  standOn(key, id);
  return true;
}

// Removes every symbol below id, level by level.
void VEKCursorBase::deleteSubtree(u64 id) {
  std::vector<u64> pending(1, id);
  while (!pending.empty()) {
    u64 level = pending.back();
    pending.pop_back();
    std::vector<std::string> keys;
    for (VEKPos pos = base().lowerBound(level, std::string()); pos.valid() && base().parentAt(pos) == level;) {
      VEKItem item = base().at(pos);
      keys.push_back(item.key);
      pending.push_back(item.id);
      if (!base().next(pos)) break;
    }
    for (const std::string& key : keys) base().erase(level, key);
  }
}

// Deletes the current symbol with its sub-level; the cursor moves to the
// next key, else the previous one, else to an empty position.
bool VEKCursorBase::deleteSymbol() {
  if (!hasCurrent) return false;
  u64 level = levelId();
  std::string key = currentKey, other;
  u64 otherId;
  deleteSubtree(currentId);
  base().erase(level, key);
  if (nextAfter(level, key, &other, &otherId) || prevBefore(level, key, &other, &otherId)) standOn(other, otherId);
  else standEmpty();
  return true;
}

int64 VEKCursorBase::readData(void* buffer, u64 size) {
  if (!hasCurrent || buffer == nullptr) return 0;
  size_t length = std::min<size_t>(static_cast<size_t>(size), currentKey.size());
  std::memcpy(buffer, currentKey.data(), length);
  return static_cast<int64>(length);
}

std::string VEKCursorBase::readString() { return hasCurrent ? currentKey : std::string(); }

int64 VEKCursorBase::dataLength() { return hasCurrent ? static_cast<int64>(currentKey.size()) : 0; }

bool VEKCursorBase::findSymbol(const std::string& key) {
  u64 id;
  if (key.empty() || !base().find(levelId(), key, &id)) return false;
  standOn(key, id);
  return true;
}

bool VEKCursorBase::existsSymbol(const std::string& key) {
  return !key.empty() && base().find(levelId(), key, nullptr);
}

bool VEKCursorBase::findSymbolOrNext(const std::string& key) {
  VEKPos pos = base().lowerBound(levelId(), key);
  if (!pos.valid()) return false;
  VEKItem item = base().at(pos);
  if (item.parent != levelId()) return false;
  standOn(item.key, item.id);
  return true;
}

bool VEKCursorBase::findSymbolOrPrev(const std::string& key) {
  std::string found;
  u64 id;
  if (findSymbol(key)) return true;
  if (!prevBefore(levelId(), key, &found, &id)) return false;
  standOn(found, id);
  return true;
}

// 0: found; 1: not found, on the next greater key; -1: no greater key, on
// the last key; 2: the level is empty.
int VEKCursorBase::searchSymbol(const std::string& key) {
  std::string found;
  u64 id;
  if (!firstOf(levelId(), &found, &id)) return 2;
  if (findSymbol(key)) return 0;
  if (findSymbolOrNext(key)) return 1;
  goLast();
  return -1;
}

bool VEKCursorBase::goFirst() {
  std::string key;
  u64 id;
  if (!firstOf(levelId(), &key, &id)) return false;
  standOn(key, id);
  return true;
}

bool VEKCursorBase::goLast() {
  std::string key;
  u64 id;
  if (!lastOf(levelId(), &key, &id)) return false;
  standOn(key, id);
  return true;
}

bool VEKCursorBase::goNextKey() {
  std::string key;
  u64 id;
  if (!hasCurrent || !nextAfter(levelId(), currentKey, &key, &id)) return false;
  standOn(key, id);
  return true;
}

bool VEKCursorBase::goPrevKey(u8 strict) {
  std::string key;
  u64 id;
  try {
    if (!hasCurrent || !prevBefore(levelId(), currentKey, &key, &id)) return false;
  } catch (const std::runtime_error&) {
    if (strict) throw;
    return false;
  }
  standOn(key, id);
  return true;
}

// Enters the current symbol's sub-level at its first key, or at an empty
// position when it has none.
bool VEKCursorBase::goChild() {
  if (!hasCurrent) return false;
  frames.push_back(Frame{currentKey, currentId});
  std::string key;
  u64 id;
  if (firstOf(levelId(), &key, &id)) standOn(key, id);
  else standEmpty();
  return true;
}

bool VEKCursorBase::goSubLevel() { return goChild(); }

bool VEKCursorBase::goParent() {
  if (frames.empty() || atHomeLevel()) return false;
  Frame owner = frames.back();
  frames.pop_back();
  standOn(owner.key, owner.id);
  return true;
}

bool VEKCursorBase::goUp() { return goParent(); }

bool VEKCursorBase::goDn() {
  std::string key;
  u64 id;
  if (!hasCurrent || !firstOf(currentId, &key, &id)) return false;
  frames.push_back(Frame{currentKey, currentId});
  standOn(key, id);
  return true;
}

// Next symbol of a depth-first pre-order walk that stays below the top
// level (home): the first child, else the next key here or of an owner.
bool VEKCursorBase::goNx() {
  if (goDn()) return true;
  std::vector<Frame> saved = frames;
  std::string key = currentKey, found;
  bool onKey = hasCurrent;
  u64 id;
  for (;;) {
    if (onKey && nextAfter(levelId(), key, &found, &id)) {
      standOn(found, id);
      return true;
    }
    if (frames.size() <= 1) {
      frames = saved;
      return false;
    }
    key = frames.back().key;
    onKey = true;
    frames.pop_back();
  }
}

// Previous symbol of the same walk: the last descendant of the previous
// key, else the owner of this level.
bool VEKCursorBase::goPr() {
  std::string key;
  u64 id;
  if (hasCurrent && prevBefore(levelId(), currentKey, &key, &id)) {
    standOn(key, id);
    while (lastOf(currentId, &key, &id)) {
      frames.push_back(Frame{currentKey, currentId});
      standOn(key, id);
    }
    return true;
  }
  if (frames.size() <= 1) return false;
  Frame owner = frames.back();
  frames.pop_back();
  standOn(owner.key, owner.id);
  return true;
}

int64 VEKCursorBase::getChildCount() { return hasCurrent ? countLevel(currentId) : 0; }

int64 VEKCursorBase::getSymbolCount() { return countLevel(levelId()); }

int64 VEKCursorBase::countLevel(u64 level) {
  int64 count = 0;
  for (VEKPos pos = base().lowerBound(level, std::string()); pos.valid() && base().parentAt(pos) == level; ++count)
    if (!base().next(pos)) return count + 1;
  return count;
}

void VEKCursorBase::lockWrite() { writeAllowed = false; }
void VEKCursorBase::unlockWrite() { writeAllowed = true; }
void VEKCursorBase::lockRead() { readAllowed = false; }
void VEKCursorBase::unlockRead() { readAllowed = true; }

}  // namespace VekBase
