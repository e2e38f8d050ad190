// Fixed-capacity ANSI texts.
//
// FixedText<N> holds at most N characters and its terminator in N+1 bytes of
// its own storage, all zero when constructed. Nothing is ever written past
// that storage, and a text that does not fit is never cut into a shorter,
// valid-looking value (a cut path names another file, a cut command line
// drops its last property):
//   assign  - on overflow the text becomes empty;
//   append  - on overflow the text is left unchanged;
//   format  - printf-style (%s, %d, %u, %c, %%); on overflow the text becomes
//             empty. The arguments may be this text itself ("%s\\Qor\\" applied
//             to the text so far).
// Each returns true when the whole result fit.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into dst (dstBytes bytes including the terminator). Returns the
// length written, or -1 when the result would need more than dstBytes-1
// characters; dst then holds the empty text.
int FormatBounded(char* dst, size_t dstBytes, const char* format, va_list args);
int FormatInto(char* dst, size_t dstBytes, const char* format, ...);

// The first occurrence of `part` in `text`, compared byte for byte
// (case-sensitive), or null when there is none.
const char* FindText(const char* text, const char* part);

// The number of characters of `text` before its terminator, counting at
// most `capacity` of them (a text that fills its storage unterminated).
template <class Char>
size_t TextLength(const Char* text, size_t capacity = static_cast<size_t>(-1)) {
  size_t n = 0;
  while (n < capacity && text[n] != 0) ++n;
  return n;
}

template <size_t N>
class FixedText {
 public:
  static constexpr size_t kCapacity = N;     // characters, terminator excluded
  static constexpr size_t kBytes = N + 1;    // storage, terminator included

  // Zero-filled; constant-initialised as a global, so that no start-up code
  // has to run for it.
  constexpr FixedText() : text_{} {}
  FixedText(const FixedText&) = default;
  FixedText& operator=(const FixedText&) = default;

  char* data() { return text_; }
  const char* c_str() const { return text_; }
  size_t size() const { return TextLength(text_, N); }
  bool empty() const { return text_[0] == '\0'; }

  // Zero-fills the whole storage.
  void clear() {
    for (size_t i = 0; i < kBytes; ++i) text_[i] = '\0';
  }

  bool assign(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') {
      if (n == N) {
        clear();
        return false;
      }
      ++n;
    }
    for (size_t i = 0; i <= n; ++i) text_[i] = text[i];
    return true;
  }

  bool append(const char* text) {
    size_t have = size();
    size_t add = 0;
    while (text[add] != '\0') {
      if (have + add == N) return false;
      ++add;
    }
    for (size_t i = 0; i < add; ++i) text_[have + i] = text[i];
    text_[have + add] = '\0';
    return true;
  }

  bool format(const char* fmt, ...) {
    char result[kBytes];
    va_list args;
    va_start(args, fmt);
    int n = FormatBounded(result, kBytes, fmt, args);
    va_end(args);
    if (n < 0) {
      clear();
      return false;
    }
    for (int i = 0; i <= n; ++i) text_[i] = result[i];
    return true;
  }

 private:
  char text_[kBytes];
};

// The capacities the system uses (bytes, terminator included, in the names).
typedef FixedText<259> PathText;      // 260: the platform's MAX_PATH
typedef FixedText<1023> CommandText;  // 1024: command lines and option texts
typedef FixedText<511> StatusText;    // 512: the install status read-back
