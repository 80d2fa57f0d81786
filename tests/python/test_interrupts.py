"""Ctrl-C ends every call that blocks, and leaves the stream usable."""
import _thread
import contextlib
import signal
import threading

import pytest
from streams import echo_round_trip

import zorbel


@contextlib.contextmanager
def ctrl_c_after(seconds):
    """SIGINT for the main thread after `seconds`, as a person pressing Ctrl-C.
    Python's own handler is put in place first: a process started with SIGINT
    ignored (as in the background of a shell) would otherwise not notice."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(seconds, _thread.interrupt_main, args=(signal.SIGINT,))
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)


def read_silent(demo, connection):
    connection.pipe(5).read(1)


def readinto_silent(demo, connection):
    connection.pipe(5).readinto(bytearray(10))


def write_unanswered(demo, connection):
    connection.pipe(7).write(bytes(100_000))  # the device never asks for the second block


def flush_unanswered(demo, connection):
    nobody = connection.pipe(7)
    nobody.write(b"x")
    nobody.flush()


def wait_for_nothing(demo, connection):
    zorbel.wait_for("ZB9999999999")


def boot_that_never_ends(demo, connection):
    demo.boot.set_boot_delay(3_600_000)
    zorbel.boot(0, zorbel.make_boot_image(b"slow"), timeout=3600)


@pytest.mark.parametrize(
    "block",
    [read_silent, readinto_silent, write_unanswered, flush_unanswered, wait_for_nothing, boot_that_never_ends],
    ids=["read", "readinto", "write", "flush", "wait_for", "boot"],
)
def test_ctrl_c_ends_a_blocked_call(demo, block):
    with zorbel.connect(1) as connection:
        with ctrl_c_after(0.1), pytest.raises(KeyboardInterrupt):
            block(demo, connection)
        # The connection and its other pipes carry on.
        with connection.pipe(1) as echo:
            assert echo_round_trip(echo, b"after Ctrl-C") == b"after Ctrl-C"


def test_an_interrupted_read_leaves_its_stream_in_step(demo):
    with zorbel.connect(1) as connection, connection.pipe(1) as echo:
        with ctrl_c_after(0.1), pytest.raises(KeyboardInterrupt):
            echo.read(10)
        assert echo_round_trip(echo, b"nothing lost") == b"nothing lost"
