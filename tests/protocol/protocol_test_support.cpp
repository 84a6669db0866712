// Helpers of the protocol tests (see protocol_test_support.h).
#include "tests/protocol/protocol_test_support.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>

void PrintTo(const String& s, std::ostream* os) {
  *os << "hex " << prototest::ToHex(s);
}

namespace prototest {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper >= 'A' && upper <= 'F') return upper - 'A' + 10;
  return -1;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

String FromHex(const std::string& hex) {
  String out;
  if (hex.size() % 2 != 0) ADD_FAILURE() << "odd hex digit count: " << hex;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      ADD_FAILURE() << "bad hex digit in: " << hex;
      break;
    }
    out.AddChar(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::string ToHex(const String& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 1; i <= bytes.Length(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

String Bytes(std::initializer_list<unsigned char> bytes) {
  String out;
  for (unsigned char byte : bytes) out.AddChar(static_cast<char>(byte));
  return out;
}

VectorFields Vector(const std::string& file, const std::string& name) {
  std::ifstream in(std::string(JEX_VECTORS_DIR) + "/" + file);
  if (!in) {
    ADD_FAILURE() << "cannot open vector file " << file;
    return {};
  }
  VectorFields block;
  std::string line;
  auto finished = [&] { return block.count("VECTOR") && block["VECTOR"] == name; };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (finished()) return block;
      block.clear();
      continue;
    }
    if (line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    block[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (finished()) return block;
  ADD_FAILURE() << "vector " << name << " not found in " << file;
  return {};
}

void EnsureTwofish() {
  static std::once_flag once;
  std::call_once(once, [] { Twofish_initialise(); });
}

CheckedCipherKey::CheckedCipherKey(const std::string& sha1Vector,
                                   const std::string& twofishVector) {
  EnsureTwofish();
  VectorFields digest = Vector("sha1.txt", sha1Vector);
  VectorFields block = Vector("twofish.txt", twofishVector);
  if (!digest.count("MSG_ASCII") || !digest.count("SHA1") || !block.count("KEY")) {
    problem_ = "vector fields missing";
    return;
  }
  keyText_ = digest["MSG_ASCII"].c_str();
  if (Upper(digest["SHA1"]) != Upper(block["KEY"]) || block["KEYLEN"] != "20") {
    problem_ = "the Twofish vector's key is not the SHA-1 digest of the key text";
    return;
  }
  String keyBytes = FromHex(block["KEY"]);
  unsigned char key[32] = {};
  std::memcpy(key, keyBytes.Data(), static_cast<size_t>(keyBytes.Length()));
  Twofish_prepare_key(key, keyBytes.Length(), &key_);

  String plain = FromHex(block["PT"]);
  unsigned char cipher[16];
  Twofish_encrypt(&key_, reinterpret_cast<unsigned char*>(plain.Data()), cipher);
  String got;
  got.CopyData(reinterpret_cast<const char*>(cipher), 16);
  if (ToHex(got) != Upper(block["CT"])) {
    problem_ = "block function disagrees with vector " + twofishVector + ": " + ToHex(got);
  }
}

::testing::AssertionResult CheckedCipherKey::Check() const {
  if (problem_.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << problem_;
}

String CheckedCipherKey::Encrypt(const String& plain) {
  unsigned char reg[16];
  std::memset(reg, 0xFF, sizeof reg);
  Twofish_encrypt(&key_, reg, reg);
  String out;
  for (int i = 1; i <= plain.Length(); ++i) {
    unsigned char block[16];
    Twofish_encrypt(&key_, reg, block);
    const auto cipherByte = static_cast<unsigned char>(plain[i] ^ block[0]);
    std::memmove(reg, reg + 1, 15);
    reg[15] = cipherByte;
    out.AddChar(static_cast<char>(cipherByte));
  }
  return out;
}

}  // namespace prototest
