"""Camera control from Python, with qel-camsim as a GigE Vision device on 127.0.0.2."""

from __future__ import annotations

import numpy as np
import pytest

import qel
from conftest import DEVICE_ADDRESS, expected_frame, free_port

DEVICE_ID = "qel-camsim-CS0001"


def test_without_the_camera_library_control_is_a_clear_error(monkeypatch, tmp_path):
    monkeypatch.setattr(qel._camera, "_library", None)
    monkeypatch.setenv("QEL_CAMERA_LIBRARY", str(tmp_path / "libqelcamera.so.1"))
    for attempt in (qel.list_cameras, lambda: qel.Camera(DEVICE_ADDRESS)):
        with pytest.raises(qel.CameraUnavailable, match="camera control is not available"):
            attempt()


def test_discovery_lists_the_device(device):
    device()
    found = {c.address: c for c in qel.list_cameras()}
    assert DEVICE_ADDRESS in found, found
    camera = found[DEVICE_ADDRESS]
    assert camera.id == DEVICE_ID
    assert camera.interface_address == "127.0.0.1" and camera.interface_name == "lo"


@pytest.mark.parametrize("pixel_format", ["Mono8", "RGB8"])
def test_a_controlled_camera_streams_what_it_draws(device, pixel_format):
    """Configured, pointed at the stream and started by it: every frame complete, lost packets
    resent, pixels equal to the simulator's; acquisition stops with the stream."""
    device("--loss", "20")
    drawn = ("--width", "64", "--height", "48", "--pixel-format", pixel_format)
    with qel.Camera(DEVICE_ADDRESS, pixel_format=pixel_format, width=64, height=48,
                    frame_rate=50, packet_size=1400) as cam:
        assert cam.payload_size == 64 * 48 * (3 if pixel_format == "RGB8" else 1)
        with qel.Stream(port=free_port(), camera=cam, buffers=8, block_timeout_ms=10000,
                        resend_timeout_ms=500, max_requests=50) as s:
            assert cam.acquiring
            for frame in s.frames(8, timeout=60):
                assert frame.complete and frame.pixel_format_name == pixel_format
                # Each acquisition starts again at frame 0, block id 1.
                np.testing.assert_array_equal(frame.array,
                                              expected_frame(frame.block_id - 1, *drawn))
            stats = s.stats()
        assert not cam.acquiring and not cam.closed
    assert stats["resend_requests"] > 0 and stats["blocks_dropped"] == 0


def test_control_is_exclusive_and_given_back_on_every_path(device):
    device()
    with qel.Camera(DEVICE_ADDRESS) as held:
        with pytest.raises(qel.CameraError) as busy:
            qel.Camera(DEVICE_ADDRESS)
        assert busy.value.code == qel._camera.EBUSY and "another client" in busy.value.text
    # A setting the camera refuses fails the opening, which gives control back.
    with pytest.raises(qel.CameraError) as refused:
        qel.Camera(DEVICE_ADDRESS, pixel_format="NoSuchFormat")
    assert refused.value.name == "EINVAL" and "NoSuchFormat" in str(refused.value)
    with pytest.raises(ValueError):
        qel.Camera(DEVICE_ADDRESS, width=64)
    cam = qel.Camera(DEVICE_ADDRESS)
    assert repr(cam).startswith(f"<qel.Camera {DEVICE_ID} at {DEVICE_ADDRESS}")
    cam.close()
    cam.close()  # twice is fine
    with pytest.raises(ValueError, match="closed"):
        cam.start()
    # Collected without close: control comes back too.
    cam = qel.Camera(DEVICE_ADDRESS)
    del cam
    qel.Camera(DEVICE_ADDRESS).close()
    assert held.closed
