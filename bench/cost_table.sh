#!/bin/bash
# Prints the plug-in's cost table (docs/benchmarks.md), one Markdown
# table, all measured in one go:
#   - each telemetry callback next to a bare std::mutex lock/unlock of the same
#     run: time per call (Google Benchmark, vorn_bench_callbacks) and
#     instructions per call (callgrind on vorn_callgrind_driver);
#   - peak heap of gamehost running the plug-in through a short drive with one
#     report, and of gamehost with the plug-in loaded but not started (massif);
#   - CPU time of the two idle worker threads over 60 s, read from the
#     threads' schedstat, without Steam and with tools/fakesteam on a server;
#   - the DLL's size, imports and exports (mingw-w64 objdump).
# It builds what it measures, in Release trees of its own: build/bench and
# build/bench-windows (VORN_BENCH_DIR, VORN_BENCH_WINDOWS_DIR to move them).
# About five minutes; nothing here is a test and ctest does not run it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_dir=${VORN_BENCH_DIR:-$root/build/bench}
windows_dir=${VORN_BENCH_WINDOWS_DIR:-$root/build/bench-windows}
idle_seconds=${VORN_IDLE_SECONDS:-60}
calls=${VORN_CALLGRIND_CALLS:-200000}
cases="MutexLockUnlock FrameStartCounted FrameStartGateClosed FrameStartPaused
FrameStartStepTooLong OdometerCounted OdometerGateClosed Speed ConfigurationTruck
ConfigurationJob"

work=$(mktemp -d)
collector_pid=""
cleanup() {
  if [ -n "$collector_pid" ]; then kill "$collector_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

say() { echo "cost_table: $*" >&2; }

# --- builds --------------------------------------------------------------------
say "building $bench_dir (Release)"
cmake -S "$root" -B "$bench_dir" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$bench_dir" -j2 --target vorn_bench_callbacks vorn_callgrind_driver \
  VORN_Davida_Client gamehost fakesteam_full collector >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; exit 1; }
say "building $windows_dir (mingw-w64, Release)"
cmake --preset windows -S "$root" -B "$windows_dir" >"$work/configure-windows.log" 2>&1 ||
  { cat "$work/configure-windows.log" >&2; exit 1; }
cmake --build "$windows_dir" -j2 --target VORN_Davida_Client >"$work/build-windows.log" 2>&1 ||
  { tail -40 "$work/build-windows.log" >&2; exit 1; }

plugin=$bench_dir/VORN_Davida_Client.so
gamehost=$bench_dir/tools/gamehost
steam=$bench_dir/tools/fakesteam/full/libsteam_api.so
dll=$windows_dir/VORN_Davida_Client.dll

# --- time per call, Google Benchmark --------------------------------------------
say "Google Benchmark (5 repetitions of each case)"
"$bench_dir/bench/vorn_bench_callbacks" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  >"$work/benchmark.json" 2>"$work/benchmark.log"

# --- instructions per call, callgrind -------------------------------------------
say "callgrind ($calls calls of each case)"
for name in $cases; do
  valgrind --tool=callgrind --toggle-collect=vorn_measure \
    --callgrind-out-file="$work/callgrind.$name" \
    "$bench_dir/bench/vorn_callgrind_driver" "$name" "$calls" 2>"$work/callgrind.$name.log"
  collected=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/callgrind.$name.log")
  echo "$name $collected" >>"$work/callgrind.txt"
done

# --- a plug-in folder for gamehost ------------------------------------------------
# make_folder DIR URL: the library and its settings, as the game's plug-in folder.
make_folder() {
  mkdir -p "$1"
  cp "$plugin" "$1/"
  printf 'PlayerName=Night Owl\nApiKey=bench-key\nCollectorURL=%s\nSendIntervalSeconds=10\n' \
    "$2" >"$1/VORN_Davida_Client.ini"
}
printf 'steam_id 76561198000000001\ngame_played 1\ngame_id 270880\naddress 192.0.2.10\n'\
'game_port 27027\nquery_port 27026\nlobby 109775241000000000\nrp status=Hauling\n' \
  >"$work/on-server.txt"

# --- heap, massif ---------------------------------------------------------------------
say "massif: a short drive with one report, and gamehost alone"
"$bench_dir/tools/loopback-collector/loopback-collector" --port 0 --record "$work/collector.jsonl" \
  >"$work/collector.port" 2>/dev/null &
collector_pid=$!
for _ in $(seq 50); do [ -s "$work/collector.port" ] && break; sleep 0.1; done
port=$(head -1 "$work/collector.port")
make_folder "$work/heap" "http://127.0.0.1:$port/api/v1/telemetry"
cat >"$work/heap/drive.scenario" <<'EOF'
init
timeout 60000
wait-log VORN_server=
config truck name=string:Scania R 2016 Highline
config trailer name=string:Flatbed
config job cargo.loaded=bool:1
odometer 1000
drive 13 0.4 0.02 realtime
sleep 1500
shutdown
EOF
printf 'echo loaded only\n' >"$work/heap/idle.scenario"
peak_heap() {
  awk -F= '/^mem_heap_B=/ {h=$2} /^mem_heap_extra_B=/ {t=h+$2; if (t>m) m=t} END {print m+0}' "$1"
}
(cd "$work/heap" && FAKESTEAM_SCRIPT="$work/on-server.txt" valgrind --tool=massif \
  --massif-out-file="$work/massif.running" "$gamehost" --steam "$steam" \
  --plugin "$work/heap/VORN_Davida_Client.so" drive.scenario >"$work/massif.running.out" \
  2>"$work/massif.running.log")
(cd "$work/heap" && valgrind --tool=massif --massif-out-file="$work/massif.loaded" "$gamehost" \
  --steam "$steam" --plugin "$work/heap/VORN_Davida_Client.so" idle.scenario \
  >"$work/massif.loaded.out" 2>"$work/massif.loaded.log")
grep -q "^found VORN_server=" "$work/massif.running.out" ||
  { say "the plug-in never detected the server under massif"; exit 1; }
[ -s "$work/collector.jsonl" ] || { say "no report reached the collector under massif"; exit 1; }
echo "$(peak_heap "$work/massif.running") $(peak_heap "$work/massif.loaded")" >"$work/heap.txt"
kill "$collector_pid" 2>/dev/null || true
collector_pid=""

# --- CPU of the idle worker threads ---------------------------------------------------
say "idle worker threads: ${idle_seconds} s, without Steam and with fakesteam, side by side"
make_folder "$work/idle-none" "http://127.0.0.1:1/api/v1/telemetry"
make_folder "$work/idle-steam" "http://127.0.0.1:1/api/v1/telemetry"
python3 - "$gamehost" "$steam" "$work" "$idle_seconds" >"$work/idle.txt" <<'EOF'
import os, subprocess, sys, time

gamehost, steam, work, seconds = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])

def cpu_ns(pid):
    """CPU time of every thread of the process, from the scheduler's own account."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total

runs = {}
for name, extra in (("none", []), ("steam", ["--steam", steam])):
    folder = os.path.join(work, f"idle-{name}")
    env = dict(os.environ, FAKESTEAM_SCRIPT=os.path.join(work, "on-server.txt"))
    p = subprocess.Popen([gamehost] + extra + ["--plugin", os.path.join(folder, "VORN_Davida_Client.so"), "-"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=folder)
    p.stdin.write("init\necho ready\n")
    p.stdin.flush()
    for line in p.stdout:
        if line.startswith("init -> ") and line.split("->")[1].strip() != "0":
            sys.exit(f"init refused: {line}")
        if line.strip() == "ready":
            break
    runs[name] = p
# gamehost's own thread now waits on its input; what runs is the two workers.
start = {name: cpu_ns(p.pid) for name, p in runs.items()}
time.sleep(seconds)
used = {name: cpu_ns(p.pid) - start[name] for name, p in runs.items()}
for name, p in runs.items():
    p.stdin.write("shutdown\n")
    p.stdin.close()
    p.wait(timeout=30)
    print(name, used[name])
EOF

# --- the DLL ----------------------------------------------------------------------------
x86_64-w64-mingw32-objdump -p "$dll" >"$work/dll.txt"

# --- the table ---------------------------------------------------------------------------
python3 - "$work" "$calls" "$idle_seconds" "$dll" <<'EOF'
import datetime, json, os, platform, re, subprocess, sys

work, calls, idle_seconds, dll = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]

bench = {}
allocs = {}
for b in json.load(open(os.path.join(work, "benchmark.json")))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        name = b["run_name"].removeprefix("BM_")
        bench[name] = b["cpu_time"]
        allocs[name] = b.get("allocs", 0.0)
instructions = {}
for line in open(os.path.join(work, "callgrind.txt")):
    name, collected = line.split()
    instructions[name] = int(collected) / calls

def kib(n):
    return f"{n / 1024:.0f} KiB"

def cpu_model():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()

compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
print(f"Measured {datetime.date.today().isoformat()} by `bench/cost_table.sh`: {cpu_model()}, "
      f"{os.cpu_count()} cores, {compiler}, Release builds.")
print()
print("| What | Value | How |")
print("|---|---|---|")
mutex_ns, mutex_ir = bench["MutexLockUnlock"], instructions["MutexLockUnlock"]
print(f"| bare `std::mutex` lock + unlock | {mutex_ns:.1f} ns, {mutex_ir:.0f} instructions per call "
      f"| the yardstick of the callback rows, measured in the same runs |")
rows = [
    ("FrameStartCounted", "`onFrameStart`, step counted (gate open)"),
    ("FrameStartGateClosed", "`onFrameStart`, gate closed"),
    ("FrameStartPaused", "`onFrameStart`, game paused (no lock)"),
    ("FrameStartStepTooLong", "`onFrameStart`, step above 2 s (no lock)"),
    ("OdometerCounted", "`onOdometer`, step counted"),
    ("OdometerGateClosed", "`onOdometer`, gate closed"),
    ("Speed", "`onSpeed`"),
    ("ConfigurationTruck", "`onConfiguration`, truck with a long name (rare)"),
    ("ConfigurationJob", "`onConfiguration`, job, cargo state changes (rare)"),
]
for i, (name, label) in enumerate(rows):
    how = (f"Google Benchmark `vorn_bench_callbacks`, median CPU time of 5 repetitions; "
           f"callgrind `vorn_callgrind_driver`, {calls} calls" if i == 0 else "as above")
    print(f"| {label} | {bench[name]:.1f} ns ({bench[name] / mutex_ns:.1f}× the mutex), "
          f"{instructions[name]:.0f} instructions ({instructions[name] / mutex_ir:.1f}×), "
          f"heap allocations: {allocs[name]:g} | {how} |")

running, loaded = (int(v) for v in open(os.path.join(work, "heap.txt")).read().split())
print(f"| peak heap, gamehost running the plug-in | {kib(running)} (gamehost with the plug-in "
      f"loaded but not started: {kib(loaded)}) | valgrind massif, heap and its overhead; "
      f"13 s of driving at 50 frames a second on a known server, one report posted |")
idle = dict(line.split() for line in open(os.path.join(work, "idle.txt")))
for name, label in (("none", "no Steam library in the process"),
                    ("steam", "tools/fakesteam on a known server, which re-reads its script file "
                              "on every call")):
    ms = int(idle[name]) / 1e6
    print(f"| CPU of the two idle worker threads, {idle_seconds:.0f} s, {label} | {ms:.1f} ms "
          f"({ms / (idle_seconds * 10):.3f} % of one core) | sum of the process's threads in "
          f"`/proc/PID/task/*/schedstat` while gamehost waits after init |")

text = open(os.path.join(work, "dll.txt")).read()
imports, current = [], None
for line in text.splitlines():
    named = re.match(r"\s*DLL Name: (\S+)", line)
    if named:
        current = [named.group(1), 0]
        imports.append(current)
    elif current and re.match(r"^\s*[0-9a-f]+\s+\d+\s+\S+\s*$", line):
        current[1] += 1
    elif not line.strip():
        current = None
imports = [f"{name} ({count})" for name, count in imports]
names = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
exports = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", names.split("\n\n", 1)[0], re.M)
print(f"| `VORN_Davida_Client.dll` size | {os.path.getsize(dll):,} bytes | mingw-w64 Release build, "
      f"runtimes linked statically |")
print(f"| `VORN_Davida_Client.dll` imports (functions) | {', '.join(imports)} | "
      f"`x86_64-w64-mingw32-objdump -p` |")
print(f"| `VORN_Davida_Client.dll` exports | {', '.join(exports)} | as above |")
EOF
