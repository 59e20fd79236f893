#!/usr/bin/env python3
"""Writes small valid input files of every foreign format the suite reads,
as seed corpora for the fuzzing targets.

    make_seeds.py OUT_DIR

Creates OUT_DIR/<kind>/ for the kinds pnm, bmp, sun, gif and jpeg. The TIFF
and raw fax seeds come from make_tiff_seeds (it needs libtiff)."""

import os
import struct
import sys


def pattern(n, seed=1):
    """Deterministic bytes with runs and changes."""
    out = bytearray()
    x = seed * 2654435761 % 2**32 or 1
    for i in range(n):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out.append(((i // 5) + (x >> 28)) & 0xFF)
    return bytes(out)


def pnm_seeds():
    yield "p4.pbm", b"P4\n# a comment\n13 5\n" + pattern(2 * 5)
    yield "p5.pgm", b"P5 7 6 255\n" + pattern(42)
    yield "p6.ppm", b"P6\n5 4\n255\n" + pattern(60)
    yield "p5-1023.pgm", b"P5 4 3 1023\n" + bytes(b & 3 if i % 2 == 0 else b for i, b in enumerate(pattern(24)))
    yield "p6-15.ppm", b"P6 3 2 15\n" + bytes(b % 16 for b in pattern(18))
    yield "p1.pbm", b"P1\n# plain\n5 2\n01101\n1 0 0 1 1\n"
    yield "p2.pgm", b"P2 3 2 65535\n0 17 65535\n# note\n400 5 9\n"
    yield "p3.ppm", b"P3\n2 1\n255\n255 0 7\t1 2 3\r\n"


# ---- BMP -----------------------------------------------------------------

def bmp(width, height, bits, pixels, header_size=40, compression=0, colours=None,
        masks=None, entry_size=None):
    """A BMP file; `pixels` is the raw pixel data as stored."""
    if entry_size is None:
        entry_size = 3 if header_size in (12,) else 4
    table = b""
    if colours:
        for (r, g, b) in colours:
            table += bytes([b, g, r]) + (b"\0" if entry_size == 4 else b"")
    if header_size == 12:
        info = struct.pack("<IhhHH", 12, width, height, 1, bits)
    else:
        info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bits, compression,
                           len(pixels), 2835, 2835, len(colours or []), 0)
        if masks and header_size >= 52:
            info += struct.pack("<III", *masks)
        info = info[:header_size].ljust(header_size, b"\0")
        if masks and header_size == 40:
            info += struct.pack("<III", *masks)
    offset = 14 + len(info) + len(table)
    head = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    return head + info + table + pixels


def rows(width, height, bits, seed):
    row = ((bits * width + 31) // 32) * 4
    return pattern(row * height, seed)


def bmp_seeds():
    grey = [(i, i, i) for i in range(0, 256, 1)]
    yield "w3-1bit.bmp", bmp(9, 3, 1, rows(9, 3, 1, 1), colours=[(0, 0, 0), (255, 255, 255)])
    yield "w3-4bit.bmp", bmp(7, 3, 4, rows(7, 3, 4, 2), colours=grey[:16])
    yield "w3-8bit.bmp", bmp(5, 4, 8, rows(5, 4, 8, 3), colours=grey)
    yield "w3-8bit-topdown.bmp", bmp(5, -4, 8, rows(5, 4, 8, 4), colours=grey[:20])
    yield "w3-16bit.bmp", bmp(5, 3, 16, rows(5, 3, 16, 5))
    yield "w3-24bit.bmp", bmp(5, 3, 24, rows(5, 3, 24, 6))
    yield "w3-32bit.bmp", bmp(4, 3, 32, rows(4, 3, 32, 7))
    yield "os2v1-8bit.bmp", bmp(5, 3, 8, rows(5, 3, 8, 8), header_size=12, colours=grey)
    yield "os2v2-16-8bit.bmp", bmp(5, 3, 8, rows(5, 3, 8, 9), header_size=16, colours=grey[:16],
                                   entry_size=3)
    yield "os2v2-64-4bit.bmp", bmp(6, 2, 4, rows(6, 2, 4, 10), header_size=64,
                                   colours=grey[:16], entry_size=3)
    yield "v4-24bit.bmp", bmp(3, 2, 24, rows(3, 2, 24, 11), header_size=108)
    yield "v5-8bit.bmp", bmp(3, 2, 8, rows(3, 2, 8, 12), header_size=124, colours=grey[:4])
    yield "bitfields-16.bmp", bmp(4, 2, 16, rows(4, 2, 16, 13), compression=3,
                                  masks=(0xF800, 0x07E0, 0x001F))
    yield "bitfields-32.bmp", bmp(3, 2, 32, rows(3, 2, 32, 14), header_size=56, compression=3,
                                  masks=(0xFF0000, 0xFF00, 0xFF))
    rle8 = bytes([3, 4, 5, 6, 0, 3, 0x45, 0x56, 0x67, 0, 0, 0, 2, 1, 1, 2, 9, 0, 0, 0, 1])
    yield "rle8.bmp", bmp(8, 3, 8, rle8, compression=1, colours=grey)
    rle4 = bytes([4, 0x12, 0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 0, 2, 2, 0, 3, 0x77, 0, 1])
    yield "rle4.bmp", bmp(9, 3, 4, rle4, compression=2, colours=grey[:16])


# ---- Sun rasterfile ---------------------------------------------------------

def sun(width, height, depth, data, kind=1, maptype=0, cmap=b"", little=False):
    order = "<" if little else ">"
    head = struct.pack(order + "8I", 0x59A66A95, width, height, depth, len(data), kind,
                       maptype, len(cmap))
    return head + cmap + data


def sun_rows(width, height, depth, seed):
    row = ((width * depth + 15) // 16) * 2
    return pattern(row * height, seed)


def sun_seeds():
    cmap = bytes(range(0, 256, 16)) * 3  # 16 entries: reds, greens, blues
    yield "mono.ras", sun(17, 3, 1, sun_rows(17, 3, 1, 1))
    yield "grey8.ras", sun(5, 3, 8, sun_rows(5, 3, 8, 2))
    yield "map8.ras", sun(5, 3, 8, sun_rows(5, 3, 8, 3), maptype=1, cmap=cmap)
    yield "rgb24.ras", sun(5, 3, 24, sun_rows(5, 3, 24, 4))
    yield "rgb24-type3.ras", sun(5, 3, 24, sun_rows(5, 3, 24, 5), kind=3)
    yield "rgb32.ras", sun(4, 2, 32, sun_rows(4, 2, 32, 6))
    yield "little.ras", sun(5, 3, 8, sun_rows(5, 3, 8, 7), maptype=1, cmap=cmap, little=True)
    encoded = bytes([0x80, 0x00, 1, 2, 0x80, 4, 7, 3, 0x80, 2, 9, 5, 6])
    yield "type2.ras", sun(6, 2, 8, encoded, kind=2)


# ---- GIF ---------------------------------------------------------------------

def lzw_encode(pixels, min_size):
    """GIF LZW: clear code first, end code last, codes packed LSB first."""
    clear, end = 1 << min_size, (1 << min_size) + 1
    size = min_size + 1
    table = {bytes([i]): i for i in range(clear)}
    next_code = end + 1
    codes = [(clear, size)]
    w = b""
    for p in pixels:
        wc = w + bytes([p])
        if wc in table:
            w = wc
            continue
        codes.append((table[w], size))
        if next_code < 4096:
            table[wc] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            codes.append((clear, size))
            table = {bytes([i]): i for i in range(clear)}
            next_code = end + 1
            size = min_size + 1
        w = bytes([p])
    if w:
        codes.append((table[w], size))
    codes.append((end, size))
    acc = bits = 0
    out = bytearray()
    for code, width in codes:
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    blocks = bytearray([min_size])
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks.append(len(chunk))
        blocks += chunk
    blocks.append(0)
    return bytes(blocks)


def gif(images, global_bits=3, version=b"87a", before_image=b""):
    head = b"GIF" + version + struct.pack("<HH", 16, 16)
    head += bytes([0x80 | (global_bits - 1), 0, 0])
    head += pattern(3 << global_bits, 9)
    body = b""
    for (w, h, pixels, flags, local_bits) in images:
        body += before_image + b"," + struct.pack("<HHHH", 0, 0, w, h)
        if local_bits:
            body += bytes([flags | 0x80 | (local_bits - 1)]) + pattern(3 << local_bits, 4)
        else:
            body += bytes([flags])
        body += lzw_encode(pixels, max(2, local_bits or global_bits))
    return head + body + b";"


def gif_seeds():
    yield "plain.gif", gif([(7, 5, [p % 8 for p in pattern(35, 1)], 0, 0)])
    yield "interlaced.gif", gif([(4, 10, [p % 8 for p in pattern(40, 2)], 0x40, 0)])
    yield "two-images.gif", gif([(3, 3, [p % 8 for p in pattern(9, 3)], 0, 0),
                                 (5, 2, [p % 16 for p in pattern(10, 4)], 0, 4)])
    yield "extension.gif", gif([(6, 6, [0] * 18 + [5] * 18, 0, 0)])[:13 + 24] + \
        b"!\xfe\x03abc\x00" + gif([(6, 6, [0] * 18 + [5] * 18, 0, 0)])[13 + 24:]
    yield "full-table.gif", gif([(64, 64, list(pattern(4096, 5)), 0, 8)])
    # An animation: a graphic control block (transparent index 3) before
    # each frame, a looping application block after the screen.
    frames = gif([(4, 4, [p % 8 for p in pattern(16, 6)], 0, 0),
                  (3, 2, [p % 4 for p in pattern(6, 7)], 0, 2)],
                 version=b"89a", before_image=b"!\xf9\x04\x09\x0a\x00\x03\x00")
    yield "animation.gif", frames[:13 + 24] + b"!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00" + \
        frames[13 + 24:]


# ---- JPEG marker streams -------------------------------------------------------

def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def jpeg(frame_marker=0xC0, comments=(), app12=None, height=480, width=640):
    out = b"\xff\xd8" + segment(0xE0, b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0")
    for c in comments:
        out += segment(0xFE, c)
    if app12 is not None:
        out += segment(0xEC, app12)
    out += segment(0xDB, b"\0" + bytes(range(1, 65)))
    out += segment(frame_marker, struct.pack(">BHHB", 8, height, width, 3) +
                   b"\x01\x22\x00\x02\x11\x01\x03\x11\x01")
    out += segment(0xC4, b"\0" + bytes(16) + b"")
    out += segment(0xDA, b"\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00")
    out += b"\x12\x34\xff\x00\x56\xff\xd0\x78" + b"\xff\xd9"
    return out


def jpeg_seeds():
    yield "baseline.jpg", jpeg(comments=[b"hello\tworld\r\n\\ \x01\xe9"])
    yield "progressive.jpg", jpeg(0xC2, comments=[b"one", b"two"])
    yield "app12.jpg", jpeg(0xC1, app12=b"Ducky\0\x01text")
    yield "lossless.jpg", jpeg(0xC3, height=1, width=1)
    yield "eoi-only.jpg", b"\xff\xd8\xff\xd9"
    yield "hierarchical.jpg", b"\xff\xd8" + segment(0xDE, b"\x08\0\x10\0\x10\x01\x01\x11\0") + \
        jpeg(0xC5)[2:]


KINDS = {"pnm": pnm_seeds, "bmp": bmp_seeds, "sun": sun_seeds, "gif": gif_seeds,
         "jpeg": jpeg_seeds}


def main():
    out = sys.argv[1]
    for kind, make in KINDS.items():
        os.makedirs(os.path.join(out, kind), exist_ok=True)
        for name, data in make():
            with open(os.path.join(out, kind, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
