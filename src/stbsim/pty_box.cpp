// The simulated box on a pseudo-terminal.
//
// Until the tool's first byte arrives the box holds a slave descriptor of its own, so the pty
// stays alive and the master sees no hang-up before the tool opens the port. Then it lets that
// descriptor go: the tool's close becomes the last close, which the master sees as POLLHUP or
// EIO, and that ends the session.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "stbsim/pty_box.h"

namespace {

// How often Run() looks at the stop flag when nothing else happens.
constexpr int kStopCheckMs = 50;
constexpr int64_t kStopCheckNs = int64_t{kStopCheckMs} * 1000000;
// Closing the master flushes what the tool has not read yet: let recent bytes get there first.
constexpr int64_t kHangUpGraceNs = 100000000;

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

timespec Timespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void SleepNs(int64_t ns) {
  timespec ts = Timespec(ns);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

PtyBox::PtyBox(BoxMachine* sim, std::string link_path) : sim_(sim), link_path_(std::move(link_path)) {}

PtyBox::~PtyBox() {
  // Only our own link: another box may have taken the path over since.
  char target[PATH_MAX];
  const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
  if (n > 0 && slave_path_ == std::string(target, static_cast<size_t>(n))) {
    unlink(link_path_.c_str());
  }
  Close();
}

void PtyBox::Close() {
  CloseFd(&slave_fd_);
  CloseFd(&master_fd_);
}

uint64_t PtyBox::Now() const { return static_cast<uint64_t>((MonotonicNs() - origin_ns_) / clock_.ns_per_unit); }

bool PtyBox::Open() {
  Close();
  tool_closed_ = false;
  // Close-on-exec: a master inherited by the tool would keep its side from ever hanging up.
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_fd_ < 0) {
    std::fprintf(stderr, "stbsim: posix_openpt: %s\n", std::strerror(errno));
    return false;
  }
  fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
  char name[128];
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 || ptsname_r(master_fd_, name, sizeof name) != 0) {
    std::fprintf(stderr, "stbsim: cannot set up the pty: %s\n", std::strerror(errno));
    Close();
    return false;
  }
  slave_path_ = name;
  slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  // A new pty starts cooked, with echo: the tool's bytes would come straight back to it.
  if (slave_fd_ < 0 || !MakeRaw(slave_fd_) || !MakeRaw(master_fd_)) {
    std::fprintf(stderr, "stbsim: %s: cannot make it raw: %s\n", name, std::strerror(errno));
    Close();
    return false;
  }
  fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);

  // Made beside the link and renamed over it, so the path always names some pty.
  const std::string temp = link_path_ + ".new" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(name, temp.c_str()) != 0 || rename(temp.c_str(), link_path_.c_str()) != 0) {
    std::fprintf(stderr, "stbsim: cannot link %s to %s: %s\n", link_path_.c_str(), name, std::strerror(errno));
    unlink(temp.c_str());
    Close();
    return false;
  }
  origin_ns_ = clock_.origin_ns >= 0 ? clock_.origin_ns : MonotonicNs();
  return true;
}

bool PtyBox::WriteAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(master_fd_, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    }
    pollfd pfd{master_fd_, POLLOUT, 0};
    poll(&pfd, 1, kStopCheckMs);
  }
  return true;
}

void PtyBox::Run(const std::atomic<bool>* stop) {
  tool_closed_ = false;
  if (master_fd_ < 0) {
    return;
  }
  bool tool_seen = slave_fd_ < 0;
  int64_t last_write_ns = 0;
  uint8_t buffer[4096];
  std::vector<uint8_t> due;
  for (;;) {
    if ((stop != nullptr && stop->load()) || sim_->Ended()) {
      return;
    }
    if (hook_ != nullptr) {
      hook_->Turn(tool_seen);
    }
    // Everything the box sends by now, in one write.
    due.clear();
    BoxOutput out{};
    uint64_t first_due = 0;
    const uint64_t now = Now();
    while (sim_->PeekOutput(&out) && out.at_ms <= now) {
      sim_->PopOutput(&out);
      if (out.hang_up) {
        WriteAll(due.data(), due.size());
        if (!due.empty()) {
          last_write_ns = MonotonicNs();
        }
        const int64_t since = MonotonicNs() - last_write_ns;
        if (last_write_ns != 0 && since < kHangUpGraceNs) {
          SleepNs(kHangUpGraceNs - since);
        }
        Close();
        return;
      }
      if (due.empty()) {
        first_due = out.at_ms;
      }
      due.push_back(out.byte);
    }
    if (!due.empty()) {
      // Fails only when the pty is going away; the read below tells how.
      WriteAll(due.data(), due.size());
      last_write_ns = MonotonicNs();
      if (hook_ != nullptr) {
        hook_->BoxWrote(due.size(), first_due, last_write_ns);
      }
    }

    int64_t wait_ns = kStopCheckNs;
    if (sim_->PeekOutput(&out)) {
      const int64_t due_ns = origin_ns_ + static_cast<int64_t>(out.at_ms) * clock_.ns_per_unit;
      wait_ns = std::clamp<int64_t>(due_ns - MonotonicNs() - clock_.early_ns, 0, kStopCheckNs);
    }
    pollfd pfd{master_fd_, POLLIN, 0};
    const timespec wait = Timespec(wait_ns);
    const int ready = ppoll(&pfd, 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "stbsim: poll: %s\n", std::strerror(errno));
      return;
    }
    if (ready <= 0) {
      continue;
    }
    if ((pfd.revents & POLLIN) != 0) {
      const ssize_t n = read(master_fd_, buffer, sizeof buffer);
      if (n > 0) {
        const int64_t at_ns = MonotonicNs();
        const uint64_t at = static_cast<uint64_t>((at_ns - origin_ns_) / clock_.ns_per_unit);
        for (ssize_t i = 0; i < n; ++i) {
          if (hook_ != nullptr) {
            hook_->ToolByte(at_ns);
          }
          sim_->Receive(buffer[i], at);
        }
        if (!tool_seen) {
          // The tool has the port open: from now on its close is the last one.
          tool_seen = true;
          CloseFd(&slave_fd_);
        }
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      }
    }
    if ((pfd.revents & (POLLHUP | POLLERR | POLLIN)) != 0 && tool_seen) {
      tool_closed_ = true;
      return;
    }
  }
}
