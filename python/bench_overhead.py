"""Python's cost per frame on top of the library's, and a loss check at the simulator's top rate.

    QEL_LIBRARY=build/lib/libqel.so.2 python3 python/bench_overhead.py build/tools/qel-camsim

1. Frames waiting in their buffers are taken one by one with get(), .array and release(); the
   time inside the library's receive call is measured apart and taken off. What is left is what
   Python adds per frame (a C program pays the library's part too).
2. 4 MiB frames (2048x2048 Mono8) at the simulator's top rate with packet resend: frames sent,
   received and lost.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import tempfile
import time

_dirs = tempfile.mkdtemp(prefix="qel-bench-")
os.environ.setdefault("QEL_ADAPTER_IFACES", "lo")
os.environ.setdefault("QEL_ADAPTER_RUN_DIR", _dirs + "/run")
os.environ.setdefault("QEL_ADAPTER_STATE_DIR", _dirs + "/state")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import qel  # noqa: E402


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def camsim(camsim_path: str, port: int, control: int, *args: str) -> subprocess.Popen:
    return subprocess.Popen(
        [camsim_path, "--dest", "127.0.0.1", "--port", str(port), "--control-addr", "127.0.0.1",
         "--control-port", str(control), "--quiet", *args])


class TimedLibrary:
    """The library with the time spent in its receive call added up."""

    def __init__(self, lib) -> None:
        self.lib, self.inside = lib, 0

    def __getattr__(self, name: str):
        return getattr(self.lib, name)

    def qel_poll_recv(self, *args):
        t = time.perf_counter_ns()
        rc = self.lib.qel_poll_recv(*args)
        self.inside += time.perf_counter_ns() - t
        return rc


def overhead(camsim_path: str, frames: int = 200, rounds: int = 5) -> None:
    samples = []
    for _ in range(rounds):
        port = free_port()
        with qel.Stream("127.0.0.1", port, buffers=frames, buffer_size=1 << 16) as s:
            camsim(camsim_path, port, free_port(), "--width", "64", "--height", "48",
                   "--frames", str(frames), "--fps", "2000", "--no-control").wait()
            time.sleep(0.5)  # the last blocks reach their buffers
            timed = TimedLibrary(s._lib)
            s._lib = timed
            got = 0
            start = time.perf_counter_ns()
            try:
                while got < frames:
                    f = s.get(timeout=1)
                    f.array
                    f.release()
                    got += 1
            except qel.Timeout:
                pass
            total = time.perf_counter_ns() - start
            s._lib = timed.lib
            if got:
                samples.append(((total - timed.inside) / got / 1000, timed.inside / got / 1000, got))
    best = min(samples)
    print(f"python overhead per frame: {best[0]:.2f} us (best of {rounds}; "
          f"all: {', '.join(f'{x[0]:.2f}' for x in samples)}); "
          f"library's receive call: {best[1]:.2f} us; frames {best[2]}")


def top_rate(camsim_path: str, frames: int = 200) -> None:
    port, control = free_port(), free_port()
    received, lost_ids = 0, 0
    with qel.Stream("127.0.0.1", port, camera=("127.0.0.1", control), buffers=16,
                    buffer_size=(4 << 20) + 4096, worker=True) as s:
        sender = camsim(camsim_path, port, control, "--width", "2048", "--height", "2048",
                        "--frames", str(frames), "--linger", "5")
        expected = 1
        start = time.perf_counter()
        try:
            for frame in s.frames(frames, timeout=10):
                frame.array
                lost_ids += frame.block_id - expected
                expected = frame.block_id + 1
                received += 1
        except qel.Timeout:
            pass
        seconds = time.perf_counter() - start
        sender.wait()
        stats = s.stats()
    print(f"4 MiB frames at top rate: {received} of {frames} received in {seconds:.2f} s "
          f"({received * 4 / seconds:.0f} MiB/s), {frames - received} lost, resend requests "
          f"{stats['resend_requests']}, dropped {stats['blocks_dropped']}")


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "qel-camsim"
    overhead(path)
    top_rate(path)
