// Quoting an argument the way a caller must for the command-line splitting
// rules (every quote escaped, backslashes doubled before a quote or the
// closing quote), so that splitting gives the argument back unchanged. On a
// code page with lead bytes, a lead byte and the byte after it are one
// character, never a backslash or a quote.
#pragma once

#include <string>

#include "driver/command_line.h"

namespace test {

// An argument that ends in a lead byte without its second byte (only the
// last argument of a line can) is left without its closing quote, which
// that byte would take as its second.
inline std::string Quote(const std::string& arg, const LeadByteTable* leadBytes = nullptr) {
  std::string out = "\"";
  size_t slashes = 0;
  for (size_t i = 0; i < arg.size(); ++i) {
    char c = arg[i];
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
    if (leadBytes != nullptr && leadBytes->lead[static_cast<unsigned char>(c)]) {
      if (i + 1 == arg.size()) return out;
      out += arg[++i];
    }
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}

}  // namespace test
