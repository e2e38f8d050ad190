// Quoting an argument the way a caller must for the command-line splitting
// rules (every quote escaped, backslashes doubled before a quote or the
// closing quote), so that splitting gives the argument back unchanged.
#pragma once

#include <string>

namespace test {

inline std::string Quote(const std::string& arg) {
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}

}  // namespace test
