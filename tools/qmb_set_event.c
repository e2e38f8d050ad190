/* qmb-set-event: plays the bootstrapper's side of the ready event.
 *
 *   qmb-set-event [--exists] [TIMEOUT_MS]
 *
 * Waits until some process has created the kit package's named event, then
 * sets it and exits 0; with --exists it only reports that the event exists
 * and leaves it unset. Exits 1 when the event did not appear within
 * TIMEOUT_MS (default 60000). It never creates the event itself: an event
 * created and set here would vanish with this process before the package
 * opened it. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define READY_EVENT_NAME "QorQMBCabExtractWaitEvent"
#define POLL_MS 20

int main(int argc, char** argv) {
  int only_probe = 0;
  unsigned long timeout_ms = 60000;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--exists") == 0)
      only_probe = 1;
    else
      timeout_ms = strtoul(argv[i], NULL, 10);
  }
  DWORD start = GetTickCount();
  for (;;) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, READY_EVENT_NAME);
    if (event) {
      if (only_probe) {
        CloseHandle(event);
        printf("qmb-set-event: the event exists\n");
        return 0;
      }
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
