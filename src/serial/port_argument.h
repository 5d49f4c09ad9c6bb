// The port argument of a command line, read the same way by boxload and the station: a number
// into the build's port table, or a device named by the user; and the name OpenPort is given.
//
//   ParsePortNumber(text)  the number as the C runtime's atoi reads it (leading white space,
//                          one sign, digits up to the first other character, 0 for none);
//                          0 when it overflows an int, so it can never wrap onto a real port
//   ReadPortArgument(text, naming, &port)
//                          kPortNumber with port.number from ParsePortNumber, whenever that
//                          number is 1..8 ("2/" and "3x" too) or the text names no device;
//                          otherwise kPortName with port.name the device to open: with
//                          kNamedByPath any text holding a '/', as it stands; with
//                          kNamedByComName "COMn" or "\\.\COMn" in any case, n 1..255, as
//                          "\\.\COMn". kPortNameTooLong when such a name does not fit
//                          port.name. Never prints, never touches a device.
//   PortOpenName(port)     what OpenPort is given: the device named, or PortNameTable[number];
//                          null for a number outside 1..8 and for a name too long
//   PortComNumber(name)    n of "COMn" or "\\.\COMn" in any case (n 1..255, no leading zero),
//                          as PortOpenName gives them; 0 for any other name
//   PortNameTable          index 0 the version, 1..8 the port names "com1".."com8": the port
//                          number indexes it directly, which is why only 1..8 are taken
#pragma once

#include <cstddef>

#include "serial/serial.h"

// The longest path Linux takes, with its terminating zero.
inline constexpr size_t kPortNameSize = 4096;
// The numbered ports, "com1".."com8".
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 8;

enum PortArgumentKind { kPortNumber, kPortName, kPortNameTooLong };

struct PortArgument {
  PortArgumentKind kind;
  int number;
  char name[kPortNameSize];
};

extern const char* const PortNameTable[9];

int ParsePortNumber(const char* text);
void ReadPortArgument(const char* text, PortNaming naming, PortArgument* port);
const char* PortOpenName(const PortArgument& port);
int PortComNumber(const char* name);
