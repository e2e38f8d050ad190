#include "state/product_probes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "registry_bytes.h"

using state_test::Bytes;
using state_test::ExactBuffer;
using state_test::RegistryCalls;

namespace {

// Written out here rather than taken from the build profile, so that a wrong
// constant there shows.
const char kKitKey[] = "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39";
const char kRuntimeKey[] = "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39";
const char kUpdaterKey[] = "SOFTWARE\\Morvanta\\Auto Update";

class ProductProbesTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override {
    EXPECT_EQ(sim::OpenRegistryHandles(), 0) << "a registry handle was left open";
    for (const std::string& call : sim::Calls()) {
      EXPECT_EQ(call.find("RegSetValueExA"), std::string::npos) << "a probe wrote: " << call;
      EXPECT_EQ(call.find("RegDelete"), std::string::npos) << "a probe deleted: " << call;
    }
  }
};

// ---- ReadKitHome --------------------------------------------------------------

struct KitRow {
  const char* label;
  bool keyPresent;
  bool valuePresent;
  DWORD type;
  std::string stored;
  int result;
  const char* text;  // the buffer's text on success
};

TEST_F(ProductProbesTest, ReadKitHomeAcceptsTerminatedTextOnly) {
  const std::string longest = std::string(1023, 'p') + std::string(1, '\0');
  const KitRow rows[] = {
      {"folder path", true, true, REG_SZ, Bytes("C:\\Kit\\qmb1.6.0_39\\\0"), 1, "C:\\Kit\\qmb1.6.0_39\\"},
      {"terminator alone", true, true, REG_SZ, Bytes("\0"), 1, ""},
      {"expand_sz as stored", true, true, REG_EXPAND_SZ, Bytes("%ProgramFiles%\\Kit\0"), 1, "%ProgramFiles%\\Kit"},
      {"multi_sz", true, true, REG_MULTI_SZ, Bytes("C:\\Kit\0\0"), 1, "C:\\Kit"},
      {"1023 characters fill the 1024 bytes", true, true, REG_SZ, longest, 1, nullptr},
      {"1024 characters do not fit", true, true, REG_SZ, std::string(1024, 'p') + std::string(1, '\0'), 0, nullptr},
      {"without terminator", true, true, REG_SZ, Bytes("C:\\Kit"), 0, nullptr},
      {"length 0", true, true, REG_SZ, Bytes(""), 0, nullptr},
      {"dword", true, true, REG_DWORD, Bytes("\x01\x02\x03\x04"), 0, nullptr},
      {"binary text", true, true, REG_BINARY, Bytes("C:\\Kit\0"), 0, nullptr},
      {"value absent", true, false, REG_SZ, "", 0, nullptr},
      {"key absent", false, false, REG_SZ, "", 0, nullptr},
  };
  for (const KitRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    if (row.keyPresent) sim::MakeRegistryKey(kKitKey);
    if (row.valuePresent) sim::RegSet(kKitKey, "VeskHome", row.type, row.stored);
    ExactBuffer kitHome(1024, '\0');
    EXPECT_EQ(ReadKitHome(kitHome.data.get(), 1024), row.result);
    if (row.text != nullptr) {
      EXPECT_STREQ(kitHome.data.get(), row.text);
    }
    if (row.stored == longest) {
      EXPECT_EQ(std::string(kitHome.data.get()), std::string(1023, 'p'));
    }
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(ProductProbesTest, ReadKitHomeReadsTheKitKeyOfThisVersion) {
  sim::RegSetString(kKitKey, "VeskHome", "C:\\Kit\\");
  sim::RegSetString("SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_38", "VeskHome", "C:\\Old\\");
  char kitHome[1024] = {};
  ASSERT_EQ(ReadKitHome(kitHome, sizeof kitHome), 1);
  EXPECT_STREQ(kitHome, "C:\\Kit\\");
  EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                 "RegOpenKeyExA(HKLM, SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39, 0, 0x20019)",
                                 "RegQueryValueExA(k1, VeskHome, buffer, 1024)",
                                 "RegCloseKey(k1)",
                             }));
}

TEST_F(ProductProbesTest, ReadKitHomeFailsOnARefusedOpen) {
  sim::RegSetString(kKitKey, "VeskHome", "C:\\Kit\\");
  sim::FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
  char kitHome[1024] = {};
  EXPECT_EQ(ReadKitHome(kitHome, sizeof kitHome), 0);
  EXPECT_EQ(sim::CountCalls("RegQueryValueExA"), 0u);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 0u) << "nothing opened, nothing to close";
}

// ---- IsRuntimeRegistered ------------------------------------------------------

TEST_F(ProductProbesTest, RuntimeIsRegisteredWhenItsKeyOpens) {
  struct Row {
    const char* label;
    const char* key;  // created, or null
    bool registered;
  } rows[] = {
      {"key with no values", kRuntimeKey, true},
      {"key absent", nullptr, false},
      {"another version only", "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_38", false},
      {"the kit key only", kKitKey, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    if (row.key != nullptr) sim::MakeRegistryKey(row.key);
    EXPECT_EQ(IsRuntimeRegistered(), row.registered);
    EXPECT_EQ(sim::CountCalls("RegQueryValueExA"), 0u) << "no value is read";
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(ProductProbesTest, RuntimeProbeOpensForReadingAndClosesAtOnce) {
  sim::MakeRegistryKey(kRuntimeKey);
  sim::RegDenyWrite(kRuntimeKey);
  EXPECT_TRUE(IsRuntimeRegistered()) << "reading is enough";
  EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                 "RegOpenKeyExA(HKLM, SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39, 0, 0x20019)",
                                 "RegCloseKey(k1)",
                             }));
  sim::FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsRuntimeRegistered());
}

// ---- ReadUpdaterVersion -------------------------------------------------------

TEST_F(ProductProbesTest, ReadUpdaterVersionTakesAnyDataThatFit) {
  struct Row {
    const char* label;
    DWORD type;
    std::string stored;
    DWORD capacity;
    int result;
  } rows[] = {
      {"text", REG_SZ, Bytes("2.0.7.2\0"), 16, 1},
      {"text without terminator", REG_SZ, Bytes("2.0.7.2"), 16, 1},
      {"dword", REG_DWORD, Bytes("\x01\x00\x00\x00"), 16, 1},
      {"binary filling the buffer", REG_BINARY, Bytes("2.0.7.2\0"), 8, 1},
      {"too long", REG_SZ, Bytes("2.0.7.2\0"), 7, 0},
      {"empty", REG_SZ, Bytes(""), 16, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kUpdaterKey, "AUVersion", row.type, row.stored);
    ExactBuffer version(row.capacity);
    EXPECT_EQ(ReadUpdaterVersion(version.data.get(), row.capacity), row.result);
    if (row.result == 1) {
      EXPECT_EQ(version.Prefix(row.stored.size()), row.stored);
    }
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(ProductProbesTest, ReadUpdaterVersionDoesNotTerminateTheBuffer) {
  sim::RegSet(kUpdaterKey, "AUVersion", REG_BINARY, Bytes("2.0"));
  char version[8];
  std::memset(version, 'Z', sizeof version);
  ASSERT_EQ(ReadUpdaterVersion(version, sizeof version), 1);
  EXPECT_EQ(std::string(version, sizeof version), "2.0ZZZZZ");
}

TEST_F(ProductProbesTest, ReadUpdaterVersionCallsTheRegistryDirectly) {
  sim::RegSetString(kUpdaterKey, "AUVersion", "2.0.7.2");
  char version[1024] = {};
  ASSERT_EQ(ReadUpdaterVersion(version, sizeof version), 1);
  EXPECT_EQ(RegistryCalls(), (std::vector<std::string>{
                                 "RegOpenKeyExA(HKLM, SOFTWARE\\Morvanta\\Auto Update, 0, 0x20019)",
                                 "RegQueryValueExA(k1, AUVersion, buffer, 1024)",
                                 "RegCloseKey(k1)",
                             }));
}

TEST_F(ProductProbesTest, ReadUpdaterVersionWithoutKeyOrValue) {
  char version[16] = {};
  EXPECT_EQ(ReadUpdaterVersion(version, sizeof version), 0);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 0u) << "a failed open leaves nothing to close";

  sim::MakeRegistryKey(kUpdaterKey);
  EXPECT_EQ(ReadUpdaterVersion(version, sizeof version), 0);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 1u);
}

// ---- IsUpdaterOlder ----------------------------------------------------------

TEST_F(ProductProbesTest, UpdaterVersionsCompareAsText) {
  struct Row {
    const char* label;
    DWORD type;
    std::string stored;
    bool older;
  } rows[] = {
      {"2.0.7.2 itself", REG_SZ, Bytes("2.0.7.2\0"), false},
      {"2.0.6.9", REG_SZ, Bytes("2.0.6.9\0"), true},
      {"2.0.10.0, numerically higher", REG_SZ, Bytes("2.0.10.0\0"), true},
      {"2.0.7.10, numerically higher", REG_SZ, Bytes("2.0.7.10\0"), true},
      {"10.0.0.0, numerically higher", REG_SZ, Bytes("10.0.0.0\0"), true},
      {"2.0.7, a proper prefix", REG_SZ, Bytes("2.0.7\0"), true},
      {"2.1.0.0", REG_SZ, Bytes("2.1.0.0\0"), false},
      {"2.0.8.0", REG_SZ, Bytes("2.0.8.0\0"), false},
      {"2.0.7.2.1, longer", REG_SZ, Bytes("2.0.7.2.1\0"), false},
      {"terminator alone", REG_SZ, Bytes("\0"), true},
      {"without terminator", REG_SZ, Bytes("2.0.6.9"), true},
      {"dword whose bytes read 3.0", REG_DWORD, Bytes("3.0\0"), false},
      {"dword whose bytes read 1", REG_DWORD, Bytes("1\0\0\0"), true},
      {"binary 2.0.7 without a zero, a proper prefix", REG_BINARY, Bytes("2.0.7"), true},
      {"1024 bytes without a zero", REG_BINARY, std::string(1024, '9'), false},
      {"1024 bytes of an older version and padding", REG_BINARY,
       Bytes("2.0.6.9\0") + std::string(1016, '9'), true},
      {"1025 bytes do not fit", REG_SZ, Bytes("1\0") + std::string(1023, 'x'), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kUpdaterKey, "AUVersion", row.type, row.stored);
    EXPECT_EQ(IsUpdaterOlder(), row.older);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  }
}

TEST_F(ProductProbesTest, UnreadableUpdaterVersionIsNotOlder) {
  EXPECT_FALSE(IsUpdaterOlder()) << "key absent";
  sim::MakeRegistryKey(kUpdaterKey);
  EXPECT_FALSE(IsUpdaterOlder()) << "value absent";
  sim::RegSetString(kUpdaterKey, "AUVersion", "1.0.0.0");
  sim::FailCall("RegQueryValueExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(IsUpdaterOlder()) << "query refused";
  EXPECT_TRUE(IsUpdaterOlder()) << "the same value, readable";
  auto queries = sim::CallsStartingWith("RegQueryValueExA");
  ASSERT_FALSE(queries.empty());
  EXPECT_NE(queries.back().find(", AUVersion, buffer, 1024)"), std::string::npos) << queries.back();
}

}  // namespace
