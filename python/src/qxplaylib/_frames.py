"""frames(): the decoded pictures of a file or a stream as numpy arrays."""

from __future__ import annotations

import collections
import ctypes
import os
import threading
import time
from typing import Any, Iterable, Iterator, Optional, Union

from ._convert import FORMATS, convert, require_numpy
from ._library import QxPortStats
from ._port import Mode, Port, QxPlayError, _report_callback_error

__all__ = ["FrameIterator", "frames"]

# The fastest speed the file modes have: their play loop sleeps a sixteenth of the
# picture interval after each picture (2 ms at 25 fps), and no faster state exists.
FASTEST_SPEED = 16
# After the host's end of input, how long nothing may happen before a stream that
# gave no end message counts as played out. Live ports pace the pictures still
# buffered at their real interval, so it is also at least a few intervals.
_QUIET_S = 1.0
_POLL_S = 0.05
_JOIN_S = 0.5

_END = object()


class _PictureQueue:
    """Bounded hand-over from the library's thread: put() blocks while full, so a slow
    consumer holds the port back (file modes) instead of growing memory; close() lets
    every blocked put() go at once."""

    def __init__(self, size: int) -> None:
        self._items: "collections.deque[Any]" = collections.deque()
        self._size = max(1, size)
        self._cond = threading.Condition()
        self._closed = False

    def put(self, item: Any) -> bool:
        with self._cond:
            while len(self._items) >= self._size and not self._closed:
                self._cond.wait()
            if self._closed:
                return False
            self._items.append(item)
            self._cond.notify_all()
            return True

    def put_end(self) -> None:
        # Never blocks: it goes behind the pictures, whatever the bound.
        with self._cond:
            if not self._closed:
                self._items.append(_END)
                self._cond.notify_all()

    def get(self, timeout: float) -> Any:
        """The next item, or None when none came within timeout (or on wake())."""
        with self._cond:
            if not self._items and not self._closed:
                self._cond.wait(timeout)
            if not self._items:
                return None
            item = self._items.popleft()
            self._cond.notify_all()
            return item

    def empty(self) -> bool:
        with self._cond:
            return not self._items

    def wake(self) -> None:
        with self._cond:
            self._cond.notify_all()

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._items.clear()
            self._cond.notify_all()


def _is_path(source: Any) -> bool:
    return isinstance(source, (str, os.PathLike))


class _Playback:
    """What the library's thread, the feeder thread and the consumer share. Neither
    thread holds the FrameIterator itself, so that an iterator the consumer drops is
    collected, and its port freed, even while the library waits on a full queue."""

    def __init__(self, port: Port, queue: _PictureQueue, np: Any, file: bool, live: bool) -> None:
        self.port = port
        self.queue = queue
        self.np = np
        self.file = file
        self.live = live
        self.closed = False
        self.lock = threading.Lock()
        # guarded by lock
        self.received = 0  # pictures the callback took
        self.delivering = 0  # callbacks now waiting to hand one over
        self.last_activity = time.monotonic()
        self.last_figures: Optional[tuple] = None
        # written by the feeder only
        self.feed_error: Optional[BaseException] = None
        self.refused_since: Optional[float] = None
        self.input_ended_at: Optional[float] = None
        self.end_message_valid = False

    def touch(self) -> None:
        with self.lock:
            self.last_activity = time.monotonic()

    # ---- on the library's threads ---------------------------------------------------

    def take(self, buffer: int, size: int, width: int, height: int, rate: int) -> None:
        np = self.np
        picture = np.empty(size, dtype=np.uint8)
        ctypes.memmove(picture.ctypes.data, buffer, size)
        with self.lock:
            self.delivering += 1
            self.received += 1
            self.last_activity = time.monotonic()
        try:
            self.queue.put((picture, width, height))
        finally:
            with self.lock:
                self.delivering -= 1
                self.last_activity = time.monotonic()

    def on_end(self) -> None:
        if self.file:
            self.queue.put_end()
            return
        # In mode 1 the port says so only once per play: an end told while the host
        # was still feeding (its input paused for 400 ms) is not the end, and then
        # none follows. Only one after the host's end of input, with nothing left
        # in the source buffer, ends the stream; otherwise the quiet rule does.
        if self.input_ended_at is not None and self.port.stats.sourceBufferFill == 0:
            self.end_message_valid = True
            self.queue.put_end()

    # ---- on the feeder thread -------------------------------------------------------

    def feed(self, chunks: Iterator[Any]) -> None:
        port = self.port
        try:
            for chunk in chunks:
                if self.closed:
                    return
                while not self.closed:
                    if port.try_input(chunk):
                        self.refused_since = None
                        break
                    if self.refused_since is None:
                        self.refused_since = time.monotonic()
                    if self.live:  # a live port refuses at once, without waiting
                        time.sleep(0.005)
        except BaseException as error:  # handed to the consumer after the last picture
            if not self.closed:
                self.feed_error = error
        finally:
            if not self.closed:
                try:
                    port.end_input()
                except QxPlayError:
                    pass
                self.touch()
                self.input_ended_at = time.monotonic()
                self.queue.wake()

    # ---- on the consumer's thread ---------------------------------------------------

    def played_out(self) -> bool:
        """For streams: the host's input has ended and the port has done nothing for a
        while: no picture, no byte taken from its buffer (a cut-off last packet stays
        there for good), nothing on its way to the consumer."""
        if self.input_ended_at is None or not self.queue.empty():
            return False
        stats = self.port.stats
        figures = (stats.sourceBufferFill, stats.picturesShown, stats.picturesDecoded)
        quiet = max(_QUIET_S, 3.0 / stats.frameRate) if stats.frameRate > 0 else _QUIET_S
        with self.lock:
            if figures != self.last_figures:
                self.last_figures = figures
                self.last_activity = time.monotonic()
            return (
                not self.delivering
                and time.monotonic() - self.last_activity >= quiet
                and stats.picturesShown <= self.received
            )

    def stalled(self, waited_from: float, timeout: float) -> bool:
        now = time.monotonic()
        if self.file:
            return now - waited_from >= timeout
        if self.input_ended_at is not None:
            with self.lock:
                return now - max(waited_from, self.last_activity) >= timeout
        refused = self.refused_since
        return refused is not None and now - max(waited_from, refused) >= timeout

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        self.queue.close()
        self.port.close()


class FrameIterator(Iterator[Any]):
    """What :func:`frames` returns: an iterator of arrays that owns a port.

    The port is freed when the last picture has been taken, when :meth:`close` is
    called (``with`` block), or when the iterator is garbage-collected (a ``for``
    loop left by ``break`` once nothing else holds the iterator).
    """

    def __init__(
        self,
        source: Union[str, "os.PathLike[str]", Iterable[bytes], bytes],
        format: str = "bgr",
        *,
        live: Optional[bool] = None,
        queue_size: int = 8,
        timeout: float = 10.0,
    ) -> None:
        self._playback: Optional[_Playback] = None
        self._feeder: Optional[threading.Thread] = None
        self._finished_stats: Optional[QxPortStats] = None
        np = require_numpy()
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        self._format = format
        self._timeout = float(timeout)
        self.delivered = 0
        """Pictures handed to the consumer so far."""

        file = _is_path(source)
        if file:
            if live:
                raise ValueError("live applies to streams of chunks, not to a file")
            path = os.fspath(source)
            with open(path, "rb"):  # a missing file is a FileNotFoundError, as in open()
                pass
            mode = Mode.FILE
        else:
            if isinstance(source, (bytes, bytearray, memoryview)):
                source = [source]
            chunks = iter(source)  # a TypeError here for what is no stream
            mode = Mode.REALTIME if live else Mode.STREAM
        queue = _PictureQueue(queue_size)
        port = Port(mode)
        playback = _Playback(port, queue, np, file, bool(live))
        self._playback = playback
        self.port_number = port.number
        """The library's number of the port that plays the source."""
        try:
            port._before_stop.append(queue.close)
            port._raw_sink = playback.take
            port._register_decode()
            if not live:
                port.on_file_end = playback.on_end
            if file:
                port.open_file(path)
            port.play()
            if not live:
                port.speed = FASTEST_SPEED
            if not file:
                self._feeder = threading.Thread(
                    target=playback.feed, args=(chunks,), name=f"qxplaylib-feed-{port.number}", daemon=True
                )
                self._feeder.start()
        except BaseException:
            self.close()
            raise

    def __iter__(self) -> "FrameIterator":
        return self

    def __next__(self) -> Any:
        playback = self._playback
        if playback is None or playback.closed:
            raise StopIteration
        waited_from = time.monotonic()
        while True:
            item = playback.queue.get(min(self._timeout, 0.5) if playback.file else _POLL_S)
            if item is _END:
                self._finish()
            if item is not None:
                picture, width, height = item
                self.delivered += 1
                return convert(picture, width, height, self._format)
            if playback.closed:
                raise StopIteration
            if not playback.file and playback.played_out():
                self._finish()
            if playback.stalled(waited_from, self._timeout):
                self._stall()

    def _stall(self) -> None:
        playback = self._playback
        assert playback is not None
        try:
            stats = repr(playback.port.stats)
        except QxPlayError:
            stats = "none"
        self.close()
        raise QxPlayError(
            "frames", self.port_number, f"no picture and no end of the stream for {self._timeout} s ({stats})"
        )

    def _finish(self) -> None:
        playback = self._playback
        assert playback is not None
        try:
            self._finished_stats = playback.port.stats
        except QxPlayError:
            pass
        self.close()
        error, playback.feed_error = playback.feed_error, None
        if error is not None:
            raise error
        raise StopIteration

    @property
    def stats(self) -> Optional[QxPortStats]:
        """The port's statistics: now while playing, as they were at the end once the
        last picture was taken; None after an early close."""
        playback = self._playback
        if playback is None or playback.closed:
            return self._finished_stats
        return playback.port.stats

    def close(self) -> None:
        """Stops and frees the port; the iterator ends."""
        playback = self._playback
        if playback is None or playback.closed:
            return
        playback.close()
        feeder = self._feeder
        if feeder is not None and feeder is not threading.current_thread():
            # It sees the close after the call or chunk it is in; a source that blocks
            # in its own next() is not waited for long (the thread is a daemon).
            feeder.join(_JOIN_S)

    def __enter__(self) -> "FrameIterator":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            _report_callback_error("frames cleanup")


def frames(
    source: Union[str, "os.PathLike[str]", Iterable[bytes], bytes],
    format: str = "bgr",
    *,
    live: Optional[bool] = None,
    queue_size: int = 8,
    timeout: float = 10.0,
) -> FrameIterator:
    """Every decoded picture of ``source`` as a numpy array, in order.

    ``source`` is a path of a recorded packet file, or an iterable of bytes chunks of a
    packet stream (any sizes; a single bytes object is one chunk).

    ``format``: "bgr" or "rgb" give ``(height, width, 3)`` uint8 arrays, converted as
    the library converts (BT.601 limited range); "yuv420p" gives ``(height * 3 // 2,
    width)`` uint8 I420 arrays (Y, then U, then V planes).

    A file plays in :attr:`Mode.FILE`, and a stream in :attr:`Mode.STREAM`, both at the
    library's fastest speed (16 times real time; the library has no unpaced file play),
    and only as fast as the consumer takes the pictures: at most ``queue_size`` wait.
    With ``live=True`` a stream plays in :attr:`Mode.REALTIME` as a camera's would: its
    chunks should come at the stream's own rate, and the port drops pictures when the
    chunks or the consumer fall a second behind.

    The iterator ends after the last picture, raising an exception the stream's
    iterable raised, if any, only then. It raises :class:`QxPlayError` when for
    ``timeout`` seconds neither a picture nor the end came. Leaving early
    (``break``, :meth:`FrameIterator.close`, a ``with`` block) stops and frees the port.
    """
    return FrameIterator(source, format, live=live, queue_size=queue_size, timeout=timeout)
