// Prime-field elliptic curves: the named curves P-192 and P-256 (FIPS 186),
// affine point addition and doubling, scalar multiplication and ECDSA.
//
// Coordinates are kept reduced to 0 .. p-1, so two points are equal exactly
// when their coordinates are. The point at infinity, which has no affine
// coordinates, is reported by a result of 1 instead of being divided out.
#include "ecc.h"

#include <cstring>
#include <utility>

#include "dsa_common.h"

namespace VekTls {

namespace {

const u8 P192_P[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const u8 P192_A[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
const u8 P192_B[] = {0x64, 0x21, 0x05, 0x19, 0xE5, 0x9C, 0x80, 0xE7, 0x0F, 0xA7, 0xE9, 0xAB,
                     0x72, 0x24, 0x30, 0x49, 0xFE, 0xB8, 0xDE, 0xEC, 0xC1, 0x46, 0xB9, 0xB1};
const u8 P192_GX[] = {0x18, 0x8D, 0xA8, 0x0E, 0xB0, 0x30, 0x90, 0xF6, 0x7C, 0xBF, 0x20, 0xEB,
                      0x43, 0xA1, 0x88, 0x00, 0xF4, 0xFF, 0x0A, 0xFD, 0x82, 0xFF, 0x10, 0x12};
const u8 P192_GY[] = {0x07, 0x19, 0x2B, 0x95, 0xFF, 0xC8, 0xDA, 0x78, 0x63, 0x10, 0x11, 0xED,
                      0x6B, 0x24, 0xCD, 0xD5, 0x73, 0xF9, 0x77, 0xA1, 0x1E, 0x79, 0x48, 0x11};
const u8 P192_N[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x99, 0xDE, 0xF8, 0x36, 0x14, 0x6B, 0xC9, 0xB1, 0xB4, 0xD2, 0x28, 0x31};

const u8 P256_P[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const u8 P256_A[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
const u8 P256_B[] = {0x5A, 0xC6, 0x35, 0xD8, 0xAA, 0x3A, 0x93, 0xE7, 0xB3, 0xEB, 0xBD, 0x55, 0x76, 0x98, 0x86, 0xBC,
                     0x65, 0x1D, 0x06, 0xB0, 0xCC, 0x53, 0xB0, 0xF6, 0x3B, 0xCE, 0x3C, 0x3E, 0x27, 0xD2, 0x60, 0x4B};
const u8 P256_GX[] = {0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
                      0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96};
const u8 P256_GY[] = {0x4F, 0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16,
                      0x2B, 0xCE, 0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};
const u8 P256_N[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

struct named_curve {
  const char* names[2];
  const u8 *p, *a, *b, *gx, *gy, *n;
  int length;  // bytes of every constant
};

const named_curve named_curves[] = {
    {{"prime192v1", "secp192r1"}, P192_P, P192_A, P192_B, P192_GX, P192_GY, P192_N, int(sizeof(P192_P))},
    {{"prime256v1", "secp256r1"}, P256_P, P256_A, P256_B, P256_GX, P256_GY, P256_N, int(sizeof(P256_P))},
};

// value = value mod p in 0 .. p-1.
void reduce(huge* value, const huge* p) {
  huge_divide(value, p, nullptr);
  if (value->sign && !value_is_zero(value)) huge_add(value, p);
  value->sign = 0;
}

void copy_point(ec_point* target, const ec_point* source) {
  huge_copy(&target->x, &source->x);
  huge_copy(&target->y, &source->y);
}

void free_point(ec_point* point) {
  huge_free(&point->x);
  huge_free(&point->y);
}

// quotient = numerator / denominator mod p; both reduced, denominator not 0.
void divide_mod(huge* numerator, huge* denominator, const huge* p) {
  huge_mod_inverse(denominator, p);
  huge_multiply(numerator, denominator);
  reduce(numerator, p);
}

// Slope of the chord through two different points, or of the tangent at a
// point (equal x); 1 when the line is vertical (the sum is the point at
// infinity).
int slope(const ec_point* p1, const ec_point* p2, const huge* a, const huge* p, huge* lambda) {
  huge denominator{};
  if (huge_compare(&p1->x, &p2->x) == 0) {
    huge_copy(&denominator, &p1->y);
    huge_add(&denominator, &p2->y);
    reduce(&denominator, p);
    if (value_is_zero(&denominator)) {  // opposite points, or doubling with y = 0
      huge_free(&denominator);
      return 1;
    }
    huge three{};
    huge_set_uint(&three, 3);
    multiply_mod(lambda, &p1->x, &p1->x, p);  // 3x^2 + a over 2y
    huge_multiply(lambda, &three);
    huge_add(lambda, a);
    huge_free(&three);
  } else {
    huge_copy(lambda, &p2->y);  // (y2 - y1) over (x2 - x1)
    huge_subtract(lambda, &p1->y);
    huge_copy(&denominator, &p2->x);
    huge_subtract(&denominator, &p1->x);
  }
  reduce(lambda, p);
  reduce(&denominator, p);
  divide_mod(lambda, &denominator, p);
  huge_free(&denominator);
  return 0;
}

// p1 = p1 + p2 on reduced coordinates (p2 may be p1); 1 for infinity, p1
// unchanged.
int add_reduced(ec_point* p1, const ec_point* p2, const huge* a, const huge* p) {
  huge lambda{};
  if (slope(p1, p2, a, p, &lambda) != 0) return 1;
  huge x3{}, y3{};
  multiply_mod(&x3, &lambda, &lambda, p);  // x3 = lambda^2 - x1 - x2
  huge_subtract(&x3, &p1->x);
  huge_subtract(&x3, &p2->x);
  reduce(&x3, p);
  huge_copy(&y3, &p1->x);  // y3 = (x1 - x3) * lambda - y1
  huge_subtract(&y3, &x3);
  huge_multiply(&y3, &lambda);
  huge_subtract(&y3, &p1->y);
  reduce(&y3, p);
  free_point(p1);
  p1->x = x3;
  p1->y = y3;
  huge_free(&lambda);
  return 0;
}

void reduce_point(ec_point* point, const huge* p) {
  reduce(&point->x, p);
  reduce(&point->y, p);
}

// Scalar multiplication works in Jacobian coordinates (x = X / Z^2,
// y = Y / Z^3), which need no modular inverse per step: one inverse at the
// end takes the product back to affine coordinates. The base point stays
// affine, so each addition is a mixed one.
struct jacobian_point {
  huge X, Y, Z;
  bool infinity;
};

// result = a * b mod p; result may be a or b.
void mul_mod(huge* result, const huge* a, const huge* b, const huge* p) {
  huge product{};
  huge_copy(&product, a);
  huge_multiply(&product, b);
  reduce(&product, p);
  huge_free(result);
  *result = product;
}

// result = a * small mod p.
void mul_small(huge* result, const huge* a, u32 small, const huge* p) {
  huge factor{};
  huge_set_uint(&factor, small);
  mul_mod(result, a, &factor, p);
  huge_free(&factor);
}

// result = a - b mod p (or a + b with `add`); result may be a or b.
void add_mod(huge* result, const huge* a, const huge* b, const huge* p, bool add) {
  huge sum{};
  huge_copy(&sum, a);
  if (add) {
    huge_add(&sum, b);
  } else {
    huge_subtract(&sum, b);
  }
  reduce(&sum, p);
  huge_free(result);
  *result = sum;
}

void free_jacobian(jacobian_point* point) {
  huge_free(&point->X);
  huge_free(&point->Y);
  huge_free(&point->Z);
}

// point = 2 * point: S = 4XY^2, M = 3X^2 + aZ^4, X' = M^2 - 2S,
// Y' = M(S - X') - 8Y^4, Z' = 2YZ.
void double_jacobian(jacobian_point* point, const huge* a, const huge* p) {
  if (point->infinity) return;
  if (value_is_zero(&point->Y)) {
    point->infinity = true;
    return;
  }
  huge yy{}, s{}, m{}, t{};
  mul_mod(&yy, &point->Y, &point->Y, p);
  mul_mod(&s, &point->X, &yy, p);
  mul_small(&s, &s, 4, p);
  mul_mod(&m, &point->X, &point->X, p);
  mul_small(&m, &m, 3, p);
  mul_mod(&t, &point->Z, &point->Z, p);
  mul_mod(&t, &t, &t, p);
  mul_mod(&t, &t, a, p);
  add_mod(&m, &m, &t, p, true);
  mul_mod(&point->Z, &point->Z, &point->Y, p);
  mul_small(&point->Z, &point->Z, 2, p);
  mul_mod(&point->X, &m, &m, p);
  add_mod(&point->X, &point->X, &s, p, false);
  add_mod(&point->X, &point->X, &s, p, false);
  add_mod(&t, &s, &point->X, p, false);
  mul_mod(&point->Y, &m, &t, p);
  mul_mod(&yy, &yy, &yy, p);
  mul_small(&yy, &yy, 8, p);
  add_mod(&point->Y, &point->Y, &yy, p, false);
  for (huge* number : {&yy, &s, &m, &t}) huge_free(number);
}

// point = point + base (base affine and reduced): U2 = x2 Z^2, S2 = y2 Z^3,
// H = U2 - X, r = S2 - Y, X' = r^2 - H^3 - 2XH^2, Y' = r(XH^2 - X') - YH^3,
// Z' = ZH.
void add_jacobian(jacobian_point* point, const ec_point* base, const huge* a, const huge* p) {
  if (point->infinity) {
    huge_copy(&point->X, &base->x);
    huge_copy(&point->Y, &base->y);
    huge_free(&point->Z);
    huge_set_uint(&point->Z, 1);
    point->infinity = false;
    return;
  }
  huge zz{}, h{}, r{}, hh{}, v{};
  mul_mod(&zz, &point->Z, &point->Z, p);
  mul_mod(&h, &base->x, &zz, p);
  add_mod(&h, &h, &point->X, p, false);
  mul_mod(&r, &base->y, &zz, p);
  mul_mod(&r, &r, &point->Z, p);
  add_mod(&r, &r, &point->Y, p, false);
  if (value_is_zero(&h)) {  // the same x: the same point, or its opposite
    if (value_is_zero(&r)) {
      double_jacobian(point, a, p);
    } else {
      point->infinity = true;
    }
  } else {
    mul_mod(&hh, &h, &h, p);
    mul_mod(&v, &point->X, &hh, p);
    mul_mod(&hh, &hh, &h, p);  // H^3 from here on
    mul_mod(&point->Z, &point->Z, &h, p);
    mul_mod(&point->X, &r, &r, p);
    add_mod(&point->X, &point->X, &hh, p, false);
    add_mod(&point->X, &point->X, &v, p, false);
    add_mod(&point->X, &point->X, &v, p, false);
    mul_mod(&point->Y, &point->Y, &hh, p);
    add_mod(&v, &v, &point->X, p, false);
    mul_mod(&v, &v, &r, p);
    add_mod(&point->Y, &v, &point->Y, p, false);
  }
  for (huge* number : {&zz, &h, &r, &hh, &v}) huge_free(number);
}

// The affine point of (X, Y, Z): x = X / Z^2, y = Y / Z^3.
void to_affine(jacobian_point* point, const huge* p, ec_point* result) {
  huge inverse{}, inverse2{};
  huge_copy(&inverse, &point->Z);
  huge_mod_inverse(&inverse, p);
  mul_mod(&inverse2, &inverse, &inverse, p);
  mul_mod(&result->x, &point->X, &inverse2, p);
  mul_mod(&inverse2, &inverse2, &inverse, p);
  mul_mod(&result->y, &point->Y, &inverse2, p);
  huge_free(&inverse);
  huge_free(&inverse2);
}

int bit_count(const huge* k) {
  for (u32 i = 0; i < k->size; i++) {
    for (int bit = 7; bit >= 0; bit--) {
      if (k->rep[i] >> bit & 1) return int(8 * (k->size - i - 1)) + bit + 1;
    }
  }
  return 0;
}

bool usable_curve(const elliptic_curve* curve) {
  return curve->p.rep && curve->p.size > 0 && (curve->p.rep[curve->p.size - 1] & 1) && curve->n.rep &&
         curve->n.size > 0 && curve->G.x.rep && curve->G.y.rep && curve->a.rep;
}

// X = k * G; 1 when the product is the point at infinity.
int multiply_base(elliptic_curve* curve, huge* k, ec_point* X) {
  copy_point(X, &curve->G);
  return multiply_point(X, k, &curve->a, &curve->p);
}

}  // namespace

int get_named_curve(const char* name, elliptic_curve* curve) {
  for (const named_curve& known : named_curves) {
    if (std::strcmp(name, known.names[0]) != 0 && std::strcmp(name, known.names[1]) != 0) continue;
    size_t length = size_t(known.length);
    huge_load_bytes(&curve->p, known.p, length);
    huge_load_bytes(&curve->a, known.a, length);
    huge_load_bytes(&curve->b, known.b, length);
    huge_load_bytes(&curve->G.x, known.gx, length);
    huge_load_bytes(&curve->G.y, known.gy, length);
    huge_load_bytes(&curve->n, known.n, length);
    return 0;
  }
  return 1;
}

void free_elliptic_curve(elliptic_curve* curve) {
  huge_free(&curve->p);
  huge_free(&curve->a);
  huge_free(&curve->b);
  free_point(&curve->G);
  huge_free(&curve->n);
}

int add_points(ec_point* p1, ec_point* p2, huge* p) {
  // Doubling needs the curve's a; both named curves have a = -3.
  huge a{}, three{};
  huge_copy(&a, p);
  huge_set_uint(&three, 3);
  huge_subtract(&a, &three);
  ec_point second{};
  copy_point(&second, p2);
  reduce_point(&second, p);
  reduce_point(p1, p);
  int infinity = add_reduced(p1, &second, &a, p);
  free_point(&second);
  huge_free(&a);
  huge_free(&three);
  return infinity;
}

int multiply_point(ec_point* point, huge* k, huge* a, huge* p) {
  // Double and add from the most significant bit of k.
  int bits = bit_count(k);
  ec_point base{};
  copy_point(&base, point);
  reduce_point(&base, p);
  jacobian_point product{{}, {}, {}, true};
  for (int bit = bits - 1; bit >= 0; bit--) {
    double_jacobian(&product, a, p);
    if (k->rep[k->size - 1 - bit / 8] >> (bit % 8) & 1) add_jacobian(&product, &base, a, p);
  }
  free_point(&base);
  int infinity = product.infinity ? 1 : 0;
  if (!infinity) to_affine(&product, p, point);
  free_jacobian(&product);
  return infinity;
}

void ecdsa_sign(elliptic_curve* curve, huge* private_key, const u32* hash, int hash_words,
                dsa_signature* signature) {
  signature->r = huge{};
  signature->s = huge{};
  huge two{};
  huge_set_uint(&two, 2);
  bool usable = usable_curve(curve) && huge_compare(&curve->n, &two) >= 0;
  huge_free(&two);
  if (!usable) {
    huge_set_uint(&signature->r, 0);
    huge_set_uint(&signature->s, 0);
    return;
  }
  huge z{};
  hash_value(hash, hash_words, &curve->n, &z);
  nonce_generator generator;
  nonce_init(&generator, private_key, &z, &curve->n);
  for (;;) {
    huge k{};
    ec_point X{};
    nonce_next(&generator, &curve->n, &k);
    bool infinity = multiply_base(curve, &k, &X) != 0;
    huge_copy(&signature->r, &X.x);
    huge_divide(&signature->r, &curve->n, nullptr);
    compute_signature_s(&k, private_key, &signature->r, &z, &curve->n, &signature->s);
    huge_free(&k);
    free_point(&X);
    if (!infinity && !value_is_zero(&signature->r) && !value_is_zero(&signature->s)) break;
  }
  huge_free(&z);
}

int ecdsa_verify(elliptic_curve* curve, ec_point* public_key, const u32* hash, int hash_words,
                 dsa_signature* signature) {
  if (!usable_curve(curve) || !public_key->x.rep || !public_key->y.rep ||
      !in_signature_range(&signature->r, &curve->n) || !in_signature_range(&signature->s, &curve->n)) {
    return 0;
  }
  huge z{}, w{}, u1{}, u2{};
  hash_value(hash, hash_words, &curve->n, &z);
  huge_copy(&w, &signature->s);
  huge_mod_inverse(&w, &curve->n);
  multiply_mod(&u1, &z, &w, &curve->n);
  multiply_mod(&u2, &signature->r, &w, &curve->n);
  ec_point X{}, Y{};
  int x_infinity = multiply_base(curve, &u1, &X);
  copy_point(&Y, public_key);
  int y_infinity = multiply_point(&Y, &u2, &curve->a, &curve->p);
  int valid = 0;
  if (x_infinity && !y_infinity) {
    std::swap(X, Y);
    x_infinity = 0;
  } else if (!x_infinity && !y_infinity) {
    x_infinity = add_reduced(&X, &Y, &curve->a, &curve->p);
  }
  if (!x_infinity) {
    huge_divide(&X.x, &curve->n, nullptr);
    valid = huge_compare(&X.x, &signature->r) == 0;
  }
  free_point(&X);
  free_point(&Y);
  huge* temporaries[] = {&z, &w, &u1, &u2};
  for (huge* number : temporaries) huge_free(number);
  return valid;
}

}  // namespace VekTls
