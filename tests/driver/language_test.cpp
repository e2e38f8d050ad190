// The default installer language and the accepted "/lang=" values, under
// both policies.
#include "driver/language.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/sim/machine.h"

namespace {

const bool kKit = true;
const bool kGeneral = false;

struct DefaultRow {
  const char* name;
  LANGID user;
  LANGID kit;
  LANGID general;
};

const DefaultRow kDefaultRows[] = {
    {"Chinese (PRC)", 2052, 2052, 2052},
    {"Chinese (Singapore)", 4100, 1033, 1028},
    {"Chinese (Taiwan)", 1028, 1033, 1028},
    {"Chinese (Hong Kong)", 3076, 1033, 1028},
    {"Japanese", 1041, 1041, 1041},
    {"English (United States)", 1033, 1033, 1033},
    {"English (United Kingdom)", 2057, 1033, 1033},
    {"German (Germany)", 1031, 1033, 1031},
    {"German (Austria)", 3079, 1033, 1031},
    {"Spanish (Spain, modern sort)", 3082, 1033, 1034},
    {"Portuguese (Brazil)", 1046, 1033, 1046},
    {"Portuguese (Portugal)", 2070, 1033, 1033},
    {"Swedish (Finland)", 2077, 1033, 1053},
    {"Russian", 1049, 1033, 1033},
    // Beyond the usual identifiers: only the low 8 bits decide the scan.
    {"French (Canada)", 3084, 1033, 1036},
    {"Korean", 1042, 1033, 1042},
    {"Italian (Switzerland)", 2064, 1033, 1040},
    {"Japanese primary with a high sublanguage", 0xFC11, 1041, 1041},
    {"neutral (0)", 0, 1033, 1033},
};

TEST(DefaultInstallLanguageTest, FollowsTheUsersIdentifierUnderEachPolicy) {
  for (const DefaultRow& row : kDefaultRows) {
    EXPECT_EQ(DefaultInstallLanguageFor(kKit, row.user), row.kit) << row.name << " (" << row.user << "), kit policy";
    EXPECT_EQ(DefaultInstallLanguageFor(kGeneral, row.user), row.general)
        << row.name << " (" << row.user << "), general policy";
  }
}

TEST(DefaultInstallLanguageTest, EveryPrimaryFourButThePrcGivesTraditionalChinese) {
  for (unsigned user = 0; user <= 0xFFFF; ++user) {
    if ((user & 0xFF) != 4) continue;
    LANGID expected = user == 2052 ? 2052 : 1028;
    ASSERT_EQ(DefaultInstallLanguageFor(kGeneral, static_cast<LANGID>(user)), expected) << "user " << user;
  }
}

TEST(DefaultInstallLanguageTest, DefaultIsAlwaysAnAcceptedLanguage) {
  for (bool kit : {kKit, kGeneral}) {
    for (unsigned user = 0; user <= 0xFFFF; ++user) {
      LANGID chosen = DefaultInstallLanguageFor(kit, static_cast<LANGID>(user));
      ASSERT_TRUE(IsAcceptedLanguageFor(kit, chosen))
          << "user " << user << " gives " << chosen << (kit ? " (kit policy)" : " (general policy)");
    }
  }
}

TEST(IsAcceptedLanguageTest, EachPolicyAcceptsExactlyItsSet) {
  const std::set<unsigned> kitSet = {1033, 1041, 2052};
  const std::set<unsigned> generalSet = {2052, 1028, 1031, 1033, 1034, 1036, 1040, 1041, 1042, 1046, 1053};
  for (unsigned value = 0; value <= 0xFFFF; ++value) {
    LANGID v = static_cast<LANGID>(value);
    ASSERT_EQ(IsAcceptedLanguageFor(kKit, v), kitSet.count(value) == 1) << value << " under the kit policy";
    ASSERT_EQ(IsAcceptedLanguageFor(kGeneral, v), generalSet.count(value) == 1) << value << " under the general policy";
  }
}

TEST(IsAcceptedLanguageTest, NamedValidationCases) {
  struct Row {
    bool kit;
    LANGID value;
    bool accepted;
  };
  const Row rows[] = {
      {kKit, 1033, true},      {kKit, 1041, true},      {kKit, 2052, true},      {kKit, 1028, false},
      {kKit, 1046, false},     {kKit, 0, false},        {kGeneral, 3082, false}, {kGeneral, 2057, false},
      {kGeneral, 0, false},    {kGeneral, 1046, true},  {kGeneral, 1053, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsAcceptedLanguageFor(row.kit, row.value), row.accepted)
        << row.value << (row.kit ? " under the kit policy" : " under the general policy");
  }
}

TEST(LanguageTableTest, RowsInScanOrder) {
  const LanguageTableRow expected[kLanguageTableRows] = {
      {2052, 2052}, {4, 1028},  {7, 1031},  {9, 1033},     {10, 1034}, {12, 1036},
      {16, 1040},   {17, 1041}, {18, 1042}, {1046, 1046}, {29, 1053},
  };
  for (int i = 0; i < kLanguageTableRows; ++i) {
    EXPECT_EQ(LanguageTable[i].primaryLanguage, expected[i].primaryLanguage) << "row " << i;
    EXPECT_EQ(LanguageTable[i].installerLanguage, expected[i].installerLanguage) << "row " << i;
  }
  EXPECT_EQ(LanguageTable[kKitJapaneseRow].installerLanguage, 1041);
}

class LanguageOnMachineTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

// This build is the development kit: its public operations use the kit
// policy and ask the platform once.
TEST_F(LanguageOnMachineTest, DefaultReadsTheUsersLanguageOnceUnderTheKitPolicy) {
  const struct {
    LANGID user;
    LANGID expected;
  } rows[] = {{1041, 1041}, {1031, 1033}, {2052, 2052}, {3076, 1033}};
  for (const auto& row : rows) {
    sim::Reset();
    sim::SetUserLangId(row.user);
    EXPECT_EQ(DefaultInstallLanguage(), row.expected) << "user " << row.user;
    EXPECT_EQ(sim::CountCalls("GetUserDefaultLangID"), 1u) << "user " << row.user;
  }
}

TEST_F(LanguageOnMachineTest, AcceptedLanguagesAreTheKitsInThisBuild) {
  EXPECT_TRUE(IsAcceptedLanguage(1041));
  EXPECT_TRUE(IsAcceptedLanguage(2052));
  EXPECT_TRUE(IsAcceptedLanguage(1033));
  EXPECT_FALSE(IsAcceptedLanguage(1036));
  EXPECT_FALSE(IsAcceptedLanguage(1046));
  EXPECT_EQ(sim::CountCalls("GetUserDefaultLangID"), 0u);
}

}  // namespace
