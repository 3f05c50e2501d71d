#!/usr/bin/env python3
"""A peer that knows the wire format but not the library: talks raw TCP to a
running echo server and checks how the server cuts, echoes and rejects
frames. Exits 0 when every check passed, else prints one line saying what
failed and exits 1."""
import argparse
import socket
import struct
import sys

LARGEST_PAYLOAD = 40955


class Failure(Exception):
    pass


def frame(payload):
    return struct.pack('<I', len(payload) + 4) + payload


def pattern(seed, size):
    return bytes((seed * 131 + i * 31) & 0xFF for i in range(size))


def connect(port):
    s = socket.create_connection(('127.0.0.1', port), timeout=10.0)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # small writes stay apart
    return s


def recv_exactly(s, n, what):
    data = b''
    while len(data) < n:
        try:
            chunk = s.recv(n - len(data))
        except socket.timeout:
            chunk = None
        if not chunk:
            raise Failure('%s: %s after %d of %d bytes' % (what, 'closed' if chunk == b'' else 'no answer', len(data), n))
        data += chunk
    return data


def expect_echo(s, payload, what):
    (length,) = struct.unpack('<I', recv_exactly(s, 4, what))
    if length != len(payload) + 4:
        raise Failure('%s: echo announces %d bytes, expected %d' % (what, length, len(payload) + 4))
    if recv_exactly(s, length - 4, what) != payload:
        raise Failure('%s: echo differs from what was sent' % what)


def check_frames_split_byte_by_byte(port):
    with connect(port) as s:
        for seed, size in ((1, 300), (2, 0), (3, 5)):
            payload = pattern(seed, size)
            for byte in frame(payload):
                s.sendall(bytes([byte]))
            expect_echo(s, payload, '%d-byte payload sent byte by byte' % size)


def check_many_frames_in_one_write(port):
    payloads = [pattern(i, (i * 97) % 700) for i in range(40)]
    with connect(port) as s:
        s.sendall(b''.join(frame(p) for p in payloads))
        for i, p in enumerate(payloads):
            expect_echo(s, p, 'frame %d of 40 sent in one write' % i)


def check_empty_and_largest_payloads(port):
    with connect(port) as s:
        for what, payload in (('empty payload', b''), ('largest payload', pattern(7, LARGEST_PAYLOAD))):
            s.sendall(frame(payload))
            expect_echo(s, payload, what)


def check_header_below_four_closes(port):
    with connect(port) as s:
        s.sendall(struct.pack('<I', 2))
        try:
            if s.recv(1):
                raise Failure('header 2: the server answered instead of closing')
        except ConnectionResetError:
            pass
        except socket.timeout:
            raise Failure('header 2: the server kept the connection open')


def check_peer_leaving_mid_frame(port):
    with connect(port) as s:
        s.sendall(frame(pattern(4, 100))[:50])
    with connect(port) as fresh:
        payload = pattern(5, 64)
        fresh.sendall(frame(payload))
        expect_echo(fresh, payload, 'new connection after a peer left mid-frame')


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--port', type=int, required=True, help='port of the echo server on 127.0.0.1')
    port = parser.parse_args().port
    for check in (check_frames_split_byte_by_byte, check_many_frames_in_one_write, check_empty_and_largest_payloads,
                  check_header_below_four_closes, check_peer_leaving_mid_frame):
        try:
            check(port)
        except (Failure, OSError) as e:
            print('%s: %s' % (check.__name__, e))
            return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
