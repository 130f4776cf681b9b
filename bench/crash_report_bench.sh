#!/usr/bin/env bash
# Crash report figures for a launcher-sized process: the time from the fault
# to the end of the crashed process (the crash folder written), and the size
# of Minidump.dmp against the process's resident memory at the fault.
#
#   bench/crash_report_bench.sh BUILD/bin/crash_victim [MEGABYTES] [RUNS]
#
# crash_victim fills MEGABYTES (default 100) of memory, prints the time and
# its resident size just before a null write, and crashes; the end time is
# taken when it has exited. Targets: at most 2 s, and a dump within 10 % of
# the resident memory. The dump is a sparse file: "written" is what it takes
# on disk, "length" its apparent length.
set -euo pipefail

victim=${1:?usage: crash_report_bench.sh CRASH_VICTIM [MEGABYTES] [RUNS]}
megabytes=${2:-100}
runs=${3:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrava-crash-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$victim" "$victim.debug" "$work/"

# Once as it is, once with the launcher's GTK and WebKit libraries loaded
# as well (many more modules for the writer to map, unwind through and
# dump); the writer, a fresh start of the program, loads them too.
for libraries in "" "libgtk-3.so.0 libwebkit2gtk-4.1.so.0"; do
  echo "libraries preloaded: ${libraries:-none}"
  for run in $(seq "$runs"); do
    rm -rf "$work/MiniDump"
    (cd "$work" && LD_PRELOAD="$libraries" ./crash_victim null-write "$megabytes" > victim.out)
    end=$(date +%s%N)
    read -r _ fault _ resident < "$work/victim.out"
    dump=$(echo "$work"/MiniDump/*/Minidump.dmp)
    length=$(stat -c %s "$dump")
    written=$(( $(stat -c %b "$dump") * $(stat -c %B "$dump") ))
    awk -v run="$run" -v ms="$(( (end - fault) / 1000000 ))" -v rss="$resident" \
        -v written="$written" -v apparent="$length" 'BEGIN {
      printf "  run %d: fault to end %d ms; resident %.1f MB, dump written %.1f MB (%+.1f %%), length %.1f MB\n",
        run, ms, rss / 1048576, written / 1048576, (written - rss) * 100 / rss, apparent / 1048576
    }'
  done
done
