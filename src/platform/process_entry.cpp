// The executable's entry point, in place of the C runtime's start-up code.
//
// The system needs nothing of what that code sets up (standard streams, the
// argument vector: the command line is split by the system itself), so the
// process starts here: the constructors of static objects run (the linker
// lists them between a -1 and a 0 marker, and they run last to first, as
// the runtime runs them), then the entry routine, and the process ends with
// its result, as the runtime's start-up code would end it after WinMain
// returns. The few runtime functions the system calls (time, localtime,
// strlen) come from msvcrt.dll, which initialises itself when it is loaded.
// Without the start-up code the image is about 7 KB smaller.
#include "platform/win32.h"

extern "C" void (*__CTOR_LIST__[])();

extern "C" __attribute__((force_align_arg_pointer)) void WINAPI QmbProcessStart() {
  unsigned count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  for (; count > 0; --count) __CTOR_LIST__[count]();
  ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT)));
}
