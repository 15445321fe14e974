#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then uses that tree as a
# user would, with no environment settings: builds the C++ example against the
# CMake package and against the pkg-config file and runs both, imports the
# installed Python module with the one PYTHONPATH line the README shows, and
# runs the installed batch tool on a BMP pair (read through the installed
# codec plugin), whose outputs the module's must equal.
# Arguments: the build folder, the source folder.
set -euo pipefail
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

# The C++ example as it stands in examples/cpp, built against the package.
cmake -S "$source/examples/cpp" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
cd "$source/data/raw"
"$scratch/consumer/rectify_example" | tee "$scratch/cmake.out"
grep -q "^rectified 640 x 480$" "$scratch/cmake.out"

# The same through pkg-config.
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --exists stereo-rectify
g++ -std=c++17 -o "$scratch/by_pkg_config" "$source/examples/cpp/main.cpp" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs stereo-rectify)
"$scratch/by_pkg_config" > "$scratch/pkg.out"
cmp "$scratch/cmake.out" "$scratch/pkg.out"

"$prefix/bin/stereo-rectify-batch" --version
python3_=/usr/bin/python3
if [ -x "$python3_" ] && [ -d "$prefix"/lib/python3.*/dist-packages/stereo_rectify ]; then
    site=$(echo "$prefix"/lib/python3.*/dist-packages)
    PYTHONPATH=$site "$python3_" - "$scratch" <<'PY'
import sys, numpy as np, stereo_rectify as sr
scratch = sys.argv[1]
image = (np.arange(640 * 480 * 3) % 251).astype(np.uint8).reshape(480, 640, 3)
header = b"BM"  # an uncompressed 24-bit BMP, which only the codec plugin reads
rows = image[::-1].tobytes()
size = 54 + len(rows)
bmp = (header + size.to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little") +
       (40).to_bytes(4, "little") + (640).to_bytes(4, "little") + (480).to_bytes(4, "little") +
       (1).to_bytes(2, "little") + (24).to_bytes(2, "little") + bytes(24) + rows)
for side in ("left", "right"):
    open(f"{scratch}/{side}.bmp", "wb").write(bmp)
assert (sr.read_image(f"{scratch}/left.bmp") == image).all()
calibration = sr.Calibration.from_file("stereo.yml")
sr.rectify_files(calibration, [(f"{scratch}/left.bmp", f"{scratch}/right.bmp")], f"{scratch}/py")
assert sr.__file__.startswith(scratch), sr.__file__
print("python module:", sr.__file__)
PY
    "$prefix/bin/stereo-rectify-batch" --quiet --calibration stereo.yml \
        --output-dir "$scratch/batch" "$scratch/left.bmp" "$scratch/right.bmp"
    cmp "$scratch/batch/left/left.png" "$scratch/py/left/left.png"
fi
echo "installed tree works"
