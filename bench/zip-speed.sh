#!/usr/bin/env bash
# Times BZIP2 zipping side by side: Info-ZIP zip, 7zz and tarvo-cli, each run in turn so that
# load from other work on the machine falls on all three alike. Prints every run, then the
# medians, the ratios against both tools and the archive sizes.
#
#   bench/zip-speed.sh TARVO_CLI PATH [RUNS]
#
# PATH is a file or a folder; the archives go to a scratch folder beside it.
set -euo pipefail

cli=$(realpath "$1")
input=$(realpath "$2")
runs=${3:-5}
parent=$(dirname "$input")
name=$(basename "$input")
scratch=$(mktemp -d "$parent/.zip-speed.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

now() { date +%s.%N; }

time_zip() {
    rm -f "$scratch/zip.zip"
    local start=$(now)
    (cd "$parent" && zip -q -r -Z bzip2 "$scratch/zip.zip" "$name")
    echo "$(now) - $start" | bc
}
time_7zz() {
    rm -f "$scratch/7zz.zip"
    local start=$(now)
    (cd "$parent" && 7zz a -bd -bso0 -tzip -mm=BZip2 "$scratch/7zz.zip" "$name")
    echo "$(now) - $start" | bc
}
time_tarvo() {
    # tarvo-cli writes PATH.zip beside PATH; a link in the scratch folder keeps it there.
    rm -f "$scratch/$name.zip"
    ln -sfn "$input" "$scratch/$name"
    local start=$(now)
    /usr/bin/time -f %M -o "$scratch/rss" "$cli" zip "$scratch/$name" >/dev/null
    echo "$(now) - $start" | bc
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$scratch/zip.t"
: >"$scratch/7zz.t"
: >"$scratch/tarvo.t"
: >"$scratch/rss.all"
for run in $(seq "$runs"); do
    z=$(time_zip)
    s=$(time_7zz)
    t=$(time_tarvo)
    cat "$scratch/rss" >>"$scratch/rss.all"
    printf 'run %d: zip %.2f s  7zz %.2f s  tarvo %.2f s\n' "$run" "$z" "$s" "$t"
    echo "$z" >>"$scratch/zip.t"
    echo "$s" >>"$scratch/7zz.t"
    echo "$t" >>"$scratch/tarvo.t"
done

mz=$(median <"$scratch/zip.t")
ms=$(median <"$scratch/7zz.t")
mt=$(median <"$scratch/tarvo.t")
rss=$(sort -n "$scratch/rss.all" | tail -1)
sz=$(stat -c %s "$scratch/zip.zip")
ss=$(stat -c %s "$scratch/7zz.zip")
st=$(stat -c %s "$scratch/$name.zip")
printf 'median: zip %.2f s  7zz %.2f s  tarvo %.2f s\n' "$mz" "$ms" "$mt"
printf 'tarvo/zip %.3f  tarvo/7zz %.3f\n' "$(echo "$mt / $mz" | bc -l)" "$(echo "$mt / $ms" | bc -l)"
printf 'size: zip %d  7zz %d  tarvo %d (%.2f%% of zip)\n' "$sz" "$ss" "$st" \
    "$(echo "100 * $st / $sz" | bc -l)"
printf 'tarvo peak RSS: %d MB\n' "$((rss / 1024))"
