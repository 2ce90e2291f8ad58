#!/usr/bin/env bash
# Builds the benchmarks (optimised), runs them under Wine one after the other and prints one table
# of the published figures, each beside its baseline measured in the same run. Writes the same
# figures as CSV, the programs' full output and the plots (PNG, drawn with gnuplot from the CSV)
# into $KO_BENCH_OUT (default: <build>/bench-results).
#
# The machine's build lock ($KO_BENCH_LOCK, default /tmp/ko-build.lock) is taken for each of a few
# groups of steps, none of which holds it for more than about 10 minutes: run this script without
# flock. KO_BENCH_QUICK=1 runs the sweeps with fewer points; KO_BENCH_GROUPS (default
# "build wire server others") chooses the groups.
set -euo pipefail
root=$(dirname "$(dirname "$(realpath "$0")")")
build=${KO_BUILD_DIR:-$root/build}
out=${KO_BENCH_OUT:-$build/bench-results}
lock=${KO_BENCH_LOCK:-/tmp/ko-build.lock}
quick=${KO_BENCH_QUICK:-0}
log="$out/benchmarks.log"
csv="$out/benchmarks.csv"

# Runs one benchmark program under Wine; its output goes to the terminal and to the log.
bench() {
  local name=$1; shift
  echo "== $name $*" | tee -a "$log"
  "$root/scripts/wine-run.sh" "$build" "$build/bin/$name.exe" "$@" 2>&1 | tr -d '\r' |
    grep -v 'wine32 is missing\|multiarch' | tee -a "$log" || echo "failed: $name $*" | tee -a "$log"
}

# One group of steps, run by this script under the lock.
if [[ ${1:-} == --group ]]; then
  if [[ $quick == 1 ]]; then
    clients=1,2,4; items=1000,10000,30000; window=5
  else
    clients=1,2,4,8; items=1000,10000,100000; window=5
  fi
  case $2 in
  build)
    "$root/scripts/build.sh" --target KoBenchVars KoBenchSyncRead KoBenchDataChange KoBenchBrowse \
      KoBenchMainThread KoBenchFootprint ;;
  wire)
    # These register KoOPCServer in the build tree's prefix for their run and unregister it again.
    bench KoBenchSyncRead
    bench KoBenchDataChange --clients 1 --items 10000 --window 10
    bench KoBenchDataChange --clients "$clients" --items 10000 --window "$window"
    bench KoBenchDataChange --clients 1 --items "$items" --window "$window" ;;
  server)
    bench KoBenchDataChange --capacity --window "$window"
    bench KoBenchFootprint ;;
  others)
    bench KoBenchVars
    bench KoBenchBrowse
    # This one hosts the windowed server in its own process.
    bench KoBenchMainThread ;;
  esac
  exit 0
fi

mkdir -p "$out"
: >"$log"
if ! command -v gnuplot >/dev/null; then
  echo "run-benchmarks: installing gnuplot-nox for the plots" >&2
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq gnuplot-nox >/dev/null
fi
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
    "$(free -g | awk '/Mem:/ {print $2}') GB, $(. /etc/os-release && echo "$PRETTY_NAME"), $(wine --version 2>/dev/null)"
} | tee -a "$log"
for group in ${KO_BENCH_GROUPS:-build wire server others}; do
  echo "load before $group: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$log"
  flock "$lock" "$0" --group "$group"
done

# The figures: CSV and one table.
{
  echo "id,measure,value,unit,baseline,baseline_value,ratio,aim"
  grep '^figure,' "$log" | cut -d, -f2- || true
} >"$csv"
echo
echo "Figures (CSV: $csv)"
awk -F, 'NR > 1 {
  printf "%-10s %-58s %12s %-11s %-44s %12s %7s  %s\n", $1, $2, $3, $4, $5, $6, $7, $8
}' "$csv"

# Values per second against the item count (one client) and against the client count (10,000
# items each), server and bare: "clients,items,server,bare" rows of the sweeps.
points="$out/data-change-sweep.csv"
awk -F, '$1 == "P3-sweep" {
  n = split($2, w, " ")
  for (i = 2; i <= n; ++i) {
    if (w[i] ~ /^client/) c = w[i - 1]
    if (w[i] == "items") it = w[i - 1]
  }
  print c "," it "," $3 "," $6
}' "$csv" | sort -t, -k1,1n -k2,2n -u >"$points"
# plot <file> <title> <x label> <x column> <rows>
plot() {
  gnuplot <<EOF
set datafile separator ","
set terminal pngcairo size 800,500
set grid
set key right bottom
set ylabel "values/s"
set yrange [0:*]
set output "$1"
set title "$2"
set xlabel "$3"
plot "< awk -F, '$5' '$points'" using $4:3 with linespoints title "server", \
     "" using $4:4 with linespoints title "bare OnDataChange"
EOF
}
plot "$out/values-per-item-count.png" "Data-change values/s against the items of one group (1 client)" \
  "items" 2 '$1 == 1'
plot "$out/values-per-client-count.png" "Data-change values/s against client processes (10,000 items each, total)" \
  "client processes" 1 '$2 == 10000'
echo "Plots: $out/values-per-item-count.png $out/values-per-client-count.png"
if grep -q '^failed: ' "$log"; then
  grep '^failed: ' "$log" >&2
  exit 1
fi
