"""Finding, loading and describing ``libqxplaylib.so``.

The library is loaded on first use, not on import, so that ``import qxplaylib`` works
(for documentation, type checking, or to set ``QXPLAYLIB_LIBRARY`` from Python) on a
machine that has no library yet.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
import sysconfig
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_char_p,
    c_float,
    c_int,
    c_int32,
    c_int64,
    c_uint16,
    c_uint32,
    c_ulong,
    c_void_p,
)
from typing import List, Optional, Tuple

__all__ = [
    "ENV_VARIABLE",
    "LibraryNotFoundError",
    "QxFrameInfo",
    "QxPortStats",
    "candidates",
    "library",
    "library_path",
]

#: Names the library to load, bypassing every other place.
ENV_VARIABLE = "QXPLAYLIB_LIBRARY"

_SONAME = "libqxplaylib.so.1"
_LINKNAME = "libqxplaylib.so"


class LibraryNotFoundError(ImportError):
    """No ``libqxplaylib.so`` could be loaded; ``tried`` lists each place and why."""

    def __init__(self, tried: List[Tuple[str, str]]) -> None:
        self.tried = list(tried)
        lines = "\n".join(f"  {where}: {why}" for where, why in self.tried)
        super().__init__(
            "libqxplaylib.so could not be loaded. Set "
            f"{ENV_VARIABLE}=/path/to/libqxplaylib.so, or install the library. Tried:\n"
            + lines
        )


# ---- the C declarations --------------------------------------------------------------


class QxFrameInfo(Structure):
    """The picture description the decode callback receives."""

    _fields_ = [
        ("width", c_int32),
        ("height", c_int32),
        ("stamp", c_int32),
        ("type", c_int32),
        ("frameRate", c_int32),
    ]


class QxPortStats(Structure):
    """What a port has done since its last play, field for field as the C struct.

    ``size`` must hold ``ctypes.sizeof(QxPortStats)`` before the call; the library
    fills only what fits, which is how a shorter, older layout keeps working.
    """

    _fields_ = [
        ("size", c_uint32),
        ("codec", c_int32),
        ("width", c_int32),
        ("height", c_int32),
        ("frameRate", c_int32),
        ("soundOn", c_int32),
        ("picturesDecoded", c_int64),
        ("picturesShown", c_int64),
        ("picturesDropped", c_int64),
        ("picturesLate", c_int64),
        ("inputBytes", c_int64),
        ("bitrate", c_int64),
        ("latencyMs", c_int32),
        ("avOffsetMs", c_int32),
        ("sourceBufferFill", c_int32),
        ("sourceBufferSize", c_int32),
        ("soundSink", c_int32),
    ]

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name, _ in self._fields_}

    def __repr__(self) -> str:
        body = ", ".join(f"{k}={v}" for k, v in self.as_dict().items())
        return f"QxPortStats({body})"


DecodeCallback = CFUNCTYPE(None, c_int32, c_void_p, c_int32, POINTER(QxFrameInfo), c_int32, c_int32)
MessageCallback = CFUNCTYPE(None, c_int32, c_int32, c_void_p)
FileEndCallback = CFUNCTYPE(None, c_int32, c_void_p)

_P = c_int32  # a port number
_WINDOW = c_ulong

# (name, result, arguments): every export this package calls.
_PROTOTYPES = [
    ("QxPlay_Init", c_int, []),
    ("QxPlay_GetPort", c_int, [POINTER(c_int32)]),
    ("QxPlay_FreePort", c_int, [_P]),
    ("QxPlay_GetLastError", c_int, [_P]),
    ("QxPlay_GetSdkVersion", c_int, []),
    ("QxPlay_OpenFile", c_int, [_P, c_char_p]),
    ("QxPlay_SetStreamOpenMode", c_int, [_P, c_int]),
    ("QxPlay_GetStreamOpenMode", c_int, [_P]),
    ("QxPlay_InputData", c_int, [_P, c_void_p, c_uint32]),
    ("QxPlay_Play", c_int, [_P, _WINDOW]),
    ("QxPlay_Stop", c_int, [_P]),
    ("QxPlay_Pause", c_int, [_P, c_uint32]),
    ("QxPlay_Fast", c_int, [_P]),
    ("QxPlay_Slow", c_int, [_P]),
    ("QxPlay_FastEx", c_int, [_P, c_int]),
    ("QxPlay_OneByOne", c_int, [_P]),
    ("QxPlay_SetPlayPos", c_int, [_P, c_float]),
    ("QxPlay_SetPlayedTimeEx", c_int, [_P, c_uint32]),
    ("QxPlay_GetPlayStatus", c_int, [_P]),
    ("QxPlay_GetCurrentFrameRate", c_int, [_P]),
    ("QxPlay_GetPictureSize", c_int, [_P, POINTER(c_int), POINTER(c_int)]),
    ("QxPlay_GetPlayedFrames", c_int, [_P]),
    ("QxPlay_GetPlayPos", c_float, [_P]),
    ("QxPlay_GetPlayedTime", c_uint32, [_P]),
    ("QxPlay_GetFileTime", c_uint32, [_P]),
    ("QxPlay_GetFileTotalFrames", c_int, [_P]),
    ("QxPlay_GetVolume", c_uint16, [_P]),
    ("QxPlay_SetVolume", c_int, [_P, c_uint16]),
    ("QxPlay_PlaySound", c_int, [_P]),
    ("QxPlay_StopSound", c_int, [_P]),
    ("QxPlay_SetCacheTime", c_int, [_P, c_int]),
    ("QxPlay_SetDecCallBack", c_int, [_P, DecodeCallback]),
    ("QxPlay_SetDecMsgCallBack", c_int, [_P, MessageCallback, c_void_p]),
    ("QxPlay_SetFileEndCallback", c_int, [_P, FileEndCallback, c_void_p]),
    ("QxPlay_SetFileEndMsg", c_int, [_P, _WINDOW, c_uint32]),
    ("QxPlay_CaptureBmpPicture", c_int, [_P, c_char_p]),
    ("QxPlay_CaptureJpegPicture", c_int, [_P, c_char_p]),
    ("QxPlay_GetBMP", c_int, [_P, c_void_p, c_uint32, POINTER(c_uint32)]),
    ("QxPlay_GetJPEG", c_int, [_P, c_void_p, c_uint32, POINTER(c_uint32)]),
    ("QxPlay_ConvertToBmpFile", c_int, [c_void_p, c_int32, c_int32, c_int32, c_int32, c_char_p]),
    ("QxPlay_GetPortStats", c_int, [_P, POINTER(QxPortStats)]),
]

# ---- finding it ----------------------------------------------------------------------


def _package_dir() -> str:
    return os.path.dirname(os.path.abspath(__file__))


def _prefix_dirs() -> List[str]:
    dirs = [os.path.join(sys.prefix, "lib")]
    if sys.base_prefix != sys.prefix:
        dirs.append(os.path.join(sys.base_prefix, "lib"))
    dirs.append("/usr/local/lib")
    multiarch = sysconfig.get_config_var("MULTIARCH") or "x86_64-linux-gnu"
    dirs.append(f"/usr/lib/{multiarch}")
    dirs.append("/usr/lib")
    seen: List[str] = []
    for d in dirs:
        if d not in seen:
            seen.append(d)
    return seen


def candidates() -> List[str]:
    """Where the library is looked for, in order (without ``QXPLAYLIB_LIBRARY``).

    A library beside the package's files comes first, so that a wheel that carries
    one uses it; then the install prefixes; then whatever the dynamic loader's
    cache knows (``ctypes.util.find_library``).
    """
    found: List[str] = []
    # The unversioned link first, then the SONAME, then fully versioned files.
    beside = sorted(glob.glob(os.path.join(_package_dir(), _LINKNAME + "*")), key=len)
    found.extend(beside)
    for d in _prefix_dirs():
        for name in (_SONAME, _LINKNAME):
            found.append(os.path.join(d, name))
    loader = ctypes.util.find_library("qxplaylib")
    if loader:
        found.append(loader)
    return found


def _load_one(path: str) -> ctypes.CDLL:
    lib = ctypes.CDLL(path)
    missing = [name for name, _, _ in _PROTOTYPES if not hasattr(lib, name)]
    if missing:
        raise OSError("not a qxplaylib: it lacks " + ", ".join(missing[:3]))
    for name, result, arguments in _PROTOTYPES:
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_path: Optional[str] = None
_init_result: Optional[int] = None


def _locate() -> Tuple[ctypes.CDLL, str]:
    tried: List[Tuple[str, str]] = []
    named = os.environ.get(ENV_VARIABLE)
    if named:
        # A library the user names is the one wanted: another one found elsewhere
        # would hide the mistake.
        try:
            return _load_one(named), named
        except OSError as error:
            tried.append((f"{ENV_VARIABLE}={named}", str(error)))
            raise LibraryNotFoundError(tried) from None
    tried.append((ENV_VARIABLE, "not set"))
    for path in candidates():
        if os.sep in path and not os.path.exists(path):
            tried.append((path, "no such file"))
            continue
        try:
            return _load_one(path), path
        except OSError as error:
            tried.append((path, str(error)))
    if ctypes.util.find_library("qxplaylib") is None:
        tried.append(("ctypes.util.find_library('qxplaylib')", "not found"))
    raise LibraryNotFoundError(tried)


def library() -> ctypes.CDLL:
    """The loaded library, initialised (``QxPlay_Init``) once per process."""
    global _lib, _path, _init_result
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is None:
            lib, path = _locate()
            # 0 only says that libGL is missing; ports still decode and call back.
            _init_result = lib.QxPlay_Init()
            _path = path
            _lib = lib
    return _lib


def library_path() -> str:
    """The file the library was loaded from (loading it if needed)."""
    library()
    assert _path is not None
    return _path


def init_result() -> int:
    """What ``QxPlay_Init`` answered: 1, or 0 when libGL could not be loaded."""
    library()
    assert _init_result is not None
    return _init_result
