#!/usr/bin/env bash
# The main job: sets up and builds, then runs the host's demo on the embedded
# SQLite database in build/demo-data (generated on the first run, reused after).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
./build/bin/corvane-host --data-dir build/demo-data demo "$@"
