#!/usr/bin/env bash
# End-to-end comparisons of whole runs, each program run as a process:
# - the bundled 640 x 480 sample pair: stereo-rectify against peer_rectify (the
#   same job done the standard OpenCV way), time and peak memory;
# - a run that fails at once (missing left image) against startup_floor, a
#   program that links only opencv_core: the floor of starting a process with
#   the tool's dependencies;
# - a 12 MP pair with sensor-like noise, as JPEG and as PNG: stereo-rectify
#   against peer_rectify and io_floor (decoding both inputs and writing both
#   outputs with the image library).
#
# Usage: bench/compare.sh <build folder>
#
# The 12 MP pair is made once from the bundled sample by make_pair (upscaled to
# 4000 x 3000 with noise added, intrinsics scaled by 4000/640 = 6.25 in their
# first two rows) into <build>/bench-work/pair-noisy and reused while present.
# Per comparison, every program runs once untimed (to warm the file cache),
# then the programs alternate, COMPARE_REPETITIONS rounds (default 5; the short
# runs get four times as many), so that all see the same stretch of a shared
# machine. Wall time is taken around each run, peak resident memory from
# /usr/bin/time -v; figures are ratios of medians. Then the tool runs a few
# more times on the JPEG pair with each progress line timestamped as it
# arrives, which splits its time into phases.
set -euo pipefail
export LC_ALL=C
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
repetitions="${COMPARE_REPETITIONS:-5}"
phase_runs="${COMPARE_PHASE_RUNS:-3}"
width=4000
height=3000

tool="$build/app/stereo-rectify"
peer="$build/bench/peer_rectify"
floor="$build/bench/io_floor"
startup="$build/bench/startup_floor"
make_pair="$build/bench/make_pair"
require_executables "$tool" "$peer" "$floor" "$startup" "$make_pair" /usr/bin/time

work="$build/bench-work"
pair="$work/pair-noisy"
if [ ! -e "$pair/.complete" ]; then
    echo "Making the ${width} x ${height} pair in $pair ..."
    rm -rf "$pair"
    mkdir -p "$pair"
    "$make_pair" "$root/data/sample" "$pair" "$width" "$height"
    touch "$pair/.complete"
fi

image_mb=$(awk -v w="$width" -v h="$height" 'BEGIN { printf "%.1f", w * h * 3 / 1e6 }')
# The tool's phases on the 12 MP pair: each progress line is timestamped as it
# arrives (the tool flushes every line; the loop runs no other program
# meanwhile), and a phase lasts until the next line arrives. The first phase
# is the process start-up, the last its exit.
phases() {
    local run line start i
    local -a phase_names=() phase_lists=() stamps=() lines=()
    cd "$pair"
    for ((run = 0; run < phase_runs; ++run)); do
        stamps=()
        lines=()
        start=$EPOCHREALTIME
        while IFS= read -r line; do
            stamps+=("$EPOCHREALTIME")
            lines+=("$line")
        done < <("$tool" "$@" || true)
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
    rm -f ./*_rectified.ppm
    echo "stereo-rectify phases, median of $phase_runs runs (from each progress line to the next):"
    for i in "${!phase_names[@]}"; do
        # shellcheck disable=SC2086
        printf '  %-40s %8.3f s\n' "${phase_names[$i]}" "$(median ${phase_lists[$i]})"
    done
    cd - >/dev/null
}

echo "End-to-end comparison; programs in $build; work folder $work"
sample="$work/sample"
mkdir -p "$sample"
cp "$root"/data/sample/{T.txt,K_left.txt,K_right.txt,left.png,right.png} "$sample"/

# stereo-rectify exits with 1 after a successful run, the others with 0.
compare "640 x 480 sample pair, scale 1.0" "$sample" $((4 * repetitions)) \
    "stereo-rectify:1:$tool" "peer_rectify:0:$peer" -- \
    T.txt K_left.txt K_right.txt left.png right.png 1.0
target "sample, time: stereo-rectify / peer" "${med_s[stereo-rectify]}" "${med_s[peer_rectify]}" 0.25
target "sample, peak RSS: stereo-rectify / peer" "${med_mb[stereo-rectify]}" "${med_mb[peer_rectify]}" 0.40

compare "a run that fails at once (missing left image)" "$sample" $((4 * repetitions)) \
    "stereo-rectify:0:$tool" "startup_floor:0:$startup" -- \
    T.txt K_left.txt K_right.txt missing.png right.png 1.0
target "failing run: stereo-rectify / start-up floor" "${med_s[stereo-rectify]}" "${med_s[startup_floor]}" 3.0

for format in jpg:JPEG:0.75 png:PNG:0.70; do
    IFS=: read -r extension label limit <<<"$format"
    compare "${width} x ${height} noisy pair, $label inputs, scale 1.0" "$pair" "$repetitions" \
        "stereo-rectify:1:$tool" "peer_rectify:0:$peer" "io_floor:0:$floor" -- \
        T.txt K_left.txt K_right.txt "left.$extension" "right.$extension" 1.0
    target "$label, time: stereo-rectify / I/O floor" "${med_s[stereo-rectify]}" "${med_s[io_floor]}" "$limit"
    target "$label, time: stereo-rectify / peer" "${med_s[stereo-rectify]}" "${med_s[peer_rectify]}" 1.0
    awk -v t="${med_mb[stereo-rectify]}" -v f="${med_mb[io_floor]}" -v im="$image_mb" 'BEGIN {
        printf "peak RSS: stereo-rectify %.1f MB, I/O floor %.1f MB: tool - floor = %.2f decoded images of %.1f MB\n",
            t, f, (t - f) / im, im }'
    if [ "$extension" = jpg ]; then
        phases T.txt K_left.txt K_right.txt left.jpg right.jpg 1.0
    fi
done
rm -f "$work/time.txt" "$work/run.log"
