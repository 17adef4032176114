// Second big-number layer: numbers as text in radix 2..16, and as lines of a
// file (digits ended by CR LF, lines of at most 2482 characters).
#include <cstring>
#include <string>

#include "huge.h"
#include "huge_limbs_internal.h"

namespace VekTls {

namespace {

constexpr size_t LINE_BUFFER = 2484;  // bytes of the line buffer of the file forms

// Value of a digit character, or -1 when it is none.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_radix_digit(char c, int radix) {
  int d = digit_value(c);
  return d >= 0 && d < radix;
}

// Radix 16: two characters per limb, the last character in the low bits.
int read_hex(huge* X, const char* text, size_t length) {
  int status = grow_huge(X, (4 * length + 7) / 8);
  if (status == HUGE_OK) status = set_huge_int(X, 0);
  for (size_t i = length, j = 0; status == HUGE_OK && i-- > 0; j++) {
    if (i == 0 && text[0] == '-') {
      X->sign = 1;
      break;
    }
    if (!is_radix_digit(text[i], 16)) return HUGE_ERR_INVALID_CHARACTER;
    X->rep[j / 2] = u8(X->rep[j / 2] | (digit_value(text[i]) << ((j % 2) * 4)));
  }
  return status;
}

// Other radixes: X = X * radix +/- digit from the first character on.
int read_digits(huge* X, int radix, const char* text, size_t length) {
  int status = set_huge_int(X, 0);
  for (size_t i = 0; status == HUGE_OK && i < length; i++) {
    if (i == 0 && text[0] == '-') {
      X->sign = 1;
      continue;
    }
    if (!is_radix_digit(text[i], radix)) return HUGE_ERR_INVALID_CHARACTER;
    status = mul_huge_int(X, X, radix);
    if (status != HUGE_OK) break;
    int d = digit_value(text[i]);
    status = X->sign ? sub_huge_int(X, X, d) : add_huge_int(X, X, d);
  }
  return status;
}

// The digits of |X| in the radix, most significant first.
std::string digits_of(const huge* X, int radix) {
  static const char names[] = "0123456789ABCDEF";
  std::string digits;
  if (radix == 16) {
    size_t top = used_limbs(X);
    if (top == 0) return "00";
    for (size_t i = top; i-- > 0;) {
      digits += names[X->rep[i] >> 4];
      digits += names[X->rep[i] & 15];
    }
    return digits;
  }
  words::Nat value = limbs_value(X), radix_word = words::from_u64(u64(radix));
  do {
    words::Nat rest;
    words::divmod(value, radix_word, &value, &rest);
    digits.insert(digits.begin(), names[rest.empty() ? 0 : rest[0]]);
  } while (!value.empty());
  return digits;
}

}  // namespace

int read_huge_string(huge* X, int radix, const char* text) {
  if (radix < 2 || radix > 16) return HUGE_ERR_BAD_INPUT;
  size_t length = std::strlen(text);
  return radix == 16 ? read_hex(X, text, length) : read_digits(X, radix, text, length);
}

int write_huge_string(const huge* X, int radix, char* buffer, size_t* length) {
  if (radix < 2 || radix > 16) return HUGE_ERR_BAD_INPUT;
  size_t needed = msb_huge(X);
  if (radix >= 4) needed >>= 1;
  if (radix >= 16) needed >>= 1;
  needed += 3;
  // Two hex digits per limb can outgrow that estimate by the minus sign.
  if (radix == 16 && X->sign) needed++;
  if (*length < needed) {
    *length = needed;
    return HUGE_ERR_BUFFER_TOO_SMALL;
  }
  std::string text = (X->sign ? "-" : "") + digits_of(X, radix);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = text.size() + 1;
  return HUGE_OK;
}

int read_huge_file(huge* X, int radix, FILE* file) {
  char line[LINE_BUFFER];
  if (std::fgets(line, int(LINE_BUFFER - 1), file) == nullptr) return HUGE_ERR_FILE;
  size_t length = std::strlen(line);
  if (length >= LINE_BUFFER - 2) return HUGE_ERR_BUFFER_TOO_SMALL;
  if (length > 0 && line[length - 1] == '\n') line[--length] = 0;
  if (length > 0 && line[length - 1] == '\r') line[--length] = 0;
  // The number is the run of digits at the end of the line, with its sign.
  size_t start = length;
  while (start > 0 && is_radix_digit(line[start - 1], radix)) start--;
  if (start > 0 && line[start - 1] == '-') start--;
  return read_huge_string(X, radix, line + start);
}

int write_huge_file(const char* prefix, const huge* X, int radix, FILE* file) {
  char text[LINE_BUFFER];
  size_t length = LINE_BUFFER - 2;
  int status = write_huge_string(X, radix, text, &length);
  if (status != HUGE_OK) return status;
  if (!prefix) prefix = "";
  std::strcat(text, "\r\n");
  if (!file) {
    std::printf("%s%s", prefix, text);
    return HUGE_OK;
  }
  size_t prefix_length = std::strlen(prefix), text_length = std::strlen(text);
  if (std::fwrite(prefix, 1, prefix_length, file) != prefix_length) return HUGE_ERR_FILE;
  if (std::fwrite(text, 1, text_length, file) != text_length) return HUGE_ERR_FILE;
  return HUGE_OK;
}

}  // namespace VekTls
