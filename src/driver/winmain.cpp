#include "driver/run_sequence.h"
#include "platform/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return RunSequence(instance); }
