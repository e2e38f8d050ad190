#include "driver/build_profile.h"

#include <gtest/gtest.h>

#include "payload/payload_catalogue.h"
#include "platform/fixed_text.h"
#include "support/machine_fixture.h"

namespace {

class BuildProfileTest : public test::MachineTest {};

TEST_F(BuildProfileTest, CabinetNamesComeFromTheVersionPieces) {
  std::vector<std::string> names;
  const char* const* v = kProfile.versionPieces;
  for (const CabinetItem& c : kCabinetOrder) {
    PathText name;
    ASSERT_TRUE(name.format(c.baseNameFormat, v[0], v[1], v[2], v[3]));
    names.push_back(name.c_str());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ss160390", "st160390", "sj160390", "sp160390", "sz160390", "sb160390",
                                             "sr160390"}));
}

TEST_F(BuildProfileTest, ThisBuildIsTheThirtyTwoBitDevelopmentKit) {
  EXPECT_FALSE(Is64BitFlavour());
  EXPECT_TRUE(IsDevelopmentKitFlavour());
}

}  // namespace
