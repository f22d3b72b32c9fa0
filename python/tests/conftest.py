"""What the tests share: the software adapter on loopback alone, in folders of this run, and
the camera simulator (qel-camsim, found through QEL_CAMSIM or the PATH) as the peer."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Callable, Iterator

import numpy as np
import pytest

# The adapter reads these when the library first opens a board: set before any test runs.
_dirs = tempfile.mkdtemp(prefix="qel-python-")
os.environ["QEL_ADAPTER_IFACES"] = "lo"
os.environ["QEL_ADAPTER_RUN_DIR"] = _dirs + "/run"
os.environ["QEL_ADAPTER_STATE_DIR"] = _dirs + "/state"


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    shutil.rmtree(_dirs, ignore_errors=True)


def camsim_path() -> str:
    path = os.environ.get("QEL_CAMSIM") or shutil.which("qel-camsim")
    if not path:
        pytest.skip("qel-camsim not found (set QEL_CAMSIM)")
    return path


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Camera:
    """qel-camsim streaming to 127.0.0.1:port and answering resend requests on control_port."""

    def __init__(self, port: int, *args: str) -> None:
        self.port = port
        self.control_port = free_port()
        self.args = list(args)
        self.process: subprocess.Popen | None = None

    def start(self) -> "Camera":
        self.process = subprocess.Popen(
            [
                camsim_path(),
                "--dest", "127.0.0.1",
                "--port", str(self.port),
                "--control-addr", "127.0.0.1",
                "--control-port", str(self.control_port),
                "--quiet",
                *self.args,
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        return self

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()
        if self.process:
            self.process.communicate(timeout=60)

    @property
    def address(self) -> tuple[str, int]:
        return ("127.0.0.1", self.control_port)


@pytest.fixture
def camera() -> Iterator[Callable[..., Camera]]:
    """camera(port, *options): a simulator, to be started by the test once its stream is
    open (its control port is chosen already); stopped at the end of the test."""
    made: list[Camera] = []

    def make(port: int, *args: str) -> Camera:
        made.append(Camera(port, *args))
        return made[-1]

    yield make
    for c in made:
        c.stop()


def expected_frame(n: int, *args: str) -> np.ndarray:
    """Frame n (counted from 0) as the simulator draws it, from its PGM or PPM output."""
    data = subprocess.run(
        [camsim_path(), "--write-frame", str(n), *args], check=True, capture_output=True
    ).stdout
    fields, at = [], 0
    while len(fields) < 4:  # magic, width, height, maximum value
        while data[at : at + 1].isspace():
            at += 1
        end = at
        while not data[end : end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    pixels = np.frombuffer(data[at + 1 :], dtype=np.uint8)
    width, height = int(fields[1]), int(fields[2])
    channels = 3 if fields[0] == b"P6" else 1
    return pixels.reshape((height, width, channels) if channels == 3 else (height, width))


DEVICE_ADDRESS = "127.0.0.2"  # apart from other cameras on loopback (Aravis's fake one)


@pytest.fixture
def device() -> Iterator[Callable[..., subprocess.Popen]]:
    """device(*options): qel-camsim as a GigE Vision device on 127.0.0.2 (GVCP port 3956),
    returned once its control can be taken; stopped at the end of the test. Skips where camera
    control is not built."""
    import qel

    try:
        qel._camera.library()
    except qel.CameraUnavailable as missing:
        pytest.skip(str(missing))
    started: list[subprocess.Popen] = []

    def start(*args: str) -> subprocess.Popen:
        process = subprocess.Popen(
            [camsim_path(), "--device", "--control-addr", DEVICE_ADDRESS, "--quiet", *args],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        started.append(process)
        # Its first answer takes a moment: wait (generously) until control is taken and given
        # back.
        deadline = time.monotonic() + 60
        while True:
            assert process.poll() is None, f"the device ended: {process.stderr.read()}"
            try:
                qel.Camera(DEVICE_ADDRESS).close()
                return process
            except qel.CameraError:
                if time.monotonic() > deadline:
                    raise
            time.sleep(0.1)

    yield start
    for process in started:
        if process.poll() is None:
            process.terminate()
        process.communicate(timeout=60)
