#!/usr/bin/env bash
# Runs every benchmark once and prints the performance table, each figure as
# a ratio against its anchor measured in the same run, then writes it with the
# raw outputs to bench/README.md. A ratio, and a latency, is the median of at
# least five rounds that alternate the program and its anchor, with the
# rounds' spread beside it: its verdict is on the median, so that it says
# something about the program rather than about the moment it was taken. Needs the native and the Windows builds
# (bash scripts/build.sh makes both; PG_BENCH_WIN_BUILD names another cross build).
# Usage: bash bench/perf_table.sh [labels-per-way]
source "$(dirname "$0")/../scripts/prologue.sh"
cd "$root"
build=${PG_BENCH_BUILD:-build/native}
labels=${1:-200}
raw=$(mktemp); trap 'rm -f "$raw"' EXIT
# The machine may be shared: the table says how busy it was, so that a
# figure is read against the load it was measured under.
loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)

section() { printf '\n### %s\n\n```\n' "$1" >>"$raw"; cat >>"$raw"; printf '```\n' >>"$raw"; }

decode=$("$build/bench/bench_decode_base64"); section "DecodeBase64 vs EVP_DecodeBlock" <<<"$decode"
listing=$(/usr/bin/python3 bench/keepalive_latency.py --build "$build"); section "GetPrinters keep-alive: vs nginx, latency before/after (native)" <<<"$listing"
# The same latency with the Windows programs under Wine (needs the cross build).
wineListing=$(/usr/bin/python3 bench/keepalive_latency.py --wine --build "$build" --win-build "${PG_BENCH_WIN_BUILD:-build/win}")
section "GetPrinters keep-alive latency before/after (Wine)" <<<"$wineListing"
# Where the 8-connection throughput's time goes: CPU and system calls per
# request, printgate's server beside nginx.
profile=$(/usr/bin/python3 bench/listing_profile.py --build "$build"); section "GetPrinters at 8 connections: where the time goes" <<<"$profile"
cupsListing=$(/usr/bin/python3 bench/get_printers_cups.py --build "$build"); section "GetPrinters over CUPS vs the libcups loop" <<<"$cupsListing"
memory=$("$build/bench/bench_print_image_memory"); section "PrintImage peak memory" <<<"$memory"
# Beside lp, the in-process floor and printgate.exe under Wine (fewer labels:
# each takes Wine's PostScript driver a while).
latency=$(/usr/bin/python3 bench/print_latency_cups.py --labels "$labels" --wine 50 --build "$build"); section "POST to job vs lp, the floor and Wine" <<<"$latency"
# No anchor for this one: printing is serialised, so it shows the job's cost. Two
# seconds: longer, wrk queues more jobs than the scheduler takes on a quiet machine.
throughput=$(/usr/bin/python3 bench/print_latency_cups.py --wrk 2 --build "$build"); section "PrintImage throughput (wrk, no anchor)" <<<"$throughput"
held=$(/usr/bin/python3 bench/held_connections.py --build "$build"); section "Held connections, native" <<<"$held"
heldWine=$(/usr/bin/python3 bench/held_connections.py --wine --holds 0+0,64+32,96+32 --build "$build"); section "Held connections, printgate.exe under Wine" <<<"$heldWine"
# What printgate's log file costs a print request (needs the cross build).
logCost=$(/usr/bin/python3 bench/log_cost_wine.py --build "$build"); section "printgate's log file: cost per print request (Wine)" <<<"$logCost"
# Following labels: the watcher's wake-ups, 32 idle streams, a change's delay.
follow=$(/usr/bin/python3 bench/follow_events.py --build "$build"); section "Following labels and event streams, native" <<<"$follow"
followWine=$(/usr/bin/python3 bench/follow_events.py --wine --build "$build"); section "Following labels and event streams, printgate.exe under Wine" <<<"$followWine"
# A printer plugged in to its event on a page: the user's day under Wine
# measures it on the page it keeps open (its step table is in the output).
day=$(ctest --test-dir "$build" -R '^bench_win_day_test_day_py$' -V 2>&1); section "The user's day under Wine" <<<"$day"
# Peak memory under the load suites' hostile storm, against the memory budget.
stormMemory=$(/usr/bin/python3 bench/storm_memory.py --wine --build "$build"); section "Peak memory under a hostile storm, native and Wine" <<<"$stormMemory"

# A figure of rounds as the benches print it: "0.61x (0.58-0.66)".
roundsFigure() { # output, the text before the figure (a regular expression)
  sed -nE "s/^$2 ([0-9.]+x \([0-9.]+-[0-9.]+\)).*/\1/p" <<<"$1"
}
decodeRatio=$(roundsFigure "$decode" "speed-up:")
listingRatio=$(roundsFigure "$listing" "GetPrinters throughput ratio printgate\/nginx:")
cupsRatio=$(roundsFigure "$cupsListing" "GetPrinters over CUPS overhead:")
memoryRatio=$(sed -nE 's/^worst: ([0-9.]+)x.*/\1/p' <<<"$memory")
p50Ratio=$(roundsFigure "$latency" "ratio printgate\/lp p50:")
p99Ratio=$(roundsFigure "$latency" "ratio printgate\/lp p99:")
floorRatio=$(roundsFigure "$latency" "ratio printgate\/floor p50:")
wineP50=$(sed -nE 's/^printgate.exe under Wine, .*: p50 ([0-9.]+) ms .*/\1 ms/p' <<<"$latency")
wineRatio=$(roundsFigure "$latency" "printgate.exe under Wine, .* ratio p50")
IFS='|' read -r p50VsNginxRatio p50Mine p50Nginx < <(sed -nE 's/^GetPrinters keep-alive p50 1 conn printgate\/nginx: ([0-9.]+x \([0-9.]+-[0-9.]+\)), median of [0-9]+ rounds \(p50 ([0-9.]+) ms \/ ([0-9.]+) ms.*/\1|\2|\3/p' <<<"$listing")
idleCpu() { grep -F " 64 idle keep-alive connections inside" | grep -Eo 'total [0-9.]+' | grep -Eo '[0-9.]+$'; }
idleWakeups() { grep -F " 64 idle keep-alive connections inside" | grep -Eo 'wake-ups [0-9.]+' | grep -Eo '[0-9.]+$'; }
idleNative=$(idleCpu <<<"$held")
idleUnderWine=$(idleCpu <<<"$heldWine")
wakeupsNative=$(idleWakeups <<<"$held")
heldMax() { # output, idle connections, trickling ones: the worst wait, and whether some timed out
  sed -nE "s/.*, $2 idle keep-alive \+ $3 trickling held: .* max ([0-9.]+) ms.*; ([0-9]+) timed out after ([0-9.]+) s.*/\1 ms (at least: \2 timed out at \3 s)/p
           s/.*, $2 idle keep-alive \+ $3 trickling held: .* max ([0-9.]+) ms.*/\1 ms/p" <<<"$1"
}
heldNative=$(heldMax "$held" 64 32)
heldUnderWine=$(heldMax "$heldWine" 64 32)
heldFullNative=$(heldMax "$held" 96 32)
heldFullUnderWine=$(heldMax "$heldWine" 96 32)
atRest() { # output, 1 for threads or 2 for the resident MiB
  sed -nE "s/.* at rest .*: ([0-9]+) threads, RSS ([0-9.]+) MiB.*/\\$2/p" <<<"$1"
}
restThreads=$(atRest "$held" 1)
restRss=$(atRest "$held" 2)
restThreadsWine=$(atRest "$heldWine" 1)
restRssWine=$(atRest "$heldWine" 2)
logUs=$(sed -nE 's/.*cost ([0-9.]+) us per print.*/\1/p' <<<"$logCost")
followWake=$(sed -nE 's/^nothing followed, no stream: ([0-9]+) wake-ups.*/\1/p' <<<"$follow")
followCpu=$(sed -nE 's/^32 idle streams: printgate CPU ([0-9.]+) %.*/\1/p' <<<"$follow")
followWorst=$(sed -nE 's/^GetPrinters beside 32 streams: .*worst ([0-9.]+) ms.*/\1/p' <<<"$follow")
followP50=$(sed -nE 's/.*its event at the page: p50 ([0-9.]+) ms.*/\1/p' <<<"$follow")
followWineCpu=$(sed -nE 's/^32 idle streams: .* CPU ([0-9.]+) %.*/\1/p' <<<"$followWine")
followWineWorst=$(sed -nE 's/^GetPrinters beside 32 streams under Wine: .*worst ([0-9.]+) ms.*/\1/p' <<<"$followWine")
followWineP50=$(sed -nE 's/.*its event at the page under Wine: p50 ([0-9.]+) ms.*/\1/p' <<<"$followWine")
plugToPage=$(sed -nE 's/.*a printer plugged in -> its printer event at the page \(queue added\): ([0-9.]+) ms from the plug command.*/\1/p' <<<"$day")
stormRatio() { sed -nE "s/^$1: storm peak \/ budget ([0-9.]+)x.*/\\1/p" <<<"$stormMemory"; }
stormListing() { sed -nE "s/^$1: .*listing during the storm p50 [0-9.]+ ms, max ([0-9.]+) ms.*/\\1/p" <<<"$stormMemory"; }
stormNative=$(stormRatio "native printgate")
stormWine=$(stormRatio "printgate.exe under Wine")
stormListNative=$(stormListing "native printgate")
stormListWine=$(stormListing "printgate.exe under Wine")
logEnd=$(sed -nE 's/.*difference p50 (-?[0-9.]+ ms \(-?[0-9.]+%\)).*/\1/p' <<<"$logCost")

verdict() { # value (its leading number: a median with its spread after it), comparison ("ge" or "le"), goal
  # A figure the bench did not print (it failed, or its line changed) is no
  # figure, never a met goal.
  awk -v v="$1" -v g="$3" -v c="$2" 'BEGIN {
    if (v !~ /^-?[0-9]+(\.[0-9]+)?/) { print "NO FIGURE"; exit }
    ok = (c == "ge") ? (v + 0 >= g) : (v + 0 <= g); print ok ? "met" : "NOT met" }'
}
latencyRow() { # output, label as the bench prints it, connections, the row's name, goal in ms
  local p50 p99 before50 before99
  IFS='|' read -r p50 p99 before50 before99 < <(sed -nE "s/^$2 latency $3 conn: p50 ([^,]+), p99 ([^;]+); before p50 ([^,]+), p99 ([^;]+);.*/\\1|\\2|\\3|\\4/p" <<<"$1")
  echo "| GetPrinters keep-alive latency, $4, $3 conn | before: library defaults, p50 $before50, p99 $before99 | p50 $p50, p99 $p99 | p50 <= $5 ms | $(verdict "$p50" le "$5") |"
}
table=$(cat <<TABLE
| figure | anchor (same run, in alternating rounds) | ratio: median of the rounds (their spread) | goal | |
|---|---|---|---|---|
| DecodeBase64 speed, clean 8 MiB text | OpenSSL EVP_DecodeBlock | ${decodeRatio} | >= 1.5x | $(verdict "$decodeRatio" ge 1.5) |
| GetPrinters requests/s (wrk, 8 keep-alive connections, constant listing; its profile is in the raw output) | nginx, same bytes, keep-alive | ${listingRatio} | >= 0.8x | $(verdict "$listingRatio" ge 0.8) |
| GetPrinters keep-alive p50, native, 1 conn (median ${p50Mine} ms) | nginx's p50, same bytes, 1 conn (median ${p50Nginx} ms) | ${p50VsNginxRatio} | <= 1.5x | $(verdict "$p50VsNginxRatio" le 1.5) |
$(latencyRow "$listing" native 1 native 0.5)
$(latencyRow "$listing" native 8 native 0.5)
$(latencyRow "$wineListing" "Wine .exe" 1 "Wine, bench server .exe" 0.5)
$(latencyRow "$wineListing" "Wine .exe" 8 "Wine, bench server .exe" 1)
| GetPrinters over CUPS, time per request (1 connection) | the listing's libcups enumeration in a loop, in-process | ${cupsRatio} | <= 1.2x | $(verdict "$cupsRatio" le 1.2) |
| PrintImage peak memory above idle, 32 MiB body | the body's size | ${memoryRatio}x | <= 2x | $(verdict "$memoryRatio" le 2) |
| POST PrintImage to job accepted, p50 | lp -d QUEUE, same image | ${p50Ratio} | <= 0.5x | $(verdict "$p50Ratio" le 0.5) |
| POST PrintImage to job accepted, p99 | lp -d QUEUE, same image | ${p99Ratio} | <= 1x | $(verdict "$p99Ratio" le 1) |
| POST PrintImage to job accepted, p50 | in-process floor: libcups Create-Job + Send-Document of the same PDF | ${floorRatio} | <= 2x | $(verdict "$floorRatio" le 2) |
| printgate.exe under Wine, POST PrintImage to job accepted, p50 (${wineP50} over all its labels) | lp -d QUEUE, same image | ${wineRatio} | none | |
| printgate's threads at rest (one listing served, then idle 5 s), native | none: a bound | ${restThreads} | <= 10 | $(verdict "$restThreads" le 10) |
| printgate's resident memory (RSS) at rest, native | none: a bound | ${restRss} MiB | <= 16 MiB | $(verdict "$restRss" le 16) |
| printgate.exe's threads at rest under Wine (its own process) | none: a bound | ${restThreadsWine} | <= 16 | $(verdict "$restThreadsWine" le 16) |
| printgate.exe's resident memory at rest under Wine (its own process, Wine's libraries included) | none | ${restRssWine} MiB | none | |
| worst wait of a new GetPrinters, 64 idle + 32 trickling connections held, native | none: a bound | ${heldNative} | <= 100 ms | $(verdict "$heldNative" le 100) |
| the same, printgate.exe under Wine | none: a bound | ${heldUnderWine} | <= 100 ms | $(verdict "$heldUnderWine" le 100) |
| worst wait of a new GetPrinters, 96 idle + 32 trickling connections held, native | none: a bound | ${heldFullNative} | <= 100 ms | $(verdict "$heldFullNative" le 100) |
| the same, printgate.exe under Wine | none: a bound | ${heldFullUnderWine} | <= 100 ms | $(verdict "$heldFullUnderWine" le 100) |
| server CPU while 64 keep-alive connections sit idle inside their time-out, native (${wakeupsNative} wake-ups/s) | none: a bound | ${idleNative} % of a core | <= 1 % | $(verdict "$idleNative" le 1) |
| the same, printgate.exe under Wine (program + wineserver) | none: a bound | ${idleUnderWine} % of a core | <= 5 % | $(verdict "$idleUnderWine" le 5) |
| printgate's wake-ups (switches by waiting) in 10 s with nothing followed and no stream open, native | none: a bound | ${followWake} | 0 | $(verdict "$followWake" le 0) |
| server CPU with 32 idle event streams, native | none: a bound | ${followCpu} % of a core | <= 1 % | $(verdict "$followCpu" le 1) |
| worst wait of a new GetPrinters beside 32 event streams, native | none: a bound | ${followWorst} ms | <= 100 ms | $(verdict "$followWorst" le 100) |
| a job's change in the spooler to its event at the page, p50, native | none: a bound | ${followP50} ms | <= 1000 ms | $(verdict "$followP50" le 1000) |
| the same, printgate.exe under Wine | none: a bound | ${followWineP50} ms | <= 1000 ms | $(verdict "$followWineP50" le 1000) |
| server CPU with 32 idle event streams, printgate.exe under Wine (program + wineserver) | none: a bound | ${followWineCpu} % of a core | <= 5 % | $(verdict "$followWineCpu" le 5) |
| worst wait of a new GetPrinters beside 32 event streams, printgate.exe under Wine | none: a bound | ${followWineWorst} ms | <= 100 ms | $(verdict "$followWineWorst" le 100) |
| a printer plugged in to its printer event at the page (the day under Wine: the device event, printerwatch's pass adding the queue, printgate's watcher, the page's stream) | none: a bound | ${plugToPage} ms | <= 2000 ms | $(verdict "$plugToPage" le 2000) |
| peak memory under a hostile storm (64 clients posting decompression bombs, 16 posting 64 MiB bodies, a slow body), native | the memory budget (512 MiB) | ${stormNative}x | <= 1.1x | $(verdict "$stormNative" le 1.1) |
| the same, printgate.exe under Wine (Wine's own modules included) | the memory budget (512 MiB) | ${stormWine}x | <= 1.1x | $(verdict "$stormWine" le 1.1) |
| worst listing answer during that storm, native | none: a bound | ${stormListNative} ms | <= 100 ms | $(verdict "$stormListNative" le 100) |
| the same, printgate.exe under Wine | none: a bound | ${stormListWine} ms | <= 100 ms | $(verdict "$stormListWine" le 100) |
| printgate.exe's log file, cost per PrintImage request (its 9 lines, in-process under Wine; end to end, p50: ${logEnd}) | the same lines without a log file | ${logUs} us | <= 1000 us | $(verdict "$logUs" le 1000) |
TABLE
)
loadAfter=$(cut -d' ' -f1-3 /proc/loadavg)
echo "$table"
echo "load average (1, 5, 15 min): $loadBefore at the start, $loadAfter at the end"
{
  echo "# Performance table"
  echo
  echo "Made by \`bash bench/perf_table.sh\` on $(date -u +%Y-%m-%d) ($(nproc) cores, $(uname -m)); every"
  echo "figure is a ratio against an anchor measured in the same run: the median of at"
  echo "least five rounds that alternate the program and its anchor, the rounds' spread"
  echo "beside it, and its verdict on the median. Where a goal is not met the table says"
  echo "so; anchors are never tuned. Load average (1, 5, 15 min):"
  echo "$loadBefore at the start, $loadAfter at the end."
  echo
  echo "$table"
  echo
  echo "## Raw output"
  cat "$raw"
  if [ -f bench/fuzz.md ]; then echo; echo "Fuzzing: see [fuzz.md](fuzz.md)."; fi
} > bench/README.md
