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
// An FTDI adapter's bulk packet: 64 bytes, two of them its status.
constexpr size_t kAdapterPacket = 62;

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

struct PtyBox::Session {
  bool tool_seen = false;
  int64_t last_write_ns = 0;  // 0 until the box's first write
  std::vector<uint8_t> due;   // the box's bytes held back from the tool
  uint64_t first_due = 0;     // when the first of them was due (box time)
  uint64_t latency = 0;       // the adapter's latency timer (box time)
};

void PtyBox::Run(const std::atomic<bool>* stop) {
  tool_closed_ = false;
  if (master_fd_ < 0) {
    return;
  }
  Session session;
  session.tool_seen = slave_fd_ < 0;
  session.latency = static_cast<uint64_t>(latency_ns_ / clock_.ns_per_unit);
  for (;;) {
    if ((stop != nullptr && stop->load()) || sim_->Ended()) {
      return;
    }
    if (hook_ != nullptr) {
      hook_->Turn(session.tool_seen);
    }
    const uint64_t now = Now();
    if (!QueueOutput(&session, now)) {
      return;
    }
    ReleaseOutput(&session, now);
    if (!ReadTool(&session)) {
      return;
    }
  }
}

bool PtyBox::QueueOutput(Session* session, uint64_t now) {
  // Everything the box sends by now; behind an adapter's latency timer, what waits from an
  // earlier turn too.
  BoxOutput out{};
  while (sim_->PeekOutput(&out) && out.at_ms <= now) {
    sim_->PopOutput(&out);
    if (out.hang_up) {
      HangUp(session);
      return false;
    }
    if (session->due.empty()) {
      session->first_due = out.at_ms;
    }
    session->due.push_back(out.byte);
  }
  return true;
}

void PtyBox::HangUp(Session* session) {
  WriteAll(session->due.data(), session->due.size());
  if (!session->due.empty()) {
    session->last_write_ns = MonotonicNs();
  }
  const int64_t since = MonotonicNs() - session->last_write_ns;
  if (session->last_write_ns != 0 && since < kHangUpGraceNs) {
    SleepNs(kHangUpGraceNs - since);
  }
  Close();
}

void PtyBox::ReleaseOutput(Session* session, uint64_t now) {
  // The adapter sends each full packet at once, the rest when its timer fires; the timer
  // starts again with each packet. All of it in one write.
  std::vector<uint8_t>& due = session->due;
  const size_t release = session->latency == 0 || now >= session->first_due + session->latency
                             ? due.size()
                             : due.size() - due.size() % kAdapterPacket;
  if (release == 0) {
    return;
  }
  // Fails only when the pty is going away; the read tells how.
  WriteAll(due.data(), release);
  session->last_write_ns = MonotonicNs();
  if (hook_ != nullptr) {
    hook_->BoxWrote(release, session->first_due, session->last_write_ns);
  }
  due.erase(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(release));
  session->first_due = now;
}

int64_t PtyBox::WaitNs(const Session& session) const {
  int64_t wait_ns = kStopCheckNs;
  BoxOutput out{};
  if (sim_->PeekOutput(&out)) {
    const int64_t due_ns = origin_ns_ + static_cast<int64_t>(out.at_ms) * clock_.ns_per_unit;
    wait_ns = std::clamp<int64_t>(due_ns - MonotonicNs() - clock_.early_ns, 0, kStopCheckNs);
  }
  if (!session.due.empty()) {
    const int64_t fire_ns = origin_ns_ + static_cast<int64_t>(session.first_due + session.latency) * clock_.ns_per_unit;
    wait_ns = std::clamp<int64_t>(fire_ns - MonotonicNs(), 0, wait_ns);
  }
  return wait_ns;
}

bool PtyBox::ReadTool(Session* session) {
  pollfd pfd{master_fd_, POLLIN, 0};
  const timespec wait = Timespec(WaitNs(*session));
  const int ready = ppoll(&pfd, 1, &wait, nullptr);
  if (ready < 0 && errno != EINTR) {
    std::fprintf(stderr, "stbsim: poll: %s\n", std::strerror(errno));
    return false;
  }
  if (ready <= 0) {
    return true;
  }
  if ((pfd.revents & POLLIN) != 0) {
    uint8_t buffer[4096];
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
      if (!session->tool_seen) {
        // The tool has the port open: from now on its close is the last one.
        session->tool_seen = true;
        CloseFd(&slave_fd_);
      }
      return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      return true;
    }
  }
  if ((pfd.revents & (POLLHUP | POLLERR | POLLIN)) != 0 && session->tool_seen) {
    tool_closed_ = true;
    return false;
  }
  return true;
}
