"""Device discovery with the four detection functions: lists the serial
ports under /dev that look like an arm (ttyACM*), a wired handle (ttyUSB*)
or a wireless handle (rfcomm*), wakes each and prints the paths whose device
answered as the asked type. With
nothing attached every list is empty. Each port found is what SerialStream
takes. A probe waits up to 3 s (arm) or 5 s (handle) per candidate port."""

from __future__ import annotations

import TorviHardwareAPI as T


def main() -> None:
    print(f"TorviHardwareAPI {T.__version__}, library {T.get_cpp_version()}")
    arms = T.detect_armillars()
    # Handles on every kind of port, in one list; the two calls after it
    # probe only ttyUSB or only rfcomm ports.
    handles = T.detect_handles()
    wired = T.detect_wired_handles()
    wireless = T.detect_wireless_handles()
    print(f"arms:             {arms}")
    print(f"handles:          {handles}")
    print(f"wired handles:    {wired}")
    print(f"wireless handles: {wireless}")
    for path in arms:
        stream = T.SerialStream(path)
        info = T.Armillar(stream).device_wakeup_dict()
        print(f"{path}: arm {info['device_id']:#06x}, identifier {info['device_id_ext']}")


if __name__ == "__main__":
    main()
