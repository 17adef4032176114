#!/usr/bin/env python3
"""Big-number test vectors from Python's own integers, one case a line:
an operation name, then signed hexadecimal operands and expected results
("-" for a result that does not exist). Operands run from 0 to 4096 bits and
include 1, powers of 256, 256^k - 1 and word patterns that stress the
quotient estimate of long division. Fixed seed: the same lines every run."""
import math
import random
import sys

rng = random.Random(13)


def h(x):
    return ("-" if x < 0 else "") + format(abs(x), "X")


def special(bits):
    """A value of about `bits` bits with a shape arithmetic code gets wrong."""
    k = max(1, bits // 8)
    words = max(1, bits // 64)
    shapes = [
        0, 1, 256 ** k, 256 ** k - 1, 2 ** bits - 1, 2 ** max(bits - 1, 0),
        # all-ones and top-bit words, mixed: long division's correction steps
        int("".join(rng.choice(["FFFFFFFFFFFFFFFF", "8000000000000000", "0000000000000000", "0000000000000001"])
                    for _ in range(words)), 16),
    ]
    return rng.choice(shapes)


def operand(bits):
    x = special(bits) if rng.random() < 0.3 else rng.getrandbits(bits)
    return -x if rng.random() < 0.3 else x


def bit_sizes(count, top):
    sizes = [rng.choice([1, 7, 8, 9, 63, 64, 65, 128, 511, 512, 1024, 2048, top]) for _ in range(count // 2)]
    return sizes + [rng.randint(1, top) for _ in range(count - len(sizes))]


def truncated_division(a, b):
    q = abs(a) // abs(b)
    if (a < 0) != (b < 0):
        q = -q
    return q, a - q * b


def arithmetic_cases(count):
    for bits in bit_sizes(count, 4096):
        a, b = operand(bits), operand(rng.choice([bits, rng.randint(1, bits)]))
        print("add", h(a), h(b), h(a + b))
        print("sub", h(a), h(b), h(a - b))
        print("mul", h(a), h(b), h(a * b))
        if b != 0:
            if rng.random() < 0.5:  # quotient and remainder of every size
                a = b * operand(rng.randint(1, 2048)) + rng.randint(-abs(b) + 1, abs(b) - 1)
            q, r = truncated_division(a, b)
            print("div", h(a), h(b), h(q), h(r))
            print("mod", h(a), h(abs(b)), h(a % abs(b)))
        print("gcd", h(a), h(b), h(math.gcd(a, b)))


def modular_cases(count, top, exact=()):
    for bits in list(exact) + bit_sizes(count, top):
        n = (rng.getrandbits(bits) | 1 << (bits - 1) | 1) if bits in exact else abs(operand(bits)) | 1
        a, e = operand(rng.randint(1, bits + 64)), abs(operand(rng.randint(1, bits)))
        print("expmod", h(a), h(e), h(n), h(pow(a, e, n)))
        inverse = pow(a, -1, n) if math.gcd(a, n) == 1 else None
        print("inv", h(a), h(n), "-" if inverse is None else h(inverse))


def prime_cases():
    primes = [2, 3, 5, 997, 1009, 1019, 3083, 65537, 2 ** 61 - 1, 2 ** 127 - 1, 2 ** 521 - 1, 2 ** 607 - 1]
    carmichael = [561, 1105, 1729, 2465, 2821, 6601, 8911, 41041, 825265, 321197185, 5394826801,
                  232250619601, 9746347772161]
    composites = carmichael + [0, 1, 4, 9, 1007, 997 * 1009, (2 ** 61 - 1) * (2 ** 89 - 1), 3215031751]
    for p in primes:
        print("prime", h(p), "1")
    for c in composites:
        print("prime", h(c), "0")


arithmetic_cases(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
modular_cases(150, 1024, exact=(1024, 1024, 2048, 2048))
modular_cases(10, 4096)
prime_cases()
