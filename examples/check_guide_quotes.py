#!/usr/bin/env python3
"""Checks that every code block of the host guide marked <!-- quote: FILE --> appears,
line for line, in FILE, so that the guide and the example programs stay the same code.

    check_guide_quotes.py GUIDE SOURCE_DIR
"""
import pathlib
import re
import sys


def main(guide_path, root):
    guide = pathlib.Path(guide_path)
    quotes = re.findall(r"<!-- quote: (\S+) -->\n```c\n(.*?)```", guide.read_text(), re.S)
    missing = 0
    for name, code in quotes:
        if code not in (pathlib.Path(root) / name).read_text():
            print(f"{guide.name}: this quote is not in {name}:\n{code}")
            missing += 1
    print(f"{guide.name}: {len(quotes)} quotes of the examples, {missing} not found")
    return 1 if missing or not quotes else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
