#!/bin/sh
# Runs one fuzz target the way CI does.
#
#   run_fuzz.sh fuzz FUZZER TARGET_DIR WORK_DIR SECONDS
#       fuzzes for SECONDS, starting from TARGET_DIR/corpus (and the inputs
#       found by earlier runs in WORK_DIR/corpus); new inputs and crash
#       artifacts go to WORK_DIR only, never into the checked-in corpus.
#   run_fuzz.sh regressions FUZZER TARGET_DIR
#       runs every input in TARGET_DIR/regressions once.
set -eu
mode=$1 fuzzer=$2 target_dir=$3
dict_args=""
for dict in "$target_dir"/*.dict; do
  [ -f "$dict" ] && dict_args="-dict=$dict"
done
case "$mode" in
  fuzz)
    work_dir=$4 seconds=$5
    mkdir -p "$work_dir/corpus" "$work_dir/artifacts"
    exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 $dict_args \
      -artifact_prefix="$work_dir/artifacts/" "$work_dir/corpus" "$target_dir/corpus"
    ;;
  regressions)
    set --
    for input in "$target_dir"/regressions/*; do
      [ -f "$input" ] && set -- "$@" "$input"
    done
    if [ $# -eq 0 ]; then
      echo "no regression inputs in $target_dir/regressions"
      exit 0
    fi
    exec "$fuzzer" "$@"
    ;;
  *)
    echo "usage: $0 fuzz FUZZER TARGET_DIR WORK_DIR SECONDS | regressions FUZZER TARGET_DIR" >&2
    exit 2
    ;;
esac
