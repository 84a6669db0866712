// Twofish block cipher: fixed tables, key schedule, single 16-byte block
// encryption and decryption, and the start-up self-test. Every failure (wrong
// platform primitive, failed self-test, illegal argument) is fatal: it prints a
// message and ends the process with exit status 3.
//
// Thread safety: Twofish_initialise builds the global tables once; afterwards
// any number of threads may prepare their own keys and encrypt concurrently.
#pragma once

// The expanded key, owned by the caller.
struct Twofish_key {
  unsigned int s[4][256];  // key-dependent S-boxes combined with the MDS matrix
  unsigned int K[40];      // subkeys: 0-3 input whitening, 4-7 output whitening, 8-39 rounds
};

// Builds the global tables and runs the self-test (fatal on failure). Must run
// before the first Twofish_prepare_key; later calls return at once.
void Twofish_initialise();

// Expands a key of keyLen bytes (0..32; zero-padded to 16, 24 or 32 bytes)
// into xkey. Fatal when not initialised or keyLen is out of range.
void Twofish_prepare_key(unsigned char* key, int keyLen, Twofish_key* xkey);

// Encrypts or decrypts one 16-byte block; in and out may be the same buffer.
void Twofish_encrypt(const Twofish_key* xkey, const unsigned char* in, unsigned char* out);
void Twofish_decrypt(Twofish_key* xkey, unsigned char* in, unsigned char* out);

// Writes "\nTwofish fatal error: <msg>\nProcess terminated\n" to standard error
// and exits with status 3.
[[noreturn]] void Twofish_fatal(const char* msg);
