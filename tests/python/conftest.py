"""Shared fixtures: a pty playing the device, a stream opened on it, a
scripted device, and virtual devices run as separate processes."""

import pytest

import TorviHardwareAPI as T
from support import ForceResponder, Pty, ScriptedDevice
from torvi.virtual import VirtualDevice


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


@pytest.fixture
def virtual_device():
    """Factory: virtual_device("arm" or "handle", *options, link=None) starts a
    torvi-virtual-device process and returns it (its `path` is the port to
    open); every device started is stopped at teardown."""
    started = []

    def start(kind, *options, link=None):
        device = VirtualDevice(kind, *options, link=link)
        started.append(device)
        return device

    yield start
    for device in started:
        device.stop()


@pytest.fixture
def virtual_arm(virtual_device):
    """A virtual arm with default settings."""
    return virtual_device("arm")


@pytest.fixture
def virtual_handle(virtual_device):
    """A virtual handle with default settings (answers a wakeup with its
    information and a status request with a stuffed frame; no stream)."""
    return virtual_device("handle")


@pytest.fixture
def responder(pty):
    """Factory: responder(**options) plays an arm answering force requests
    on the pty (support.ForceResponder); closed at teardown."""
    made = []

    def start(**options):
        made.append(ForceResponder(pty, **options))
        return made[-1]

    yield start
    for device in made:
        device.close()
