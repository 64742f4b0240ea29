"""The virtual devices the benchmark talks to, and the CPU time they use."""

import os
import subprocess
import tempfile

START_WAIT = 10.0
STOP_WAIT = 5.0


class VirtualDevice:
    """One torvi-virtual-device process; `path` is the port to open. Its
    standard input is a pipe, so the device also goes when this process
    does."""

    def __init__(self, program, *arguments):
        self.arguments = arguments
        # Diagnostics go to a file: nobody reads a pipe while the device runs.
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen([program, *arguments], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self._stderr)
        self.path = self.process.stdout.readline().decode().strip()
        if not self.path:
            self.stop()
            raise RuntimeError(f"{program} {' '.join(arguments)} did not start: {self.stderr()}")

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

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(STOP_WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        self._stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
