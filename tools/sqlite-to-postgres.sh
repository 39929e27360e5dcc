#!/bin/bash
# The move of a vorn-collector SQLite database into PostgreSQL, kept for the
# guides and scripts that name it: `vorn-collector copy` does the work, every
# table in one transaction, each checked both ways (see its --help).
#
#   sqlite-to-postgres.sh vorn-collector.db postgresql:///vorn?host=/var/run/postgresql
#   sqlite-to-postgres.sh --check vorn-collector.db postgresql:///...   (the check alone)
#
# VORN_COLLECTOR names the vorn-collector program (default: the one on PATH).
set -euo pipefail
check=()
if (($# == 3)) && [[ $1 == --check ]]; then
  check=(--check)
  shift
fi
if (($# != 2)); then
  echo "usage: $0 [--check] SQLITE_FILE POSTGRESQL_URL" >&2
  exit 2
fi
exec "${VORN_COLLECTOR:-vorn-collector}" copy "${check[@]}" --from "sqlite:$1" --to "$2"
