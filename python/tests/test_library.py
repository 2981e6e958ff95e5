"""Where the library comes from, and what is said when it is nowhere."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import qxplaylib

PACKAGE = Path(qxplaylib.__file__).resolve().parent


def run(code: str, env: dict, cwd: Path = None) -> subprocess.CompletedProcess:
    """Python code in a fresh interpreter, where nothing is loaded yet."""
    return subprocess.run(
        [sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, timeout=60
    )


def environment(**changes) -> dict:
    env = {k: v for k, v in os.environ.items() if k != qxplaylib.ENV_VARIABLE}
    env.update({k: v for k, v in changes.items() if v is not None})
    return env


def test_the_loaded_library_answers():
    assert qxplaylib.sdk_version() == qxplaylib.SDK_VERSION
    assert os.path.exists(qxplaylib.library_path())
    named = os.environ.get(qxplaylib.ENV_VARIABLE)
    if named:
        assert qxplaylib.library_path() == named


def test_a_named_library_that_does_not_load_is_an_import_error(tmp_path):
    missing = str(tmp_path / "libqxplaylib.so")
    result = run(
        "import qxplaylib\n"
        "try:\n    qxplaylib.library()\n"
        "except ImportError as e:\n    print(type(e).__name__); print(e)\n",
        environment(QXPLAYLIB_LIBRARY=missing),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("LibraryNotFoundError")
    assert missing in result.stdout


def test_a_library_that_is_not_qxplaylib_is_refused():
    libc = "libc.so.6"
    result = run(
        "import qxplaylib\ntry:\n    qxplaylib.library()\nexcept ImportError as e:\n    print(e)\n",
        environment(QXPLAYLIB_LIBRARY=libc),
    )
    assert "not a qxplaylib" in result.stdout and "QxPlay_" in result.stdout, result.stdout + result.stderr


def test_nowhere_names_every_place_tried(tmp_path):
    # Only the package's own search, pointed at places that hold nothing.
    code = (
        "import ctypes.util, qxplaylib, qxplaylib._library as l\n"
        f"l._prefix_dirs = lambda: [{str(tmp_path)!r}]\n"
        f"l._package_dir = lambda: {str(tmp_path)!r}\n"
        "ctypes.util.find_library = lambda name: None\n"
        "try:\n    qxplaylib.library()\n"
        "except qxplaylib.LibraryNotFoundError as e:\n"
        "    assert isinstance(e, ImportError)\n    print(e)\n    print(len(e.tried))\n"
    )
    result = run(code, environment())
    assert result.returncode == 0, result.stderr
    assert "QXPLAYLIB_LIBRARY" in result.stdout
    assert str(tmp_path / "libqxplaylib.so.1") in result.stdout
    assert "find_library" in result.stdout


def test_a_library_beside_the_package_comes_before_the_system(tmp_path):
    copy = tmp_path / "site" / "qxplaylib"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("__pycache__", "libqxplaylib.so*"))
    os.symlink(qxplaylib.library_path(), copy / "libqxplaylib.so")
    result = run(
        "import qxplaylib; print(qxplaylib.library_path()); print(qxplaylib.sdk_version())",
        environment(PYTHONPATH=str(tmp_path / "site")),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(copy / "libqxplaylib.so"), "1852"]
