// The serial ports of a Windows machine: the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// where every serial driver (built-in UART, USB adapter, Bluetooth) enters its COM names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial.h"

namespace {

constexpr DWORD kMaxPorts = 256;
constexpr DWORD kMaxName = 32;

// COM2 before COM10: by number, then by name.
int ComparePorts(const void* a, const void* b) {
  const char* x = static_cast<const char*>(a);
  const char* y = static_cast<const char*>(b);
  const int nx = std::atoi(x + std::strcspn(x, "0123456789"));
  const int ny = std::atoi(y + std::strcspn(y, "0123456789"));
  return nx != ny ? (nx < ny ? -1 : 1) : std::strcmp(x, y);
}

}  // namespace

int PrintPortList(const char* /*root*/) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return 0;
  }
  static char names[kMaxPorts][kMaxName];
  DWORD count = 0;
  for (DWORD index = 0; count < kMaxPorts; ++index) {
    char value_name[256];
    DWORD value_name_size = sizeof value_name;
    DWORD type = 0;
    BYTE data[kMaxName] = {};
    DWORD data_size = sizeof data - 1;
    const LONG result = RegEnumValueA(key, index, value_name, &value_name_size, nullptr, &type, data, &data_size);
    if (result == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (result == ERROR_SUCCESS && type == REG_SZ && data[0] != 0) {
      std::memcpy(names[count++], data, kMaxName);
    }
  }
  RegCloseKey(key);
  std::qsort(names, count, kMaxName, ComparePorts);
  if (count > 0) {
    std::fprintf(stderr, "boxload: the serial ports of this machine:\n");
  }
  for (DWORD i = 0; i < count; ++i) {
    std::fprintf(stderr, "  %s\n", names[i]);
  }
  return static_cast<int>(count);
}

void PortDeviceFacts(const char* /*root*/, const char* device_path, char* device, int device_size, char* adapter_serial,
                     int /*serial_size*/) {
  // "\\.\COM12" is opened for COM12: the record names the port as Windows does.
  const char* name = std::strncmp(device_path, "\\\\.\\", 4) == 0 ? device_path + 4 : device_path;
  std::snprintf(device, static_cast<size_t>(device_size), "%s", name);
  adapter_serial[0] = '\0';
}
