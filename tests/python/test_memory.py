"""Ten thousand calls on small images leave the resident memory where it was
(a leaked image or array per call would grow it past the bound)."""

import numpy as np
import stereo_rectify as sr

from conftest import read_cameras_file, RAW


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


def test_ten_thousand_calls_keep_memory_flat():
    m = read_cameras_file(RAW / "stereo.yml")
    K1, K2 = m["K1"] / 8, m["K2"] / 8  # the raw rig at 80 x 60
    K1[2, 2] = K2[2, 2] = 1
    calibration = sr.Calibration(K1, m["D1"], K2, m["D2"], m["R"], m["T"], image_size=(80, 60))
    rectifier = sr.Rectifier(calibration)
    rng = np.random.default_rng(1)
    left = rng.integers(0, 255, (60, 80, 3), dtype=np.uint8)
    right = rng.integers(0, 65535, (60, 80), dtype=np.uint16)

    def calls(count):
        for _ in range(count):
            outputs = rectifier.rectify(left, right, threads=1)
            masks = rectifier.masks()
            cameras = rectifier.cameras
        return outputs, masks, cameras

    calls(200)
    before = resident_bytes()
    outputs, _, _ = calls(10_000)
    grown = resident_bytes() - before
    assert outputs[0].shape == (60, 80, 3) and outputs[1].dtype == np.uint16
    assert grown < 20 * 1024 * 1024, f"{grown / 2**20:.1f} MB more after 10,000 calls"
