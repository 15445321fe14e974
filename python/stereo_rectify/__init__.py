"""Rectification of calibrated stereo pairs, the library of stereo-rectify-batch.

    import stereo_rectify
    calibration = stereo_rectify.Calibration.from_file("stereo.yml")
    rectifier = stereo_rectify.Rectifier(calibration, view="valid")
    left_out, right_out = rectifier.rectify(left, right)

Errors: ValueError for a bad calibration, option or image, OSError for a file
that cannot be read or written, each with the line the command-line tools print.
"""

from ._stereo_rectify import (
    Calibration,
    Rectifier,
    __version__,
    read_image,
    read_pair_list,
    rectify_files,
)

__all__ = ["Calibration", "Rectifier", "read_image", "read_pair_list", "rectify_files", "__version__"]
