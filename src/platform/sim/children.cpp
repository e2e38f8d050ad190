// The simulated child processes: fake programs registered at full paths
// (command line in, exit code out), how CreateProcessA finds the file it
// starts, and the exit codes it hands back.
#include <cstring>

#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

namespace {

bool IsFile(const std::string& path, std::string* key) {
  Path p;
  DWORD error;
  if (!ResolvePath(path, &p, &error)) return false;
  bool dir = false;
  if (!HostExists(p.hostPath, &dir) || dir) return false;
  *key = p.key;
  return true;
}

// Adds ".exe" when the last component has no extension.
std::string WithExe(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ".exe";
  return name;
}

// Finds the file a program name denotes, searching as process creation does
// for a name without a folder (CreateProcessA, lpCommandLine).
bool FindImage(const std::string& name, std::string* key) {
  std::string candidate = WithExe(name);
  if (candidate.find_first_of("\\/") != std::string::npos) return IsFile(candidate, key);
  State& s = Machine();
  for (const std::string& dir : {s.currentDirectory, s.systemDirectory, s.windowsDirectory}) {
    if (IsFile(dir + "\\" + candidate, key)) return true;
  }
  return false;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSa,
                           LPSECURITY_ATTRIBUTES threadSa, BOOL inheritHandles, DWORD flags, LPVOID environment,
                           LPCSTR currentDirectory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
  Call c("CreateProcessA", application, commandLine, processSa == nullptr ? "NULL" : "sa",
         threadSa == nullptr ? "NULL" : "sa", inheritHandles, Hex(flags), environment == nullptr ? "NULL" : "env",
         currentDirectory, "cb=" + std::to_string(startup == nullptr ? 0 : startup->cb));
  if (c.faulted(commandLine)) return FALSE;
  if (startup == nullptr || info == nullptr || (application == nullptr && commandLine == nullptr)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  State& s = Machine();
  std::string key;
  bool found = false;
  if (application != nullptr) {
    // The application name is taken as it is: no search, no extension added.
    found = IsFile(application, &key);
  } else {
    std::string line = commandLine;
    if (!line.empty() && line[0] == '"') {
      size_t close = line.find('"', 1);
      found = FindImage(line.substr(1, close == std::string::npos ? std::string::npos : close - 1), &key);
    } else {
      // An unquoted program path with blanks: every blank-separated beginning
      // of the line is tried in turn, the shortest first.
      size_t pos = 0;
      for (;;) {
        size_t blank = line.find_first_of(" \t", pos);
        std::string candidate = line.substr(0, blank);
        if (!candidate.empty() && FindImage(candidate, &key)) {
          found = true;
          break;
        }
        if (blank == std::string::npos) break;
        pos = blank + 1;
      }
    }
  }
  if (!found) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto program = s.programs.find(key);
  if (program == s.programs.end()) {
    SetError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
  }
  ProcessRecord record;
  record.application = application == nullptr ? "" : application;
  record.commandLine = commandLine == nullptr ? "" : commandLine;
  record.image = key;
  record.exitCode = STILL_ACTIVE;
  size_t index = s.processes.size();
  s.processes.push_back(record);

  auto task = std::make_shared<TaskObject>(Kind::Process);
  auto thread = std::make_shared<TaskObject>(Kind::Thread);
  std::memset(info, 0, sizeof *info);
  info->hProcess = AddHandle(task);
  info->hThread = AddHandle(thread);
  info->dwProcessId = static_cast<DWORD>(index + 100);
  info->dwThreadId = static_cast<DWORD>(index + 200);
  Program run = program->second;
  std::string childLine = record.commandLine;
  s.threads.emplace_back([task, thread, run, childLine, index] {
    Self().role = Role::Child;
    Self().mainThread = false;
    DWORD code = run(childLine);
    auto l = LockMachine();
    task->done = thread->done = true;
    task->exitCode = thread->exitCode = code;
    Machine().processes[index].exitCode = code;
    Machine().changed.notify_all();
  });
  return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code) {
  Call c("GetExitCodeProcess", process);
  if (c.faulted()) return FALSE;
  auto task = HandleOf<TaskObject>(process, Kind::Process);
  if (task == nullptr) return FALSE;
  *code = task->exitCode;
  return TRUE;
}

namespace sim {

void RegisterProgram(const std::string& path, Program program) {
  Path p;
  DWORD error = 0;
  if (!ResolvePath(path, &p, &error)) std::abort();
  WriteFileBytes(path, "MZ simulated program");
  auto lock = LockMachine();
  Machine().programs[p.key] = std::move(program);
}

std::vector<ProcessRecord> Processes() {
  auto lock = LockMachine();
  return Machine().processes;
}

}  // namespace sim
