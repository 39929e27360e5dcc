#!/usr/bin/env bash
# Keeps one Wine server alive for the whole test run, so that each test does
# not pay for a Wine start; the first start also creates the prefix.
set -euo pipefail
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
: "${WINEPREFIX:?WINEPREFIX must be set}"
case "${1:-}" in
  start)
    mkdir -p "$WINEPREFIX"
    # The server and Wine's services outlive this script: none of them may hold
    # ctest's output pipe, nor a test's, so they are started here with no output.
    quiet() { "$@" </dev/null >/dev/null 2>&1; }
    quiet wineserver -k || true
    quiet wineserver -p
    quiet wineboot -i
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    wineserver -k || true
    echo "wine server stopped"
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
