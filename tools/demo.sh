#!/usr/bin/env bash
# The demo drive, the whole system: vorn-collector on a fresh SQLite file on the
# plug-in's default collector address, 127.0.0.1:8787, and the real
# VORN_Davida_Client.dll under Wine, loaded by tools/gamehost, with
# tools/fakesteam playing Steam. It installs what it needs, builds what is
# missing (incrementally, in build/windows and build/native), drives
# tools/demo/drive.scenario in about a minute, prints the leaderboard beside
# what was driven and leaves the leaderboard page as HTML (and PNG). Exit
# status 0 when the totals agree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

usage() {
  cat <<'EOF'
usage: tools/demo.sh [--native] [--short] [--no-install] [--no-build]
                     [--windows-dir DIR] [--native-dir DIR] [--work DIR]

  --native           run the Linux .so in the native gamehost instead of the DLL under Wine
  --short            every drive and pause a third as long (about 30 s in all)
  --no-install       do not run tools/install-deps.sh
  --no-build         use the build trees as they are
  --windows-dir DIR  windows build tree (default build/windows)
  --native-dir DIR   native build tree, for vorn-collector and --native (default build/native)
  --work DIR         scratch folder, emptied first (default build/demo-run-wine or -native)

Under Wine the demo keeps a prefix of its own in build/demo-wineprefix and stops
its Wine server at the end. With WINEPREFIX set, it uses that prefix and leaves
its server alone (the test suite runs the demo this way).
EOF
}

platform=wine
install=1
build=1
windows_dir="$root/build/windows"
native_dir="$root/build/native"
work=""
driver_args=()
while (($#)); do
  case "$1" in
    --native) platform=native ;;
    --short) driver_args+=(--short) ;;
    --no-install) install=0 ;;
    --no-build) build=0 ;;
    --windows-dir) windows_dir="$(realpath -m "$2")"; shift ;;
    --native-dir) native_dir="$(realpath -m "$2")"; shift ;;
    --work) work="$(realpath -m "$2")"; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
[[ -n $work ]] || work="$root/build/demo-run-$platform"

quiet() { "$@" </dev/null >/dev/null 2>&1; }

own_wine=0
driver=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [[ -n $driver ]] && kill -0 "$driver" 2>/dev/null; then
    kill -TERM "$driver" 2>/dev/null || true
    wait "$driver" 2>/dev/null || true
  fi
  # The driver stops what it started and then removes this list; what is still
  # listed outlived a driver that was killed outright.
  if [[ -f $work/pids ]]; then
    while read -r pid; do
      kill -TERM "$pid" 2>/dev/null || true
    done <"$work/pids"
    rm -f "$work/pids"
  fi
  if ((own_wine)); then
    quiet wineserver -k || true
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

if ((install)); then
  tools/install-deps.sh
fi

configure() { # PRESET DIR
  [[ -f $2/CMakeCache.txt ]] || cmake --preset "$1" -B "$2" >/dev/null
}
if ((build)); then
  echo "=== building what the demo needs"
  configure native "$native_dir"
  if [[ $platform == wine ]]; then
    configure windows "$windows_dir"
    cmake --build "$windows_dir" -j2 --target VORN_Davida_Client gamehost fakesteam_full
    cmake --build "$native_dir" -j2 --target vorn-collector
  else
    cmake --build "$native_dir" -j2 --target VORN_Davida_Client gamehost fakesteam_full vorn-collector
  fi
fi

if [[ $platform == wine ]]; then
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [[ -z ${WINEPREFIX:-} ]]; then
    export WINEPREFIX="$root/build/demo-wineprefix"
    own_wine=1
    mkdir -p "$WINEPREFIX"
    echo "=== starting Wine in $WINEPREFIX (the first start creates it)"
    # The server and Wine's services outlive their starter: they get no
    # descriptor of ours, so nothing holds the demo's output open.
    quiet wineserver -k || true
    quiet wineserver -p
    quiet wineboot -i
  fi
fi

echo "=== the demo drive"
python3 tools/demo/demo.py --platform "$platform" --windows-dir "$windows_dir" \
  --native-dir "$native_dir" --work "$work" "${driver_args[@]}" &
driver=$!
status=0
wait "$driver" || status=$?
driver=""
exit "$status"
