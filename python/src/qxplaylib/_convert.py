"""YV12 pictures of the decode callback into the arrays frames() hands out.

The RGB conversion is the library's own fixed-point BT.601 limited-range formula (the
one behind ``QxPlay_GetBMP`` and the window), chroma taken nearest-neighbour, so that a
frame and a snapshot of the same picture agree to the byte.
"""

from __future__ import annotations

import threading
from typing import Any, Tuple

FORMATS = ("bgr", "rgb", "yuv420p")


def require_numpy() -> Any:
    try:
        import numpy
    except ImportError as error:  # pragma: no cover - depends on the machine
        raise ImportError(
            "qxplaylib needs numpy for pictures as arrays: "
            "pip install 'qxplaylib[numpy]' or apt-get install python3-numpy"
        ) from error
    return numpy


_tables: Any = None
_scratch = threading.local()


def _lookup_tables() -> Any:
    """The formula's products per byte value, in 16.16 fixed point, and the finished
    blue of every (Y, U) and red of every (Y, V) pair: those two depend on two bytes
    only, so a lookup gives them exactly."""
    global _tables
    if _tables is None:
        np = require_numpy()
        i = np.arange(256, dtype=np.int32)
        y = 76309 * (i - 16)
        ub = 132201 * (i - 128)
        vr = 104597 * (i - 128)
        _tables = {
            "y": y,
            "ug": 25674 * (i - 128),
            "vg": 53278 * (i - 128),
            "blue": np.clip((y[:, None] + ub[None, :]) >> 16, 0, 255).astype(np.uint8).reshape(-1),
            "red": np.clip((y[:, None] + vr[None, :]) >> 16, 0, 255).astype(np.uint8).reshape(-1),
        }
    return _tables


class _Scratch:
    """Work arrays for one picture size, reused from picture to picture: fresh ones of
    this size cost more in page faults than the arithmetic itself."""

    def __init__(self, np: Any, width: int, height: int) -> None:
        shape = (height // 2, 2, width // 2, 2)
        self.size = (width, height)
        self.high = np.empty(shape, dtype=np.uint16)
        self.index = np.empty(shape, dtype=np.uint16)
        self.bytes = np.empty(shape, dtype=np.uint8)
        self.luma = np.empty(shape, dtype=np.int32)
        self.green = np.empty(shape[::2], dtype=np.int32)
        self.term = np.empty(shape[::2], dtype=np.int32)


def yv12_planes(yv12: Any, width: int, height: int) -> Tuple[Any, Any, Any]:
    """Views of the Y, U and V planes of a YV12 buffer (Y, then V, then U).

    The second chroma plane starts a quarter of the luma size after the first, where
    the library puts it; for odd sizes that is a little past the first plane's
    ``(width // 2) * (height // 2)`` bytes.
    """
    np = require_numpy()
    data = yv12 if isinstance(yv12, np.ndarray) else np.frombuffer(yv12, dtype=np.uint8)
    data = data.reshape(-1)
    luma = width * height
    cw, ch = width // 2, height // 2
    chroma = cw * ch
    second = luma + luma // 4
    if width <= 0 or height <= 0 or data.size < second + chroma:
        raise ValueError(f"a {width}x{height} YV12 picture needs {second + chroma} bytes, got {data.size}")
    y = data[:luma].reshape(height, width)
    v = data[luma : luma + chroma].reshape(ch, cw)
    u = data[second : second + chroma].reshape(ch, cw)
    return y, u, v


def convert(yv12: Any, width: int, height: int, format: str = "bgr") -> Any:
    """A YV12 picture as ``format``: ``(h, w, 3)`` uint8 for "bgr" and "rgb", or
    ``(h * 3 // 2, w)`` uint8 I420 (Y, then U, then V) for "yuv420p"."""
    np = require_numpy()
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    y, u, v = yv12_planes(yv12, width, height)
    if format == "yuv420p":
        if width % 2 or height % 2:
            raise ValueError(f"yuv420p needs an even picture size, not {width}x{height}")
        out = np.empty(width * height * 3 // 2, dtype=np.uint8)
        luma, chroma = y.size, u.size
        out[:luma] = y.reshape(-1)
        out[luma : luma + chroma] = u.reshape(-1)
        out[luma + chroma : luma + 2 * chroma] = v.reshape(-1)
        return out.reshape(height * 3 // 2, width)
    blue, red = (0, 2) if format == "bgr" else (2, 0)
    if width % 2 or height % 2:
        return _convert_any_size(y, u, v, width, height, blue, red)
    t = _lookup_tables()
    scratch = getattr(_scratch, "work", None)
    if scratch is None or scratch.size != (width, height):
        scratch = _scratch.work = _Scratch(np, width, height)
    h2, w2 = height // 2, width // 2
    out = np.empty((height, width, 3), dtype=np.uint8)
    # Each chroma sample serves a 2x2 block: in these 4-D views it broadcasts to it.
    blocks = out.reshape(h2, 2, w2, 2, 3)
    y4 = y.reshape(h2, 2, w2, 2)
    u4 = u[:, None, :, None]
    v4 = v[:, None, :, None]
    np.left_shift(y4, 8, out=scratch.high, dtype=np.uint16)
    np.bitwise_or(scratch.high, u4, out=scratch.index)
    np.take(t["blue"], scratch.index, out=scratch.bytes)
    blocks[..., blue] = scratch.bytes
    np.bitwise_or(scratch.high, v4, out=scratch.index)
    np.take(t["red"], scratch.index, out=scratch.bytes)
    blocks[..., red] = scratch.bytes
    np.take(t["vg"], v, out=scratch.green)
    np.take(t["ug"], u, out=scratch.term)
    np.add(scratch.green, scratch.term, out=scratch.green)
    luma = scratch.luma
    np.take(t["y"], y4, out=luma)
    np.subtract(luma, scratch.green[:, None, :, None], out=luma)
    np.right_shift(luma, 16, out=luma)
    np.clip(luma, 0, 255, out=luma)
    blocks[..., 1] = luma
    return out


def _convert_any_size(y: Any, u: Any, v: Any, width: int, height: int, blue: int, red: int) -> Any:
    # An odd last row or column reuses the last chroma one, as the library does.
    np = require_numpy()
    t = _lookup_tables()
    rows = np.minimum(np.arange(height) // 2, max(u.shape[0] - 1, 0))
    cols = np.minimum(np.arange(width) // 2, max(u.shape[1] - 1, 0))
    uu = u[rows][:, cols]
    vv = v[rows][:, cols]
    high = y.astype(np.int32) << 8
    out = np.empty((height, width, 3), dtype=np.uint8)
    out[..., blue] = t["blue"][high | uu]
    out[..., red] = t["red"][high | vv]
    green = t["y"][y] - t["vg"][vv] - t["ug"][uu]
    out[..., 1] = np.clip(green >> 16, 0, 255)
    return out


def bmp_to_array(bmp: bytes) -> Any:
    """A 24-bit BMP file image (as ``QxPlay_GetBMP`` writes) as a top-down ``(h, w, 3)``
    BGR array."""
    np = require_numpy()
    if len(bmp) < 54 or bmp[:2] != b"BM":
        raise ValueError("not a BMP")
    offset = int.from_bytes(bmp[10:14], "little")
    width = int.from_bytes(bmp[18:22], "little", signed=True)
    height = int.from_bytes(bmp[22:26], "little", signed=True)
    bits = int.from_bytes(bmp[28:30], "little")
    if bits != 24 or width <= 0 or height == 0:
        raise ValueError(f"not a 24-bit BMP ({width}x{height}, {bits} bits)")
    stride = (width * 3 + 3) & ~3
    rows = abs(height)
    pixels = np.frombuffer(bmp, dtype=np.uint8, count=stride * rows, offset=offset)
    image = pixels.reshape(rows, stride)[:, : width * 3].reshape(rows, width, 3)
    # A positive height is stored bottom-up.
    return (image[::-1] if height > 0 else image).copy()
