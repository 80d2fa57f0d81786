"""Bytes through the demo device's programs: every byte, in order, whatever
bytes-like object carries it, and from several threads at once."""
import array
import threading
import zlib

import pytest
from streams import CHUNK, echo_round_trip, payload, read_exactly

import zorbel


def test_echo_sends_megabytes_back_byte_for_byte_while_a_thread_writes(demo):
    data = payload(3 << 20, seed=1)
    errors = []
    with zorbel.connect(1) as device, device.pipe(1, "echo") as pipe:
        assert pipe.number == 1 and pipe.name == "echo"

        def write_all():
            try:
                for start in range(0, len(data), CHUNK):
                    pipe.write(data[start : start + CHUNK])
                pipe.flush()
            except Exception as e:  # reported by the main thread
                errors.append(e)

        writer = threading.Thread(target=write_all)
        writer.start()
        back = read_exactly(pipe, len(data))
        writer.join()
    assert not errors
    assert back == data


@pytest.mark.parametrize(
    "wrap",
    [bytes, bytearray, memoryview, lambda b: array.array("B", b), lambda b: memoryview(bytearray(b))[::1]],
    ids=["bytes", "bytearray", "memoryview", "array", "memoryview-slice"],
)
def test_every_bytes_like_object_is_written_as_its_bytes(demo, wrap):
    data = payload(5000, seed=2)
    with zorbel.connect(1) as device, device.pipe(1) as pipe:
        assert echo_round_trip(pipe, wrap(data)) == data


def test_what_is_not_contiguous_bytes_is_refused_before_anything_is_sent(demo):
    with zorbel.connect(1) as device, device.pipe(1) as pipe:
        with pytest.raises(TypeError):
            pipe.write("text is not bytes")
        with pytest.raises(BufferError):
            pipe.write(memoryview(b"abcdef")[::2])
        with pytest.raises((TypeError, BufferError)):
            pipe.readinto(b"read-only")
        assert pipe.read(0) == b""
        # The refused calls left the stream as it was.
        assert echo_round_trip(pipe, b"still in step") == b"still in step"


def test_the_sink_counts_and_checksums_what_it_was_sent(demo):
    data = payload(1 << 20, seed=3)
    with zorbel.connect("ZB0000000002") as device, device.pipe(2) as pipe:
        assert pipe.write(data) == len(data)
        pipe.flush()
    assert demo.sink.wait_for(len(data), timeout=20)
    assert demo.sink.bytes == len(data)
    assert demo.sink.crc32 == zlib.crc32(data)


def test_the_source_sends_its_pattern(demo):
    size = 300_000
    with zorbel.connect(1) as device, device.pipe(3) as pipe:
        assert read_exactly(pipe, size) == zorbel.source_bytes(0, size)
    assert zorbel.source_bytes(1020, 8) == bytes((k + 7 * (k >> 9)) & 0xFF for k in range(1020, 1028))


def test_two_threads_use_two_pipes_at_once(demo):
    echo_data = payload(1 << 20, seed=4)
    results = {}

    def run(name, work):
        try:
            results[name] = work()
        except Exception as e:  # checked below
            results[name] = e

    with zorbel.connect(1) as device, device.pipe(1) as echo, device.pipe(3) as source:
        threads = [
            threading.Thread(target=run, args=("echo", lambda: echo_round_trip(echo, echo_data))),
            threading.Thread(target=run, args=("source", lambda: read_exactly(source, 1 << 20))),
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert results["echo"] == echo_data
    assert results["source"] == zorbel.source_bytes(0, 1 << 20)


def test_a_second_reader_of_one_pipe_is_refused_while_the_first_waits(demo):
    with zorbel.connect(1) as device, device.pipe(5) as silent:
        started = threading.Event()
        outcome = []

        def wait_long():
            started.set()
            while True:
                try:
                    silent.read(1)
                except RuntimeError:
                    continue  # the main thread's read had the pipe; try again
                except (zorbel.Error, ValueError) as e:  # closed under it, or before it began
                    outcome.append(e)
                    return

        reader = threading.Thread(target=wait_long)
        reader.start()
        started.wait()
        # The first reader holds the pipe's reading side from its first slice
        # on; until it is seen there, a second read may still get in and time out.
        refused = None
        for _ in range(200):
            try:
                silent.read(1, timeout=0.01)
            except RuntimeError as e:
                refused = e
                break
            except zorbel.TimedOutError:
                pass
        silent.close()  # ends the first reader
        reader.join()
    assert refused is not None and "another thread is reading" in str(refused)
    assert len(outcome) == 1


@pytest.fixture
def counted_source(bus):
    """The one device's pipe 4, which sends 3000 bytes of the source pattern,
    then idles (the stream does not end)."""
    bus.add_device(bus.add_controller(), 1).bind(4, zorbel.source_program(3000))
    with zorbel.connect("ZB0000000001") as connection, connection.pipe(4) as pipe:
        yield pipe


def test_a_pipe_reads_as_a_binary_file(counted_source):
    pipe = counted_source
    assert pipe.readable() and pipe.writable() and not pipe.closed
    first = next(iter(pipe))  # a chunk as it arrives
    assert 0 < len(first) < 3000
    # Reading to the end with a time-out: the time-out ends it, and what it
    # gathered comes first from the next reads.
    for read_to_end in (pipe.read, lambda **kw: pipe.read(-1, **kw), lambda **kw: pipe.read(None, **kw)):
        with pytest.raises(zorbel.TimedOutError):
            read_to_end(timeout=0.2)
    into = array.array("i", bytes(400))  # any writable buffer, of items of any size
    assert pipe.readinto(into) == 400
    rest = read_exactly(pipe, 3000 - len(first) - 400)
    assert first + into.tobytes() + rest == zorbel.source_bytes(0, 3000)
    pipe.close()
    assert pipe.closed
    with pytest.raises(ValueError):
        pipe.readable()
