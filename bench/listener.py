"""The handle's listener (TorviHardwareAPI.events.HandleListener), measured:

- event latency: a writer process puts status messages on a pty at a steady
  pace, each in one write, and notes the monotonic time just before each
  write (a time taken after it can come later than the reader's, when the
  writer is preempted in between; so the figures include the write call, a
  few microseconds); the consumer notes when it got each event. Three
  consumers on the same pty: the listener's iterator, `async for` over the
  listener in an asyncio loop, and a plain Python reader (os.read in a
  thread, framing the messages, plus a queue.Queue). They take turns for
  ROUNDS rounds; each figure is the median over the rounds. For the
  listener also the reader thread's own part: event.time less the write.
- a handle streaming as fast as the pty takes its messages (the virtual
  handle's --stream-hz max): events delivered per second to a `for` loop,
  events dropped, and the share of one core that the reader thread used
  (its scheduler run time over the wall time).

Run on its own (`python bench/listener.py --virtual-device PATH`) or as part
of bench/run.py, which adds its figures to the run's results.
"""

import asyncio
import json
import os
import pathlib
import queue
import statistics
import struct
import subprocess
import sys
import threading
import time
import tty

import TorviHardwareAPI as T
from options import REQUIRED, options_parser
from runner import QuietWait, log
from stats import percentile
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.events import HandleListener

MESSAGES = 2000
PACE_S = 0.0005  # one message every 0.5 ms, 2000 a second
ROUNDS = 5
STREAM_SECONDS = 3.0
READER_NAME = "torvi-listener"
STATUS_CODE = 0xDA
# A status message without user data: code, then device id (the sequence
# number here), error flag, hall level, quaternion, user-data length.
MESSAGE_LENGTH = 22
MESSAGE = struct.Struct("<BHBB4fB")

# The writer: waits for a line on standard input, then writes the messages
# on the pty master it was given and prints the times the writes returned.
WRITER = r"""
import json, os, struct, sys, time
fd, count, pace = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
message = struct.Struct("<BHBB4fB")
sys.stdin.readline()
times = []
due = time.monotonic()
for seq in range(count):
    due += pace
    pause = due - time.monotonic()
    if pause > 0:
        time.sleep(pause)
    data = message.pack(0xDA, seq, 0, 0, 0.0, 0.0, 0.0, 1.0, 0)
    times.append(time.monotonic())
    os.write(fd, data)
print(json.dumps(times), flush=True)
"""


class Writer:
    """The writer process on `master`, ready to go."""

    def __init__(self, master):
        self.process = subprocess.Popen(
            [sys.executable, "-c", WRITER, str(master), str(MESSAGES), str(PACE_S)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            pass_fds=(master,),
        )

    def go(self):
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def times(self):
        out, _ = self.process.communicate(timeout=60)
        return json.loads(out)


def latency_figures(written, received):
    """p50 and p99 in microseconds of received[seq] - written[seq]."""
    delays = sorted((received[seq] - written[seq]) * 1e6 for seq in received)
    if len(delays) != len(written):
        raise RuntimeError(f"{len(written) - len(delays)} of {len(written)} messages were lost")
    return {"p50_us": percentile(delays, 50), "p99_us": percentile(delays, 99)}


def through_iterator(listener, writer):
    received, stamped = {}, {}
    writer.go()
    for event in listener:
        received[event.device_id] = time.monotonic()
        stamped[event.device_id] = event.time
        if len(received) == MESSAGES:
            break
    return received, stamped


def through_asyncio(listener, writer):
    async def consume():
        received, stamped = {}, {}
        writer.go()
        async for event in listener.aiter():
            received[event.device_id] = time.monotonic()
            stamped[event.device_id] = event.time
            if len(received) == MESSAGES:
                break
        return received, stamped

    return asyncio.run(consume())


def listener_latency(pty_path, master, consume):
    handle = T.Handle(T.SerialStream(pty_path))
    writer = Writer(master)
    with HandleListener(handle, maxlen=MESSAGES) as listener:
        received, stamped = consume(listener, writer)
        dropped = listener.dropped
    written = writer.times()
    figures = latency_figures(written, received)
    reader = latency_figures(written, stamped)
    figures.update(reader_p50_us=reader["p50_us"], reader_p99_us=reader["p99_us"])
    figures["dropped"] = dropped
    return figures


def plain_reader_latency(pty_path, master):
    """os.read in a thread, cutting the stream into messages, and a queue."""
    fd = os.open(pty_path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    messages = queue.Queue()

    def read():
        # Ends with the last message: a thread left blocked in os.read would
        # take the bytes of the next consumer's round.
        pending = b""
        count = 0
        while count < MESSAGES:
            data = os.read(fd, 4096)
            if not data:
                return
            pending += data
            while len(pending) >= MESSAGE_LENGTH:
                if pending[0] != STATUS_CODE:
                    pending = pending[1:]
                    continue
                messages.put(MESSAGE.unpack_from(pending)[1])
                pending = pending[MESSAGE_LENGTH:]
                count += 1

    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    writer = Writer(master)
    received = {}
    writer.go()
    while len(received) < MESSAGES:
        # The clock after the get: in `d[get()] = clock()` it would run first.
        seq = messages.get(timeout=10)
        received[seq] = time.monotonic()
    written = writer.times()
    thread.join()
    os.close(fd)
    return latency_figures(written, received)


def reader_cpu_seconds():
    """Scheduler run time of this process's reader thread, in seconds."""
    for task in pathlib.Path("/proc/self/task").iterdir():
        if (task / "comm").read_text().strip() == READER_NAME:
            return int((task / "schedstat").read_text().split()[0]) / 1e9
    raise RuntimeError("no listener reader thread")


def streaming(program):
    """A handle streaming as fast as the pty takes: events delivered to a
    `for` loop per second, and the reader thread's share of one core."""
    with VirtualDevice("handle", "--stream-hz", "max", program=program) as device:
        handle = T.Handle(T.SerialStream(device.path))
        with HandleListener(handle) as listener:
            time.sleep(0.2)  # settled: the stream flows
            while listener.get(0) is not None:
                pass
            dropped_before = listener.dropped
            cpu_before, start = reader_cpu_seconds(), time.monotonic()
            events = 0
            for _ in listener:
                events += 1
                if events % 1000 == 0 and time.monotonic() - start >= STREAM_SECONDS:
                    break
            elapsed = time.monotonic() - start
            cpu = reader_cpu_seconds() - cpu_before
            dropped = listener.dropped - dropped_before
            skipped = listener.skipped
    return {
        "events_per_s": events / elapsed,
        "dropped_per_s": dropped / elapsed,
        "skipped": skipped,
        "reader_cpu_share": cpu / elapsed,
        "seconds": elapsed,
    }


LATENCY_ROWS = {
    "iterator": lambda path, master: listener_latency(path, master, through_iterator),
    "asyncio": lambda path, master: listener_latency(path, master, through_asyncio),
    "plain_reader": plain_reader_latency,
}


def measure(program):
    """Every figure of this file, as one dict."""
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    rounds = {key: [] for key in LATENCY_ROWS}
    try:
        for number in range(ROUNDS):
            keys = list(LATENCY_ROWS)
            shift = number % len(keys)
            for key in keys[shift:] + keys[:shift]:
                rounds[key].append(LATENCY_ROWS[key](path, master))
    finally:
        os.close(master)
        os.close(slave)
    results = {"messages": MESSAGES, "pace_us": PACE_S * 1e6, "rounds": ROUNDS}
    for key, figures in rounds.items():
        results[key] = {name: statistics.median(f[name] for f in figures) for name in figures[0]}
        results[key]["rounds"] = figures
    results["streaming"] = streaming(program)
    return results


def lines(results):
    """The figures as the report's lines."""
    out = [
        f"Handle listener, event latency from the write of a message's last byte on the pty "
        f"({results['messages']} status messages, one every {results['pace_us']:.0f} µs; "
        f"medians of {results['rounds']} rounds):"
    ]
    for key, label in (
        ("iterator", "HandleListener, for loop"),
        ("asyncio", "HandleListener, async for"),
        ("plain_reader", "plain Python reader (os.read thread + queue)"),
    ):
        f = results[key]
        text = f"- {label}: p50 {f['p50_us']:.1f} µs, p99 {f['p99_us']:.1f} µs"
        if "reader_p50_us" in f:
            text += (
                f" (reader thread's time stamp: p50 {f['reader_p50_us']:.1f} µs, "
                f"p99 {f['reader_p99_us']:.1f} µs; dropped {f['dropped']})"
            )
        out.append(text)
    s = results["streaming"]
    out.append(
        f"- streaming at the pty's pace for {s['seconds']:.1f} s: "
        f"{s['events_per_s']:,.0f} events/s delivered to a for loop, "
        f"{s['dropped_per_s']:,.0f} dropped/s, skipped {s['skipped']}, "
        f"reader thread {s['reader_cpu_share']:.0%} of one core"
    )
    return out


# The command line, one option a row (options.py says how a row reads).
OPTIONS = [
    ("--virtual-device", str, REQUIRED, "the torvi-virtual-device program"),
    ("--json", bool, False, "also print the figures as JSON"),
    ("--quiet-wait", float, 120.0, "seconds to wait for a quiet machine"),
]


def main():
    args = options_parser(__doc__, OPTIONS).parse_args()
    log(f"other work on the machine: {QuietWait(args.quiet_wait, log)():.0%} of its cores")
    results = measure(args.virtual_device)
    print("\n".join(lines(results)))
    if args.json:
        print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
