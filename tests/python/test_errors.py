"""Every bad input ends in one exception of the right class, with the line
the tools print, before any output is written."""

import numpy as np
import pytest
import stereo_rectify as sr

from conftest import RAW, SOURCE

SAMPLE = SOURCE / "data" / "sample"


@pytest.fixture(scope="module")
def calibration():
    return sr.Calibration.from_file(RAW / "stereo.yml")


@pytest.fixture(scope="module")
def rectifier(calibration):
    return sr.Rectifier(calibration)


def matrices():
    """The raw sample's calibration as plain arrays: D 1 x 5, T 3 x 1."""
    text = (RAW / "stereo.yml").read_text()
    from conftest import read_cameras_file  # the same matrix syntax
    m = read_cameras_file(RAW / "stereo.yml")
    assert "image_width: 640" in text
    return m


def test_calibrations_in_memory_equal_the_file(calibration):
    m = matrices()
    rectifier = sr.Rectifier(calibration)
    left, right = sr.read_image(RAW / "left01.jpg"), sr.read_image(RAW / "right01.jpg")
    expected = rectifier.rectify(left, right)
    for D1, D2, T in [(m["D1"], m["D2"], m["T"]),                       # 1 x 5, 3 x 1
                      (m["D1"].ravel(), m["D2"].T, m["T"].ravel().tolist())]:  # 1-D, 5 x 1, list
        memory = sr.Calibration(m["K1"], D1, m["K2"], D2, m["R"], T, image_size=(640, 480))
        assert memory.image_size == (640, 480)
        outputs = sr.Rectifier(memory).rectify(left, right)
        assert all(np.array_equal(a, b) for a, b in zip(outputs, expected))


def test_bad_calibrations(tmp_path):
    m = matrices()
    with pytest.raises(OSError, match="missing.yml"):
        sr.Calibration.from_file(tmp_path / "missing.yml")
    (tmp_path / "words.yml").write_text("%YAML:1.0\n---\nK1: hello\n")
    with pytest.raises(ValueError, match="words.yml"):
        sr.Calibration.from_file(tmp_path / "words.yml")
    with pytest.raises(OSError, match="K_missing.txt"):
        sr.Calibration.from_file(SAMPLE / "T.txt", left_intrinsics=SAMPLE / "K_missing.txt",
                                 right_intrinsics=SAMPLE / "K_right.txt")
    with pytest.raises(ValueError, match="left_intrinsics"):
        sr.Calibration.from_file(SAMPLE / "T.txt", left_intrinsics=SAMPLE / "K_left.txt")
    text = sr.Calibration.from_file(SAMPLE / "T.txt", left_intrinsics=SAMPLE / "K_left.txt",
                                    right_intrinsics=SAMPLE / "K_right.txt")
    assert text.image_size is None

    good = dict(K1=m["K1"], D1=m["D1"], K2=m["K2"], D2=m["D2"], R=m["R"], T=m["T"])
    bad = [
        (dict(K1=m["K1"][:2]), "K1 is 2 x 3"),
        (dict(K2=m["K2"] * np.nan), "key K2 has a non-finite element"),
        (dict(D1=m["D1"][:, :3]), "key D1 has 3 elements"),
        (dict(D2=np.zeros((2, 5))), "D2 is 2 x 5"),
        (dict(R=np.eye(3) * 2), "key R"),
        (dict(T=[0, 0, 0]), "Invalid calibration"),
        (dict(T=np.zeros((2, 2))), "T is 2 x 2"),
        (dict(K1="abc"), "K1 must be"),
        (dict(R=np.zeros((2, 2, 2))), "R must be"),
    ]
    for change, message in bad:
        with pytest.raises(ValueError, match=message):
            sr.Calibration(**{**good, **change})
    with pytest.raises(ValueError, match="image size"):
        sr.Calibration(**good, image_size=(0, 480))
    with pytest.raises(ValueError, match="image_size"):
        sr.Calibration(**good, image_size="big")
    with pytest.raises(ValueError, match="image size"):
        sr.Rectifier(sr.Calibration(**good))  # no image size anywhere


def test_bad_options(calibration):
    for options, message in [
        (dict(view="wide"), "Invalid view 'wide'"),
        (dict(interpolation="area"), "Invalid interpolation 'area'"),
        (dict(scale=0.0), "scale"),
        (dict(scale=float("nan")), "scale"),
        (dict(scale=1e-6), "scale"),
        (dict(fill=(0, 256)), "fill level 256"),
        (dict(fill="white"), "fill"),
        (dict(image_size=(-1, 4)), "image size"),
    ]:
        with pytest.raises(ValueError, match=message):
            sr.Rectifier(calibration, **options)


def test_bad_images(rectifier):
    good = np.zeros((480, 640), np.uint8)
    for image, message in [
        (good.astype(np.float32), "float32"),
        (good.astype(np.int16), "int16"),
        (good.astype(">u2"), ">u2"),
        (good.astype(bool), "bool"),
        (np.zeros((480, 640, 4), np.uint8), r"\(480, 640, 4\)"),
        (np.zeros((480, 640, 1), np.uint8), r"\(480, 640, 1\)"),
        (np.zeros((2, 480, 640, 3), np.uint8), "shape"),
        (np.zeros((480, 1280), np.uint8)[:, ::2], "not C-contiguous"),
        (np.asfortranarray(np.zeros((480, 640, 3), np.uint8)), "not C-contiguous"),
        (good.tolist(), "list"),
        (np.zeros((0, 640), np.uint8), "empty"),
    ]:
        with pytest.raises(ValueError, match=message):
            rectifier.rectify(good, image)
    with pytest.raises(ValueError, match=r"differ in size \(640 x 480 and 320 x 240\)"):
        rectifier.rectify(good, np.zeros((240, 320), np.uint8))
    with pytest.raises(ValueError, match="320 x 240, not 640 x 480"):
        rectifier.rectify(np.zeros((240, 320), np.uint8), np.zeros((240, 320), np.uint8))
    # Grey and colour, 8 and 16 bits, may be mixed: each output keeps its input's kind.
    left, right = rectifier.rectify(good, np.zeros((480, 640, 3), np.uint16))
    assert (left.dtype, left.shape, right.dtype, right.shape) == (
        np.uint8, (480, 640), np.uint16, (480, 640, 3))
    assert right[0, 0, 0] == 255 * 257  # the right fill of a 16-bit image


def test_bad_files(tmp_path, calibration, rectifier):
    pair = [(RAW / "left01.jpg", RAW / "right01.jpg")]
    (tmp_path / "left02.jpg").write_bytes((RAW / "left01.jpg").read_bytes())
    # A pair that fails is reported after the others are done.
    with pytest.raises(OSError, match=r"1 of 2 pairs failed:\npair 1 \(.*\): cannot read image "
                                      r".*missing.jpg"):
        sr.rectify_files(calibration, [(tmp_path / "left02.jpg", tmp_path / "missing.jpg"),
                                       (RAW / "left01.jpg", RAW / "right01.jpg")],
                         tmp_path / "out", image_size=(640, 480))
    assert (tmp_path / "out/right/right01.png").exists()
    with pytest.raises(OSError, match="missing.jpg cannot be read"):
        sr.rectify_files(sr.Calibration.from_file(SOURCE / "data/sample/T.txt",
                                                  left_intrinsics=SOURCE / "data/sample/K_left.txt",
                                                  right_intrinsics=SOURCE / "data/sample/K_right.txt"),
                         [(tmp_path / "missing.jpg", RAW / "right01.jpg")], tmp_path / "out")
    with pytest.raises(ValueError, match="Invalid format 'gif'"):
        sr.rectify_files(calibration, pair, tmp_path / "out", format="gif")
    with pytest.raises(ValueError, match="No pairs"):
        sr.rectify_files(calibration, [], tmp_path / "out")
    with pytest.raises(ValueError, match="pairs must be"):
        sr.rectify_files(calibration, [("a.png",)], tmp_path / "out")
    with pytest.raises(ValueError, match="own options"):
        sr.rectify_files(rectifier, pair, tmp_path / "out", view="valid")
    with pytest.raises(ValueError, match="Calibration or a Rectifier"):
        sr.rectify_files("stereo.yml", pair, tmp_path / "out")
    with pytest.raises(OSError, match="no-list.txt"):
        sr.rectify_files(calibration, tmp_path / "no-list.txt", tmp_path / "out")
    # An output that would replace an input: refused before any work.
    (tmp_path / "in" / "left").mkdir(parents=True)
    (tmp_path / "in" / "left" / "a.png").write_bytes((RAW / "left01.jpg").read_bytes())
    with pytest.raises(ValueError, match="a.png"):
        sr.rectify_files(calibration, [(tmp_path / "in/left/a.png", RAW / "right01.jpg")],
                         tmp_path / "in")
    (tmp_path / "blocked").write_text("a file where the output folder goes")
    with pytest.raises(OSError, match="Cannot create folder"):
        sr.rectify_files(calibration, pair, tmp_path / "blocked")
    with pytest.raises(OSError, match="Cannot open file"):
        sr.read_image(tmp_path / "missing.png")
