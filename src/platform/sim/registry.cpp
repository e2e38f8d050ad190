// The simulated registry: HKEY_LOCAL_MACHINE as a tree of keys whose values
// keep their type and raw bytes exactly as stored.
#include <cstring>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

void InitRegistry() {
  State& s = Machine();
  s.hklm = std::make_shared<RegKeyNode>();
  s.hklm->name = "HKEY_LOCAL_MACHINE";
}

static std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

static std::shared_ptr<RegKeyNode> Walk(std::shared_ptr<RegKeyNode> from, const std::string& path, bool create) {
  for (const auto& part : SplitKeyPath(path)) {
    auto it = from->subkeys.find(Lower(part));
    if (it == from->subkeys.end()) {
      if (!create) return nullptr;
      auto node = std::make_shared<RegKeyNode>();
      node->name = part;
      from->subkeys[Lower(part)] = node;
      from = node;
    } else {
      from = it->second;
    }
  }
  return from;
}

// The key behind a handle: a predefined root or an open handle.
static bool KeyOf(HKEY key, std::shared_ptr<RegKeyNode>* node, REGSAM* access) {
  State& s = Machine();
  if (key == HKEY_LOCAL_MACHINE) {
    *node = s.hklm;
    *access = KEY_READ | KEY_WRITE;
    return true;
  }
  auto it = s.regHandles.find(reinterpret_cast<uintptr_t>(key));
  if (it == s.regHandles.end()) return false;
  *node = it->second.node;
  *access = it->second.access;
  return true;
}

// The key an operation acts on through a handle: ERROR_INVALID_HANDLE for
// no key, ERROR_KEY_DELETED for a key deleted while open ("Illegal
// operation attempted on a registry key that has been marked for
// deletion"), ERROR_ACCESS_DENIED when the handle was not opened with the
// access `needed` asks ("Registry Key Security and Access Rights").
static LSTATUS OpenedKey(HKEY key, REGSAM needed, std::shared_ptr<RegKeyNode>* node) {
  REGSAM access = 0;
  if (!KeyOf(key, node, &access)) return ERROR_INVALID_HANDLE;
  if ((*node)->deleted) return ERROR_KEY_DELETED;
  if ((access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Value names are compared without regard to case.
static RegValue* FindValue(RegKeyNode& node, const char* name) {
  std::string lower = Lower(name == nullptr ? "" : name);
  for (auto& [n, v] : node.values)
    if (Lower(n) == lower) return &v;
  return nullptr;
}

static void StoreValue(RegKeyNode& node, const char* name, const RegValue& value) {
  if (RegValue* v = FindValue(node, name))
    *v = value;
  else
    node.values.push_back({name == nullptr ? "" : name, value});
}

// The key that holds the last component of `path` below `from`, and that
// component; null when the holder does not exist.
static std::shared_ptr<RegKeyNode> HolderOf(std::shared_ptr<RegKeyNode> from, const std::string& path,
                                            std::string* last) {
  std::vector<std::string> parts = SplitKeyPath(path);
  *last = parts.back();
  parts.pop_back();
  std::string parentPath;
  for (const auto& p : parts) parentPath += p + "\\";
  return Walk(std::move(from), parentPath, false);
}

static bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace sim::detail

LSTATUS WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  Call c("RegOpenKeyExA", parent, subKey, options, Hex(access));
  // A fault injected with error 0 does not fail the open: the caller would
  // take a success for a handle it never got.
  if (c.faulted(subKey) && GetLastError() != 0) return static_cast<LSTATUS>(GetLastError());
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(parent, 0, &node)) return status;
  auto target = Walk(node, subKey == nullptr ? "" : subKey, false);
  if (target == nullptr) return ERROR_FILE_NOT_FOUND;
  REGSAM rights = access & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (target->denyWrite && (rights & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0) return ERROR_ACCESS_DENIED;
  State& s = Machine();
  uintptr_t h = s.nextRegHandle;
  s.nextRegHandle += 4;
  s.regHandles[h] = RegHandle{target, rights, Opener()};
  *result = reinterpret_cast<HKEY>(h);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  Call c(Call::kReleases, "RegCloseKey", key);
  if (c.releasedByTheEnd()) return ERROR_SUCCESS;
  State& s = Machine();
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto it = s.regHandles.find(reinterpret_cast<uintptr_t>(key));
  if (it == s.regHandles.end()) return ERROR_INVALID_HANDLE;
  s.regHandles.erase(it);
  if (c.faulted()) return static_cast<LSTATUS>(GetLastError());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD length) {
  Call c("RegQueryValueExA", key, name, data == nullptr ? "NULL" : "buffer",
         (length == nullptr ? "-" : std::to_string(*length)));
  if (c.faulted(name)) return static_cast<LSTATUS>(GetLastError());
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && length == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(key, KEY_QUERY_VALUE, &node)) return status;
  RegValue* v = FindValue(*node, name);
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->type;
  DWORD size = static_cast<DWORD>(v->bytes.size());
  if (data == nullptr) {
    if (length != nullptr) *length = size;
    return ERROR_SUCCESS;
  }
  // A buffer too small gets nothing and the size it needs, with
  // ERROR_MORE_DATA (RegQueryValueExA; Windows leaves the buffer's contents
  // undefined then, the machine leaves them as they were).
  DWORD capacity = *length;
  *length = size;
  if (size > capacity) return ERROR_MORE_DATA;
  std::memcpy(data, v->bytes.data(), size);
  // String data stored without its terminator gets one after the reported
  // bytes when the buffer has room for it; the reported length stays (as
  // NT does, by Wine's RegQueryValueExA).
  if (IsStringType(v->type) && size < capacity && (size == 0 || v->bytes.back() != '\0')) data[size] = 0;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD length) {
  Call c("RegSetValueExA", key, name, reserved, type, length);
  if (c.faulted(name)) return static_cast<LSTATUS>(GetLastError());
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(key, KEY_SET_VALUE, &node)) return status;
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  DWORD count = length;
  // As NT does (by Wine's RegSetValueExA): string data whose last byte is
  // not zero take the zero byte that follows them, when there is one.
  if (IsStringType(type) && data != nullptr && count > 0 && data[count - 1] != 0 && data[count] == 0) ++count;
  std::string bytes(reinterpret_cast<const char*>(data == nullptr ? reinterpret_cast<const BYTE*>("") : data),
                    data == nullptr ? 0 : count);
  StoreValue(*node, name, RegValue{type, bytes});
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  Call c("RegDeleteValueA", key, name);
  if (c.faulted(name)) return static_cast<LSTATUS>(GetLastError());
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(key, KEY_SET_VALUE, &node)) return status;
  std::string lower = Lower(name == nullptr ? "" : name);
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (Lower(it->first) == lower) {
      node->values.erase(it);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  Call c("RegDeleteKeyA", key, subKey);
  if (c.faulted(subKey)) return static_cast<LSTATUS>(GetLastError());
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(key, 0, &node)) return status;
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  std::string last;
  auto parent = HolderOf(node, subKey, &last);
  if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
  auto it = parent->subkeys.find(Lower(last));
  if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
  // A key that still has subkeys is refused ("The subkey to be deleted must
  // not have subkeys", RegDeleteKeyA); an open key may be deleted, its
  // handles then fail with ERROR_KEY_DELETED.
  if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
  it->second->deleted = true;
  parent->subkeys.erase(it);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                FILETIME* lastWriteTime) {
  Call c("RegQueryInfoKeyA", key);
  if (c.faulted()) return static_cast<LSTATUS>(GetLastError());
  (void)className;
  (void)classLength;
  (void)reserved;
  (void)maxSubKeyLength;
  (void)maxClassLength;
  (void)maxValueNameLength;
  (void)maxValueLength;
  (void)securityDescriptor;
  (void)lastWriteTime;
  // "The key must have been opened with the KEY_QUERY_VALUE access right"
  // (RegQueryInfoKeyA).
  std::shared_ptr<RegKeyNode> node;
  if (LSTATUS status = OpenedKey(key, KEY_QUERY_VALUE, &node)) return status;
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(node->subkeys.size());
  if (values != nullptr) *values = static_cast<DWORD>(node->values.size());
  return ERROR_SUCCESS;
}

// ---- test-facing registry API --------------------------------------------------------------------------------------

namespace sim {

void MakeRegistryKey(const std::string& path) {
  auto lock = LockMachine();
  Walk(Machine().hklm, path, true);
}

void RegSet(const std::string& path, const std::string& name, DWORD type, const std::string& bytes) {
  auto lock = LockMachine();
  StoreValue(*Walk(Machine().hklm, path, true), name.c_str(), RegValue{type, bytes});
}

void RegSetString(const std::string& path, const std::string& name, const std::string& text) {
  RegSet(path, name, REG_SZ, text + std::string(1, '\0'));
}

std::optional<RegValue> RegGet(const std::string& path, const std::string& name) {
  auto lock = LockMachine();
  auto node = Walk(Machine().hklm, path, false);
  if (node == nullptr) return std::nullopt;
  RegValue* v = FindValue(*node, name.c_str());
  if (v == nullptr) return std::nullopt;
  return *v;
}

bool RegKeyExists(const std::string& path) {
  auto lock = LockMachine();
  return Walk(Machine().hklm, path, false) != nullptr;
}

void RemoveRegistryTree(const std::string& path) {
  auto lock = LockMachine();
  std::string last;
  auto parent = HolderOf(Machine().hklm, path, &last);
  if (parent != nullptr) parent->subkeys.erase(Lower(last));
}

void RegDenyWrite(const std::string& path) {
  auto lock = LockMachine();
  Walk(Machine().hklm, path, true)->denyWrite = true;
}

int OpenRegistryHandles() {
  auto lock = LockMachine();
  return static_cast<int>(Machine().regHandles.size());
}

}  // namespace sim
