// String, TStrList and the ASCII helpers underneath them (see tqstring.h).
#include "foundation/tqstring.h"

#include <cstring>
#include <utility>

#include "foundation/assertion.h"

char UpCase(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
char LoCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

char* strupper(char* s) {
  for (char* p = s; p && *p; ++p) *p = UpCase(*p);
  return s;
}

char* strlower(char* s) {
  for (char* p = s; p && *p; ++p) *p = LoCase(*p);
  return s;
}

char* strupper(char* s, int n) {
  for (int i = 0; s && i < n; ++i) s[i] = UpCase(s[i]);
  return s;
}

char* strlower(char* s, int n) {
  for (int i = 0; s && i < n; ++i) s[i] = LoCase(s[i]);
  return s;
}

bool isdecimalnum(const char* s) {
  for (const char* p = s; p && *p; ++p) {
    if (!jex::isdigit(static_cast<unsigned char>(*p)) && *p != '-') return false;
  }
  return true;
}

bool isdecimalnum(const char* s, int n) {
  for (int i = 0; i < n; ++i) {
    if (!jex::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

namespace {

template <typename Equal>
int FindPattern(const char* text, int textLen, const char* pat, int patLen, Equal equal) {
  if (!text || !pat || textLen <= 0 || patLen <= 0) return 0;
  for (int start = 0; start <= textLen - patLen; ++start) {
    int i = 0;
    while (i < patLen && equal(text[start + i], pat[i])) ++i;
    if (i == patLen) return start + 1;
  }
  return 0;
}

}  // namespace

int mempos(const char* text, int textLen, const char* pat, int patLen) {
  if (!text || !pat || textLen <= 0 || patLen <= 0 || patLen > textLen) return 0;
  // memchr/memcmp do the exact search; the first byte narrows the candidates.
  const char* end = text + (textLen - patLen) + 1;
  for (const char* p = text; p < end;) {
    const void* hit = std::memchr(p, pat[0], static_cast<size_t>(end - p));
    if (!hit) return 0;
    const char* candidate = static_cast<const char*>(hit);
    if (std::memcmp(candidate, pat, static_cast<size_t>(patLen)) == 0) {
      return static_cast<int>(candidate - text) + 1;
    }
    p = candidate + 1;
  }
  return 0;
}

int memposi(const char* text, int textLen, const char* pat, int patLen) {
  return FindPattern(text, textLen, pat, patLen,
                     [](char a, char b) { return LoCase(a) == LoCase(b); });
}

namespace jex {

bool isalnum(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isdigit(int c) {
  return c >= '0' && c <= '9';
}

}  // namespace jex

// ---------------------------------------------------------------------------
// String

String::String(const char* s) {
  CopyData(s, -1);
}

String::String(const String& other) {
  CopyData(other.Data(), other.length_);
}

String::String(String&& other) noexcept
    : length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      buffer_(std::move(other.buffer_)),
      fixed_(std::exchange(other.fixed_, false)) {}

String::String(int n) {
  if (n > 0) {
    fixed_ = true;
    prAllocMem(n);
  }
}

String& String::operator=(const String& other) {
  CopyData(other.Data(), other.length_);
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (this != &other) {
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    buffer_ = std::move(other.buffer_);
    fixed_ = std::exchange(other.fixed_, false);
  }
  return *this;
}

String& String::operator=(const char* s) {
  CopyData(s, -1);
  return *this;
}

void String::prAllocMem(int n) {
  if (n <= 0) {
    buffer_.reset();
    capacity_ = 0;
    fixed_ = false;
    return;
  }
  const int newCapacity = fixed_ ? n : (n / 128 + 1) * 128;
  if (newCapacity == capacity_ && buffer_) return;
  auto fresh = std::make_unique<char[]>(static_cast<size_t>(newCapacity));  // zero-filled
  if (buffer_) {
    const int keep = capacity_ < newCapacity ? capacity_ : newCapacity;
    std::memcpy(fresh.get(), buffer_.get(), static_cast<size_t>(keep));
  }
  buffer_ = std::move(fresh);
  capacity_ = newCapacity;
  if (length_ > capacity_) length_ = capacity_;
}

void String::CopyData(const char* p, int len) {
  if (p && p == buffer_.get()) return;
  if (p && len < 0) len = static_cast<int>(std::strlen(p));
  if (!p || len <= 0) {
    length_ = 0;
    prAllocMem(0);
    return;
  }
  // A source inside our own buffer must survive a reallocation.
  std::unique_ptr<char[]> keepAlive;
  if (buffer_ && p > buffer_.get() && p < buffer_.get() + capacity_) {
    keepAlive = std::make_unique<char[]>(static_cast<size_t>(len));
    std::memcpy(keepAlive.get(), p, static_cast<size_t>(len));
    p = keepAlive.get();
  }
  if (len > capacity_) {
    if (fixed_) {
      len = capacity_;
    } else {
      length_ = 0;
      prAllocMem(len);
    }
  }
  std::memmove(buffer_.get(), p, static_cast<size_t>(len));
  length_ = len;
}

void String::AddData(const char* p, int len) {
  if (!p) return;
  if (len < 0) len = static_cast<int>(std::strlen(p));
  if (len == 0) return;
  const bool inside = buffer_ && p >= buffer_.get() && p < buffer_.get() + capacity_;
  const long offset = inside ? p - buffer_.get() : 0;
  if (length_ + len > capacity_) {
    if (fixed_) {
      len = capacity_ - length_;
      if (len <= 0) return;
    } else {
      prAllocMem(length_ + len);
      if (inside) p = buffer_.get() + offset;
    }
  }
  std::memmove(buffer_.get() + length_, p, static_cast<size_t>(len));
  length_ += len;
}

void String::AddChar(char c) {
  if (length_ + 1 > capacity_) {
    if (fixed_) return;
    prAllocMem(length_ + 1);
  }
  buffer_[length_++] = c;
}

String& String::operator+=(char c) {
  AddChar(c);
  return *this;
}

String& String::operator+=(const char* s) {
  AddData(s, -1);
  return *this;
}

String& String::operator+=(const String& s) {
  AddData(s.Data(), s.length_);
  return *this;
}

String String::operator+(char c) const {
  String result;
  result.AddData(Data(), length_);
  result.AddChar(c);
  return result;
}

String String::operator+(const char* s) const {
  String result;
  result.AddData(Data(), length_);
  result.AddData(s, -1);
  return result;
}

String String::operator+(const String& s) const {
  String result;
  result.AddData(Data(), length_);
  result.AddData(s.Data(), s.length_);
  return result;
}

bool String::operator==(const char* s) const {
  if (!s) return length_ == 0;
  const size_t n = std::strlen(s);
  if (n != static_cast<size_t>(length_)) return false;
  return n == 0 || std::memcmp(buffer_.get(), s, n) == 0;
}

bool String::operator==(const String& s) const {
  if (length_ != s.length_) return false;
  return length_ == 0 ||
         std::memcmp(buffer_.get(), s.buffer_.get(), static_cast<size_t>(length_)) == 0;
}

int String::Pos(char ch) const {
  if (length_ == 0) return 0;
  const void* hit = std::memchr(buffer_.get(), ch, static_cast<size_t>(length_));
  return hit ? static_cast<int>(static_cast<const char*>(hit) - buffer_.get()) + 1 : 0;
}

int String::Pos(const char* s, int len) const {
  if (length_ == 0 || !s) return 0;
  if (len < 0) len = static_cast<int>(std::strlen(s));
  return mempos(buffer_.get(), length_, s, len);
}

int String::Pos(const String& s) const {
  return Pos(s.Data() ? s.Data() : "", s.length_);
}

String String::Copy(int start, int count) const {
  String result;
  if (start < 1 || count < 1) return result;
  // Compared as "count > room" so that a huge count (callers pass INT_MAX for
  // "the rest") cannot overflow start + count.
  if (count > length_ - start + 1) count = length_ - start + 1;
  if (count < 1) return result;
  result.AddData(buffer_.get() + start - 1, count);
  return result;
}

void String::Delete(int start, int count) {
  if (start < 1 || count < 1 || start > length_) return;
  if (count > length_ - start + 1) count = length_ - start + 1;
  char* at = buffer_.get() + start - 1;
  std::memmove(at, at + count, static_cast<size_t>(length_ - (start - 1) - count));
  length_ -= count;
  std::memset(buffer_.get() + length_, 0, static_cast<size_t>(count));
}

namespace {
bool IsBlank(char c) {
  return static_cast<signed char>(c) <= 32;
}
}  // namespace

void String::Trim() {
  int first = 0;
  while (first < length_ && IsBlank(buffer_[first])) ++first;
  if (first == length_) {
    length_ = 0;
    prAllocMem(0);
    return;
  }
  int last = length_ - 1;
  while (last > first && IsBlank(buffer_[last])) --last;
  const int kept = last - first + 1;
  if (first > 0) std::memmove(buffer_.get(), buffer_.get() + first, static_cast<size_t>(kept));
  std::memset(buffer_.get() + kept, 0, static_cast<size_t>(length_ - kept));
  length_ = kept;
}

void String::RemoveRepeats(char ch) {
  if (length_ == 0) return;
  // The first byte is kept unexamined, so a leading run collapses to two.
  int out = 1;
  for (int i = 1; i < length_; ++i) {
    if (i >= 2 && buffer_[i] == ch && buffer_[i - 1] == ch) continue;
    buffer_[out++] = buffer_[i];
  }
  std::memset(buffer_.get() + out, 0, static_cast<size_t>(length_ - out));
  length_ = out;
}

String String::ReplaceAll(const char* what, const char* with, int caseSensitive) const {
  String result;
  const int whatLen = what ? static_cast<int>(std::strlen(what)) : 0;
  if (whatLen == 0) {
    result.AddData(Data(), length_);
    return result;
  }
  int at = 0;
  while (at < length_) {
    const char* rest = buffer_.get() + at;
    const int found = caseSensitive ? mempos(rest, length_ - at, what, whatLen)
                                    : memposi(rest, length_ - at, what, whatLen);
    if (found == 0) break;
    result.AddData(rest, found - 1);
    result.AddData(with, -1);
    at += found - 1 + whatLen;
  }
  if (at < length_) result.AddData(buffer_.get() + at, length_ - at);
  return result;
}

String String::GetWord(int index, char sep) const {
  if (index < 1) index = 1;
  int field = 1;
  int start = 0;
  for (int i = 0; i < length_ && field < index; ++i) {
    if (buffer_[i] == sep) {
      ++field;
      start = i + 1;
    }
  }
  String result;
  if (field < index) return result;
  int end = start;
  while (end < length_ && buffer_[end] != sep) ++end;
  result.AddData(buffer_.get() + start, end - start);
  return result;
}

int String::Search(String what, int caseSensitive, int wholeWord) const {
  if (what.length_ == 0 || length_ == 0) return 0;
  String text(*this);
  if (!caseSensitive) {
    text.LowerCase();
    what.LowerCase();
  }
  const char* t = text.Data();
  int from = 0;
  while (from < length_) {
    const int found = mempos(t + from, length_ - from, what.Data(), what.length_);
    if (found == 0) return 0;
    const int pos = from + found;  // 1-based
    if (!wholeWord) return pos;
    const bool clearBefore = pos == 1 || !jex::isalnum(static_cast<unsigned char>(t[pos - 2]));
    const int after = pos - 1 + what.length_;  // 0-based index of the byte after
    const bool clearAfter = after >= length_ || !jex::isalnum(static_cast<unsigned char>(t[after]));
    if (clearBefore && clearAfter) return pos;
    from = pos;  // overlapping candidates are tried too
  }
  return 0;
}

String& String::LowerCase() {
  strlower(buffer_.get(), length_);
  return *this;
}

char* String::StrCpy(char* dst, int size) const {
  if (!dst || size == 0 || length_ == 0) return dst;
  int n = length_;
  if (size != -1 && n > size - 1) n = size - 1;
  if (n > 0) std::memcpy(dst, buffer_.get(), static_cast<size_t>(n));
  dst[n < 0 ? 0 : n] = '\0';
  return dst;
}

String& String::SetZero() {
  if (length_ == capacity_) prAllocMem(capacity_ + 128);
  std::memset(buffer_.get() + length_, 0, static_cast<size_t>(capacity_ - length_));
  return *this;
}

void String::SetLength(int n) {
  if (n < 0) n = 0;
  prAllocMem(n);
  length_ = n <= capacity_ ? n : capacity_;
}

String Terminated(const String& text) {
  String copy(text);
  copy.SetZero();
  return copy;
}

// ---------------------------------------------------------------------------
// TStrList

void TStrList::Add(const String& s) {
  if (items_.size() == items_.capacity()) items_.reserve((items_.size() + 1) / 128 * 128 + 128);
  items_.push_back(s);
}

String TStrList::operator[](int i) const {
  JEX_ASSERT(i >= 0 && i < Count(), "0", "tqstring", "operator[]", 495);
  return items_[static_cast<size_t>(i)];
}

void TStrList::Delete(int i) {
  JEX_ASSERT(i >= 0 && i < Count(), "0", "tqstring", "Delete", 471);
  items_.erase(items_.begin() + i);
}

void TStrList::Clear() {
  items_.clear();
  items_.shrink_to_fit();
}
