// Reader for the shared KEY=value test-vector files: one vector per block of
// lines, blocks separated by blank lines, '#' lines are comments.
#pragma once

#include <map>
#include <string>
#include <vector>

struct TestVector {
  std::map<std::string, std::string> fields;

  bool Has(const std::string& key) const { return fields.count(key) != 0; }
  // The value of key, or "" when the vector has no such field.
  std::string Get(const std::string& key) const;
  // The VECTOR name, for failure messages.
  std::string Name() const { return Get("VECTOR"); }
};

// All vectors of the named file in JEX_VECTORS_DIR; empty when it cannot be read.
std::vector<TestVector> LoadVectors(const std::string& fileName);

// Vectors whose VECTOR name starts with prefix.
std::vector<TestVector> VectorsWithPrefix(const std::vector<TestVector>& all,
                                          const std::string& prefix);

// The message bytes described by MSG_ASCII, MSG_HEX, MSG_REPEAT (with LEN) or
// MSG_PATTERN "i%251" (with LEN).
std::string MessageOf(const TestVector& vector);

// Hex text (either case, no separators) to bytes, and bytes to lower-case hex.
std::string FromHex(const std::string& hex);
std::string ToHex(const void* data, std::size_t length);
std::string ToLower(std::string text);
