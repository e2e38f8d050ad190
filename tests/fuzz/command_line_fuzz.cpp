// Fuzzes the command-line splitter and the option parser with its silent
// defaults. The input is one command line (up to its first zero byte), split
// on a single-byte code page and, when it holds bytes above 0x80, also with
// the lead bytes that the simulated machine gives for 932 and for 936 (which
// 949 and 950 share).
//
// Checked for every input and code page, besides what the sanitizers catch:
//  - the split stays inside the vector's storage: arguments lie back to
//    back in its text, each terminated, in no more than the line's length
//    plus one bytes, and a line beyond the platform's limit is refused;
//  - the arguments are the ones a model of the runtime's rules gives, which
//    first reads the line as characters (a lead byte and the byte after it
//    are one) and then applies the rules to characters;
//  - quoting the split arguments again and splitting that gives them back;
//  - every option text stays within its capacity and terminated;
//  - the parse either accepts, with exactly the texts the rules give, or
//    refuses precisely when one of them would not fit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "platform/sim/machine.h"
#include "support/quote_argument.h"
#include "fuzz/require.h"

namespace {

using test::Quote;

using fuzz::Require;

template <size_t N>
void RequireWithin(const FixedText<N>& text, const char* what) {
  Require(std::memchr(text.c_str(), '\0', FixedText<N>::kBytes) != nullptr, what);
}

bool Has(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

std::string ValueOf(const std::string& arg) {
  size_t eq = arg.find('=');
  return eq == std::string::npos ? std::string() : arg.substr(eq + 1);
}

// What the rules give for the texts, without capacities.
struct Expected {
  bool silent = false;
  bool addLocalSeen = false;
  std::string runtimeDir, databaseDir, passThrough;
  bool folderTooLong = false;
};

Expected Model(const std::vector<std::string>& args) {
  Expected e;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (Has(a, "/lang=")) continue;
    if (a.compare(0, 3, "/v\"") == 0) {
      e.passThrough += " " + (a.size() > 3 ? a.substr(3, a.size() - 4) : std::string()) + " ";
    } else if (a.compare(0, 2, "/v") == 0) {
      e.passThrough += " " + a.substr(2) + " ";
    } else if (a == "/s") {
      e.silent = true;
    } else if (Has(a, "/INSTALLDIRPUBZLP=")) {
      e.runtimeDir = ValueOf(a);
      e.folderTooLong |= e.runtimeDir.size() > CommandText::kCapacity;
    } else if (Has(a, "/INSTALLDIRVESKDB=")) {
      e.databaseDir = ValueOf(a);
      e.folderTooLong |= e.databaseDir.size() > CommandText::kCapacity;
    } else {
      e.addLocalSeen |= Has(a, "ADDLOCAL=");
      e.passThrough += a + " ";
    }
  }
  return e;
}

// The runtime's splitting rules, applied to the line read as characters: a
// byte, or a lead byte and the byte after it as one value above 0xFFFF. Not
// instrumented for coverage: the splitter's own branches guide the fuzzing.
#define QMB_MODEL __attribute__((no_sanitize("coverage")))

struct Characters {
  std::vector<uint32_t> values;
  QMB_MODEL bool Is(size_t k, char c) const { return k < values.size() && values[k] == static_cast<uint32_t>(c); }
  QMB_MODEL bool Blank(size_t k) const { return Is(k, ' ') || Is(k, '\t'); }
  QMB_MODEL void Append(size_t k, std::string* text) const {
    if (values[k] > 0xFFFFu) text->push_back(static_cast<char>(values[k] >> 8 & 0xFFu));
    text->push_back(static_cast<char>(values[k] & 0xFFu));
  }
};

QMB_MODEL std::vector<std::string> ModelSplit(const std::string& line, const LeadByteTable* leadBytes) {
  Characters c;
  for (size_t i = 0; i < line.size(); ++i) {
    uint32_t v = static_cast<unsigned char>(line[i]);
    if (leadBytes != nullptr && leadBytes->lead[v] && i + 1 < line.size())
      v = 0x10000u | v << 8 | static_cast<unsigned char>(line[++i]);
    c.values.push_back(v);
  }
  const size_t n = c.values.size();

  std::vector<std::string> args(1);
  size_t k = 0;
  bool quoted = false;
  for (; k < n && (quoted || !c.Blank(k)); ++k) {
    if (c.Is(k, '"'))
      quoted = !quoted;
    else
      c.Append(k, &args[0]);
  }
  for (;;) {
    while (c.Blank(k)) ++k;
    if (k == n) break;
    std::string arg;
    quoted = false;
    while (k < n && (quoted || !c.Blank(k))) {
      size_t slashes = 0;
      while (c.Is(k + slashes, '\\')) ++slashes;
      if (!c.Is(k + slashes, '"')) {
        arg.append(slashes, '\\');
        k += slashes;
        if (slashes == 0) c.Append(k++, &arg);
        continue;
      }
      arg.append(slashes / 2, '\\');
      k += slashes;
      if (slashes % 2 == 1) {
        arg += '"';
        k += 1;
      } else if (quoted && c.Is(k + 1, '"')) {
        arg += '"';
        k += 2;
        quoted = false;
      } else {
        quoted = !quoted;
        k += 1;
      }
    }
    args.push_back(arg);
  }
  return args;
}

ArgumentVector g_split;
ArgumentVector g_again;

void CheckLine(const std::string& line, const LeadByteTable* leadBytes) {
  bool split = SplitCommandLine(line.c_str(), &g_split, leadBytes);
  if (line.size() > ArgumentVector::kMaxCommandLine) {
    Require(!split && g_split.count == 0, "an over-long line is refused");
    return;
  }
  Require(split, "a line within the limit splits");
  Require(g_split.count >= 1 && static_cast<size_t>(g_split.count) <= ArgumentVector::kMaxArguments,
          "argument count within the vector");
  Require(g_split.arguments[g_split.count] == nullptr, "vector ends with null");

  std::vector<std::string> args;
  const char* next = g_split.text;
  for (int i = 0; i < g_split.count; ++i) {
    Require(g_split.arguments[i] == next, "arguments lie back to back");
    size_t left = sizeof g_split.text - static_cast<size_t>(next - g_split.text);
    const void* end = std::memchr(next, '\0', left);
    Require(end != nullptr, "argument terminated inside the text");
    args.emplace_back(next);
    next = static_cast<const char*>(end) + 1;
  }
  Require(static_cast<size_t>(next - g_split.text) <= line.size() + 1, "split no longer than the line");
  Require(args == ModelSplit(line, leadBytes), "arguments as the runtime's rules give them");

  std::string quoted = "p";
  for (size_t i = 1; i < args.size(); ++i) quoted += " " + Quote(args[i], leadBytes);
  if (quoted.size() <= ArgumentVector::kMaxCommandLine) {
    Require(SplitCommandLine(quoted.c_str(), &g_again, leadBytes), "quoted line splits");
    Require(static_cast<size_t>(g_again.count) == args.size(), "quoted line gives the same count");
    for (size_t i = 1; i < args.size(); ++i) Require(args[i] == g_again.arguments[i], "quoted argument comes back");
  }

  InstallOptions options;
  PassThroughArgs passThrough;
  bool parsed = ParseCommandLine(g_split.count, g_split.arguments, &options, &passThrough);
  RequireWithin(passThrough, "pass-through text terminated");
  RequireWithin(options.runtimeInstallDir, "runtime folder terminated");
  RequireWithin(options.databaseInstallDir, "database folder terminated");
  Require(options.language == 1033 || options.language == 1041 || options.language == 2052,
          "language is one the policy accepts");

  Expected e = Model(args);
  bool fits = !e.folderTooLong && e.passThrough.size() <= PassThroughArgs::kCapacity;
  Require(parsed == fits, "parse refuses exactly when a text would not fit");
  if (!parsed) return;
  Require(passThrough.c_str() == e.passThrough, "pass-through text as the rules give it");
  Require(options.runtimeInstallDir.c_str() == e.runtimeDir, "runtime folder as the rules give it");
  Require(options.databaseInstallDir.c_str() == e.databaseDir, "database folder as the rules give it");
  Require(options.silent == e.silent && options.addLocalSeen == e.addLocalSeen, "flags as the rules give them");

  std::string withDefaults = e.passThrough;
  if (e.silent && !Has(withDefaults, "/qn")) withDefaults += " /qn";
  bool qnFits = withDefaults.size() <= PassThroughArgs::kCapacity;
  if (e.silent && !e.addLocalSeen) withDefaults += " ADDLOCAL=PubliczlpFeature,ToolsFeature";
  bool applied = ApplySilentDefaults(options, &passThrough);
  RequireWithin(passThrough, "pass-through text terminated after the defaults");
  Require(applied == (withDefaults.size() <= PassThroughArgs::kCapacity), "defaults refused exactly on overflow");
  if (applied) Require(passThrough.c_str() == withDefaults, "defaults as the rules give them");
  if (!applied && !qnFits) Require(passThrough.c_str() == e.passThrough, "a refused /qn leaves the text alone");
}

// The lead bytes of a code page as the simulated machine answers them.
LeadByteTable LeadBytesOf(UINT codePage) {
  sim::SetCodePage(codePage);
  LeadByteTable table;
  ReadLeadBytes(&table);
  sim::ClearCalls();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const LeadByteTable kJapanese = LeadBytesOf(932);
  static const LeadByteTable kChinese = LeadBytesOf(936);
  std::string line(reinterpret_cast<const char*>(data), size);
  line.resize(std::strlen(line.c_str()));
  CheckLine(line, nullptr);
  // Lead bytes lie above 0x80: a line without such bytes splits alike on every code page.
  bool high = false;
  for (char c : line) high |= static_cast<unsigned char>(c) > 0x80;
  if (high) {
    CheckLine(line, &kJapanese);
    CheckLine(line, &kChinese);
  }
  return 0;
}
