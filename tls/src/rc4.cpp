// RC4: key scheduling on first use of a zeroed state, then the keystream
// XOR-ed into the data.
#include "rc4.h"

namespace VekTls {

namespace {

// A permutation never holds the same value twice, so S[0] == S[1] == 0
// only in a state that has not been keyed yet.
bool is_keyed(const rc4_state* state) { return state->S[0] != 0 || state->S[1] != 0; }

void rc4_key(rc4_state* state, const u8* key, int key_length) {
  for (int n = 0; n < 256; n++) state->S[n] = u8(n);
  int j = 0;
  for (int n = 0; n < 256; n++) {
    j = (j + state->S[n] + key[n % key_length]) & 0xff;
    u8 swap = state->S[n];
    state->S[n] = state->S[j];
    state->S[j] = swap;
  }
  state->i = 0;
  state->j = 0;
}

void rc4_operate(const u8* input, int length, u8* output, void* state_slot, const u8* key, int key_length) {
  rc4_state* state = static_cast<rc4_state*>(state_slot);
  if (!is_keyed(state)) rc4_key(state, key, key_length);
  u8* S = state->S;
  unsigned i = unsigned(state->i), j = unsigned(state->j);
  for (int n = 0; n < length; n++) {
    i = (i + 1) & 0xff;
    u8 si = S[i];
    j = (j + si) & 0xff;
    u8 sj = S[j];
    S[i] = sj;
    S[j] = si;
    output[n] = input[n] ^ S[(si + sj) & 0xff];
  }
  state->i = int(i);
  state->j = int(j);
}

}  // namespace

void rc4_40_encrypt(const u8* input, int length, u8* output, void* state, const u8* key) {
  rc4_operate(input, length, output, state, key, 5);
}

void rc4_128_encrypt(const u8* input, int length, u8* output, void* state, const u8* key) {
  rc4_operate(input, length, output, state, key, 16);
}

}  // namespace VekTls
