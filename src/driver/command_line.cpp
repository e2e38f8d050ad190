#include "driver/command_line.h"

#include <cstdint>

#include "driver/language.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// A lead byte with a byte after it: the two are one character.
bool StartsPair(const char* p, const LeadByteTable* leadBytes) {
  return leadBytes != nullptr && leadBytes->lead[static_cast<unsigned char>(*p)] && p[1] != '\0';
}

bool Contains(const char* text, const char* needle) { return FindText(text, needle) != nullptr; }

bool StartsWith(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}


// The text after the first "=" of the whole argument (the empty text when
// there is none; every argument that reaches here has one).
const char* ValueOf(const char* argument) {
  while (*argument != '\0' && *argument != '=') ++argument;
  return *argument == '=' ? argument + 1 : argument;
}

// Reads a decimal number as the C runtime's atoi does: leading white space,
// an optional sign, digits up to the first other character, 0 without
// digits. Only the low 16 bits are kept; unsigned arithmetic modulo 2^32
// leaves them exact however many digits follow.
LANGID ReadLanguageValue(const char* text) {
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\v' || *text == '\f' || *text == '\r') {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + static_cast<uint32_t>(*text - '0');
  if (negative) value = 0u - value;
  return static_cast<LANGID>(value & 0xFFFFu);
}

// Appends lead, the n characters at begin, and trail as one piece, or
// nothing when the piece does not fit.
bool AppendPiece(PassThroughArgs* text, const char* lead, const char* begin, size_t n, const char* trail) {
  size_t have = text->size();
  size_t leadLength = TextLength(lead);
  size_t trailLength = TextLength(trail);
  size_t room = PassThroughArgs::kCapacity - have;
  if (leadLength > room || n > room - leadLength || trailLength > room - leadLength - n) return false;
  char* out = text->data() + have;
  for (size_t i = 0; i < leadLength; ++i) *out++ = lead[i];
  for (size_t i = 0; i < n; ++i) *out++ = begin[i];
  for (size_t i = 0; i < trailLength; ++i) *out++ = trail[i];
  *out = '\0';
  return true;
}

// Replaces a folder text by the value, or leaves it alone when the value
// does not fit (assign would empty it).
bool SetFolder(CommandText* folder, const char* value) {
  if (TextLength(value) > CommandText::kCapacity) return false;
  return folder->assign(value);
}

bool ParseArgument(const char* argument, InstallOptions* options, PassThroughArgs* passThrough) {
  if (Contains(argument, "/lang=")) {
    LANGID language = ReadLanguageValue(ValueOf(argument));
    if (IsAcceptedLanguage(language)) options->language = language;
    return true;
  }
  if (StartsWith(argument, "/v\"")) {
    // The last character goes whatever it is. In "/v\"" alone that is the
    // prefix's own quote, and the payload is empty.
    size_t length = TextLength(argument);
    return AppendPiece(passThrough, " ", argument + 3, length > 3 ? length - 4 : 0, " ");
  }
  if (StartsWith(argument, "/v")) {
    return AppendPiece(passThrough, " ", argument + 2, TextLength(argument) - 2, " ");
  }
  if (argument[0] == '/' && argument[1] == 's' && argument[2] == '\0') {
    options->silent = true;
    return true;
  }
  if (Contains(argument, "/INSTALLDIRPUBZLP=")) return SetFolder(&options->runtimeInstallDir, ValueOf(argument));
  if (Contains(argument, "/INSTALLDIRVESKDB=")) return SetFolder(&options->databaseInstallDir, ValueOf(argument));

  if (!AppendPiece(passThrough, "", argument, TextLength(argument), " ")) return false;
  if (Contains(argument, "ADDLOCAL=")) options->addLocalSeen = true;
  return true;
}

// Split storage for the run; the platform's line is read once, on the main
// thread.
ArgumentVector g_runArguments;

}  // namespace

void ReadLeadBytes(LeadByteTable* table) {
  for (int b = 0; b < 256; ++b) table->lead[b] = IsDBCSLeadByte(static_cast<BYTE>(b)) != FALSE;
}

bool SplitCommandLine(const char* commandLine, ArgumentVector* out, const LeadByteTable* leadBytes) {
  out->count = 0;
  out->arguments[0] = nullptr;
  out->text[0] = '\0';
  const char* p = commandLine != nullptr ? commandLine : "";
  for (size_t n = 0; p[n] != '\0'; ++n) {
    if (n == ArgumentVector::kMaxCommandLine) return false;
  }

  char* text = out->text;
  size_t w = 0;  // bytes of text used; bounded by the line's length plus one (see the header)
  int count = 0;

  // Element 0: quotes group, nothing escapes.
  out->arguments[count++] = text;
  bool quoted = false;
  for (; *p != '\0' && (quoted || !IsSeparator(*p)); ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else {
      if (StartsPair(p, leadBytes)) text[w++] = *p++;
      text[w++] = *p;
    }
  }
  text[w++] = '\0';

  for (;;) {
    while (IsSeparator(*p)) ++p;
    if (*p == '\0') break;
    out->arguments[count++] = text + w;
    quoted = false;
    while (*p != '\0' && (quoted || !IsSeparator(*p))) {
      if (*p == '\\') {
        size_t slashes = 0;
        while (p[slashes] == '\\') ++slashes;
        if (p[slashes] != '"') {
          for (size_t i = 0; i < slashes; ++i) text[w++] = '\\';
          p += slashes;
          continue;
        }
        for (size_t i = 0; i < slashes / 2; ++i) text[w++] = '\\';
        p += slashes;
        if (slashes % 2 == 1) {
          text[w++] = '"';
          ++p;
          continue;
        }
        // An even run: the quote that follows is a quoting mark.
      }
      if (*p == '"') {
        if (quoted && p[1] == '"') {
          text[w++] = '"';
          p += 2;
          quoted = false;
        } else {
          quoted = !quoted;
          ++p;
        }
        continue;
      }
      if (StartsPair(p, leadBytes)) text[w++] = *p++;
      text[w++] = *p++;
    }
    text[w++] = '\0';
  }

  out->arguments[count] = nullptr;
  out->count = count;
  return true;
}

bool ParseCommandLine(int count, const char* const* arguments, InstallOptions* options,
                      PassThroughArgs* passThrough) {
  for (int i = 1; i < count; ++i) {
    if (!ParseArgument(arguments[i], options, passThrough)) return false;
  }
  return true;
}

bool ApplySilentDefaults(const InstallOptions& options, PassThroughArgs* passThrough) {
  if (!options.silent) return true;
  if (!Contains(passThrough->c_str(), "/qn") && !passThrough->append(" /qn")) return false;
  if (!options.addLocalSeen && !passThrough->append(" ADDLOCAL=PubliczlpFeature,ToolsFeature")) return false;
  return true;
}

bool ReadInstallOptions(InstallOptions* options, PassThroughArgs* passThrough) {
  options->language = DefaultInstallLanguage();
  options->silent = false;
  options->addLocalSeen = false;
  options->runtimeInstallDir.clear();
  options->databaseInstallDir.clear();
  passThrough->clear();
  LeadByteTable leadBytes;
  ReadLeadBytes(&leadBytes);
  if (!SplitCommandLine(GetCommandLineA(), &g_runArguments, &leadBytes)) return false;
  return ParseCommandLine(g_runArguments.count, g_runArguments.arguments, options, passThrough);
}
