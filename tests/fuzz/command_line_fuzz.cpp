// Fuzzes the command-line splitter and the option parser with its silent
// defaults. The input is one command line (up to its first zero byte).
//
// Checked for every input, besides what the sanitizers catch:
//  - the split stays inside the vector's storage: arguments lie back to
//    back in its text, each terminated, in no more than the line's length
//    plus one bytes, and a line beyond the platform's limit is refused;
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

ArgumentVector g_split;
ArgumentVector g_again;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  line.resize(std::strlen(line.c_str()));

  bool split = SplitCommandLine(line.c_str(), &g_split);
  if (line.size() > ArgumentVector::kMaxCommandLine) {
    Require(!split && g_split.count == 0, "an over-long line is refused");
    return 0;
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

  std::string quoted = "p";
  for (size_t i = 1; i < args.size(); ++i) quoted += " " + Quote(args[i]);
  if (quoted.size() <= ArgumentVector::kMaxCommandLine) {
    Require(SplitCommandLine(quoted.c_str(), &g_again), "quoted line splits");
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
  if (!parsed) return 0;
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
  return 0;
}
