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

// A 64-bit process sees system32 as it is: with a tool from SysWOW64 the
// package path still names the folder the package was written to (the
// 32-bit product names it SysWOW64, run_sequence_test.cpp).
TEST_F(Flavour64Test, SysWow64ToolLeavesThePackagePathAsWritten) {
  const std::string folder = "C:\\Windows\\system32\\config\\systemprofile\\AppData\\LocalLow";
  sim::SetKnownFolder(sim::LocalAppDataLowId(), std::u16string(folder.begin(), folder.end()));
  sim::MakeDirectories(folder);
  sim::RegSetString(test::kInstallerKey, "InstallerLocation", "C:\\Windows\\SysWOW64");
  AddPayload();
  const std::string tool = "C:\\Windows\\SysWOW64\\msiexec.exe";
  std::string seen;
  bool complete = false;
  const std::string staging = folder + "\\Qor\\Vesk\\qmb1.6.0_39_x64";
  sim::RegisterProgram(tool, [&](const std::string& line) {
    seen = line;
    complete = test::WaitForTheCabinets() && sim::Exists(staging + "\\qmb1.6.0_39.msi");
    return 0u;
  });
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(seen, "\"" + tool + "\" /i \"" + staging + "\\qmb1.6.0_39.msi\"  WRAPPER=1");
  EXPECT_TRUE(complete) << "the package lies where the command line says";
}

TEST_F(Flavour64Test, UpdaterPhaseIsSkippedEvenAfterASuccessWithTheRuntimeRegistered) {
  AddPayload();
  sim::MakeRegistryKey("SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39");
  FakeInstaller(0);
  EXPECT_EQ(RunWinMain().code, 0);
  EXPECT_EQ(Runs().size(), 1u);
  EXPECT_FALSE(sim::Exists(test::kDataFolder + "\\Qor\\Vesk\\AU"));
}

}  // namespace
