"""The C library seen through ctypes: where libqel is found, its records and its calls.

ctypes rather than a compiled extension: the C API is flat (plain functions, plain records),
stable within a soname, and installing the package then needs no compiler. The calls that can
wait (the receive calls) release the interpreter lock while they run.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from pathlib import Path
from typing import Optional

API_VERSION = 0x0102
SONAME = "libqel.so.2"

# Result codes the front end treats on its own; every other code is raised as it comes.
OK = 0
ENOENT = 2
EORDER = 5
EAGAIN = 11
ENOMEM = 12
EBUSY = 16
EINVAL = 22
ENOBUFS = 10055
ETIMEDOUT = 138

OPEN_ZEROLOSS = 0x02
OPEN_DROP_INCOMPLETE = 0x04
OPEN_KEEP_INCOMPLETE = 0x08
OPEN_EXTENDED_ID = 0x10

PAYLOAD_IMAGE = 0x0001
PAYLOAD_IMAGE_EXTENDED_CHUNK = 0x4001
PAYLOAD_EXTENDED_CHUNK = 0x0005

u8, u16, u32, u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64


class _Image(ctypes.Structure):
    _fields_ = [
        (name, u32)
        for name in (
            "pixel_format",
            "size_x",
            "size_y",
            "offset_x",
            "offset_y",
            "padding_x",
            "padding_y",
            "final_size_y",
        )
    ]


class _Raw(ctypes.Structure):
    _fields_ = [("payload_size", u64)]


class _File(ctypes.Structure):
    _fields_ = [("payload_size", u64), ("file_name", ctypes.c_char * 32)]


class _Chunk(ctypes.Structure):
    _fields_ = [("chunk_payload_length", u64)]


class _ExtChunk(ctypes.Structure):
    _fields_ = [("leader_flag", u8)] + [
        (name, u32)
        for name in (
            "pixel_format",
            "size_x",
            "size_y",
            "offset_x",
            "offset_y",
            "padding_x",
            "padding_y",
            "trailer_word1",
        )
    ] + [("trailer_word0", u64), ("trailer_word2", u32)]


class _Payload(ctypes.Union):
    _fields_ = [
        ("image", _Image),
        ("raw", _Raw),
        ("file", _File),
        ("chunk", _Chunk),
        ("ext_chunk", _ExtChunk),
    ]


class Block(ctypes.Structure):
    """qel_block_t."""

    _fields_ = [
        ("payload_type", u16),
        ("payload_length", u32),
        ("data", ctypes.c_void_p),
        ("buffer", ctypes.c_void_p),
        ("status", u16),
        ("block_id", u64),
        ("timestamp", u64),
        ("host_time", u64),
        ("chunk_data_length", u32),
        ("chunk_layout_id", u32),
        ("u", _Payload),
    ]


class PrStatus(ctypes.Structure):
    """qel_pr_status_t."""

    _fields_ = [
        ("status", u32),
        ("block_id", u64),
        ("packet_id", u32),
        ("resend_count", u32),
        ("req_id", u16),
    ]


class StreamOptions(ctypes.Structure):
    """qel_stream_options_t."""

    _fields_ = [
        ("flags", u32),
        ("block_timeout", u32),
        ("resend_timeout", u32),
        ("max_requests", u32),
        ("order_mode", u32),
        ("camera_id", u64),
        ("camera_addr", u32),
        ("camera_port", u16),
        ("channel", u16),
    ]


STATS_FIELDS = (
    "blocks_dropped",
    "blocks_dropped_by_watchdog",
    "blocks_complete",
    "blocks_incomplete",
    "poll_errors",
    "resend_requests",
    "resend_sent",
    "resend_failed",
    "block_timeouts",
    "resend_timeouts",
    "resend_limit_hits",
    "buffers_allocated",
    "buffers_freed",
    "buffers_queued",
    "worker_stops",
    "worker_starts",
    "worker_blocks",
    "worker_unblocks",
    "worker_resend_series",
)


class Stats(ctypes.Structure):
    """qel_stats_t."""

    _fields_ = [(name, u64) for name in STATS_FIELDS]


class Info(ctypes.Structure):
    """qel_info_t."""

    _fields_ = [("reserved", u64), ("dropped", u64), ("delivered", u64)]


RESEND_CALLBACK = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(u16), ctypes.POINTER(u16)
)

P = ctypes.c_void_p
PP = ctypes.POINTER(ctypes.c_void_p)
PU32 = ctypes.POINTER(u32)
# name: (result, arguments). Every call but qel_strerror returns a result code.
_SIGNATURES = {
    "qel_init": (ctypes.c_int, [u16]),
    "qel_strerror": (ctypes.c_char_p, [ctypes.c_int]),
    "qel_info": (ctypes.c_int, [P, ctypes.POINTER(Info)]),
    "qel_open_stream": (ctypes.c_int, [PU32, u16, PP, u32, ctypes.POINTER(u64)]),
    "qel_open_mcast_stream": (ctypes.c_int, [PU32, PU32, u16, PP, u32, ctypes.POINTER(u64)]),
    "qel_open_stream_pr": (
        ctypes.c_int,
        [PU32, u16, PP, ctypes.POINTER(StreamOptions), ctypes.POINTER(u64)],
    ),
    "qel_close_stream": (ctypes.c_int, [P]),
    "qel_alloc": (ctypes.c_int, [P, ctypes.c_size_t, PP]),
    "qel_free": (ctypes.c_int, [P]),
    "qel_queue_buffer": (ctypes.c_int, [P]),
    "qel_poll_recv": (ctypes.c_int, [P, ctypes.POINTER(Block), ctypes.c_int32]),
    "qel_poll_recv_pr": (
        ctypes.c_int,
        [P, ctypes.POINTER(Block), u16, ctypes.POINTER(PrStatus)],
    ),
    "qel_get_stats": (ctypes.c_int, [P, ctypes.POINTER(Stats)]),
    "qel_clear_stats": (ctypes.c_int, [P]),
    "qel_create_recv_worker": (ctypes.c_int, [P, u32, RESEND_CALLBACK]),
    "qel_destroy_recv_worker": (ctypes.c_int, [P]),
    "qel_start_recv_worker": (ctypes.c_int, [P]),
    "qel_stop_recv_worker": (ctypes.c_int, [P]),
}


def _candidates() -> list[str]:
    """Where libqel may be, first found first used."""
    found = []
    given = os.environ.get("QEL_LIBRARY")
    if given:
        # Named by the user: used or refused, never passed over for another.
        return [given]
    here = Path(__file__).resolve().parent
    # Beside the package (a wheel that carries it), then the build folder of a source tree.
    found.append(str(here / SONAME))
    for build in ("build", "build-release"):
        found.append(str(here.parent.parent / build / "lib" / SONAME))
    # Then the system's library path (an installed qel package).
    found.append(ctypes.util.find_library("qel") or SONAME)
    return found


def open_first(candidates: list, signatures: dict) -> tuple[Optional[ctypes.CDLL], list]:
    """The first of `candidates` that loads, its calls declared from `signatures`, and the
    places tried before it (a path that does not exist, or one that failed, with why)."""
    tried = []
    for path in candidates:
        if os.sep in path and not os.path.exists(path):
            tried.append(path)
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{path} ({error})")
            continue
        for name, (result, arguments) in signatures.items():
            function = getattr(lib, name)
            function.restype = result
            function.argtypes = arguments
        return lib, tried
    return None, tried


def load() -> ctypes.CDLL:
    """Loads libqel and declares its calls. Raises OSError naming every place tried."""
    lib, tried = open_first(_candidates(), _SIGNATURES)
    if lib is not None:
        return lib
    raise OSError(
        "libqel not found (set QEL_LIBRARY to its path, or install the qel package); tried: "
        + "; ".join(tried)
    )
