#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/: a few small inputs
that each target accepts as valid, from which the fuzzer mutates. Run it again after changing
an input format; the files it writes are kept in the tree."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- gvsp_assembly: setup, then events (see gvsp_assembly.cpp) ----

def std_header(status, block, fmt, packet):
    return struct.pack(">HHI", status, block & 0xFFFF, (fmt << 24) | (packet & 0xFFFFFF))


def ext_header(status, flags, block, fmt, packet):
    return struct.pack(">HHBBHQI", status, flags, 0x80 | fmt, 0, 0, block, packet)


def leader(block, size_x=8, size_y=8, ext=False):
    payload = struct.pack(">HHQIIIIIHH", 0, 1, 1234, 0x01080001, size_x, size_y, 0, 0, 0, 0)
    h = ext_header(0, 0, block, 1, 0) if ext else std_header(0, block, 1, 0)
    return h + payload


def data(block, packet, payload, ext=False, status=0):
    h = ext_header(status, 0, block, 3, packet) if ext else std_header(status, block, 3, packet)
    return h + payload


def trailer(block, packet, ext=False):
    payload = struct.pack(">HHI", 0, 1, 8)
    h = ext_header(0, 0, block, 2, packet) if ext else std_header(0, block, 2, packet)
    return h + payload


def datagram(d):
    return bytes([0]) + struct.pack(">H", len(d)) + d


def timer(ms):
    return bytes([1 | ((ms - 1) << 2)])


HOST = bytes([2])


def drop(block, packet):
    return bytes([3]) + struct.pack(">HH", block, packet)


def setup(lengths, small_ring=False):
    return bytes([(len(lengths) - 1) | (4 if small_ring else 0)]) + b"".join(
        struct.pack(">H", n - 1) for n in lengths)


def block(block_id, packets, size, ext=False, skip=()):
    out = datagram(leader(block_id, ext=ext))
    for p in range(1, packets + 1):
        if p not in skip:
            out += datagram(data(block_id, p, bytes([p]) * size, ext))
    return out + datagram(trailer(block_id, packets + 1, ext))


write("gvsp_assembly", "one_block", setup([256]) + block(1, 4, 64) + HOST)
write("gvsp_assembly", "two_blocks_extended",
      setup([512, 512]) + block(7, 3, 100, ext=True) + block(8, 3, 100, ext=True) + HOST)
write("gvsp_assembly", "missing_packet_resent",
      setup([300]) + block(3, 3, 100, skip=(2,)) + timer(20) + HOST +
      datagram(std_header(0x0100, 3, 3, 2) + bytes([2]) * 100) + HOST)
write("gvsp_assembly", "overflow_and_no_buffers",
      setup([128], small_ring=True) + block(5, 4, 64) + block(6, 2, 32) + HOST +
      block(9, 1, 16) + timer(64) + HOST)
write("gvsp_assembly", "drop_and_error_status",
      setup([256, 256, 256]) + drop(4, 2) + block(4, 3, 50) + timer(15) + HOST +
      datagram(data(4, 2, b"", status=0x8001)) + timer(64) + timer(64) + timer(64) + HOST)


def sized_block(block_id, sizes, order):
    out = datagram(leader(block_id))
    for p in order:
        out += datagram(data(block_id, p, bytes([p * 16 + block_id]) * sizes[p - 1]))
    return out + datagram(trailer(block_id, len(sizes) + 1))


# A short packet that is not the last, and packet sizes that change from one block to the
# next while packet 1 comes last: neither block may be reported complete with a hole.
write("gvsp_assembly", "short_packet_in_the_middle",
      setup([4096]) + sized_block(1, [1000, 100, 1000, 1000], [1, 2, 3, 4]) + timer(64) +
      timer(64) + timer(64) + timer(64) + HOST)
write("gvsp_assembly", "packet_one_last_sizes_change",
      setup([4096, 4096]) + sized_block(1, [1000, 1000, 1000], [1, 2, 3]) + HOST +
      sized_block(2, [500, 500, 500, 500], [2, 3, 4, 1]) + timer(64) + timer(64) + timer(64) +
      timer(64) + HOST)


# ---- descriptor: byte 0, then 64-byte descriptors (see descriptor.cpp) ----

def desc(kind, block_id, status=0, **fields):
    d = bytearray(64)
    struct.pack_into(">HHHHQ", d, 0, status, 0, kind, 0, block_id)
    for at, (fmt, value) in fields.items():
        struct.pack_into(fmt, d, int(at[1:]), value)
    return bytes(d)


def image_leader(block_id):
    return desc(1, block_id, o18=(">H", 1), o20=(">Q", 99), o28=(">I", 0x01080001),
                o32=(">I", 64), o36=(">I", 32))


def trailer_desc(block_id, length, firmware=0, packet=5, payload_type=1, time=1):
    d = bytearray(desc(2, block_id, o16=(">I", packet), o20=(">I", length), o28=(">I", 77),
                       o34=(">H", payload_type), o36=(">I", 32)))
    d[60] = firmware
    d[62] = time
    return bytes(d)


write("descriptor", "image_blocks",
      bytes([0x0F]) + image_leader(1) + trailer_desc(1, 2048) + image_leader(2) +
      trailer_desc(2, 4096))
write("descriptor", "statuses",
      bytes([0x06]) + image_leader(3) + trailer_desc(3, 0, firmware=1, packet=2) +
      trailer_desc(3, 100, firmware=2, packet=2) + trailer_desc(4, 0, firmware=4) +
      image_leader(5) + trailer_desc(5, 5000, firmware=3) + trailer_desc(6, 0, firmware=7))
write("descriptor", "chunk_and_file",
      bytes([0x05]) + desc(1, 9, o18=(">H", 0x4003), o28=(">Q", 10), o36=(">Q", 0x4142434400000000)) +
      trailer_desc(9, 10, payload_type=0x4003) + desc(1, 10, o18=(">H", 5)) +
      trailer_desc(10, 12, payload_type=5) + desc(3, 11))

# ---- name_key: a key text ----

for name, key in [("mac", b"M=00:1a:2B:3c:4D:5e"), ("serial", b"S=CAM12345"),
                  ("serial_longest", b"S=" + b"x" * 24), ("mac_bare", b"M=001A2B3C4D5E"),
                  ("other", b"X=1")]:
    write("name_key", name, key)

# ---- names_file: file bytes ----

def names_file(entries, count=None):
    lines = [b"qel adapter names 1"]
    for key, name in entries:
        lines.append(key.hex().encode() + b" " + name.hex().encode())
    lines.append(b"end %d" % (len(entries) if count is None else count))
    return b"\n".join(lines) + b"\n"


write("names_file", "empty", names_file([]))
write("names_file", "two", names_file([(b"M=001A2B3C4D5E", b"left camera"), (b"S=CAM1", b"")]))
write("names_file", "wrong_count", names_file([(b"S=A", b"a")], count=2))

# ---- udp_frame: offload header, then an Ethernet frame (see udp_frame.cpp) ----

def ones_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(">%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def udp_frame(payload, flags=0, gso=0, gso_size=0, frag=0):
    udp_len = 8 + len(payload)
    ip = bytearray(struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + udp_len, 0, frag, 64, 17, 0,
                               bytes([127, 0, 0, 2]), bytes([127, 0, 0, 1])))
    ip[10:12] = struct.pack(">H", 0xFFFF & ~ones_sum(bytes(ip)))
    udp = bytearray(struct.pack(">HHHH", 40000, 50000, udp_len, 0) + payload)
    pseudo = bytes(ip[12:20]) + struct.pack(">BBH", 0, 17, udp_len)
    udp[6:8] = struct.pack(">H", 0xFFFF & ~ones_sum(pseudo + bytes(udp)) or 0xFFFF)
    return struct.pack("<BBH", flags, gso, gso_size) + bytes(12) + b"\x08\x00" + bytes(ip) + bytes(udp)


gvsp_data = std_header(0, 7, 3, 2) + bytes(range(256)) * 4
write("udp_frame", "datagram", udp_frame(gvsp_data))
write("udp_frame", "local_sender", udp_frame(gvsp_data, flags=1))
write("udp_frame", "segments", udp_frame(gvsp_data * 3, flags=1, gso=5, gso_size=len(gvsp_data)))
write("udp_frame", "first_fragment", udp_frame(gvsp_data, frag=0x2000))
