// The simulated machine's call log and injected faults: the line each
// platform call of the system leaves (Call, state.h), and the faults that
// tests inject by operation name (FailCall, ShortWrite, SetDiskSpace).
#include <algorithm>
#include <cstdio>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace sim::detail {

void Log(const std::string& line) {
  if (Self().role != Role::Bootstrapper) return;
  Machine().calls.push_back(line);
}

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string Str(const char* s) { return s == nullptr ? std::string("(null)") : std::string(s); }

bool CallMatches(const std::string& op, const std::string& match, const char* callOp, const std::string& subject) {
  return op == callOp && (match.empty() || subject.find(match) != std::string::npos);
}

bool AskForFault(const char* op, const std::string& argument) {
  if (Self().role != Role::Bootstrapper) return false;
  RunHooksAt(op, argument);
  State& s = Machine();
  for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
    if (!CallMatches(it->op, it->match, op, argument)) continue;
    if (--it->remaining > 0) continue;
    DWORD error = it->error;
    s.faults.erase(it);
    SetError(error);
    return true;
  }
  return false;
}

DWORD WriteSizeAfterFaults(DWORD count) {
  if (Self().role != Role::Bootstrapper) return count;
  DWORD n = count;
  State& s = Machine();
  for (auto it = s.shortWrites.begin(); it != s.shortWrites.end();) {
    if (--it->first == 0) {
      n = std::min(count, it->second);
      it = s.shortWrites.erase(it);
    } else {
      ++it;
    }
  }
  return n;
}

}  // namespace sim::detail

namespace sim {

std::vector<std::string> Calls() {
  auto lock = LockMachine();
  return Machine().calls;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
  auto lock = LockMachine();
  std::vector<std::string> out;
  for (const auto& c : Machine().calls)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

size_t CountCalls(const std::string& prefix) { return CallsStartingWith(prefix).size(); }

size_t CallCount() {
  auto lock = LockMachine();
  return Machine().calls.size();
}

void ClearCalls() {
  auto lock = LockMachine();
  Machine().calls.clear();
}

void FailCall(const std::string& op, int nth, DWORD error, const std::string& match) {
  auto lock = LockMachine();
  Machine().faults.push_back({op, nth, error, match});
}

size_t PendingFaults() {
  auto lock = LockMachine();
  return Machine().faults.size();
}

void ShortWrite(int nth, DWORD bytes) {
  auto lock = LockMachine();
  Machine().shortWrites.push_back({nth, bytes});
}

void SetDiskSpace(uint64_t bytes) {
  auto lock = LockMachine();
  Machine().diskSpace = bytes;
}

}  // namespace sim
