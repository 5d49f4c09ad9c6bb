#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Each seed is a well-formed exchange or a known awkward one, laid out as the target's header
comment describes, so that the fuzzer starts from the paths that matter instead of finding
them byte by byte. Run it again after changing an input layout.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
NO_LATE = [0xFF, 0x00]  # late index past any seed, no delay

PLATFORM = bytes([0xA5] + list(range(0x30, 0x3C)))


def text(message):
    return b"\x02" + message + b"\x00"


def sdf_crc(data):
    # The box's CRC-32: register from 0, no final inversion. zlib's starts and ends inverted.
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def sdf_file(body, data_length=None):
    head = b"BOXLOAD\x00" + struct.pack("<II", len(body) if data_length is None else data_length, sdf_crc(body))
    return head + struct.pack("<I", sdf_crc(head)) + body


def delayed(*chunks):
    """A line from chunks of bytes, or (delay in 10 ms, bytes) for a chunk that comes that much
    after the byte before it: [delay count] [(index, 2 bytes) (delay)] ... and the bytes."""
    line, delays = b"", []
    for chunk in chunks:
        if isinstance(chunk, tuple):
            delays.append(struct.pack(">HB", len(line), chunk[0]))
            chunk = chunk[1]
        line += chunk
    return bytes([len(delays)]) + b"".join(delays), line


def stage(flags, chunks, body, slack=0):
    delays, line = delayed(*chunks)
    return bytes([flags, slack]) + struct.pack(">H", len(line)) + delays + line + bytes(20) + body


def verdicts(opening, *chunks):
    delays, line = delayed(*chunks)
    return bytes(opening) + delays + line


# A block's verdict comes after its checksum: 10 ms after the byte before it.
LATER = 1


SEEDS = {
    "probe_reply": {
        # flags, late index, late delay, stale count, [stale bytes], answer
        "answer": bytes([0x00] + NO_LATE + [0]) + PLATFORM,
        "noise_then_answer": bytes([0x00] + NO_LATE + [0]) + b"\x33\x08" + PLATFORM,
        "repair_05": bytes([0x00] + NO_LATE + [0]) + b"\x05\x08",
        "repair_0e": bytes([0x00] + NO_LATE + [0]) + b"\x0e\x08",
        "not_repair_late_05": bytes([0x00] + NO_LATE + [0]) + b"\x33\x05\x08",
        "short_answer": bytes([0x00] + NO_LATE + [0]) + PLATFORM[:6],
        "late_answer": bytes([0x00, 0x03, 200, 0]) + PLATFORM,
        "hang_up": bytes([0x01] + NO_LATE + [0]) + PLATFORM[:3],
        "stale_answer_purged": bytes([0x02] + NO_LATE + [13]) + PLATFORM + b"\x05\x08",
    },
    "reset_exchange": {
        "normal": bytes([0x00] + NO_LATE) + b"\x05\x08\x09",
        "only_08": bytes([0x00] + NO_LATE) + b"\x08\x09",
        "bad_go_answer": bytes([0x00] + NO_LATE) + b"\x12\x34\x08\x41",
        "no_08": bytes([0x00] + NO_LATE) + b"\x12\x34",
        "repair": bytes([0x01] + NO_LATE) + b"\x09",
        "repair_bad_go": bytes([0x01] + NO_LATE) + b"\x05",
        "late_go_answer": bytes([0x00, 0x01, 130]) + b"\x08\x09",
        "hang_up": bytes([0x02] + NO_LATE) + b"\x01",
    },
    "frame_ack": {
        # flags, late index, late delay, failing write, answer count, answers, image
        "two_frames": bytes([0x00] + NO_LATE + [0x00, 2, 0x09, 0x0A]) + bytes(range(256)) * 5,
        "header_and_frame": bytes([0x08] + NO_LATE + [0x00, 2, 0x09, 0x09]) + bytes(range(200)),
        "bad_answers": bytes([0x00] + NO_LATE + [0x00, 2, 0x41, 0x15]) + bytes(1500),
        "silent_box": bytes([0x08] + NO_LATE + [0x00, 0]) + bytes(300),
        "write_fails": bytes([0x02] + NO_LATE + [40, 1, 0x09]) + bytes(2100),
        "write_fails_silently": bytes([0x0E] + NO_LATE + [0, 1, 0x09]) + bytes(100),
        "late_answer": bytes([0x01, 0x00, 200, 0x00, 2, 0x09, 0x09]) + bytes(2048),
    },
    "ready_matcher": {
        "clean": bytes([0x00] + NO_LATE) + b"SDF\x10",
        "after_noise": bytes([0x00] + NO_LATE) + b"boot...\r\nSDF\x10",
        "overlap_not_found": bytes([0x00] + NO_LATE) + b"SDSDF\x10",
        "double_s": bytes([0x00] + NO_LATE) + b"SSDF\x10SDF\x10",
        "line_feed_not_dle": bytes([0x01] + NO_LATE) + b"SDF\n",
        "late": bytes([0x00, 0x02, 255]) + b"SDF\x10",
    },
    "verdict_reader": {
        # flags, failing write, tries, count (2 bytes), seed, delays, bytes from the bootloader
        "ack": verdicts([0x00, 0, 0, 0, 0, 0], b"\x06"),
        "text_then_ack": verdicts([0x00, 0, 0, 0, 0, 0], text(b"Erasing\r\n") + text(b"ok ") + b"\x06"),
        "unknown": verdicts([0x00, 0, 0, 0, 0, 0], b"\x41\x06"),
        "refused": verdicts([0x01, 0, 0, 0, 0, 0], b"\x15"),
        "block_refused_twice": verdicts([0x02, 0, 4, 0x04, 0x01, 9], (LATER, b"\x15"), (LATER, b"\x15"),
                                        (LATER, b"\x06")),
        "short_block": verdicts([0x02, 0, 2, 0x01, 0x2D, 3], (LATER, text(b"crc?") + b"\x06")),
        "block_dead_port": verdicts([0x03, 0, 4, 0x02, 0x00, 1], (LATER, b"\x15")),
        "block_write_fails": verdicts([0x06, 70, 4, 0x04, 0x01, 5], (LATER, b"\x15"), (LATER, b"\x15")),
        "no_tries": verdicts([0x02, 0, 0, 0x04, 0x01, 5], b"\x06"),
        "block_verdict_already_there": verdicts([0x02, 0, 3, 0x04, 0x01, 5], b"\x06"),
        "block_noise_already_there": verdicts([0x02, 0, 3, 0x04, 0x01, 5], b"\x41", (LATER, b"\x06")),
        "block_stray_in_window": verdicts([0x02, 0, 3, 0x04, 0x01, 5], (LATER, b"\x41"), (40, b"\x06")),
        "block_verdict_at_window_end": verdicts([0x02, 0, 3, 0x04, 0x01, 5], (LATER, b"\x41"), (50, b"\x41\x06")),
        "block_stray_past_window": verdicts([0x02, 0, 3, 0x04, 0x01, 5], (LATER, b"\x41"), (60, b"\x06")),
        # A refusal is heard out before the block goes again; a 06 while it is, is the box's own.
        "block_refusal_heard_out": verdicts([0x02, 0, 3, 0x04, 0x01, 5], (LATER, b"\x15"), (60, b"\x06")),
        "block_noise_refusal": verdicts([0x02, 0, 3, 0x04, 0x01, 5], (LATER, b"\x15"), (10, b"\x06")),
        "header_ready_ack": verdicts([0x10, 0, 0, 0, 0, 7], b"boot SDF\x10" + text(b"header ok\r\n") + b"\x06"),
        "header_refused": verdicts([0x10, 0, 0, 0, 0, 7], b"SDF\x10\x15"),
        "header_odd_byte": verdicts([0x10, 0, 0, 0, 0, 7], b"SDF\x10\x41\x06"),
        "header_never_ready": verdicts([0x11, 0, 0, 0, 0, 7], b"SDSDF\x10"),
        "header_dead_port": verdicts([0x14, 0, 0, 0, 0, 7], b"SDF\x10\x06"),
    },
    "software_stage": {
        # flags, slack, line length (2 bytes), delays, line, file (fix-ups make the check pass)
        "two_blocks_and_a_half": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), (LATER, b"\x06"), (LATER, b"\x06"),
                                              b"\x06\x06"], bytes(range(256)) * 10),
        "refusals_and_texts": stage(0x0E, [b"xxSDF\x10" + text(b"hdr") + b"\x06", (LATER, b"\x15"), (LATER, b"\x06"),
                                           text(b"end") + b"\x06\x06"], bytes(100)),
        "empty_body": stage(0x0E, [b"SDF\x10\x06\x06\x06"], b""),
        "trailing_bytes": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), (LATER, b"\x06"), b"\x06\x06"], bytes(1030),
                                slack=5),
        "three_refusals": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x15"), (LATER, b"\x15"), (LATER, b"\x15")], bytes(10)),
        "hang_up_in_text": stage(0x0F, [b"SDF\x10\x06", (LATER, b"\x02abc")], bytes(10)),
        "bad_check": stage(0x00, [b"SDF\x10\x06"], b"x" * 40),
        # A 06 of noise behind block 0's verdict is waiting when block 1 is about to go.
        "extra_verdict_before_block": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06\x06"), (LATER, b"\x06\x06\x06")],
                                            bytes(2048)),
        # One verdict too many, 50 ms after the final one.
        "verdict_after_final": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x06", (5, b"\x15")], bytes(10)),
        # ... and one 240 ms after it: still within the shortest watch.
        "verdict_late_after_final": stage(0x0F, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x06", (24, b"\x06")],
                                          bytes(10)),
        # Noise and a verdict that both arrive as the watch ends: the verdict is still read.
        "verdict_at_watch_end": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x06", (25, b"\x41\x06")],
                                      bytes(10)),
        "startup_text_after_final": stage(0x0F, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x06", (5, b"boot\r\n")],
                                          bytes(10)),
        "verdict_long_after_final": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x06", (255, b"\x06")],
                                          bytes(10)),
        "odd_byte_for_header": stage(0x0E, [b"SDF\x10\x41\x06", (LATER, b"\x06"), b"\x06\x06"], bytes(10)),
        "odd_byte_after_last_block": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x41\x06\x06"], bytes(10)),
        "odd_byte_for_final": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x06"), b"\x06\x41\x06"], bytes(10)),
        "stray_before_block_verdict": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x41"), (10, b"\x06"), b"\x06\x06"],
                                            bytes(10)),
        # A refusal heard out, then a verdict 4 s after the final one: within the long watch.
        "refusal_then_late_verdict": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x15"), (60, b"\x06"), b"\x06\x06",
                                                  (200, b"boot\r\n"), (200, b"\x06")], bytes(10)),
        # A 15 of noise ahead of a slow box's 06.
        "noise_refusal_before_slow_ack": stage(0x0E, [b"SDF\x10\x06", (LATER, b"\x15"), (10, b"\x06"), b"\x06\x06"],
                                               bytes(10)),
        # A box that takes 700 ms over the header paces block 0's window past 500 ms.
        "slow_header_paces_block_0": stage(0x0E, [b"SDF\x10", (70, b"\x06"), (LATER, b"\x41"), (100, b"\x06"),
                                                  b"\x06\x06"], bytes(10)),
    },
    "sdf_check": {
        # flags, start position, slack, file
        "good": bytes([0x00, 0, 0]) + sdf_file(bytes(range(256)) * 6),
        "good_empty_body": bytes([0x00, 7, 0]) + sdf_file(b""),
        "trailing_bytes": bytes([0x00, 0, 0]) + sdf_file(b"abcdef", data_length=4),
        "too_long": bytes([0x00, 0, 0]) + sdf_file(b"abcdef", data_length=0xFFFFFFFF),
        "bad_header_crc": bytes([0x00, 0, 0]) + sdf_file(b"abc")[:16] + b"\x00\x00\x00\x00abc",
        "bad_data_crc": bytes([0x00, 0, 0]) + sdf_file(b"abc")[:20] + b"abd",
        "fix_everything": bytes([0x07, 30, 2]) + bytes(60),
        "nineteen_bytes": bytes([0x00, 0, 0]) + bytes(19),
    },
}

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
