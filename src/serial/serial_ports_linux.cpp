// The serial ports of a Linux machine, as sysfs and /proc show them.
//
// A tty under /sys/class/tty is a port when a device stands behind it ("device" exists). The
// 8250 driver registers dozens of ttyS placeholders with no UART behind them: their "type"
// reads 0 (unknown port). USB adapters carry their maker, product and serial number a level or
// two above the tty's device, on the USB device itself.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial.h"

namespace {

constexpr int kMaxPorts = 64;
constexpr int kMaxName = 64;
constexpr int kTextSize = 128;

using Path = char[PATH_MAX];

// dir/name into path; false when it does not fit, and such a file is then simply not read.
bool JoinPath(Path path, const char* dir, const char* name) {
  const int n = std::snprintf(path, PATH_MAX, "%s/%s", dir, name);
  return n > 0 && n < PATH_MAX;
}

// The target of the link dir/name; false when it is no link.
bool ReadLinkIn(const char* dir, const char* name, Path target) {
  Path path;
  if (!JoinPath(path, dir, name)) {
    return false;
  }
  const ssize_t n = readlink(path, target, PATH_MAX - 1);
  if (n <= 0) {
    return false;
  }
  target[n] = '\0';
  return true;
}

// Reads the first line of a small sysfs file into text; "" when there is none.
void ReadLine(const char* path, char* text, int size) {
  text[0] = '\0';
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    return;
  }
  if (std::fgets(text, size, f) == nullptr) {
    text[0] = '\0';
  }
  (void)std::fclose(f);
  text[std::strcspn(text, "\r\n")] = '\0';
}

bool IsRealPort(const char* port_dir) {
  Path path;
  if (!JoinPath(path, port_dir, "device") || access(path, F_OK) != 0) {
    return false;
  }
  char type[16] = "";
  if (JoinPath(path, port_dir, "type")) {
    ReadLine(path, type, sizeof type);
  }
  return std::strcmp(type, "0") != 0;
}

// The nearest USB device above the tty (the folder with idVendor); false for a port of no USB.
bool FindUsbDevice(const char* port_dir, Path device) {
  Path path;
  if (!JoinPath(path, port_dir, "device") || realpath(path, device) == nullptr) {
    return false;
  }
  // ttyUSB: port, interface, USB device; ttyACM: interface, USB device.
  for (int level = 0; level < 3; ++level) {
    if (JoinPath(path, device, "idVendor") && access(path, F_OK) == 0) {
      return true;
    }
    char* slash = std::strrchr(device, '/');
    if (slash == nullptr || slash == device) {
      return false;
    }
    *slash = '\0';
  }
  return false;
}

// The first line of the file name in dir; "" when there is none.
void ReadLineIn(const char* dir, const char* name, char* text, int size) {
  Path path;
  text[0] = '\0';
  if (JoinPath(path, dir, name)) {
    ReadLine(path, text, size);
  }
}

// "  FTDI FT232R USB UART, serial A50285BI" from the nearest USB device above the tty.
void UsbDetails(const char* port_dir, char* text, int size) {
  text[0] = '\0';
  Path device;
  if (!FindUsbDevice(port_dir, device)) {
    return;
  }
  char maker[kTextSize];
  char product[kTextSize];
  char serial[kTextSize];
  ReadLineIn(device, "manufacturer", maker, sizeof maker);
  ReadLineIn(device, "product", product, sizeof product);
  ReadLineIn(device, "serial", serial, sizeof serial);
  std::snprintf(text, static_cast<size_t>(size), "  %s%s%s%s%s", maker, maker[0] != '\0' ? " " : "", product,
                serial[0] != '\0' ? ", serial " : "", serial);
}

// Prints the /dev/serial/by-id links that lead to name.
void PrintStableNames(const char* root, const char* name) {
  Path dir_path;
  if (!JoinPath(dir_path, root, "dev/serial/by-id")) {
    return;
  }
  DIR* dir = opendir(dir_path);
  if (dir == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    Path target;
    if (!ReadLinkIn(dir_path, entry->d_name, target)) {
      continue;
    }
    const char* slash = std::strrchr(target, '/');
    if (std::strcmp(slash != nullptr ? slash + 1 : target, name) == 0) {
      std::fprintf(stderr, "      /dev/serial/by-id/%s\n", entry->d_name);
    }
  }
  closedir(dir);
}

int CompareNames(const void* a, const void* b) {
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

}  // namespace

int PrintPortList(const char* root) {
  Path tty_dir;
  if (!JoinPath(tty_dir, root, "sys/class/tty")) {
    return 0;
  }
  DIR* dir = opendir(tty_dir);
  if (dir == nullptr) {
    return 0;
  }
  static char names[kMaxPorts][kMaxName];
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    Path port_dir;
    const size_t length = std::strlen(entry->d_name);
    if (count < kMaxPorts && entry->d_name[0] != '.' && length < kMaxName &&
        JoinPath(port_dir, tty_dir, entry->d_name) && IsRealPort(port_dir)) {
      std::memcpy(names[count++], entry->d_name, length + 1);
    }
  }
  closedir(dir);
  std::qsort(names, static_cast<size_t>(count), kMaxName, CompareNames);
  if (count > 0) {
    std::fprintf(stderr, "boxload: the serial ports of this machine:\n");
  }
  for (int i = 0; i < count; ++i) {
    Path port_dir;
    char details[3 * kTextSize + 32] = "";
    if (JoinPath(port_dir, tty_dir, names[i])) {
      UsbDetails(port_dir, details, sizeof details);
    }
    std::fprintf(stderr, "  /dev/%s%s\n", names[i], details);
    PrintStableNames(root, names[i]);
  }
  return count;
}

int FindPortHolder(const char* device, char* text, int size) {
  Path wanted;
  if (realpath(device, wanted) == nullptr) {
    return 0;
  }
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return 0;
  }
  int found = 0;
  while (const dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || pid == getpid()) {
      continue;
    }
    Path path;
    std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
    // Other users' processes stay closed to a user who is not root: they are simply not seen.
    DIR* fds = opendir(path);
    if (fds == nullptr) {
      continue;
    }
    while (const dirent* fd = readdir(fds)) {
      Path target;
      if (ReadLinkIn(path, fd->d_name, target) && std::strcmp(target, wanted) == 0) {
        char comm[kMaxName] = "";
        std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
        ReadLine(path, comm, sizeof comm);
        std::snprintf(text, static_cast<size_t>(size), "PID %d (%s)", pid, comm);
        found = 1;
        break;
      }
    }
    closedir(fds);
    if (found != 0) {
      break;
    }
  }
  closedir(proc);
  return found;
}

void PortDeviceFacts(const char* root, const char* device_path, char* device, int device_size, char* adapter_serial,
                     int serial_size) {
  adapter_serial[0] = '\0';
  Path resolved;
  if (realpath(device_path, resolved) == nullptr) {
    std::snprintf(device, static_cast<size_t>(device_size), "%s", device_path);
    return;
  }
  std::snprintf(device, static_cast<size_t>(device_size), "%s", resolved);
  const char* slash = std::strrchr(resolved, '/');
  Path tty_dir;
  Path port_dir;
  Path usb;
  if (JoinPath(tty_dir, root, "sys/class/tty") &&
      JoinPath(port_dir, tty_dir, slash != nullptr ? slash + 1 : resolved) && FindUsbDevice(port_dir, usb)) {
    ReadLineIn(usb, "serial", adapter_serial, serial_size);
  }
}
