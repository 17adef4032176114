// Paths of the cursor: packed string lists of keys from home (or from the
// root) to a symbol, following, creating and moving them, and the saved
// positions that protected bases keep for their readers.
#include "base/VEKCursor.h"
#include "base/VEKTree.h"
#include "kernel/CommonNames.h"

namespace VekBase {

namespace {

// True when a key of the list cannot be a key: empty or too long.
bool hasEmptyKey(const std::vector<std::string>& keys) {
  for (const std::string& key : keys)
    if (key.empty() || key.size() > VEKCursorBase::MAX_KEY) return true;
  return false;
}

}  // namespace

// Follows keys from home (or the root), creating missing ones when create
// is set. On success frames holds the owners of the last key's level and
// *lastId the last key's id. Nothing is created for a list with an empty key.
bool VEKCursorBase::enterPath(const std::vector<std::string>& keys, bool fromHome, bool create,
                              std::vector<Frame>* pathFrames, u64* lastId) {
  if (keys.empty() || hasEmptyKey(keys)) return false;
  pathFrames->clear();
  if (fromHome) pathFrames->push_back(Frame{VekNames::Home, base().home()});
  u64 level = fromHome ? base().home() : 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    u64 id = 0;
    if (create) base().insert(level, keys[i], &id);
    else if (!base().find(level, keys[i], &id)) return false;
    if (i + 1 == keys.size()) {
      *lastId = id;
      return true;
    }
    pathFrames->push_back(Frame{keys[i], id});
    level = id;
  }
  return false;
}

std::string VEKCursorBase::getStringList(bool fromHome) {
  size_t start = 0;
  if (fromHome) {
    if (frames.empty() || frames[0].id != base().home()) return std::string();
    start = 1;
  }
  std::vector<std::string> keys;
  for (size_t i = start; i < frames.size(); ++i) keys.push_back(frames[i].key);
  if (hasCurrent) keys.push_back(currentKey);
  return joinStringList(keys);
}

bool VEKCursorBase::findStringList(const std::string& list, bool fromHome) {
  std::vector<std::string> keys = splitStringList(list);
  std::vector<Frame> found;
  u64 id;
  if (!enterPath(keys, fromHome, false, &found, &id)) return false;
  frames = found;
  standOn(keys.back(), id);
  return true;
}

bool VEKCursorBase::setStringList(const std::string& list, bool fromHome) {
  std::vector<std::string> keys = splitStringList(list);
  std::vector<Frame> made;
  u64 id;
  if (!enterPath(keys, fromHome, true, &made, &id)) return false;
  frames = made;
  standOn(keys.back(), id);
  return true;
}

std::string VEKCursorBase::readStringAtList(const std::string& list, bool fromHome) {
  std::vector<std::string> keys = splitStringList(list);
  std::vector<Frame> found;
  u64 id;
  return enterPath(keys, fromHome, false, &found, &id) ? keys.back() : std::string();
}

bool VEKCursorBase::existsStringList(const std::string& list, bool fromHome) {
  std::vector<Frame> found;
  u64 id;
  return enterPath(splitStringList(list), fromHome, false, &found, &id);
}

// Moves the symbol at path from (below home) with its sub-level to path to,
// creating to's missing owners. Refused when from is missing, to exists, or
// to lies inside from (the sub-tree would be cut off from the tree).
bool VEKCursorBase::moveStringList(const std::string& from, const std::string& to) {
  std::vector<std::string> source = splitStringList(from), target = splitStringList(to);
  std::vector<Frame> sourceFrames, targetFrames;
  u64 id, ownerId;
  if (target.empty() || hasEmptyKey(target) || !enterPath(source, true, false, &sourceFrames, &id)) return false;
  u64 level = base().home();
  for (size_t i = 0; i + 1 < target.size(); ++i) {
    if (!base().find(level, target[i], &level)) break;
    if (level == id) return false;
  }
  std::vector<std::string> owners(target.begin(), target.end() - 1);
  if (owners.empty()) {
    targetFrames.assign(1, Frame{VekNames::Home, base().home()});
  } else {
    if (!enterPath(owners, true, true, &targetFrames, &ownerId)) return false;
    targetFrames.push_back(Frame{owners.back(), ownerId});
  }
  u64 targetLevel = targetFrames.back().id;
  if (base().find(targetLevel, target.back(), nullptr)) return false;
  base().erase(sourceFrames.back().id, source.back());
  base().insert(targetLevel, target.back(), &id);
  frames = targetFrames;
  standOn(target.back(), id);
  return true;
}

VEKPosition VEKCursorBase::savePosition() {
  VEKPosition position;
  for (const Frame& frame : frames) position.levelPath.push_back(frame.key);
  position.hasCurrent = hasCurrent;
  position.key = currentKey;
  return position;
}

bool VEKCursorBase::restorePosition(const VEKPosition& position) {
  std::vector<Frame> found;
  u64 level = 0, id = 0;
  for (const std::string& key : position.levelPath) {
    if (!base().find(level, key, &level)) return false;
    found.push_back(Frame{key, level});
  }
  if (position.hasCurrent && !base().find(level, position.key, &id)) return false;
  frames = found;
  if (position.hasCurrent) standOn(position.key, id);
  else standEmpty();
  return true;
}

std::vector<std::string> VEKCursorBase::childKeys(u64 level) {
  std::vector<std::string> keys;
  for (VEKPos pos = base().lowerBound(level, std::string()); pos.valid() && base().parentAt(pos) == level;) {
    keys.push_back(base().at(pos).key);
    if (!base().next(pos)) break;
  }
  return keys;
}

}  // namespace VekBase
