// Shared helpers of the unit tests: captured console text, temporary files, and the simulated
// box wired to the in-memory port (SDF files made on the spot come from support/sdf_files.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stbsim/box_sim.h"
#include "support/sdf_files.h"  // MakeSdf, RandomBytes

// Runs body and returns what it printed on standard output.
std::string CaptureOutput(const std::function<void()>& body);

// A file in the test's temporary directory, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& contents);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  // An open read-only descriptor of the file (closed with the object).
  int fd();

 private:
  std::string path_;
  int fd_ = -1;
};

// A whole update through the simulated box behind the in-memory port: the firmware stage, then
// (if it succeeded) the software stage, with what they printed and the virtual times.
struct BothStages {
  int firmware = 0;
  int software = 0;
  uint64_t firmware_end_ms = 0;
  uint64_t end_ms = 0;
  bool blocked_forever = false;  // the last read would have waited for ever
  std::string output;
};
BothStages RunBothStages(BoxSim* box, TempFile* sdf);

// Resets the in-memory port and puts the simulated box behind it: every byte the code writes
// goes to the box, and the box's answers are queued on the port at their virtual times.
void AttachBox(BoxSim* box);
