#!/usr/bin/env python3
"""Holds the source to two size rules: no class or struct in a header under src/
declares more than 40 data members, and no function body in src/ is longer than 80
lines. Prints every breach and exits 1 when there is one.

    check_structure.py [SRC_DIR]
"""
import os
import re
import sys

MAX_FIELDS = 40
MAX_FUNCTION_LINES = 80
CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else)\s*(\(|$)")


def strip(text):
    """Comments, strings and preprocessor lines blanked, line breaks kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        elif c == "#" and (i == 0 or text[i - 1] == "\n"):
            j = text.find("\n", i)
            while j > 0 and text[j - 1] == "\\":
                j = text.find("\n", j + 1)
            i = n if j < 0 else j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def is_field(statement):
    s = " ".join(statement.split())
    if not s or s.endswith(":") or re.match(r"(using|typedef|friend|static|enum|template|"
                                           r"public|private|protected)\b", s):
        return False
    s = re.sub(r"=.*$", "", s)
    s = re.sub(r"\{.*$", "", s)
    while True:
        t = re.sub(r"<[^<>]*>", "", s)
        if t == s:
            break
        s = t
    return "(" not in s and "operator" not in s


def scan(path, text):
    """Yields (kind, name, line, value) for classes with their field count and for
    functions with their length in lines."""
    stack = []  # entries: [kind, name, start line, fields]
    statement = ""
    line = 1
    for c in text:
        if c == "\n":
            line += 1
        if c == "{":
            head = " ".join(statement.split())
            outer = stack[-1][0] if stack else "ns"
            match = re.search(r"\b(class|struct|union)\s+(?:\w+\s+)*?(\w+)\s*(?:final\s*)?"
                              r"(?::[^{]*)?$", head)
            if head.startswith("namespace") or head.startswith('extern "C"'):
                stack.append(["ns", head, line, 0])
            elif match and "(" not in head.split(match.group(0))[0][-1:] and "=" not in head:
                stack.append(["class", match.group(2), line, 0])
            elif head.endswith("enum") or re.search(r"\benum\b", head):
                stack.append(["other", head, line, 0])
            elif outer in ("ns", "class") and re.search(r"\)\s*(const|override|noexcept|"
                                                       r"final|\s)*(->[^{]*)?$|\)\s*:.*$",
                                                       head) and not CONTROL.search(head):
                name = re.findall(r"([~\w:]+)\s*\(", head)
                stack.append(["func", name[0] if name else head, line, 0])
            else:
                stack.append(["other", head, line, 0])
            statement = ""
        elif c == "}":
            if stack:
                kind, name, start, fields = stack.pop()
                if kind == "class":
                    yield "class", name, start, fields
                elif kind == "func":
                    yield "func", name, start, line - start + 1
            statement = ""
        elif c == ";":
            if stack and stack[-1][0] == "class" and is_field(statement):
                stack[-1][3] += 1
            statement = ""
        else:
            statement += c


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    breaches = []
    for base, _, files in os.walk(root):
        for f in sorted(files):
            if not f.endswith((".h", ".cpp")):
                continue
            path = os.path.join(base, f)
            with open(path, encoding="utf-8", errors="replace") as fh:
                text = strip(fh.read())
            for kind, name, line, value in scan(path, text):
                if kind == "class" and f.endswith(".h") and value > MAX_FIELDS:
                    breaches.append(f"{path}:{line}: {name} declares {value} fields")
                if kind == "func" and value > MAX_FUNCTION_LINES:
                    breaches.append(f"{path}:{line}: {name} is {value} lines long")
    for b in breaches:
        print(b)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
