#!/usr/bin/env python3
"""Ctrl+C while the tool's main thread is blocked, for a ThreadSanitizer build of boxload.

    abort_while_blocked.py BOXLOAD PORT_DIR [SCENARIO...]

PORT_DIR is the directory of the build's port prefix (<PORT_DIR>/ttyS0 is com1). The box is
played here, on a pseudo-terminal, byte for byte, so the test can leave the tool blocked
exactly where it wants:

  probe-read  nobody answers: the main thread waits in a timed port read (identification)
  ready-read  the firmware stage succeeds, the ready signal never comes: a read without limit
  port-write  after the SDF header the line stops taking bytes (its output held off, as flow
              control would): the first block's write cannot end
  console     standard output is a pipe that nobody reads while the bootloader's text is
              printed: the main thread is stuck inside printf, holding standard output; the
              reader comes back 0.1 s after the signal
  console-stuck  as console, but the reader never comes back while the tool runs

Each run must end killed by SIGINT within the bound, print the abort line once and last
(console-stuck: cannot print it, but must still end by SIGINT, within a second), and leave no
ThreadSanitizer report (TSAN_OPTIONS=halt_on_error=1 exitcode=66 turns a report into exit
status 66).
"""
import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import zlib

ABORT_LINE = b"\nProcess aborted by user...\n"
PLATFORM = bytes([0xA5, 0x4B, 0x4D, 0x56, 0x37, 0x37, 0x32, 0x30, 0x50, 0x00, 0x01, 0x0A, 0x1F])
IMAGE_FRAMES = 12  # 12,084 bytes in 1,025-byte frames
F_SETPIPE_SZ = 1031
END_BOUND_S = 10  # generous: TSan slows the run down


def sdf_crc(data):
    # Register from 0, no final inversion; zlib's CRC-32 starts and ends inverted.
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def write_sdf(path, body):
    head = b"ABORTSDF" + struct.pack("<II", len(body), sdf_crc(body))
    with open(path, "wb") as f:
        f.write(head + struct.pack("<I", sdf_crc(head)) + body)


class Box:
    """The far end of the line: reads exactly what the tool sends, answers as a box would."""

    def __init__(self, master):
        self.master = master

    def read(self, count, timeout=30.0):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise RuntimeError(f"box: waited for {count} bytes, got {len(data)}")
            data += os.read(self.master, count - len(data))
        return data

    def send(self, data):
        os.write(self.master, data)

    def send_behind(self, data):
        """Sends from a thread of its own: the line may fill up while the tool is stuck."""
        threading.Thread(target=self.send, args=(data,), daemon=True).start()

    def firmware_stage(self):
        self.read(5)  # identification
        self.send(PLATFORM)
        self.read(5)  # reset request
        self.send(b"\x05\x08")
        self.read(1)  # go byte
        self.send(b"\x09")
        self.read(21)  # file header and end byte
        self.send(b"\x09")
        for _ in range(IMAGE_FRAMES):
            self.read(1025)
            self.send(b"\x09")
        self.read(5)  # identification after the image: the bootloader runs
        self.send(PLATFORM)


# Where the main thread must be when SIGINT comes: (system calls, which descriptor or None).
WAIT_IN = {
    "probe-read": ({7, 271}, None),  # poll / ppoll on the port
    "ready-read": ({7, 271}, None),
    "port-write": ({1}, "port"),  # write on the port
    "console": ({1}, 1),  # write on standard output
    "console-stuck": ({1}, 1),
}


def main_thread_call(pid):
    """The system call the main thread is blocked in, and its first argument."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
    except OSError:  # gone
        return None, None
    if not fields or not fields[0].isdigit():
        return None, None
    return int(fields[0]), int(fields[1], 16)


def run(boxload, port_dir, scenario, workdir):
    master, slave = pty.openpty()
    tty.setraw(master)
    link = os.path.join(port_dir, "ttyS0")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    sdf = os.path.join(workdir, "update.sdf")
    write_sdf(sdf, bytes(range(256)) * (1024 if scenario == "port-write" else 8))

    out_r, out_w = os.pipe()
    console = scenario.startswith("console")
    if console:
        # The smallest pipe: the tool's 4 KB buffer and one page fill it.
        fcntl.fcntl(out_w, F_SETPIPE_SZ, 4096)
    env = dict(os.environ)
    env.setdefault("TSAN_OPTIONS", "halt_on_error=1 exitcode=66")
    proc = subprocess.Popen([boxload, "1", sdf], stdin=subprocess.DEVNULL, stdout=out_w,
                            stderr=subprocess.PIPE, env=env, start_new_session=True)
    os.close(out_w)
    # Our slave stays open to the end: until the tool opens the port, the master would see a
    # hang-up without it.

    output = bytearray()
    reading = threading.Event()

    def collect():
        reading.wait()
        while True:
            chunk = os.read(out_r, 65536)
            if not chunk:
                return
            output.extend(chunk)

    collector = threading.Thread(target=collect, daemon=True)
    collector.start()
    if not console:
        reading.set()

    box = Box(master)
    try:
        if scenario == "probe-read":
            time.sleep(1.2)
        else:
            box.firmware_stage()
            if scenario == "ready-read":
                time.sleep(1.5)
            elif scenario == "port-write":
                # Ready and the header taken; then the line's output is held off. Verdicts sent
                # ahead of their blocks would fill the pty faster, but the tool takes a verdict
                # waiting before a block's checksum for what it is: out of step, and stops.
                box.send(b"SDF\x10")
                box.read(20)
                termios.tcflow(slave, termios.TCOOFF)
                box.send(b"\x06")
                time.sleep(3.0)
            elif console:
                box.send(b"SDF\x10")
                box.read(20)
                box.send_behind(b"\x02" + b"bootloader says hello. " * 2000 + b"\x00\x06")
                time.sleep(3.0)
    except RuntimeError as e:
        proc.kill()
        proc.wait()
        reading.set()
        return f"{e}; stderr: {proc.stderr.read().decode(errors='replace')[-2000:]}"

    if proc.poll() is not None:
        reading.set()
        return f"ended before the abort with status {proc.returncode}: {proc.stderr.read().decode(errors='replace')[-2000:]}"
    calls, where = WAIT_IN[scenario]

    def in_place(call, fd):
        return call in calls and (where != 1 or fd == 1) and (where != "port" or fd not in (0, 1, 2))

    # Between two waits the main thread passes through other calls for a moment: look again.
    deadline = time.monotonic() + 2.0
    call, fd = main_thread_call(proc.pid)
    while not in_place(call, fd) and time.monotonic() < deadline:
        time.sleep(0.01)
        call, fd = main_thread_call(proc.pid)
    if not in_place(call, fd):
        proc.kill()
        proc.wait()
        reading.set()
        return f"the main thread is in system call {call} on descriptor {fd}, not where the scenario needs it"
    signalled = time.monotonic()
    proc.send_signal(signal.SIGINT)
    if scenario == "console":
        time.sleep(0.1)  # the handler waits for standard output: a slow reader lets it through
        reading.set()
    bound = 1.0 if scenario == "console-stuck" else END_BOUND_S
    try:
        _, err = proc.communicate(timeout=bound)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        reading.set()
        return f"still running {bound} s after SIGINT"
    took = time.monotonic() - signalled
    reading.set()
    collector.join(timeout=5)
    os.close(out_r)
    os.close(master)
    os.close(slave)
    os.unlink(link)

    problems = []
    if proc.returncode != -signal.SIGINT:
        problems.append(f"exit status {proc.returncode}, not killed by SIGINT")
    if b"ThreadSanitizer" in err or b"Sanitizer" in err:
        problems.append("sanitizer report:\n" + err.decode(errors="replace")[-6000:])
    if took > bound:
        problems.append(f"ended {took:.1f} s after SIGINT")
    if scenario == "console-stuck":
        # Nothing more can be shown; what reached the pipe is the run's text up to there.
        if ABORT_LINE in output:
            problems.append("the abort line went through a pipe that nobody read")
    elif not output.endswith(ABORT_LINE):
        problems.append(f"the abort line is not last: ...{bytes(output[-200:])!r}")
    elif output.count(ABORT_LINE) != 1:
        problems.append(f"the abort line appears {output.count(ABORT_LINE)} times")
    if scenario != "probe-read" and b"Firmware update status: OK" not in output:
        problems.append(f"the firmware stage's line is lost: {bytes(output[:400])!r}")
    return "; ".join(problems)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    boxload, port_dir = sys.argv[1], sys.argv[2]
    scenarios = sys.argv[3:] or list(WAIT_IN)
    failed = 0
    with tempfile.TemporaryDirectory() as workdir:
        for scenario in scenarios:
            started = time.monotonic()
            problem = run(boxload, port_dir, scenario, workdir)
            took = time.monotonic() - started
            print(f"{scenario:11s} {'FAIL' if problem else 'ok'} ({took:.1f} s){': ' + problem if problem else ''}")
            failed += 1 if problem else 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
