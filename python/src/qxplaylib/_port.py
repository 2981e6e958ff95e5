"""A port of the library as a Python object."""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import sys
import threading
import time
import traceback
import weakref
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Tuple, Union

from . import _library
from ._library import (
    DecodeCallback,
    FileEndCallback,
    MessageCallback,
    QxFrameInfo,
    QxPortStats,
)

__all__ = [
    "Codec",
    "Mode",
    "Picture",
    "Port",
    "QxPlayError",
    "Sink",
    "State",
    "port_is_live",
]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BytesLike = Union[bytes, bytearray, memoryview]


class Mode(enum.IntEnum):
    """Open modes of a port."""

    REALTIME = 0  #: a live stream, paced and latency-bounded
    STREAM = 1  #: a stream the host pushes faster than real time
    FILE = 2  #: a file the library reads itself
    NOPACE = 3  #: a live stream shown as fast as it decodes


class State(enum.IntEnum):
    """Play states as ``QxPlay_GetPlayStatus`` reports them (2..16 is fast play and
    -16..-2 slow play, which are not members)."""

    NORMAL = 1
    PLAY2X = 2
    ONEBYONE = -17
    PAUSE = -18
    STOP = -19
    BACK = -20


class Codec(enum.IntEnum):
    NONE = 0
    H264 = 1
    H265 = 2


class Sink(enum.IntEnum):
    NONE = 0
    DEVICE = 1
    SILENT = 2
    FILE = 3


SPEEDS = (1 / 16, 1 / 8, 1 / 4, 1 / 2, 1, 2, 4, 8, 16)
# The states Fast and Slow move through, slowest first.
_SPEED_STATES = (-16, -8, -4, -2, 1, 2, 4, 8, 16)
_LIVE_INPUT_RETRY_S = 0.005


class QxPlayError(RuntimeError):
    """An export answered failure. ``function`` names it, ``port`` is the port number
    (None before one was taken)."""

    def __init__(self, function: str, port: Optional[int], detail: str = "") -> None:
        self.function = function
        self.port = port
        self.detail = detail
        where = f" on port {port}" if port is not None else ""
        super().__init__(f"{function} failed{where}" + (f": {detail}" if detail else ""))


@dataclass(frozen=True)
class Picture:
    """One decoded picture as the decode callback handed it over: a YV12 copy
    (Y, then V, then U) that stays valid after the callback."""

    port: int
    width: int
    height: int
    frame_rate: int
    yv12: bytes

    def to_array(self, format: str = "bgr") -> Any:
        """The picture as a numpy array; see :func:`qxplaylib.convert`."""
        from ._convert import convert

        return convert(self.yv12, self.width, self.height, format)


def port_is_live(number: int) -> bool:
    """Whether the library holds ``number`` as a taken port (``QxPlay_GetLastError``)."""
    return _library.library().QxPlay_GetLastError(number) == 0


# The library calls back on its own threads; a port closed from inside its own
# callback is freed when that thread ends, after close() has returned, so its
# function objects must outlive the Port object.
_callback_thread = threading.local()
_retired_callbacks: List[Any] = []
_open_ports: "weakref.WeakSet[Port]" = weakref.WeakSet()


def _in_callback() -> bool:
    return getattr(_callback_thread, "depth", 0) > 0


def _report_callback_error(what: str) -> None:
    # An exception cannot cross into the library's thread; say it like threading does.
    print(f"Exception in qxplaylib {what} callback:", file=sys.stderr)
    traceback.print_exc()


def _as_buffer(data: Any) -> Tuple[Any, int]:
    """A pointer-able object and the length of ``data``, without copying when it can."""
    if isinstance(data, bytes):
        return data, len(data)
    view = memoryview(data)
    if not view.contiguous:
        data = view.tobytes()
        return data, len(data)
    view = view.cast("B")
    if view.readonly:
        data = view.tobytes()
        return data, len(data)
    return (ctypes.c_char * view.nbytes).from_buffer(view), view.nbytes


class Port:
    """One port of the library: ``QxPlay_GetPort`` on creation, ``QxPlay_FreePort`` on
    :meth:`close` (or leaving a ``with`` block).

    Every method raises :class:`QxPlayError` when the export it calls refuses. The
    callbacks (:attr:`on_picture`, :attr:`on_file_end`, :attr:`on_message`) run on
    the library's worker threads; keep them short, since the port shows nothing more
    while one runs.

    >>> with Port(mode=Mode.FILE) as port:          # doctest: +SKIP
    ...     port.open_file("camera.qx")
    ...     port.on_picture = lambda picture: print(picture.width)
    ...     port.play()
    """

    def __init__(self, mode: Union[Mode, int] = Mode.FILE) -> None:
        self._lib = _library.library()
        self._number: Optional[int] = None
        self._closed = False
        self._busy = 0
        self._lock = threading.Condition()
        self._callbacks: List[Any] = []
        self._decode_registered = False
        self._messages_registered = False
        self._on_picture: Optional[Callable[[Picture], Any]] = None
        self._on_file_end: Optional[Callable[[], Any]] = None
        self._on_message: Optional[Callable[[int], Any]] = None
        # For frames(): raw pictures (address, size, width, height, frame rate) without
        # the bytes copy of a Picture; and what must let go before a stop can finish.
        self._raw_sink: Optional[Callable[[int, int, int, int, int], Any]] = None
        self._before_stop: List[Callable[[], Any]] = []
        self._end_told = False
        self._input_ended = False
        number = ctypes.c_int32(-1)
        if self._lib.QxPlay_GetPort(ctypes.byref(number)) != 1:
            raise QxPlayError("QxPlay_GetPort", None, "no free port")
        self._number = number.value
        self._closed = False
        _open_ports.add(self)
        try:
            self.mode = mode
        except BaseException:
            self.close()
            raise

    # ---- plumbing -------------------------------------------------------------------

    def _enter(self, function: str) -> int:
        with self._lock:
            if self._closed or self._number is None:
                raise QxPlayError(function, self._number, "the port is closed")
            self._busy += 1
            return self._number

    def _leave(self) -> None:
        with self._lock:
            self._busy -= 1
            if self._busy == 0:
                self._lock.notify_all()

    def _raw(self, function: str, *arguments: Any) -> Any:
        number = self._enter(function)
        try:
            return getattr(self._lib, function)(number, *arguments)
        finally:
            self._leave()

    def _call(self, function: str, *arguments: Any, detail: str = "") -> None:
        if self._raw(function, *arguments) != 1:
            raise QxPlayError(function, self._number, detail)

    @property
    def number(self) -> int:
        """The port number, 0..199."""
        assert self._number is not None
        return self._number

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<qxplaylib.Port {self._number} {state}>"

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if not self._closed and self._number is not None and not sys.is_finalizing():
                self.close()
        except Exception:
            pass

    # ---- life -----------------------------------------------------------------------

    def _release_waiters(self) -> None:
        for release in list(self._before_stop):
            try:
                release()
            except Exception:
                _report_callback_error("release")

    def stop(self) -> None:
        """``QxPlay_Stop``: ends playback, empties the buffers; the port can play again."""
        self._release_waiters()
        self._call("QxPlay_Stop")
        self._input_ended = False

    def close(self) -> None:
        """Stops the port and frees it. Safe to call twice, and from a callback."""
        with self._lock:
            if self._closed or self._number is None:
                return
            self._closed = True
        number = self._number
        self._release_waiters()
        # Stop first: it ends a wait of another thread's QxPlay_InputData, and no port
        # may be freed while another thread is still in a call on it.
        self._lib.QxPlay_Stop(number)
        with self._lock:
            while self._busy > 0:
                self._lock.wait()
        self._lib.QxPlay_FreePort(number)
        _open_ports.discard(self)
        if _in_callback():
            _retired_callbacks.extend(self._callbacks)

    # ---- opening and playing ----------------------------------------------------------

    @property
    def mode(self) -> Mode:
        """The open mode (``QxPlay_GetStreamOpenMode`` / ``QxPlay_SetStreamOpenMode``)."""
        return Mode(self._raw("QxPlay_GetStreamOpenMode"))

    @mode.setter
    def mode(self, mode: Union[Mode, int]) -> None:
        self._call("QxPlay_SetStreamOpenMode", int(mode), detail=f"no open mode {int(mode)}")

    def open_file(self, path: PathLike) -> None:
        """Names the packet file a :attr:`Mode.FILE` port plays. The library opens it
        only in :meth:`play`, which fails when it cannot be read."""
        mode = self.mode
        if mode != Mode.FILE:
            raise QxPlayError("QxPlay_OpenFile", self._number, f"the port is in {mode!r}, not Mode.FILE")
        self._call("QxPlay_OpenFile", os.fsencode(path))

    def play(self, window: int = 0) -> None:
        """``QxPlay_Play`` into an X11 window id, or none (0): the port still decodes,
        calls back and takes snapshots."""
        self._end_told = False
        self._input_ended = False
        detail = "the file cannot be opened or read" if self.mode == Mode.FILE else ""
        self._call("QxPlay_Play", int(window), detail=detail)

    def try_input(self, data: BytesLike) -> bool:
        """One ``QxPlay_InputData``: True when the bytes were taken. In modes 1 and 2 a
        full port is waited on for up to a second first; live ports refuse at once."""
        pointer, length = _as_buffer(data)
        if length == 0:
            return True
        return self._raw("QxPlay_InputData", pointer, length) == 1

    def input(self, data: BytesLike, timeout: Optional[float] = 10.0) -> None:
        """Hands stream bytes to the port (any piece of the stream, not only whole
        packets), offering them again while the port is full, for up to ``timeout``
        seconds (None: as long as it takes)."""
        pointer, length = _as_buffer(data)
        if length == 0:
            return
        live = None
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self._raw("QxPlay_InputData", pointer, length) == 1:
                return
            if self._input_ended:
                raise QxPlayError("QxPlay_InputData", self._number, "refused: end_input() was called")
            if self.state == State.STOP:
                raise QxPlayError("QxPlay_InputData", self._number, "refused: the port does not play")
            if deadline is not None and time.monotonic() >= deadline:
                raise QxPlayError("QxPlay_InputData", self._number, f"refused for {timeout} s: the port is full")
            if live is None:
                live = self.mode in (Mode.REALTIME, Mode.NOPACE)
            if live:
                time.sleep(_LIVE_INPUT_RETRY_S)

    def end_input(self) -> None:
        """``QxPlay_SetFileEndMsg``: no more input comes, so the last packet plays too
        and every picture still in the port plays out. Taken back by stop/play."""
        self._call("QxPlay_SetFileEndMsg", 0, 0)
        self._input_ended = True

    def pause(self, on: bool = True) -> None:
        """Pauses (the picture on display stays) or resumes."""
        self._call("QxPlay_Pause", 1 if on else 0)

    def step(self) -> None:
        """``QxPlay_OneByOne``: single-step play, one picture per call."""
        self._call("QxPlay_OneByOne")

    @property
    def state(self) -> int:
        """The raw play state (:class:`State`, or 2..16 fast, -16..-2 slow)."""
        return int(self._raw("QxPlay_GetPlayStatus"))

    @property
    def speed(self) -> float:
        """Play speed: 1 normal, 2..16 fast, 1/2..1/16 slow; 0 while paused, stepping,
        stopped or playing back. Only the file modes change speed; set one of
        :data:`SPEEDS`."""
        state = self.state
        if state == 1 or 2 <= state <= 16:
            return float(state)
        if -16 <= state <= -2:
            return 1.0 / -state
        return 0.0

    @speed.setter
    def speed(self, speed: float) -> None:
        if speed >= 2:
            if speed != int(speed):
                raise ValueError(f"no speed {speed}: one of {', '.join(str(s) for s in SPEEDS)}")
            wanted = int(speed)
            self._call("QxPlay_FastEx", wanted, detail=f"no speed {speed} (2, 4, 8 or 16)")
            # A live port answers 1 and plays on at normal speed.
            if self.state != wanted:
                raise QxPlayError("QxPlay_FastEx", self._number, f"the port stays at state {self.state}")
            return
        if speed <= 0:
            raise ValueError(f"no speed {speed}")
        wanted = 1 if speed == 1 else -int(round(1 / speed))
        if wanted not in _SPEED_STATES or (wanted != 1 and abs(1 / wanted + speed) > 1e-9):
            raise ValueError(f"no speed {speed}: one of {', '.join(str(s) for s in SPEEDS)}")
        # Fast and Slow move one step; from any other state Fast goes to 2 first.
        for _ in range(len(_SPEED_STATES) + 1):
            state = self.state
            if state == wanted:
                return
            if state in _SPEED_STATES and _SPEED_STATES.index(state) > _SPEED_STATES.index(wanted):
                self._call("QxPlay_Slow")
            else:
                self._call("QxPlay_Fast")
            if self.state == state:
                break
        raise QxPlayError("QxPlay_Fast" if wanted > self.state else "QxPlay_Slow", self._number,
                          f"the port stays at state {self.state}, not {wanted}")

    def seek(self, fraction: float) -> None:
        """``QxPlay_SetPlayPos``: to a fraction 0.0..1.0 of the file; play goes on from
        the next key picture."""
        self._end_told = False
        self._call("QxPlay_SetPlayPos", float(fraction), detail=f"position {fraction} refused")

    def seek_time(self, seconds: int) -> None:
        """``QxPlay_SetPlayedTimeEx``: to a second from the file's start."""
        self._end_told = False
        self._call("QxPlay_SetPlayedTimeEx", int(seconds))

    # ---- queries ---------------------------------------------------------------------

    @property
    def position(self) -> float:
        """Fraction of the file played, 0.0..1.0.

        The library divides the pictures played by its estimate of the file's
        pictures (whole seconds between the first and last stamps, times the rate),
        which is short by up to a second's worth: its own figure passes 1.0 in the
        last second of a file. It is held at 1.0 here.
        """
        return min(1.0, float(self._raw("QxPlay_GetPlayPos")))

    @property
    def played_time(self) -> int:
        return int(self._raw("QxPlay_GetPlayedTime"))

    @property
    def file_time(self) -> int:
        """The file's length in whole seconds (scans the file the first time)."""
        return int(self._raw("QxPlay_GetFileTime"))

    @property
    def file_frames(self) -> int:
        """The library's estimate of the file's pictures: its length times the rate."""
        return int(self._raw("QxPlay_GetFileTotalFrames"))

    @property
    def played_frames(self) -> int:
        return int(self._raw("QxPlay_GetPlayedFrames"))

    @property
    def frame_rate(self) -> int:
        return int(self._raw("QxPlay_GetCurrentFrameRate"))

    @property
    def picture_size(self) -> Tuple[int, int]:
        """(width, height); (0, 0) before the first parameter set."""
        width, height = ctypes.c_int(0), ctypes.c_int(0)
        self._call("QxPlay_GetPictureSize", ctypes.byref(width), ctypes.byref(height))
        return width.value, height.value

    @property
    def stats(self) -> QxPortStats:
        """``QxPlay_GetPortStats``: what the port has done since its last play."""
        stats = QxPortStats()
        stats.size = ctypes.sizeof(QxPortStats)
        self._call("QxPlay_GetPortStats", ctypes.byref(stats))
        return stats

    # ---- settings --------------------------------------------------------------------

    def set_cache_time(self, milliseconds: int) -> None:
        """How much of a live stream is buffered before its first picture (500 ms)."""
        self._call("QxPlay_SetCacheTime", int(milliseconds))

    def play_sound(self, on: bool = True) -> None:
        """Sound on or off. What the port has read ahead stays silent: turn it on before
        ``play`` to hear a file from its start."""
        self._call("QxPlay_PlaySound" if on else "QxPlay_StopSound")

    @property
    def volume(self) -> int:
        """0..10000 while the sound is on."""
        return int(self._raw("QxPlay_GetVolume"))

    @volume.setter
    def volume(self, volume: int) -> None:
        self._call("QxPlay_SetVolume", int(volume), detail="the sound is off, or no such volume")

    # ---- pictures --------------------------------------------------------------------

    def snapshot(self, kind: str = "bmp") -> bytes:
        """The picture on display as a whole BMP (24-bit) or JPEG file image."""
        if kind not in ("bmp", "jpeg", "jpg"):
            raise ValueError(f"kind must be 'bmp' or 'jpeg', not {kind!r}")
        function = "QxPlay_GetBMP" if kind == "bmp" else "QxPlay_GetJPEG"
        for _ in range(2):  # once more when the size changed in between
            width, height = self.picture_size
            if width <= 0 or height <= 0:
                raise QxPlayError(function, self._number, "no picture yet")
            if kind == "bmp":
                need = 54 + height * ((width * 3 + 3) & ~3)
            else:
                # More than a JPEG of the picture can take; the library wants w*h*3/2.
                need = width * height * 3 + 65536
            buffer = ctypes.create_string_buffer(need)
            size = ctypes.c_uint32(0)
            if self._raw(function, buffer, need, ctypes.byref(size)) == 1:
                return buffer.raw[: size.value]
            if self.picture_size == (width, height):
                break
        raise QxPlayError(function, self._number, "no picture on display (none yet, or the file has ended)")

    def capture(self, path: PathLike, kind: str = "bmp") -> None:
        """Asks for the next picture delivered to be written to ``path`` (the library
        writes it on its own thread, a picture later)."""
        if kind not in ("bmp", "jpeg", "jpg"):
            raise ValueError(f"kind must be 'bmp' or 'jpeg', not {kind!r}")
        function = "QxPlay_CaptureBmpPicture" if kind == "bmp" else "QxPlay_CaptureJpegPicture"
        self._call(function, os.fsencode(path))

    # ---- callbacks -------------------------------------------------------------------

    @property
    def on_picture(self) -> Optional[Callable[[Picture], Any]]:
        """Called with a :class:`Picture` for every picture the port delivers, on the
        port's worker thread. The library cannot take the callback back: None only
        stops the calls into Python."""
        return self._on_picture

    @on_picture.setter
    def on_picture(self, callback: Optional[Callable[[Picture], Any]]) -> None:
        self._on_picture = callback
        if callback is not None:
            self._register_decode()

    @property
    def on_file_end(self) -> Optional[Callable[[], Any]]:
        """Called once the port has played everything it had: the end of a file (modes
        1 and 2), once per play and again after each seek. It comes on the thread that
        delivers the pictures, after the last one."""
        return self._on_file_end

    @on_file_end.setter
    def on_file_end(self, callback: Optional[Callable[[], Any]]) -> None:
        self._on_file_end = callback
        if callback is not None:
            self._register_messages()

    @property
    def on_message(self) -> Optional[Callable[[int], Any]]:
        """Called with every decode message (0: playback has run out of data)."""
        return self._on_message

    @on_message.setter
    def on_message(self, callback: Optional[Callable[[int], Any]]) -> None:
        self._on_message = callback
        if callback is not None:
            self._register_messages()

    def _register_decode(self) -> None:
        if self._decode_registered:
            return
        me = weakref.ref(self)

        def decode(port: int, buffer: int, size: int, info: Any, r1: int, r2: int) -> None:
            self_ = me()
            if self_ is None or self_._closed or not buffer or size <= 0:
                return
            _callback_thread.depth = getattr(_callback_thread, "depth", 0) + 1
            try:
                frame: QxFrameInfo = info.contents
                self_._deliver(buffer, size, frame.width, frame.height, frame.frameRate)
            except Exception:
                _report_callback_error("picture")
            finally:
                _callback_thread.depth -= 1

        function = DecodeCallback(decode)
        self._callbacks.append(function)
        self._call("QxPlay_SetDecCallBack", function)
        self._decode_registered = True

    def _deliver(self, buffer: int, size: int, width: int, height: int, rate: int) -> None:
        sink = self._raw_sink
        if sink is not None:
            sink(buffer, size, width, height, rate)
        callback = self._on_picture
        if callback is not None:
            callback(Picture(self.number, width, height, rate, ctypes.string_at(buffer, size)))

    def _register_messages(self) -> None:
        if self._messages_registered:
            return
        me = weakref.ref(self)

        def message(port: int, code: int, user: Any) -> None:
            self_ = me()
            if self_ is None or self_._closed:
                return
            _callback_thread.depth = getattr(_callback_thread, "depth", 0) + 1
            try:
                if self_._on_message is not None:
                    self_._on_message(code)
                if code == 0:
                    self_._ended()
            except Exception:
                _report_callback_error("message")
            finally:
                _callback_thread.depth -= 1

        def file_end(port: int, user: Any) -> None:
            self_ = me()
            if self_ is None or self_._closed:
                return
            _callback_thread.depth = getattr(_callback_thread, "depth", 0) + 1
            try:
                self_._ended()
            except Exception:
                _report_callback_error("file end")
            finally:
                _callback_thread.depth -= 1

        functions = (MessageCallback(message), FileEndCallback(file_end))
        self._callbacks.extend(functions)
        self._call("QxPlay_SetDecMsgCallBack", functions[0], None)
        # The library keeps this one for hosts of the older interface; should it ever
        # call it, the end is still told once.
        self._call("QxPlay_SetFileEndCallback", functions[1], None)
        self._messages_registered = True

    def _ended(self) -> None:
        if self._end_told:
            return
        self._end_told = True
        if self._on_file_end is not None:
            self._on_file_end()


@atexit.register
def _close_all_ports() -> None:
    # A worker calling into a finalising interpreter would crash the process.
    for port in list(_open_ports):
        try:
            port.close()
        except Exception:
            pass
