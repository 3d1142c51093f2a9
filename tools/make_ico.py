#!/usr/bin/env python3
"""Makes res/tarvo.ico, the Windows icon, from res/tarvo.png.

    python3 tools/make_ico.py [SOURCE.png [TARGET.ico]]

Only the standard library: the PNG is decoded, scaled down by area averaging (with the colours
weighted by their alpha, so transparent pixels do not darken the edges) and each size is stored
in the .ico as a PNG, which Windows reads from Vista on. The output depends on the source alone,
so running the script again gives the same bytes.
"""

import struct
import sys
import zlib
from pathlib import Path

# The sizes Explorer, the taskbar and the title bar ask for at 100 % to 200 % scaling.
SIZES = (16, 20, 24, 32, 40, 48, 64, 128)

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_png(path):
    """Returns (width, height, rows of RGBA bytes) of an 8-bit RGB or RGBA PNG."""
    data = Path(path).read_bytes()
    if not data.startswith(PNG_SIGNATURE):
        raise ValueError(f"{path}: not a PNG file")
    position = len(PNG_SIGNATURE)
    header = None
    compressed = bytearray()
    while position < len(data):
        (length,) = struct.unpack(">I", data[position : position + 4])
        kind = data[position + 4 : position + 8]
        body = data[position + 8 : position + 8 + length]
        position += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        raise ValueError(f"{path}: only 8-bit RGB or RGBA PNGs without interlacing are read")
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(bytes(compressed))
    stride = width * channels
    rows = []
    previous = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        line = bytearray(raw[start + 1 : start + 1 + stride])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            up_left = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                estimate = left + up - up_left
                distances = (abs(estimate - left), abs(estimate - up), abs(estimate - up_left))
                nearest = (left, up, up_left)[distances.index(min(distances))]
                line[x] = (line[x] + nearest) & 0xFF
            elif kind != 0:
                raise ValueError(f"{path}: unknown filter {kind} in row {y}")
        previous = line
        if channels == 3:
            line = bytearray(b for i in range(width) for b in (*line[3 * i : 3 * i + 3], 255))
        rows.append(bytes(line))
    return width, height, rows


def scale(width, height, rows, size):
    """Area-averages the image to size x size pixels."""
    result = []
    for target_y in range(size):
        top, bottom = target_y * height / size, (target_y + 1) * height / size
        line = bytearray()
        for target_x in range(size):
            left, right = target_x * width / size, (target_x + 1) * width / size
            red = green = blue = alpha = area = 0.0
            for y in range(int(top), min(height, int(-(-bottom // 1)))):
                cover_y = min(bottom, y + 1) - max(top, y)
                row = rows[y]
                for x in range(int(left), min(width, int(-(-right // 1)))):
                    weight = cover_y * (min(right, x + 1) - max(left, x))
                    r, g, b, a = row[4 * x : 4 * x + 4]
                    red += r * a * weight
                    green += g * a * weight
                    blue += b * a * weight
                    alpha += a * weight
                    area += weight
            if alpha > 0:
                line += bytes(round(c / alpha) for c in (red, green, blue))
            else:
                line += b"\0\0\0"
            line.append(round(alpha / area))
        result.append(bytes(line))
    return result


def write_png(size, rows):
    def chunk(kind, body):
        return (
            struct.pack(">I", len(body))
            + kind
            + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
        )

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    pixels = b"".join(b"\0" + row for row in rows)
    return (
        PNG_SIGNATURE
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(pixels, 9))
        + chunk(b"IEND", b"")
    )


def write_ico(images):
    """images: (size, PNG bytes) pairs, smallest first."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, payload = b"", b""
    for size, png in images:
        # A width or height of 256 is written as 0.
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png), offset)
        payload += png
        offset += len(png)
    return directory + entries + payload


def main():
    root = Path(__file__).resolve().parent.parent
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "res" / "tarvo.png"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else root / "res" / "tarvo.ico"
    width, height, rows = read_png(source)
    if width != height:
        raise ValueError(f"{source}: the icon must be square, not {width}x{height}")
    images = []
    for size in SIZES:
        if size == width:
            images.append((size, write_png(size, rows)))
        elif size < width:
            images.append((size, write_png(size, scale(width, height, rows, size))))
    target.write_bytes(write_ico(images))


if __name__ == "__main__":
    main()
