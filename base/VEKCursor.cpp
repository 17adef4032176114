// The permission-checking cursor: every read operation first checks the
// read permission, every write operation the write permission, and throws
// the base's permission message when it is off.
#include <stdexcept>

#include "base/VEKCursor.h"
#include "kernel/CommonNames.h"

namespace VekBase {

VEKCursor::VEKCursor(const char* fileName, u32 flags) : VEKCursorBase(fileName, flags) {}

void VEKCursor::checkRead() const {
  if (!readAllowed) throw std::runtime_error(VekNames::ReadDenied);
}

void VEKCursor::checkWrite() const {
  if (!writeAllowed) throw std::runtime_error(VekNames::WriteDenied);
}

// Writes.
bool VEKCursor::putSymbol(const std::string& key) { checkWrite(); return VEKCursorBase::putSymbol(key); }
bool VEKCursor::putSymbolData(const void* data, u64 size, u16 type) {
  checkWrite();
  return VEKCursorBase::putSymbolData(data, size, type);
}
bool VEKCursor::replaceSymbol(const std::string& key) { checkWrite(); return VEKCursorBase::replaceSymbol(key); }
bool VEKCursor::replaceSymbolData(const void* data, u64 size, u16 type) {
  checkWrite();
  return VEKCursorBase::replaceSymbolData(data, size, type);
}
bool VEKCursor::deleteSymbol() { checkWrite(); return VEKCursorBase::deleteSymbol(); }
bool VEKCursor::setStringList(const std::string& list, bool fromHome) {
  checkWrite();
  return VEKCursorBase::setStringList(list, fromHome);
}
bool VEKCursor::moveStringList(const std::string& from, const std::string& to) {
  checkWrite();
  return VEKCursorBase::moveStringList(from, to);
}
void VEKCursor::addToIndex(const std::string& text, const std::string& second) {
  checkWrite();
  VEKCursorBase::addToIndex(text, second);
}
void VEKCursor::removeFromIndex() { checkWrite(); VEKCursorBase::removeFromIndex(); }
bool VEKCursor::addUser(const std::string& user, const std::string& pass, const std::string& right) {
  checkWrite();
  return VEKCursorBase::addUser(user, pass, right);
}
bool VEKCursor::changePassword(const std::string& user, const std::string& pass, const std::string& newUser,
                               const std::string& newPass) {
  checkWrite();
  return VEKCursorBase::changePassword(user, pass, newUser, newPass);
}
bool VEKCursor::deleteUser(const std::string& user, const std::string& pass) {
  checkWrite();
  return VEKCursorBase::deleteUser(user, pass);
}

// Reads.
int64 VEKCursor::readData(void* buffer, u64 size) { checkRead(); return VEKCursorBase::readData(buffer, size); }
std::string VEKCursor::readString() { checkRead(); return VEKCursorBase::readString(); }
int64 VEKCursor::dataLength() { checkRead(); return VEKCursorBase::dataLength(); }
bool VEKCursor::findSymbol(const std::string& key) { checkRead(); return VEKCursorBase::findSymbol(key); }
bool VEKCursor::findSymbolOrNext(const std::string& key) { checkRead(); return VEKCursorBase::findSymbolOrNext(key); }
bool VEKCursor::findSymbolOrPrev(const std::string& key) { checkRead(); return VEKCursorBase::findSymbolOrPrev(key); }
bool VEKCursor::existsSymbol(const std::string& key) { checkRead(); return VEKCursorBase::existsSymbol(key); }
int VEKCursor::searchSymbol(const std::string& key) { checkRead(); return VEKCursorBase::searchSymbol(key); }
bool VEKCursor::goFirst() { checkRead(); return VEKCursorBase::goFirst(); }
bool VEKCursor::goLast() { checkRead(); return VEKCursorBase::goLast(); }
bool VEKCursor::goNextKey() { checkRead(); return VEKCursorBase::goNextKey(); }
bool VEKCursor::goPrevKey(u8 strict) { checkRead(); return VEKCursorBase::goPrevKey(strict); }
bool VEKCursor::goChild() { checkRead(); return VEKCursorBase::goChild(); }
bool VEKCursor::goParent() { checkRead(); return VEKCursorBase::goParent(); }
bool VEKCursor::goSubLevel() { checkRead(); return VEKCursorBase::goSubLevel(); }
bool VEKCursor::goPr() { checkRead(); return VEKCursorBase::goPr(); }
bool VEKCursor::goNx() { checkRead(); return VEKCursorBase::goNx(); }
bool VEKCursor::goUp() { checkRead(); return VEKCursorBase::goUp(); }
bool VEKCursor::goDn() { checkRead(); return VEKCursorBase::goDn(); }
int64 VEKCursor::getChildCount() { checkRead(); return VEKCursorBase::getChildCount(); }
int64 VEKCursor::getSymbolCount() { checkRead(); return VEKCursorBase::getSymbolCount(); }
std::string VEKCursor::getStringList(bool fromHome) { checkRead(); return VEKCursorBase::getStringList(fromHome); }
bool VEKCursor::findStringList(const std::string& list, bool fromHome) {
  checkRead();
  return VEKCursorBase::findStringList(list, fromHome);
}
std::string VEKCursor::readStringAtList(const std::string& list, bool fromHome) {
  checkRead();
  return VEKCursorBase::readStringAtList(list, fromHome);
}
bool VEKCursor::existsStringList(const std::string& list, bool fromHome) {
  checkRead();
  return VEKCursorBase::existsStringList(list, fromHome);
}
std::string VEKCursor::searchInIndex(const std::string& query, const std::string& second, int64 limit) {
  checkRead();
  return VEKCursorBase::searchInIndex(query, second, limit);
}

}  // namespace VekBase
