# Shared by the end-to-end comparisons (compare.sh, batch_compare.sh): timing
# whole runs of programs, alternating, and ratios of medians. Sourced; expects
# $work to name a folder for its scratch files.

# require_executables <path...>: stops the script when one is missing.
require_executables() {
    local program
    for program in "$@"; do
        if [ ! -x "$program" ]; then
            echo "$(basename "$0"): $program is missing; build first (and scripts/install-deps)." >&2
            exit 1
        fi
    done
}

# median of the numbers given as arguments
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print 0 } else if (NR % 2) { print v[(NR + 1) / 2] }
        else { print (v[NR / 2] + v[NR / 2 + 1]) / 2 } }'
}

# run_timed <expected status> <command...>: runs the command in the current
# folder; sets run_seconds and run_peak_kb. Fails on an unexpected status.
run_timed() {
    local expected="$1"
    shift
    local start end status=0
    start=$EPOCHREALTIME
    /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/run.log" 2>&1 || status=$?
    end=$EPOCHREALTIME
    if [ "$status" -ne "$expected" ]; then
        echo "$(basename "$0"): '$*' exited with $status (expected $expected):" >&2
        cat "$work/run.log" >&2
        exit 1
    fi
    run_seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    run_peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
}

declare -A med_s med_mb

# compare <title> <folder> <repetitions> <name:status:command> ... -- <arguments...>
# Runs each command (its words split at blanks) followed by the shared
# arguments in the folder, alternating; sets med_s[name] (median seconds) and
# med_mb[name] (median peak RSS, MB) and prints a table with every program's
# time relative to the first one's. A hook named before_run, when defined, runs
# before every run (to clear outputs, say).
compare() {
    local title="$1" folder="$2" reps="$3"
    shift 3
    local -a entries=()
    while [ "$1" != "--" ]; do
        entries+=("$1")
        shift
    done
    shift
    local -a names=() statuses=() programs=() seconds=() peaks=()
    local entry i k rep count=${#entries[@]}
    for entry in "${entries[@]}"; do
        IFS=: read -r name status program <<<"$entry"
        names+=("$name")
        statuses+=("$status")
        programs+=("$program")
        seconds+=("")
        peaks+=("")
    done
    cd "$folder"
    local -a words
    for ((i = 0; i < count; ++i)); do
        read -r -a words <<<"${programs[$i]}"
        declare -F before_run >/dev/null && before_run
        run_timed "${statuses[$i]}" "${words[@]}" "$@"
    done
    # The order rotates from one round to the next, so that no program always
    # follows the same one.
    for ((rep = 0; rep < reps; ++rep)); do
        for ((k = 0; k < count; ++k)); do
            i=$(((k + rep) % count))
            read -r -a words <<<"${programs[$i]}"
            declare -F before_run >/dev/null && before_run
            run_timed "${statuses[$i]}" "${words[@]}" "$@"
            seconds[i]+=" $run_seconds"
            peaks[i]+=" $run_peak_kb"
        done
    done
    rm -f ./*_rectified.ppm
    echo
    echo "== $title: median of $reps runs each, alternating (peak RSS: median of the runs' peaks) =="
    printf '%-16s %10s %12s %14s\n' program "median s" "/ ${names[0]}" "peak RSS MB"
    for ((i = 0; i < count; ++i)); do
        # shellcheck disable=SC2086
        med_s[${names[$i]}]=$(median ${seconds[i]})
        # shellcheck disable=SC2086
        med_mb[${names[$i]}]=$(median ${peaks[i]} | awk '{ printf "%.1f", $1 * 1024 / 1e6 }')
    done
    for ((i = 0; i < count; ++i)); do
        awk -v n="${names[$i]}" -v s="${med_s[${names[$i]}]}" -v f="${med_s[${names[0]}]}" \
            -v m="${med_mb[${names[$i]}]}" \
            'BEGIN { printf "%-16s %10.4f %12.2f %14.1f\n", n, s, s / f, m }'
    done
    cd - >/dev/null
}

# target <label> <numerator> <denominator> <at most>: prints the ratio and
# whether it meets the target.
target() {
    awk -v l="$1" -v a="$2" -v b="$3" -v t="$4" 'BEGIN {
        printf "%-46s %6.2f  (target <= %.2f: %s)\n", l, a / b, t, (a / b <= t ? "met" : "MISSED") }'
}

