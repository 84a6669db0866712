// MD5 message digest (RFC 1321) over caller memory: used for the password check
// of packets and the integrity trailer of uploaded program files. The context
// lives with the caller; nothing is allocated.
#pragma once

struct MD5 {
  unsigned int state[4];     // chaining words A, B, C, D
  unsigned int count[2];     // message length in bits, low word first
  unsigned char buffer[64];  // bytes of the unfinished block
};

// Zeroes the bit count and loads the initial chaining values.
void MD5Open(MD5* ctx);

// Adds len bytes from p.
void MD5Digest(MD5* ctx, const void* p, unsigned int len);

// Pads the message, writes the 16-byte digest to out (standard byte order) and
// zeroes the whole context.
void MD5Close(MD5* ctx, unsigned char* out);

// One 64-byte block compression into state.
void MD5Transform(unsigned int state[4], const unsigned char block[64]);
