"""python -m qel: receives a camera stream and prints a line per frame, then the counters."""

from __future__ import annotations

import argparse
import sys

from . import QelError, Stream, Timeout


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m qel", description=__doc__)
    parser.add_argument("--local", default="127.0.0.1", help="adapter interface address")
    parser.add_argument("--port", type=int, default=50000, help="UDP port the camera sends to")
    parser.add_argument("--camera", help="camera address: lost packets are asked for again")
    parser.add_argument("--camera-port", type=int, default=3956, help="camera's GVCP port")
    parser.add_argument("--group", help="multicast group to receive")
    parser.add_argument("--frames", type=int, default=10, help="frames to receive (0: no end)")
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait per frame")
    parser.add_argument("--buffers", type=int, default=16)
    parser.add_argument("--buffer-size", type=int, default=16 << 20)
    parser.add_argument("--worker", action="store_true", help="use the receive worker thread")
    parser.add_argument("--cpu", type=int, default=0, help="processor to pin the worker to")
    parser.add_argument("--quiet", action="store_true", help="print the counters only")
    args = parser.parse_args(argv)
    camera = (args.camera, args.camera_port) if args.camera else None
    try:
        with Stream(
            args.local,
            args.port,
            camera=camera,
            group=args.group,
            buffers=args.buffers,
            buffer_size=args.buffer_size,
            worker=args.worker,
            cpu=args.cpu,
        ) as stream:
            try:
                for frame in stream.frames(args.frames or None, timeout=args.timeout):
                    if not args.quiet:
                        a = frame.array
                        what = frame.pixel_format_name or f"type {frame.payload_type:#x}"
                        print(f"block {frame.block_id}: {what} {a.shape} {frame.payload_length} bytes")
            except Timeout:
                print(f"no frame within {args.timeout} s", file=sys.stderr)
            except KeyboardInterrupt:
                pass
            for name, value in stream.stats().items():
                if value:
                    print(f"{name} {value}")
    except QelError as error:
        print(f"python -m qel: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
