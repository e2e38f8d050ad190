#include "state/settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "registry_bytes.h"

using state_test::Bytes;
using state_test::ExactBuffer;
using state_test::RegistryCalls;

namespace {

const char kSettings[] = "SOFTWARE\\Morvanta";
const char kStatus[] = "InstallStatus";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    sim::MakeRegistryKey(kSettings);
  }
  void TearDown() override { EXPECT_EQ(sim::OpenRegistryHandles(), 0) << "a registry handle was left open"; }

  // Nothing in the registry was written or deleted.
  static void ExpectNoChangeCalls() {
    EXPECT_EQ(sim::CountCalls("RegSetValueExA"), 0u);
    EXPECT_EQ(sim::CountCalls("RegDeleteValueA"), 0u);
    EXPECT_EQ(sim::CountCalls("RegDeleteKeyA"), 0u);
  }
};

// ---- ReadSetting ------------------------------------------------------------

struct ReadSettingRow {
  const char* label;
  DWORD type;
  std::string stored;
  DWORD capacity;
  int result;
  std::string buffer;  // the buffer's first bytes afterwards ('Q' where untouched)
};

TEST_F(SettingsTest, ReadSettingAcceptsOnlyNonEmptyTerminatedText) {
  const ReadSettingRow rows[] = {
      {"sz with terminator", REG_SZ, Bytes("exists\0"), 16, 1, Bytes("exists\0")},
      {"sz filling the buffer exactly", REG_SZ, Bytes("exists\0"), 7, 1, Bytes("exists\0")},
      {"expand_sz", REG_EXPAND_SZ, Bytes("exists\0"), 16, 1, Bytes("exists\0")},
      {"multi_sz", REG_MULTI_SZ, Bytes("exists\0\0"), 16, 1, Bytes("exists\0\0")},
      {"as the package stores it, no terminator", REG_SZ, Bytes("exists"), 16, 0, Bytes("exists")},
      {"terminator alone", REG_SZ, Bytes("\0"), 16, 0, Bytes("\0")},
      {"length 0", REG_SZ, Bytes(""), 16, 0, Bytes("\0")},
      {"multi_sz with no string", REG_MULTI_SZ, Bytes("\0\0"), 16, 0, Bytes("\0\0")},
      {"dword", REG_DWORD, Bytes("\x07\x00\x00\x00"), 16, 0, Bytes("\x07\x00\x00\x00")},
      {"longer than the capacity", REG_SZ, Bytes("installed!\0"), 8, 0, "QQQQQQQQ"},
  };
  for (const ReadSettingRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kSettings, kStatus, row.type, row.stored);
    ExactBuffer buffer(row.capacity, 'Q');
    EXPECT_EQ(ReadSetting(kStatus, buffer.data.get(), row.capacity), row.result);
    EXPECT_EQ(buffer.Prefix(row.buffer.size()), row.buffer);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
    // Opened in two steps, for reading only, and closed in reverse.
    EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                   "RegOpenKeyExA(HKLM, Software, 0, 0x20019)",
                                   "RegOpenKeyExA(k1, Morvanta, 0, 0x20019)",
                                   "RegQueryValueExA(k2, InstallStatus, buffer, " + std::to_string(row.capacity) + ")",
                                   "RegCloseKey(k2)",
                                   "RegCloseKey(k1)",
                               }));
  }
}

TEST_F(SettingsTest, ReadSettingLeavesTheBufferAloneWhenNothingIsRead) {
  struct Row {
    const char* label;
    const char* existing;  // the deepest key that exists, or null for none
  } rows[] = {
      {"value absent", kSettings},
      {"settings key absent", "SOFTWARE"},
      {"Software absent", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    if (row.existing != nullptr) sim::MakeRegistryKey(row.existing);
    char buffer[16] = "caller's text";
    EXPECT_EQ(ReadSetting(kStatus, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "caller's text");
    EXPECT_EQ(sim::RegKeyExists(kSettings), row.existing == kSettings) << "nothing is created";
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(SettingsTest, ReadSettingNeedsNoWriteAccess) {
  sim::RegSetString(kSettings, kStatus, "exists");
  sim::RegDenyWrite(kSettings);
  char buffer[16];
  EXPECT_EQ(ReadSetting(kStatus, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "exists");
}

TEST_F(SettingsTest, ReadSettingClosesBothKeysWhenACloseFails) {
  sim::RegSetString(kSettings, kStatus, "exists");
  sim::FailCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
  char buffer[16];
  EXPECT_EQ(ReadSetting(kStatus, buffer, sizeof buffer), 1);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 2u);
}

// ---- WriteSetting -----------------------------------------------------------

TEST_F(SettingsTest, WriteSettingStoresTerminatedText) {
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("old"));
  EXPECT_EQ(WriteSetting(kStatus, "done"), 1);
  auto value = sim::RegGet(kSettings, kStatus);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, REG_SZ);
  EXPECT_EQ(value->bytes, Bytes("done\0"));
  EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                 "RegOpenKeyExA(HKLM, Software, 0, 0x20019)",
                                 "RegOpenKeyExA(k1, Morvanta, 0, 0x2001f)",
                                 "RegSetValueExA(k2, InstallStatus, 0, 1, 5)",
                                 "RegCloseKey(k2)",
                                 "RegCloseKey(k1)",
                             }));
}

TEST_F(SettingsTest, WriteSettingIgnoresAFailedWrite) {
  sim::FailCall("RegSetValueExA", 1, ERROR_DISK_FULL);
  EXPECT_EQ(WriteSetting(kStatus, "done"), 1);
  EXPECT_FALSE(sim::RegGet(kSettings, kStatus).has_value());
}

TEST_F(SettingsTest, DeletingTheLastValueDeletesTheKeyWhileItIsOpen) {
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
  EXPECT_EQ(WriteSetting(kStatus, nullptr), 1);
  EXPECT_FALSE(sim::RegKeyExists(kSettings));
  EXPECT_TRUE(sim::RegKeyExists("SOFTWARE"));
  EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                 "RegOpenKeyExA(HKLM, Software, 0, 0x20019)",
                                 "RegOpenKeyExA(k1, Morvanta, 0, 0x2001f)",
                                 "RegDeleteValueA(k2, InstallStatus)",
                                 "RegQueryInfoKeyA(k2)",
                                 "RegDeleteKeyA(k1, Morvanta)",
                                 "RegCloseKey(k2)",
                                 "RegCloseKey(k1)",
                             }));
}

TEST_F(SettingsTest, DeletingLeavesAKeyThatHoldsMore) {
  struct Row {
    const char* label;
    void (*arrange)();
  } rows[] = {
      {"another value", [] { sim::RegSetString(kSettings, "Other", "kept"); }},
      {"a subkey", [] { sim::MakeRegistryKey("SOFTWARE\\Morvanta\\Vesk Development Kit"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
    row.arrange();
    EXPECT_EQ(WriteSetting(kStatus, nullptr), 1);
    EXPECT_FALSE(sim::RegGet(kSettings, kStatus).has_value());
    EXPECT_TRUE(sim::RegKeyExists(kSettings));
    EXPECT_EQ(sim::CountCalls("RegDeleteKeyA"), 0u);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
  EXPECT_TRUE(sim::RegKeyExists("SOFTWARE\\Morvanta\\Vesk Development Kit"));
}

TEST_F(SettingsTest, DeletingAnAbsentValueStillDeletesAnEmptyKey) {
  EXPECT_EQ(WriteSetting(kStatus, nullptr), 1);
  EXPECT_FALSE(sim::RegKeyExists(kSettings));
}

TEST_F(SettingsTest, KeyIsKeptWhenItsContentsCannotBeCounted) {
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
  sim::FailCall("RegQueryInfoKeyA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteSetting(kStatus, nullptr), 1);
  EXPECT_FALSE(sim::RegGet(kSettings, kStatus).has_value());
  EXPECT_TRUE(sim::RegKeyExists(kSettings));
  EXPECT_EQ(sim::CountCalls("RegDeleteKeyA"), 0u);
}

TEST_F(SettingsTest, WriteSettingNeverCreatesTheKey) {
  const char* texts[] = {"done", nullptr};
  for (const char* text : texts) {
    SCOPED_TRACE(text == nullptr ? "delete" : "write");
    sim::Reset();
    sim::MakeRegistryKey("SOFTWARE");
    EXPECT_EQ(WriteSetting(kStatus, text), 0);
    EXPECT_FALSE(sim::RegKeyExists(kSettings));
    ExpectNoChangeCalls();
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(SettingsTest, WriteSettingWithoutSoftwareKeyStopsAtTheFirstOpen) {
  sim::FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, "Software");
  EXPECT_EQ(WriteSetting(kStatus, "done"), 0);
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA"), 1u);
  ExpectNoChangeCalls();
}

TEST_F(SettingsTest, WriteSettingWithWriteAccessDeniedChangesNothing) {
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
  sim::RegDenyWrite(kSettings);
  const char* texts[] = {"done", nullptr};
  for (const char* text : texts) {
    SCOPED_TRACE(text == nullptr ? "delete" : "write");
    EXPECT_EQ(WriteSetting(kStatus, text), 0);
    EXPECT_EQ(sim::RegGet(kSettings, kStatus)->bytes, Bytes("reinstall"));
    EXPECT_TRUE(sim::RegKeyExists(kSettings));
  }
  ExpectNoChangeCalls();
}

// ---- UpdateInstallStatus ----------------------------------------------------

// One UpdateInstallStatus on a machine with or without the settings key and
// the value, and what stands afterwards. It returns 1 whatever happens.
struct UpdateRow {
  const char* label;
  std::optional<sim::RegValue> before;  // the value before; nullopt: none
  const char* appended;                 // null: clear the status
  std::optional<std::string> after;     // the REG_SZ bytes afterwards; nullopt: no value
  bool keyAfter = true;                 // the settings key exists afterwards
  const char* keyBefore = kSettings;    // the deepest key that exists before
  bool denyWrite = false;               // opening the settings key for writing is refused
};

TEST_F(SettingsTest, UpdateInstallStatusTable) {
  const std::string kLong(300, 'n');
  const UpdateRow rows[] = {
      {"accepted text", sim::RegValue{REG_SZ, Bytes("exists\0")}, "more", Bytes("existsmore\0")},
      {"accepted expand_sz", sim::RegValue{REG_EXPAND_SZ, Bytes("exists\0")}, "more", Bytes("existsmore\0")},
      {"value absent", std::nullopt, "more", Bytes("more\0")},
      {"empty value", sim::RegValue{REG_SZ, Bytes("\0")}, "more", Bytes("more\0")},
      {"package text without terminator", sim::RegValue{REG_SZ, Bytes("exists")}, "more", Bytes("more\0")},
      {"dword", sim::RegValue{REG_DWORD, Bytes("\x01\x00\x00\x00")}, "more", Bytes("more\0")},
      {"appending nothing", sim::RegValue{REG_SZ, Bytes("exists\0")}, "", Bytes("exists\0")},
      {"a long new text is stored whole", std::nullopt, kLong.c_str(), kLong + std::string(1, '\0')},
      {"clearing deletes the value and the emptied key", sim::RegValue{REG_SZ, Bytes("exists\0")}, nullptr,
       std::nullopt, false},
      {"no settings key: appending creates nothing", std::nullopt, "more", std::nullopt, false, "SOFTWARE"},
      {"no settings key: clearing changes nothing", std::nullopt, nullptr, std::nullopt, false, "SOFTWARE"},
      {"a key refused for writing keeps its text", sim::RegValue{REG_SZ, Bytes("exists\0")}, "more",
       Bytes("exists\0"), true, kSettings, true},
      {"a key refused for writing is not cleared", sim::RegValue{REG_SZ, Bytes("exists\0")}, nullptr,
       Bytes("exists\0"), true, kSettings, true},
  };
  for (const UpdateRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::MakeRegistryKey(row.keyBefore);
    if (row.before) sim::RegSet(kSettings, kStatus, row.before->type, row.before->bytes);
    if (row.denyWrite) sim::RegDenyWrite(kSettings);
    EXPECT_EQ(UpdateInstallStatus(row.appended), 1);
    auto value = sim::RegGet(kSettings, kStatus);
    EXPECT_EQ(value.has_value(), row.after.has_value());
    if (value && row.after) {
      EXPECT_EQ(value->type, REG_SZ);
      EXPECT_EQ(value->bytes, *row.after);
    }
    EXPECT_EQ(sim::RegKeyExists(kSettings), row.keyAfter);
    if (row.appended == nullptr) {
      EXPECT_EQ(sim::CountCalls("RegQueryValueExA"), 0u) << "clearing reads nothing";
    }
    if (std::string(row.keyBefore) != kSettings || row.denyWrite) ExpectNoChangeCalls();
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(SettingsTest, UpdateInstallStatusJoinFitsIn128Bytes) {
  struct Row {
    size_t current;   // characters already stored, with a terminator
    size_t appended;  // characters appended
    bool joined;      // false: the appended text alone is stored
  } rows[] = {
      {1, 126, true},  {100, 27, true}, {100, 28, false}, {127, 0, true},
      {127, 1, false}, {126, 1, true},  {128, 1, false},  // 129 bytes do not even read
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.current) + " + " + std::to_string(row.appended));
    sim::Reset();
    std::string current(row.current, 'c');
    std::string appended(row.appended, 'a');
    sim::RegSetString(kSettings, kStatus, current);
    EXPECT_EQ(UpdateInstallStatus(appended.c_str()), 1);
    std::string expected = (row.joined ? current + appended : appended) + std::string(1, '\0');
    EXPECT_EQ(sim::RegGet(kSettings, kStatus)->bytes, expected);
  }
}

// ---- the reinstall request --------------------------------------------------

struct RequestRow {
  const char* label;
  DWORD type;
  std::string stored;
  bool rerun;
};

TEST_F(SettingsTest, ReinstallRequestIsRecognisedExactly) {
  const RequestRow rows[] = {
      {"as the package stores it, nine bytes", REG_SZ, Bytes("reinstall"), true},
      {"with its terminator, ten bytes", REG_SZ, Bytes("reinstall\0"), true},
      {"multi_sz", REG_MULTI_SZ, Bytes("reinstall\0\0"), true},
      {"multi_sz with one zero", REG_MULTI_SZ, Bytes("reinstall\0"), true},
      {"expand_sz", REG_EXPAND_SZ, Bytes("reinstall\0"), true},
      {"expand_sz without terminator", REG_EXPAND_SZ, Bytes("reinstall"), true},
      {"binary letters", REG_BINARY, Bytes("reinstall"), true},
      {"binary letters and a zero", REG_BINARY, Bytes("reinstall\0"), true},
      {"dword type holding the letters", REG_DWORD, Bytes("reinstall"), true},
      {"filling all 512 bytes after a zero", REG_BINARY, Bytes("reinstall\0") + std::string(502, 'x'), true},
      {"capitalised", REG_SZ, Bytes("Reinstall"), false},
      {"capitalised, terminated", REG_SZ, Bytes("Reinstall\0"), false},
      {"trailing space", REG_SZ, Bytes("reinstall "), false},
      {"trailing space, terminated", REG_SZ, Bytes("reinstall \0"), false},
      {"trailing letter", REG_SZ, Bytes("reinstallx"), false},
      {"leading space", REG_SZ, Bytes(" reinstall\0"), false},
      {"short of a letter", REG_SZ, Bytes("reinstal"), false},
      {"another status", REG_SZ, Bytes("exists"), false},
      {"decline", REG_SZ, Bytes("decline"), false},
      {"empty", REG_SZ, Bytes("\0"), false},
      {"length 0", REG_SZ, Bytes(""), false},
      {"longer than the status text", REG_SZ, Bytes("reinstall\0") + std::string(600, 'x'), false},
      {"512 bytes without a zero", REG_BINARY, std::string(512, 'r'), false},
  };
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kSettings, kStatus, row.type, row.stored);
    EXPECT_EQ(ConsumeReinstallRequest(), row.rerun);
    EXPECT_EQ(sim::CallsStartingWith("RegQueryValueExA").size(), 1u) << "the value is read once";
    std::vector<std::string> calls = RegistryCalls();
    EXPECT_EQ(calls.size() > 2 ? calls[2] : "", "RegQueryValueExA(k2, InstallStatus, buffer, 512)");
    if (row.rerun) {
      EXPECT_FALSE(sim::RegGet(kSettings, kStatus).has_value()) << "the request is removed before the rerun";
      EXPECT_FALSE(sim::RegKeyExists(kSettings)) << "the emptied settings key goes with it";
    } else {
      auto value = sim::RegGet(kSettings, kStatus);
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(value->type, row.type);
      EXPECT_EQ(value->bytes, row.stored);
      ExpectNoChangeCalls();
    }
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(SettingsTest, ReinstallRequestIsHonouredOnce) {
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
  EXPECT_TRUE(ConsumeReinstallRequest());
  EXPECT_FALSE(ConsumeReinstallRequest());
}

TEST_F(SettingsTest, ReinstallRequestLeavesTheRestOfTheSettingsKey) {
  struct Row {
    const char* label;
    void (*arrange)();
    const char* survivor;  // a value name, or null for the subkey
  } rows[] = {
      {"another value", [] { sim::RegSetString(kSettings, "Other", "kept"); }, "Other"},
      {"a subkey", [] { sim::MakeRegistryKey("SOFTWARE\\Morvanta\\Auto Update"); }, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
    row.arrange();
    EXPECT_TRUE(ConsumeReinstallRequest());
    EXPECT_FALSE(sim::RegGet(kSettings, kStatus).has_value());
    EXPECT_TRUE(sim::RegKeyExists(kSettings));
    if (row.survivor != nullptr) {
      EXPECT_EQ(sim::RegGet(kSettings, row.survivor)->bytes, Bytes("kept\0"));
    } else {
      EXPECT_TRUE(sim::RegKeyExists("SOFTWARE\\Morvanta\\Auto Update"));
    }
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(SettingsTest, ReinstallRequestThatCannotBeRemovedStillReruns) {
  // The request stays for the next run of the bootstrapper.
  sim::RegSet(kSettings, kStatus, REG_SZ, Bytes("reinstall"));
  sim::RegDenyWrite(kSettings);
  EXPECT_TRUE(ConsumeReinstallRequest());
  EXPECT_EQ(sim::RegGet(kSettings, kStatus)->bytes, Bytes("reinstall"));
  ExpectNoChangeCalls();
}

TEST_F(SettingsTest, NoRequestWithoutTheValueOrTheKey) {
  EXPECT_FALSE(ConsumeReinstallRequest());
  EXPECT_TRUE(sim::RegKeyExists(kSettings)) << "an empty settings key is left as it was";
  ExpectNoChangeCalls();

  sim::Reset();
  sim::MakeRegistryKey("SOFTWARE");
  EXPECT_FALSE(ConsumeReinstallRequest());
  EXPECT_FALSE(sim::RegKeyExists(kSettings));
  ExpectNoChangeCalls();
}

}  // namespace
