"""The module itself: identity, versions, registration order, and the three
small classes SerialStream, UUID and Device."""

import contextlib
import io
import os
import re
from pathlib import Path

import pytest

import TorviHardwareAPI as T
from support import open_descriptors

# The version is named once, by the CMake project.
LIBRARY_VERSION = re.search(
    r"project\(TorviHardwareAPI\s+VERSION\s+([0-9.]+)",
    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text(),
).group(1)


def test_versions_and_docstring():
    assert T.__version__ == "dev"
    assert T.get_cpp_version() == LIBRARY_VERSION
    assert T.__doc__ == "Python Implementation of the Torvi Hardware API"


def test_print_cpp_version_writes_one_line_through_the_library(capfd):
    python_stdout = io.StringIO()
    with contextlib.redirect_stdout(python_stdout):
        assert T.print_cpp_version() is None
    out, err = capfd.readouterr()
    assert python_stdout.getvalue() == ""
    assert out == f"Library version: {LIBRARY_VERSION}\n"
    assert err == ""


@pytest.mark.parametrize(
    "name, doc",
    [
        ("get_cpp_version", "get_cpp_version() -> str\n\nGet the version of the CPP library\n"),
        (
            "print_cpp_version",
            "print_cpp_version() -> None\n\nPrint the version of the CPP library\n",
        ),
    ],
)
def test_free_function_signatures(name, doc):
    assert getattr(T, name).__doc__ == doc


REGISTRATION_ORDER = [
    "SerialStream",
    "UUID",
    "Device",
    "get_cpp_version",
    "print_cpp_version",
    "detect_armillars",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
    "Armillar",
    "Handle",
    "__version__",
    # The submodules of the native haptic loop and of the handle's listener,
    # registered after the module's own surface.
    "haptics",
    "events",
    # SIGTERM as an orderly exit, after the submodules whose runners use it.
    "Terminated",
    "SigtermAsExit",
]


def test_registration_order():
    public = [name for name in vars(T) if not name.startswith("__") or name == "__version__"]
    assert public == REGISTRATION_ORDER


def test_classes_are_independent_types():
    for cls in (T.SerialStream, T.UUID, T.Armillar, T.Handle):
        assert not issubclass(cls, T.Device)
    for cls in (T.SerialStream, T.UUID, T.Device):
        assert cls.__doc__ is None


def test_device_has_no_constructor():
    with pytest.raises(TypeError) as raised:
        T.Device()
    assert str(raised.value) == "TorviHardwareAPI.Device: No constructor defined!"


def test_uuid_is_sixteen_zero_bytes_in_new_lists():
    first = T.UUID()
    assert first.bytes() == [0] * 16
    assert first.bytes() is not first.bytes()
    second = T.UUID()
    assert first != second  # identity comparison only
    with pytest.raises(TypeError):
        T.UUID(1)


def error_line(source, line, message, errno_value):
    return (
        f"[err] Library/src/{source}:{line}> {message}: "
        f"[{errno_value}] {os.strerror(errno_value)}\n"
    )


def test_unopenable_port_prints_two_lines_and_still_yields_a_stream(capfd):
    stream = T.SerialStream("/nonexistent")
    _, err = capfd.readouterr()
    assert isinstance(stream, T.SerialStream)
    assert err == error_line(
        "SerialStream", 39, "unable to open port '/nonexistent'", 2
    ) + error_line("SerialStream", 18, "unable to open stream '/nonexistent'", 2)


def test_none_opens_no_port(capfd):
    T.SerialStream(None)
    _, err = capfd.readouterr()
    assert "unable to open port '(null)'" in err
    assert "unable to open stream '(null)'" in err


@pytest.mark.parametrize("path_type", [str, bytes, bytearray])
def test_a_path_opens_the_port_in_every_accepted_form(pty, capfd, path_type):
    path = pty.path if path_type is str else path_type(pty.path.encode())
    stream = T.SerialStream(path)
    _, err = capfd.readouterr()
    assert err == ""
    assert open_descriptors(pty.path) == 2  # the fixture's slave and the stream's
    del stream


@pytest.mark.parametrize("arguments", [(), (1,), ("/dev/null", "/dev/null"), (["/dev/null"],)])
def test_serial_stream_arguments_are_checked(arguments):
    with pytest.raises(TypeError):
        T.SerialStream(*arguments)


def test_dropping_the_stream_closes_its_tty_at_once(pty):
    stream = T.SerialStream(pty.path)
    assert open_descriptors(pty.path) == 2
    del stream
    assert open_descriptors(pty.path) == 1


def test_serial_stream_signature():
    assert T.SerialStream.__init__.__doc__ == (
        "__init__(self: TorviHardwareAPI.SerialStream, arg0: str) -> None\n\n"
        "Initialize the serial stream\n"
    )
