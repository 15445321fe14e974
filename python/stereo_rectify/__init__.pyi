import os
from typing import Any, Iterable, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, os.PathLike[str]]
_Image = npt.NDArray[Union[np.uint8, np.uint16]]
_Size = Tuple[int, int]

__version__: str

class Calibration:
    def __init__(
        self,
        K1: npt.ArrayLike,
        D1: Optional[npt.ArrayLike],
        K2: npt.ArrayLike,
        D2: Optional[npt.ArrayLike],
        R: npt.ArrayLike,
        T: npt.ArrayLike,
        *,
        image_size: Optional[_Size] = None,
        fisheye: bool = False,
    ) -> None: ...
    @staticmethod
    def from_file(
        path: _Path,
        *more_paths: _Path,
        left_intrinsics: Optional[_Path] = None,
        right_intrinsics: Optional[_Path] = None,
    ) -> Calibration: ...
    @property
    def image_size(self) -> Optional[_Size]: ...

class Rectifier:
    def __init__(
        self,
        calibration: Calibration,
        view: str = "full",
        interpolation: str = "linear",
        scale: float = 1.0,
        fill: Tuple[int, int] = (100, 255),
        image_size: Optional[_Size] = None,
    ) -> None: ...
    def rectify(self, left: _Image, right: _Image, *, threads: int = 0) -> Tuple[_Image, _Image]: ...
    @property
    def image_size(self) -> _Size: ...
    @property
    def output_size(self) -> _Size: ...
    @property
    def cameras(self) -> dict[str, Any]: ...
    def masks(self) -> Tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint8]]: ...

def rectify_files(
    calibration: Union[Calibration, Rectifier],
    pairs: Union[_Path, Iterable[Sequence[_Path]]],
    output_dir: _Path,
    *,
    view: Optional[str] = None,
    interpolation: Optional[str] = None,
    scale: Optional[float] = None,
    fill: Optional[Tuple[int, int]] = None,
    image_size: Optional[_Size] = None,
    format: str = "png",
    jpeg_quality: int = 95,
    masks: bool = False,
    jobs: int = 0,
    cameras: Optional[_Path] = None,
) -> list[dict[str, str]]: ...

def read_pair_list(path: _Path) -> list[Tuple[str, str]]: ...

def read_image(path: _Path) -> _Image: ...
