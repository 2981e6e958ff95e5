#!/usr/bin/env python3
"""How many small faults planted in the session and the stream parsing the fast
suites catch.

Each mutant in scripts/mutants.txt replaces one text of a source file. For every
mutant the script rebuilds the suites, runs them, and counts the mutant killed when
one fails or runs out of time. A mutant that does not compile counts in neither
column. The source file is put back after every mutant, whatever happens.

Usage: scripts/mutation.py [--source DIR] [--build DIR] [--only N...]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

SUITES = [
    "containers_test",
    "packet_format_test",
    "nal_utils_test",
    "sps_reader_test",
    "watermark_test",
    "des_test",
    "session_input_test",
    "session_parser_test",
    "session_lifecycle_test",
    "audio_path_test",
    "stream_audio_test",
    "recording_test",
    "file_playback_test",
    "playback_control_test",
    "playback_damage_test",
    "field_streams_test",
]
SUITE_TIMEOUT_S = 240


def read_mutants(path):
    mutants = []
    current = None
    for raw in path.read_text().splitlines():
        if raw.startswith("#"):
            continue
        if raw.startswith("@ "):
            current = {"file": raw[2:].strip(), "old": [], "new": []}
            mutants.append(current)
        elif raw.startswith("-") and current is not None:
            current["old"].append(raw[1:])
        elif raw.startswith("+") and current is not None:
            current["new"].append(raw[1:])
    for m in mutants:
        m["old"] = "\n".join(m["old"]) + "\n"
        m["new"] = "\n".join(m["new"]) + "\n" if m["new"] else ""
    return mutants


def run(cmd, timeout, **kw):
    try:
        return subprocess.run(cmd, timeout=timeout, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, **kw).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def build(build_dir, jobs):
    return run(["cmake", "--build", str(build_dir), "-j", str(jobs), "--target", *SUITES],
               timeout=1800) == 0


def first_failing_suite(build_dir):
    env = dict(os.environ, GTEST_BRIEF="1")
    for suite in SUITES:
        result = run([str(build_dir / "tests" / suite)], SUITE_TIMEOUT_S, env=env,
                     cwd=build_dir / "tests")
        if result != 0:
            return suite, result
    return None, 0


def main():
    here = pathlib.Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=pathlib.Path, default=here,
                        help="the tree to mutate and build (default: this checkout)")
    parser.add_argument("--build", type=pathlib.Path, help="build directory")
    parser.add_argument("--mutants", type=pathlib.Path, default=here / "scripts" / "mutants.txt")
    parser.add_argument("--only", type=int, nargs="*", help="run only these mutant numbers")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    source = args.source.resolve()
    build_dir = (args.build or source / "build-mut").resolve()
    mutants = read_mutants(args.mutants)

    subprocess.run(["cmake", "-S", str(source), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    "-DQX_BUILD_TESTS=ON", "-DQX_BUILD_BENCH=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    if not build(build_dir, args.jobs):
        sys.exit("the unmutated tree does not build")
    suite, result = first_failing_suite(build_dir)
    if suite is not None:
        sys.exit(f"{suite} fails without a mutant ({result}): nothing to measure")

    killed = survived = stillborn = 0
    for number, m in enumerate(mutants, 1):
        if args.only and number not in args.only:
            continue
        path = source / m["file"]
        original = path.read_text()
        if original.count(m["old"]) != 1:
            print(f"{number:3} {m['file']}: the text to replace is not there once", flush=True)
            stillborn += 1
            continue
        started = time.monotonic()
        try:
            path.write_text(original.replace(m["old"], m["new"], 1))
            if not build(build_dir, args.jobs):
                verdict = "does not compile"
                stillborn += 1
            else:
                suite, result = first_failing_suite(build_dir)
                if suite is None:
                    verdict = "SURVIVED"
                    survived += 1
                else:
                    verdict = f"killed by {suite}" + (" (timeout)" if result == "timeout" else "")
                    killed += 1
        finally:
            path.write_text(original)
        first = m["new"].strip().splitlines()[0] if m["new"].strip() else "(line dropped)"
        print(f"{number:3} {m['file']}: {first} -> {verdict} "
              f"[{time.monotonic() - started:.0f} s]", flush=True)
    # Leave the build matching the restored sources.
    build(build_dir, args.jobs)
    total = killed + survived
    rate = 100.0 * killed / total if total else 0.0
    print(f"killed {killed} of {total} mutants ({rate:.1f}%), {stillborn} did not build")


if __name__ == "__main__":
    main()
