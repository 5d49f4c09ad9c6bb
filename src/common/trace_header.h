// A trace's header: the second line of every trace, which tells the program, the image it
// carries, the port and the SDF file of the run. boxload writes it and the station reads it back,
// both through this one contract; stored traces keep its form:
//
//   version V; image 12084 bytes sha256 H; port P; file NAME N bytes, data_crc32 XXXXXXXX, id 16HEX; started T
//
// and "file NAME N bytes, no header" or "file NAME unreadable" as far as the file could be read.
// The port and the name are escaped as console text is (trace.h), so that the header stays one
// line, and their ';' as \x3B, so that neither can hold the words the fields are told apart by.
// A trace written before that may hold a raw ';' in a name: the file's fields are read from the
// end, so that such a name still reads back unless it held "; file " itself.
//
//   FormatTraceHeader(header, out, size)  the line without its "# " and its end; 0 when it does not fit
//   ReadTraceHeader(line, &header)        line as the trace holds it, "# " first; 1 when it is a
//                                         header (the fields it lacks stay as TraceHeader{} has them)
#pragma once

#include <cstddef>
#include <cstdint>

enum TraceHeaderFile { kHeaderFileUnreadable, kHeaderFileNoHeader, kHeaderFileRead };

struct TraceHeader {
  char version[32] = {};
  uint32_t image_bytes = 0;
  char image_sha256[65] = {};
  char port[256] = {};       // as the user gave it
  char sdf_file[1024] = {};  // as the user gave it
  TraceHeaderFile file = kHeaderFileUnreadable;
  int64_t sdf_bytes = -1;   // -1: unknown
  char data_crc32[9] = {};  // 8 hex digits, upper case; "" without a header
  char sdf_id[17] = {};     // the header's first 8 bytes in hex; "" without a header
  char started[32] = {};    // UTC, or "unknown"
};

size_t FormatTraceHeader(const TraceHeader& header, char* out, size_t size);
int ReadTraceHeader(const char* line, TraceHeader* header);
