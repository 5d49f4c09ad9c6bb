// The serial link on POSIX terminals (termios).
//
// "comN" is the device BOXLOAD_PORT_PREFIX followed by N-1, fixed at build time; a name with a
// '/' is a device path the user gave, opened as it stands. A read waits
// with poll() against a monotonic deadline, so a time-out (nothing within T) and a dead port
// (hang-up, error, end of file) stay apart: the latter is a failed read with an error code.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "common/common.h"
#include "serial/serial.h"
#include "serial/serial_trace.h"

#ifndef BOXLOAD_PORT_PREFIX
#define BOXLOAD_PORT_PREFIX "/dev/ttyS"
#endif

struct PortDevice {
  int fd;
  uint32_t timeout_ms;
};

namespace {

const char* const kDeviceTable[8] = {
    BOXLOAD_PORT_PREFIX "0", BOXLOAD_PORT_PREFIX "1", BOXLOAD_PORT_PREFIX "2", BOXLOAD_PORT_PREFIX "3",
    BOXLOAD_PORT_PREFIX "4", BOXLOAD_PORT_PREFIX "5", BOXLOAD_PORT_PREFIX "6", BOXLOAD_PORT_PREFIX "7",
};

// The process opens one port for its whole life.
PortDevice g_device{-1, kBlockingRead};

// Error code for a port that hung up or reached end of file without the system giving one.
constexpr uint32_t kHangUpError = EIO;

const char* DeviceForName(const char* name) {
  if (std::strchr(name, '/') != nullptr) {
    return name;
  }
  // "com1".."com8"; anything else names no device.
  if (std::strncmp(name, "com", 3) != 0 || name[3] < '1' || name[3] > '8' || name[4] != '\0') {
    return nullptr;
  }
  return kDeviceTable[name[3] - '1'];
}

void ReportOsError(const char* device, int code) {
  std::fprintf(stderr, "boxload: %s: %s\n", device, std::strerror(code));
}

// Whom to ask: the group that owns the device, read from the device, as a group may differ from
// one distribution to the next (dialout, uucp, tty).
void ExplainPermission(const char* device) {
  struct stat st {};
  if (stat(device, &st) != 0) {
    return;
  }
  const group* owner_group = getgrgid(st.st_gid);
  const passwd* user = getpwuid(getuid());
  const char* user_name = user != nullptr ? user->pw_name : "$USER";
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || owner_group == nullptr) {
    std::fprintf(stderr, "boxload: only the owner of %s may use it (mode %03o): ask the administrator\n", device,
                 static_cast<unsigned>(st.st_mode & 0777));
    return;
  }
  std::fprintf(stderr,
               "boxload: the port belongs to the group %s: join it with `sudo usermod -aG %s %s`, then log in "
               "again\n",
               owner_group->gr_name, owner_group->gr_name, user_name);
}

void ExplainInUse(const char* device) {
  char holder[96];
  if (FindPortHolder(device, holder, sizeof holder) != 0) {
    std::fprintf(stderr, "boxload: the port is in use by another program: held by %s\n", holder);
  } else {
    std::fprintf(stderr, "boxload: the port is in use by another program: end it and try again\n");
  }
}

// The device and the system's reason, then one line on what to do about it.
void ReportOpenFailure(const char* device, int code) {
  ReportOsError(device, code);
  if (code == EACCES || code == EPERM) {
    ExplainPermission(device);
  } else if (code == EBUSY) {
    // Another program set exclusive use (TIOCEXCL): only root may open the port now.
    ExplainInUse(device);
  } else if (code == EISDIR) {
    std::fprintf(stderr, "boxload: %s is a directory: give the serial device itself, such as /dev/ttyUSB0\n", device);
  } else if (code == ENOENT || code == ENODEV || code == ENXIO || code == ENOTDIR) {
    if (PrintPortList("") == 0) {
      std::fprintf(stderr, "boxload: this machine shows no serial ports: is the adapter plugged in?\n");
    }
  }
}

// The console line of the design, then the reason on standard error.
void ReportConfigureFailure(const char* device, const char* reason) {
  Print("Unable to configure the serial port");
  std::fflush(stdout);
  std::fprintf(stderr, "\nboxload: %s: %s\n", device, reason);
}

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ConfigureLine(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  // Reads are paced by poll(); the driver hands over whatever has come.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  // TCSANOW: never discard what the box may already have sent.
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void DropModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  // A pseudo-terminal has no modem lines (ENOTTY, EINVAL on older kernels): nothing to drop.
  if (ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
    std::fprintf(stderr, "boxload: cannot drop DTR/RTS: %s\n", std::strerror(errno));
  }
}

// The controlling terminal's device (tty_nr in /proc/self/stat, 0 for none), in the kernel's
// encoding: minor bits 0-7 and 20-31, major bits 8-19.
bool IsControllingTerminal(dev_t device) {
  static char text[1024];
  const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) {
    return false;
  }
  text[n] = '\0';
  // After the command name, which may hold spaces and parentheses: state, ppid, pgrp, session,
  // tty_nr.
  const char* rest = std::strrchr(text, ')');
  char state = 0;
  long ppid = 0;
  long pgrp = 0;
  long session = 0;
  unsigned long tty_nr = 0;
  if (rest == nullptr || std::sscanf(rest + 1, " %c %ld %ld %ld %lu", &state, &ppid, &pgrp, &session, &tty_nr) != 5 ||
      tty_nr == 0) {
    return false;
  }
  const unsigned long major_number = (tty_nr >> 8) & 0xFFF;
  const unsigned long minor_number = (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00);
  return major(device) == major_number && minor(device) == minor_number;
}

// The terminal of standard input, output or error, the controlling terminal, under any name,
// or /dev/tty itself. `boxload $(tty) f.sdf </dev/null >o 2>e` names the terminal with no
// standard descriptor on it: only the controlling terminal gives it away.
bool IsOwnTerminal(int fd) {
  struct stat port {};
  if (fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode)) {
    return false;
  }
  struct stat own {};
  if (stat("/dev/tty", &own) == 0 && S_ISCHR(own.st_mode) && own.st_rdev == port.st_rdev) {
    return true;
  }
  if (IsControllingTerminal(port.st_rdev)) {
    return true;
  }
  for (int standard = 0; standard <= 2; ++standard) {
    if (isatty(standard) != 0 && fstat(standard, &own) == 0 && own.st_rdev == port.st_rdev) {
      return true;
    }
  }
  return false;
}

// The port whose low-latency flag this run set, -1 when none: the flag is cleared again when
// the port is let go. Taken by whichever comes first, the abort or the end of the process.
std::atomic<int> g_low_latency_set_on{-1};

// The driver keeps the flag after the last close, until the device goes away: left set, it
// would outlive the run. An adapter already gone has nothing to restore, so errors are not
// looked at.
void RestoreLowLatency() {
  const int fd = g_low_latency_set_on.exchange(-1);
  serial_struct info{};
  if (fd < 0 || ioctl(fd, TIOCGSERIAL, &info) != 0) {
    return;
  }
  info.flags &= ~ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &info) == 0) {
    TracePortAction("low latency off again");
  }
}

// A USB adapter holds received bytes until its latency timer fires (ftdi_sio: 16 ms), and every
// block of the body waits for a one-byte verdict: over a 1 MiB body that is 8 to 16 s. With the
// low-latency flag ftdi_sio uses 1 ms. The flag is the user's to set, no root needed. A pty or
// a driver without it refuses, and the run goes on as before. A flag found set stays set.
void RequestLowLatency(int fd) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
    return;
  }
  if ((info.flags & ASYNC_LOW_LATENCY) == 0) {
    info.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &info) != 0) {
      TracePortError("low latency", static_cast<uint32_t>(errno), std::strerror(errno));
      return;
    }
    // The normal run never closes the port (it goes with the process): the restore runs at exit.
    static const bool registered = std::atexit(RestoreLowLatency) == 0;
    (void)registered;
    g_low_latency_set_on = fd;
  }
  TracePortAction("low latency on");
}

}  // namespace

const char* PortDevicePath(const char* name) { return DeviceForName(name); }

int SuggestPortPath(const char* text, char* out, int size) {
  if (std::strchr(text, '/') != nullptr || text[0] == '\0') {
    return 0;
  }
  const int n = std::snprintf(out, static_cast<size_t>(size), "/dev/%s", text);
  struct stat st {};
  return n > 0 && n < size && stat(out, &st) == 0 && S_ISCHR(st.st_mode) ? 1 : 0;
}

PortHandle OpenPort(const char* name) {
  const char* device = DeviceForName(name);
  if (device == nullptr) {
    return nullptr;
  }
  // A file or a FIFO is no port, whatever its permissions say: no advice about groups then.
  struct stat named {};
  if (stat(device, &named) == 0 && !S_ISCHR(named.st_mode) && !S_ISDIR(named.st_mode)) {
    ReportConfigureFailure(device, "not a serial port");
    return nullptr;
  }
  int fd;
  do {
    fd = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    ReportOpenFailure(device, errno);
    return nullptr;
  }
  // The probes would go to the user's screen, and the terminal be left raw at 115,200 baud.
  if (IsOwnTerminal(fd)) {
    std::fprintf(stderr, "boxload: %s: that is the terminal boxload runs in, not the box's port\n", device);
    close(fd);
    return nullptr;
  }
  // No sharing: a second run on the same port must not interleave its bytes with ours.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    close(fd);
    if (code == EWOULDBLOCK) {
      std::fprintf(stderr, "boxload: %s: locked by another program\n", device);
      ExplainInUse(device);
    } else {
      ReportOsError(device, code);
    }
    return nullptr;
  }
  if (!isatty(fd)) {
    ReportConfigureFailure(device, "not a serial port");
    close(fd);
    return nullptr;
  }
  if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
    ReportOsError(device, errno);
  }
  DropModemLines(fd);
  // O_NONBLOCK only kept open() from waiting for carrier; reads are paced by poll().
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (!ConfigureLine(fd)) {
    ReportConfigureFailure(device, std::strerror(errno));
    close(fd);
    return nullptr;
  }
  RequestLowLatency(fd);
  g_device.fd = fd;
  g_device.timeout_ms = kBlockingRead;
  return &g_device;
}

int SetReadTimeout(PortHandle port, uint32_t timeout_ms) {
  // Nothing to tell the driver: the time-out is applied per read with poll().
  port->timeout_ms = timeout_ms;
  TraceReadPolicy(timeout_ms);
  return 1;
}

int PortWrite(PortHandle port, int value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  ssize_t n;
  do {
    n = write(port->fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int code = errno;
    TracePortError("write", static_cast<uint32_t>(code), std::strerror(code));
    if (code != 0) {
      Print("PortWrite: errcode %Xh(%d)\n", static_cast<unsigned>(code), code);
    }
    return 0;
  }
  TracePortByte(kTraceTx, byte);
  return 1;
}

int PortRead(PortHandle port, uint8_t* byte, uint32_t* error) {
  *error = 0;
  const bool timed = port->timeout_ms != kBlockingRead;
  const int64_t deadline = MonotonicMs() + port->timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (timed) {
      const int64_t left = deadline - MonotonicMs();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd pfd{port->fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      *error = static_cast<uint32_t>(errno);
      TracePortError("read", *error, std::strerror(errno));
      return 0;
    }
    if (ready == 0) {
      TraceReadTimedOut();
      return 0;
    }
    if ((pfd.revents & POLLNVAL) != 0) {
      *error = EBADF;
      TracePortError("read", *error, "descriptor no longer open");
      return 0;
    }
    // Read even on POLLHUP: bytes sent before the hang-up are still good.
    const ssize_t n = read(port->fd, byte, 1);
    if (n == 1) {
      TracePortByte(kTraceRx, *byte);
      return 1;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    // End of file: disconnected devices look ready to read but give nothing. Never a time-out.
    *error = n < 0 ? static_cast<uint32_t>(errno) : kHangUpError;
    TracePortError("read", *error, n < 0 ? std::strerror(errno) : "end of file: the port hung up");
    return 0;
  }
}

int PortInputWaiting(PortHandle port) {
  int count = 0;
  return ioctl(port->fd, FIONREAD, &count) == 0 && count > 0 ? 1 : 0;
}

PortNaming PortNamingRules() { return kNamedByPath; }

// Receive side only. The drain before it returns on a pty, or a network-backed port, before the
// far side has read what was written, and an output purge would then eat the end of the last
// frame. On a real UART the drain has waited and there is nothing left to discard.
void PurgePort(PortHandle port) {
  TracePortAction("purge");
  tcflush(port->fd, TCIFLUSH);
}

void DrainPort(PortHandle port) {
  TracePortAction("drain");
  tcdrain(port->fd);
}

void ClosePort(PortHandle port) {
  // Called by the abort while the main thread may be blocked on this descriptor: closing it
  // would free its number under that thread's feet (and would not wake a blocked poll anyway).
  // Freeing the port is what matters: the lock and exclusive mode go now, the descriptor goes
  // with the process a moment later.
  TracePortAction("port freed by the abort");
  RestoreLowLatency();
  flock(port->fd, LOCK_UN);
  ioctl(port->fd, TIOCNXCL);
}

void ReleasePort(PortHandle port) {
  RestoreLowLatency();
  flock(port->fd, LOCK_UN);
  ioctl(port->fd, TIOCNXCL);
  close(port->fd);
  port->fd = -1;
}
