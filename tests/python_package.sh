#!/usr/bin/env bash
# The Python package: installed offline into a fresh virtual environment, it counts the
# pictures of a recorded file, and its tests pass against this build's library and
# stream tool. Skips (77) where numpy or venv is missing.
# Usage: python_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
python=/usr/bin/python3
library=$build/src/libqxplaylib.so
mkstream=$build/tools/qxmkstream

[ -x "$python" ] || { echo "skip: no $python"; exit 77; }
"$python" -c 'import numpy' 2> /dev/null || { echo "skip: numpy is missing (python3-numpy)"; exit 77; }
"$python" -c 'import venv, ensurepip' 2> /dev/null || { echo "skip: venv is missing (python3-venv)"; exit 77; }
for f in "$library" "$mkstream"; do
  [ -e "$f" ] || { echo "not built: $f"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing may reach the network, and nothing is written into the source tree: the
# package is built from a copy, and no bytecode or pytest cache is left behind.
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1
unset PYTHONPATH PYTHONHOME

"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
mkdir "$work/package"
tar -C "$source/python" --exclude=./build --exclude='*.egg-info' --exclude=__pycache__ -cf - . |
  tar -C "$work/package" -xf -
"$venv_python" -m pip install -q --no-build-isolation --no-index "$work/package" > "$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; echo "pip install failed"; exit 1; }

export QXPLAYLIB_LIBRARY=$library QXMKSTREAM=$mkstream
cd "$work"
# The installed copy, not the source tree, is what gets imported.
installed=$("$venv_python" -c 'import qxplaylib; print(qxplaylib.__file__)')
case $installed in
  "$work/venv/"*) ;;
  *) echo "imported qxplaylib from $installed, not from the virtual environment"; exit 1 ;;
esac

"$mkstream" --codec h264 --size 320x240 --frames 50 --gop 25 --audio 1 -o "$work/s.qx"
cat > "$work/count.py" << 'EOF'
import sys
import qxplaylib
shapes = [picture.shape for picture in qxplaylib.frames(sys.argv[1])]
print(len(shapes), sorted(set(shapes)))
EOF
counted=$(timeout 30 "$venv_python" "$work/count.py" "$work/s.qx")
echo "count.py: $counted"
[ "$counted" = "50 [(240, 320, 3)]" ] || { echo "count.py: $counted, not 50 pictures of 240x320x3"; exit 1; }

timeout 100 "$venv_python" -m pytest -q -p no:cacheprovider --rootdir "$source/python" "$source/python/tests"
