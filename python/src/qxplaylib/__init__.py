"""Python bindings for libqxplaylib: playback of network-camera packet streams.

Two ways in:

* :func:`frames` — every decoded picture of a recorded file or of a stream of
  chunks as numpy arrays::

      for picture in qxplaylib.frames("camera.qx", "bgr"):
          ...

* :class:`Port` — one port of the library with full control: open modes, input,
  speed, pause, seeking, snapshots, statistics and callbacks.

The shared library is looked for in ``QXPLAYLIB_LIBRARY``, beside this package,
then in the install prefixes and the loader's paths; see :func:`library_path`. It is
loaded on first use; :class:`LibraryNotFoundError` (an ImportError) says where it
looked.
"""

from ._convert import FORMATS, bmp_to_array, convert
from ._frames import FASTEST_SPEED, FrameIterator, frames
from ._library import (
    ENV_VARIABLE,
    LibraryNotFoundError,
    QxFrameInfo,
    QxPortStats,
    candidates,
    init_result,
    library,
    library_path,
)
from ._port import (
    SPEEDS,
    Codec,
    Mode,
    Picture,
    Port,
    QxPlayError,
    Sink,
    State,
    port_is_live,
)

__version__ = "1.8.52"

MAX_PORTS = 200
SDK_VERSION = 1852


def sdk_version() -> int:
    """``QxPlay_GetSdkVersion`` of the loaded library."""
    return int(library().QxPlay_GetSdkVersion())


__all__ = [
    "ENV_VARIABLE",
    "FASTEST_SPEED",
    "FORMATS",
    "MAX_PORTS",
    "SDK_VERSION",
    "SPEEDS",
    "Codec",
    "FrameIterator",
    "LibraryNotFoundError",
    "Mode",
    "Picture",
    "Port",
    "QxFrameInfo",
    "QxPlayError",
    "QxPortStats",
    "Sink",
    "State",
    "bmp_to_array",
    "candidates",
    "convert",
    "frames",
    "init_result",
    "library",
    "library_path",
    "port_is_live",
    "sdk_version",
]
