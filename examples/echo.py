#!/usr/bin/env python3
"""echo_client_modern.cpp in Python: an emulated device whose pipe 1 echoes,
a connection and a pipe that give themselves back at the end of their `with`
blocks, and a failure that says why. The tests run it."""
import sys

import zorbel

with zorbel.EmulatedBus() as bus:  # while it is open, it is this process's USB
    bus.add_device(bus.add_controller(), 1).bind(1, zorbel.echo_program())
    try:
        with zorbel.connect("ZB0000000001") as device, device.pipe(1, "echo") as pipe:
            message = b"hello, device"
            pipe.write(message)
            pipe.flush()  # returns once the device has confirmed the block
            answer = b""
            while len(answer) < len(message):
                answer += pipe.read(len(message) - len(answer), timeout=2.0)
            print("device answered:", answer.decode())
    except zorbel.Error as e:
        sys.exit(f"echo.py: {e}")
sys.exit(0 if answer == message else 1)
