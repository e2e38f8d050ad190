/* qmb-set-event: plays the bootstrapper's side of the ready event.
 *
 *   qmb-set-event [TIMEOUT_MS]
 *
 * Waits until some process has created the kit package's named event, sets
 * it and exits 0; exits 1 when the event did not appear within TIMEOUT_MS
 * (default 60000). It never creates the event itself: an event created and
 * set here would vanish with this process before the package opened it. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"
#define POLL_MS 20

int main(int argc, char** argv) {
  unsigned long timeout_ms = argc > 1 ? strtoul(argv[1], NULL, 10) : 60000;
  DWORD start = GetTickCount();
  for (;;) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, READY_EVENT_NAME);
    if (event) {
      BOOL set = SetEvent(event);
      CloseHandle(event);
      printf(set ? "qmb-set-event: set\n" : "qmb-set-event: SetEvent failed\n");
      return set ? 0 : 1;
    }
    if (GetTickCount() - start >= timeout_ms) {
      printf("qmb-set-event: no event %s within %lu ms\n", READY_EVENT_NAME, timeout_ms);
      return 1;
    }
    Sleep(POLL_MS);
  }
}
