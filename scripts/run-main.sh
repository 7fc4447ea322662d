#!/usr/bin/env bash
# The main job: sets up and builds, then loads the module like a host does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
./build/bin/corvane-probe
