#!/usr/bin/env bash
# The dashboard page in headless Chromium against a fresh `corvane-host serve` on sample data.
# Installs the browser's Debian packages when missing; expects corvane-host built in the build dir.
# Usage: scripts/browser-test.sh [build-dir] [screenshot]   (default: build, <build-dir>/dashboard.png)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
screenshot="${2:-$build/dashboard.png}"

bash scripts/install-packages.sh chromium chromium-driver python3-selenium fonts-liberation

host="$build/bin/corvane-host"
if [ ! -x "$host" ] || [ ! -f "$build/bin/web/index.html" ]; then
  echo "browser-test: $host or $build/bin/web/ is missing; build corvane-host first" >&2
  exit 2
fi

work="$build/browser-test"
data="$work/data"
rm -rf "$work"
mkdir -p "$work"
# A fresh data directory each run: the sample records end now, so "the last 30 days" holds them all.
# serve generates them, aggregates and switches the fast method on before it listens.
"$host" --data-dir "$data" --records 50000 serve --listen 127.0.0.1:0 >"$work/serve.out" 2>"$work/serve.err" &
server=$!
stop_server() {
  kill -TERM "$server" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
}
trap stop_server EXIT

port=""
for _ in $(seq 600); do
  port=$(sed -n 's#^listening on http://127\.0\.0\.1:\([0-9][0-9]*\)/$#\1#p' "$work/serve.out")
  [ -n "$port" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "browser-test: serve exited before listening:" >&2
    cat "$work/serve.err" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "browser-test: serve printed no listening line within 60 s" >&2
  exit 1
fi

status=0
timeout -k 5 90 /usr/bin/python3 tests/web/dashboard_browser_test.py \
  --url "http://127.0.0.1:$port/" --data-dir "$data" --screenshot "$screenshot" --timeout 30 || status=$?
if [ $status -ne 0 ]; then
  echo "browser-test: FAILED ($status); the server's log: $work/serve.err" >&2
fi
exit $status
