#!/usr/bin/env bash
# GetPrinters throughput and latency with wrk: printgate's server over a fake
# spooler against a bare cpp-httplib route answering the same bytes, in one
# run on loopback. Prints one line per server and the ratio.
# Usage: bench/get_printers_throughput.sh [seconds] [connections]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}
connections=${2:-16}
binary="${PG_BENCH_BUILD:-$root/build/native}/bench/bench_get_printers_server"
[ -x "$binary" ] || { echo "build first: bash scripts/build.sh" >&2; exit 1; }
script=$(mktemp); trap 'rm -f "$script"' EXIT
echo 'wrk.method = "POST"; wrk.body = ""; wrk.headers["Content-Type"] = "text/plain"' > "$script"

measure() { # mode port -> "requests/s p50 p99"
  "$binary" "$1" "$2" >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && break; sleep 0.05; done
  local out
  out=$(wrk -t2 -c"$connections" -d"${seconds}s" --latency -s "$script" "http://127.0.0.1:$2/vqapi/GetPrinters")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  local rps p50 p99
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '$1=="50%" {print $2}' <<<"$out")
  p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  echo "$rps $p50 $p99"
}
port=$(( 20000 + RANDOM % 20000 ))
read -r apiRps apiP50 apiP99 <<<"$(measure api "$port")"
read -r bareRps bareP50 bareP99 <<<"$(measure bare "$((port + 1))")"
echo "GetPrinters printgate: ${apiRps} req/s, p50 ${apiP50}, p99 ${apiP99}"
echo "GetPrinters bare cpp-httplib: ${bareRps} req/s, p50 ${bareP50}, p99 ${bareP99}"
awk -v a="$apiRps" -v b="$bareRps" 'BEGIN { printf "GetPrinters throughput ratio: %.2fx (goal >= 0.8x)\n", a / b }'
