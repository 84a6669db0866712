// IP access filter: address-list parsing and the admission check (see ipfilter.h).
#include "net/ipfilter.h"

#include <arpa/inet.h>

#include <string>

namespace {

// 1-based position of the first comma or hyphen at or after position from; 0
// when the text ends first.
int FindItemSeparator(const String& work, int from) {
  for (int i = from; i <= work.Length(); ++i) {
    if (work[i] == ',' || work[i] == '-') return i;
  }
  return 0;
}

// The text from position first up to (not including) position end, or to the
// end of work when end is 0.
String TextUpTo(const String& work, int first, int end) {
  const int stop = end != 0 ? end : work.Length() + 1;
  return work.Copy(first, stop - first);
}

// Converts a dotted address; false when the system does not accept it.
bool ConvertAddress(const String& text, unsigned int& hostOrder) {
  const std::string terminated(text.Data() != nullptr ? text.Data() : "",
                               static_cast<size_t>(text.Length()));
  const in_addr_t address = inet_addr(terminated.c_str());
  if (address == INADDR_NONE) return false;
  hostOrder = ntohl(address);
  return true;
}

String InvalidAddressMessage(const String& text) {
  return String("Invalid IP address (") + text + ") specified";
}

String ListSetCharactersOf(const String& list) {
  String kept;
  for (int i = 1; i <= list.Length(); ++i) {
    if (islistsetchar(list[i])) kept.AddChar(list[i]);
  }
  return kept;
}

// 1-based position of the first character outside the list set, or 0.
int FirstIllegalCharacter(const String& list) {
  for (int i = 1; i <= list.Length(); ++i) {
    if (!islistsetchar(list[i])) return i;
  }
  return 0;
}

bool ItemAdmits(unsigned int low, unsigned int high, unsigned int peer) {
  if (high == 0) return peer == low;
  if (low <= high) return low <= peer && peer <= high;
  return high <= peer && peer <= low;
}

}  // namespace

int islistsetchar(char c) {
  return ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == ',') ? 1 : 0;
}

void getitem(String& work, unsigned int& low, unsigned int& high, String& error) {
  low = 0;
  high = 0;
  int first = 1;
  while (first <= work.Length() && !jex::isdigit(static_cast<unsigned char>(work[first]))) ++first;
  if (first > work.Length()) return;

  int end = FindItemSeparator(work, first);
  const String firstText = TextUpTo(work, first, end);
  if (!ConvertAddress(firstText, low)) {
    low = 0;
    error = InvalidAddressMessage(firstText);
    return;
  }
  if (end != 0 && work[end] == '-' && end < work.Length()) {
    const int secondEnd = FindItemSeparator(work, end + 1);
    const String secondText = TextUpTo(work, end + 1, secondEnd);
    if (!ConvertAddress(secondText, high)) {
      high = 0;
      error = InvalidAddressMessage(secondText);
    }
    end = secondEnd;
  }
  if (end != 0) {
    work.Delete(1, end);
  } else {
    work = "";
  }
}

int IPAllowed(unsigned int ip, const String& list, String& error) {
  error = "";
  const unsigned int peer = ntohl(ip);
  String work = ListSetCharactersOf(list);
  int admitted = 0;
  while (admitted == 0) {
    unsigned int low = 0;
    unsigned int high = 0;
    String itemError;
    getitem(work, low, high, itemError);
    if (error.Length() == 0) error = itemError;  // keep the first problem only
    if (low == 0) break;
    admitted = ItemAdmits(low, high, peer) ? 1 : 0;
  }
  if (error.Length() == 0) {
    const int illegal = FirstIllegalCharacter(list);
    if (illegal != 0) error = String("Illegal character (") + list[illegal] + ") specified";
  }
  return admitted;
}
