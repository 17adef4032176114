// Packed string lists: per item eight upper-case hex digits giving its
// length in UTF-8 code points, then the item's bytes. A code point is
// counted at the first byte and at every byte that is not a UTF-8
// continuation byte, so any byte string (valid UTF-8 or not) packs and
// unpacks to itself.
#include <cstdio>

#include "base/VEKCursor.h"

namespace VekBase {

namespace {

bool isContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

size_t codePoints(const std::string& item) {
  size_t count = 0;
  for (size_t i = 0; i < item.size(); ++i)
    if (i == 0 || !isContinuation(item[i])) ++count;
  return count;
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

// Reads the eight hex digits at pos; false when they are not there.
bool readCount(const std::string& packed, size_t pos, size_t* count) {
  if (pos + 8 > packed.size()) return false;
  *count = 0;
  for (size_t i = 0; i < 8; ++i) {
    int digit = hexValue(packed[pos + i]);
    if (digit < 0) return false;
    *count = *count * 16 + static_cast<size_t>(digit);
  }
  return true;
}

}  // namespace

std::string joinStringList(const std::vector<std::string>& items) {
  std::string packed;
  char header[16];
  for (const std::string& item : items) {
    std::snprintf(header, sizeof header, "%08zX", codePoints(item));
    packed += header;
    packed += item;
  }
  return packed;
}

std::vector<std::string> splitStringList(const std::string& packed) {
  std::vector<std::string> items;
  size_t pos = 0, count = 0;
  while (pos < packed.size() && readCount(packed, pos, &count)) {
    size_t start = pos + 8, end = start;
    for (size_t units = 0; end < packed.size(); ++end) {
      if (end == start || !isContinuation(packed[end])) {
        if (units == count) break;
        ++units;
      }
    }
    if (count > 0 && end == start) break;  // the item is missing
    items.push_back(packed.substr(start, end - start));
    pos = end;
  }
  return items;
}

std::string packStringList(const std::string& text, const std::string& separator) {
  if (text.empty()) return std::string();
  std::vector<std::string> items;
  if (separator.empty()) {
    items.push_back(text);
    return joinStringList(items);
  }
  size_t start = 0;
  for (size_t found; (found = text.find(separator, start)) != std::string::npos; start = found + separator.size())
    items.push_back(text.substr(start, found - start));
  items.push_back(text.substr(start));
  return joinStringList(items);
}

std::string unpackStringList(const std::string& separator, const std::string& packed) {
  std::string text;
  std::vector<std::string> items = splitStringList(packed);
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += separator;
    text += items[i];
  }
  return text;
}

}  // namespace VekBase
