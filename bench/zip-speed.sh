#!/usr/bin/env bash
# Times BZIP2 zipping side by side: Info-ZIP zip, 7zz and tarvo-cli, one after the other in
# each run, so that load from other work on the machine falls on all three alike. Prints every
# run, then the medians, the median of the per-run ratios, CPU seconds, archive sizes and
# tarvo-cli's peak memory.
#
#   bench/zip-speed.sh TARVO_CLI PATH [RUNS]
#
# PATH is a file or a folder; the archives go to a scratch folder beside it. No archive exists
# before a run, as when zipping something for the first time.
#
# With WAIT_QUIET=1 each run waits until nothing else on the machine has been runnable for three
# seconds. The kernel shares the CPU between sessions, not threads, so while another session
# is busy a multi-threaded tool gets no more CPU than a single-threaded one.
set -euo pipefail

cli=$(realpath "$1")
input=$(realpath "$2")
runs=${3:-5}
parent=$(dirname "$input")
name=$(basename "$input")
scratch=$(mktemp -d "$parent/.zip-speed.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# Runs a command, appends "wall cpu rss" to the file named first.
measure() {
    local log=$1
    shift
    /usr/bin/time -f '%e %U %S %M' -o "$scratch/time" "$@" >/dev/null
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$scratch/time" >>"$log"
}

wait_quiet() {
    local quiet=0
    while [ "$quiet" -lt 3 ]; do
        # procs_running counts the awk reading it.
        if [ "$(awk '/procs_running/ { print $2 }' /proc/stat)" -le 1 ]; then
            quiet=$((quiet + 1))
        else
            quiet=0
        fi
        sleep 1
    done
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column_of() { awk -v c="$2" '{ print $c }' "$1"; }

ln -sfn "$input" "$scratch/$name" # tarvo-cli writes PATH.zip beside PATH: here
for tool in zip 7zz tarvo; do : >"$scratch/$tool.log"; done
for run in $(seq "$runs"); do
    rm -f "$scratch/zip.zip" "$scratch/7zz.zip" "$scratch/$name.zip"
    if [ "${WAIT_QUIET:-0}" = 1 ]; then wait_quiet; fi
    (cd "$parent" && measure "$scratch/zip.log" zip -q -r -Z bzip2 "$scratch/zip.zip" "$name")
    (cd "$parent" && measure "$scratch/7zz.log" 7zz a -bd -bso0 -tzip -mm=BZip2 "$scratch/7zz.zip" "$name")
    measure "$scratch/tarvo.log" "$cli" zip "$scratch/$name"
    z=$(tail -1 "$scratch/zip.log" | cut -d' ' -f1)
    s=$(tail -1 "$scratch/7zz.log" | cut -d' ' -f1)
    t=$(tail -1 "$scratch/tarvo.log" | cut -d' ' -f1)
    echo "$t / $z" | bc -l >>"$scratch/ratio.zip"
    echo "$t / $s" | bc -l >>"$scratch/ratio.7zz"
    printf 'run %d: zip %5.2f s  7zz %5.2f s  tarvo %5.2f s   (load %s)\n' "$run" "$z" "$s" "$t" \
        "$(cut -d' ' -f1 /proc/loadavg)"
done

for tool in zip 7zz tarvo; do
    printf 'median %-5s wall %5.2f s  cpu %5.2f s\n' "$tool" \
        "$(column_of "$scratch/$tool.log" 1 | median)" "$(column_of "$scratch/$tool.log" 2 | median)"
done
mz=$(column_of "$scratch/zip.log" 1 | median)
ms=$(column_of "$scratch/7zz.log" 1 | median)
mt=$(column_of "$scratch/tarvo.log" 1 | median)
printf 'ratio of medians:       tarvo/zip %.3f  tarvo/7zz %.3f\n' \
    "$(echo "$mt / $mz" | bc -l)" "$(echo "$mt / $ms" | bc -l)"
printf 'median per-run ratio:   tarvo/zip %.3f  tarvo/7zz %.3f\n' \
    "$(median <"$scratch/ratio.zip")" "$(median <"$scratch/ratio.7zz")"
sz=$(stat -c %s "$scratch/zip.zip")
ss=$(stat -c %s "$scratch/7zz.zip")
st=$(stat -c %s "$scratch/$name.zip")
printf 'size: zip %d  7zz %d  tarvo %d (%.2f%% of zip)\n' "$sz" "$ss" "$st" \
    "$(echo "100 * $st / $sz" | bc -l)"
printf 'tarvo peak RSS: %d MB\n' "$(($(column_of "$scratch/tarvo.log" 3 | sort -n | tail -1) / 1024))"
