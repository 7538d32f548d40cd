#!/usr/bin/env python3
"""Measures how long the disk under a folder takes to make a small write durable.

Every message the server echoes was first made durable by one fdatasync() of SQLite's log, so
the slowest of these calls bound the server's latency: a message that arrives while one is in
flight waits for it. This writes 16 KiB and calls fdatasync() in a loop, as a commit does, at
a given rate for a given time, and prints the spread of those calls.

    bench/fsyncprobe.py [--dir DIR] [--rate PER_SECOND] [--seconds S]
"""

import argparse
import os
import tempfile
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="folder on the disk to probe")
    parser.add_argument("--rate", type=float, default=1000, help="calls per second (default 1000)")
    parser.add_argument("--seconds", type=float, default=10, help="how long (default 10)")
    args = parser.parse_args()

    block = b"x" * 16384
    # Written round a file of fixed size, as SQLite's log is once it has grown, so that no call
    # has to record a new file size.
    span = 4096 * 1000
    durations = []
    with tempfile.NamedTemporaryFile(dir=args.dir) as probe:
        fd = probe.fileno()
        os.ftruncate(fd, span)
        os.fsync(fd)
        offset = 0
        interval = 1.0 / args.rate
        end = time.monotonic() + args.seconds
        next_call = time.monotonic()
        while time.monotonic() < end:
            os.pwrite(fd, block, offset)
            offset = (offset + len(block)) % span
            start = time.perf_counter()
            os.fdatasync(fd)
            durations.append((time.perf_counter() - start) * 1000)
            next_call += interval
            pause = next_call - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            else:
                next_call = time.monotonic()

    durations.sort()
    count = len(durations)

    def rank(share):
        return durations[min(count - 1, int(share * count))]

    print(f"fdatasync of 16 KiB in {args.dir}: {count} calls, {count / args.seconds:.0f} a second")
    print(f"  p50 {rank(0.5):.2f} ms  p99 {rank(0.99):.2f} ms  p99.9 {rank(0.999):.2f} ms"
          f"  max {durations[-1]:.2f} ms")
    for limit in (3, 5, 10):
        slow = sum(1 for d in durations if d > limit)
        print(f"  over {limit:2d} ms: {slow} ({100.0 * slow / count:.2f} %)")


if __name__ == "__main__":
    main()
