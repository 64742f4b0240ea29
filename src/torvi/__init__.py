"""Python helpers that come with TorviHardwareAPI: the extension module
itself is `TorviHardwareAPI`; this package holds what is written in Python
around it, such as the launcher of the virtual devices (`torvi.virtual`)."""

from .virtual import VirtualDevice, VirtualDeviceError, find_program

__all__ = ["VirtualDevice", "VirtualDeviceError", "find_program"]
