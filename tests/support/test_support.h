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

// Resets the in-memory port and puts the simulated box behind it: every byte the code writes
// goes to the box, and the box's answers are queued on the port at their virtual times.
void AttachBox(BoxSim* box);
