// Elliptic curves y^2 = x^3 + ax + b over a prime field: the named curves
// P-192 and P-256, affine point arithmetic and ECDSA.
//
// Points are affine; the point at infinity has no representation of its own
// and arises only as the sum of a point and its opposite, which add_points
// reports. ECDSA nonces are derived as for DSA (dsa.h).
#pragma once
#include "dsa.h"
#include "huge.h"
#include "kernel/VekTypes.h"

namespace VekTls {

struct ec_point {
  huge x;
  huge y;
};

struct elliptic_curve {
  huge p;      // field prime
  huge a;
  huge b;
  ec_point G;  // base point
  huge n;      // order of G
};

// Loads P-192 ("prime192v1", "secp192r1") or P-256 ("prime256v1",
// "secp256r1") into `curve` (whose numbers must hold no arrays) and returns
// 0; 1 for any other name, the curve untouched.
int get_named_curve(const char* name, elliptic_curve* curve);

// Releases the curve's numbers.
void free_elliptic_curve(elliptic_curve* curve);

// p1 = p1 + p2 modulo p, doubling when the points are equal. Returns 0, or
// 1 when the sum is the point at infinity (p1 is then left as it was).
int add_points(ec_point* p1, ec_point* p2, huge* p);

// point = k * point (left unchanged when k is zero). Returns 0, or 1 when
// the product is the point at infinity.
int multiply_point(ec_point* point, huge* k, huge* a, huge* p);

// Fills r and s (which must hold no arrays); d is the private key.
void ecdsa_sign(elliptic_curve* curve, huge* private_key, const u32* hash, int hash_words,
                dsa_signature* signature);

// 1 when the signature is valid for the public point Q, 0 otherwise (also
// for r or s outside 1 .. n-1).
int ecdsa_verify(elliptic_curve* curve, ec_point* public_key, const u32* hash, int hash_words,
                 dsa_signature* signature);

}  // namespace VekTls
