"""frames(): every picture, in the right shape and colours, from files and streams."""

from __future__ import annotations

import gc
import threading
import time

import pytest

np = pytest.importorskip("numpy", reason="frames() hands out numpy arrays: install python3-numpy")

import qxplaylib  # noqa: E402
from qxplaylib import Codec, frames  # noqa: E402


def chunks(data: bytes, size: int = 1400):
    for at in range(0, len(data), size):
        yield data[at : at + size]


def assert_distinct(pictures) -> None:
    # The stream's pattern moves: a picture delivered twice, or a stale buffer,
    # shows as two equal neighbours.
    for i in range(1, len(pictures)):
        assert not np.array_equal(pictures[i - 1], pictures[i]), f"pictures {i - 1} and {i} are equal"


@pytest.mark.parametrize(
    "format, shape",
    [("bgr", lambda h, w: (h, w, 3)), ("rgb", lambda h, w: (h, w, 3)), ("yuv420p", lambda h, w: (h * 3 // 2, w))],
)
def test_a_file_gives_every_picture_in_the_format(h264, format, shape):
    with frames(h264.path, format) as it:
        pictures = list(it)
    assert len(pictures) == h264.pictures
    for picture in pictures:
        assert picture.dtype == np.uint8
        assert picture.shape == shape(h264.height, h264.width)
    assert_distinct(pictures)
    stats = it.stats
    assert stats.picturesShown == h264.pictures
    assert stats.picturesDecoded == h264.pictures
    assert stats.picturesDropped == 0
    assert stats.codec == Codec.H264
    assert (stats.width, stats.height) == (h264.width, h264.height)
    assert stats.frameRate == 25
    assert stats.inputBytes == h264.path.stat().st_size


def test_an_h265_file_gives_every_picture(h265):
    pictures = list(frames(str(h265.path)))
    assert len(pictures) == h265.pictures
    assert all(p.shape == (h265.height, h265.width, 3) for p in pictures)
    assert_distinct(pictures)


def test_the_formats_are_the_same_pictures(h264):
    bgr = list(frames(h264.path, "bgr"))
    rgb = list(frames(h264.path, "rgb"))
    i420 = list(frames(h264.path, "yuv420p"))
    assert len(bgr) == len(rgb) == len(i420) == h264.pictures
    w, h = h264.width, h264.height
    for b, r, y in zip(bgr, rgb, i420):
        assert np.array_equal(b, r[..., ::-1])
        # The I420 picture, turned back into YV12, converts to the same BGR.
        flat = y.reshape(-1)
        luma, chroma = w * h, w * h // 4
        yv12 = np.concatenate([flat[:luma], flat[luma + chroma :], flat[luma : luma + chroma]])
        assert np.array_equal(qxplaylib.convert(yv12, w, h, "bgr"), b)
    # Colour, not grey: a swap of red and blue would show.
    assert np.abs(bgr[10][..., 0].astype(int) - bgr[10][..., 2]).mean() > 5


def library_pictures(stream, wanted):
    """YV12 pictures `wanted` of a file, each with the library's BMP snapshot of the same
    picture, taken inside the decode callback, before the port moves on."""
    taken = {}
    done = threading.Event()
    with qxplaylib.Port() as port:
        port.open_file(stream.path)
        seen = [0]

        def on_picture(picture):
            index = seen[0]
            seen[0] += 1
            if index in wanted:
                taken[index] = (picture, port.snapshot("bmp"))
                if len(taken) == len(wanted):
                    done.set()

        port.on_picture = on_picture
        port.play()
        assert done.wait(20), f"only {seen[0]} pictures came"
    return taken


@pytest.mark.parametrize("name", ["h264", "h265"])
def test_colours_match_the_librarys_own_bmp(streams, name, tmp_path):
    stream = streams[name]
    wanted = {5, 17, stream.pictures - 2}
    taken = library_pictures(stream, wanted)
    pictures = list(frames(stream.path, "bgr"))
    for index in sorted(wanted):
        picture, bmp = taken[index]
        snapshot = qxplaylib.bmp_to_array(bmp)
        assert snapshot.shape == pictures[index].shape
        difference = np.abs(pictures[index].astype(int) - snapshot.astype(int))
        assert difference.max() <= 2, f"picture {index}"
        assert difference.mean() < 0.5
        # The library's file conversion of the callback's own YV12 copy agrees too.
        path = tmp_path / f"{name}-{index}.bmp"
        lib = qxplaylib.library()
        assert lib.QxPlay_ConvertToBmpFile(
            picture.yv12, len(picture.yv12), picture.width, picture.height, 0, str(path).encode()
        ) == 1
        converted = qxplaylib.bmp_to_array(path.read_bytes())
        assert np.abs(converted.astype(int) - pictures[index].astype(int)).max() <= 2


@pytest.mark.parametrize("size", [1400, 188, 65536])
def test_a_stream_of_network_chunks_gives_every_picture(h264, size):
    data = h264.data
    with frames(chunks(data, size)) as it:
        pictures = list(it)
    assert len(pictures) == h264.pictures
    assert all(p.shape == (h264.height, h264.width, 3) for p in pictures)
    assert_distinct(pictures)
    assert it.stats.inputBytes == len(data)
    assert it.stats.picturesShown == h264.pictures
    assert it.stats.picturesDropped == 0


def test_stream_pictures_equal_file_pictures(h265):
    from_file = list(frames(h265.path, "yuv420p"))
    from_stream = list(frames(chunks(h265.data), "yuv420p"))
    assert len(from_file) == len(from_stream) == h265.pictures
    for a, b in zip(from_file, from_stream):
        assert np.array_equal(a, b)


def test_a_single_bytes_object_is_a_whole_stream(h265):
    assert sum(1 for _ in frames(h265.data)) == h265.pictures


def test_a_stream_that_pauses_half_way_still_gives_every_picture(h264):
    # The port tells "out of data" once per play; a pause in the input must not end
    # the pictures there, nor keep the end from coming.
    data = h264.data

    def slow():
        for i, chunk in enumerate(chunks(data)):
            if i == len(data) // 2800:
                time.sleep(0.8)
            yield chunk

    started = time.monotonic()
    assert sum(1 for _ in frames(slow())) == h264.pictures
    assert time.monotonic() - started < 8


def test_a_live_stream_at_its_own_rate_gives_every_picture(h264):
    data = h264.data
    count = (len(data) + 1399) // 1400
    seconds = h264.pictures / 25

    def camera():
        start = time.monotonic()
        for i, chunk in enumerate(chunks(data)):
            delay = start + seconds * i / count - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            yield chunk

    with frames(camera(), live=True) as it:
        pictures = list(it)
        stats = it.stats
    assert len(pictures) == h264.pictures
    assert_distinct(pictures)
    assert stats.picturesShown == h264.pictures
    assert stats.inputBytes == len(data)


def test_an_error_of_the_stream_comes_after_its_pictures(h264):
    data = h264.data

    class Broken(Exception):
        pass

    def broken():
        yield from chunks(data[: len(data) // 2])
        raise Broken("connection lost")

    got = []
    with pytest.raises(Broken):
        for picture in frames(broken()):
            got.append(picture)
    # About half of the pictures were in the first half of the bytes.
    assert h264.pictures // 3 < len(got) < h264.pictures


def wait_freed(number, seconds=5.0):
    deadline = time.monotonic() + seconds
    while qxplaylib.port_is_live(number) and time.monotonic() < deadline:
        time.sleep(0.01)
    return not qxplaylib.port_is_live(number)


@pytest.mark.parametrize("kind", ["file", "stream", "live"])
def test_breaking_out_early_frees_the_port(streams, kind):
    big = streams["big"]
    if kind == "file":
        it = frames(big.path, queue_size=2)
    else:
        it = frames(chunks(big.data), queue_size=2, live=kind == "live")
    number = it.port_number
    assert qxplaylib.port_is_live(number)
    taken = 0
    for _ in it:
        taken += 1
        if taken == 3:
            # The queue is full and the library's thread waits in the callback; a
            # stream's feeder waits for room in the port.
            time.sleep(0.5)
            started = time.monotonic()
            break
    it.close()
    assert time.monotonic() - started < 3
    assert not qxplaylib.port_is_live(number)
    assert next(it, None) is None
    # The library still hands out ports and plays.
    with qxplaylib.Port() as port:
        assert qxplaylib.port_is_live(port.number)
    assert sum(1 for _ in frames(streams["h265"].path)) == streams["h265"].pictures


def test_a_for_loop_left_by_break_frees_the_port(h264):
    numbers = []
    for _ in range(3):
        it = frames(h264.path)
        numbers.append(it.port_number)
        for _ in it:
            break
        del it
    gc.collect()
    assert all(wait_freed(n) for n in numbers)


def test_an_abandoned_iterator_is_freed_when_collected(h264):
    it = frames(chunks(h264.data))
    next(it)
    number = it.port_number
    del it
    gc.collect()
    assert wait_freed(number)


def test_a_file_without_packets_ends_without_pictures(tmp_path):
    junk = tmp_path / "junk.qx"
    junk.write_bytes(bytes(range(256)) * 400)
    started = time.monotonic()
    assert list(frames(junk, timeout=5)) == []
    assert time.monotonic() - started < 5


def test_bad_arguments():
    with pytest.raises(FileNotFoundError):
        frames("/nonexistent/stream.qx")
    with pytest.raises(ValueError):
        frames(b"", "bgra")
    with pytest.raises(TypeError):
        frames(12)


def test_leaving_python_with_a_port_still_playing(h264):
    # The iterator is still referenced when the interpreter ends, and the library's
    # thread waits in the callback on its full queue: the exit must free it.
    import subprocess
    import sys

    code = (
        "import sys, time, qxplaylib\n"
        "it = qxplaylib.frames(sys.argv[1], queue_size=1)\n"
        "next(it)\n"
        "time.sleep(0.5)\n"
        "print('took one')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code, str(h264.path)], capture_output=True, text=True, timeout=30
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "took one\n"
    assert "Exception" not in result.stderr, result.stderr


@pytest.mark.parametrize("width, height", [(64, 48), (66, 34), (65, 63), (2, 2), (33, 64)])
def test_convert_agrees_with_the_librarys_conversion_at_any_size(width, height, tmp_path):
    # Every byte value, in random order, through the library's own YV12-to-BMP.
    rng = np.random.default_rng(width * 1000 + height)
    yv12 = rng.integers(0, 256, width * height * 3 // 2, dtype=np.uint8)
    path = tmp_path / "picture.bmp"
    assert qxplaylib.library().QxPlay_ConvertToBmpFile(
        yv12.tobytes(), yv12.size, width, height, 0, str(path).encode()
    ) == 1
    theirs = qxplaylib.bmp_to_array(path.read_bytes())
    ours = qxplaylib.convert(yv12, width, height, "bgr")
    assert ours.shape == theirs.shape == (height, width, 3)
    difference = np.abs(ours.astype(int) - theirs.astype(int))
    assert difference.max() <= 1
    assert np.array_equal(qxplaylib.convert(yv12, width, height, "rgb"), ours[..., ::-1])
