// write_cost: what one write() to a pseudo-terminal costs the writer, by write size.
//
//   write_cost MIB
//
// The tool hands every byte to the port with a write() of its own. This measures the writer's
// CPU time per byte for one-byte writes and for writes of a whole 1,025-byte block, with a
// thread draining the other side, so that the tool's CPU and headroom figures can be traced
// to their cause.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 1025;

int64_t Ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Drain {
  int fd;
  std::atomic<uint64_t> got{0};
  std::atomic<bool> stop{false};
};

void* DrainThread(void* arg) {
  Drain* d = static_cast<Drain*>(arg);
  uint8_t buffer[8192];
  while (!d->stop.load()) {
    pollfd pfd{d->fd, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0) {
      continue;
    }
    const ssize_t n = read(d->fd, buffer, sizeof buffer);
    if (n > 0) {
      d->got += static_cast<uint64_t>(n);
    }
  }
  return nullptr;
}

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    return false;
  }
  cfmakeraw(&tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Writes total bytes in writes of size each; the writer's CPU and wall ns per byte.
void Measure(int slave, Drain* drain, size_t total, size_t size, double* cpu_ns, double* wall_ns) {
  std::vector<uint8_t> block(kBlock, 0x5A);
  const uint64_t before = drain->got.load();
  const int64_t wall0 = Ns(CLOCK_MONOTONIC);
  const int64_t cpu0 = Ns(CLOCK_THREAD_CPUTIME_ID);
  size_t sent = 0;
  while (sent < total) {
    const ssize_t n = write(slave, block.data(), size);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "write_cost: write: %s\n", std::strerror(errno));
      std::exit(1);
    }
  }
  const int64_t cpu1 = Ns(CLOCK_THREAD_CPUTIME_ID);
  while (drain->got.load() - before < sent) {
    usleep(100);
  }
  const int64_t wall1 = Ns(CLOCK_MONOTONIC);
  *cpu_ns = static_cast<double>(cpu1 - cpu0) / static_cast<double>(sent);
  *wall_ns = static_cast<double>(wall1 - wall0) / static_cast<double>(sent);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::atoi(argv[1]) < 1) {
    std::fprintf(stderr, "usage: write_cost MIB\n");
    return 2;
  }
  const size_t total = static_cast<size_t>(std::atoi(argv[1])) << 20;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    std::fprintf(stderr, "write_cost: cannot make a pseudo-terminal\n");
    return 1;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0 || !MakeRaw(slave) || !MakeRaw(master)) {
    std::fprintf(stderr, "write_cost: cannot make the pseudo-terminal raw\n");
    return 1;
  }
  Drain drain{master};
  pthread_t thread;
  pthread_create(&thread, nullptr, DrainThread, &drain);
  double cpu1 = 0;
  double wall1 = 0;
  double cpu_block = 0;
  double wall_block = 0;
  Measure(slave, &drain, total, 1, &cpu1, &wall1);
  Measure(slave, &drain, total, kBlock, &cpu_block, &wall_block);
  drain.stop = true;
  pthread_join(thread, nullptr);
  std::printf("  one byte per write():       writer CPU %6.0f ns per byte, %9.0f B/s through the pty\n", cpu1,
              1e9 / wall1);
  std::printf("  1,025 bytes per write():    writer CPU %6.1f ns per byte, %9.0f B/s through the pty\n", cpu_block,
              1e9 / wall_block);
  return 0;
}
