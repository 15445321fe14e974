"""The module gives what stereo-rectify-batch gives, byte for byte, from any
thread."""

import threading
import time

import numpy as np
import pytest
import stereo_rectify as sr

from conftest import RAW, read_cameras_file, run_batch, write_pnm

OPTION_SETS = [
    ({}, []),
    ({"view": "valid", "interpolation": "cubic", "scale": 0.75, "fill": (7, 9)},
     ["--view", "valid", "--interpolation", "cubic", "--scale", "0.75", "--fill", "7,9"]),
    ({"view": "nominal", "interpolation": "nearest", "scale": 1.5},
     ["--view", "nominal", "--interpolation", "nearest", "--scale", "1.5"]),
]


@pytest.mark.parametrize("options,arguments", OPTION_SETS)
def test_equal_to_the_batch_tool(tmp_path, options, arguments):
    batch, module = tmp_path / "batch", tmp_path / "module"
    run_batch("--calibration", "stereo.yml", "--output-dir", batch, "--mask",
              "--cameras", batch / "cameras.yml", "--format", "ppm", *arguments,
              "left01.jpg", "right01.jpg")
    calibration = sr.Calibration.from_file(RAW / "stereo.yml")
    results = sr.rectify_files(calibration, [(RAW / "left01.jpg", RAW / "right01.jpg")], module,
                               masks=True, cameras=module / "cameras.yml", format="ppm", **options)
    assert results[0]["left_output"] == str(module / "left" / "left01.pgm")
    for name in ["left/left01.pgm", "right/right01.pgm", "left_mask/left01.png",
                 "right_mask/right01.png", "cameras.yml"]:
        assert (batch / name).read_bytes() == (module / name).read_bytes(), name

    # In memory: the same pixels, masks and cameras.
    rectifier = sr.Rectifier(calibration, **options)
    left, right = rectifier.rectify(sr.read_image(RAW / "left01.jpg"),
                                    sr.read_image(RAW / "right01.jpg"))
    assert np.array_equal(left, sr.read_image(batch / "left/left01.pgm"))
    assert np.array_equal(right, sr.read_image(batch / "right/right01.pgm"))
    masks = rectifier.masks()
    assert np.array_equal(masks[0], sr.read_image(batch / "left_mask/left01.png"))
    assert np.array_equal(masks[1], sr.read_image(batch / "right_mask/right01.png"))
    written = read_cameras_file(batch / "cameras.yml")
    cameras = rectifier.cameras
    assert sorted(written) == sorted(["H1", "H2", "P1", "P2", "R1", "R2", "Q"])
    for name, matrix in written.items():
        assert cameras[name].dtype == matrix.dtype, name
        assert np.array_equal(cameras[name], matrix), name
    assert cameras["image_size"] == rectifier.output_size


def test_sixteen_bit_colour_equal_to_the_batch_tool(tmp_path):
    grey = sr.read_image(RAW / "left01.jpg").astype(np.uint16) * 257
    left = np.ascontiguousarray(np.stack([grey, 65535 - grey, grey // 3], axis=2))
    right = np.ascontiguousarray(left[:, ::-1])
    write_pnm(tmp_path / "left.ppm", left)
    write_pnm(tmp_path / "right.ppm", right)
    assert np.array_equal(sr.read_image(tmp_path / "left.ppm"), left)
    run_batch("--calibration", RAW / "stereo.yml", "--output-dir", tmp_path / "batch",
              "--interpolation", "lanczos", tmp_path / "left.ppm", tmp_path / "right.ppm")
    rectifier = sr.Rectifier(sr.Calibration.from_file(RAW / "stereo.yml"), interpolation="lanczos")
    outputs = rectifier.rectify(left, right)
    for output, name in zip(outputs, ["left/left.png", "right/right.png"]):
        assert output.dtype == np.uint16 and output.shape == (480, 640, 3)
        assert np.array_equal(output, sr.read_image(tmp_path / "batch" / name))


def test_threads_share_one_rectifier():
    rectifier = sr.Rectifier(sr.Calibration.from_file(RAW / "stereo.yml"), interpolation="cubic")
    base_left = sr.read_image(RAW / "left01.jpg")
    base_right = sr.read_image(RAW / "right01.jpg")
    pairs = [(np.ascontiguousarray(np.roll(base_left, k, axis=1)),
              np.ascontiguousarray(np.roll(base_right, -k, axis=0))) for k in range(8)]
    expected = [rectifier.rectify(left, right, threads=1) for left, right in pairs]

    results = {}

    def work(worker):
        for round_ in range(3):
            for index, (left, right) in enumerate(pairs):
                results[(worker, round_, index)] = rectifier.rectify(left, right)

    threads = [threading.Thread(target=work, args=(worker,)) for worker in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4 * 3 * len(pairs)
    for (worker, round_, index), (left, right) in results.items():
        assert np.array_equal(left, expected[index][0]), (worker, round_, index)
        assert np.array_equal(right, expected[index][1]), (worker, round_, index)


def test_other_python_threads_run_during_a_call():
    rectifier = sr.Rectifier(sr.Calibration.from_file(RAW / "stereo.yml"),
                             interpolation="lanczos", scale=3.0)
    left = sr.read_image(RAW / "left01.jpg")
    right = sr.read_image(RAW / "right01.jpg")
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    started = time.monotonic()
    rectifier.rectify(left, right, threads=1)
    ended = time.monotonic()
    stop.set()
    ticker.join()
    # Holding the interpreter lock would stop the other thread for the whole call.
    margin = 0.2 * (ended - started)
    assert [t for t in stamps if started + margin < t < ended - margin], ended - started
