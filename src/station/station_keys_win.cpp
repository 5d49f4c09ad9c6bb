// The operator's console on Windows: its size, and keys one at a time; standard input's bytes
// as they come when it is a pipe or a file.
#include <windows.h>

#include <conio.h>

#include "station/station_proc.h"

namespace {
bool g_keys_on = false;
bool g_console = false;  // the keys come from the console; otherwise a pipe or a file's bytes

// A byte of standard input that is a pipe or a file, never waiting: 1 with it, 0 when none has
// come yet, -1 at its end.
int InputByte(unsigned char* byte) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (GetFileType(in) == FILE_TYPE_PIPE) {
    DWORD ready = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &ready, nullptr)) {
      return -1;  // the writer has gone
    }
    if (ready == 0) {
      return 0;
    }
  }
  DWORD got = 0;
  return ReadFile(in, byte, 1, &got, nullptr) && got == 1 ? 1 : -1;
}
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
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  g_console = GetConsoleMode(in, &mode) != 0;
  g_keys_on = g_console || (in != nullptr && in != INVALID_HANDLE_VALUE);
  return 1;
}

void RaiseDescriptorLimit() {}

void KeysEnd() { g_keys_on = false; }

int WaitForOperatorKey(int ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  for (;;) {
    if (g_keys_on && !g_console) {
      unsigned char byte = 0;
      const int got = InputByte(&byte);
      if (got > 0) {
        return byte;
      }
      if (got < 0) {
        g_keys_on = false;
        return kNoMoreKeys;
      }
    } else if (g_keys_on && _kbhit() != 0) {
      const int key = _getch();
      if (key == 0 || key == 0xE0) {
        (void)_getch();  // the second code of a function or cursor key
        continue;
      }
      return key;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) {
      return -1;
    }
    Sleep(static_cast<DWORD>(end - now < 20 ? end - now : 20));
  }
}
