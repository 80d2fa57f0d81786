"""Connections and pipes give the device and their numbers back at the end of
their `with` blocks, on an exception too, and closing ends the calls other
threads are blocked in."""
import gc
import threading

import pytest
from streams import echo_round_trip

import zorbel


def test_with_blocks_give_the_device_and_the_pipes_back(demo):
    with zorbel.connect(1) as connection:
        assert zorbel.find_device(1).in_use
        with connection.pipe(1) as echo:
            assert echo_round_trip(echo, b"first") == b"first"
        assert echo.closed
        with pytest.raises(ValueError):
            echo.read(1)
        with connection.pipe(1) as echo:  # the number is free again
            assert echo_round_trip(echo, b"second") == b"second"
    assert connection.closed
    assert connection.device.hardware_id == "ZB0000000002"  # still known
    assert not zorbel.find_device(1).in_use
    with pytest.raises(ValueError):
        connection.pipe(1)

    with pytest.raises(RuntimeError, match="inside"):
        with zorbel.connect(1) as connection, connection.pipe(1):
            raise RuntimeError("inside the block")
    assert not zorbel.find_device(1).in_use
    with zorbel.connect(1) as again:  # the claim is free too
        assert not again.closed


def test_objects_dropped_without_close_give_everything_back(demo):
    connection = zorbel.connect(1)
    connection.pipe(1).write(b"dropped at once")
    del connection
    with zorbel.connect(1):
        pass


def blocked_in_read(pipe, outcome, started):
    started.set()
    try:
        pipe.read(1)
    except (zorbel.Error, ValueError) as e:  # ValueError: closed before the read began
        outcome.append(e)


@pytest.mark.parametrize("closing", ["connection", "pipe"])
def test_closing_ends_a_read_blocked_on_another_thread(demo, closing):
    connection = zorbel.connect(1)
    silent = connection.pipe(5)
    outcome, started = [], threading.Event()
    reader = threading.Thread(target=blocked_in_read, args=(silent, outcome, started))
    reader.start()
    started.wait()
    (connection if closing == "connection" else silent).close()
    reader.join()
    connection.close()
    assert len(outcome) == 1 and "pipe 5" in str(outcome[0])
    assert not zorbel.find_device(1).in_use


def test_a_pipe_of_a_closed_connection_fails_and_closes(demo):
    with zorbel.connect(1) as connection:
        echo = connection.pipe(1)
    with pytest.raises(zorbel.Error):
        echo.write(b"x")
        echo.flush(timeout=5)
    echo.close()


def test_a_pipe_keeps_its_connection_alive(demo):
    # Nothing but the pipe refers to the connection.
    echo = zorbel.connect(1).pipe(1)
    gc.collect()
    assert echo_round_trip(echo, b"still connected") == b"still connected"
    assert zorbel.find_device(1).in_use
    del echo
    gc.collect()
    with zorbel.connect(1):  # the last reference gave the device back
        pass
