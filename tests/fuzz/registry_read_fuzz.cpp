// Fuzzes the registry reads: RegKey::ReadString and the settings and
// installed-product reads built on it, over values of any type, length and
// bytes, read into buffers of any capacity.
//
// The input is a sequence of records (at most kMaxRecords), each run on an
// empty registry:
//   operation, value type (0..15: the known types and some unknown ones),
//   flags, capacity (2 bytes, little-endian), stored length (2 bytes), then
//   the stored bytes (fewer when the input ends first).
// The value is stored with exactly those bytes, no terminator added.
//
// Checked for every record against a model of the read rules kept here,
// besides what the sanitizers catch:
//  - the result: ReadString's code, each read's 1/0 or true/false;
//  - a successful text read leaves a zero byte within the capacity, and the
//    text before it is the stored text up to its first zero byte;
//  - the buffer holds the stored bytes when they fit and nothing written
//    past them (but the platform's terminator after unterminated string
//    data), and is untouched when they do not fit;
//  - nothing is read or written past the capacity: the bytes after the
//    buffer are poisoned for the sanitizer and checked as guard bytes;
//  - the reads leave the registry as it was; the reinstall check and the
//    status update change it exactly as the rules say;
//  - every registry handle is closed again.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "state/product_probes.h"
#include "state/reg_key.h"
#include "state/settings.h"
#include "fuzz/require.h"

namespace {

using fuzz::Require;

// ---- where each read looks ---------------------------------------------------

const char kTestKey[] = "SOFTWARE\\Fuzz";
const char kTestValue[] = "v";
const char kSettingsKey[] = "Software\\Morvanta";
const char kStatusValue[] = "InstallStatus";
const char kKitKey[] = "SOFTWARE\\Morvanta\\Vesk Development Kit\\1.6.0_39";
const char kKitValue[] = "VeskHome";
const char kRuntimeKey[] = "SOFTWARE\\Morvanta\\Vesk Runtime Environment\\1.6.0_39";
const char kUpdaterKey[] = "SOFTWARE\\Morvanta\\Auto Update";
const char kUpdaterValue[] = "AUVersion";
const char kUpdaterThreshold[] = "2.0.7.2";

const DWORD kUpdaterCapacity = 1024;  // what the updater check reads into
const DWORD kStatusCapacity = 512;    // the reinstall check's status text
const DWORD kJoinCapacity = 128;      // the status update's joined text
const DWORD kMaxCapacity = 1100;
const size_t kGuardBytes = 32;
const int kMaxRecords = 64;
const char kFill = static_cast<char>(0xA5);

enum Operation {
  kReadString,
  kSizeQuery,
  kReadSetting,
  kReadKitHome,
  kReadUpdaterVersion,
  kIsUpdaterOlder,
  kConsumeReinstall,
  kUpdateStatus,
  kIsRuntimeRegistered,
  kOperations
};

enum Flag {
  kKeyAbsent = 1,    // the key the read opens does not exist
  kValueAbsent = 2,  // the key exists without the value
  kOtherValue = 4,   // the key holds one more value
  kSubkey = 8,       // the key has a subkey
  kQueryFails = 16,  // the value query fails with 5 before reporting anything
  kCloseFails = 32,  // the first key close reports 6
  kDenyWrite = 64,   // the key refuses to be opened for writing
};

struct Record {
  int op;
  DWORD type;
  unsigned flags;
  DWORD capacity;
  std::string bytes;
};

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// ---- the model -------------------------------------------------------------

// The text a zero-filled buffer holds after the stored bytes were copied in.
std::string TextOf(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// The value as the query finds it: absent (no type reported) or present.
bool Reported(const Record& r) { return (r.flags & (kKeyAbsent | kValueAbsent | kQueryFails)) == 0; }

// ReadString's code: 0 only for a string type whose data end with their
// terminator (two for a multi-string) inside the capacity; 234 when a string
// value is larger than the capacity; 13 for everything else. A value too
// short for its terminators and larger than the capacity may give either.
bool ReadCodeMatches(const Record& r, DWORD capacity, LONG code) {
  if (!Reported(r) || !IsText(r.type)) return code == ERROR_INVALID_DATA;
  size_t n = r.bytes.size();
  size_t terminators = r.type == REG_MULTI_SZ ? 2 : 1;
  if (n > capacity) {
    if (n < terminators) return code == ERROR_INVALID_DATA || code == ERROR_MORE_DATA;
    return code == ERROR_MORE_DATA;
  }
  if (n < terminators) return code == ERROR_INVALID_DATA;
  for (size_t i = n - terminators; i < n; ++i)
    if (r.bytes[i] != '\0') return code == ERROR_INVALID_DATA;
  return code == ERROR_SUCCESS;
}

bool ReadSucceeds(const Record& r, DWORD capacity) { return ReadCodeMatches(r, capacity, ERROR_SUCCESS); }

// ---- the buffer ------------------------------------------------------------

// `capacity` bytes of kFill followed by guard bytes the sanitizer refuses
// any access to.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(DWORD capacity) : capacity_(capacity), storage_(capacity + kGuardBytes, kFill) {
    ASAN_POISON_MEMORY_REGION(storage_.data() + capacity_, kGuardBytes);
  }
  ~GuardedBuffer() { ASAN_UNPOISON_MEMORY_REGION(storage_.data() + capacity_, kGuardBytes); }

  char* data() { return storage_.data(); }

  // Nothing past the capacity was written.
  bool GuardIntact() {
    ASAN_UNPOISON_MEMORY_REGION(storage_.data() + capacity_, kGuardBytes);
    bool intact = true;
    for (size_t i = capacity_; i < storage_.size(); ++i) intact &= storage_[i] == kFill;
    ASAN_POISON_MEMORY_REGION(storage_.data() + capacity_, kGuardBytes);
    return intact;
  }

  // What a read of the record left: the stored bytes when they fit (the
  // platform may add one zero after unterminated string data), the fill
  // everywhere else.
  bool HoldsReadOf(const Record& r, bool written) const {
    bool fits = written && r.bytes.size() <= capacity_;
    size_t n = fits ? r.bytes.size() : 0;
    if (n != 0 && std::memcmp(storage_.data(), r.bytes.data(), n) != 0) return false;
    bool terminatorAdded = fits && IsText(r.type) && (n == 0 || r.bytes[n - 1] != '\0');
    for (size_t i = n; i < capacity_; ++i) {
      if (storage_[i] == kFill) continue;
      if (i == n && terminatorAdded && storage_[i] == '\0') continue;
      return false;
    }
    return true;
  }

  // A zero byte within the capacity, and the text before it.
  bool TerminatedAs(const std::string& text) const {
    const void* end = std::memchr(storage_.data(), '\0', capacity_);
    if (end == nullptr) return false;
    return std::string(storage_.data(), static_cast<const char*>(end)) == text;
  }

 private:
  DWORD capacity_;
  std::vector<char> storage_;
};

// ---- the machine -----------------------------------------------------------

const char* KeyOf(int op) {
  switch (op) {
    case kReadString:
    case kSizeQuery:
      return kTestKey;
    case kReadKitHome:
      return kKitKey;
    case kReadUpdaterVersion:
    case kIsUpdaterOlder:
      return kUpdaterKey;
    case kIsRuntimeRegistered:
      return kRuntimeKey;
    default:
      return kSettingsKey;
  }
}

const char* ValueOf(int op) {
  switch (op) {
    case kReadString:
    case kSizeQuery:
      return kTestValue;
    case kReadKitHome:
      return kKitValue;
    case kReadUpdaterVersion:
    case kIsUpdaterOlder:
      return kUpdaterValue;
    default:
      return kStatusValue;
  }
}

// The machine is built once (building it writes its file system to the host
// disk, which would cost more than the reads); each record starts from an
// empty registry with no fault pending, as a fresh machine has.
void Clean() {
  // Every fault a record injects fires on the first matching call; one call
  // of each kind uses up any that the record's reads never reached.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD type = 0;
    DWORD length = 0;
    RegQueryValueExA(key, "", nullptr, &type, nullptr, &length);
    RegCloseKey(key);
  }
  sim::RemoveRegistryTree("SOFTWARE");
  sim::ClearCalls();
  Require(sim::OpenRegistryHandles() == 0 && !sim::RegKeyExists("SOFTWARE"), "each record starts clean");
}

void Prepare(const Record& r) {
  Clean();
  const std::string key = KeyOf(r.op);
  if ((r.flags & kKeyAbsent) != 0) {
    // The parent stays, so that the read fails on the key itself.
    sim::MakeRegistryKey("SOFTWARE");
    return;
  }
  sim::MakeRegistryKey(key);
  if ((r.flags & kValueAbsent) == 0) sim::RegSet(key, ValueOf(r.op), r.type, r.bytes);
  if ((r.flags & kOtherValue) != 0) sim::RegSetString(key, "Other", "kept");
  if ((r.flags & kSubkey) != 0) sim::MakeRegistryKey(key + "\\Child");
  if ((r.flags & kDenyWrite) != 0) sim::RegDenyWrite(key);
  if ((r.flags & kQueryFails) != 0) sim::FailCall("RegQueryValueExA", 1, ERROR_ACCESS_DENIED);
  if ((r.flags & kCloseFails) != 0) sim::FailCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
}

bool ValueUnchanged(const Record& r) {
  std::optional<sim::RegValue> now = sim::RegGet(KeyOf(r.op), ValueOf(r.op));
  if ((r.flags & (kKeyAbsent | kValueAbsent)) != 0) return !now.has_value();
  return now.has_value() && now->type == r.type && now->bytes == r.bytes;
}

// ---- one record ------------------------------------------------------------

// A read into a caller's buffer of the record's capacity.
void CheckBufferRead(const Record& r, int (*read)(char*, DWORD), bool needsText) {
  GuardedBuffer buffer(r.capacity);
  int result = read(buffer.data(), r.capacity);
  Require(buffer.GuardIntact(), "nothing written past the capacity");
  Require(buffer.HoldsReadOf(r, Reported(r)), "buffer holds what the query wrote, nothing else");
  if (needsText) {
    bool expected = ReadSucceeds(r, r.capacity) && (r.op != kReadSetting || r.bytes[0] != '\0');
    Require(result == (expected ? 1 : 0), "text read succeeds exactly as the rules say");
    if (result == 1) Require(buffer.TerminatedAs(TextOf(r.bytes)), "text read terminated within its capacity");
  } else {
    bool expected = Reported(r) && r.bytes.size() <= r.capacity;
    Require(result == (expected ? 1 : 0), "updater version read succeeds exactly when the value fits");
  }
}

int ReadSettingInto(char* buffer, DWORD capacity) { return ReadSetting(kStatusValue, buffer, capacity); }

void Run(const Record& r) {
  Prepare(r);
  bool readOnly = true;
  switch (r.op) {
    case kReadString:
    case kSizeQuery: {
      RegKey key;
      if (key.Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ) != ERROR_SUCCESS) {
        Require((r.flags & kKeyAbsent) != 0, "the test key opens when it exists");
        break;
      }
      if (r.op == kSizeQuery) {
        DWORD length = 0;
        LONG code = key.ReadString(nullptr, kTestValue, &length);
        // A size query has no type test: any present value answers its size.
        Require(code == (Reported(r)               ? ERROR_SUCCESS
                         : (r.flags & kQueryFails) ? ERROR_ACCESS_DENIED
                                                   : ERROR_FILE_NOT_FOUND),
                "size query gives the query's own code");
        if (Reported(r)) Require(length == r.bytes.size(), "size query reports the stored size");
      } else {
        GuardedBuffer buffer(r.capacity);
        DWORD length = r.capacity;
        LONG code = key.ReadString(buffer.data(), kTestValue, &length);
        Require(buffer.GuardIntact(), "nothing written past the capacity");
        Require(ReadCodeMatches(r, r.capacity, code), "read code as the rules give it");
        if (Reported(r)) Require(length == r.bytes.size(), "length reports the stored size");
        Require(buffer.HoldsReadOf(r, Reported(r)), "buffer holds what the query wrote, nothing else");
        if (code == ERROR_SUCCESS) {
          Require(length != 0 && length <= r.capacity, "a successful read reports a length within the buffer");
          Require(buffer.TerminatedAs(TextOf(r.bytes)), "text read terminated within its capacity");
        }
      }
      key.Close();
      break;
    }
    case kReadSetting:
      CheckBufferRead(r, ReadSettingInto, true);
      break;
    case kReadKitHome:
      CheckBufferRead(r, ReadKitHome, true);
      break;
    case kReadUpdaterVersion:
      CheckBufferRead(r, ReadUpdaterVersion, false);
      break;
    case kIsUpdaterOlder: {
      bool expected = Reported(r) && r.bytes.size() <= kUpdaterCapacity && TextOf(r.bytes) < kUpdaterThreshold;
      Require(IsUpdaterOlder() == expected, "updater is older exactly when its text orders first");
      break;
    }
    case kIsRuntimeRegistered:
      Require(IsRuntimeRegistered() == ((r.flags & kKeyAbsent) == 0), "runtime registered exactly when its key is");
      break;
    case kConsumeReinstall: {
      bool request = Reported(r) && r.bytes.size() <= kStatusCapacity && TextOf(r.bytes) == "reinstall";
      Require(ConsumeReinstallRequest() == request, "a rerun exactly for the request text");
      if (!request) break;
      readOnly = false;
      if ((r.flags & kDenyWrite) != 0) {
        Require(ValueUnchanged(r), "a settings key that refuses writing keeps the request");
        break;
      }
      Require(!sim::RegGet(kSettingsKey, kStatusValue).has_value(), "the request is removed");
      bool keyStays = (r.flags & (kOtherValue | kSubkey)) != 0;
      Require(sim::RegKeyExists(kSettingsKey) == keyStays, "the settings key goes with its last value only");
      break;
    }
    case kUpdateStatus: {
      readOnly = false;
      // The text to append: capacity % 130 letters.
      std::string text;
      for (DWORD i = 0; i < r.capacity % 130; ++i) text += static_cast<char>('a' + i % 26);
      Require(UpdateInstallStatus(text.c_str()) == 1, "status update answers 1");
      if ((r.flags & (kKeyAbsent | kDenyWrite)) != 0) {
        Require(ValueUnchanged(r), "nothing is written where the settings key cannot be written");
        Require(sim::RegKeyExists(kSettingsKey) == ((r.flags & kKeyAbsent) == 0), "the settings key is not created");
        break;
      }
      std::string old = TextOf(r.bytes);
      bool joins = ReadSucceeds(r, kJoinCapacity) && !old.empty() && old.size() + text.size() < kJoinCapacity;
      std::string expected = (joins ? old + text : text) + std::string(1, '\0');
      std::optional<sim::RegValue> now = sim::RegGet(kSettingsKey, kStatusValue);
      Require(now.has_value() && now->type == REG_SZ && now->bytes == expected,
              "status is the joined text when it fits, else the new text alone");
      break;
    }
    default:
      break;
  }
  if (readOnly) Require(ValueUnchanged(r), "a read leaves the value as stored");
  Require(sim::OpenRegistryHandles() == 0, "every registry handle is closed");
}

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sim::Reset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t kHeader = 7;
  size_t at = 0;
  for (int records = 0; records < kMaxRecords && size - at >= kHeader; ++records) {
    const uint8_t* h = data + at;
    Record r;
    r.op = h[0] % kOperations;
    r.type = h[1] % 16;
    r.flags = h[2];
    r.capacity = Word(h + 3) % (kMaxCapacity + 1);
    size_t length = Word(h + 5);
    at += kHeader;
    if (length > size - at) length = size - at;
    r.bytes.assign(reinterpret_cast<const char*>(data + at), length);
    at += length;
    Run(r);
  }
  return 0;
}
