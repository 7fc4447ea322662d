#!/usr/bin/env bash
# Installs the Debian packages the project needs (only those missing), then
# configures and builds. Usage: scripts/setup.sh [build-dir] [extra cmake args...];
# scripts/setup.sh --packages-only installs and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

# The PostgreSQL server is for the demo on PostgreSQL and the tests on it; the packages must not
# create a system cluster of their own, hence the preparation first.
bash scripts/pg-cluster.sh prepare-install
bash scripts/install-packages.sh cmake ninja-build g++ binutils libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev libsqlite3-dev sqlite3 libspdlog-dev libcpp-httplib-dev nlohmann-json3-dev \
  libpq-dev postgresql-15 postgresql-client-15
# The ClickHouse server likewise (the demo and the tests on ClickHouse), kept from starting a server of its own.
bash scripts/ch-cluster.sh install
[ "${1:-}" = "--packages-only" ] && exit 0

build="${1:-build}"
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
ninja -C "$build" -j"$(nproc)"
