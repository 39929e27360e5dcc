#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need on a fresh Debian
# machine (run as root). Safe to run again: installed packages are kept.
set -euo pipefail
packages=(
  cmake ninja-build make g++ python3 ca-certificates openssl
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
  libcurl4-openssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  clang libclang-rt-14-dev
  osslsigncode
  libsqlite3-dev libcli11-dev libssl-dev libboost-dev chromium  # the collector service and its page
  libhowardhinnant-date-dev  # the collector's calendar
  zlib1g-dev  # the collector's gzip-compressed pages
  libicu-dev  # players' names: Unicode's composed form and confusable skeletons
  libpq-dev postgresql sqlite3 wrk  # PostgreSQL store, its tests and copy, the load run
  dpkg-dev lintian adduser procps  # the collector's Debian package: shlibdeps, its checks, its user
  python3-prometheus-client  # the metrics test reads them with a real Prometheus parser
  libsodium-dev  # the staff console's password hashes (Argon2id) and tokens
  faketime  # a second collector's clock set ahead, in the announcements' PostgreSQL test
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
