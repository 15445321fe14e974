#!/usr/bin/env bash
# Throughput of stereo-rectify-batch on recordings, against what a user would
# run instead, all on the same inputs and output format:
# - stereo-rectify-batch with its default --jobs;
# - the Python loop a user would write (bench/python_peer.py: OpenCV's
#   stereoRectify and initUndistortRectifyMap once, then imread, remap
#   bilinear and imwrite per pair), and the same loop over a pool of as many
#   processes as processors (the careful user's);
# - batch_floor: reading and writing the images only, with the batch tool's
#   parallelism: the real yardstick.
# Cases: 100 VGA PNG pairs to PPM, the same to PNG, 10 pairs of 12 MP noisy
# JPEGs to PNG; then peak memory on 10,000 pairs against 100 (scale 0.25, PPM).
#
# Usage: bench/batch_compare.sh <build folder>
# With BENCH_SMALL=1 (the smoke run of CI) only 4 VGA pairs, once each.
# The data are made once from data/raw into <build>/bench-work/recordings
# (Python with Debian's python3-opencv). COMPARE_REPETITIONS sets the runs per
# program (default 5; 3 for the 12 MP case). Figures are ratios of medians.
set -euo pipefail
export LC_ALL=C
# shellcheck source=bench/bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: $0 <build folder>}" && pwd)"
repetitions="${COMPARE_REPETITIONS:-5}"
small="${BENCH_SMALL:-0}"
vga_pairs=100
if [ "$small" = 1 ]; then
    repetitions=1
    vga_pairs=4
fi
batch="$build/app/stereo-rectify-batch"
floor="$build/bench/batch_floor"
python=/usr/bin/python3
peer="$root/bench/python_peer.py"
processes=$(nproc)
require_executables "$batch" "$floor" /usr/bin/time
if ! "$python" -c "import cv2" 2>/dev/null; then
    echo "batch_compare.sh: $python cannot import cv2 (Debian package python3-opencv)." >&2
    exit 1
fi

work="$build/bench-work"
data="$work/recordings-$vga_pairs"
if [ ! -e "$data/.complete" ]; then
    echo "Making the recordings in $data ..."
    rm -rf "$data"
    mkdir -p "$data"
    "$python" - "$root/data/raw" "$data" "$vga_pairs" <<'PYTHON'
import os, sys
import cv2, numpy as np
raw, data, vga_pairs = sys.argv[1], sys.argv[2], int(sys.argv[3])
small = vga_pairs < 100
rng = np.random.default_rng(7)
def noisy(image, sigma):
    return np.clip(image + rng.normal(0, sigma, image.shape), 0, 255).astype(np.uint8)
sources = {side: cv2.imread(f"{raw}/{side}01.jpg", cv2.IMREAD_UNCHANGED) for side in ("left", "right")}
calibration = cv2.FileStorage(f"{raw}/stereo.yml", cv2.FILE_STORAGE_READ)
def write_calibration(folder, factor):
    out = cv2.FileStorage(f"{data}/{folder}/stereo.yml", cv2.FILE_STORAGE_WRITE)
    out.write("image_width", int(640 * factor))
    out.write("image_height", int(480 * factor))
    for key in ("K1", "D1", "K2", "D2", "R", "T"):
        value = calibration.getNode(key).mat()
        if key.startswith("K"):
            value = value.copy(); value[:2] *= factor
        out.write(key, value)
    out.release()
# 100 VGA pairs, each with noise of its own.
os.makedirs(f"{data}/vga/l"); os.makedirs(f"{data}/vga/r")
with open(f"{data}/vga/pairs.txt", "w") as pairs:
    for i in range(vga_pairs):
        for side, folder in (("left", "l"), ("right", "r")):
            cv2.imwrite(f"{data}/vga/{folder}/{i:03d}.png", noisy(sources[side], 3))
        pairs.write(f"l/{i:03d}.png\tr/{i:03d}.png\n")
write_calibration("vga", 1.0)
if small:
    sys.exit(0)
# 10,000 pairs for the memory bound: links to those 100 under names of their own.
os.makedirs(f"{data}/many/l"); os.makedirs(f"{data}/many/r")
with open(f"{data}/many/pairs.txt", "w") as pairs:
    for i in range(10000):
        for folder in ("l", "r"):
            os.symlink(f"../../vga/{folder}/{i % 100:03d}.png", f"{data}/many/{folder}/{i:05d}.png")
        pairs.write(f"l/{i:05d}.png\tr/{i:05d}.png\n")
with open(f"{data}/many/pairs100.txt", "w") as pairs:
    for i in range(100):
        pairs.write(f"l/{i:05d}.png\tr/{i:05d}.png\n")
write_calibration("many", 1.0)
# 10 pairs of 12 MP JPEGs with noise; the calibration scaled to them.
os.makedirs(f"{data}/big/l"); os.makedirs(f"{data}/big/r")
with open(f"{data}/big/pairs.txt", "w") as pairs:
    for i in range(10):
        for side, folder in (("left", "l"), ("right", "r")):
            large = cv2.resize(sources[side], (4000, 3000), interpolation=cv2.INTER_CUBIC)
            cv2.imwrite(f"{data}/big/{folder}/{i:02d}.jpg", noisy(large, 6), [cv2.IMWRITE_JPEG_QUALITY, 95])
        pairs.write(f"l/{i:02d}.jpg\tr/{i:02d}.jpg\n")
write_calibration("big", 6.25)
PYTHON
    touch "$data/.complete"
fi

# Every run starts from an empty output folder.
before_run() { rm -rf "$data"/*/out-*; }

declare -A med_s med_mb
echo "Batch throughput; programs in $build; data in $data; $processes processors"
cases="vga:ppm:$repetitions vga:png:$repetitions big:png:$(((repetitions + 1) / 2))"
[ "$small" = 1 ] && cases="vga:ppm:1"
for case in $cases; do
    IFS=: read -r folder format reps <<<"$case"
    compare "$folder pairs, $format outputs" "$data/$folder" "$reps" \
        "stereo-rectify-batch:0:$batch --calibration stereo.yml --pairs pairs.txt --quiet --format $format --output-dir out-batch" \
        "floor:0:$floor pairs.txt out-floor $format" \
        "python-loop:0:$python $peer stereo.yml pairs.txt out-python .$format" \
        "python-pool:0:$python $peer stereo.yml pairs.txt out-pool .$format --processes $processes" --
    limit=1.15
    [ "$folder" = big ] && limit=1.20
    target "$folder/$format: batch / floor" "${med_s[stereo-rectify-batch]}" "${med_s[floor]}" "$limit"
    if [ "$format" = ppm ]; then
        target "$folder/$format: batch / Python loop" "${med_s[stereo-rectify-batch]}" "${med_s[python-loop]}" 0.30
        target "$folder/$format: batch / Python pool" "${med_s[stereo-rectify-batch]}" "${med_s[python-pool]}" 0.60
    else
        awk -v b="${med_s[stereo-rectify-batch]}" -v l="${med_s[python-loop]}" -v p="${med_s[python-pool]}" \
            'BEGIN { printf "batch / Python loop %.2f, batch / Python pool %.2f\n", b / l, b / p }'
    fi
done

if [ "$small" = 1 ]; then
    before_run
    exit 0
fi
compare "peak memory: 100 and 10,000 pairs, scale 0.25, PPM outputs" "$data/many" 1 \
    "pairs-100:0:$batch --calibration stereo.yml --pairs pairs100.txt --quiet --format ppm --scale 0.25 --output-dir out-100" \
    "pairs-10000:0:$batch --calibration stereo.yml --pairs pairs.txt --quiet --format ppm --scale 0.25 --output-dir out-10000" --
target "peak RSS: 10,000 pairs / 100 pairs" "${med_mb[pairs-10000]}" "${med_mb[pairs-100]}" 1.20
before_run
rm -f "$work/time.txt" "$work/run.log"
