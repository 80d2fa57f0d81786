"""Ctrl-C ends every call that blocks, and leaves the stream usable."""
import _thread
import contextlib
import signal
import threading

import pytest
from streams import echo_round_trip

import zorbel


@contextlib.contextmanager
def ctrl_c_once_blocked(blocking):
    """SIGINT for the main thread, as a person pressing Ctrl-C, a moment after
    the event `blocking` says the call is about to block (so it cannot land
    before, wherever a slow machine holds the main thread up). Python's own
    handler is put in place first: a process started with SIGINT ignored (as
    in the background of a shell) would otherwise not notice."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    done = threading.Event()

    def press():
        if blocking.wait(timeout=60) and not done.wait(0.1):
            _thread.interrupt_main(signal.SIGINT)

    presser = threading.Thread(target=press)
    presser.start()
    try:
        yield
    finally:
        done.set()
        presser.join()
        signal.signal(signal.SIGINT, previous)


def read_silent(demo, connection, blocking):
    silent = connection.pipe(5)
    blocking.set()
    silent.read(1)


def readinto_silent(demo, connection, blocking):
    silent = connection.pipe(5)
    blocking.set()
    silent.readinto(bytearray(10))


def write_unanswered(demo, connection, blocking):
    nobody = connection.pipe(7)
    blocking.set()
    nobody.write(bytes(100_000))  # the device never asks for the second block


def flush_unanswered(demo, connection, blocking):
    nobody = connection.pipe(7)
    nobody.write(b"x")
    blocking.set()
    nobody.flush()


def wait_for_nothing(demo, connection, blocking):
    blocking.set()
    zorbel.wait_for("ZB9999999999")


def boot_that_never_ends(demo, connection, blocking):
    demo.boot.set_boot_delay(3_600_000)
    image = zorbel.make_boot_image(b"slow")
    blocking.set()
    zorbel.boot(0, image, timeout=3600)


@pytest.mark.parametrize(
    "block",
    [read_silent, readinto_silent, write_unanswered, flush_unanswered, wait_for_nothing, boot_that_never_ends],
    ids=["read", "readinto", "write", "flush", "wait_for", "boot"],
)
def test_ctrl_c_ends_a_blocked_call(demo, block):
    blocking = threading.Event()
    with zorbel.connect(1) as connection:
        with ctrl_c_once_blocked(blocking), pytest.raises(KeyboardInterrupt):
            block(demo, connection, blocking)
        # The connection and its other pipes carry on.
        with connection.pipe(1) as echo:
            assert echo_round_trip(echo, b"after Ctrl-C") == b"after Ctrl-C"


def test_an_interrupted_read_leaves_its_stream_in_step(demo):
    blocking = threading.Event()
    with zorbel.connect(1) as connection, connection.pipe(1) as echo:
        with ctrl_c_once_blocked(blocking), pytest.raises(KeyboardInterrupt):
            blocking.set()
            echo.read(10)
        assert echo_round_trip(echo, b"nothing lost") == b"nothing lost"


def test_a_waiting_read_asks_the_device_no_more_than_one_long_read_does(demo):
    """The looks at Ctrl-C during a wait send nothing: a read that waits one
    second asks for its block as the channel does on its own, about every
    100 ms, not once per look (every 50 ms)."""
    with zorbel.connect(1) as connection, connection.pipe(5) as silent:
        before = demo.normal.transfers_to_device
        with pytest.raises(zorbel.TimedOutError):
            silent.read(1, timeout=1.0)
        asked = demo.normal.transfers_to_device - before
    assert 0 < asked <= 12
