// Helpers shared by the machine-state tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace state_test {

// The bytes of a literal exactly as written, embedded zeros included and the
// literal's own terminator left out: Bytes("abc") is three bytes,
// Bytes("abc\0") four.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// A heap buffer of exactly `size` bytes, filled with `fill`, so that the
// address sanitizer reports any read or write beyond it.
struct ExactBuffer {
  // A size of 0 is a valid allocation of which no byte may be touched.
  explicit ExactBuffer(size_t size, char fill = 'Z') : size(size), data(new char[size]) {
    for (size_t i = 0; i < size; ++i) data[i] = fill;
  }
  std::string Prefix(size_t n) const { return std::string(data.get(), n < size ? n : size); }
  size_t size;
  std::unique_ptr<char[]> data;
};

// The first argument of a recorded call, such as the handle of
// "RegCloseKey(0x2004)".
inline std::string FirstArgument(const std::string& call) {
  size_t open = call.find('(');
  size_t end = call.find_first_of(",)", open);
  return call.substr(open + 1, end - open - 1);
}

// A handle as the call record writes it ("0x2004").
inline std::string HandleText(HKEY key) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(key)));
  return text;
}

// The registry calls recorded so far, with the key handle that each one
// starts with named "HKLM" for the predefined root and "k1", "k2", ... for the
// opened keys in the order in which they first appear. So a read through a
// key opened below another reads
//   RegOpenKeyExA(HKLM, Software, 0, 0x20019)
//   RegOpenKeyExA(k1, Morvanta, 0, 0x20019)
//   RegQueryValueExA(k2, ...)
// whatever numbers the machine handed out.
inline std::vector<std::string> RegistryCalls() {
  std::vector<std::string> out;
  std::map<std::string, std::string> names;
  for (const std::string& call : sim::CallsStartingWith("Reg")) {
    std::string handle = FirstArgument(call);
    std::string name;
    if (handle == "0x80000002") {
      name = "HKLM";
    } else {
      auto it = names.find(handle);
      if (it == names.end()) it = names.emplace(handle, "k" + std::to_string(names.size() + 1)).first;
      name = it->second;
    }
    size_t open = call.find('(');
    out.push_back(call.substr(0, open + 1) + name + call.substr(open + 1 + handle.size()));
  }
  return out;
}

}  // namespace state_test
