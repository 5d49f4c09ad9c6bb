#!/usr/bin/env python3
"""The other end of a serial port for the Windows serial-layer test: a pseudo-terminal whose
slave is linked at LINK, answering one-byte commands from the program under test.

  t     one byte of line settings as this side sees them (bit set = as the program asked):
        0x01 115,200 baud, 0x02 8 data bits, 0x04 no parity, 0x08 one stop bit,
        0x10 no RTS/CTS flow control, 0x20 no XON/XOFF, 0x40 no input parity checking
  e X   echo X
  d     'D' after one second
  s     "0123456789" at once
  q     end

The slave starts in the kernel's default (cooked, 38,400 baud) mode, so every setting the
program makes is seen here as a change.
"""
import os
import pty
import sys
import termios
import time


def settings_byte(fd):
    iflag, _oflag, cflag, _lflag, ispeed, ospeed, _cc = termios.tcgetattr(fd)
    bits = 0
    if ispeed == termios.B115200 and ospeed == termios.B115200:
        bits |= 0x01
    if cflag & termios.CSIZE == termios.CS8:
        bits |= 0x02
    if not cflag & termios.PARENB:
        bits |= 0x04
    if not cflag & termios.CSTOPB:
        bits |= 0x08
    if not cflag & termios.CRTSCTS:
        bits |= 0x10
    if not iflag & (termios.IXON | termios.IXOFF):
        bits |= 0x20
    if not iflag & termios.INPCK:
        bits |= 0x40
    return bits


def main():
    link = sys.argv[1]
    master, slave = pty.openpty()
    # The master's own side raw, so that what it writes goes through unchanged.
    attrs = termios.tcgetattr(master)
    attrs[3] &= ~(termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN)
    attrs[1] &= ~termios.OPOST
    termios.tcsetattr(master, termios.TCSANOW, attrs)
    try:
        os.unlink(link)
    except FileNotFoundError:
        pass
    os.symlink(os.ttyname(slave), link)
    print("pty_peer: ready on", link, file=sys.stderr, flush=True)
    while True:
        try:
            command = os.read(master, 1)
        except OSError:
            break
        if not command or command == b"q":
            break
        if command == b"t":
            os.write(master, bytes([settings_byte(slave)]))
        elif command == b"e":
            os.write(master, os.read(master, 1))
        elif command == b"d":
            time.sleep(1.0)
            os.write(master, b"D")
        elif command == b"s":
            os.write(master, b"0123456789")
    os.unlink(link)


if __name__ == "__main__":
    main()
