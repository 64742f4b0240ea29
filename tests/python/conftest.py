"""Shared fixtures: a pty playing the device, a stream opened on it, and a
scripted device."""

import pytest

import TorviHardwareAPI as T
from support import Pty, ScriptedDevice


@pytest.fixture
def pty():
    try:
        p = Pty()
    except OSError as error:
        pytest.skip(f"no pseudo-terminal available: {error}")
    yield p
    p.close()


@pytest.fixture
def stream(pty):
    """A SerialStream opened on the pty's slave."""
    return T.SerialStream(pty.path)


@pytest.fixture
def arm(stream):
    """An Armillar on the pty's stream."""
    return T.Armillar(stream)


@pytest.fixture
def scripted(pty):
    """Factory: scripted(rows) starts a scripted device on the pty."""
    devices = []

    def start(rows):
        device = ScriptedDevice(pty, rows)
        devices.append(device)
        return device

    yield start
    for device in devices:
        device.thread.join(0.1)
