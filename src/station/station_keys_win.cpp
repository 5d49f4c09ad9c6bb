// The operator's console on Windows: its size, and keys one at a time.
#include <windows.h>

#include <conio.h>

#include "station/station_proc.h"

namespace {
bool g_keys_on = false;
}  // namespace

bool OutputIsTerminal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // The table moves the cursor with escape sequences: only where the console takes them.
  return GetConsoleMode(out, &mode) && SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void TerminalSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return;
  }
  *columns = 80;
  *rows = 24;
}

// A console has no background jobs: the keys are always the station's.
int KeysBegin() {
  DWORD mode = 0;
  g_keys_on = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  return 1;
}

void KeysEnd() { g_keys_on = false; }

int WaitForOperatorKey(int ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  for (;;) {
    if (g_keys_on && _kbhit() != 0) {
      const int key = _getch();
      if (key == 0 || key == 0xE0) {
        (void)_getch();  // the second code of a function or cursor key
        continue;
      }
      return key == '\r' ? '\n' : key;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) {
      return -1;
    }
    Sleep(static_cast<DWORD>(end - now < 20 ? end - now : 20));
  }
}
