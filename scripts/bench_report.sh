#!/usr/bin/env bash
# Builds and runs every benchmark and writes their figures as one Markdown table to
# REPORT (default bench/report.md): each figure a ratio against a reference
# measured in the same run. PORT_SECONDS sets the length of each port-scale run.
set -euo pipefail
cd "$(dirname "$0")/.."
report=${1:-bench/report.md}
seconds=${PORT_SECONDS:-10}
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_BENCH=ON > /dev/null
cmake --build build -j "$(nproc)" --target decode_path_bench convert_bench parser_bench \
  idle_ports_bench port_scale
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for b in decode_path_bench convert_bench parser_bench idle_ports_bench; do
  echo "running $b" >&2
  build/bench/$b --benchmark_format=json > "$out/$b.json" 2> "$out/$b.err"
done
echo "running port_scale (one port, then 200 and the search for the ceiling, twice)" >&2
build/bench/port_scale --ports 1 --seconds "$seconds" 2> /dev/null > "$out/one.txt"
build/bench/port_scale --ports 200 --seconds "$seconds" --find 2> /dev/null > "$out/scale.txt"
build/bench/port_scale --ports 200 --seconds "$seconds" --find --in-step 2> /dev/null > "$out/instep.txt"

python3 - "$out" "$report" <<'PY'
import json, re, sys, os, platform
out, report = sys.argv[1], sys.argv[2]
def bench(name):
    with open(os.path.join(out, name + ".json")) as f:
        return json.load(f)["benchmarks"]
rows = []
for b in bench("decode_path_bench"):
    rows.append((f"Decode path, {b['name']}", f"{b['library_fps']:.0f} vs {b['libavcodec_fps']:.0f} pictures/s",
                 f"{b['ratio']:.2f}", "library / bare libavcodec, same stream"))
for b in bench("convert_bench"):
    rows.append((f"Converter, {b['name']}", f"{b['ours_ms']:.2f} vs {b['swscale_ms']:.2f} ms",
                 f"{b['speed_vs_swscale']:.2f}", "speed against libswscale, same planes"))
parser = {b["name"]: b for b in bench("parser_bench")}
ours, bare = parser["SessionParser"], parser["BareExtraction"]
rows.append(("Parser throughput", f"{ours['bytes_per_second']/1e9:.2f} vs {bare['bytes_per_second']/1e9:.2f} GB/s",
             f"{ours['bytes_per_second']/bare['bytes_per_second']:.2f}", "session parser / find-marker-and-copy"))
idle = {b["name"].split("/")[0]: b for b in bench("idle_ports_bench")}
ports = idle["IdlePorts"]
rows.append(("Idle cost per playing port", f"{ports['cpu_per_port_pct']:.4f}% of a core ({ports['cpu_1_port_pct']:.3f}% with 1 port, {ports['cpu_many_ports_pct']:.3f}% with {ports['ports']:.0f})",
             f"{ports['cpu_per_port_pct']/0.02:.2f}", "per-port cost / 0.02% of a core"))
stop = idle["StopIdle"]
rows.append(("Stop of an idle port", f"{stop['stop_ms']:.2f} ms vs {stop['bare_ms']:.3f} ms",
             f"{stop['ratio']:.1f}", "QxPlay_Stop / waking and joining three bare threads"))
line = re.compile(r"ports (\d+): late ([\d.]+)% of (\d+) pictures, median latency ([\d.]+) ms, CPU (\d+)% of the machine, (\d+) threads, (\d+) kB")
one = line.search(open(os.path.join(out, "one.txt")).read())
rows.append(("Live latency, input to display", f"{one.group(4)} ms median (1 port, no jitter buffer)",
             f"{float(one.group(4))/40:.3f}", "latency / picture interval (40 ms)"))
scale = open(os.path.join(out, "scale.txt")).read()
runs = line.findall(scale)
first = runs[0]
rows.append(("200 live CIF ports at real time", f"{first[1]}% late, CPU {first[4]}% of the machine, {first[5]} threads, {first[6]} kB/port",
             f"{float(first[1])/100:.3f}", "late pictures / pictures"))
def ceiling_row(text, title):
    ceiling = re.search(r"ceiling: (\d+) ports \(([\d.]+) of bare libavcodec's (\d+)", text)
    spread = re.search(r"bare libavcodec over the search: median \d+ ports of (\d+) measurements, (\d+) to (\d+)", text)
    rows.append((title, f"{ceiling.group(1)} ports vs {ceiling.group(3)} for bare libavcodec ({spread.group(2)} to {spread.group(3)} in {spread.group(1)} measurements)" + (" (the table holds 200)" if ceiling.group(1) == "200" else ""),
                 ceiling.group(2), "library ceiling / median of bare libavcodec with a decoder per port, measured between the library's runs, same stream"))
    hot = re.search(r"one decoder per core, hot in its cache: \d+ pictures/s, (\d+) ports \(the library holds ([\d.]+) of it, bare libavcodec with a decoder per port ([\d.]+)\)", text)
    rows.append((title + ", against one decoder per core", f"{ceiling.group(1)} ports vs {hot.group(1)}; bare libavcodec with a decoder per port holds {hot.group(3)} of it",
                 hot.group(2), "library ceiling / one bare decoder per core, hot in its cache"))
ceiling_row(scale, "Live CIF port ceiling (<= 1% late), key pictures spread over the GOP")
instep = open(os.path.join(out, "instep.txt")).read()
ceiling_row(instep, "Live CIF port ceiling (<= 1% late), every port's key pictures in step")
with open(report, "w") as f:
    f.write(f"# qxplaylib benchmarks\n\nMeasured on {os.cpu_count()} cores ({platform.platform()}, one run)\n\n")
    f.write("| Figure | Measured | Ratio | Ratio of |\n|---|---|---|---|\n")
    for r in rows:
        f.write("| " + " | ".join(r) + " |\n")
    f.write("\nPort-scale runs:\n\n```\n" + scale + "```\n")
    f.write("\nIn step:\n\n```\n" + instep + "```\n")
print(open(report).read())
PY
