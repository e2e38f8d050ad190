#include "engine/installer_tool.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

using test::kInstallerKey;

class InstallerToolTest : public test::MachineTest {
 protected:
  std::string Locate(DWORD capacity, bool* ok) {
    std::vector<char> buffer(capacity, '\0');
    *ok = LocateInstallerTool(buffer.data(), capacity);
    return std::string(buffer.data(), strnlen(buffer.data(), capacity));
  }
};

TEST_F(InstallerToolTest, VersionThreshold) {
  struct Row {
    const char* version;
    DWORD ms, ls;
    bool passes;
  } rows[] = {
      {"2.0.2600.0", 0x00020000, 0x0A280000, true},   {"2.0.2599.65535", 0x00020000, 0x0A27FFFF, false},
      {"2.0.2600.1", 0x00020000, 0x0A280001, true},   {"2.1.0.0", 0x00020001, 0, true},
      {"3.1.4000.0", 0x00030001, 0x0FA00000, true},   {"5.0.7601.0", 0x00050000, 0x1DB10000, true},
      {"1.20.1827.0", 0x00010014, 0x07230000, false}, {"0.0.0.0", 0, 0, false},
      {"1.99.65535.65535", 0x00010063, 0xFFFFFFFF, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version);
    EXPECT_EQ(InstallerVersionPasses(row.ms, row.ls), row.passes);
    sim::SetMsiVersion(row.ms, row.ls);
    EXPECT_EQ(InstallerVersionGate(), row.passes);
  }
}

TEST_F(InstallerToolTest, GateReadsMsiDllThroughVersionDllByFullPath) {
  EXPECT_TRUE(InstallerVersionGate());
  auto loads = sim::LibraryLoads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].path, "C:\\Windows\\system32\\version.dll");
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0) << "version.dll is freed";
  EXPECT_EQ(sim::CallsStartingWith("GetFileVersionInfoA"),
            std::vector<std::string>{"GetFileVersionInfoA(C:\\Windows\\system32\\msi.dll, 0, 1024)"});
  EXPECT_EQ(sim::CallsStartingWith("VerQueryValueA"), std::vector<std::string>{"VerQueryValueA(\\)"});
}

TEST_F(InstallerToolTest, GateFailsWithoutALibraryOrItsVersion) {
  sim::RemoveMsiVersionInfo();
  EXPECT_FALSE(InstallerVersionGate());
  sim::Reset();
  sim::RemoveLibrary("msi.dll");
  EXPECT_FALSE(InstallerVersionGate());
  sim::Reset();
  sim::FailCall("VerQueryValueA", 1, 1813);
  EXPECT_FALSE(InstallerVersionGate());
  sim::Reset();
  sim::FailCall("GetSystemDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(InstallerVersionGate());
  EXPECT_EQ(sim::CountCalls("GetFileVersionInfoA"), 0u) << "no msi.dll is read at the root of the current drive";
  sim::Reset();
  sim::RemoveLibrary("version.dll");
  EXPECT_FALSE(InstallerVersionGate());
  sim::Reset();
  sim::RemoveExport("version.dll", "VerQueryValueA");
  EXPECT_FALSE(InstallerVersionGate());
  EXPECT_EQ(sim::LoadedLibraryReferences(), 0);
}

TEST_F(InstallerToolTest, ToolComesFromTheRegisteredLocation) {
  bool ok = false;
  EXPECT_EQ(Locate(260, &ok), "C:\\Windows\\system32\\msiexec.exe");
  EXPECT_TRUE(ok);
  EXPECT_EQ(sim::CallsStartingWith("RegOpenKeyExA"),
            std::vector<std::string>{"RegOpenKeyExA(0x80000002, " + kInstallerKey + ", 0, 0x20019)"});
  EXPECT_EQ(sim::OpenRegistryHandles(), 0);
}

TEST_F(InstallerToolTest, TrailingBackslashIsKeptAsStored) {
  sim::RegSetString(kInstallerKey, "InstallerLocation", "C:\\Tools\\");
  bool ok = false;
  EXPECT_EQ(Locate(260, &ok), "C:\\Tools\\\\msiexec.exe");
  EXPECT_TRUE(ok);
}

TEST_F(InstallerToolTest, MissingKeyOrValueIsNotLocated) {
  sim::RemoveRegistryTree(kInstallerKey);
  bool ok = true;
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
  sim::MakeRegistryKey(kInstallerKey);
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(sim::OpenRegistryHandles(), 0);
}

TEST_F(InstallerToolTest, WindowsFiveTwoUsesTheSystemDirectoryWhateverTheRegistry) {
  sim::SetWindowsVersion(5, 2);
  sim::RemoveRegistryTree(kInstallerKey);
  bool ok = false;
  EXPECT_EQ(Locate(260, &ok), "C:\\Windows\\system32\\msiexec.exe");
  EXPECT_TRUE(ok);
  EXPECT_EQ(sim::CountCalls("RegOpenKeyExA"), 0u);
  sim::SetWindowsVersion(5, 1);
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
}

TEST_F(InstallerToolTest, PathThatWouldNotFitIsNotLocated) {
  // Folder plus "\msiexec.exe" plus terminator must fit the capacity.
  std::string folder(260 - 13, 'f');
  sim::RegSetString(kInstallerKey, "InstallerLocation", folder);
  bool ok = false;
  EXPECT_EQ(Locate(260, &ok), folder + "\\msiexec.exe");
  EXPECT_TRUE(ok);
  sim::RegSetString(kInstallerKey, "InstallerLocation", folder + "g");
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
  sim::RegSetString(kInstallerKey, "InstallerLocation", std::string(300, 'h'));  // the read refuses it
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
  // A stored text that fills the whole buffer without a terminator.
  sim::RegSet(kInstallerKey, "InstallerLocation", REG_SZ, std::string(260, 'i'));
  EXPECT_EQ(Locate(260, &ok), "");
  EXPECT_FALSE(ok);
  // The larger buffer of the old-updater removal takes longer folders.
  sim::RegSetString(kInstallerKey, "InstallerLocation", folder + "g");
  EXPECT_EQ(Locate(1024, &ok), folder + "g\\msiexec.exe");
  EXPECT_TRUE(ok);
}


}  // namespace
