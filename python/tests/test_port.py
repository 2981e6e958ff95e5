"""Port: control, errors, callbacks, snapshots and statistics against the real library."""

from __future__ import annotations

import ctypes
import threading
import time

import pytest

import qxplaylib
from qxplaylib import Codec, Mode, Port, QxPlayError, QxPortStats, State


class Counter:
    """Pictures and ends the callbacks saw, under a lock: they come on the port's thread."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.pictures = []
        self.ends = 0
        self.ended = threading.Event()

    def on_picture(self, picture) -> None:
        with self.lock:
            self.pictures.append(picture)

    def on_file_end(self) -> None:
        with self.lock:
            self.ends += 1
        self.ended.set()

    def count(self) -> int:
        with self.lock:
            return len(self.pictures)

    def wait_count(self, n: int, seconds: float = 10.0) -> bool:
        deadline = time.monotonic() + seconds
        while self.count() < n and time.monotonic() < deadline:
            time.sleep(0.005)
        return self.count() >= n

    def wait_still(self, seconds: float = 0.3) -> int:
        """Waits until no picture has come for `seconds`; the count then."""
        last, since = -1, time.monotonic()
        while time.monotonic() - since < seconds:
            time.sleep(0.02)
            if self.count() != last:
                last, since = self.count(), time.monotonic()
        return last


def playing_file(stream, counter: Counter, speed: float = 16) -> Port:
    port = Port(mode=Mode.FILE)
    port.open_file(stream.path)
    port.on_picture = counter.on_picture
    port.on_file_end = counter.on_file_end
    port.play()
    port.speed = speed
    return port


def test_a_port_is_taken_and_freed():
    with Port() as port:
        number = port.number
        assert 0 <= number < qxplaylib.MAX_PORTS
        assert qxplaylib.port_is_live(number)
        assert port.mode == Mode.FILE
        port.mode = Mode.STREAM
        assert port.mode == Mode.STREAM
    assert port.closed
    assert not qxplaylib.port_is_live(number)
    port.close()  # twice is fine


def test_refusals_raise_qxplay_error(tmp_path):
    with Port() as port:
        with pytest.raises(QxPlayError) as caught:
            port.mode = 7
        assert caught.value.function == "QxPlay_SetStreamOpenMode"
        assert caught.value.port == port.number
        assert port.mode == Mode.FILE  # the mode stays

        port.open_file(tmp_path / "missing.qx")
        with pytest.raises(QxPlayError) as caught:
            port.play()
        assert caught.value.function == "QxPlay_Play"

        with pytest.raises(QxPlayError) as caught:
            port.snapshot("bmp")
        assert caught.value.port == port.number

    with Port(mode=Mode.STREAM) as port:
        with pytest.raises(QxPlayError) as caught:
            port.input(b"AAAAAAAA" + bytes(100), timeout=2)
        assert caught.value.function == "QxPlay_InputData"
        with pytest.raises(QxPlayError):
            port.open_file(tmp_path / "x.qx")  # not a file port

    closed = Port()
    closed.close()
    with pytest.raises(QxPlayError, match="closed"):
        closed.play()
    with pytest.raises(QxPlayError):
        closed.stats


def test_ports_run_out_and_come_back():
    taken = []
    try:
        with pytest.raises(QxPlayError) as caught:
            for _ in range(qxplaylib.MAX_PORTS + 1):
                taken.append(Port())
        assert caught.value.function == "QxPlay_GetPort"
        assert caught.value.port is None
        assert len(taken) == qxplaylib.MAX_PORTS, "ports still taken by earlier tests"
    finally:
        for port in taken:
            port.close()
    with Port() as port:
        assert qxplaylib.port_is_live(port.number)


def test_speeds_states_and_pause(streams):
    counter = Counter()
    with playing_file(streams["seek"], counter, speed=1) as port:
        assert port.state == State.NORMAL and port.speed == 1.0
        for speed in (2, 4, 8, 16):
            port.speed = speed
            assert port.state == speed and port.speed == speed
        for speed in (0.5, 0.25, 1 / 16, 1 / 8, 1, 4):
            port.speed = speed
            assert port.speed == pytest.approx(speed)
        with pytest.raises(QxPlayError) as caught:
            port.speed = 3
        assert caught.value.function == "QxPlay_FastEx"
        assert port.speed == 4
        with pytest.raises(ValueError):
            port.speed = 0.3

        assert counter.wait_count(3)
        port.pause()
        assert port.state == State.PAUSE and port.speed == 0.0
        paused_at = counter.wait_still()
        time.sleep(0.3)
        assert counter.count() == paused_at
        port.pause(False)
        assert port.state == 4
        assert counter.wait_count(paused_at + 3)


def test_a_live_port_keeps_normal_speed(streams):
    with Port(mode=Mode.REALTIME) as port:
        port.play()
        with pytest.raises(QxPlayError):
            port.speed = 4
        assert port.state == State.NORMAL


def test_the_end_of_a_file_and_a_seek(streams):
    stream = streams["seek"]
    counter = Counter()
    with playing_file(stream, counter) as port:
        assert port.file_time >= 3
        assert counter.ended.wait(20), "no end of the file"
        whole = counter.wait_still()
        assert whole == stream.pictures
        assert port.position == pytest.approx(1.0, abs=0.05)

        with pytest.raises(QxPlayError) as caught:
            port.seek(1.5)
        assert caught.value.function == "QxPlay_SetPlayPos"
        counter.ended.clear()
        port.seek(0.5)
        assert counter.ended.wait(20), "no end after the seek"
        rest = counter.wait_still() - whole
        # From the key picture at or after the middle to the end.
        assert 0 < rest < stream.pictures
        assert abs(rest - stream.pictures / 2) <= 25
        assert counter.ends == 2


def test_pushed_input_statistics(h264):
    data = h264.data
    counter = Counter()
    with Port(mode=Mode.STREAM) as port:
        port.on_picture = counter.on_picture
        port.on_file_end = counter.on_file_end
        port.play()
        port.speed = 16
        for at in range(0, len(data), 1400):
            port.input(data[at : at + 1400])
        port.input(b"")  # nothing to give is no error
        port.end_input()
        with pytest.raises(QxPlayError):
            port.input(data[:100], timeout=1)
        assert counter.ended.wait(20)
        assert counter.wait_still() == h264.pictures
        stats = port.stats
    assert isinstance(stats, QxPortStats)
    assert stats.size == ctypes.sizeof(QxPortStats) == 96
    assert stats.codec == Codec.H264
    assert (stats.width, stats.height) == (h264.width, h264.height)
    assert stats.frameRate == 25
    assert stats.soundOn == 0 and stats.soundSink == qxplaylib.Sink.NONE
    assert stats.picturesDecoded == stats.picturesShown == h264.pictures
    assert stats.picturesDropped == 0 and stats.picturesLate == 0
    assert stats.inputBytes == len(data)
    assert stats.sourceBufferFill == 0 < stats.sourceBufferSize
    assert stats.latencyMs == -1  # not a live port
    pictures = counter.pictures
    assert all((p.width, p.height) == (h264.width, h264.height) for p in pictures)
    assert all(len(p.yv12) == h264.width * h264.height * 3 // 2 for p in pictures)
    assert all(p.frame_rate == 25 for p in pictures)


def test_input_takes_any_bytes_like(h265):
    data = h265.data
    counter = Counter()
    with Port(mode=Mode.STREAM) as port:
        port.on_picture = counter.on_picture
        port.on_file_end = counter.on_file_end
        port.play()
        port.speed = 16
        third = len(data) // 3
        port.input(bytearray(data[:third]))
        port.input(memoryview(data)[third : 2 * third])
        port.input(memoryview(bytearray(data[2 * third :])))
        port.end_input()
        assert counter.ended.wait(20)
        assert counter.wait_still() == h265.pictures
        assert port.stats.inputBytes == len(data)


def test_snapshots_of_the_paused_picture(streams, tmp_path):
    stream = streams["h264"]
    counter = Counter()
    with playing_file(stream, counter, speed=1) as port:
        assert counter.wait_count(5)
        port.capture(tmp_path / "next.bmp", "bmp")
        assert counter.wait_count(counter.count() + 3)
        port.pause()
        counter.wait_still()
        bmp = port.snapshot("bmp")
        jpeg = port.snapshot("jpeg")
        last = counter.pictures[-1]
    width, height = stream.width, stream.height
    stride = (width * 3 + 3) & ~3
    assert bmp[:2] == b"BM" and len(bmp) == 54 + stride * height
    assert int.from_bytes(bmp[2:6], "little") == len(bmp)
    assert int.from_bytes(bmp[18:22], "little") == width
    assert int.from_bytes(bmp[22:26], "little") == height
    assert jpeg[:2] == b"\xff\xd8" and jpeg[-2:] == b"\xff\xd9"
    written = (tmp_path / "next.bmp").read_bytes()
    assert written[:2] == b"BM" and len(written) == len(bmp)
    np = pytest.importorskip("numpy", reason="the colour check needs numpy")
    # The picture on display is the last one called back.
    difference = np.abs(qxplaylib.bmp_to_array(bmp).astype(int) - last.to_array("bgr").astype(int))
    assert difference.max() <= 2


def test_a_port_closed_from_its_own_callback(h264):
    port = Port()
    port.open_file(h264.path)
    number = port.number
    closed = threading.Event()
    seen = []

    def on_picture(picture):
        seen.append(picture)
        if len(seen) == 3:
            port.close()
            closed.set()

    port.on_picture = on_picture
    port.play()
    assert closed.wait(10)
    deadline = time.monotonic() + 5
    while qxplaylib.port_is_live(number) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not qxplaylib.port_is_live(number)
    time.sleep(0.2)
    assert len(seen) == 3  # nothing more after the close
    with pytest.raises(QxPlayError):
        port.play()


def test_a_stopped_port_plays_again(h265):
    counter = Counter()
    with playing_file(h265, counter) as port:
        assert counter.ended.wait(20)
        assert counter.wait_still() == h265.pictures
        port.stop()
        assert port.state == State.STOP
        counter.ended.clear()
        port.play()
        port.speed = 16
        assert counter.ended.wait(20)
        assert counter.wait_still() == 2 * h265.pictures
        assert port.stats.picturesShown == h265.pictures  # counted since the play
