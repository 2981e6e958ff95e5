"""Streams for the tests, written by the project's qxmkstream, and the library.

QXMKSTREAM names the tool (else build/tools/qxmkstream of this checkout is used);
QXPLAYLIB_LIBRARY names the library (else the package's own lookup finds one).
"""

from __future__ import annotations

import os
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Dict

import pytest

import qxplaylib

REPO = Path(__file__).resolve().parents[2]


@dataclass(frozen=True)
class Stream:
    path: Path
    pictures: int  # as many as qxmkstream was asked to write
    width: int
    height: int
    codec: int  # qxplaylib.Codec

    @property
    def data(self) -> bytes:
        return self.path.read_bytes()


def summary(tool: str, path: Path) -> Dict[str, object]:
    """What `qxmkstream --summary` says of a file: video packets, key pictures, size."""
    text = subprocess.run([tool, "--summary", str(path)], check=True, capture_output=True, text=True).stdout
    video = re.search(r"\((H\.26[45]) video\): (\d+) packets, (\d+) key", text)
    size = re.search(r"resolution: (\d+)x(\d+)", text)
    assert video and size, text
    return {
        "codec": video.group(1),
        "video_packets": int(video.group(2)),
        "keys": int(video.group(3)),
        "width": int(size.group(1)),
        "height": int(size.group(2)),
        "text": text,
    }


@pytest.fixture(scope="session")
def mkstream() -> str:
    tool = os.environ.get("QXMKSTREAM") or str(REPO / "build" / "tools" / "qxmkstream")
    if not os.access(tool, os.X_OK):
        if "QXMKSTREAM" in os.environ:
            pytest.fail(f"QXMKSTREAM={tool} is not an executable")
        pytest.skip(f"no qxmkstream at {tool}: set QXMKSTREAM to the tool")
    return tool


@pytest.fixture(scope="session", autouse=True)
def library() -> None:
    try:
        qxplaylib.library()
    except qxplaylib.LibraryNotFoundError as error:
        if qxplaylib.ENV_VARIABLE in os.environ:
            raise
        local = REPO / "build" / "src" / "libqxplaylib.so"
        if not local.exists():
            pytest.skip(f"no libqxplaylib.so: set {qxplaylib.ENV_VARIABLE} ({error})")
        os.environ[qxplaylib.ENV_VARIABLE] = str(local)
        qxplaylib.library()


@pytest.fixture(scope="session")
def streams(mkstream: str, tmp_path_factory: pytest.TempPathFactory) -> Dict[str, Stream]:
    where = tmp_path_factory.mktemp("streams")

    def make(name: str, codec: str, size: str, pictures: int, *extra: str) -> Stream:
        path = where / f"{name}.qx"
        subprocess.run(
            [mkstream, "--codec", codec, "--size", size, "--frames", str(pictures), *extra, "-o", str(path)],
            check=True,
            capture_output=True,
        )
        width, height = (int(v) for v in size.split("x"))
        kind = qxplaylib.Codec.H264 if codec == "h264" else qxplaylib.Codec.H265
        return Stream(path, pictures, width, height, kind)

    made = {
        # Sound packets in between, which must not come out as pictures.
        "h264": make("h264", "h264", "320x240", 60, "--gop", "25", "--audio", "1"),
        "h265": make("h265", "h265", "352x288", 37, "--gop", "10"),
        # Four seconds, a key picture every second: long enough to seek in.
        "seek": make("seek", "h264", "160x128", 100, "--gop", "25"),
        # More than the port's buffers hold, so that its feeder has to wait.
        "big": make("big", "h264", "640x480", 220, "--crf", "4", "--preset", "ultrafast"),
    }
    # H.264 puts every picture in a packet of its own: the tool's own count agrees.
    told = summary(mkstream, made["h264"].path)
    assert told["video_packets"] == made["h264"].pictures, told["text"]
    assert (told["width"], told["height"]) == (320, 240)
    return made


@pytest.fixture()
def h264(streams: Dict[str, Stream]) -> Stream:
    return streams["h264"]


@pytest.fixture()
def h265(streams: Dict[str, Stream]) -> Stream:
    return streams["h265"]
