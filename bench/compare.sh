#!/usr/bin/env bash
# End-to-end comparison on a 12 MP stereo pair: stereo-rectify at scale 1.0
# against peer_rectify (the same job done the standard OpenCV way) and io_floor
# (only decoding both inputs and writing both outputs), for a JPEG pair (the
# target case) and a PNG pair.
#
# Usage: bench/compare.sh <build folder>
#
# The pair is made once from the bundled sample by make_pair (upscaled to
# 4000 x 3000, intrinsics scaled by 4000/640 = 6.25 in their first two rows)
# into <build>/bench-work/pair and reused while present. Per format, every
# program runs once untimed (to warm the file cache), then COMPARE_REPETITIONS
# times (default 5), the three programs alternating, so that all three see the
# same stretch of a shared machine. Wall time is taken around each run, peak
# resident memory from /usr/bin/time -v. Then the tool runs a few more times
# with each progress line timestamped as it arrives, which splits its time into
# phases.
#
# Targets (JPEG pair): tool <= 0.9 x peer, tool <= 1.25 x floor, tool peak
# resident memory <= floor peak + 1.5 x one decoded colour image.
set -euo pipefail
export LC_ALL=C

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
repetitions="${COMPARE_REPETITIONS:-5}"
phase_runs="${COMPARE_PHASE_RUNS:-3}"
width=4000
height=3000

tool="$build/app/stereo-rectify"
peer="$build/bench/peer_rectify"
floor="$build/bench/io_floor"
make_pair="$build/bench/make_pair"
for program in "$tool" "$peer" "$floor" "$make_pair"; do
    if [ ! -x "$program" ]; then
        echo "compare.sh: $program is missing; build first." >&2
        exit 1
    fi
done
if [ ! -x /usr/bin/time ]; then
    echo "compare.sh: /usr/bin/time is missing (Debian package 'time'; scripts/install-deps)." >&2
    exit 1
fi

work="$build/bench-work"
pair="$work/pair"
if [ ! -e "$pair/.complete" ]; then
    echo "Making the ${width} x ${height} pair in $pair ..."
    rm -rf "$pair"
    mkdir -p "$pair"
    "$make_pair" "$root/data/sample" "$pair" "$width" "$height"
    touch "$pair/.complete"
fi

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
        echo "compare.sh: '$*' exited with $status (expected $expected):" >&2
        cat "$work/run.log" >&2
        exit 1
    fi
    run_seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    run_peak_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
}

names=(stereo-rectify peer_rectify io_floor)
programs=("$tool" "$peer" "$floor")
# stereo-rectify exits with 1 after a successful run, the others with 0.
statuses=(1 0 0)
image_mb=$(awk -v w="$width" -v h="$height" 'BEGIN { printf "%.1f", w * h * 3 / 1e6 }')

compare_format() {
    local extension="$1" label="$2"
    local arguments=(T.txt K_left.txt K_right.txt "left.$extension" "right.$extension" 1.0)
    local i rep
    # per program, its times and peaks as space-separated lists
    local -a seconds=("" "" "") peaks=("" "" "")
    cd "$pair"
    for i in 0 1 2; do
        run_timed "${statuses[$i]}" "${programs[$i]}" "${arguments[@]}"
    done
    # The order rotates from one round to the next, so that no program always
    # follows the same one.
    local k
    for ((rep = 0; rep < repetitions; ++rep)); do
        for k in 0 1 2; do
            i=$(((k + rep) % 3))
            run_timed "${statuses[$i]}" "${programs[$i]}" "${arguments[@]}"
            seconds[i]+=" $run_seconds"
            peaks[i]+=" $run_peak_kb"
        done
    done
    rm -f left_rectified.ppm right_rectified.ppm

    local -a med_s=() med_mb=()
    for i in 0 1 2; do
        # shellcheck disable=SC2086
        med_s[i]=$(median ${seconds[i]})
        # shellcheck disable=SC2086
        med_mb[i]=$(median ${peaks[i]} | awk '{ printf "%.1f", $1 * 1024 / 1e6 }')
    done

    echo
    echo "== ${width} x ${height} pair, $label inputs, scale 1.0: median of $repetitions runs each, alternating (peak RSS: median of the runs' peaks) =="
    printf '%-16s %10s %9s %9s %14s\n' program "median s" "/ peer" "/ floor" "peak RSS MB"
    for i in 0 1 2; do
        awk -v n="${names[$i]}" -v s="${med_s[$i]}" -v p="${med_s[1]}" -v f="${med_s[2]}" \
            -v m="${med_mb[$i]}" \
            'BEGIN { printf "%-16s %10.3f %9.2f %9.2f %14.1f\n", n, s, s / p, s / f, m }'
    done
    echo "One decoded colour image: $image_mb MB (${width}*${height}*3 bytes; MB = 10^6 bytes)."
    awk -v t="${med_s[0]}" -v p="${med_s[1]}" -v f="${med_s[2]}" -v tm="${med_mb[0]}" \
        -v fm="${med_mb[2]}" -v im="$image_mb" 'BEGIN {
        budget = fm + 1.5 * im
        printf "tool / peer   %.2f  (target <= 0.90: %s)\n", t / p, (t / p <= 0.90 ? "met" : "MISSED")
        printf "tool / floor  %.2f  (target <= 1.25: %s)\n", t / f, (t / f <= 1.25 ? "met" : "MISSED")
        printf "tool peak %.1f MB, budget floor + 1.5 images = %.1f + %.1f = %.1f MB: %s (tool - floor = %.2f images)\n",
            tm, fm, 1.5 * im, budget, (tm <= budget ? "met" : "MISSED"), (tm - fm) / im }'

    # The tool's phases: each progress line is timestamped as it arrives (the
    # tool flushes every line; the loop runs no other program meanwhile), and
    # a phase lasts until the next line arrives. The first phase is the
    # process start-up (loading the shared libraries), the last its exit.
    local run line start
    local -a phase_names=() phase_lists=() stamps=() lines=()
    for ((run = 0; run < phase_runs; ++run)); do
        stamps=()
        lines=()
        start=$EPOCHREALTIME
        while IFS= read -r line; do
            stamps+=("$EPOCHREALTIME")
            lines+=("$line")
        done < <("$tool" "${arguments[@]}" || true)
        stamps+=("$EPOCHREALTIME")
        local index=0 previous_label="start-up, until the first line" previous_time="$start"
        for i in "${!stamps[@]}"; do
            # empty lines ("\ndone") belong to the phase before them
            if [ "$i" -lt "${#lines[@]}" ] && [ -z "${lines[$i]}" ]; then
                continue
            fi
            phase_names[index]="$previous_label"
            phase_lists[index]+=" $(awk -v a="$previous_time" -v b="${stamps[$i]}" 'BEGIN { printf "%.4f", b - a }')"
            index=$((index + 1))
            previous_label="${lines[$i]:-}"
            if [ "$i" -eq $((${#stamps[@]} - 2)) ]; then
                previous_label="exit, after '${lines[$i]}'"
            fi
            previous_time="${stamps[$i]}"
        done
        phase_names[index]="whole run"
        phase_lists[index]+=" $(awk -v a="$start" -v b="${stamps[-1]}" 'BEGIN { printf "%.4f", b - a }')"
    done
    rm -f left_rectified.ppm right_rectified.ppm
    echo "stereo-rectify phases, median of $phase_runs runs (from each progress line to the next):"
    for i in "${!phase_names[@]}"; do
        # shellcheck disable=SC2086
        printf '  %-40s %8.3f s\n' "${phase_names[$i]}" "$(median ${phase_lists[$i]})"
    done
    cd - >/dev/null
}

echo "End-to-end comparison; programs in $build; work folder $work"
compare_format jpg JPEG
compare_format png PNG
rm -f "$work/time.txt" "$work/run.log"
