# Sourced by the benchmarks: how busy the rest of the machine kept the cores while one of our runs went on.
# The kernel shares CPU between sessions first, so beside one busy session elsewhere our threads get one
# core between them, and a time measured then means little.

# CPU seconds the whole machine has spent so far.
busy_seconds() {
    awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%.2f\n", ($2 + $3 + $4 + $7 + $8) / hz }' /proc/stat
}

# Cores the rest of the machine kept busy: busy_seconds before and after a run, and the run's elapsed,
# user and system seconds (as /usr/bin/time -f '%e %U %S' writes them).
other_load() {
    awk -v before="$1" -v after="$2" -v elapsed="$3" -v user="$4" -v sys="$5" 'BEGIN {
        others = (after - before - user - sys) / elapsed
        printf "%.1f\n", others < 0 ? 0 : others
    }'
}
