// The serial link: the only way the protocol code reaches the box.
//
//   OpenPort(name)               opens "com1".."com8" (the build's ports) or a device named by
//                                the user (a path on POSIX, links followed; "\\.\COMn" on
//                                Windows) at 115,200 8N1, raw, no flow control, DTR/RTS off,
//                                blocking read policy; null on failure (prints only "Unable to
//                                configure the serial port" / "Unable to set the time-out
//                                parameters" on standard output; on stderr the device, the
//                                system's reason and a line of help: the group to join, the
//                                program holding the port, or the list of ports)
//   PortNamingRules()            how a user names a port on this platform: kNamedByPath (an
//                                argument with a '/') or kNamedByComName ("COMn", "\\.\COMn")
//   PortDevicePath(name)         the device that OpenPort(name) would open, null for a name that
//                                names none; touches nothing
//   SuggestPortPath(text, out, size)  1 with the device the user probably meant in out, when
//                                text is a bare device name ("ttyUSB0" for /dev/ttyUSB0 on
//                                POSIX) of a device that exists; 0 otherwise
//   PrintPortList(root)          the serial ports this machine has, on stderr under one heading
//                                line; prints nothing when there are none; returns the count.
//                                root stands for "/" (tests give a fake tree; "" for the
//                                machine); ignored on Windows
//   PortDeviceFacts(root, path, device, size, serial, size)  for a box's record: the device
//                                path (as PortDevicePath gives it) resolves to (a by-id link's
//                                target; the COM name on Windows), and the USB adapter's serial
//                                number as sysfs under root shows it; "" when not known. Never
//                                opens the device
//   FindPortHolder(device, text, size)  POSIX: 1 with "PID 1234 (minicom)" in text when /proc
//                                shows another process with device open; 0 when none is seen
//   SetReadTimeout(port, T)      T ms per one-byte read, 0 = wait for ever; 1 ok, 0 failed
//                                (prints "Unable to set the time-out parameters"). Never
//                                discards bytes already received.
//   PortWrite(port, value)       one byte; 1 when the write call succeeded, 0 after printing
//                                "PortWrite: errcode %Xh(%d)\n" (silent when the code is 0)
//   PortRead(port, &byte, &err)  1 with a fresh byte; 0 with err 0 on a time-out; 0 with err
//                                nonzero when the port failed or hung up. Never prints.
//   PortInputWaiting(port)       1 when a received byte waits to be read, 0 when none does or
//                                the system cannot tell; never waits, never reads
//   PurgePort(port)              discards what was received and not read yet; never what was
//                                written (a drain may return before the far side has read it)
//   DrainPort(port)              waits until everything written has left
//   ClosePort(port)              frees the port for other programs at once, and clears the
//                                low-latency flag if this run set it (the end of the process
//                                does too); safe from the abort thread while the main thread
//                                is blocked on the port
//   ReleasePort(port)            ClosePort, then the handle itself goes: for a program that
//                                lives on after looking at a port (the station's port check)
//
// Each platform has its own backend file and its own port list file; the build picks them.
#pragma once

#include <cstdint>

struct PortDevice;  // defined by the backend
using PortHandle = PortDevice*;

// Read policies, in ms per one-byte read.
inline constexpr uint32_t kBlockingRead = 0;
inline constexpr uint32_t kProbeTimeoutMs = 500;
inline constexpr uint32_t kBootRomTimeoutMs = 5000;

enum PortNaming { kNamedByPath, kNamedByComName };

PortHandle OpenPort(const char* name);
PortNaming PortNamingRules();
const char* PortDevicePath(const char* name);
int SuggestPortPath(const char* text, char* out, int size);
int PrintPortList(const char* root);
void PortDeviceFacts(const char* root, const char* device_path, char* device, int device_size, char* adapter_serial,
                     int serial_size);
int FindPortHolder(const char* device, char* text, int size);
int SetReadTimeout(PortHandle port, uint32_t timeout_ms);
int PortWrite(PortHandle port, int value);
int PortRead(PortHandle port, uint8_t* byte, uint32_t* error);
int PortInputWaiting(PortHandle port);
void PurgePort(PortHandle port);
void DrainPort(PortHandle port);
void ClosePort(PortHandle port);
void ReleasePort(PortHandle port);
