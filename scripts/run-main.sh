#!/usr/bin/env bash
# The main job: sets up and builds, then runs the host's demo on the embedded
# SQLite database in build/demo-data (generated on the first run, reused after).
# `run-main.sh postgresql [demo options]` runs it on a throw-away PostgreSQL 15
# server instead: the cluster in build/pg-demo/server, a copy of config/ pointing
# at it in build/pg-demo/config, the host's data in build/pg-demo/data; the
# server is stopped when the demo ends. `run-main.sh clickhouse [demo options]`
# does the same on a throw-away two-shard ClickHouse cluster in build/ch-demo.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
postgresql) kind=postgresql cluster_script=scripts/pg-cluster.sh demo=build/pg-demo ;;
clickhouse) kind=clickhouse cluster_script=scripts/ch-cluster.sh demo=build/ch-demo ;;
*)
  bash scripts/setup.sh build
  ./build/bin/corvane-host --data-dir build/demo-data demo "$@"
  exit
  ;;
esac
shift

bash scripts/setup.sh build
cluster="$demo/server"
# Stop the servers at the end only when this run started them.
if ! bash "$cluster_script" status "$cluster" >/dev/null; then
  trap 'bash "$cluster_script" stop "$cluster"' EXIT
fi
connection=$(bash "$cluster_script" start "$cluster" | tail -n 1)

# The shipped configuration with the Database node pointed at the server (any earlier storage
# attributes on it replaced); exactly one such node, or the copy would silently run on SQLite.
rm -rf "$demo/config"
mkdir -p "$demo/config"
cp config/*.xml "$demo/config/"
KIND="$kind" CONNECTION="$connection" awk '
  function xml(text) {
    gsub(/&/, "\\&amp;", text); gsub(/</, "\\&lt;", text); gsub(/>/, "\\&gt;", text); gsub(/"/, "\\&quot;", text)
    return text
  }
  /<node q:name="Database"[ >\/]/ {
    gsub(/[ \t]+Storage(Kind|Connection)="[^"]*"/, "")
    at = index($0, "q:name=\"Database\"") + length("q:name=\"Database\"")
    $0 = substr($0, 1, at - 1) " StorageKind=\"" ENVIRON["KIND"] "\" StorageConnection=\"" xml(ENVIRON["CONNECTION"]) "\"" substr($0, at)
    found++
  }
  { print }
  END { if (found != 1) { print "run-main: host.cfg.xml has " found + 0 " Database nodes, expected one" > "/dev/stderr"; exit 1 } }
' config/host.cfg.xml >"$demo/config/host.cfg.xml"

./build/bin/corvane-host --config "$demo/config/host.cfg.xml" --data-dir "$demo/data" demo "$@"
