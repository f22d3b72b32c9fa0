"""qel for Python: GigE Vision blocks received by the qel adapter, as numpy arrays over the
library's own buffers.

    import qel
    with qel.Stream(local="127.0.0.1", port=50000, camera="127.0.0.1") as s:
        for frame in s:
            print(frame.block_id, frame.array.shape)

Where qel was built with camera control (libqelcamera, over Aravis), a camera is found,
configured and started too:

    with qel.Camera("192.168.1.20", pixel_format="Mono8") as cam, \
            qel.Stream(port=50000, camera=cam) as s:
        frame = s.get(timeout=5)
"""

from ._camera import Camera, CameraError, CameraInfo, CameraUnavailable, list_cameras
from ._stream import PIXEL_FORMATS, Frame, QelError, Stream, Timeout, library

__all__ = [
    "Camera",
    "CameraError",
    "CameraInfo",
    "CameraUnavailable",
    "Frame",
    "PIXEL_FORMATS",
    "QelError",
    "Stream",
    "Timeout",
    "library",
    "list_cameras",
]
__version__ = "2.0.1.0"
