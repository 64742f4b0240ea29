"""The virtual devices the benchmark talks to, and the CPU time they use."""

import os

from torvi.virtual import VirtualDevice


class MeasuredDevice(VirtualDevice):
    """A virtual device whose CPU time the benchmark reads between rows."""

    def cpu_seconds(self):
        """CPU time the device has used so far: the scheduler's nanosecond
        count where the kernel shows it, else the clock ticks of stat."""
        pid = self.process.pid
        try:
            with open(f"/proc/{pid}/sched") as sched:
                for line in sched:
                    if line.startswith("se.sum_exec_runtime"):
                        return float(line.split(":")[1]) / 1000.0  # shown in ms
        except OSError:
            pass
        with open(f"/proc/{pid}/stat") as stat:
            # Fields after the command name, which may hold blanks.
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
