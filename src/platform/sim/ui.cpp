// The simulated user interface: message boxes are recorded, and the main
// thread has a message queue that tests and fake programs post to.
#include "platform/sim/call.h"

using namespace sim;
using namespace sim::detail;

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  Call c("MessageBoxA", owner, text, caption, Hex(style));
  if (c.faulted()) return 0;
  Machine().messageBoxes.push_back({Str(text), Str(caption), style, Self().mainThread});
  return IDOK;
}

static bool QueueReady() { return !Machine().queue.empty(); }

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                       DWORD wakeMask) {
  Call c("MsgWaitForMultipleObjects", count, waitAll, Hex(milliseconds), Hex(wakeMask));
  if (c.faulted()) return WAIT_FAILED;
  std::vector<std::shared_ptr<Object>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto obj = GetHandle(handles[i]);
    if (obj == nullptr || (obj->kind != Kind::Process && obj->kind != Kind::Thread && obj->kind != Kind::Event)) {
      SetError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(obj);
  }
  auto signalled = [&]() -> int {
    for (size_t i = 0; i < objects.size(); ++i)
      if (IsSignalled(objects[i].get())) return static_cast<int>(i);
    return -1;
  };
  int index = -1;
  bool input = false;
  bool ok = c.waitOrEndThread(milliseconds, [&] {
    index = signalled();
    input = QueueReady() && (wakeMask & 0xFF) != 0;
    return index >= 0 || input;
  });
  if (!ok) return WAIT_TIMEOUT;
  if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
  return WAIT_OBJECT_0 + count;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
  Call c("PeekMessageA", window, filterMin, filterMax, removeFlags);
  State& s = Machine();
  if (s.queue.empty()) return FALSE;
  *msg = s.queue.front();
  if ((removeFlags & PM_REMOVE) != 0) s.queue.pop_front();
  return TRUE;
}

BOOL WINAPI IsWindowUnicode(HWND window) {
  Call c("IsWindowUnicode", window);
  auto it = Machine().windows.find(reinterpret_cast<uintptr_t>(window));
  return it != Machine().windows.end() && it->second ? TRUE : FALSE;
}

static BOOL GetMessageCommon(const char* name, LPMSG msg, bool wide) {
  Call c(name);
  State& s = Machine();
  c.waitOrEndThread(INFINITE, [&] { return !s.queue.empty(); });
  *msg = s.queue.front();
  s.queue.pop_front();
  s.dispatches.push_back({msg->hwnd, msg->message, wide, false, false});
  // An injected failure still takes the message, so that a caller that
  // skips it does not find it again. Both forms fail as "GetMessage".
  if (c.faultedAs("GetMessage")) return -1;
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  (void)window;
  (void)filterMin;
  (void)filterMax;
  return GetMessageCommon("GetMessageA", msg, false);
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  (void)window;
  (void)filterMin;
  (void)filterMax;
  return GetMessageCommon("GetMessageW", msg, true);
}

static DispatchRecord* LastRemoved(const MSG* msg) {
  auto& d = Machine().dispatches;
  for (auto it = d.rbegin(); it != d.rend(); ++it)
    if (it->window == msg->hwnd && it->message == msg->message) return &*it;
  return nullptr;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
  Call c("TranslateMessage", msg->message);
  if (DispatchRecord* r = LastRemoved(msg)) r->translated = true;
  return FALSE;
}

static LRESULT Dispatch(const char* name, const MSG* msg, bool wide) {
  Call c(name, msg->message);
  if (DispatchRecord* r = LastRemoved(msg)) {
    r->dispatched = true;
    r->wide = r->wide && wide;
  }
  return 0;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) { return Dispatch("DispatchMessageA", msg, false); }

LRESULT WINAPI DispatchMessageW(const MSG* msg) { return Dispatch("DispatchMessageW", msg, true); }

namespace sim {

std::vector<MessageBoxRecord> MessageBoxes() {
  auto lock = LockMachine();
  return Machine().messageBoxes;
}

HWND CreateTestWindow(bool unicode) {
  auto lock = LockMachine();
  uintptr_t h = Machine().nextWindow;
  Machine().nextWindow += 4;
  Machine().windows[h] = unicode;
  return reinterpret_cast<HWND>(h);
}

void PostMessageToMain(HWND window, UINT message) {
  auto lock = LockMachine();
  MSG m = {};
  m.hwnd = window;
  m.message = message;
  Machine().queue.push_back(m);
  Machine().changed.notify_all();
}

size_t QueuedMessages() {
  auto lock = LockMachine();
  return Machine().queue.size();
}

std::vector<DispatchRecord> Dispatches() {
  auto lock = LockMachine();
  return Machine().dispatches;
}

}  // namespace sim
