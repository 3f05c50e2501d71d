#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpora (tests/fuzz/corpus/NAME/
seed-*). The files are committed; this script says how each was made, and
run again it writes the same bytes. Inputs the fuzzers found are kept beside
the seeds under other names (libFuzzer's hashes, or regress-* for those that
found a fault) and are not touched here.

The input formats are described at the top of each fuzz_NAME.cpp."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def pattern(i, n):
    return bytes((i * 31 + k * 7 + k // 251) & 0xFF for k in range(n))


def frame(payload):
    return struct.pack("<I", len(payload) + 4) + payload


def header(length):
    return struct.pack("<I", length & 0xFFFFFFFF)


# ------------------------------------------------------------ sendqueue

SQ_OPS = {"A": 0, "S": 1, "B": 2, "C": 3, "G": 4, "W": 5, "T": 6, "X": 7}


def queue_script(steps):
    """steps: "A30000", "C20000", "S12:5000" (split at 12/31), ...; letters
    as SQ_OPS above."""
    out = []
    for s in steps:
        op = SQ_OPS[s[0]]
        arg = s[1:] or "0"
        if ":" in arg:
            high, arg = arg.split(":")
            op |= int(high) << 3
        out += [op] + list(struct.pack("<H", int(arg) & 0xFFFF))
    return bytes(out)


def sendqueue_seeds():
    block = 65536 - 64  # about what one block holds
    write("sendqueue", "fill-one-block", queue_script(["A%d" % block, "G1", "A200", "G19", "W%d" % block, "G3"]))
    write("sendqueue", "frame-straddles-blocks", queue_script(["A65000", "S16:40959", "G2", "W65000", "G1", "C40959"]))
    write("sendqueue", "burst-of-blocks", queue_script(["B8191", "G16", "W65535", "W65535", "G19", "T"]))
    write("sendqueue", "short-writes", queue_script(["A40959"] * 6 + ["W1", "W65535", "W3", "G0", "C100000"] * 3))
    write("sendqueue", "close-with-bytes-waiting", queue_script(["A4", "A40955", "C2", "T", "A1", "X", "A0", "G4"]))
    write("sendqueue", "empty-queue", queue_script(["G5", "C10", "W0", "T", "X", "A0", "G1"]))
    # Random walks: frames of every size, sends that take part of what is
    # offered, and the occasional close.
    for seed, steps in ((7, 400), (20240611, 2000)):
        rng = random.Random(seed)
        script = []
        for _ in range(steps):
            kind = rng.randrange(10)
            if kind < 4:
                script.append("A%d" % rng.randrange(40960))
            elif kind == 4:
                script.append("S%d:%d" % (rng.randrange(32), rng.randrange(40960)))
            elif kind == 5:
                script.append("B%d" % rng.randrange(8192))
            elif kind < 8:
                script.append("W%d" % rng.randrange(70000))
            elif kind == 8:
                script.append("G%d" % rng.randrange(20))
            else:
                script.append(rng.choice(["C%d" % rng.randrange(65536), "T", "X"]))
        write("sendqueue", "random-%d" % seed, queue_script(script))


# ------------------------------------------------------------ frames_in

def frames_in(cuts=(), stream=b"", peer_ends=False, close_at=None, reset=False):
    assert len(cuts) < 32
    flags = len(cuts) | (0x80 if peer_ends or reset else 0) | (0x40 if close_at is not None else 0)
    flags |= 0x20 if reset else 0
    out = bytes([flags])
    if close_at is not None:
        out += bytes([close_at])
    for c in cuts:
        out += struct.pack("<H", c)
    return out + stream


def frames_in_seeds():
    ok = frame(b"ok")
    for bad in (0, 1, 2, 3, 40961, 50000, 0x7FFFFFFF, 0xFFFFFFFF):
        write("frames_in", "bad-header-%d" % bad, frames_in(stream=ok + header(bad) + frame(b"after")))
        # The bad header byte by byte: the end comes with its fourth byte.
        write("frames_in", "bad-header-%d-bytewise" % bad,
              frames_in(cuts=(6, 1, 1, 1, 1), stream=ok + header(bad) + frame(b"after")))
    write("frames_in", "header-bytewise", frames_in(cuts=(1, 1, 1, 1, 0, 1, 1, 1), stream=frame(pattern(3, 21)) +
                                                      frame(b"next")))
    write("frames_in", "empty-payloads", frames_in(stream=frame(b"") * 5 + frame(b"x") + frame(b"")))
    write("frames_in", "several-in-one-read", frames_in(stream=frame(pattern(1, 5)) + frame(b"") +
                                                          frame(pattern(2, 3000))))
    # The largest frame (40960 bytes, header included), alone and split.
    largest = frame(pattern(9, 40956))
    write("frames_in", "largest-frame", frames_in(stream=largest + frame(b"z")))
    write("frames_in", "largest-frame-split", frames_in(cuts=(3, 20000, 1), stream=largest + frame(b"z")))
    write("frames_in", "one-past-largest", frames_in(stream=header(40961) + pattern(9, 100)))
    # 40958 bytes leave two of the queue's 40960 for the next header.
    write("frames_in", "two-bytes-left", frames_in(stream=frame(pattern(4, 40954)) + frame(pattern(5, 96))))
    # A 30000-byte frame starts at 25000 with its first 1000 bytes: behind
    # them is less room than in front, and neither alone is enough.
    wire = frame(pattern(6, 24996)) + frame(pattern(7, 29996))
    write("frames_in", "frame-wraps-round", frames_in(cuts=(26000,), stream=wire))
    # Frames of many sizes: the queue fills, wraps, and has frames and
    # headers straddle its end.
    sizes = [6997, 0, 1, 13, 7001, 25000, 2, 3, 9999, 33333]
    wire = b"".join(frame(pattern(i, s)) for i, s in enumerate(sizes))
    write("frames_in", "many-sizes", frames_in(cuts=(10000, 7, 30000, 3, 3), stream=wire))
    # The peer ends its stream: after whole frames, and inside one.
    write("frames_in", "peer-ends", frames_in(stream=frame(b"last"), peer_ends=True))
    write("frames_in", "peer-ends-mid-frame", frames_in(stream=frame(b"last") + frame(b"cut")[:5], peer_ends=True))
    write("frames_in", "peer-resets", frames_in(stream=frame(b"last") + frame(b"cut")[:5], reset=True))
    write("frames_in", "peer-ends-mid-header", frames_in(stream=frame(b"last") + b"\x09\x00", peer_ends=True))
    # The sink closes from inside OnPacket: frames of the same read that
    # follow are not delivered.
    write("frames_in", "close-in-packet", frames_in(stream=frame(b"a") + frame(b"b") + frame(b"c"), close_at=1))
    write("frames_in", "close-then-bad-header", frames_in(stream=frame(b"a") + header(2), close_at=0))
    write("frames_in", "read-with-nothing", frames_in(cuts=(0, 0, 7, 0), stream=frame(b"abc")))


# ------------------------------------------------------------ frames_out

def send(length):
    return bytes([1]) + struct.pack("<H", length)


def send_edge(index):
    return bytes([2, index])


def many(times, length):
    return bytes([7, times - 1]) + struct.pack("<H", length)


def read(limit):
    return bytes([6]) + struct.pack("<H", limit)


WRITE, UNASKED = bytes([4]), bytes([5])


def frames_out_seeds():
    write("frames_out", "small-frames", bytes([0]) + bytes([0, 5, 0, 0, 0, 255]) + WRITE + read(0))
    # 40955 goes out, 40956 is refused; 40954 too; and the other edges:
    # 0, -1, the most negative int, 1 MiB, INT_MAX, 40960.
    write("frames_out", "largest-and-edges", bytes([0]) + send_edge(1) + send_edge(2) + WRITE + read(0) +
          send_edge(0) + send_edge(3) + send_edge(4) + send_edge(5) + send_edge(6) + send_edge(7) +
          send_edge(8) + UNASKED + read(0))
    write("frames_out", "null-payloads", bytes([0]) + bytes([3, 0, 3, 1, 3, 200]) + send(3) + WRITE)
    # More than the 40960-byte queue holds: frames wait behind it and go
    # out in order as the peer reads.
    write("frames_out", "overflow-drain", bytes([1]) + many(5, 10000) + WRITE + read(3000) + WRITE + read(20000) +
          many(3, 9000) + UNASKED + read(0) + WRITE)
    write("frames_out", "overflow-largest", bytes([0]) + send_edge(1) + send_edge(1) + send(7) + UNASKED +
          read(100) + WRITE + read(0))
    # Past the 64 KiB send limit: the connection ends.
    write("frames_out", "past-the-limit", bytes([1]) + many(7, 10000) + send(3))
    write("frames_out", "limit-after-drain", bytes([1]) + many(6, 10000) + WRITE + read(30000) + many(4, 10000))
    # The peer goes away: with bytes queued (the next write fails), and idle
    # (the worker reads the hang-up).
    write("frames_out", "peer-goes", bytes([1]) + many(8, 5000) + WRITE + read(7) + bytes([0x86]) + send(5) + WRITE)
    write("frames_out", "peer-goes-idle", bytes([0]) + send(3) + WRITE + read(0) + bytes([0x86]))
    # Small socket buffers and reads of odd sizes: the send queue wraps.
    script = bytes([1])
    for i in range(40):
        script += send((i * 977) % 2900) + send(i * 131 % 400)
        if i % 3 == 0:
            script += WRITE + read(2999)
        if i % 7 == 0:
            script += UNASKED
    write("frames_out", "queue-wraps", script)


# ---------------------------------------------------------- qvcat_input

def qvcat_seeds():
    def arguments(name, args):
        write("qvcat_input", "args-" + name, b"\x00" + b"\x00".join(a.encode() for a in args))

    arguments("connect", ["connect", "127.0.0.1", "7000"])
    arguments("listen-all", ["--hex", "--echo", "--traces", "--file", "f.bin", "--bind=0.0.0.0", "--count", "3",
                             "listen", "65535"])
    arguments("connect-wait", ["--wait=0", "--count=999999999", "connect", "localhost", "1"])
    arguments("help-first", ["--help", "--bogus"])
    arguments("help-short", ["-h"])
    arguments("help-after-error", ["--bogus", "--help"])
    arguments("file-takes-next", ["--file", "--help", "connect", "-", "2"])
    bad = [[], ["connect", "127.0.0.1"], ["connect", "127.0.0.1", "http"], ["listen", "70000"], ["listen", "0"],
           ["listen", "7000", "extra"], ["--count", "0", "connect", "127.0.0.1", "7000"], ["--count"],
           ["--wait", "soon", "listen", "7000"], ["--bogus", "listen", "7000"], ["--hex=yes", "listen", "7000"],
           ["serve", "7000"], ["--bind", "127.0.0.1", "connect", "127.0.0.1", "7000"],
           ["--wait", "3", "listen", "7000"], ["connect", "", "7000"], ["listen", "0000000001"],
           ["--count=1234567890", "listen", "1"], ["--wait=86401", "connect", "h", "1"], ["-", "listen", "1"]]
    for i, args in enumerate(bad):
        arguments("bad-%d" % i, args)

    def lines(name, text):
        write("qvcat_input", "lines-" + name, b"\x01" + text)

    lines("plain", b"hello\nworld\n")
    lines("crlf-and-lone-cr", b"a\r\nb\r\r\n\r\nc\rd\n\n\nlast")
    lines("largest", b"x" * 40955 + b"\r\n" + b"y")
    lines("one-over", b"ok\n" + b"z" * 40956 + b"\nnever")
    lines("one-over-with-cr", b"z" * 40955 + b"\r\r\n")

    def forms(name, payload):
        write("qvcat_input", "forms-" + name, b"\x02" + payload)

    forms("text", b"hello")
    forms("empty", b"")
    forms("escapes", bytes(range(0, 0x20)) + b"\\\x7f\x80\xff abc")
    forms("seventeen", bytes(range(0x60, 0x71)))


def main():
    sendqueue_seeds()
    frames_in_seeds()
    frames_out_seeds()
    qvcat_seeds()


if __name__ == "__main__":
    main()
