// Parsing of the shared test-vector files and decoding of their message fields.
#include "tests/crypto/vector_file.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

std::string TestVector::Get(const std::string& key) const {
  const auto found = fields.find(key);
  return found == fields.end() ? std::string() : found->second;
}

std::vector<TestVector> LoadVectors(const std::string& fileName) {
  std::vector<TestVector> vectors;
  std::ifstream in(std::string(JEX_VECTORS_DIR) + "/" + fileName);
  TestVector current;
  std::string line;
  auto flush = [&] {
    if (!current.fields.empty()) vectors.push_back(current);
    current.fields.clear();
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      flush();
      continue;
    }
    if (line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    current.fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  flush();
  return vectors;
}

std::vector<TestVector> VectorsWithPrefix(const std::vector<TestVector>& all,
                                          const std::string& prefix) {
  std::vector<TestVector> selected;
  for (const TestVector& vector : all)
    if (vector.Name().rfind(prefix, 0) == 0) selected.push_back(vector);
  return selected;
}

std::string MessageOf(const TestVector& vector) {
  if (vector.Has("MSG_ASCII")) return vector.Get("MSG_ASCII");
  if (vector.Has("MSG_HEX")) return FromHex(vector.Get("MSG_HEX"));
  const std::size_t length = std::strtoul(vector.Get("LEN").c_str(), nullptr, 10);
  if (vector.Has("MSG_REPEAT")) return std::string(length, vector.Get("MSG_REPEAT").at(0));
  std::string pattern(length, '\0');
  for (std::size_t i = 0; i < length; ++i) pattern[i] = static_cast<char>(i % 251);
  return pattern;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string ToHex(const void* data, std::size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::string hex;
  for (std::size_t i = 0; i < length; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0xF]);
  }
  return hex;
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
