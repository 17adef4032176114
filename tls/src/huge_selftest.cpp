// Self test of the second big-number layer: multiplication, division,
// exponentiation, inverse and gcd against results computed independently.
#include <cstdio>

#include "huge.h"

namespace VekTls {

namespace {

// A and E have 512 bits, N has 375 (odd, prime to A).
const char* const TEST_A =
    "9B73968414D2647F065E28E21576139A4CA564D74F811C2C54296609A57D26A5"
    "24919A8D2502F9CAB37BC348EE6E708C1A23B247C9CF23F527AE6B1FF4BDB52A";
const char* const TEST_E =
    "E7A0279B33375BC2AA7956C802EAA72F3A041F1FA2ACD453E057829C89692083"
    "897B5A9B25C74C20FD6AC13EA4397A6AF9B424D451A160E0CEB11B9097AF9811";
const char* const TEST_N =
    "007CC886CD3A315F9CE5A178A44EB6189815A65ADD4674B96088819C3D10C058"
    "343C5F9C35D1BF4B204BBF246FA1A19D";
// A * N
const char* const TEST_PRODUCT =
    "4BC5C110B0F502FFBE226243612C65A224C770B5785F26BCE5CF5D10F895EA09C7FB9E0DE353C79FC58EFBF13E1E01F4EA3D"
    "D2102181DEA738398CA340575E456D68D9792EAA33316E19344EF7F09CBF3A2C461EFC64B1068CD8F3C01374F431DCE751E1"
    "798C1189B3C8488CB184C2";
// A / N and A mod N
const char* const TEST_QUOTIENT = "13EEAE54F199A155E6CF8631773D5869E25";
const char* const TEST_REMAINDER =
    "4B6005B174A3F45C957F1C72913B2C7F638EF695AA511EFC8DF8F16A4CDEE19ABA97403E647AC81BF7AF5CD7747379";
// A^E mod N
const char* const TEST_POWER =
    "163CBEAAE90C91ECD7CCE654D828292FDCF15A52E04FAA7AE3555F892F84353DB694680EDBA18A18ECD6827CE13D6B";
// A^-1 mod N
const char* const TEST_INVERSE =
    "0022060ABAAFE58CA983048D8AFDA7357AFD1A3F07109B22B5572823C977D0FF3BB9511BD106D6478487D5713DBE9CA9";

const int GCD_PAIRS[3][3] = {{693, 609, 21}, {1764, 868, 28}, {768454923, 542167814, 1}};

enum { A, E, N, X, Y, U, V, COUNT };

// Reads `text` into `expected` and compares it with `actual`: 0 equal, 1 not, or a status.
int check_against(huge* expected, const char* text, const huge* actual) {
  int status = read_huge_string(expected, 16, text);
  if (status != HUGE_OK) return status;
  return compare_huge(actual, expected) == 0 ? 0 : 1;
}

int read_decimal_as_hex(huge* X, int value) {
  char text[1024];
  std::snprintf(text, sizeof text, "%X", value);
  return read_huge_string(X, 16, text);
}

void report(int verbose, const char* label, int result) {
  if (verbose) std::printf("%s%s\n", label, result == 0 ? "passed" : "failed");
}

int run_checks(huge* h, int verbose) {
  int result = read_huge_string(&h[A], 16, TEST_A);
  if (result == HUGE_OK) result = read_huge_string(&h[E], 16, TEST_E);
  if (result == HUGE_OK) result = read_huge_string(&h[N], 16, TEST_N);
  if (result == HUGE_OK) result = mul_huge(&h[X], &h[A], &h[N]);
  if (result == HUGE_OK) result = check_against(&h[U], TEST_PRODUCT, &h[X]);
  if (result < 0) return result;
  report(verbose, "  HUGE test #1 (mul_huge): ", result);
  if (result) return result;

  result = div_huge(&h[X], &h[Y], &h[A], &h[N]);
  if (result == HUGE_OK) result = check_against(&h[U], TEST_QUOTIENT, &h[X]);
  if (result == 0) result = check_against(&h[V], TEST_REMAINDER, &h[Y]);
  if (result < 0) return result;
  report(verbose, "  HUGE test #2 (div_huge): ", result);
  if (result) return result;

  result = exp_mod(&h[X], &h[A], &h[E], &h[N], nullptr);
  if (result == HUGE_OK) result = check_against(&h[U], TEST_POWER, &h[X]);
  if (result < 0) return result;
  report(verbose, "  HUGE test #3 (exp_mod): ", result);
  if (result) return result;

  result = inv_mod(&h[X], &h[A], &h[N]);
  if (result == HUGE_OK) result = check_against(&h[U], TEST_INVERSE, &h[X]);
  if (result < 0) return result;
  report(verbose, "  HUGE test #4 (inv_mod): ", result);
  if (result) return result;

  if (verbose) std::printf("  HUGE test #5 (simple gcd): ");
  for (int i = 0; i < 3; i++) {
    result = read_decimal_as_hex(&h[X], GCD_PAIRS[i][0]);
    if (result == HUGE_OK) result = read_decimal_as_hex(&h[Y], GCD_PAIRS[i][1]);
    if (result == HUGE_OK) result = read_decimal_as_hex(&h[U], GCD_PAIRS[i][2]);
    if (result == HUGE_OK) result = gcd_huge(&h[V], &h[X], &h[Y]);
    if (result < 0) return result;
    if (compare_huge(&h[V], &h[U]) != 0) {
      if (verbose) std::printf("failed at %d\n", i);
      return 1;
    }
  }
  if (verbose) std::printf("passed\n");
  return 0;
}

}  // namespace

int huge_self_test(int verbose) {
  huge h[COUNT];
  for (huge& x : h) init_huge(&x);
  int result = run_checks(h, verbose);
  if (result != 0 && verbose) std::printf("Unexpected error, return code = %08X\n", unsigned(result));
  for (huge& x : h) release_huge(&x);
  if (verbose) std::printf("\n");
  return result;
}

}  // namespace VekTls
