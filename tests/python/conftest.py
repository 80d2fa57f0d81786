"""Fixtures of the Python module's tests: a fresh emulated bus per test (the
newest bus is the process's device host, so each test sees its own devices
only), the demo devices on it, and a watchdog that ends a hung test with
every thread's stack instead of holding CTest until its time-out."""
import faulthandler

import pytest

import zorbel

HANG_SECONDS = 120


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def bus():
    with zorbel.EmulatedBus() as emulated:
        yield emulated


@pytest.fixture
def demo(bus):
    """Device 0 in boot mode (ZB0000000001), device 1 in normal mode
    (ZB0000000002): echo on pipe 1, a sink on pipe 2, the source on pipe 3."""
    return bus.add_demo()
