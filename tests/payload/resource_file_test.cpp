#include "payload/resource_file.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

using test::Bytes;

const char kType[] = "VESK_CAB9";
const WORD kNumber = 110;
const std::string kFolder = "C:\\out";
const std::string kFile = kFolder + "\\ss160390.cab";

class ResourceFileTest : public test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    sim::MakeDirectories(kFolder);
  }

  // Writes the item inside a simulated process (a failure ends it).
  sim::RunResult Write(const std::string& path, int* result = nullptr) {
    return sim::RunProcess([&] {
      int r = WriteResourceToFile(sim::Module(), kNumber, kType, path.c_str());
      if (result != nullptr) *result = r;
      return 0;
    });
  }

  std::vector<DWORD> WriteRequests() {
    std::vector<DWORD> sizes;
    for (const auto& c : sim::CallsStartingWith("WriteFile("))
      sizes.push_back(static_cast<DWORD>(std::stoul(c.substr(c.rfind(", ") + 2))));
    return sizes;
  }

  void ExpectFatal(const sim::RunResult& r, const std::string& label, int code, const std::string& systemText) {
    EXPECT_TRUE(r.exitProcessCalled);
    EXPECT_EQ(r.code, code);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, label + " failed with error " + std::to_string(code) + ": " + systemText);
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].style, 0u);
    EXPECT_EQ(sim::LiveLocalAllocations(), 0) << "system text and message are freed";
  }
};

TEST_F(ResourceFileTest, MissingItemReturnsZeroAndLeavesAnExistingFileAlone) {
  sim::WriteFileBytes(kFile, "keep me");
  int result = -1;
  sim::RunResult r = Write(kFile, &result);
  EXPECT_FALSE(r.exitProcessCalled);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(sim::ReadFileBytes(kFile), "keep me");
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u);
  EXPECT_TRUE(sim::MessageBoxes().empty());
}

// A file of that name is replaced by a new one, never written through: when
// it is a hard link, its other name keeps its content.
TEST_F(ResourceFileTest, ReplacesAnOldFileByANewOneWithoutSharing) {
  sim::AddResource(kType, kNumber, "new");
  sim::WriteFileBytes("C:\\elsewhere\\victim.dll", "an older and longer file");
  sim::MakeHardLink(kFile, "C:\\elsewhere\\victim.dll");
  sim::QueueRandomBytes("\x01\x23\x45\x67\x89\xab\xcd\xef");
  int result = 0;
  Write(kFile, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(sim::ReadFileBytes(kFile), "new");
  EXPECT_EQ(sim::ReadFileBytes("C:\\elsewhere\\victim.dll"), "an older and longer file");
  // Moved beside it to a name from the system's random generator and
  // deleted there, then made anew with CREATE_NEW, not through a link.
  const std::string retired = kFolder + "\\~qmb0123456789abcdef.tmp";
  EXPECT_EQ(sim::CallsStartingWith("MoveFileA"), std::vector<std::string>{"MoveFileA(" + kFile + ", " + retired + ")"});
  EXPECT_EQ(sim::CallsStartingWith("DeleteFileA"), std::vector<std::string>{"DeleteFileA(" + retired + ")"});
  EXPECT_EQ(sim::CallsStartingWith("CreateFileA"),
            std::vector<std::string>{"CreateFileA(" + kFile + ", 0x40000000, 0, 1, 0x200080)"});
  EXPECT_EQ(sim::OpenFileHandles(), 0);
}

// A retire name that is taken (by chance, or planted by someone who guessed
// it) makes the next unpredictable one be tried.
TEST_F(ResourceFileTest, TakenRetireNameMakesTheNextBeTried) {
  sim::AddResource(kType, kNumber, "new");
  sim::WriteFileBytes(kFile, "old");
  const std::string first = kFolder + "\\~qmb0000000000000001.tmp", second = kFolder + "\\~qmb0000000000000002.tmp";
  sim::WriteFileBytes(first, "planted");
  sim::QueueRandomBytes(std::string("\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x02", 16));
  int result = 0;
  Write(kFile, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(sim::ReadFileBytes(kFile), "new");
  EXPECT_EQ(sim::ReadFileBytes(first), "planted");
  EXPECT_EQ(sim::CallsStartingWith("MoveFileA").back(), "MoveFileA(" + kFile + ", " + second + ")");
}

// A link that leads nowhere, put where the file goes between the look at
// the name and the create: the create fails rather than make the link's
// target.
TEST_F(ResourceFileTest, LinkPutUnderTheNameJustBeforeTheCreateIsNotFollowed) {
  sim::AddResource(kType, kNumber, "new");
  sim::MakeDirectories("C:\\elsewhere");
  sim::OnCall("CreateFileA", kFile, [] { sim::MakeLink(kFile, "C:\\elsewhere\\planted.dll"); });
  ExpectFatal(Write(kFile), kCreateLabel, ERROR_FILE_EXISTS, "");
  EXPECT_FALSE(sim::Exists("C:\\elsewhere\\planted.dll"));
}

// Sizes around the chunk: every write asks for at most 8192 bytes, and a
// size that is a multiple of the chunk never ends with a write of 0 bytes.
struct ChunkCase {
  size_t size;
  std::vector<DWORD> writes;
};

TEST_F(ResourceFileTest, WritesInChunksOfAtMost8192Bytes) {
  const ChunkCase cases[] = {
      {0, {}},
      {1, {1}},
      {8191, {8191}},
      {8192, {8192}},
      {8193, {8192, 1}},
      {3 * 8192, {8192, 8192, 8192}},
      {2 * 8192 + 100, {8192, 8192, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    sim::Reset();
    sim::MakeDirectories(kFolder);
    std::string bytes = Bytes("chunk", c.size);
    sim::AddResource(kType, kNumber, bytes);
    int result = 0;
    Write(kFile, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(WriteRequests(), c.writes);
    EXPECT_EQ(sim::ReadFileBytes(kFile), bytes);
    EXPECT_EQ(sim::CountCalls("LocalAlloc"), 0u) << "no buffer of the item's size";
  }
}

TEST_F(ResourceFileTest, ShortWritesAreContinuedFromTheReportedPosition) {
  std::string bytes = Bytes("short", 20000);
  sim::AddResource(kType, kNumber, bytes);
  sim::ShortWrite(1, 5000);
  sim::ShortWrite(2, 1);
  int result = 0;
  Write(kFile, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(sim::ReadFileBytes(kFile), bytes);
  EXPECT_EQ(WriteRequests(), (std::vector<DWORD>{8192, 8192, 8192, 6807}));
}

TEST_F(ResourceFileTest, MissingFolderEndsTheProcessWithThreeAndTheCreateLabel) {
  sim::AddResource(kType, kNumber, "x");
  sim::RunResult r = Write("C:\\missing\\ss160390.cab");
  ExpectFatal(r, "Installer : Wrapper.CreateFile ", 3, "The system cannot find the path specified.\r\n");
  EXPECT_NE(sim::MessageBoxes()[0].text.find("CreateFile  failed"), std::string::npos) << "two blanks";
}

TEST_F(ResourceFileTest, AccessDeniedAndFileInUseAreCreateFailures) {
  sim::AddResource(kType, kNumber, "x");
  sim::WriteFileBytes(kFile, "read-only");
  sim::SetReadOnly(kFile, true);
  ExpectFatal(Write(kFile), kCreateLabel, 5, "Access is denied.\r\n");

  sim::Reset();
  sim::AddResource(kType, kNumber, "x");
  sim::HoldFileOpen(kFile, GENERIC_READ, 0);
  ExpectFatal(Write(kFile), kCreateLabel, 32,
              "The process cannot access the file because it is being used by another process.\r\n");
  sim::ReleaseHeldFiles();
}

TEST_F(ResourceFileTest, FailedWriteKeepsThePartFileAndReportsTheWriteLabel) {
  std::string bytes = Bytes("full", 3 * 8192);
  sim::AddResource(kType, kNumber, bytes);
  sim::SetDiskSpace(2 * 8192);
  sim::RunResult r = Write(kFile);
  ExpectFatal(r, "Installer : Wrapper.WriteFile (In small chunks) ", 112, "There is not enough space on the disk.\r\n");
  EXPECT_EQ(sim::ReadFileBytes(kFile), bytes.substr(0, 2 * 8192));
}

TEST_F(ResourceFileTest, WriteReportingZeroBytesIsAWriteFailureNotALoop) {
  sim::AddResource(kType, kNumber, Bytes("zero", 10000));
  sim::ShortWrite(2, 0);
  sim::RunResult r = Write(kFile);
  EXPECT_TRUE(r.exitProcessCalled);
  EXPECT_EQ(r.code, 29);
  ASSERT_EQ(sim::MessageBoxes().size(), 1u);
  EXPECT_EQ(sim::MessageBoxes()[0].text.rfind(std::string(kWriteLabel) + " failed with error 29: ", 0), 0u);
  EXPECT_EQ(sim::CountCalls("WriteFile("), 2u);
}

TEST_F(ResourceFileTest, FailedCloseReportsTheCloseLabel) {
  sim::AddResource(kType, kNumber, "x");
  sim::FailCall("CloseHandle", 1, 5, "ss160390.cab");
  ExpectFatal(Write(kFile), "Installer : Wrapper.CloseHandle ", 5, "Access is denied.\r\n");
}

TEST_F(ResourceFileTest, ErrorWithoutSystemTextGivesAnEmptyText) {
  sim::AddResource(kType, kNumber, "x");
  sim::FailCall("CreateFileA", 1, 9999);
  ExpectFatal(Write(kFile), kCreateLabel, 9999, "");
}

// A platform call that fails without setting an error code must still end
// the process with a failure code, never with 0 (which reads as success).
TEST_F(ResourceFileTest, StepFailingWithoutAnErrorCodeEndsWithANonZeroCode) {
  struct Row {
    const char* op;
    const char* label;
  };
  const Row rows[] = {
      {"CreateFileA", kCreateLabel},
      {"WriteFile", kWriteLabel},
      {"CloseHandle", kCloseLabel},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.op);
    sim::Reset();
    sim::MakeDirectories(kFolder);
    sim::AddResource(kType, kNumber, "x");
    sim::FailCall(row.op, 1, 0, row.op == std::string("CloseHandle") ? "ss160390.cab" : "");
    ExpectFatal(Write(kFile), row.label, 1627, "");
  }
}

TEST_F(ResourceFileTest, PathThatDidNotFitIsRefusedAsTooLong) {
  sim::AddResource(kType, kNumber, "x");
  ExpectFatal(Write(""), kCreateLabel, 206, "The filename or extension is too long.\r\n");
  EXPECT_EQ(sim::CountCalls("CreateFileA"), 0u);
}

TEST_F(ResourceFileTest, UnreachableItemBytesEndTheProcessWithoutTouchingTheFile) {
  sim::AddResource(kType, kNumber, "x");
  sim::WriteFileBytes(kFile, "old");
  for (const char* step : {"LoadResource", "LockResource", "SizeofResource"}) {
    SCOPED_TRACE(step);
    // A size that cannot be taken reads as 0: an empty file must not pass
    // for the item.
    sim::FailCall(step, 1, 1812);
    sim::RunResult r = Write(kFile);
    EXPECT_TRUE(r.exitProcessCalled);
    EXPECT_EQ(r.code, 1812);
    EXPECT_EQ(sim::ReadFileBytes(kFile), "old");
  }
}

}  // namespace
