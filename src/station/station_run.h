// The station's run from its command line to its last box, one job to a file.
//
//   station_command_line.cpp
//     ReadCommandLine(argc, argv, station, &log_dir)
//                                options anywhere, then the SDF file and the ports into station;
//                                0 on a usage error (its line printed, if any: the caller adds
//                                the usage). --help prints the usage and exits 0
//     Usage()                    the usage lines on standard error
//   station_checks.cpp           what is checked before any child starts
//     CheckSdf(station)          the SDF file, with boxload's own check and lines; 0 when bad
//     CheckPorts(station)        each port named once and usable by boxload: the station's exit
//                                status, kExitAllUpdated when every port may go on
//     FindBoxload(station)       the boxload beside the station; 0 after a stderr line
//     FindSlotDevice(slot)       the device and USB adapter serial the slot's port names now,
//                                for its box's record ("" when not known)
//   station_folder.cpp
//     MakeLogFolder(station, given)
//                                the run's folder: given, or boxstation-YYYYMMDD-HHMMSS made
//                                now; never one holding an earlier run. 0 after a stderr line
//   station_slot.cpp             a slot's box from its start to its end
//     StartBox(station, slot)    the box's files and its boxload child; a child that cannot
//                                start ends as a box not updated, its line and row say why
//     EndBox(station, slot)      the child has ended: the box's result, its failure line, its
//                                records checked, its summary row
//     Say(station, format, ...)  a line on standard error while the boxes run
//   station_labels.cpp           --label: the operator's lines, each box's label, each slot's mark
//     OperatorInput(station, key)
//                                a byte of the operator's input; a CR, LF or Tab ends a line
//                                (CR LF ends one), which picks a slot, names its box, or is
//                                refused with a word on the screen. The slot whose box is to
//                                start now, its label set, for the caller to start; else -1
//     InputEnded(station)        no more lines will come: the station ends once its boxes
//                                have. A last line without its end is read: as OperatorInput
//     LabelTick(station)         the database's answer about a label, or its time running out:
//                                as OperatorInput
//     NoteBoxEnd(station, slot)  the box has ended: its label's history, the slot's mark, the rate
//     PointsAtLine(category)     the categories that suspect the slot's cable or adapter
//     MayStart(station)          a new box may start: no record lost, --count not reached
//   station_main.cpp             the main loop: keys, stops, time-outs and ends
#pragma once

#include <cstddef>
#include <cstring>

#include "station/station.h"

int ReadCommandLine(int argc, char** argv, Station* s, const char** log_dir);
void Usage();

bool CheckSdf(Station* s);
int CheckPorts(Station* s);
bool FindBoxload(Station* s);
void FindSlotDevice(Slot* slot);

bool MakeLogFolder(Station* s, const char* given);

int OperatorInput(Station* s, int key);
int InputEnded(Station* s);
int LabelTick(Station* s);
void NoteBoxEnd(Station* s, int index);
bool PointsAtLine(int category);
bool MayStart(const Station& s);

void StartBox(Station* s, int index);
void EndBox(Station* s, int index);
[[gnu::format(printf, 2, 3)]] void Say(Station* s, const char* format, ...);

// text into a buffer of size, cut to fit.
inline void CopyText(char* to, size_t size, const char* text) {
  size_t n = 0;
  while (n + 1 < size && text[n] != '\0') {
    ++n;
  }
  std::memmove(to, text, n);
  to[n] = '\0';
}
