"""Each reason a call fails, as the exception a Python program catches."""
import errno

import pytest

import zorbel


def held_twice(demo):
    with zorbel.connect(1):
        zorbel.connect(1)


def pipe_twice(demo):
    with zorbel.connect(1) as connection, connection.pipe(1):
        connection.pipe(1)


def refused_open(demo):
    demo.normal.set_open_refused(True)
    zorbel.connect("ZB0000000002")


def silent_pipe(demo):
    with zorbel.connect(1) as connection, connection.pipe(5) as silent:
        silent.read(1, timeout=0.05)


def unanswered_flush(demo):
    with zorbel.connect(1) as connection, connection.pipe(7) as nobody:
        nobody.write(b"x")
        nobody.flush(timeout=0.05)


def pipe_out_of_range(demo):
    with zorbel.connect(1) as connection:
        connection.pipe(126)


CASES = [
    # provoke, exception, built-in base beside OSError, errno
    (lambda demo: zorbel.connect("ZB9999999999"), zorbel.NoSuchDeviceError, None, errno.ENODEV),
    (lambda demo: zorbel.connect(0), zorbel.WrongModeError, None, None),
    (lambda demo: zorbel.boot(1, zorbel.make_boot_image(b"")), zorbel.WrongModeError, None, None),
    (held_twice, zorbel.BusyError, None, errno.EBUSY),
    (pipe_twice, zorbel.BusyError, None, errno.EBUSY),
    (refused_open, zorbel.PermissionDeniedError, PermissionError, errno.EACCES),
    (silent_pipe, zorbel.TimedOutError, TimeoutError, errno.ETIMEDOUT),
    (unanswered_flush, zorbel.TimedOutError, TimeoutError, errno.ETIMEDOUT),
    (pipe_out_of_range, zorbel.InvalidArgumentError, ValueError, errno.EINVAL),
]


@pytest.mark.parametrize(
    "provoke, exception, builtin, number",
    CASES,
    ids=["no-device", "wrong-mode", "boot-normal", "busy", "pipe-busy", "permission", "read", "flush", "range"],
)
def test_each_failure_raises_its_exception(demo, provoke, exception, builtin, number):
    with pytest.raises(exception) as raised:
        provoke(demo)
    e = raised.value
    assert isinstance(e, zorbel.Error) and isinstance(e, OSError)
    if builtin:
        assert isinstance(e, builtin)
    assert e.errno == number
    assert str(e)  # says what was being done and why


def test_a_write_that_times_out_says_how_much_it_took_and_can_carry_on(demo):
    with zorbel.connect(1) as connection, connection.pipe(7) as nobody:
        with pytest.raises(zorbel.TimedOutError) as raised:
            nobody.write(bytes(100_000), timeout=0.05)
        assert 0 < raised.value.characters_written < 100_000


def test_a_device_that_goes_away_fails_its_pipes(demo):
    # The connection looks for an unplugged device again for a few seconds
    # before it gives up on it; a read waits that long.
    with zorbel.connect(1) as connection, connection.pipe(1) as echo:
        demo.normal.unplug()
        with pytest.raises(zorbel.DeviceGoneError) as raised:
            echo.read(1, timeout=60)
        assert raised.value.errno == errno.ENODEV
        assert connection.lost


def test_closed_objects_refuse_work_as_closed_files_do(bus):
    watcher = zorbel.DeviceWatcher()
    watcher.close()
    watcher.close()  # harmless
    with pytest.raises(ValueError):
        watcher.devices()
    bus.close()
    with pytest.raises(ValueError):
        bus.add_demo()
