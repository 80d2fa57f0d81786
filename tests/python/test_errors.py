"""Each reason a call fails, as the exception a Python program catches."""
import errno
import inspect
import threading

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


def ambiguous_selector(demo, bus):
    # A second device with the demo's ID: the ID no longer names one device.
    bus.add_device(bus.add_controller(), 1, id="0000002", hardware_id="ZB0000000003")
    zorbel.find_device("0000002")


def closed_under_read(demo):
    # Closed before the read begins or while it waits: cancelled either way.
    connection = zorbel.connect(1)
    silent = connection.pipe(5)
    closer = threading.Thread(target=connection.close)
    closer.start()
    try:
        silent.read(1)
    finally:
        closer.join()


CASES = [
    # provoke, exception, built-in base beside OSError, errno
    (lambda demo: zorbel.connect("ZB9999999999"), zorbel.NoSuchDeviceError, None, errno.ENODEV),
    (lambda demo: zorbel.connect(0), zorbel.WrongModeError, None, errno.EOPNOTSUPP),
    (lambda demo: zorbel.boot(1, zorbel.make_boot_image(b"")), zorbel.WrongModeError, None, errno.EOPNOTSUPP),
    (held_twice, zorbel.BusyError, None, errno.EBUSY),
    (pipe_twice, zorbel.BusyError, None, errno.EBUSY),
    (refused_open, zorbel.PermissionDeniedError, PermissionError, errno.EACCES),
    (silent_pipe, zorbel.TimedOutError, TimeoutError, errno.ETIMEDOUT),
    (unanswered_flush, zorbel.TimedOutError, TimeoutError, errno.ETIMEDOUT),
    (pipe_out_of_range, zorbel.InvalidArgumentError, ValueError, errno.EINVAL),
    (ambiguous_selector, zorbel.InvalidArgumentError, ValueError, errno.EINVAL),
    (closed_under_read, zorbel.CancelledError, None, errno.ECANCELED),
]


@pytest.mark.parametrize(
    "provoke, exception, builtin, number",
    CASES,
    ids=[
        "no-device",
        "wrong-mode",
        "boot-normal",
        "busy",
        "pipe-busy",
        "permission",
        "read",
        "flush",
        "range",
        "ambiguous",
        "cancelled",
    ],
)
def test_each_failure_raises_its_exception(bus, demo, provoke, exception, builtin, number):
    with pytest.raises(exception) as raised:
        if "bus" in inspect.signature(provoke).parameters:
            provoke(demo, bus)
        else:
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


def bad_calls(connection, pipe):
    """Calls with one wrong argument each: (call, exception, parameter named)."""
    return [
        (lambda: zorbel.find_device(2**40), zorbel.InvalidArgumentError, "selector"),
        (lambda: zorbel.connect(1.0), TypeError, "selector"),
        (lambda: zorbel.wait_for(0, mode=3), TypeError, "mode"),
        (lambda: zorbel.wait_for(0, mode="sleeping"), zorbel.InvalidArgumentError, "mode"),
        (lambda: zorbel.boot(0, "not bytes"), TypeError, "image"),
        (lambda: zorbel.boot(0, b"", timeout="soon"), TypeError, "timeout"),
        (lambda: zorbel.DeviceWatcher(5, 6), TypeError, "on_arrive"),
        (lambda: zorbel.DeviceWatcher(None, "print"), TypeError, "on_leave"),
        (lambda: connection.pipe(2**40), zorbel.InvalidArgumentError, "number"),
        (lambda: connection.pipe("1"), TypeError, "number"),
        (lambda: connection.pipe(1, name=5), TypeError, "name"),
        (lambda: pipe.read("all"), TypeError, "size"),
        (lambda: pipe.read(1, timeout="soon"), TypeError, "timeout"),
        (lambda: pipe.read(1, timeout=-1), zorbel.InvalidArgumentError, "timeout"),
        (lambda: pipe.flush(timeout=float("nan")), zorbel.InvalidArgumentError, "timeout"),
        (lambda: pipe.write("text"), TypeError, "data"),
        (lambda: pipe.readinto(5), TypeError, "buffer"),
        (lambda: zorbel.make_boot_image(None), TypeError, "payload"),
    ]


def test_a_wrong_argument_is_named_and_no_message_speaks_cpp(demo):
    with zorbel.connect(1) as connection, connection.pipe(5) as pipe:
        for call, exception, parameter in bad_calls(connection, pipe):
            with pytest.raises(exception) as raised:
                call()
            message = str(raised.value)
            assert parameter in message and "::" not in message, message
            if isinstance(raised.value, zorbel.Error):
                assert isinstance(raised.value, ValueError) and raised.value.errno == errno.EINVAL


def test_signatures_show_python_types():
    def docs(namespace):
        for name in dir(namespace):
            thing = getattr(namespace, name)
            if callable(thing) and getattr(thing, "__doc__", None) and not isinstance(thing, type):
                yield f"{namespace.__name__}.{name}", thing.__doc__
            if isinstance(thing, type) and not issubclass(thing, BaseException) and name[0] != "_":
                yield from docs(thing)

    for name, doc in docs(zorbel):
        signature = doc.splitlines()[0]
        for cpp in ("::", "handle", "self: object", "-> object"):
            assert cpp not in signature, (name, signature)
