// What the station checks before any child starts: the SDF file, the ports, and boxload.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "common/trace.h"
#include "files/files.h"
#include "sdf/sdf.h"
#include "serial/port_argument.h"
#include "serial/serial.h"
#include "station/station_run.h"

// The same check and the same lines as boxload's software stage; no port is touched before it.
bool CheckSdf(Station* s) {
  const int fd = FileOpenRead(s->sdf_name);
  if (fd == kNoFile) {
    const int reason = errno;
    Print("Can't open file %s", s->sdf_name);
    std::fflush(stdout);
    std::fprintf(stderr, "\nboxstation: %s: %s\n", s->sdf_name, std::strerror(reason));
    return false;
  }
  SdfHeader header{};
  Print("Check SDF file... ");
  const int good = Check_SDF_File(fd, &header);
  Print(good != 0 ? "OK\n" : "BAD\n");
  FileClose(fd);
  s->data_crc32 = data_crc32(header);
  s->sdf_kb = static_cast<int>(BodyBlocks(header));
  std::fflush(stdout);
  return good != 0;
}

namespace {

// The lines for a port word that names no port OpenPort takes, or a name too long for a slot;
// the station's exit status.
int RefusePort(const char* word, PortArgumentKind kind) {
  if (kind != kPortNumber) {
    std::fprintf(stderr, "boxstation: the port name is too long (%lu characters, at most %lu)\n",
                 static_cast<unsigned long>(std::strlen(word)), static_cast<unsigned long>(kPathSize - 1));
    return kExitSomeNot;
  }
  std::fprintf(stderr, "boxstation: %s: invalid COM port specified (a number %d to %d, or a device)\n", word,
               kFirstPortNumber, kLastPortNumber);
  char meant[kPathSize];
  if (SuggestPortPath(word, meant, sizeof meant) != 0) {
    std::fprintf(stderr, "boxstation: did you mean %s?\n", meant);
  }
  return kExitUsage;
}

// OpenPort's console text passes through here while the station tries the ports, so that a
// line it left open ("Unable to configure the serial port") can be ended.
bool g_line_open = false;

int WatchPrint(const char* format, va_list args) {
  char text[512];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  (void)std::vprintf(format, again);
  va_end(again);
  if (n > 0) {
    const size_t last = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) - 1 : sizeof text - 2;
    g_line_open = text[last] != '\n';
  }
  return n;
}
void WatchByte(TraceKind /*kind*/, uint8_t /*byte*/) {}
void WatchNote(const char* /*format*/, va_list /*args*/) {}
const TraceSink kLineWatch = {WatchByte, WatchPrint, WatchNote};

}  // namespace

// Every port named once, and each one usable: boxload's own open, then let go at once.
int CheckPorts(Station* s) {
  static char open_names[kMaxSlots][kPathSize];
  static char devices[kMaxSlots][kPathSize];
  static PortId ids[kMaxSlots];
  static bool have_id[kMaxSlots];
  static PortArgument argument;  // large: one at a time
  for (int i = 0; i < s->slot_count; ++i) {
    ReadPortArgument(s->slots[i].port, PortNamingRules(), &argument);
    const char* open_name = PortOpenName(argument);
    if (open_name == nullptr || std::strlen(open_name) >= kPathSize) {
      return RefusePort(s->slots[i].port, argument.kind);
    }
    CopyText(open_names[i], kPathSize, open_name);
    const char* device = PortDevicePath(open_name);
    CopyText(devices[i], kPathSize, device != nullptr ? device : open_name);
    have_id[i] = PortIdentity(devices[i], &ids[i]) != 0;
    for (int j = 0; j < i; ++j) {
      const bool same = have_id[i] && have_id[j] ? ids[i].major == ids[j].major && ids[i].minor == ids[j].minor
                                                 : std::strcmp(devices[i], devices[j]) == 0;
      if (same) {
        std::fprintf(stderr, "boxstation: %s and %s are the same port: name each port once\n", s->slots[j].port,
                     s->slots[i].port);
        return kExitUsage;
      }
    }
  }
  TraceAttach(&kLineWatch);
  int status = kExitAllUpdated;
  for (int i = 0; i < s->slot_count && status == kExitAllUpdated; ++i) {
    g_line_open = false;
    const PortHandle port = OpenPort(open_names[i]);
    if (port == nullptr) {
      if (g_line_open) {
        Print("\n");  // "Unable to configure the serial port" has no line end of its own
      }
      std::fflush(stdout);
      char shown[kPathSize * 4];
      ShownText(s->slots[i].port, shown, sizeof shown);
      std::fprintf(stderr, "boxstation: %s cannot be used: no box was started\n", shown);
      status = kExitSomeNot;
    } else {
      ReleasePort(port);
    }
  }
  TraceDetach();
  return status;
}

// Looked at as each box starts: an adapter plugged into another socket between two boxes gives
// a by-id link another target.
void FindSlotDevice(Slot* slot) {
  static PortArgument argument;  // large: one at a time
  slot->device[0] = '\0';
  slot->adapter_serial[0] = '\0';
  ReadPortArgument(slot->port, PortNamingRules(), &argument);
  const char* open_name = PortOpenName(argument);
  if (open_name == nullptr) {
    return;
  }
  const char* device = PortDevicePath(open_name);
  PortDeviceFacts("", device != nullptr ? device : open_name, slot->device, static_cast<int>(sizeof slot->device),
                  slot->adapter_serial, static_cast<int>(sizeof slot->adapter_serial));
}

bool FindBoxload(Station* s) {
  if (ProgramBeside("boxload", s->boxload, sizeof s->boxload) == 0 || FileKindOf(s->boxload) != kFileRegular) {
    std::fprintf(stderr, "boxstation: boxload is not beside boxstation (%s)\n", s->boxload);
    return false;
  }
  return true;
}
