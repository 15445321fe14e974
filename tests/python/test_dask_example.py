"""The Dask example on a local cluster of two worker processes: 20 pairs in
chunks, outputs equal to the batch tool's."""

import os
import subprocess
import sys

import numpy as np
import stereo_rectify as sr

from conftest import RAW, SOURCE, run_batch, write_pnm


def test_dask_example_equals_the_batch_tool(tmp_path):
    images = tmp_path / "images"
    images.mkdir()
    left, right = sr.read_image(RAW / "left01.jpg"), sr.read_image(RAW / "right01.jpg")
    with open(tmp_path / "pairs.txt", "w") as pairs:
        for index in range(20):
            # Different pixels per pair, so that a pair written from another's
            # images would show.
            for side, image in (("left", left), ("right", right)):
                write_pnm(images / f"{side}{index:02}.pgm", np.roll(image, 7 * index, axis=1))
            pairs.write(f"images/left{index:02}.pgm images/right{index:02}.pgm\n")
    run_batch("--calibration", RAW / "stereo.yml", "--pairs", tmp_path / "pairs.txt",
              "--output-dir", tmp_path / "batch", cwd=tmp_path)
    result = subprocess.run(
        [sys.executable, SOURCE / "examples" / "dask_rectify.py", "--calibration",
         RAW / "stereo.yml", "--pairs", tmp_path / "pairs.txt", "--output-dir",
         tmp_path / "dask", "--workers", "2", "--chunk", "3"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, env=os.environ)
    assert result.returncode == 0, result.stderr
    assert "20 of 20 pairs rectified" in result.stdout
    for side in ("left", "right"):
        names = sorted(os.listdir(tmp_path / "batch" / side))
        assert len(names) == 20 and names == sorted(os.listdir(tmp_path / "dask" / side))
        for name in names:
            assert ((tmp_path / "batch" / side / name).read_bytes() ==
                    (tmp_path / "dask" / side / name).read_bytes()), name
