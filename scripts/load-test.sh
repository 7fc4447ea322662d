#!/usr/bin/env bash
# The HTTP load test: build/bin/api_load against corvane-host serve, which it
# starts itself. Builds nothing: build api_load first
#   flock /tmp/corvane-build.lock ninja -C build api_load
# The data directory (build/bench-data/serve-records-<N>) is made on the first
# run by `corvane-host demo` (1M records: about 15 s, half generation, half
# aggregation) and reused after; the run itself is bounded by a timeout
# (about 100 s of 200 with the defaults).
#   scripts/load-test.sh [--records N] [more api_load options, e.g. --clients 50 --seconds 30]
# The exit code is api_load's (0 clean, 1 errors or leftovers, 2 usage, 3 setup, 124 timed out).
set -euo pipefail
cd "$(dirname "$0")/.."

program=build/bin/api_load
if [[ ! -x $program || ! -x build/bin/corvane-host ]]; then
    echo "load-test: $program or build/bin/corvane-host is missing; build them: ninja -C build api_load" >&2
    exit 3
fi

records=1000000
seconds=60
args=()
while (($#)); do
    case $1 in
    --records)
        [[ $# -ge 2 ]] || { echo "load-test: --records needs a value" >&2; exit 2; }
        records=$2
        shift 2
        ;;
    --seconds)
        [[ $# -ge 2 ]] || { echo "load-test: --seconds needs a value" >&2; exit 2; }
        seconds=$2
        args+=("$1" "$2")
        shift 2
        ;;
    *)
        args+=("$1")
        shift
        ;;
    esac
done

# Unbounded only once per size: the preparation.
"$program" --records "$records" --prepare-only

# The load, start-up, a settle of at most 10 s per round and the server's stop fit well inside this
# (200 s for the default 60 s). SIGTERM first: api_load then stops its server; SIGKILL 30 s later.
[[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "load-test: --seconds takes a number" >&2; exit 2; }
bound=$(( ${seconds%.*} + 140 ))
status=0
timeout --kill-after=30 "$bound" "$program" --records "$records" "${args[@]}" || status=$?
if ((status == 124)); then echo "load-test: api_load did not finish within $bound s" >&2; fi
exit "$status"
