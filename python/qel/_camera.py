"""Camera control: libqelcamera (over Aravis) through ctypes, where it was built.

The library is optional: without it `list_cameras()` and `Camera()` raise CameraUnavailable,
saying so, and everything else of the package works as before.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from ._lib import open_first

SONAME = "libqelcamera.so.1"

# QELCAM_* results, by name.
CODES = {1: "ENOTFOUND", 2: "EBUSY", 3: "EINVAL", 4: "EIO", 5: "ELOST"}
ENOTFOUND, EBUSY, EINVAL, EIO, ELOST = 1, 2, 3, 4, 5


class _Info(ctypes.Structure):
    """qelcam_info_t."""

    _fields_ = [
        ("id", ctypes.c_char * 128),
        ("address", ctypes.c_char * 16),
        ("vendor", ctypes.c_char * 64),
        ("model", ctypes.c_char * 64),
        ("serial", ctypes.c_char * 64),
        ("interface_name", ctypes.c_char * 32),
        ("interface_address", ctypes.c_char * 16),
    ]


P = ctypes.c_void_p
_SIGNATURES = {
    "qelcam_last_error": (ctypes.c_char_p, []),
    "qelcam_list": (
        ctypes.c_int,
        [ctypes.POINTER(_Info), ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)],
    ),
    "qelcam_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(P)]),
    "qelcam_info": (ctypes.c_int, [P, ctypes.POINTER(_Info)]),
    "qelcam_set_destination": (ctypes.c_int, [P, ctypes.c_char_p, ctypes.c_uint16]),
    "qelcam_set_packet_size": (
        ctypes.c_int,
        [P, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)],
    ),
    "qelcam_set_pixel_format": (ctypes.c_int, [P, ctypes.c_char_p]),
    "qelcam_set_size": (ctypes.c_int, [P, ctypes.c_uint32, ctypes.c_uint32]),
    "qelcam_set_frame_rate": (ctypes.c_int, [P, ctypes.c_double]),
    "qelcam_payload_size": (ctypes.c_int, [P, ctypes.POINTER(ctypes.c_uint32)]),
    "qelcam_start": (ctypes.c_int, [P]),
    "qelcam_stop": (ctypes.c_int, [P]),
    "qelcam_check_control": (ctypes.c_int, [P]),
    "qelcam_close": (None, [P]),
}


class CameraUnavailable(OSError):
    """qel was built without camera control (libqelcamera, which needs Aravis), or it is not
    installed where the package looks."""


class CameraError(Exception):
    """A camera control call failed: `code` is its QELCAM_* result, `name` its name
    ("EBUSY"), `text` the library's reason."""

    def __init__(self, code: int, call: str, text: str) -> None:
        self.code = code
        self.name = CODES.get(code, str(code))
        self.call = call
        self.text = text
        super().__init__(f"{call}: {text} ({self.name})")


def _candidates() -> list[str]:
    given = os.environ.get("QEL_CAMERA_LIBRARY")
    if given:
        return [given]
    here = Path(__file__).resolve().parent
    found = [str(here / SONAME)]
    # Built beside libqel: QEL_LIBRARY names the build's library folder when set.
    library = os.environ.get("QEL_LIBRARY")
    if library:
        found.append(str(Path(library).resolve().parent / SONAME))
    for build in ("build", "build-release"):
        found.append(str(here.parent.parent / build / "lib" / SONAME))
    found.append(ctypes.util.find_library("qelcamera") or SONAME)
    return found


_library: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def library() -> ctypes.CDLL:
    """libqelcamera, loaded on first use. Raises CameraUnavailable naming the places tried."""
    global _library
    with _lock:
        if _library is not None:
            return _library
        lib, tried = open_first(_candidates(), _SIGNATURES)
        if lib is not None:
            _library = lib
            return lib
        raise CameraUnavailable(
            "camera control is not available: libqelcamera was not found (qel builds it where "
            "Aravis 0.8 is installed, Debian: libaravis-dev; QEL_CAMERA_LIBRARY names it); "
            "tried: " + "; ".join(tried)
        )


def _check(lib: ctypes.CDLL, rc: int, call: str) -> None:
    if rc != 0:
        raise CameraError(rc, call, lib.qelcam_last_error().decode(errors="replace"))


@dataclass(frozen=True)
class CameraInfo:
    """A camera found on the network, and the local interface that reaches it."""

    id: str
    address: str
    vendor: str
    model: str
    serial: str
    interface_name: str
    interface_address: str

    @classmethod
    def _of(cls, info: _Info) -> "CameraInfo":
        return cls(*(getattr(info, name).decode(errors="replace") for name, _ in _Info._fields_))


def list_cameras(capacity: int = 64) -> list[CameraInfo]:
    """The GigE Vision cameras that answer discovery on any interface."""
    lib = library()
    found = ctypes.c_size_t()
    while True:
        entries = (_Info * capacity)()
        _check(lib, lib.qelcam_list(entries, capacity, ctypes.byref(found)), "qelcam_list")
        if found.value <= capacity:
            return [CameraInfo._of(entries[i]) for i in range(found.value)]
        capacity = found.value  # more answered than there was room for: ask again


class Camera:
    """One camera under this program's control, from opening to close() (or the end of a
    `with` block), which stops acquisition if it runs and gives control back.

    `which` is its address, serial number, user id or id as listed; None takes the first that
    answers. Settings left None keep the camera's own. A Stream given the camera points the
    camera at itself and starts and stops acquisition with its own opening and closing."""

    def __init__(
        self,
        which: Optional[str] = None,
        *,
        pixel_format: Optional[str] = None,
        width: Optional[int] = None,
        height: Optional[int] = None,
        frame_rate: Optional[float] = None,
        packet_size: Optional[int] = None,
    ) -> None:
        self._lib = library()
        self._camera = ctypes.c_void_p()
        _check(
            self._lib,
            self._lib.qelcam_open(which.encode() if which else None, ctypes.byref(self._camera)),
            "qelcam_open",
        )
        self.acquiring = False
        try:
            info = _Info()
            self._call("qelcam_info", ctypes.byref(info))
            self.info = CameraInfo._of(info)
            self.configure(
                pixel_format=pixel_format,
                width=width,
                height=height,
                frame_rate=frame_rate,
                packet_size=packet_size,
            )
        except BaseException:
            self.close()
            raise

    def _call(self, name: str, *args: object) -> None:
        if not self._camera:
            raise ValueError("the camera is closed")
        _check(self._lib, getattr(self._lib, name)(self._camera, *args), name)

    def configure(
        self,
        *,
        pixel_format: Optional[str] = None,
        width: Optional[int] = None,
        height: Optional[int] = None,
        frame_rate: Optional[float] = None,
        packet_size: Optional[int] = None,
    ) -> None:
        """Sets what is given: a GenICam pixel format name ("Mono8"), the image size (both or
        neither), the frame rate, the packet size (0: the largest the path passes)."""
        if (width is None) != (height is None):
            raise ValueError("width and height go together")
        if pixel_format is not None:
            self._call("qelcam_set_pixel_format", pixel_format.encode())
        if width is not None:
            self._call("qelcam_set_size", width, height)
        if frame_rate is not None:
            self._call("qelcam_set_frame_rate", float(frame_rate))
        if packet_size is not None:
            self._call("qelcam_set_packet_size", packet_size, None)

    @property
    def address(self) -> str:
        return self.info.address

    @property
    def payload_size(self) -> int:
        """Bytes of one block with the settings in force: the buffer size a stream needs."""
        size = ctypes.c_uint32()
        self._call("qelcam_payload_size", ctypes.byref(size))
        return size.value

    def set_destination(self, address: str, port: int) -> None:
        """Where the camera sends its stream: an IPv4 address and UDP port."""
        self._call("qelcam_set_destination", address.encode(), port)

    def start(self) -> None:
        self._call("qelcam_start")
        self.acquiring = True

    def stop(self) -> None:
        self._call("qelcam_stop")
        self.acquiring = False

    def check_control(self) -> None:
        """Raises CameraError (ELOST) once the camera stopped answering this program."""
        self._call("qelcam_check_control")

    @property
    def closed(self) -> bool:
        return not self._camera

    def close(self) -> None:
        if self._camera:
            self._lib.qelcam_close(self._camera)
            self._camera = ctypes.c_void_p()
            self.acquiring = False

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_camera", None):
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("acquiring" if self.acquiring else "open")
        return f"<qel.Camera {self.info.id} at {self.info.address}, {state}>"
