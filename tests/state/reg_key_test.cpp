#include "state/reg_key.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "registry_bytes.h"

using state_test::Bytes;
using state_test::ExactBuffer;
using state_test::FirstArgument;
using state_test::HandleText;

namespace {

const char kKey[] = "SOFTWARE\\Test";

class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    sim::MakeRegistryKey(kKey);
  }
  void TearDown() override { EXPECT_EQ(sim::OpenRegistryHandles(), 0) << "a registry handle was left open"; }
};

TEST_F(RegKeyTest, CloseOnEmptyKeyMakesNoCall) {
  RegKey key;
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_TRUE(sim::CallsStartingWith("Reg").empty());
}

TEST_F(RegKeyTest, OpenPassesItsArgumentsAndCloseReleasesTheHandle) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  EXPECT_NE(key.Handle(), nullptr);
  EXPECT_EQ(sim::OpenRegistryHandles(), 1);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Close(), 0);  // the second close makes no call
  auto calls = sim::CallsStartingWith("Reg");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "RegOpenKeyExA(0x80000002, SOFTWARE\\Test, 0, 0x20019)");
  EXPECT_EQ(calls[1].rfind("RegCloseKey(", 0), 0u) << calls[1];
}

TEST_F(RegKeyTest, DestructionClosesTheHeldKey) {
  {
    RegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WRITE), 0);
    EXPECT_EQ(sim::OpenRegistryHandles(), 1);
  }
  EXPECT_EQ(sim::OpenRegistryHandles(), 0);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 1u);
}

TEST_F(RegKeyTest, CloseForgetsTheHandleWhenTheCloseFails) {
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  sim::FailCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(key.Close(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 1u) << "a forgotten handle must not be closed again";
}

TEST_F(RegKeyTest, FailedOpenKeepsTheHeldKey) {
  sim::RegSetString(kKey, "v", "abc");
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  HKEY held = key.Handle();
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Handle(), held);
  EXPECT_EQ(sim::OpenRegistryHandles(), 1);
  EXPECT_EQ(sim::CountCalls("RegCloseKey"), 0u);
  char buffer[8] = {};
  DWORD length = sizeof buffer;
  EXPECT_EQ(key.ReadString(buffer, "v", &length), 0) << "the held key must still work";
  EXPECT_FALSE(sim::RegKeyExists("SOFTWARE\\Missing")) << "Open must never create a key";
}

TEST_F(RegKeyTest, OpenReplacesAndClosesTheKeyHeldBefore) {
  sim::MakeRegistryKey("SOFTWARE\\Other");
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  HKEY old = key.Handle();
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", KEY_READ), 0);
  EXPECT_NE(key.Handle(), old);
  EXPECT_EQ(sim::OpenRegistryHandles(), 1);
  auto closes = sim::CallsStartingWith("RegCloseKey");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0], "RegCloseKey(" + HandleText(old) + ")");
  // The old key is closed only once the new one is open.
  auto calls = sim::CallsStartingWith("Reg");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].rfind("RegOpenKeyExA", 0), 0u);
  EXPECT_EQ(calls[2], closes[0]);

  // The result is that close's; the new key is held all the same.
  sim::FailCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), ERROR_INVALID_HANDLE);
  EXPECT_NE(key.Handle(), nullptr);
  EXPECT_EQ(sim::OpenRegistryHandles(), 1);
}

TEST_F(RegKeyTest, OpenForWritingARefusedKeyPassesTheCodeThrough) {
  sim::RegDenyWrite(kKey);
  RegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ | KEY_WRITE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.Handle(), nullptr);
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
}

TEST_F(RegKeyTest, OpenBelowAnOpenKey) {
  sim::MakeRegistryKey("SOFTWARE\\Test\\Child");
  RegKey parent;
  RegKey child;
  ASSERT_EQ(parent.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  ASSERT_EQ(child.Open(parent.Handle(), "Child", KEY_READ), 0);
  auto opens = sim::CallsStartingWith("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[1], "RegOpenKeyExA(" + HandleText(parent.Handle()) + ", Child, 0, 0x20019)");
  EXPECT_NE(child.Handle(), parent.Handle());
  child.Close();
  parent.Close();
}

// One stored value read into a buffer of exactly `capacity` bytes.
struct ReadRow {
  const char* label;
  DWORD type;
  std::string stored;
  DWORD capacity;
  LONG result;
  DWORD length;  // as reported back
};

TEST_F(RegKeyTest, ReadStringTypeAndTerminatorRules) {
  const ReadRow rows[] = {
      {"sz with terminator", REG_SZ, Bytes("abc\0"), 16, 0, 4},
      {"sz exactly filling the buffer", REG_SZ, Bytes("abc\0"), 4, 0, 4},
      {"sz without terminator", REG_SZ, Bytes("abc"), 16, ERROR_INVALID_DATA, 3},
      {"sz terminator alone", REG_SZ, Bytes("\0"), 16, 0, 1},
      {"sz of length 0", REG_SZ, Bytes(""), 16, ERROR_INVALID_DATA, 0},
      {"sz with a zero inside but not at the end", REG_SZ, Bytes("ab\0c"), 16, ERROR_INVALID_DATA, 4},
      {"expand_sz with terminator", REG_EXPAND_SZ, Bytes("%TEMP%\\x\0"), 16, 0, 9},
      {"expand_sz without terminator", REG_EXPAND_SZ, Bytes("abc"), 16, ERROR_INVALID_DATA, 3},
      {"expand_sz of length 0", REG_EXPAND_SZ, Bytes(""), 16, ERROR_INVALID_DATA, 0},
      {"multi_sz two zeros alone", REG_MULTI_SZ, Bytes("\0\0"), 16, 0, 2},
      {"multi_sz one string, two zeros", REG_MULTI_SZ, Bytes("a\0\0"), 16, 0, 3},
      {"multi_sz two strings", REG_MULTI_SZ, Bytes("a\0b\0\0"), 16, 0, 5},
      {"multi_sz one trailing zero", REG_MULTI_SZ, Bytes("a\0"), 16, ERROR_INVALID_DATA, 2},
      {"multi_sz length 1, a zero", REG_MULTI_SZ, Bytes("\0"), 16, ERROR_INVALID_DATA, 1},
      {"multi_sz length 1, a letter", REG_MULTI_SZ, Bytes("a"), 16, ERROR_INVALID_DATA, 1},
      {"multi_sz length 0", REG_MULTI_SZ, Bytes(""), 16, ERROR_INVALID_DATA, 0},
      {"multi_sz no zero at all", REG_MULTI_SZ, Bytes("abc"), 16, ERROR_INVALID_DATA, 3},
      {"dword", REG_DWORD, Bytes("\x01\x00\x00\x00"), 16, ERROR_INVALID_DATA, 4},
      {"binary that looks like text", REG_BINARY, Bytes("abc\0"), 16, ERROR_INVALID_DATA, 4},
      {"none that looks like text", REG_NONE, Bytes("abc\0"), 16, ERROR_INVALID_DATA, 4},
      {"sz larger than the buffer", REG_SZ, Bytes("abcdef\0"), 4, ERROR_MORE_DATA, 7},
      {"sz one byte too large", REG_SZ, Bytes("abcd\0"), 4, ERROR_MORE_DATA, 5},
      {"sz into a buffer of 0 bytes", REG_SZ, Bytes("a\0"), 0, ERROR_MORE_DATA, 2},
      {"sz of length 0 into a buffer of 0 bytes", REG_SZ, Bytes(""), 0, ERROR_INVALID_DATA, 0},
      {"expand_sz larger than the buffer", REG_EXPAND_SZ, Bytes("abcdef\0"), 4, ERROR_MORE_DATA, 7},
      {"multi_sz larger than the buffer", REG_MULTI_SZ, Bytes("abcdef\0\0"), 4, ERROR_MORE_DATA, 8},
      {"dword larger than the buffer", REG_DWORD, Bytes("\x01\x00\x00\x00"), 2, ERROR_INVALID_DATA, 4},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::RegSet(kKey, "v", row.type, row.stored);
    RegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
    ExactBuffer buffer(row.capacity);
    DWORD length = row.capacity;
    EXPECT_EQ(key.ReadString(buffer.data.get(), "v", &length), row.result);
    EXPECT_EQ(length, row.length);
    std::string handle = HandleText(key.Handle());
    EXPECT_EQ(sim::CallsStartingWith("RegQueryValueExA"),
              std::vector<std::string>{"RegQueryValueExA(" + handle + ", v, buffer, " + std::to_string(row.capacity) +
                                       ")"})
        << "one query, into the caller's buffer and capacity";
    if (row.stored.size() <= row.capacity) {
      // What the query wrote stays, whatever the result.
      EXPECT_EQ(buffer.Prefix(row.stored.size()), row.stored);
    } else {
      EXPECT_EQ(buffer.Prefix(row.capacity), std::string(row.capacity, 'Z')) << "nothing is written on overflow";
    }
    key.Close();
    EXPECT_EQ(FirstArgument(sim::CallsStartingWith("RegCloseKey").at(0)), handle) << "the key read is the key closed";
  }
}

TEST_F(RegKeyTest, SizeQueryHasNoTypeTest) {
  sim::RegSet(kKey, "d", REG_DWORD, Bytes("\x05\x00\x00\x00"));
  sim::RegSet(kKey, "s", REG_SZ, Bytes("abc"));
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  DWORD length = 0;
  EXPECT_EQ(key.ReadString(nullptr, "d", &length), 0);
  EXPECT_EQ(length, 4u);
  length = 0;
  EXPECT_EQ(key.ReadString(nullptr, "s", &length), 0) << "no terminator test on a size query";
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(key.ReadString(nullptr, "absent", &length), ERROR_FILE_NOT_FOUND);
  key.Close();
}

TEST_F(RegKeyTest, QueryThatReportsNoTypeGivesInvalidData) {
  sim::RegSetString(kKey, "v", "abc");
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  char buffer[16] = {};
  DWORD length = sizeof buffer;
  // A missing value reports no type: 13, not the query's own 2.
  EXPECT_EQ(key.ReadString(buffer, "absent", &length), ERROR_INVALID_DATA);
  EXPECT_EQ(length, sizeof buffer);
  sim::FailCall("RegQueryValueExA", 1, ERROR_ACCESS_DENIED);
  length = sizeof buffer;
  EXPECT_EQ(key.ReadString(buffer, "v", &length), ERROR_INVALID_DATA);
  EXPECT_EQ(buffer[0], 0) << "a failed query wrote nothing";
  key.Close();
}

TEST_F(RegKeyTest, ExpandableTextIsReturnedAsStored) {
  sim::RegSet(kKey, "v", REG_EXPAND_SZ, Bytes("%SystemRoot%\\x\0"));
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), 0);
  char buffer[64] = {};
  DWORD length = sizeof buffer;
  EXPECT_EQ(key.ReadString(buffer, "v", &length), 0);
  EXPECT_STREQ(buffer, "%SystemRoot%\\x");
  key.Close();
}

// One WriteString of the value "v", on a key opened with `access`, with
// what stood before and what stands after.
struct WriteRow {
  const char* label;
  std::string text;  // the text's bytes, without the terminator WriteString is given after them
  bool multi;
  LONG length;  // -1: the default
  LONG result;
  std::optional<sim::RegValue> before, after;  // nullopt: no value
  std::string set;  // the RegSetValueExA call after its handle ("" for none)
  REGSAM access = KEY_READ | KEY_WRITE;
  DWORD fault = 0;  // injected into RegSetValueExA
};

TEST_F(RegKeyTest, WriteStringTable) {
  const sim::RegValue kOldText{REG_SZ, Bytes("abc\0")}, kOldMulti{REG_MULTI_SZ, Bytes("old\0\0")};
  const WriteRow rows[] = {
      {"plain: the text and its terminator", "abc", false, -1, 0, std::nullopt, sim::RegValue{REG_SZ, Bytes("abc\0")},
       "v, 0, 1, 4"},
      {"replacing with the empty text: its terminator alone", "", false, -1, 0, kOldText,
       sim::RegValue{REG_SZ, Bytes("\0")}, "v, 0, 1, 1"},
      {"plain with a length: that many bytes", "abcdef", false, 3, 0, std::nullopt, sim::RegValue{REG_SZ, Bytes("abc")},
       "v, 0, 1, 3"},
      {"multi with its length, both zeros included", Bytes("a\0b\0"), true, 5, 0, std::nullopt,
       sim::RegValue{REG_MULTI_SZ, Bytes("a\0b\0\0")}, "v, 0, 7, 5"},
      {"multi without a length (-1): 87, before any call", Bytes("new\0"), true, -1, ERROR_INVALID_PARAMETER,
       kOldMulti, kOldMulti, ""},
      {"plain with a negative length: 87", "abc", false, -2, ERROR_INVALID_PARAMETER, std::nullopt, std::nullopt, ""},
      {"multi with a negative length: 87", "abc", true, -100, ERROR_INVALID_PARAMETER, std::nullopt, std::nullopt, ""},
      {"a key opened for reading: the registry's 5", "abc", false, -1, ERROR_ACCESS_DENIED, std::nullopt, std::nullopt,
       "v, 0, 1, 4", KEY_READ},
      {"a failed write: the registry's error", "abc", false, -1, ERROR_DISK_FULL, std::nullopt, std::nullopt,
       "v, 0, 1, 4", KEY_READ | KEY_WRITE, ERROR_DISK_FULL},
  };
  for (const WriteRow& row : rows) {
    SCOPED_TRACE(row.label);
    sim::Reset();
    sim::MakeRegistryKey(kKey);
    if (row.before) sim::RegSet(kKey, "v", row.before->type, row.before->bytes);
    RegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, row.access), 0);
    if (row.fault != 0) sim::FailCall("RegSetValueExA", 1, row.fault);
    EXPECT_EQ(key.WriteString(row.text.c_str(), "v", row.multi, row.length), row.result);
    std::optional<sim::RegValue> now = sim::RegGet(kKey, "v");
    EXPECT_EQ(now.has_value(), row.after.has_value());
    if (now && row.after) {
      EXPECT_EQ(now->type, row.after->type);
      EXPECT_EQ(now->bytes, row.after->bytes);
    }
    std::vector<std::string> sets;
    if (!row.set.empty()) sets.push_back("RegSetValueExA(" + HandleText(key.Handle()) + ", " + row.set + ")");
    EXPECT_EQ(sim::CallsStartingWith("RegSetValueExA"), sets);
    if (row.result == 0 && !row.multi && row.length == -1) {
      char buffer[8] = {};
      DWORD length = sizeof buffer;
      EXPECT_EQ(key.ReadString(buffer, "v", &length), 0);
      EXPECT_EQ(std::string(buffer), row.text) << "the text reads back";
    }
    key.Close();
  }
}

}  // namespace
