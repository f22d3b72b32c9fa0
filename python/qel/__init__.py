"""qel for Python: GigE Vision blocks received by the qel adapter, as numpy arrays over the
library's own buffers.

    import qel
    with qel.Stream(local="127.0.0.1", port=50000, camera="127.0.0.1") as s:
        for frame in s:
            print(frame.block_id, frame.array.shape)
"""

from ._stream import PIXEL_FORMATS, Frame, QelError, Stream, Timeout, library

__all__ = ["Frame", "PIXEL_FORMATS", "QelError", "Stream", "Timeout", "library"]
__version__ = "2.0.1.0"
