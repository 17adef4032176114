// The protected base's commands: each runs one cursor operation for a
// session id, the write cursor for the writer, the read cursor moved to a
// reader's saved place for a reader (see VEKCursorProtected.h).
#include <stdexcept>

#include "base/VEKCursorProtected.h"
#include "base/VEKProcessPool.h"

namespace VekBase {

// The cursor a read command of id uses, the read cursor moved to the
// reader's saved place; null for an id that is no live session, and for a
// reader whose place is gone (*lost set).
VEKCursor* VEKCursorProtected::cursorFor(int64 id, bool* lost) {
  if (isWriter(id)) return writeCursor.get();
  if (!readCursor || !readers.count(id) || !VEKProcessPool::readPool()->isLive(id)) return nullptr;
  if (currentReader == id) return readCursor.get();
  if (currentReader >= 0 && readers.count(currentReader)) readers[currentReader] = readCursor->savePosition();
  currentReader = -1;
  if (!readCursor->restorePosition(readers[id])) {
    *lost = true;
    return nullptr;
  }
  currentReader = id;
  return readCursor.get();
}

template <typename Result>
Result VEKCursorProtected::writeCommand(int64 id, Result none, const std::function<Result(VEKCursor&)>& command) {
  if (!isWriter(id) || !writeCursor) return none;
  try {
    return command(*writeCursor);
  } catch (const std::exception&) {
    breakBase();
    throw;
  }
}

template <typename Result>
Result VEKCursorProtected::readCommand(int64 id, Result none, const std::function<Result(VEKCursor&)>& command) {
  bool lost = false;
  try {
    VEKCursor* cursor = cursorFor(id, &lost);
    if (cursor) return command(*cursor);
  } catch (const std::exception&) {
    breakBase();
    throw;
  }
  if (lost) throw std::runtime_error("VEKCursorProtected::readCommand - Unaccessible path!");
  return none;
}

// Write commands.

bool VEKCursorProtected::putSymbol(int64 id, const std::string& key) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.putSymbol(key); });
}
bool VEKCursorProtected::replaceSymbol(int64 id, const std::string& key) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.replaceSymbol(key); });
}
bool VEKCursorProtected::deleteSymbol(int64 id) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.deleteSymbol(); });
}
bool VEKCursorProtected::setStringList(int64 id, const std::string& list, bool fromHome) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.setStringList(list, fromHome); });
}
bool VEKCursorProtected::moveStringList(int64 id, const std::string& from, const std::string& to) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.moveStringList(from, to); });
}
void VEKCursorProtected::lockWrite(int64 id) {
  writeCommand<bool>(id, false, [](VEKCursor& c) { c.lockWrite(); return true; });
}
void VEKCursorProtected::unlockWrite(int64 id) {
  writeCommand<bool>(id, false, [](VEKCursor& c) { c.unlockWrite(); return true; });
}
void VEKCursorProtected::lockRead(int64 id) {
  writeCommand<bool>(id, false, [](VEKCursor& c) { c.lockRead(); return true; });
}
void VEKCursorProtected::unlockRead(int64 id) {
  writeCommand<bool>(id, false, [](VEKCursor& c) { c.unlockRead(); return true; });
}
void VEKCursorProtected::removeFromIndex(int64 id) {
  writeCommand<bool>(id, false, [](VEKCursor& c) { c.removeFromIndex(); return true; });
}
void VEKCursorProtected::addToIndex(int64 id, const std::string& text, const std::string& second) {
  writeCommand<bool>(id, false, [&](VEKCursor& c) { c.addToIndex(text, second); return true; });
}
bool VEKCursorProtected::addUser(int64 id, const std::string& user, const std::string& pass, const std::string& right) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.addUser(user, pass, right); });
}
bool VEKCursorProtected::changePassword(int64 id, const std::string& user, const std::string& pass,
                                        const std::string& newUser, const std::string& newPass) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.changePassword(user, pass, newUser, newPass); });
}
bool VEKCursorProtected::deleteUser(int64 id, const std::string& user, const std::string& pass) {
  return writeCommand<bool>(id, false, [&](VEKCursor& c) { return c.deleteUser(user, pass); });
}

// Read commands.

std::string VEKCursorProtected::readString(int64 id) {
  return readCommand<std::string>(id, std::string(), [](VEKCursor& c) { return c.readString(); });
}
bool VEKCursorProtected::findSymbol(int64 id, const std::string& key) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.findSymbol(key); });
}
int64 VEKCursorProtected::dataLength(int64 id) {
  return readCommand<int64>(id, 0, [](VEKCursor& c) { return c.dataLength(); });
}
bool VEKCursorProtected::goChild(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goChild(); });
}
bool VEKCursorProtected::goParent(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goParent(); });
}
bool VEKCursorProtected::goFirst(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goFirst(); });
}
bool VEKCursorProtected::goLast(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goLast(); });
}
bool VEKCursorProtected::goNextKey(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goNextKey(); });
}
bool VEKCursorProtected::goPrevKey(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goPrevKey(0); });
}
int VEKCursorProtected::searchSymbol(int64 id, const std::string& key) {
  return readCommand<int>(id, 0, [&](VEKCursor& c) { return c.searchSymbol(key); });
}
bool VEKCursorProtected::findSymbolOrNext(int64 id, const std::string& key) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.findSymbolOrNext(key); });
}
bool VEKCursorProtected::findSymbolOrPrev(int64 id, const std::string& key) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.findSymbolOrPrev(key); });
}
std::string VEKCursorProtected::getStringList(int64 id, bool fromHome) {
  return readCommand<std::string>(id, std::string(), [&](VEKCursor& c) { return c.getStringList(fromHome); });
}
bool VEKCursorProtected::findStringList(int64 id, const std::string& list, bool fromHome) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.findStringList(list, fromHome); });
}
bool VEKCursorProtected::goPr(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goPr(); });
}
bool VEKCursorProtected::goNx(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goNx(); });
}
bool VEKCursorProtected::goUp(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goUp(); });
}
bool VEKCursorProtected::goDn(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goDn(); });
}
std::string VEKCursorProtected::readStringAtList(int64 id, const std::string& list, bool fromHome) {
  return readCommand<std::string>(id, std::string(),
                                  [&](VEKCursor& c) { return c.readStringAtList(list, fromHome); });
}
bool VEKCursorProtected::existsSymbol(int64 id, const std::string& key) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.existsSymbol(key); });
}
bool VEKCursorProtected::existsStringList(int64 id, const std::string& list, bool fromHome) {
  return readCommand<bool>(id, false, [&](VEKCursor& c) { return c.existsStringList(list, fromHome); });
}
std::string VEKCursorProtected::searchInIndex(int64 id, const std::string& query, const std::string& second,
                                              int64 limit) {
  return readCommand<std::string>(id, std::string(),
                                  [&](VEKCursor& c) { return c.searchInIndex(query, second, limit); });
}
int64 VEKCursorProtected::getChildCount(int64 id) {
  return readCommand<int64>(id, 0, [](VEKCursor& c) { return c.getChildCount(); });
}
int64 VEKCursorProtected::getSymbolCount(int64 id) {
  return readCommand<int64>(id, 0, [](VEKCursor& c) { return c.getSymbolCount(); });
}
bool VEKCursorProtected::goSubLevel(int64 id) {
  return readCommand<bool>(id, false, [](VEKCursor& c) { return c.goSubLevel(); });
}

}  // namespace VekBase
