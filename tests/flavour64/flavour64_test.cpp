// The same system built with the architecture tag "AMD64": the 64-bit
// flavour, chosen by a comparison that ignores case.
#include <gtest/gtest.h>

#include "driver/build_profile.h"
#include "payload/cabinet_extractor.h"
#include "payload/staging_dir.h"
#include "support/machine_fixture.h"

namespace {

const std::string kStaging64 = test::kDataFolder + "\\Qor\\Vesk\\qmb1.6.0_39_x64";

class Flavour64Test : public test::MachineTest {};

TEST_F(Flavour64Test, ArchitectureTagIsComparedWithoutCase) {
  EXPECT_STREQ(kProfile.architectureTag, "AMD64");
  EXPECT_TRUE(Is64BitFlavour());
}

TEST_F(Flavour64Test, WholeRunUsesTheX64StagingDirectoryAndTheSamePackageName) {
  AddPayload();
  std::string seen;
  std::vector<std::string> files;
  sim::RegisterProgram(test::kToolPath, [&](const std::string& line) {
    seen = line;
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "QorQMBCabExtractWaitEvent");
    WaitForSingleObject(e, 10000);
    CloseHandle(e);
    files = sim::ListDirectory(kStaging64);
    return 0u;
  });
  sim::RunResult r = RunWinMain();
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(seen, "\"" + test::kToolPath + "\" /i \"" + kStaging64 + "\\qmb1.6.0_39.msi\"  WRAPPER=1");
  EXPECT_EQ(files.size(), 8u) << "package and seven cabinets beside it";
  EXPECT_FALSE(sim::Exists(test::kStagingDir));
  EXPECT_FALSE(sim::Exists(kStaging64)) << "the cleanup computes the flavour itself";
}

}  // namespace

namespace {

TEST_F(Flavour64Test, UpdaterPhaseIsSkippedEvenAfterASuccessWithTheRuntimeRegistered) {
  AddPayload();
  sim::MakeRegistryKey("SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39");
  FakeInstaller(0);
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(Runs().size(), 1u);
  EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor\\Vesk\\AU"));
}

}  // namespace
