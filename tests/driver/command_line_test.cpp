// Splitting the process command line and reading the program's options.
#include "driver/command_line.h"
#include "support/quote_argument.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace {

using test::Quote;

using Args = std::vector<std::string>;

std::unique_ptr<ArgumentVector> NewVector() { return std::make_unique<ArgumentVector>(); }

// Splits the line; a failed split gives no elements.
Args Split(const std::string& line, const LeadByteTable* leadBytes = nullptr) {
  auto v = NewVector();
  if (!SplitCommandLine(line.c_str(), v.get(), leadBytes)) return {};
  Args out;
  for (int i = 0; i < v->count; ++i) out.emplace_back(v->arguments[i]);
  EXPECT_EQ(v->arguments[v->count], nullptr) << line;
  return out;
}

std::string Show(const Args& args) {
  std::string s = "[";
  for (size_t i = 0; i < args.size(); ++i) s += (i ? ", <" : "<") + args[i] + ">";
  return s + "]";
}

// ---- splitting ----------------------------------------------------------------

struct SplitRow {
  const char* name;
  const char* line;
  Args expected;
};

const SplitRow kSplitRows[] = {
    {"empty line", "", {""}},
    {"program only", "qmb-setup.exe", {"qmb-setup.exe"}},
    {"quoted program path with blanks", "\"C:\\Program Files\\qmb-setup.exe\" /s",
     {"C:\\Program Files\\qmb-setup.exe", "/s"}},
    {"program ends at a tab", "a.exe\t/s", {"a.exe", "/s"}},
    {"program: quotes group anywhere", "a\"b c\"d e", {"ab cd", "e"}},
    {"program: backslash before quote is plain", "C:\\dir\\\"a b\"\\x.exe /s", {"C:\\dir\\a b\\x.exe", "/s"}},
    {"program: escaped-looking quote still groups", "a\\\"b c", {"a\\b c"}},
    {"program: unclosed quote runs to the end", "\"a b c", {"a b c"}},
    {"leading blank gives an empty program", " /s", {"", "/s"}},
    {"runs of blanks and tabs separate", "p  a \t b\t\t", {"p", "a", "b"}},
    {"quotes group blanks", "p \"a b\" c", {"p", "a b", "c"}},
    {"quotes inside an argument", "p a\"b c\"d", {"p", "ab cd"}},
    {"empty quoted argument", "p \"\" x", {"p", "", "x"}},
    {"unclosed quote runs to the end", "p \"a  b", {"p", "a  b"}},
    {"zero backslashes: quote toggles", "p a\"\"b", {"p", "ab"}},
    {"two backslashes and a quote", "p a\\\\\"b c\"", {"p", "a\\b c"}},
    {"four backslashes and a quote", "p a\\\\\\\\\"b\"", {"p", "a\\\\b"}},
    {"one backslash and a quote", "p a\\\"b", {"p", "a\"b"}},
    {"three backslashes and a quote", "p a\\\\\\\"b", {"p", "a\\\"b"}},
    {"escaped quote inside quotes keeps quoting", "p \"a\\\" b\"", {"p", "a\" b"}},
    {"escaped quote outside quotes keeps it off", "p a\\\" b", {"p", "a\"", "b"}},
    {"doubled quote inside quotes ends quoting", "p \"a\"\"b c\"", {"p", "a\"b", "c"}},
    {"doubled quote then quote reopens", "p \"\"\"\"", {"p", "\""}},
    {"three quotes: the pair ends quoting", "p \"\"\" x", {"p", "\"", "x"}},
    {"doubled quote outside quotes is empty", "p \"\"", {"p", ""}},
    {"backslashes without a quote stay", "p a\\\\b\\c\\", {"p", "a\\\\b\\c\\"}},
    {"trailing backslashes stay", "p C:\\x\\\\", {"p", "C:\\x\\\\"}},
    {"two backslashes before a closing quote", "p \"C:\\a b\\\\\" c", {"p", "C:\\a b\\", "c"}},
    {"one backslash before a closing quote escapes it", "p \"C:\\a b\\\" c", {"p", "C:\\a b\" c"}},
    {"backslashes before a blank", "p a\\ b", {"p", "a\\", "b"}},
    {"/v with escaped quotes", "p /v\\\"/qn\\\"", {"p", "/v\"/qn\""}},
    {"/v with doubled quotes", "p \"/v\"\"/qn\"\"\"", {"p", "/v\"/qn\""}},
    {"/v with a plain quote loses it", "p /v\"/qn\"", {"p", "/v/qn"}},
    {"quoted value with blanks", "p \"/INSTALLDIRPUBZLP=D:\\Run time\"", {"p", "/INSTALLDIRPUBZLP=D:\\Run time"}},
    {"only blanks after the program", "p   \t ", {"p"}},
};

TEST(SplitCommandLineTest, FollowsTheRuntimeLibrarysRules) {
  for (const SplitRow& row : kSplitRows) {
    EXPECT_EQ(Show(Split(row.line)), Show(row.expected)) << row.name << ": " << row.line;
  }
}

// The lead bytes come from the machine's code page. 表 is 95 5C, ソ 83 5C and
// 能 94 5C in 932; 0xA1 is a single byte there and a lead byte in 936, 949
// and 950; 0xFD and 0xFE lead in those three only.
TEST(SplitCommandLineTest, DoubleByteCharactersOfTheCodePageAreSplitWhole) {
  struct Row {
    UINT codePage;
    const char* line;
    Args expected;
  } rows[] = {
      {932, "p \"/INSTALLDIRPUBZLP=D:\\\x95\x5c\" /s", {"p", "/INSTALLDIRPUBZLP=D:\\\x95\x5c", "/s"}},
      {1252, "p \"/INSTALLDIRPUBZLP=D:\\\x95\x5c\" /s", {"p", "/INSTALLDIRPUBZLP=D:\\\x95\" /s"}},
      {932, "p A=\x83\x5c\\\"x \"B=\x94\x5c\\\\\" c", {"p", "A=\x83\x5c\"x", "B=\x94\x5c\\", "c"}},
      {932, "p \xA1\\\"x \xFD\\\"y", {"p", "\xA1\"x", "\xFD\"y"}},
      {936, "p \xA1\\\"x", {"p", "\xA1\\x"}},
      {949, "p \xFD\\\"x", {"p", "\xFD\\x"}},
      {950, "p \xFE\\\"x", {"p", "\xFE\\x"}},
      // The second byte is taken whatever it is; a lead byte that ends the line stays alone.
      {936, "\x81\" a\x81 b \x81", {"\x81\"", "a\x81 b", "\x81"}},
  };
  sim::Reset();
  for (const Row& row : rows) {
    sim::SetCodePage(row.codePage);
    LeadByteTable leadBytes;
    ReadLeadBytes(&leadBytes);
    EXPECT_EQ(Show(Split(row.line, &leadBytes)), Show(row.expected)) << row.codePage << ": " << row.line;
  }
}

TEST(SplitCommandLineTest, NullLineIsEmpty) {
  auto v = NewVector();
  ASSERT_TRUE(SplitCommandLine(nullptr, v.get()));
  ASSERT_EQ(v->count, 1);
  EXPECT_STREQ(v->arguments[0], "");
  EXPECT_EQ(v->arguments[1], nullptr);
}

TEST(SplitCommandLineTest, QuotedArgumentsSplitBackUnchanged) {
  const Args vectors[] = {
      {"p", "a b", "", "\"", "\\", "\\\\\"", "a\\\"b", "C:\\Program Files\\", "\"\"", "\t x \t"},
      {"p", "/v\"/qn INSTALLDIR=\\\"C:\\a b\\\"\"", "ADDLOCAL=ALL", "\\\\server\\share\\"},
  };
  for (const Args& args : vectors) {
    std::string line = args[0];
    for (size_t i = 1; i < args.size(); ++i) line += " " + Quote(args[i]);
    EXPECT_EQ(Show(Split(line)), Show(args)) << line;
  }
}

TEST(SplitCommandLineTest, LongestLineIsSplitAndOneMoreIsRefused) {
  std::string longest = "p " + std::string(ArgumentVector::kMaxCommandLine - 2, 'x');
  Args args = Split(longest);
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[1].size(), ArgumentVector::kMaxCommandLine - 2);

  auto v = NewVector();
  std::string tooLong = longest + "x";
  EXPECT_FALSE(SplitCommandLine(tooLong.c_str(), v.get()));
  EXPECT_EQ(v->count, 0);
}

TEST(SplitCommandLineTest, MostArgumentsALineCanHold) {
  std::string line = "p";
  while (line.size() + 2 <= ArgumentVector::kMaxCommandLine) line += " a";
  ASSERT_EQ(line.size(), ArgumentVector::kMaxCommandLine);
  auto v = NewVector();
  ASSERT_TRUE(SplitCommandLine(line.c_str(), v.get()));
  EXPECT_EQ(static_cast<size_t>(v->count), ArgumentVector::kMaxArguments);
  EXPECT_STREQ(v->arguments[v->count - 1], "a");
  EXPECT_EQ(v->arguments[v->count], nullptr);

  // Empty quoted arguments take three characters each; a line ending in
  // an open quote yields one more empty argument.
  std::string empties = "p";
  while (empties.size() + 3 <= ArgumentVector::kMaxCommandLine) empties += " \"\"";
  empties.resize(ArgumentVector::kMaxCommandLine - 2);
  empties += " \"";
  ASSERT_TRUE(SplitCommandLine(empties.c_str(), v.get()));
  EXPECT_STREQ(v->arguments[v->count - 1], "");
}

// ---- parsing --------------------------------------------------------------------

struct Parsed {
  InstallOptions options;
  PassThroughArgs passThrough;
  bool ok = false;
};

Parsed Parse(const Args& args, LANGID initialLanguage = 1033) {
  Parsed p;
  p.options.language = initialLanguage;
  std::vector<const char*> argv = {"qmb-setup.exe"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  p.ok = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), &p.options, &p.passThrough);
  return p;
}

struct ParseRow {
  const char* name;
  Args args;
  LANGID initialLanguage;
  LANGID language;
  bool silent;
  bool addLocalSeen;
  const char* runtimeDir;
  const char* databaseDir;
  const char* passThrough;
};

const ParseRow kParseRows[] = {
    {"no arguments", {}, 1033, 1033, false, false, "", "", ""},
    {"accepted language", {"/lang=1041"}, 1033, 1041, false, false, "", "", ""},
    {"rejected language is consumed", {"/lang=1036"}, 1033, 1033, false, false, "", "", ""},
    {"rejected language keeps a non-default", {"/lang=1036"}, 2052, 2052, false, false, "", "", ""},
    {"upper-case LANG passes through", {"/LANG=1041"}, 1033, 1033, false, false, "", "", "/LANG=1041 "},
    {"mixed-case Lang passes through", {"/Lang=1041"}, 1033, 1033, false, false, "", "", "/Lang=1041 "},
    {"low 16 bits of 66569", {"/lang=66569"}, 2052, 1033, false, false, "", "", ""},
    {"low 16 bits past 32 bits", {"/lang=4294968329"}, 2052, 1033, false, false, "", "", ""},
    {"negative value wraps", {"/lang=-64503"}, 2052, 1033, false, false, "", "", ""},
    {"leading blank and tab", {"/lang= \t1041"}, 1033, 1041, false, false, "", "", ""},
    {"plus sign", {"/lang=+2052"}, 1033, 2052, false, false, "", "", ""},
    {"leading zeros", {"/lang=0001041"}, 1033, 1041, false, false, "", "", ""},
    {"digits end at a letter", {"/lang=1041abc"}, 1033, 1041, false, false, "", "", ""},
    {"no digits reads 0", {"/lang=abc"}, 2052, 2052, false, false, "", "", ""},
    {"empty value", {"/lang="}, 2052, 2052, false, false, "", "", ""},
    {"sign without digits", {"/lang=-"}, 2052, 2052, false, false, "", "", ""},
    {"value after the first equals sign", {"A=/lang=1041"}, 1033, 1033, false, false, "", "", ""},
    {"lang anywhere in the argument", {"x/lang=2052"}, 1033, 2052, false, false, "", "", ""},
    {"/v payload with lang is rule 1", {"/v/lang=1041"}, 1033, 1041, false, false, "", "", ""},
    {"/v payload with blanks", {"/v/qn INSTALLDIR=C:\\x"}, 1033, 1033, false, false, "", "", " /qn INSTALLDIR=C:\\x "},
    {"/v and quotes", {"/v\"/qn\""}, 1033, 1033, false, false, "", "", " /qn "},
    {"/v and quote drops any last character", {"/v\"/qnX"}, 1033, 1033, false, false, "", "", " /qn "},
    {"/v and a quote alone", {"/v\""}, 1033, 1033, false, false, "", "", "  "},
    {"/v alone", {"/v"}, 1033, 1033, false, false, "", "", "  "},
    {"/verbose", {"/verbose"}, 1033, 1033, false, false, "", "", " erbose "},
    {"/V is not /v", {"/Vx"}, 1033, 1033, false, false, "", "", "/Vx "},
    {"/s", {"/s"}, 1033, 1033, true, false, "", "", ""},
    {"/S passes through", {"/S"}, 1033, 1033, false, false, "", "", "/S "},
    {"/silent passes through", {"/silent"}, 1033, 1033, false, false, "", "", "/silent "},
    {"-s passes through", {"-s"}, 1033, 1033, false, false, "", "", "-s "},
    {"/s with more is not /s", {"/s "}, 1033, 1033, false, false, "", "", "/s  "},
    {"ADDLOCAL passed through", {"ADDLOCAL=ALL"}, 1033, 1033, false, true, "", "", "ADDLOCAL=ALL "},
    {"ADDLOCAL anywhere", {"xADDLOCAL=y"}, 1033, 1033, false, true, "", "", "xADDLOCAL=y "},
    {"ADDLOCAL needs the equals sign", {"ADDLOCAL"}, 1033, 1033, false, false, "", "", "ADDLOCAL "},
    {"addlocal is case-sensitive", {"addlocal=ALL"}, 1033, 1033, false, false, "", "", "addlocal=ALL "},
    {"ADDLOCAL inside /v", {"/vADDLOCAL=ALL"}, 1033, 1033, false, false, "", "", " ADDLOCAL=ALL "},
    {"runtime folder", {"/INSTALLDIRPUBZLP=D:\\rt"}, 1033, 1033, false, false, "D:\\rt", "", ""},
    {"database folder after first equals", {"X=/INSTALLDIRVESKDB=D:\\db"}, 1033, 1033, false, false, "",
     "/INSTALLDIRVESKDB=D:\\db", ""},
    {"folder kept exactly", {"/INSTALLDIRVESKDB=\"D:\\a b\\\""}, 1033, 1033, false, false, "", "\"D:\\a b\\\"", ""},
    {"empty folder value", {"/INSTALLDIRPUBZLP="}, 1033, 1033, false, false, "", "", ""},
    {"folder option is case-sensitive", {"/installdirpubzlp=D:\\rt"}, 1033, 1033, false, false, "", "",
     "/installdirpubzlp=D:\\rt "},
    {"runtime rule before database rule", {"/INSTALLDIRPUBZLP=a/INSTALLDIRVESKDB=b"}, 1033, 1033, false, false,
     "a/INSTALLDIRVESKDB=b", "", ""},
    {"lang rule before folder rule", {"/INSTALLDIRPUBZLP=/lang=1041"}, 1033, 1033, false, false, "", "", ""},
    {"/v rule before folder rule", {"/v/INSTALLDIRPUBZLP=x"}, 1033, 1033, false, false, "", "",
     " /INSTALLDIRPUBZLP=x "},
    {"folder rule before ADDLOCAL", {"ADDLOCAL=x/INSTALLDIRVESKDB=y"}, 1033, 1033, false, false, "",
     "x/INSTALLDIRVESKDB=y", ""},
    {"two pass-through arguments", {"A=1", "B=2"}, 1033, 1033, false, false, "", "", "A=1 B=2 "},
    {"empty argument passes through", {""}, 1033, 1033, false, false, "", "", " "},
    {"mixed, in argument order", {"A=1", "/vB=2", "/s", "C=3"}, 1033, 1033, true, false, "", "", "A=1  B=2 C=3 "},
    // Repeated options.
    {"last accepted language wins", {"/lang=1041", "/lang=2052"}, 1033, 2052, false, false, "", "", ""},
    {"rejected language keeps the earlier choice", {"/lang=1041", "/lang=1036"}, 1033, 1041, false, false, "", "",
     ""},
    {"/s twice", {"/s", "/s"}, 1033, 1033, true, false, "", "", ""},
    {"last folder wins", {"/INSTALLDIRPUBZLP=a", "/INSTALLDIRVESKDB=b", "/INSTALLDIRPUBZLP=c"}, 1033, 1033, false,
     false, "c", "b", ""},
    {"empty folder value clears", {"/INSTALLDIRPUBZLP=a", "/INSTALLDIRPUBZLP="}, 1033, 1033, false, false, "", "",
     ""},
};

TEST(ParseCommandLineTest, Rules) {
  for (const ParseRow& row : kParseRows) {
    Parsed p = Parse(row.args, row.initialLanguage);
    EXPECT_TRUE(p.ok) << row.name;
    EXPECT_EQ(p.options.language, row.language) << row.name;
    EXPECT_EQ(p.options.silent, row.silent) << row.name;
    EXPECT_EQ(p.options.addLocalSeen, row.addLocalSeen) << row.name;
    EXPECT_STREQ(p.options.runtimeInstallDir.c_str(), row.runtimeDir) << row.name;
    EXPECT_STREQ(p.options.databaseInstallDir.c_str(), row.databaseDir) << row.name;
    EXPECT_STREQ(p.passThrough.c_str(), row.passThrough) << row.name;
  }
}

TEST(ParseCommandLineTest, ElementZeroIsNeverExamined) {
  const char* argv[] = {"/s", "/lang=1041", nullptr};
  InstallOptions options;
  PassThroughArgs passThrough;
  ASSERT_TRUE(ParseCommandLine(1, argv, &options, &passThrough));
  EXPECT_FALSE(options.silent);
  EXPECT_EQ(options.language, 1033);
}

// ---- capacities -------------------------------------------------------------------

const size_t kCap = PassThroughArgs::kCapacity;  // 1023

TEST(ParseCapacityTest, PassThroughArgumentAtTheBoundary) {
  // The argument and its blank: 1023 characters fit, 1024 do not.
  Parsed fits = Parse({std::string(kCap - 1, 'a')});
  EXPECT_TRUE(fits.ok);
  EXPECT_EQ(fits.passThrough.size(), kCap);

  Parsed over = Parse({"A=1", std::string(kCap - 4, 'a'), "/s"});
  EXPECT_FALSE(over.ok);
  EXPECT_STREQ(over.passThrough.c_str(), "A=1 ") << "the refused argument is not cut in";
  EXPECT_FALSE(over.options.silent) << "parsing stops at the refused argument";

  Parsed accumulated = Parse({"A=1", std::string(kCap - 5, 'a')});
  EXPECT_TRUE(accumulated.ok);
  EXPECT_EQ(accumulated.passThrough.size(), kCap);
}

TEST(ParseCapacityTest, AddLocalIsNotSeenInARefusedArgument) {
  Parsed over = Parse({"ADDLOCAL=" + std::string(kCap - 9, 'a')});
  EXPECT_FALSE(over.ok);
  EXPECT_FALSE(over.options.addLocalSeen);
  EXPECT_TRUE(over.passThrough.empty());
}

TEST(ParseCapacityTest, VerbatimFormsAtTheBoundary) {
  // " " + payload + " ": a payload of 1021 characters fits exactly.
  Parsed v = Parse({"/v" + std::string(kCap - 2, 'b')});
  EXPECT_TRUE(v.ok);
  EXPECT_EQ(v.passThrough.size(), kCap);
  Parsed vOver = Parse({"/v" + std::string(kCap - 1, 'b')});
  EXPECT_FALSE(vOver.ok);
  EXPECT_TRUE(vOver.passThrough.empty());

  Parsed q = Parse({"/v\"" + std::string(kCap - 2, 'c') + "\""});
  EXPECT_TRUE(q.ok);
  EXPECT_EQ(q.passThrough.size(), kCap);
  Parsed qOver = Parse({"/v\"" + std::string(kCap - 1, 'c') + "\""});
  EXPECT_FALSE(qOver.ok);
  EXPECT_TRUE(qOver.passThrough.empty());
}

TEST(ParseCapacityTest, FolderValuesAtTheBoundary) {
  for (const char* option : {"/INSTALLDIRPUBZLP=", "/INSTALLDIRVESKDB="}) {
    bool runtime = std::strcmp(option, "/INSTALLDIRPUBZLP=") == 0;
    std::string fitsValue(kCap, 'd');
    Parsed fits = Parse({option + fitsValue});
    EXPECT_TRUE(fits.ok) << option;
    EXPECT_EQ(runtime ? fits.options.runtimeInstallDir.c_str() : fits.options.databaseInstallDir.c_str(), fitsValue)
        << option;

    Parsed over = Parse({std::string(option) + "D:\\kept", option + std::string(kCap + 1, 'd')});
    EXPECT_FALSE(over.ok) << option;
    EXPECT_STREQ(runtime ? over.options.runtimeInstallDir.c_str() : over.options.databaseInstallDir.c_str(),
                 "D:\\kept")
        << option << ": the earlier value is neither cut nor emptied";
  }
}

TEST(ParseCapacityTest, LongLanguageArgumentNeverOverflows) {
  Parsed p = Parse({"/lang=" + std::string(5000, '0') + "1041"});
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.options.language, 1041);
}

// ---- silent defaults ------------------------------------------------------------------

const char kAddLocalDefault[] = " ADDLOCAL=PubliczlpFeature,ToolsFeature";

struct SilentRow {
  const char* name;
  bool silent;
  bool addLocalSeen;
  const char* before;
  std::string after;
};

const SilentRow kSilentRows[] = {
    {"not silent: nothing added", false, false, "A=1 ", "A=1 "},
    {"silent, empty", true, false, "", std::string(" /qn") + kAddLocalDefault},
    {"/qn already there", true, false, "/qn ", std::string("/qn ") + kAddLocalDefault},
    {"/qn inside another argument", true, false, "x/qnx ", std::string("x/qnx ") + kAddLocalDefault},
    {"/qn from a /v payload", true, false, " /qn ", std::string(" /qn ") + kAddLocalDefault},
    {"/QN does not count", true, false, "/QN ", std::string("/QN  /qn") + kAddLocalDefault},
    {"ADDLOCAL seen", true, true, "ADDLOCAL=ALL ", "ADDLOCAL=ALL  /qn"},
    {"both present", true, true, "/qn ADDLOCAL=ALL ", "/qn ADDLOCAL=ALL "},
};

TEST(ApplySilentDefaultsTest, Rows) {
  for (const SilentRow& row : kSilentRows) {
    InstallOptions options;
    options.silent = row.silent;
    options.addLocalSeen = row.addLocalSeen;
    PassThroughArgs text;
    ASSERT_TRUE(text.assign(row.before));
    EXPECT_TRUE(ApplySilentDefaults(options, &text)) << row.name;
    EXPECT_EQ(text.c_str(), row.after) << row.name;
  }
}

TEST(ApplySilentDefaultsTest, AdditionsAtTheBoundary) {
  InstallOptions options;
  options.silent = true;
  options.addLocalSeen = true;
  PassThroughArgs text;
  ASSERT_TRUE(text.assign(std::string(kCap - 4, 'a').c_str()));
  EXPECT_TRUE(ApplySilentDefaults(options, &text));
  EXPECT_EQ(text.size(), kCap);

  ASSERT_TRUE(text.assign(std::string(kCap - 3, 'a').c_str()));
  EXPECT_FALSE(ApplySilentDefaults(options, &text));
  EXPECT_EQ(text.size(), kCap - 3) << "nothing is cut in";

  options.addLocalSeen = false;
  const size_t both = 4 + std::strlen(kAddLocalDefault);
  ASSERT_TRUE(text.assign(std::string(kCap - both, 'a').c_str()));
  EXPECT_TRUE(ApplySilentDefaults(options, &text));
  EXPECT_EQ(text.size(), kCap);

  ASSERT_TRUE(text.assign(std::string(kCap - both + 1, 'a').c_str()));
  EXPECT_FALSE(ApplySilentDefaults(options, &text));
  EXPECT_EQ(std::string(text.c_str()).find("ADDLOCAL"), std::string::npos);
}

// ---- the run's options from the platform ----------------------------------------------

class ReadInstallOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

TEST_F(ReadInstallOptionsTest, SetsTheDefaultsThenParsesTheProcessLine) {
  sim::SetUserLangId(1041);
  sim::SetCommandLine("\"C:\\Setup Files\\qmb-setup.exe\" /s \"/INSTALLDIRVESKDB=D:\\data base\" A=\"1 2\"");
  InstallOptions options;
  options.language = 2052;
  options.addLocalSeen = true;
  ASSERT_TRUE(options.runtimeInstallDir.assign("stale"));
  PassThroughArgs passThrough;
  ASSERT_TRUE(passThrough.assign("stale "));

  ASSERT_TRUE(ReadInstallOptions(&options, &passThrough));
  EXPECT_EQ(options.language, 1041);
  EXPECT_TRUE(options.silent);
  EXPECT_FALSE(options.addLocalSeen);
  EXPECT_STREQ(options.runtimeInstallDir.c_str(), "");
  EXPECT_STREQ(options.databaseInstallDir.c_str(), "D:\\data base");
  EXPECT_STREQ(passThrough.c_str(), "A=1 2 ");
  EXPECT_EQ(sim::CountCalls("GetUserDefaultLangID"), 1u);
  EXPECT_EQ(sim::CountCalls("GetCommandLineA"), 1u);
}

TEST_F(ReadInstallOptionsTest, LanguageOptionOverridesTheUsersLanguage) {
  sim::SetUserLangId(1041);
  sim::SetCommandLine("qmb-setup.exe /lang=2052");
  InstallOptions options;
  PassThroughArgs passThrough;
  ASSERT_TRUE(ReadInstallOptions(&options, &passThrough));
  EXPECT_EQ(options.language, 2052);
  EXPECT_TRUE(passThrough.empty());
}

TEST_F(ReadInstallOptionsTest, LineBeyondTheTextsIsRefused) {
  InstallOptions options;
  PassThroughArgs passThrough;
  sim::SetCommandLine("qmb-setup.exe " + std::string(kCap - 1, 'a'));
  EXPECT_TRUE(ReadInstallOptions(&options, &passThrough));
  sim::SetCommandLine("qmb-setup.exe " + std::string(kCap, 'a'));
  EXPECT_FALSE(ReadInstallOptions(&options, &passThrough));
  sim::SetCommandLine("qmb-setup.exe " + std::string(ArgumentVector::kMaxCommandLine, 'a'));
  EXPECT_FALSE(ReadInstallOptions(&options, &passThrough));
}

}  // namespace
