"""The Python front end against the camera simulator."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import qel
from conftest import expected_frame, free_port

SMALL = ("--width", "64", "--height", "48")
SMALL_BUFFERS = dict(buffer_size=1 << 16)


@pytest.mark.parametrize("pixel_format, shape", [("Mono8", (48, 64)), ("RGB8", (48, 64, 3))])
def test_frames_equal_what_the_camera_sent(camera, pixel_format, shape):
    port = free_port()
    drawn = (*SMALL, "--pixel-format", pixel_format)
    with qel.Stream("127.0.0.1", port, buffers=4, **SMALL_BUFFERS) as s:
        camera(port, *drawn, "--frames", "6", "--fps", "100", "--no-control").start()
        for frame in s.frames(6, timeout=30):
            assert frame.pixel_format_name == pixel_format
            assert (frame.width, frame.height) == (64, 48)
            assert frame.array.shape == shape and frame.array.dtype == np.uint8
            assert frame.complete
            np.testing.assert_array_equal(frame.array, expected_frame(frame.block_id - 1, *drawn))
        assert s.stats()["blocks_complete"] == 6


@pytest.mark.parametrize("worker", [False, True], ids=["poll", "worker"])
def test_no_frame_lost_at_one_percent_loss_with_resend(camera, worker):
    port, frames = free_port(), 40
    cam = camera(port, *SMALL, "--frames", str(frames), "--fps", "50", "--loss", "10",
                 "--linger", "30")
    received = {}
    # Buffers and limits a loaded machine keeps to: resent blocks hold their buffers a while,
    # and the camera may be slow to answer. Frames are checked once all are in.
    with qel.Stream("127.0.0.1", port, camera=cam.address, buffers=32, worker=worker,
                    block_timeout_ms=10000, resend_timeout_ms=500, max_requests=50,
                    **SMALL_BUFFERS) as s:
        cam.start()
        try:
            for frame in s.frames(frames, timeout=60):
                received[frame.block_id] = frame.array.copy()
        except qel.Timeout:
            pytest.fail(f"{len(received)} frames of {frames}; {s.stats()}")
        stats = s.stats()
    assert list(received) == list(range(1, frames + 1))
    for block_id, pixels in received.items():
        np.testing.assert_array_equal(pixels, expected_frame(block_id - 1, *SMALL))
    assert stats["resend_requests"] > 0
    assert stats["blocks_dropped"] == 0


def test_arrays_are_the_buffers_memory(camera):
    """No copy: each array is a view of the block in its qel buffer, and with two buffers all
    frames come in the same two places."""
    port = free_port()
    places = set()
    with qel.Stream("127.0.0.1", port, buffers=2, **SMALL_BUFFERS) as s:
        camera(port, *SMALL, "--fps", "100", "--no-control").start()
        for frame in s.frames(8, timeout=30):
            a = frame.array
            assert not a.flags.owndata
            assert a.ctypes.data == frame.data_address
            assert frame.array is a  # one view per frame, made once
            places.add(a.ctypes.data)
    assert len(places) == 2


class Boom(Exception):
    pass


def test_buffers_come_back_on_every_path(camera):
    port = free_port()
    with qel.Stream("127.0.0.1", port, buffers=2, **SMALL_BUFFERS) as s:
        camera(port, *SMALL, "--fps", "100", "--no-control").start()

        for frame in s:  # break out of the loop
            break
        assert s.frames_held == 0 and frame.released

        with pytest.raises(Boom):  # an exception in the loop
            for frame in s:
                raise Boom
        assert s.frames_held == 0

        with s.get(timeout=30) as frame:  # the frame's with block
            pass
        assert s.frames_held == 0

        frame = s.get(timeout=30)  # dropped unreleased: collected
        assert s.frames_held == 1
        del frame
        gc.collect()
        assert s.frames_held == 0

        # An array outlives its frame's release: the buffer stays out until the array goes.
        frame = s.get(timeout=30)
        kept = frame.array
        want = expected_frame(frame.block_id - 1, *SMALL)
        frame.release()
        with pytest.raises(ValueError, match="released"):
            frame.array
        for _ in range(4):  # the other buffer goes round; the kept one is not written
            s.get(timeout=30).release()
        assert s.frames_held == 1
        np.testing.assert_array_equal(kept, want)
        del kept
        assert s.frames_held == 0

        # An array that outlives the stream still reads its block; it frees the buffer last.
        frame = s.get(timeout=30)
        kept = frame.array
        want = expected_frame(frame.block_id - 1, *SMALL)
    np.testing.assert_array_equal(kept, want)
    del kept, frame


def test_failures_raise_with_the_librarys_code_and_text(camera):
    port = free_port()
    with pytest.raises(qel.QelError) as nowhere:
        qel.Stream("192.0.2.1", port, buffers=1, **SMALL_BUFFERS)
    assert nowhere.value.code == 19  # no board carries the address: "no such device"
    assert nowhere.value.text in str(nowhere.value) and nowhere.value.text

    with qel.Stream("127.0.0.1", port, buffers=1, **SMALL_BUFFERS) as s:
        with pytest.raises(qel.QelError) as taken:  # the port is the first stream's
            qel.Stream("127.0.0.1", port, buffers=1, **SMALL_BUFFERS)
        assert taken.value.code == 16
        with pytest.raises(qel.Timeout) as waited:
            s.get(timeout=0.05)
        assert isinstance(waited.value, TimeoutError) and waited.value.code == 138

        # A block larger than the buffer is passed over and counted.
        camera(port, "--width", "640", "--height", "480", "--fps", "100", "--no-control").start()
        with pytest.raises(qel.Timeout):
            s.get(timeout=0.5)
        assert s.stats()["lost_too_large"] > 0

    with pytest.raises(ValueError):
        qel.Stream("127.0.0.1", port, resend=True)


def test_python_m_qel_receives_frames(camera):
    port = free_port()
    cam = camera(port, *SMALL, "--fps", "100")
    env = dict(os.environ, PYTHONPATH=str(Path(qel.__file__).parent.parent))
    tool = subprocess.Popen(
        [sys.executable, "-m", "qel", "--port", str(port), "--frames", "3", "--timeout", "30",
         "--camera", cam.address[0], "--camera-port", str(cam.address[1])],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    # The tool's stream may open after the first frames: those are lost, later ones come.
    cam.start()
    out, err = tool.communicate(timeout=120)
    assert tool.returncode == 0, err
    assert out.count("Mono8 (48, 64)") == 3
    assert "blocks_complete 3" in out


@pytest.mark.parametrize(
    "pixel_format, width, height, padding, payload, capacity, want",
    [
        # name, sizes, padding per row, bytes received, buffer bytes: shape, type, row stride
        ("Mono8", 4, 2, 0, 8, 64, ((2, 4), "uint8", 4)),
        ("Mono16", 4, 2, 0, 16, 64, ((2, 4), "<u2", 8)),
        ("RGB8", 4, 2, 0, 24, 64, ((2, 4, 3), "uint8", 12)),
        ("BGR8", 4, 2, 4, 28, 64, ((2, 4, 3), "uint8", 16)),  # padded rows, last one short
        ("BayerRG8", 4, 2, 0, 8, 64, ((2, 4), "uint8", 4)),
        ("BayerGB12", 4, 2, 0, 16, 64, ((2, 4), "<u2", 8)),
        # What the block cannot hold comes as the bytes there are, never beyond the buffer.
        ("Mono16", 4, 2, 0, 15, 64, ((15,), "uint8", 1)),
        ("Mono8", 0xFFFFFFFF, 0xFFFFFFFF, 0, 1 << 31, 64, ((64,), "uint8", 1)),
        ("YUV422_8", 4, 2, 0, 16, 64, ((16,), "uint8", 1)),
    ],
)
def test_array_shape_follows_the_leader(pixel_format, width, height, padding, payload, capacity,
                                        want):
    from qel import _lib, _stream

    codes = {name: code for code, (name, _, _) in qel.PIXEL_FORMATS.items()}
    codes["YUV422_8"] = 0x02100032
    memory = np.zeros(capacity, dtype=np.uint8)
    block = _lib.Block(payload_type=1, payload_length=payload, data=memory.ctypes.data)
    block.u.image.pixel_format = codes[pixel_format]
    block.u.image.size_x, block.u.image.size_y = width, height
    block.u.image.padding_x = padding

    class View:
        __array_interface__ = _stream._interface(block, capacity)

    array = np.asarray(View())
    shape, dtype, row = want
    assert (array.shape, array.dtype, array.strides[0]) == (shape, np.dtype(dtype), row)
    assert array.ctypes.data == memory.ctypes.data
