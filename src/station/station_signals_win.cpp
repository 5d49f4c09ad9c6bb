// Stop events on Windows: Ctrl+C, Ctrl+Break and the console window's close as a flag the
// main loop reads.
#include <windows.h>

#include <cstdio>

#include "station/station_proc.h"
#include "station/station_win.h"

namespace {

// The system ends a program whose console window is closed as soon as its control routine
// returns, and after about 5 s in any case: the routine holds on meanwhile, so that the main
// loop can abort the children and write the summary.
constexpr DWORD kCloseHoldMs = 4500;

volatile LONG g_stop = 0;

BOOL WINAPI OnControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    InterlockedCompareExchange(&g_stop, static_cast<LONG>(event) + 1, 0);
    if (event == CTRL_CLOSE_EVENT) {
      Sleep(kCloseHoldMs);
    }
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void CatchStopSignals() {
  // A station started with Ctrl+C ignored (start /b, a launcher's own process group) takes it
  // again, and so do the children, which inherit the setting.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

int StopSignal() { return static_cast<int>(g_stop); }

void EndByStopSignal(int /*sig*/) {
  std::fflush(stdout);
  ExitProcess(kControlCExit);  // as a console program ended by Ctrl+C
}
