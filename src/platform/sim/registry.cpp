// The simulated registry: HKEY_LOCAL_MACHINE as a tree of keys whose values
// keep their type and raw bytes exactly as stored.
#include <cstring>

#include "platform/sim/state.h"

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

static RegValue* FindValue(RegKeyNode& node, const char* name) {
  std::string lower = Lower(name == nullptr ? "" : name);
  for (auto& [n, v] : node.values)
    if (Lower(n) == lower) return &v;
  return nullptr;
}

static bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace sim::detail

LSTATUS WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  Call c("RegOpenKeyExA", parent, subKey, options, Hex(access));
  DWORD injected = 0;
  if (c.faulted(subKey)) injected = GetLastError();
  if (injected != 0) return static_cast<LSTATUS>(injected);
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<RegKeyNode> node;
  REGSAM parentAccess = 0;
  if (!KeyOf(parent, &node, &parentAccess)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
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
  REGSAM access = 0;
  if (!KeyOf(key, &node, &access)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  RegValue* v = FindValue(*node, name);
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = v->type;
  DWORD size = static_cast<DWORD>(v->bytes.size());
  if (data == nullptr) {
    if (length != nullptr) *length = size;
    return ERROR_SUCCESS;
  }
  DWORD capacity = *length;
  *length = size;
  if (size > capacity) return ERROR_MORE_DATA;
  std::memcpy(data, v->bytes.data(), size);
  // String data stored without its terminator gets one after the reported
  // bytes when the buffer has room for it; the reported length stays.
  if (IsStringType(v->type) && size < capacity && (size == 0 || v->bytes.back() != '\0')) data[size] = 0;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD length) {
  Call c("RegSetValueExA", key, name, reserved, type, length);
  if (c.faulted(name)) return static_cast<LSTATUS>(GetLastError());
  std::shared_ptr<RegKeyNode> node;
  REGSAM access = 0;
  if (!KeyOf(key, &node, &access)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  DWORD count = length;
  // As the platform does: string data whose last byte is not zero take the
  // zero byte that follows them, when there is one.
  if (IsStringType(type) && data != nullptr && count > 0 && data[count - 1] != 0 && data[count] == 0) ++count;
  std::string bytes(reinterpret_cast<const char*>(data == nullptr ? reinterpret_cast<const BYTE*>("") : data),
                    data == nullptr ? 0 : count);
  if (RegValue* v = FindValue(*node, name)) {
    *v = RegValue{type, bytes};
  } else {
    node->values.push_back({name == nullptr ? "" : name, RegValue{type, bytes}});
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  Call c("RegDeleteValueA", key, name);
  if (c.faulted(name)) return static_cast<LSTATUS>(GetLastError());
  std::shared_ptr<RegKeyNode> node;
  REGSAM access = 0;
  if (!KeyOf(key, &node, &access)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
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
  REGSAM access = 0;
  if (!KeyOf(key, &node, &access)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  if (subKey == nullptr || *subKey == '\0') return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parts = SplitKeyPath(subKey);
  std::string last = parts.back();
  parts.pop_back();
  std::string parentPath;
  for (const auto& p : parts) parentPath += p + "\\";
  auto parent = Walk(node, parentPath, false);
  if (parent == nullptr) return ERROR_FILE_NOT_FOUND;
  auto it = parent->subkeys.find(Lower(last));
  if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
  // A key that still has subkeys is refused; an open key may be deleted.
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
  std::shared_ptr<RegKeyNode> node;
  REGSAM access = 0;
  if (!KeyOf(key, &node, &access)) return ERROR_INVALID_HANDLE;
  if (node->deleted) return ERROR_KEY_DELETED;
  if (subKeys != nullptr) *subKeys = static_cast<DWORD>(node->subkeys.size());
  if (values != nullptr) *values = static_cast<DWORD>(node->values.size());
  return ERROR_SUCCESS;
}

// ---- test-facing registry API --------------------------------------------------------------------------------------

namespace sim {

void RegCreateKey(const std::string& path) {
  auto lock = LockMachine();
  Walk(Machine().hklm, path, true);
}

void RegSet(const std::string& path, const std::string& name, DWORD type, const std::string& bytes) {
  auto lock = LockMachine();
  auto node = Walk(Machine().hklm, path, true);
  if (RegValue* v = FindValue(*node, name.c_str())) {
    *v = RegValue{type, bytes};
  } else {
    node->values.push_back({name, RegValue{type, bytes}});
  }
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

void RegDeleteTree(const std::string& path) {
  auto lock = LockMachine();
  std::vector<std::string> parts = SplitKeyPath(path);
  std::string last = parts.back();
  parts.pop_back();
  std::string parentPath;
  for (const auto& p : parts) parentPath += p + "\\";
  auto parent = Walk(Machine().hklm, parentPath, false);
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
