#include "engine/process_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "support/machine_fixture.h"

namespace {

class ProcessRunnerTest : public test::MachineTest {
 protected:
  DWORD Run(const std::string& line) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    return ProcessRunner(buffer.data());
  }
};

TEST_F(ProcessRunnerTest, ReturnsTheChildsExitCodeUnchanged) {
  for (DWORD code : {0u, 1603u, 3010u, 0xC0000005u, 0xFFFFFFFFu}) {
    sim::RegisterProgram("C:\\t\\child.exe", [code](const std::string&) { return code; });
    EXPECT_EQ(Run("\"C:\\t\\child.exe\" /x"), code) << code;
  }
  EXPECT_EQ(sim::OpenEventHandles(), 0);
}

TEST_F(ProcessRunnerTest, StartsWithTheExactArguments) {
  std::string seen;
  sim::RegisterProgram("C:\\t\\child.exe", [&](const std::string& line) {
    seen = line;
    return 0u;
  });
  Run("\"C:\\t\\child.exe\" /i \"C:\\a b\\p.msi\"  WRAPPER=1");
  EXPECT_EQ(seen, "\"C:\\t\\child.exe\" /i \"C:\\a b\\p.msi\"  WRAPPER=1");
  EXPECT_EQ(sim::CallsStartingWith("CreateProcessA"),
            std::vector<std::string>{"CreateProcessA((null), \"C:\\t\\child.exe\" /i \"C:\\a b\\p.msi\"  WRAPPER=1, "
                                     "NULL, NULL, 0, 0x0, NULL, (null), cb=" +
                                     std::to_string(sizeof(STARTUPINFOA)) + ")"});
  EXPECT_EQ(sim::CallsStartingWith("WaitForSingleObject").size(), 1u);
  EXPECT_NE(sim::CallsStartingWith("WaitForSingleObject")[0].find("0xffffffff"), std::string::npos)
      << "no time limit";
}

TEST_F(ProcessRunnerTest, ProgramThatDoesNotExistGivesOne) {
  EXPECT_EQ(Run("\"C:\\nowhere\\child.exe\""), 1u);
  EXPECT_TRUE(sim::Processes().empty());
}

TEST_F(ProcessRunnerTest, UnreadableExitCodeGivesOne) {
  sim::RegisterProgram("C:\\t\\child.exe", [](const std::string&) { return 1603u; });
  sim::FailCall("GetExitCodeProcess", 1, 6);
  EXPECT_EQ(Run("C:\\t\\child.exe"), 1u);
}

TEST_F(ProcessRunnerTest, FailedWaitGivesOneNotTheStillActiveCode) {
  // The child is still running when the failed wait returns: its exit code
  // would read as STILL_ACTIVE, which must not pass for the child's result.
  // The child outlives this test's body, until the machine is reset.
  auto release = std::make_shared<std::atomic<bool>>(false);
  sim::RegisterProgram("C:\\t\\child.exe", [release](const std::string&) {
    while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 0u;
  });
  sim::FailCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(Run("C:\\t\\child.exe"), 1u);
  EXPECT_TRUE(sim::CallsStartingWith("GetExitCodeProcess").empty());
  *release = true;
}

TEST_F(ProcessRunnerTest, WaitsForALongChild) {
  std::atomic<bool> release{false};
  sim::RegisterProgram("C:\\t\\slow.exe", [&](const std::string&) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 42u;
  });
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = true;
  });
  EXPECT_EQ(Run("C:\\t\\slow.exe"), 42u);
  releaser.join();
}

class MessagePumpTest : public ProcessRunnerTest {
 protected:
  // Starts a child that ends when `release` is set, and returns its handle.
  HANDLE StartChild(std::atomic<bool>* release) {
    sim::RegisterProgram("C:\\t\\child.exe", [release](const std::string&) {
      while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return 0u;
    });
    char line[] = "C:\\t\\child.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    return pi.hProcess;
  }
};

TEST_F(MessagePumpTest, SignalledHandleReturnsWithoutTouchingTheQueue) {
  std::atomic<bool> release{true};
  HANDLE child = StartChild(&release);
  WaitForSingleObject(child, INFINITE);
  HWND w = sim::CreateTestWindow(false);
  sim::PostMessageToMain(w, WM_USER);
  EXPECT_EQ(MessagePumpWait(child), 1);
  EXPECT_EQ(sim::QueuedMessages(), 1u);
  EXPECT_EQ(sim::CallsStartingWith("MsgWaitForMultipleObjects"),
            std::vector<std::string>{"MsgWaitForMultipleObjects(1, 0, 0xffffffff, 0xff)"});
  CloseHandle(child);
}

TEST_F(MessagePumpTest, DispatchesWithTheFormsOfEachWindowAndDropsQuit) {
  std::atomic<bool> release{false};
  HANDLE child = StartChild(&release);
  HWND ansi = sim::CreateTestWindow(false);
  HWND wide = sim::CreateTestWindow(true);
  sim::PostMessageToMain(ansi, WM_USER + 1);
  sim::PostMessageToMain(wide, WM_USER + 2);
  sim::PostMessageToMain(nullptr, WM_QUIT);
  sim::PostMessageToMain(ansi, WM_USER + 3);
  std::thread releaser([&] {
    while (sim::QueuedMessages() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  EXPECT_EQ(MessagePumpWait(child), 1);
  releaser.join();
  auto d = sim::Dispatches();
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0].message, WM_USER + 1u);
  EXPECT_FALSE(d[0].wide);
  EXPECT_TRUE(d[0].translated && d[0].dispatched);
  EXPECT_EQ(d[1].message, WM_USER + 2u);
  EXPECT_TRUE(d[1].wide);
  EXPECT_TRUE(d[1].translated && d[1].dispatched);
  EXPECT_EQ(d[2].message, WM_QUIT);
  EXPECT_FALSE(d[2].translated || d[2].dispatched) << "the quit message is removed and dropped";
  EXPECT_TRUE(d[3].dispatched);
  EXPECT_EQ(sim::CountCalls("GetMessageW"), 1u);
  EXPECT_EQ(sim::CountCalls("DispatchMessageW"), 1u);
  EXPECT_EQ(sim::CountCalls("DispatchMessageA"), 2u);
  CloseHandle(child);
}

TEST_F(MessagePumpTest, MessageThatCannotBeRemovedIsNotDispatched) {
  std::atomic<bool> release{false};
  HANDLE child = StartChild(&release);
  HWND w = sim::CreateTestWindow(false);
  sim::PostMessageToMain(w, WM_USER);
  sim::FailCall("GetMessage", 1, 1400);
  std::thread releaser([&] {
    while (sim::QueuedMessages() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    release = true;
  });
  EXPECT_EQ(MessagePumpWait(child), 1);
  releaser.join();
  EXPECT_EQ(sim::CountCalls("DispatchMessage"), 0u);
  EXPECT_EQ(sim::CountCalls("TranslateMessage"), 0u);
  CloseHandle(child);
}

TEST_F(MessagePumpTest, FailedWaitReturnsZero) {
  std::atomic<bool> release{false};
  HANDLE child = StartChild(&release);
  sim::FailCall("MsgWaitForMultipleObjects", 1, 6);
  EXPECT_EQ(MessagePumpWait(child), 0);
  release = true;
  CloseHandle(child);
}

}  // namespace
