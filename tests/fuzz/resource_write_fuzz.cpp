// Fuzzes the writer of embedded items to files over item sizes and the ways
// the platform can let the writing down: short writes, writes that report
// no progress, failed writes, a full disk, failed creates and closes, an item
// whose bytes cannot be reached, a fatal report without its system text or
// its message memory.
//
// The input: item size (3 bytes, little-endian, at most kMaxSize), a byte
// that seeds the item's bytes, flags, then events of 4 bytes each (at most
// kMaxEvents): kind, a, and a 2-byte little-endian b.
//
// Each input runs as one simulated process, and a model kept here works out
// from the writing rules which write calls are made and how the run ends.
// Checked, besides what the sanitizers and the time limit catch:
//  - the write calls ask for exactly the model's counts, none above 8192;
//  - either the writer answered 1, the file is byte for byte the item and
//    nothing was shown, or the process ended through ExitProcess with the
//    failed step's non-zero Windows error code and one "Error" box naming
//    that step, with the file as far as it was written (or untouched when it
//    was never opened) and the report's memory freed;
//  - a missing item answers 0 and touches nothing;
//  - no file handle is left open after a run that returned.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "payload/resource_file.h"
#include "platform/sim/machine.h"
#include "fuzz/require.h"

namespace {

using fuzz::Require;

const char kType[] = "VESK_CAB9";
const WORD kNumber = 110;
const char kFolder[] = "C:\\out";
const char kFile[] = "C:\\out\\item.bin";
const char kFileName[] = "item.bin";
const char kMissingFolderFile[] = "C:\\missing\\item.bin";

const DWORD kMaxSize = 64 * 1024;
const DWORD kChunk = 8192;
const int kMaxEvents = 8;
const size_t kOldFileSize = kMaxSize + 100;

// Error codes the injected failures carry, 0 among them: a platform call that
// fails without setting one.
const DWORD kErrors[] = {0, 5, 6, 29, 32, 39, 112, 1117, 9999, 0x80000000u, 0xFFFFFFFFu};
const size_t kErrorCount = sizeof kErrors / sizeof kErrors[0];

enum Flag {
  kOldFile = 1,          // a longer file is already at the path
  kLoadFails = 2,        // the item's bytes cannot be reached
  kNoSystemText = 4,     // the system text of the code cannot be had
  kNoMessageMemory = 8,  // the message cannot be allocated
  kMissingFolder = 16,   // the path's folder does not exist
  kPathDidNotFit = 32,   // the path is empty: it did not fit its text
  kItemMissing = 64,     // the module holds no such item
};

enum EventKind { kShortWrite, kWriteFails, kCreateFails, kCloseFails, kDiskSpace, kEventKinds };

struct Scenario {
  DWORD size = 0;
  std::string item;
  unsigned flags = 0;
  DWORD loadError = 0;
  // Per write call, 1-based: the injected failure or short count.
  struct Fault {
    int call;
    DWORD error;
  };
  std::vector<Fault> writeFaults;
  struct Short {
    int call;
    DWORD bytes;
  };
  std::vector<Short> shortWrites;
  std::vector<DWORD> createErrors;
  std::vector<DWORD> closeErrors;
  bool diskLimited = false;
  uint64_t disk = 0;
};

// ---- the model ---------------------------------------------------------------

enum class Step { None, Create, Write, Close };

struct Outcome {
  bool missing = false;         // the writer answers 0
  Step failed = Step::None;     // the step that ended the process
  DWORD code = 0;               // its error code as the platform left it
  std::vector<DWORD> requests;  // the count asked for in each write call
  std::string file;             // the file's bytes at the end
  bool fileOpened = false;      // the file was created (and truncated)
};

Outcome Model(const Scenario& s) {
  Outcome o;
  if ((s.flags & kItemMissing) != 0) {
    o.missing = true;
    return o;
  }
  // An item whose bytes cannot be reached can be written only when it has
  // none.
  if ((s.flags & kLoadFails) != 0 && s.size != 0) {
    o.failed = Step::Write;
    o.code = s.loadError;
    return o;
  }
  if ((s.flags & kPathDidNotFit) != 0) {
    o.failed = Step::Create;
    o.code = 206;  // ERROR_FILENAME_EXCED_RANGE
    return o;
  }
  if (!s.createErrors.empty()) {
    o.failed = Step::Create;
    o.code = s.createErrors.front();
    return o;
  }
  if ((s.flags & kMissingFolder) != 0) {
    o.failed = Step::Create;
    o.code = 3;  // ERROR_PATH_NOT_FOUND
    return o;
  }
  o.fileOpened = true;

  // Writes of at most one chunk, advanced by what each call reports.
  uint64_t disk = s.diskLimited ? s.disk : UINT64_MAX;
  DWORD done = 0;
  for (int call = 1; done < s.size; ++call) {
    DWORD request = s.size - done < kChunk ? s.size - done : kChunk;
    o.requests.push_back(request);
    int firstFault = -1;
    for (size_t i = 0; i < s.writeFaults.size(); ++i)
      if (s.writeFaults[i].call == call && firstFault < 0) firstFault = static_cast<int>(i);
    if (firstFault >= 0) {
      o.failed = Step::Write;
      o.code = s.writeFaults[firstFault].error;
      return o;
    }
    DWORD written = request;
    for (const auto& w : s.shortWrites)
      if (w.call == call) written = w.bytes < request ? w.bytes : request;
    if (written > disk) {
      o.failed = Step::Write;
      o.code = 112;  // ERROR_DISK_FULL
      return o;
    }
    disk -= written;
    o.file.append(s.item, done, written);
    if (written == 0) {
      // Success without progress: a failure, or the copy would never end.
      o.failed = Step::Write;
      o.code = 29;  // ERROR_WRITE_FAULT
      return o;
    }
    done += written;
  }
  if (!s.closeErrors.empty()) {
    o.failed = Step::Close;
    o.code = s.closeErrors.front();
  }
  return o;
}

// ---- decoding and running ----------------------------------------------------------

Scenario Decode(const uint8_t* data, size_t size) {
  Scenario s;
  uint8_t header[5] = {};
  for (size_t i = 0; i < sizeof header && i < size; ++i) header[i] = data[i];
  s.size = static_cast<DWORD>(header[0] | (header[1] << 8) | (header[2] << 16)) % (kMaxSize + 1);
  s.flags = header[4];
  // Bytes that differ at every offset of a chunk and between chunks, so that a
  // write from the wrong position shows.
  uint32_t state = 0x9E3779B9u ^ header[3];
  s.item.resize(s.size);
  for (DWORD i = 0; i < s.size; ++i) {
    state = state * 1664525u + 1013904223u;
    s.item[i] = static_cast<char>(state >> 24);
  }
  s.loadError = kErrors[header[3] % kErrorCount];

  size_t at = sizeof header;
  for (int n = 0; n < kMaxEvents && at + 4 <= size; ++n, at += 4) {
    const uint8_t* e = data + at;
    unsigned a = e[1];
    unsigned b = e[2] | (e[3] << 8);
    DWORD error = kErrors[b % kErrorCount];
    switch (e[0] % kEventKinds) {
      case kShortWrite:
        s.shortWrites.push_back({1 + static_cast<int>(a % 16), b});
        break;
      case kWriteFails:
        s.writeFaults.push_back({1 + static_cast<int>(a % 16), error});
        break;
      case kCreateFails:
        s.createErrors.push_back(error);
        break;
      case kCloseFails:
        s.closeErrors.push_back(error);
        break;
      case kDiskSpace:
        s.diskLimited = true;
        s.disk = a | (static_cast<uint64_t>(b & 0x1FF) << 8);
        break;
    }
  }
  return s;
}

void Prepare(const Scenario& s) {
  sim::Reset();
  sim::MakeDirectories(kFolder);
  if ((s.flags & kItemMissing) == 0) sim::AddResource(kType, kNumber, s.item);
  if ((s.flags & kOldFile) != 0) sim::WriteFileBytes(kFile, std::string(kOldFileSize, 'o'));
  if ((s.flags & kLoadFails) != 0) sim::FailCall("LoadResource", 1, s.loadError);
  if ((s.flags & kNoSystemText) != 0) sim::FailCall("FormatMessageA", 1, 8);
  if ((s.flags & kNoMessageMemory) != 0) sim::FailCall("LocalAlloc", 1, 8);
  for (DWORD error : s.createErrors) sim::FailCall("CreateFileA", 1, error);
  for (DWORD error : s.closeErrors) sim::FailCall("CloseHandle", 1, error, kFileName);
  for (const auto& f : s.writeFaults) sim::FailCall("WriteFile", f.call, f.error);
  for (const auto& w : s.shortWrites) sim::ShortWrite(w.call, w.bytes);
  if (s.diskLimited) sim::SetDiskSpace(s.disk);
}

std::vector<DWORD> WriteRequests() {
  std::vector<DWORD> sizes;
  for (const auto& c : sim::CallsStartingWith("WriteFile("))
    sizes.push_back(static_cast<DWORD>(std::stoul(c.substr(c.rfind(", ") + 2))));
  return sizes;
}

const char* LabelOf(Step step) {
  switch (step) {
    case Step::Create:
      return "Installer : Wrapper.CreateFile ";
    case Step::Write:
      return "Installer : Wrapper.WriteFile (In small chunks) ";
    case Step::Close:
      return "Installer : Wrapper.CloseHandle ";
    default:
      return "";
  }
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scenario s = Decode(data, size);
  Prepare(s);
  const char* path = (s.flags & kPathDidNotFit) != 0   ? ""
                     : (s.flags & kMissingFolder) != 0 ? kMissingFolderFile
                                                       : kFile;
  int result = -1;
  sim::RunResult run = sim::RunProcess([&] {
    result = WriteResourceToFile(sim::Module(), kNumber, kType, path);
    return 0;
  });
  Outcome expected = Model(s);
  const std::string oldFile = (s.flags & kOldFile) != 0 ? std::string(kOldFileSize, 'o') : std::string();
  const bool oldExists = (s.flags & kOldFile) != 0;

  Require(WriteRequests() == expected.requests, "write calls ask for the counts the chunk rule gives");
  std::vector<sim::MessageBoxRecord> boxes = sim::MessageBoxes();

  if (expected.failed == Step::None) {
    Require(!run.exitProcessCalled && run.code == 0, "a run that succeeds returns");
    Require(boxes.empty(), "nothing is shown on success");
    Require(sim::OpenFileHandles() == 0, "the file is closed");
    if (expected.missing) {
      Require(result == 0, "a missing item answers 0");
      Require(sim::Exists(kFile) == oldExists && (!oldExists || sim::ReadFileBytes(kFile) == oldFile),
              "a missing item touches no file");
      Require(sim::CountCalls("CreateFileA") == 0, "a missing item creates nothing");
    } else {
      Require(result == 1, "a written item answers 1");
      Require(sim::Exists(kFile) && sim::ReadFileBytes(kFile) == s.item, "the file is the item, byte for byte");
    }
    return 0;
  }

  Require(run.exitProcessCalled, "a failed step ends the process through ExitProcess");
  Require(result == -1, "a failed step does not return");
  Require(run.code != 0, "the process never ends with 0 after a failed step");
  if (expected.code != 0) Require(run.code == static_cast<int>(expected.code), "exit code is the step's error code");
  Require(boxes.size() == 1, "one message box");
  Require(boxes[0].caption == "Error" && boxes[0].style == MB_OK && boxes[0].mainThread, "an Error box with OK");
  const std::string label = LabelOf(expected.failed);
  if ((s.flags & kNoMessageMemory) != 0) {
    Require(boxes[0].text == label, "without message memory the box shows the label");
  } else {
    std::string head = label + " failed with error " + std::to_string(run.code) + ": ";
    Require(StartsWith(boxes[0].text, head), "the box names the failed step and the exit code");
    if ((s.flags & kNoSystemText) != 0) Require(boxes[0].text == head, "without a system text the message ends");
  }
  Require(sim::LiveLocalAllocations() == 0, "system text and message are freed");
  if (expected.fileOpened) {
    Require(sim::ReadFileBytes(kFile) == expected.file, "the part file holds what was written");
  } else if (expected.failed == Step::Create && path == kFile) {
    // The name was cleared before the file was to be made anew.
    Require(!sim::Exists(kFile), "a failed create leaves no file under the name");
  } else {
    Require(sim::Exists(kFile) == oldExists && (!oldExists || sim::ReadFileBytes(kFile) == oldFile),
            "a file never opened is left as it was");
  }
  return 0;
}
