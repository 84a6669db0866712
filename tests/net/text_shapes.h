// Shape checks of reply texts and syslog datagrams for the exchange, network
// handler and end-to-end tests, without regular expressions.
#pragma once

#include <cctype>
#include <optional>
#include <string>

namespace jextest {

// text has the length of shape and fits it character by character: 'A' an
// upper-case letter, 'a' a lower-case one, '9' a digit, '_' a digit or a
// space; any other shape character stands for itself.
inline bool FitsShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (shape[i]) {
      case 'A':
        if (!std::isupper(c)) return false;
        break;
      case 'a':
        if (!std::islower(c)) return false;
        break;
      case '9':
        if (!std::isdigit(c)) return false;
        break;
      case '_':
        if (c != ' ' && !std::isdigit(c)) return false;
        break;
      default:
        if (text[i] != shape[i]) return false;
    }
  }
  return true;
}

constexpr const char* kSyslogStampShape = "Aaa _9 99:99:99";

// "<priority>" + time stamp + " " + address + " " + rest.
inline bool IsSyslogDatagram(const std::string& datagram, const std::string& priority,
                             const std::string& address, const std::string& rest) {
  const std::string head = "<" + priority + ">";
  const size_t stamp = std::string(kSyslogStampShape).size();
  const std::string tail = " " + address + " " + rest;
  return datagram.size() == head.size() + stamp + tail.size() && datagram.rfind(head, 0) == 0 &&
         FitsShape(datagram.substr(head.size(), stamp), kSyslogStampShape) &&
         datagram.compare(head.size() + stamp, std::string::npos, tail) == 0;
}

// The value of a reply "200", LF, a whole number of milliseconds, LF, value, LF.
inline std::optional<std::string> TimedAnswerValue(const std::string& reply) {
  if (reply.rfind("200\n", 0) != 0 || reply.empty() || reply.back() != '\n') return std::nullopt;
  size_t at = 4;
  const size_t digits = at;
  while (at < reply.size() && std::isdigit(static_cast<unsigned char>(reply[at]))) ++at;
  if (at == digits || at >= reply.size() || reply[at] != '\n') return std::nullopt;
  const std::string value = reply.substr(at + 1, reply.size() - at - 2);
  if (value.find('\n') != std::string::npos) return std::nullopt;
  return value;
}

}  // namespace jextest
