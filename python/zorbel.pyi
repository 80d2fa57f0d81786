"""The zorbel device from Python: find devices, boot them, connect and exchange
bytes over pipes with the programs on the device; and an emulated bus with
devices, so that scripts and their tests run without hardware.

Every call that waits lets other Python threads run meanwhile, and Ctrl-C
(KeyboardInterrupt) ends it. Failures raise zorbel.Error (an OSError) or one
of its subclasses; time-outs raise zorbel.TimedOutError, a TimeoutError.
"""

from types import TracebackType
from typing import Callable, Iterator, Literal, Optional, Type, Union

from _typeshed import ReadableBuffer, WriteableBuffer

__version__: str

_Selector = Union[int, str, "DeviceInfo"]
_Mode = Literal["boot", "normal"]

class Error(OSError):
    """A call to the device failed; errno holds the closest portable error number."""

class NoSuchDeviceError(Error):
    """No attached device matches the selector."""

class BusyError(Error):
    """The device is held by another connection, or the pipe is open already."""

class WrongModeError(Error):
    """The device is in the wrong mode for the call."""

class PermissionDeniedError(Error, PermissionError):
    """The device is attached but this user may not open it."""

class DeviceGoneError(Error):
    """The device went away during the call and did not come back."""

class TimedOutError(Error, TimeoutError):
    """Nothing happened within the time-out; nothing is lost."""

class InvalidArgumentError(Error, ValueError):
    """An argument the library refused (pipe number, boot image, ambiguous selector)."""

class CancelledError(Error):
    """The call was stopped on request: the pipe or connection was closed meanwhile."""

class DeviceInfo:
    """One attached device as it was when it was listed."""

    @property
    def number(self) -> int: ...
    @property
    def mode(self) -> _Mode: ...
    @property
    def type(self) -> str: ...
    @property
    def hardware_id(self) -> str: ...
    @property
    def id(self) -> str: ...
    @property
    def location(self) -> str: ...
    @property
    def in_use(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __lt__(self, other: DeviceInfo) -> bool: ...
    def __le__(self, other: DeviceInfo) -> bool: ...
    def __gt__(self, other: DeviceInfo) -> bool: ...
    def __ge__(self, other: DeviceInfo) -> bool: ...
    def __hash__(self) -> int: ...

def list_devices() -> list[DeviceInfo]:
    """The attached devices in device-number order."""

def find_device(selector: _Selector) -> DeviceInfo:
    """The one device the selector names."""

def connect(selector: _Selector) -> Connection:
    """Claims and starts the device the selector names."""

def boot(selector: _Selector, image: ReadableBuffer, timeout: Optional[float] = 30.0) -> DeviceInfo:
    """Hands a boot image to a device in boot mode; returns it back in normal mode."""

def wait_for(selector: _Selector, mode: Optional[_Mode] = "normal", timeout: Optional[float] = None) -> DeviceInfo:
    """Waits until the selector matches a device in `mode` (None: either)."""

class Pipe:
    """One byte stream to a program on the device."""

    def write(self, data: ReadableBuffer, timeout: Optional[float] = None) -> int:
        """Writes all of `data` without copying it first; returns its length."""
    def flush(self, timeout: Optional[float] = None) -> None:
        """Sends what is buffered and waits until the device confirms it."""
    def read(self, size: Optional[int] = -1, timeout: Optional[float] = None) -> bytes:
        """What has arrived, up to `size` bytes, after waiting for at least one; b"" at the end.
        Without a size (or a negative one, or None): everything up to the end."""
    def readinto(self, buffer: WriteableBuffer, timeout: Optional[float] = None) -> int:
        """As read(), into a writable bytes-like object; returns the count."""
    def readable(self) -> bool: ...
    def writable(self) -> bool: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __next__(self) -> bytes: ...
    def close(self) -> None:
        """Releases the pipe."""
    @property
    def closed(self) -> bool: ...
    @property
    def at_end(self) -> bool: ...
    @property
    def number(self) -> int: ...
    @property
    def name(self) -> str: ...
    def __enter__(self) -> Pipe: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...

class Connection:
    """A running connection to one device in normal mode."""

    def pipe(self, number: int, name: Optional[str] = None) -> Pipe:
        """Opens pipe `number` (1..125)."""
    def close(self) -> None:
        """Stops the connection and gives the device back."""
    @property
    def closed(self) -> bool: ...
    @property
    def lost(self) -> bool: ...
    @property
    def device(self) -> DeviceInfo: ...
    def __enter__(self) -> Connection: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...

class DeviceWatcher:
    """Tells when devices arrive and leave, on a thread of its own."""

    def __init__(
        self,
        on_arrive: Optional[Callable[[DeviceInfo], object]] = None,
        on_leave: Optional[Callable[[DeviceInfo], object]] = None,
    ) -> None: ...
    def devices(self) -> list[DeviceInfo]:
        """The devices as the watcher last saw them."""
    def close(self) -> None:
        """Stops watching."""
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> DeviceWatcher: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...

class DeviceProgram:
    """A program for a pipe of an emulated device."""

class SinkTally:
    """What sink programs have read: the byte count and the CRC-32."""

    def __init__(self) -> None: ...
    @property
    def bytes(self) -> int: ...
    @property
    def crc32(self) -> int: ...
    def wait_for(self, count: int, timeout: float) -> bool:
        """Waits until at least `count` bytes were read; False after `timeout` seconds."""
    def clear(self) -> None:
        """Starts counting again from nothing."""

class EmulatedDevice:
    """One device of an EmulatedBus."""

    @property
    def valid(self) -> bool: ...
    @property
    def plugged(self) -> bool: ...
    @property
    def boot_mode(self) -> bool: ...
    @property
    def hardware_id(self) -> str: ...
    @property
    def boots(self) -> int: ...
    @property
    def transfers_to_device(self) -> int: ...
    def unplug(self) -> None:
        """Pulls it out."""
    def plug(self, hub: Optional[int] = None, port: Optional[int] = None) -> bool:
        """Plugs it in again."""
    def reset(self) -> bool:
        """Restarts a device in normal mode."""
    def bind(self, pipe: int, program: Optional[DeviceProgram]) -> None:
        """Runs `program` for pipe `pipe`; None unbinds."""
    def set_open_refused(self, refused: bool) -> None:
        """Makes it refuse to open."""
    def set_info_fails(self, fails: bool) -> None:
        """Makes its information request fail."""
    def set_boot_delay(self, ms: int) -> None:
        """The time from an accepted image to normal mode."""
    def wait_normal_mode(self, timeout: float) -> bool:
        """Whether it is in normal mode within `timeout` seconds."""

class EmulatedBus:
    """An emulated USB bus inside this process."""

    class Demo:
        """The devices add_demo() made."""

        @property
        def boot(self) -> EmulatedDevice: ...
        @property
        def normal(self) -> EmulatedDevice: ...
        @property
        def sink(self) -> SinkTally: ...

    def __init__(self) -> None: ...
    def add_demo(self) -> EmulatedBus.Demo:
        """Device 0 in boot mode, device 1 in normal mode; echo, sink and source on pipes 1-3."""
    def add_controller(self, ports: int = 4, number: int = -1) -> int:
        """A host controller with a root hub; returns the hub, or -1."""
    def add_hub(self, hub: int, port: int, ports: int = 4) -> int:
        """An external hub on a free port; returns it, or -1."""
    def add_device(
        self,
        hub: int,
        port: int,
        *,
        boot_mode: bool = False,
        type: str = "T",
        hardware_id: str = "ZB0000000001",
        id: str = "0000001",
        boot_delay_ms: int = 5,
    ) -> EmulatedDevice:
        """A device, plugged in at once, with no programs yet."""
    def set_claim_scope(self, scope: str) -> None:
        """Shares device claims with buses of other processes given the same scope."""
    def close(self) -> None:
        """Unplugs every device and gives way to what was there before."""
    @property
    def closed(self) -> bool: ...
    def __enter__(self) -> EmulatedBus: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...

def echo_program() -> DeviceProgram:
    """Sends back every byte it reads, in order."""

def sink_program(tally: SinkTally) -> DeviceProgram:
    """Reads everything and adds it to `tally`."""

def source_program(length: int = 0) -> DeviceProgram:
    """Sends `length` bytes of the source pattern (0: without end)."""

def source_pattern(k: int) -> int:
    """Byte k of a source's stream."""

def source_bytes(offset: int, count: int) -> bytes:
    """`count` bytes of a source's stream from byte `offset`."""

def make_boot_image(payload: ReadableBuffer) -> bytes:
    """A boot image an emulated device in boot mode accepts."""
