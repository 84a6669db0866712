// The agent's own byte string and string list.
//
// `String` is a growable, length-counted byte string that may hold any byte,
// NUL included; it is NUL-terminated only on request (`SetZero`). All
// character positions are 1-based and 0 means "not found" or "none".
//
// Capacity policy: a growable string allocates in blocks, the capacity for n
// bytes being the next multiple of 128 strictly above n (n = 128 gives 256).
// A string built with `String(n)`, n > 0, has a fixed capacity of exactly n
// bytes and silently drops whatever does not fit. New memory is always zeroed.
//
// `TStrList` is an ordered list of byte strings with 0-based indices.
//
// A `String` or `TStrList` belongs to one thread at a time; nothing is locked.
#pragma once

#include <memory>
#include <vector>

// ASCII case mapping; bytes outside the letter ranges pass unchanged.
char UpCase(char c);
char LoCase(char c);
// In place up to the terminating NUL; return the argument.
char* strupper(char* s);
char* strlower(char* s);
// In place over exactly n bytes (NUL bytes do not stop them).
char* strupper(char* s, int n);
char* strlower(char* s, int n);

// True when every character before the NUL is a digit or '-' (the empty text
// and "--" qualify).
bool isdecimalnum(const char* s);
// True when the first n bytes are all digits ('-' not accepted; n = 0 is true).
bool isdecimalnum(const char* s, int n);

// 1-based position of the first occurrence of pat in text, exact bytes; 0 when
// a pointer is null, a length is 0 or the pattern does not occur.
int mempos(const char* text, int textLen, const char* pat, int patLen);
// The same, comparing bytes after LoCase.
int memposi(const char* text, int textLen, const char* pat, int patLen);

namespace jex {
// ASCII classification: letters and digits / digits only. Bytes 0x80-0xFF and
// -1 are neither. Kept in a namespace so they never meet the C library's own.
bool isalnum(int c);
bool isdigit(int c);
}  // namespace jex

class String {
 public:
  String() = default;
  String(const char* s);  // NOLINT: implicit on purpose, texts mix freely
  String(const String& other);
  String(String&& other) noexcept;
  // n = 0: an empty growable string; n > 0: fixed capacity of exactly n bytes.
  explicit String(int n);
  ~String() = default;

  String& operator=(const String& other);
  String& operator=(String&& other) noexcept;
  String& operator=(const char* s);

  int Length() const { return length_; }
  int Capacity() const { return capacity_; }
  bool IsFixed() const { return fixed_; }
  // The buffer; null when nothing is allocated.
  char* Data() { return buffer_.get(); }
  const char* Data() const { return buffer_.get(); }
  // The byte at 1-based position i (callers keep 1 <= i <= Length()).
  char operator[](int i) const { return buffer_[i - 1]; }

  // Replaces the contents by len bytes from p (len -1: up to the NUL).
  void CopyData(const char* p, int len);
  // Appends len bytes from p (len -1: up to the NUL); null p does nothing.
  void AddData(const char* p, int len);
  void AddChar(char c);

  String& operator+=(char c);
  String& operator+=(const char* s);
  String& operator+=(const String& s);
  String operator+(char c) const;
  String operator+(const char* s) const;
  String operator+(const String& s) const;

  bool operator==(const char* s) const;
  bool operator==(const String& s) const;
  bool operator!=(const char* s) const { return !(*this == s); }
  bool operator!=(const String& s) const { return !(*this == s); }

  int Pos(char ch) const;
  int Pos(const char* s, int len = -1) const;
  int Pos(const String& s) const;

  // Up to count bytes from position start (callers pass start >= 1).
  String Copy(int start, int count) const;
  void Delete(int start, int count);
  // Removes leading and trailing bytes whose signed value is at most 32.
  void Trim();
  // Collapses runs of ch to one; a run at the very start keeps two.
  void RemoveRepeats(char ch);
  // Every non-overlapping occurrence of what replaced by with, left to right.
  String ReplaceAll(const char* what, const char* with, int caseSensitive) const;
  // The index-th field (1-based; index <= 1 gives the first) split at sep.
  String GetWord(int index, char sep) const;
  // Position of the first occurrence of what; with wholeWord the bytes around
  // it must not be letters or digits.
  int Search(String what, int caseSensitive, int wholeWord) const;
  String& LowerCase();

  // Copies min(length, size - 1) bytes (all when size is -1) and a NUL.
  char* StrCpy(char* dst, int size) const;
  // Makes the buffer readable as a NUL-terminated text.
  String& SetZero();
  // Sets the length (and capacity by the policy); held bytes are kept.
  void SetLength(int n);

 private:
  // The one allocator: resizes the buffer following the capacity policy.
  void prAllocMem(int n);

  int length_ = 0;
  int capacity_ = 0;
  std::unique_ptr<char[]> buffer_;
  bool fixed_ = false;
};

// A copy of `text` readable as a NUL-terminated C string (Data() not null),
// for handing texts to the C library.
String Terminated(const String& text);

class TStrList {
 public:
  TStrList() = default;
  ~TStrList() { Clear(); }
  TStrList(const TStrList&) = default;
  TStrList& operator=(const TStrList&) = default;

  void Add(const String& s);
  int Count() const { return static_cast<int>(items_.size()); }
  // A copy of item i (0 <= i < Count(), else the process aborts).
  String operator[](int i) const;
  void Delete(int i);
  void DeleteLast() { Delete(Count() - 1); }
  void Clear();

 private:
  std::vector<String> items_;
};
