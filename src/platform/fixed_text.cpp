#include "platform/fixed_text.h"

namespace {

struct Sink {
  char* dst;
  size_t limit;  // characters that fit
  size_t length;
  bool overflow;

  void put(char c) {
    if (length == limit) {
      overflow = true;
      return;
    }
    dst[length++] = c;
  }
  void puts(const char* s) {
    while (*s != '\0' && !overflow) put(*s++);
  }
};

void PutUnsigned(Sink& sink, unsigned value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) sink.put(digits[--n]);
}

}  // namespace

int FormatBounded(char* dst, size_t dstBytes, const char* format, va_list args) {
  if (dstBytes == 0) return -1;
  Sink sink{dst, dstBytes - 1, 0, false};
  for (const char* p = format; !sink.overflow && *p != '\0'; ++p) {
    if (*p != '%') {
      sink.put(*p);
      continue;
    }
    ++p;
    switch (*p) {
      case 's': {
        const char* s = va_arg(args, const char*);
        sink.puts(s != nullptr ? s : "(null)");
        break;
      }
      case 'd': {
        int v = va_arg(args, int);
        // The magnitude of the smallest int fits an unsigned.
        unsigned magnitude = static_cast<unsigned>(v);
        if (v < 0) {
          sink.put('-');
          magnitude = 0u - magnitude;
        }
        PutUnsigned(sink, magnitude);
        break;
      }
      case 'u':
        PutUnsigned(sink, va_arg(args, unsigned int));
        break;
      case 'c':
        sink.put(static_cast<char>(va_arg(args, int)));
        break;
      case '%':
        sink.put('%');
        break;
      default:
        // Only the conversions above are part of the system's formats.
        sink.overflow = true;
        break;
    }
  }
  if (sink.overflow) {
    dst[0] = '\0';
    return -1;
  }
  dst[sink.length] = '\0';
  return static_cast<int>(sink.length);
}

int FormatInto(char* dst, size_t dstBytes, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatBounded(dst, dstBytes, format, args);
  va_end(args);
  return n;
}

const char* FindText(const char* text, const char* part) {
  for (const char* p = text;; ++p) {
    size_t i = 0;
    while (part[i] != '\0' && p[i] == part[i]) ++i;
    if (part[i] == '\0') return p;
    if (*p == '\0') return nullptr;
  }
}
