// The station's contract with boxload, and the categories it names: what the station reads of a
// child's console text, trace and standard error, and why a box that did not update failed.
#pragma once

// The station's contract with boxload: the lines of its console text and the notes of its trace
// that the station reads, each as boxload prints it (a "%d" or "%ld" stands for a number), how it
// is matched, and what it tells. The first row that matches a line wins. A line that matches none
// is a failure line of boxload's own or the box's text. Rewording any of these in boxload blinds
// the station to it; the station's unit test finds each one in boxload's sources.
enum LineMatch : int {
  kWholeLine,   // the line is the text
  kLineStart,   // the line begins with it
  kLineInside,  // the text is somewhere in the line
  kLineNumber,  // the text with a number in place of its "%d" or "%ld"
  kTraceNote,   // a NOTE event of the trace begins with it
  kErrorLine,   // a line boxload writes on standard error (the box's .err file) holds it
};

// Why a box did not update. The names are a stable interface of the records: never renamed.
enum Category : int {
  kCategoryNone,              // updated
  kCategoryNoBox,             // no box answered the probes
  kCategoryWrongPlatform,     // --platform asked for another platform than the box answered, or the
                              //   box waited in repair mode, which names none; nothing but probes went
  kCategoryImageRefused,      // the boot ROM refused the reset, the image's header or a frame, or the
                              //   image did not start: nothing answered after it
  kCategoryLoaderNotReady,    // the image ran but its ready signal never came (also a --timeout that
                              //   ended the box while it waited for that signal)
  kCategorySdfHeaderRefused,  // the bootloader did not accept the SDF header
  kCategoryBlockRefused,      // a block was not accepted in three tries
  kCategoryLastVerdict,       // every block was sent, but one of the box's two last verdicts was not
                              //   its acceptance: the box refused the update
  kCategoryOutOfStep,         // a verdict or text message came when none could: nothing more was sent
  kCategoryLineLost,          // a read or write on the line failed: a hang-up, an adapter gone, or a
                              //   boot ROM silent for longer than its time-out
  kCategorySdfFileUnusable,   // the SDF file could not be opened, failed its check, or could not be
                              //   read or changed while it was being sent
  kCategoryTimedOut,          // the station's --timeout ended the box
  kCategoryAborted,           // the operator ended the box
  kCategoryCrashed,           // boxload ended by a signal the station did not send
  kCategoryOther,             // boxload failed in a way none of the above names (its usage, say)
  kCategoryCount,
};
inline constexpr const char* kCategoryNames[kCategoryCount] = {
    nullptr,
    "no box",
    "wrong platform",
    "image refused",
    "bootloader not ready",
    "sdf header refused",
    "block refused",
    "last verdict refused",
    "out of step",
    "line lost",
    "sdf file unusable",
    "timed out",
    "aborted",
    "crashed",
    "other",
};

enum FollowedLineId : int {
  kLinePrompt,
  kLineBanner,
  kLineProbe,
  kLinePlatform,
  kLineRepairMode,
  kLineNoBox,
  kLineResetReply,
  kLineImageHeader,
  kLineImageBody,
  kLineImageFrame,
  kLineImageSent,
  kLineFirmwareOk,
  kLineFirmwareDone,
  kLineFirmwareError,
  kLineCheckStep,
  kLineHeaderStep,
  kLineBodyStep,
  kLineWaitReady,
  kLineLoaderReady,
  kLineHeaderVerdict,
  kLineBlock,
  kLineStepOk,
  kLineStepBad,
  kLineStrayByte,
  kLineSoftwareOk,
  kLineResetRefused,
  kLineResetBadReply,
  kLineImageHeaderBadReply,
  kLineFrameBadReply,
  kLineImageNotStarted,
  kLineResetReadError,
  kLineImageHeaderReadError,
  kLineFrameReadError,
  kLineReadyReadError,
  kLineVerdictReadError,
  kLineFrameWriteError,
  kLineImageHeaderWriteError,
  kLineWriteError,
  kLineFileNotOpened,
  kLineFileReadError,
  kLineFileChanged,
  kNoteExit,
  kNoteCut,
  kNoteResend,
  kNoteOutOfStep,
  kNoteWrongPlatform,
  kErrorRefusedLast,
  kErrorTraceCut,
  kErrorStandIn,
  kFollowedLineCount,
};

struct FollowedLine {
  FollowedLineId id;
  const char* text;
  LineMatch match;
  Category category;  // what a failure line says of the box; the first such line names the cause
  const char* meaning;
};

inline constexpr FollowedLine kFollowedLines[kFollowedLineCount] = {
    {kLinePrompt, "press any key for terminate programm...", kLineInside, kCategoryNone,
     "the run is over; may follow a box's text that had no line end"},
    {kLineBanner, "KMV-7720P FW update utility", kLineStart, kCategoryNone, "the banner"},
    {kLineProbe, "Send 'GetPlatformID' and waiting STB response", kWholeLine, kCategoryNone,
     "probing: waiting for a box"},
    {kLinePlatform, "STB response: ", kLineStart, kCategoryNone,
     "a box answered; the run's first answer is its platform, the 12 bytes after A5"},
    {kLineRepairMode, "STB: REPAIR_MODE", kWholeLine, kCategoryNone, "a box answered, waiting in repair mode"},
    {kLineNoBox, "STB not responding...", kWholeLine, kCategoryNoBox, "no box"},
    {kLineResetReply, "SendResetCommand: STB response", kLineStart, kCategoryNone, "the reset answered"},
    {kLineImageHeader, "SendFileHeader...", kWholeLine, kCategoryNone, "the image's header goes"},
    {kLineImageBody, "SendFile...", kWholeLine, kCategoryNone, "the image goes"},
    {kLineImageFrame, "SendFile: %d(Kb)", kLineNumber, kCategoryNone, "the image's KB sent so far"},
    {kLineImageSent, "Waiting STB response", kWholeLine, kCategoryNone, "the image is sent: waiting for it to start"},
    {kLineFirmwareOk, "Firmware update status: OK", kLineStart, kCategoryNone, "the image started"},
    {kLineFirmwareDone, "do_upload_firmware()", kWholeLine, kCategoryNone,
     "the firmware stage is over, the software stage begins"},
    {kLineFirmwareError, "FW update error...", kWholeLine, kCategoryNone, "the firmware stage failed (names no cause)"},
    {kLineCheckStep, "Check SDF file... ", kLineStart, kCategoryNone, "the SDF file is checked; OK or BAD follows"},
    {kLineHeaderStep, "SendFileHeader... ", kLineStart, kCategoryNone, "the SDF header step; OK or BAD follows"},
    {kLineBodyStep, "SendSDFFile... ", kLineStart, kCategoryNone, "the SDF body step; OK or BAD follows"},
    {kLineWaitReady, "Wait For STB ready", kWholeLine, kCategoryNone, "waiting for the bootloader's ready signal"},
    {kLineLoaderReady, "Remote BootLoader is ready", kWholeLine, kCategoryNone, "the bootloader is ready"},
    {kLineHeaderVerdict, "wait STB response:", kWholeLine, kCategoryNone, "the SDF header is sent"},
    {kLineBlock, "Send %ldKb", kLineNumber, kCategoryNone,
     "the body's KB sent before each block, and once more after the last"},
    {kLineStepOk, "OK", kWholeLine, kCategoryNone, "the step's verdict: done"},
    {kLineStepBad, "BAD", kWholeLine, kCategoryNone, "the step's verdict: failed (names no cause)"},
    {kLineStrayByte, "Unknown response: 0x", kLineStart, kCategoryNone, "an odd byte where a verdict was due"},
    {kLineSoftwareOk, "SW update status: OK", kLineStart, kCategoryNone, "updated"},
    {kLineResetRefused, "STB after reset cmd: Unknown response", kLineStart, kCategoryImageRefused,
     "the boot ROM did not take the reset"},
    {kLineResetBadReply, "SendResetCommand: bad response", kLineStart, kCategoryImageRefused,
     "the boot ROM did not take the go byte"},
    {kLineImageHeaderBadReply, "SendFileHeader: bad response", kLineStart, kCategoryImageRefused,
     "the boot ROM refused the image's header"},
    {kLineFrameBadReply, "SendBytes: bad response", kLineStart, kCategoryImageRefused, "the boot ROM refused a frame"},
    {kLineImageNotStarted, "SW update: error", kWholeLine, kCategoryImageRefused, "nothing answered after the image"},
    {kLineResetReadError, "SendResetCommand: read error...", kWholeLine, kCategoryLineLost,
     "no answer to the reset or the go byte"},
    {kLineImageHeaderReadError, "SendFileHeader: read error...", kWholeLine, kCategoryLineLost,
     "no answer to the image's header"},
    {kLineFrameReadError, "SendBytes: read error...", kWholeLine, kCategoryLineLost, "no answer to a frame"},
    {kLineReadyReadError, "SendSDFHeader: read error...", kWholeLine, kCategoryLineLost,
     "the line failed while waiting for the ready signal"},
    {kLineVerdictReadError, "WaitResponse: read error...", kWholeLine, kCategoryLineLost,
     "the line failed while waiting for a verdict"},
    {kLineFrameWriteError, "SendBytes: port write error", kWholeLine, kCategoryLineLost,
     "a frame could not be written"},
    {kLineImageHeaderWriteError, "SendFileHeader write error...", kWholeLine, kCategoryLineLost,
     "the image's header could not be written"},
    {kLineWriteError, "PortWrite: errcode ", kLineStart, kCategoryLineLost, "a byte could not be written"},
    {kLineFileNotOpened, "Can't open file ", kLineStart, kCategorySdfFileUnusable, "the SDF file could not be opened"},
    {kLineFileReadError, "SendSDFFile: file read error...", kWholeLine, kCategorySdfFileUnusable,
     "the SDF file could not be read"},
    {kLineFileChanged, "SendSDFFile: the file changed while it was being sent", kWholeLine, kCategorySdfFileUnusable,
     "the SDF file changed during the run"},
    {kNoteExit, "exit status ", kTraceNote, kCategoryNone, "the trace is whole: boxload wrote its end"},
    {kNoteCut, "console text above cut", kTraceNote, kCategoryNone, "the log holds less than the console showed"},
    {kNoteResend, "block sent again (try ", kTraceNote, kCategoryNone, "a block is sent again"},
    {kNoteOutOfStep, "out of step: ", kTraceNote, kCategoryOutOfStep, "a verdict or text message came when none could"},
    {kNoteWrongPlatform, "platform ", kTraceNote, kCategoryWrongPlatform,
     "--platform refused the box's answer: it was not reset"},
    {kErrorRefusedLast, "the box refused the update at its last verdict", kErrorLine, kCategoryNone,
     "the failure to show, ahead of any text of the box's"},
    {kErrorTraceCut, "the trace could not be written in full", kErrorLine, kCategoryNone,
     "the box's record is not whole; nothing of the box"},
    {kErrorStandIn, "this build carries a stand-in firmware image", kErrorLine, kCategoryNone,
     "a warning of every run, never a box's failure"},
};
