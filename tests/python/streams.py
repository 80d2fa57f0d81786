"""Helpers the tests share for moving bytes through pipes."""
import random

CHUNK = 64 * 1024


def payload(size, seed):
    return random.Random(seed).randbytes(size)


def read_exactly(pipe, size):
    """Reads until `size` bytes have come; fails on an early end of stream."""
    parts, have = [], 0
    while have < size:
        part = pipe.read(size - have, timeout=20)
        assert part, "the stream ended early"
        parts.append(part)
        have += len(part)
    return b"".join(parts)


def echo_round_trip(pipe, data):
    """Writes `data` in chunks and reads each chunk's echo before the next (the
    echo holds up to 64 KiB the host has not read)."""
    back = bytearray(len(data))
    view = memoryview(back)
    for start in range(0, len(data), CHUNK):
        end = min(start + CHUNK, len(data))
        assert pipe.write(memoryview(data)[start:end]) == end - start
        pipe.flush()
        got = start
        while got < end:
            n = pipe.readinto(view[got:end], timeout=20)
            assert n > 0, "the echo ended the stream"
            got += n
    return bytes(back)
