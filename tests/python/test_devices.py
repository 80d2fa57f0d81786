"""Finding, booting, waiting for and watching devices."""
import os
import pickle
import sys
import threading

import pytest
from streams import echo_round_trip

import zorbel


def test_the_demo_devices_are_listed_with_their_identity(demo):
    devices = zorbel.list_devices()
    assert [(d.number, d.mode, d.type, d.hardware_id, d.id, d.in_use) for d in devices] == [
        (0, "boot", "", "", "", False),
        (1, "normal", "T", "ZB0000000002", "0000002", False),
    ]
    assert devices[0].location and devices[0].location != devices[1].location
    assert zorbel.find_device("ZB0000000002") == devices[1]
    assert zorbel.find_device(devices[1]) == devices[1]
    assert "ZB0000000002" in repr(devices[1])


@pytest.mark.parametrize("selector", [1, "ZB0000000002", "0000002"])
def test_a_device_is_selected_by_number_hardware_id_or_id(demo, selector):
    with zorbel.connect(selector) as connection:
        assert connection.device.hardware_id == "ZB0000000002"
        assert zorbel.find_device(1).in_use


@pytest.mark.parametrize("selector", [1.0, None, True, b"ZB0000000002"])
def test_other_selectors_are_refused(demo, selector):
    with pytest.raises(TypeError):
        zorbel.connect(selector)


def test_boot_returns_the_device_back_in_normal_mode(demo):
    image = zorbel.make_boot_image(b"program")
    assert image[:4] == b"ZBIM" and image[4:11] == b"program"
    with pytest.raises(zorbel.WrongModeError):
        zorbel.boot(1, image)
    with pytest.raises(zorbel.InvalidArgumentError):
        zorbel.boot(0, b"not an image")

    booted = zorbel.boot(0, bytearray(image), timeout=20)
    assert (booted.mode, booted.hardware_id) == ("normal", "ZB0000000001")
    assert demo.boot.boots == 1
    with zorbel.connect(booted) as connection, connection.pipe(1) as echo:
        assert echo_round_trip(echo, b"booted") == b"booted"


def test_wait_for_returns_a_device_that_arrives_and_times_out_on_one_that_does_not(demo):
    demo.normal.unplug()
    with pytest.raises(zorbel.TimedOutError):
        zorbel.wait_for("ZB0000000002", timeout=0.05)
    plugger = threading.Timer(0.1, demo.normal.plug)
    plugger.start()
    try:
        found = zorbel.wait_for("ZB0000000002", timeout=20)
    finally:
        plugger.join()
    assert found.hardware_id == "ZB0000000002"
    # The boot-mode device is there, but not in normal mode; either mode will do.
    with pytest.raises(TimeoutError):
        zorbel.wait_for(0, mode="normal", timeout=0.05)
    assert zorbel.wait_for(0, mode=None).mode == "boot"
    with pytest.raises(ValueError):
        zorbel.wait_for(0, mode="sleeping")


def test_the_watcher_reports_leaving_and_arriving_devices(demo, monkeypatch):
    events = []
    changed = threading.Condition()
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def note(kind):
        def callback(device):
            with changed:
                events.append((kind, device.mode, device.hardware_id))
                changed.notify_all()
            if kind == "arrive":
                raise RuntimeError("a callback's own fault")  # reported; the watching goes on

        return callback

    def wait_for_events(count):
        with changed:
            assert changed.wait_for(lambda: len(events) >= count, timeout=20), events

    with zorbel.DeviceWatcher(on_arrive=note("arrive"), on_leave=note("leave")) as watcher:
        assert len(watcher.devices()) == 2
        demo.normal.unplug()
        wait_for_events(1)
        demo.normal.plug()
        wait_for_events(2)
        zorbel.boot(0, zorbel.make_boot_image(b""))  # leaves in boot mode, arrives in normal mode
        wait_for_events(4)
    assert watcher.closed
    assert events[:2] == [("leave", "normal", "ZB0000000002"), ("arrive", "normal", "ZB0000000002")]
    assert sorted(events[2:4]) == [("arrive", "normal", "ZB0000000001"), ("leave", "boot", "")]
    assert len(unraisable) == 2 and isinstance(unraisable[0].exc_value, RuntimeError)


def join_closing_threads():
    for thread in threading.enumerate():
        if thread.name.startswith("zorbel."):
            thread.join(timeout=60)


@pytest.mark.parametrize("how", ["close", "drop"])
def test_a_callback_may_stop_its_own_watcher(demo, how):
    """Closing the watcher from its callback, or dropping the last reference
    to it there, stops it: no callback after that one, and its thread ends."""
    calls = []
    holder = []
    called = threading.Event()

    def on_leave(device):
        calls.append(threading.get_native_id())
        watcher = holder.pop()
        if how == "close":
            watcher.close()
            assert watcher.closed
        del watcher  # the last reference, for "drop"
        called.set()

    holder.append(zorbel.DeviceWatcher(on_leave=on_leave))
    demo.normal.unplug()
    demo.boot.unplug()
    assert called.wait(timeout=20)
    join_closing_threads()
    assert len(calls) == 1  # two devices left; the second was not reported
    assert not os.path.exists(f"/proc/self/task/{calls[0]}")  # the watcher's thread ended


def test_device_info_is_a_value(demo):
    first, second = zorbel.list_devices()
    again = zorbel.find_device(1)
    assert again == second and again != first and hash(again) == hash(second)
    assert len({first, second, again}) == 2
    assert sorted([second, first]) == [first, second]
    assert first != "device 0" and not (first == 0)
    with pytest.raises(TypeError):
        first < 0
    assert pickle.loads(pickle.dumps(second)) == second
    assert repr(second).startswith("zorbel.DeviceInfo(number=1, mode='normal', type='T', hardware_id='ZB0000000002'")
