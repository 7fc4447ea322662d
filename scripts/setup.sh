#!/usr/bin/env bash
# Installs the Debian packages the project needs (only those missing), then
# configures and builds. Usage: scripts/setup.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ binutils libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev libsqlite3-dev sqlite3 libspdlog-dev libcpp-httplib-dev nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

build="${1:-build}"
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
ninja -C "$build" -j"$(nproc)"
