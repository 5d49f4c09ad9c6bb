// The serial link on Windows (kernel32 communications calls).
//
// "com1".."com8" are opened by name as the port table holds them, and a name the user gave
// ("\\.\COM12") as it stands. Reads are one byte at a time under COMMTIMEOUTS {0, 0, T, 0, 0}:
// ReadFile succeeds with 0 bytes after T ms of silence, and with T = 0 waits until a byte comes.
// A ReadFile that fails is a dead port, never a time-out.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "serial/serial.h"
#include "serial/serial_trace.h"

struct PortDevice {
  HANDLE handle;
  const char* name;  // for diagnostics
};

namespace {

// The process opens one port for its whole life.
PortDevice g_device{INVALID_HANDLE_VALUE, ""};

// One line on stderr with the system's own words, e.g. "boxload: com2: Access is denied. (5)".
void ReportOsError(const char* name, DWORD code) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      text, sizeof text, nullptr);
  // The system's messages end with CR LF.
  DWORD end = length;
  while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) {
    --end;
  }
  text[end] = '\0';
  if (end == 0) {
    std::snprintf(text, sizeof text, "system error");
  }
  std::fprintf(stderr, "boxload: %s: %s (%lu)\n", name, text, static_cast<unsigned long>(code));
}

// The device and the system's reason, then one line on what to do about it.
void ReportOpenFailure(const char* name, DWORD code) {
  ReportOsError(name, code);
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    // Windows gives a port to one program at a time and says "access denied" to the next.
    std::fprintf(stderr, "boxload: the port is in use by another program: close it and try again\n");
  } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
    if (PrintPortList("") == 0) {
      std::fprintf(stderr, "boxload: this machine shows no serial ports: is the adapter plugged in?\n");
    }
  }
}

// A failure that prints its line on standard output without a line end: the reason goes on a
// line of its own on stderr, after what standard output holds so far.
void ReportConfigFailure(const char* message, const char* name, DWORD code) {
  Print("%s", message);
  std::fflush(stdout);
  std::fputc('\n', stderr);
  ReportOsError(name, code);
}

void ApplyLineSettings(DCB* dcb) {
  dcb->BaudRate = CBR_115200;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fTXContinueOnXoff = FALSE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->fAbortOnError = FALSE;
}

bool WriteTimeouts(HANDLE handle, uint32_t timeout_ms) {
  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(handle, &timeouts);
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = timeout_ms;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(handle, &timeouts) != 0;
}

// FTDI's driver keeps each adapter's latency timer beside its COM name, under
// Enum\FTDIBUS\<device>\<instance>\Device Parameters (PortName, LatencyTimer). The timer's
// value in ms for the port named com ("COM5"); 0 when it is no FTDI port or shows no timer.
DWORD FtdiLatencyTimer(const char* com) {
  HKEY bus;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ, &bus) !=
      ERROR_SUCCESS) {
    return 0;
  }
  DWORD latency = 0;
  static char device[256];
  static char instance[256];
  static char parameters[600];
  for (DWORD i = 0; latency == 0; ++i) {
    DWORD device_size = sizeof device;
    if (RegEnumKeyExA(bus, i, device, &device_size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    HKEY device_key;
    if (RegOpenKeyExA(bus, device, 0, KEY_READ, &device_key) != ERROR_SUCCESS) {
      continue;
    }
    for (DWORD j = 0; latency == 0; ++j) {
      DWORD instance_size = sizeof instance;
      if (RegEnumKeyExA(device_key, j, instance, &instance_size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      std::snprintf(parameters, sizeof parameters, "%s\\Device Parameters", instance);
      char port_name[32] = {};
      DWORD name_size = sizeof port_name;
      DWORD value = 0;
      DWORD value_size = sizeof value;
      if (RegGetValueA(device_key, parameters, "PortName", RRF_RT_REG_SZ, nullptr, port_name, &name_size) ==
              ERROR_SUCCESS &&
          _stricmp(port_name, com) == 0 &&
          RegGetValueA(device_key, parameters, "LatencyTimer", RRF_RT_REG_DWORD, nullptr, &value, &value_size) ==
              ERROR_SUCCESS) {
        latency = value;
      }
    }
    RegCloseKey(device_key);
  }
  RegCloseKey(bus);
  return latency;
}

// Every block of the body waits for a one-byte verdict, and an FTDI adapter holds it until its
// timer fires (16 ms unless someone changed it). The tool cannot change it without
// administrator rights; the user can, once, in Device Manager.
void AdviseOnLatency(const char* name) {
  const char* com = std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
  const DWORD latency = FtdiLatencyTimer(com);
  if (latency > 2) {
    std::fprintf(stderr,
                 "boxload: %s is an FTDI adapter with a %lu ms latency timer: each answer of the box waits up to "
                 "that long, about %lu s more for a 1 MiB file; lower it to 2 ms in Device Manager > the port > "
                 "Port Settings > Advanced > Latency Timer\n",
                 com, static_cast<unsigned long>(latency), static_cast<unsigned long>((latency * 1024 + 500) / 1000));
  }
}

}  // namespace

PortHandle OpenPort(const char* name) {
  const HANDLE handle =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ReportOpenFailure(name, GetLastError());
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(handle, &dcb) == 0) {
    // Keep SetCommState from refusing XON equal to XOFF in an otherwise empty record.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
  ApplyLineSettings(&dcb);
  if (SetCommState(handle, &dcb) == 0) {
    ReportConfigFailure("Unable to configure the serial port", name, GetLastError());
    CloseHandle(handle);
    return nullptr;
  }
  if (!WriteTimeouts(handle, kBlockingRead)) {
    ReportConfigFailure("Unable to set the time-out parameters", name, GetLastError());
    CloseHandle(handle);
    return nullptr;
  }
  AdviseOnLatency(name);
  g_device.handle = handle;
  g_device.name = name;
  return &g_device;
}

int SetReadTimeout(PortHandle port, uint32_t timeout_ms) {
  if (!WriteTimeouts(port->handle, timeout_ms)) {
    const DWORD code = GetLastError();
    TracePortError("SetCommTimeouts", code, "setting the read policy");
    ReportConfigFailure("Unable to set the time-out parameters", port->name, code);
    return 0;
  }
  TraceReadPolicy(timeout_ms);
  return 1;
}

int PortWrite(PortHandle port, int value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  DWORD written = 0;
  if (WriteFile(port->handle, &byte, 1, &written, nullptr) == 0) {
    const DWORD code = GetLastError();
    TracePortError("write", code, "WriteFile");
    if (code != 0) {
      Print("PortWrite: errcode %lXh(%ld)\n", static_cast<unsigned long>(code), static_cast<long>(code));
    }
    return 0;
  }
  TracePortByte(kTraceTx, byte);
  return 1;
}

int PortRead(PortHandle port, uint8_t* byte, uint32_t* error) {
  *error = 0;
  uint8_t received = 0;
  DWORD count = 0;
  if (ReadFile(port->handle, &received, 1, &count, nullptr) == 0) {
    const DWORD code = GetLastError();
    // A failed read must never pass for a time-out, even without a code from the system.
    *error = code != 0 ? code : ERROR_GEN_FAILURE;
    TracePortError("read", *error, "ReadFile");
    return 0;
  }
  if (count != 1) {
    TraceReadTimedOut();
    return 0;
  }
  *byte = received;
  TracePortByte(kTraceRx, received);
  return 1;
}

int PortInputWaiting(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(port->handle, &errors, &status) != 0 && status.cbInQue > 0 ? 1 : 0;
}

PortNaming PortNamingRules() { return kNamedByComName; }

const char* PortDevicePath(const char* name) { return name; }

// A COM name is read as such already; there is no folder of devices to look a bare name up in.
int SuggestPortPath(const char* /*text*/, char* /*out*/, int /*size*/) { return 0; }

// Receive side only. A drain of a virtual port (a pty under Wine, a network-backed COM port)
// can return before the far side has read what was written, and PURGE_TXCLEAR then ate the end
// of the last frame: seen under Wine, the image arrived short. After a drain that did wait
// there is nothing in the transmit queue to discard anyway.
void PurgePort(PortHandle port) {
  TracePortAction("purge");
  PurgeComm(port->handle, PURGE_RXCLEAR);
}

void DrainPort(PortHandle port) {
  TracePortAction("drain");
  FlushFileBuffers(port->handle);
}

void ClosePort(PortHandle port) {
  TracePortAction("port closed by the abort");
  CloseHandle(port->handle);
}

void ReleasePort(PortHandle port) {
  CloseHandle(port->handle);
  port->handle = INVALID_HANDLE_VALUE;
}
