"""What the Python tests share: the batch tool to compare with, the raw
sample, and small readers and writers of the files they compare."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

SOURCE = Path(os.environ.get("STEREO_RECTIFY_SOURCE", Path(__file__).resolve().parents[2]))
RAW = SOURCE / "data" / "raw"
BATCH = os.environ.get("STEREO_RECTIFY_BATCH", "")


def run_batch(*arguments, cwd=RAW):
    """Runs stereo-rectify-batch, which must succeed."""
    if not BATCH:
        pytest.fail("STEREO_RECTIFY_BATCH names no batch tool")
    subprocess.run([BATCH, "--quiet", *map(str, arguments)], cwd=cwd, check=True)


def write_pnm(path, image):
    """A raw PGM or PPM of a uint8 or uint16 array (BGR for colour, as the
    library reads it)."""
    maxval = 255 if image.dtype == np.uint8 else 65535
    magic = b"P5" if image.ndim == 2 else b"P6"
    pixels = image if image.ndim == 2 else image[:, :, ::-1]
    with open(path, "wb") as out:
        out.write(b"%s\n%d %d\n%d\n" % (magic, image.shape[1], image.shape[0], maxval))
        out.write(np.ascontiguousarray(pixels).astype(">u2" if maxval > 255 else np.uint8).tobytes())


def read_cameras_file(path):
    """The matrices of a cameras file that cv::FileStorage wrote."""
    text = Path(path).read_text()
    matrices = {}
    pattern = r"(\w+): !!opencv-matrix\s+rows: (\d+)\s+cols: (\d+)\s+dt: (\w)\s+data: \[([^\]]*)\]"
    for name, rows, cols, dt, data in re.findall(pattern, text):
        values = [float(v) for v in data.replace("\n", " ").split(",")]
        dtype = np.float32 if dt == "f" else np.float64
        matrices[name] = np.array(values, dtype=dtype).reshape(int(rows), int(cols))
    return matrices


@pytest.fixture
def raw_copy(tmp_path):
    """The raw sample in a scratch folder, where outputs may be written."""
    folder = tmp_path / "raw"
    shutil.copytree(RAW, folder)
    return folder
