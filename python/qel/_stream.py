"""Streams and frames: the receive side of qel for Python."""

from __future__ import annotations

import collections
import ctypes
import socket
import struct
import threading
import time
from typing import Iterator, Optional, Union

import numpy as np

from . import _lib
from ._camera import Camera

# Pixel formats the front end gives a typed array for: code -> (name, numpy type, channels).
# The unpacked 10-, 12- and 14-bit formats sit in the low bits of 16-bit little-endian words.
PIXEL_FORMATS: dict[int, tuple[str, str, int]] = {
    0x01080001: ("Mono8", "|u1", 1),
    0x01100003: ("Mono10", "<u2", 1),
    0x01100005: ("Mono12", "<u2", 1),
    0x01100025: ("Mono14", "<u2", 1),
    0x01100007: ("Mono16", "<u2", 1),
    0x02180014: ("RGB8", "|u1", 3),
    0x02180015: ("BGR8", "|u1", 3),
    0x01080008: ("BayerGR8", "|u1", 1),
    0x01080009: ("BayerRG8", "|u1", 1),
    0x0108000A: ("BayerGB8", "|u1", 1),
    0x0108000B: ("BayerBG8", "|u1", 1),
    0x0110000C: ("BayerGR10", "<u2", 1),
    0x0110000D: ("BayerRG10", "<u2", 1),
    0x0110000E: ("BayerGB10", "<u2", 1),
    0x0110000F: ("BayerBG10", "<u2", 1),
    0x01100010: ("BayerGR12", "<u2", 1),
    0x01100011: ("BayerRG12", "<u2", 1),
    0x01100012: ("BayerGB12", "<u2", 1),
    0x01100013: ("BayerBG12", "<u2", 1),
    0x0110002E: ("BayerGR16", "<u2", 1),
    0x0110002F: ("BayerRG16", "<u2", 1),
    0x01100030: ("BayerGB16", "<u2", 1),
    0x01100031: ("BayerBG16", "<u2", 1),
}

GVCP_PORT = 3956
_POLL_SLICE_MS = 100  # longest single wait in the driver, so that Ctrl-C is seen
_IDLE_PAUSE_S = 0.0002  # between polls of the calls that never wait
# Results that mean one block was lost (and counted by the library); receiving goes on.
_LOST = {_lib.ENOMEM: "too_large", _lib.ENOBUFS: "no_buffer", _lib.EORDER: "out_of_order"}

_library: Optional[ctypes.CDLL] = None
_library_lock = threading.Lock()


def library() -> ctypes.CDLL:
    """libqel, loaded and initialised on first use."""
    global _library
    with _library_lock:
        if _library is None:
            lib = _lib.load()
            rc = lib.qel_init(_lib.API_VERSION)
            if rc != 0:
                raise QelError(rc, "qel_init", lib)
            _library = lib
        return _library


class QelError(Exception):
    """A call of the library failed: `code` is its result code, `text` the library's text."""

    def __init__(self, code: int, call: str, lib: Optional[ctypes.CDLL] = None) -> None:
        self.code = code
        self.call = call
        self.text = (lib or library()).qel_strerror(code).decode(errors="replace")
        super().__init__(f"{call}: {self.text} ({code})")


class Timeout(QelError, TimeoutError):
    """No block came within the time given."""


def _check(rc: int, call: str) -> None:
    if rc != 0:
        raise QelError(rc, call)


def _ipv4(address: str) -> int:
    """An IPv4 address as the library wants it: a 32-bit number in network byte order."""
    return struct.unpack("=I", socket.inet_aton(address))[0]


class _Lease:
    """One qel buffer lent out with a block. Its numpy arrays keep it alive, so the buffer goes
    back to the library only when neither the frame nor any array over its memory is left."""

    __slots__ = ("__array_interface__", "_stream", "_buffer", "__weakref__")

    def __init__(self, stream: "Stream", buffer: int, interface: dict) -> None:
        self._stream = stream
        self._buffer = buffer
        self.__array_interface__ = interface

    def __del__(self) -> None:
        self._stream._returned(self._buffer)


class Frame:
    """A received block. `array` is a numpy array over the block in its qel buffer (no copy);
    the buffer is queued again by `release()`, at the end of a `with` block, or when the frame
    and every array taken from it are gone. After release, `array` raises."""

    __slots__ = (
        "_lease",
        "_array",
        "block_id",
        "timestamp",
        "host_time",
        "status",
        "payload_type",
        "payload_length",
        "pixel_format",
        "width",
        "height",
        "complete",
        "data_address",
    )

    def __init__(self, lease: _Lease, block: _lib.Block, complete: bool) -> None:
        self._lease: Optional[_Lease] = lease
        self._array: Optional[np.ndarray] = None
        self.block_id: int = block.block_id
        self.timestamp: int = block.timestamp  # the camera's
        self.host_time: int = block.host_time  # the adapter's, 0 when it gave none
        self.status: int = block.status  # GVSP status word
        self.payload_type: int = block.payload_type
        self.payload_length: int = block.payload_length
        self.complete: bool = complete
        self.data_address: int = block.data  # where the block starts in its buffer
        shape = lease.__array_interface__["shape"]
        image = len(shape) > 1
        self.pixel_format: Optional[int] = _image_format(block) if image else None
        self.height: Optional[int] = shape[0] if image else None
        self.width: Optional[int] = shape[1] if image else None

    @property
    def array(self) -> np.ndarray:
        """The block's data: (height, width) or (height, width, 3) for images of the formats
        in PIXEL_FORMATS, else the payload's bytes. Valid while the frame is held."""
        if self._lease is None:
            raise ValueError(f"frame {self.block_id} was released: its buffer is the library's")
        if self._array is None:
            self._array = np.asarray(self._lease)
        return self._array

    @property
    def pixel_format_name(self) -> Optional[str]:
        entry = PIXEL_FORMATS.get(self.pixel_format or 0)
        return entry[0] if entry else None

    @property
    def released(self) -> bool:
        return self._lease is None

    def release(self) -> None:
        """Gives the buffer back. An array taken from the frame and still referenced keeps the
        buffer until it is gone too, so its memory is never overwritten under it."""
        self._array = None
        self._lease = None

    def __enter__(self) -> "Frame":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __repr__(self) -> str:
        what = self.pixel_format_name or f"payload type {self.payload_type:#x}"
        state = "released" if self._lease is None else "held"
        return f"<qel.Frame {self.block_id} {what} {self.payload_length} bytes, {state}>"


def _image_format(block: _lib.Block) -> int:
    if block.payload_type == _lib.PAYLOAD_EXTENDED_CHUNK:
        return block.u.ext_chunk.pixel_format
    return block.u.image.pixel_format


def _interface(block: _lib.Block, capacity: int) -> dict:
    """numpy's description of the block's memory: a typed image when the leader names a known
    format and the sizes fit the buffer, else the payload as bytes. Nothing the wire says is
    trusted beyond the buffer's end."""
    length = min(block.payload_length, capacity)
    image = None
    if block.payload_type in (_lib.PAYLOAD_IMAGE, _lib.PAYLOAD_IMAGE_EXTENDED_CHUNK):
        image = block.u.image
    elif block.payload_type == _lib.PAYLOAD_EXTENDED_CHUNK:
        image = block.u.ext_chunk
    entry = PIXEL_FORMATS.get(image.pixel_format) if image is not None else None
    if entry is not None and image.size_x > 0 and image.size_y > 0:
        _, typestr, channels = entry
        pixel = int(typestr[2]) * channels
        row = image.size_x * pixel + image.padding_x
        needed = row * (image.size_y - 1) + image.size_x * pixel
        if needed <= length:
            shape = (image.size_y, image.size_x) + ((channels,) if channels > 1 else ())
            strides = (row, pixel) + ((pixel // channels,) if channels > 1 else ())
            return {
                "data": (block.data, False),
                "shape": shape,
                "strides": strides,
                "typestr": typestr,
                "version": 3,
            }
    return {"data": (block.data, False), "shape": (length,), "typestr": "|u1", "version": 3}


ResendCallback = _lib.RESEND_CALLBACK


class Stream:
    """A stream of blocks from one camera, received through the qel adapter.

    `local` is the adapter interface's IPv4 address the camera sends to, `port` the UDP port.
    `camera` (an address, or an (address, port) pair; port 3956 by default) is where packet
    resend requests go: with it the stream is zero-loss unless `resend=False`. A `qel.Camera`
    there is also controlled: it is pointed at `local` (by default the interface that reaches
    it) and `port`, its acquisition starts once the buffers are queued and stops when the
    stream closes (the camera itself stays open), and `buffer_size` defaults to its payload. `group` receives
    a multicast group instead. `worker=True` attaches the library's receive worker thread
    (pinned to processor `cpu` when it is not 0). `buffers` buffers of `buffer_size` bytes are
    queued; a frame holds one until it is released.

    A stream is used from one thread at a time.
    """

    def __init__(
        self,
        local: Optional[str] = None,
        port: int = 50000,
        *,
        camera: Union[str, tuple[str, int], Camera, None] = None,
        group: Optional[str] = None,
        buffers: int = 16,
        buffer_size: Optional[int] = None,
        resend: Optional[bool] = None,
        worker: bool = False,
        cpu: int = 0,
        keep_incomplete: bool = False,
        extended_ids: bool = False,
        block_timeout_ms: int = 1000,
        resend_timeout_ms: int = 50,
        max_requests: int = 16,
    ) -> None:
        self._lib = library()
        self._stream = ctypes.c_void_p()
        self._buffers: list[int] = []
        self._leased: set[int] = set()
        self._returns: collections.deque[int] = collections.deque()
        self._closed = True
        self._block = _lib.Block()
        self._pr = _lib.PrStatus()
        self._req_id = 1
        self._callback = None
        self._next_series = 1
        self._lost = dict.fromkeys(_LOST.values(), 0)
        self._controlled: Optional[Camera] = None
        controlled = camera if isinstance(camera, Camera) else None
        if controlled is not None:
            local = local or controlled.info.interface_address
            buffer_size = buffer_size or controlled.payload_size
            camera = (controlled.address, GVCP_PORT)
        if not local:
            raise ValueError("the stream needs the local address (or a qel.Camera to find it)")
        if buffer_size is None:
            buffer_size = 16 << 20
        self._buffer_size = buffer_size
        if buffers < 1 or buffer_size < 1:
            raise ValueError("buffers and buffer_size must be at least 1")
        if resend and camera is None:
            raise ValueError("resend needs the camera's address")
        self._resend = camera is not None and resend is not False
        if self._resend and group is not None:
            raise ValueError("a multicast stream cannot ask for packets again")
        self._worker = worker

        lib = self._lib
        local_addr = _lib.u32(_ipv4(local))
        flags = _lib.OPEN_KEEP_INCOMPLETE if keep_incomplete else _lib.OPEN_DROP_INCOMPLETE
        if extended_ids:
            flags |= _lib.OPEN_EXTENDED_ID
        if self._resend:
            address, camera_port = (camera, GVCP_PORT) if isinstance(camera, str) else camera
            options = _lib.StreamOptions(
                flags=flags | _lib.OPEN_ZEROLOSS,
                block_timeout=block_timeout_ms,
                resend_timeout=resend_timeout_ms,
                max_requests=max_requests,
                order_mode=2,
                camera_addr=_ipv4(address),
                camera_port=camera_port,
            )
            rc = lib.qel_open_stream_pr(
                ctypes.byref(local_addr), port, ctypes.byref(self._stream), options, None
            )
            call = "qel_open_stream_pr"
        elif group is not None:
            group_addr = _lib.u32(_ipv4(group))
            rc = lib.qel_open_mcast_stream(
                ctypes.byref(local_addr),
                ctypes.byref(group_addr),
                port,
                ctypes.byref(self._stream),
                flags,
                None,
            )
            call = "qel_open_mcast_stream"
        else:
            rc = lib.qel_open_stream(
                ctypes.byref(local_addr), port, ctypes.byref(self._stream), flags, None
            )
            call = "qel_open_stream"
        _check(rc, call)
        self._closed = False
        try:
            for _ in range(buffers):
                buffer = ctypes.c_void_p()
                _check(
                    lib.qel_alloc(self._stream, buffer_size, ctypes.byref(buffer)), "qel_alloc"
                )
                self._buffers.append(buffer.value)
                rc = lib.qel_queue_buffer(buffer)
                if rc not in (0, _lib.EAGAIN):
                    self._buffers.pop()  # the library released it with the failure
                _check(rc, "qel_queue_buffer")
            if worker:
                if self._resend:
                    self._callback = ResendCallback(self._on_resend_series)
                else:
                    self._callback = ResendCallback()  # a null callback
                _check(
                    lib.qel_create_recv_worker(self._stream, cpu, self._callback),
                    "qel_create_recv_worker",
                )
                _check(lib.qel_start_recv_worker(self._stream), "qel_start_recv_worker")
            if controlled is not None:
                # Every buffer is queued: the first block finds one.
                controlled.set_destination(local, port)
                controlled.start()
                self._controlled = controlled
        except BaseException:
            self.close()
            raise

    def _on_resend_series(self, _stream: int, req_id, max_requests) -> int:
        # On the worker thread: gives each series of resend requests ids of its own.
        count = 16
        req_id[0] = self._next_series
        max_requests[0] = count
        self._next_series = (self._next_series + count) % 0xFFF0 or 1
        return 0

    # ---- receiving ----

    def get(self, timeout: Optional[float] = None) -> Frame:
        """The next block as a Frame; waits up to `timeout` seconds (None: as long as it takes).
        Blocks lost on the way (too large, no buffer, out of order) are counted in stats() and
        passed over. Raises Timeout when none came in time, QelError on a failure."""
        if self._closed:
            raise ValueError("the stream is closed")
        lib, stream, block = self._lib, self._stream, self._block
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            self._requeue_returned()
            if self._worker:
                rc = lib.qel_poll_recv(stream, block, 0)
                waits = False
            elif self._resend:
                rc = lib.qel_poll_recv_pr(stream, block, self._req_id, self._pr)
                self._req_id = self._pr.req_id or 1
                waits = False
            else:
                left = _POLL_SLICE_MS
                if deadline is not None:
                    left = max(0, min(left, int((deadline - time.monotonic()) * 1000)))
                rc = lib.qel_poll_recv(stream, block, left)
                waits = True
            if rc == 0:
                return self._frame(block)
            if rc in _LOST:
                self._lost[_LOST[rc]] += 1
                continue
            if rc not in (_lib.EAGAIN, _lib.ETIMEDOUT):
                raise QelError(rc, "qel_poll_recv")
            if deadline is not None and time.monotonic() >= deadline:
                if self._controlled is not None:
                    self._controlled.check_control()  # a camera that went away says so
                raise Timeout(_lib.ETIMEDOUT, "Stream.get")
            if not waits:
                time.sleep(_IDLE_PAUSE_S)

    def _frame(self, block: _lib.Block) -> Frame:
        buffer = block.buffer
        self._leased.add(buffer)
        lease = _Lease(self, buffer, _interface(block, self._buffer_size))
        complete = self._pr.status != 3 if self._resend else True
        return Frame(lease, block, complete)

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def frames(self, count: Optional[int] = None, timeout: Optional[float] = None) -> Iterator[Frame]:
        """Yields `count` frames (None: until the stream closes), each waited for up to
        `timeout` seconds. Each frame is released when the next is asked for, and when the loop
        ends in any way (break, exception)."""
        taken = 0
        while (count is None or taken < count) and not self._closed:
            frame = self.get(timeout)
            taken += 1
            try:
                yield frame
            finally:
                frame.release()

    # ---- buffers ----

    def _returned(self, buffer: int) -> None:
        # From a lease's finaliser: at any point of the program, so nothing is called here
        # while the stream is open; get() queues the buffer again.
        if self._closed:
            self._leased.discard(buffer)
            self._lib.qel_free(buffer)
        else:
            self._returns.append(buffer)

    def _requeue_returned(self) -> None:
        while self._returns:
            buffer = self._returns.popleft()
            self._leased.discard(buffer)
            _check(self._lib.qel_queue_buffer(buffer), "qel_queue_buffer")

    @property
    def frames_held(self) -> int:
        """Buffers lent out with frames (or their arrays) and not yet given back."""
        self._requeue_returned()
        return len(self._leased)

    # ---- counters ----

    def stats(self) -> dict[str, int]:
        """The library's counters of the stream, its delivered and dropped blocks, the blocks
        this front end passed over by reason (lost_*), and the frames held."""
        stats, info = _lib.Stats(), _lib.Info()
        _check(self._lib.qel_get_stats(self._stream, stats), "qel_get_stats")
        _check(self._lib.qel_info(self._stream, info), "qel_info")
        out = {name: getattr(stats, name) for name in _lib.STATS_FIELDS}
        out["delivered"] = info.delivered
        out["dropped"] = info.dropped
        out.update({f"lost_{reason}": n for reason, n in self._lost.items()})
        out["frames_held"] = self.frames_held
        return out

    # ---- closing ----

    def close(self) -> None:
        """Closes the stream (its worker too) and frees every buffer no array still uses; those
        are freed when their last array goes."""
        if self._closed:
            return
        self._requeue_returned()
        self._closed = True
        controlled, self._controlled = self._controlled, None
        if controlled is not None and not controlled.closed:
            try:
                controlled.stop()
            except Exception:
                pass  # a camera that is gone cannot stop; the stream still closes
        rc = self._lib.qel_close_stream(self._stream)
        for buffer in self._buffers:
            if buffer not in self._leased:
                self._lib.qel_free(buffer)
        self._buffers = []
        _check(rc, "qel_close_stream")

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            self.close()
