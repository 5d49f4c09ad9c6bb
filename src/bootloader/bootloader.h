// The remote bootloader that the firmware image starts: verdicts, blocks and the software stage.
//
//   WaitResponse(port)                  one verdict: 06 = 1, 15 = 0 silently, other = 0 with
//                                       "Unknown response: 0x%X\n"; text 02 ... 00 before it is
//                                       printed as it comes; a failed read prints
//                                       "WaitResponse: read error...\n" and gives 0
//   WaitHeaderResponse(port)            WaitResponse for the SDF header; its time is the first
//                                       pace of the stray-byte window
//   WaitAfterLastResponse(port)         WaitResponse for the verdict after the last block; a
//                                       refusal (15) adds one line on standard error
//   WaitLastResponse(port)              WaitResponse for the final verdict; a refusal (15) adds
//                                       one line on standard error, none on standard output
//   CheckNoVerdictFollows(port)         after the final verdict: 0 with a line on standard error
//                                       when a verdict or text message comes within the watch,
//                                       proof that the tool was one verdict ahead; other bytes
//                                       (the box's start-up text) are let pass. The watch is the
//                                       larger of 250 ms and the slowest verdict (at most 2 s);
//                                       5 s for a run that may be out of step unseen: one with a
//                                       refusal, a resend or an odd byte, or whose box took longer
//                                       than a block's line time (89 ms) for a block
//   ForgetVerdictPace()                 a new run: no block verdict timed, nothing odd seen
//   ShowBoxTextEscaped(on)              on: the box's text shows its control bytes as \xHH (for a
//                                       terminal); off (the default): as they came
//   SendBlock(port, buffer, count)      FF fill from count, 1,024 bytes + checksum, one verdict,
//                                       timed from the checksum's write for the window's pace.
//                                       Before the checksum goes, bytes already waiting are
//                                       taken: a verdict or text message there means the tool
//                                       is out of step (a line on standard error, no more
//                                       tries); others print "Unknown response". Unexpected
//                                       bytes with a verdict behind them within the stray-byte
//                                       window were noise: that verdict counts. The window runs
//                                       from the first odd byte: 500 ms, or 3 times the run's
//                                       slowest verdict, at most 2 s
//   SendBlockWithRetry(port, b, n, t)   SendBlock up to t times, first success wins; each try
//                                       after the first is a NOTE in a trace ("sent again").
//                                       Before a refused block goes again the line is listened
//                                       to for the stray-byte window: a verdict or text message
//                                       there means the refusal was noise and the tool is out of
//                                       step (a line on standard error, no more tries)
//   WaitForReady(port)                  scans for 53 44 46 10 ("SDF" DLE) without limit;
//                                       0 only when the port fails
//   SendSDFHeader(port, header)         blocking policy, drain, ready handshake, 20 header
//                                       bytes, one verdict
//   SendSDFFile(port, fd, buffer, hdr)  data_length body bytes in blocks, then one verdict
//   RunSoftwareStage(port, fd)          the whole second stage: check, header, body, final
//                                       verdicts, each step's word with "OK" or "BAD"; 1 = updated
//   kAck ... kReadySignal               the bootloader's bytes on the line, all in one block
#pragma once

#include <cstdint>

#include "sdf/sdf.h"
#include "serial/serial.h"

// The bootloader's bytes on the line.
// Verdicts: accepted, refused; a text message for the console 02 ... 00 may come before one.
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kTextStart = 0x02;
inline constexpr uint8_t kTextEnd = 0x00;
// The ready signal: "SDF" and DLE.
inline constexpr uint8_t kReadySignal[] = {0x53, 0x44, 0x46, 0x10};

inline constexpr int kBlockTries = 3;

int WaitResponse(PortHandle port);
int WaitHeaderResponse(PortHandle port);
int WaitAfterLastResponse(PortHandle port);
int WaitLastResponse(PortHandle port);
int CheckNoVerdictFollows(PortHandle port);
void ForgetVerdictPace();
void ShowBoxTextEscaped(bool on);
int SendBlock(PortHandle port, uint8_t* buffer, int32_t count);
int SendBlockWithRetry(PortHandle port, uint8_t* buffer, int32_t count, int32_t tries);
int WaitForReady(PortHandle port);
int SendSDFHeader(PortHandle port, const SdfHeader& header);
int SendSDFFile(PortHandle port, int sdf_fd, uint8_t* buffer, const SdfHeader& header);
int RunSoftwareStage(PortHandle port, int sdf_fd);
