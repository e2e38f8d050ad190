// The simulated machine's texts and memory: text lengths and comparisons,
// conversion from UTF-16 to the ANSI code page, the system's message texts
// (FormatMessageA) and the local allocations that hold them.
#include <cstdlib>
#include <cstring>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

char* LocalText(const std::string& text) {
  char* p = static_cast<char*>(std::calloc(text.size() + 1, 1));
  std::memcpy(p, text.data(), text.size());
  Machine().localAllocations.insert(p);
  return p;
}

}  // namespace sim::detail

// ---- kernel32: texts -----------------------------------------------------------------------------------------------

int WINAPI lstrlenA(LPCSTR text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

// Byte order; for the texts the system compares (ASCII letters, digits and
// full stops) it is the order the platform's word sort gives. As the
// platform does (CompareStringA with -1 lengths), both texts are measured to
// their terminators before they are compared, so a text without one is read
// beyond its buffer here too, where the sanitizers see it.
int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
  const char* x = a == nullptr ? "" : a;
  const char* y = b == nullptr ? "" : b;
  size_t lx = std::strlen(x), ly = std::strlen(y);
  int r = std::memcmp(x, y, lx < ly ? lx : ly);
  if (r == 0) r = lx < ly ? -1 : (lx > ly ? 1 : 0);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
  std::string x = Lower(a == nullptr ? "" : a), y = Lower(b == nullptr ? "" : b);
  int r = std::strcmp(x.c_str(), y.c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR out,
                               int outBytes, LPCSTR defaultChar, LPBOOL usedDefault) {
  Call c("WideCharToMultiByte", codePage, flags, wideCount, outBytes);
  if (c.faulted()) return 0;
  if (codePage != CP_ACP || (flags & ~WC_NO_BEST_FIT_CHARS) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Without WC_NO_BEST_FIT_CHARS a character the code page lacks may come
  // out as a look-alike of it, without a word ("best fit": "\u0142" as "l"),
  // and then names another file (WideCharToMultiByte, "Security
  // Considerations"). A few of 1252's best-fit mappings.
  const std::pair<char16_t, char> kBestFit[] = {{u'\u0141', 'L'}, {u'\u0142', 'l'}, {u'\u0107', 'c'},
                                                 {u'\u0119', 'e'}, {u'\u015B', 's'}, {u'\u017C', 'z'}};
  std::string converted;
  size_t n = 0;
  if (wideCount == -1) {
    while (wide[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(wideCount);
  }
  bool used = false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = wide[i];
    // The ANSI code page of the machine is 1252; its upper half matches
    // Latin-1 outside 0x80-0x9F. Anything else becomes the replacement.
    char fit = 0;
    for (const auto& [wide16, narrow] : kBestFit)
      if ((flags & WC_NO_BEST_FIT_CHARS) == 0 && c == wide16) fit = narrow;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      converted.push_back(static_cast<char>(c));
    } else if (fit != 0) {
      converted.push_back(fit);
    } else {
      converted.push_back(defaultChar != nullptr ? defaultChar[0] : '?');
      used = true;
    }
  }
  if (usedDefault != nullptr) *usedDefault = used;
  if (outBytes == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(outBytes)) {
    std::memcpy(out, converted.data(), static_cast<size_t>(outBytes));
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

// ---- kernel32: memory and system messages --------------------------------------------------------------------------

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  Call c("LocalAlloc", Hex(flags), bytes);
  if (c.faulted()) return nullptr;
  void* p = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                          : std::malloc(bytes == 0 ? 1 : bytes);
  Machine().localAllocations.insert(p);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  Call c("LocalFree");
  if (memory == nullptr) return nullptr;
  if (c.faulted()) return memory;
  if (Machine().localAllocations.erase(memory) == 0) {
    SetError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  return nullptr;
}

static const char* SystemText(DWORD code) {
  switch (code) {
    case 2: return "The system cannot find the file specified.\r\n";
    case 3: return "The system cannot find the path specified.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 29: return "The system cannot write to the specified device.\r\n";
    case 32: return "The process cannot access the file because it is being used by another process.\r\n";
    case 39: return "The disk is full.\r\n";
    case 87: return "The parameter is incorrect.\r\n";
    case 112: return "There is not enough space on the disk.\r\n";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.\r\n";
    case 206: return "The filename or extension is too long.\r\n";
    default: return nullptr;
  }
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                            DWORD size, void* arguments) {
  Call c("FormatMessageA", Hex(flags), messageId, Hex(languageId));
  (void)source;
  (void)size;
  (void)arguments;
  if (c.faulted()) return 0;
  const char* text = SystemText(messageId);
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0 ||
      text == nullptr) {
    SetError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  size_t n = std::strlen(text);
  char* p = static_cast<char*>(std::calloc(n + 1, 1));
  std::memcpy(p, text, n);
  Machine().localAllocations.insert(p);
  *reinterpret_cast<char**>(buffer) = p;
  return static_cast<DWORD>(n);
}

namespace sim {

int LiveLocalAllocations() {
  auto lock = LockMachine();
  return static_cast<int>(Machine().localAllocations.size());
}

}  // namespace sim
