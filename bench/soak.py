"""Soak run: a million force exchanges against the virtual arm, with the
process's resident memory and open descriptors measured before and after.
Both must stay flat. Not part of the test suite (it takes a while).

    PYTHONPATH=build/python:src PATH=build/tools:$PATH python bench/soak.py [exchanges]
"""

import os
import pathlib
import sys
import time

import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice

EXCHANGES = 1_000_000
WARM_UP = 10_000  # exchanges before the first measurement: caches, allocator
REPORT_EVERY = 100_000
# What "flat" allows: the allocator may keep a few pages more or less.
RSS_SLACK_KB = 1024


def resident_kb():
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def main():
    exchanges = int(sys.argv[1]) if len(sys.argv) > 1 else EXCHANGES
    with VirtualDevice("arm") as device:
        stream = T.SerialStream(device.path)
        arm = T.Armillar(stream)
        force = [0.0, 0.0, 0.0]
        for _ in range(WARM_UP):
            arm.end_effector_force(force)

        rss_before, fds_before = resident_kb(), open_descriptors()
        fallbacks = 0
        start = time.monotonic()
        for i in range(1, exchanges + 1):
            position, _ = arm.end_effector_force(force)
            if position == [0.0, 0.0, 0.0]:
                fallbacks += 1
            if i % REPORT_EVERY == 0:
                print(
                    f"{i:>9} exchanges  {time.monotonic() - start:7.1f} s  "
                    f"rss {resident_kb()} kB  fds {open_descriptors()}",
                    flush=True,
                )
        seconds = time.monotonic() - start
        rss_after, fds_after = resident_kb(), open_descriptors()
        device_alive = device.alive()

    print(
        f"exchanges: {exchanges} in {seconds:.1f} s ({1e6 * seconds / exchanges:.1f} us each), "
        f"fallbacks (all-zero replies): {fallbacks}"
    )
    print(
        f"resident memory: {rss_before} kB before, {rss_after} kB after "
        f"({rss_after - rss_before:+d} kB)"
    )
    print(f"open descriptors: {fds_before} before, {fds_after} after")
    flat = (
        abs(rss_after - rss_before) <= RSS_SLACK_KB
        and fds_after == fds_before
        and fallbacks == 0
        and device_alive
    )
    print("flat" if flat else "NOT FLAT")
    return 0 if flat else 1


if __name__ == "__main__":
    sys.exit(main())
