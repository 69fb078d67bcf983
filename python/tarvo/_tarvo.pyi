"""The compiled core of tarvo (nanobind). Use the functions of the tarvo package."""

from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

class Volume:
    """An image on a tarvo backend: normalised voxels, grid, centroid."""

    @property
    def shape(self) -> Tuple[int, int, int]: ...
    @property
    def zooms(self) -> Tuple[float, float, float]: ...
    @property
    def affine(self) -> npt.NDArray[np.float64]:
        """Voxel index -> RAS mm as tarvo reads the header (sform, else qform, else the zooms)."""
    @property
    def oriented(self) -> bool: ...
    @property
    def datatype(self) -> int:
        """The NIfTI datatype code of the values it was made from."""
    @property
    def slope_inter(self) -> Tuple[float, float]:
        """The scaling of the stored values (slope 0: none)."""
    @property
    def device(self) -> str: ...

def device_kind(name: str, threads: int = 0) -> str: ...
def device_description(name: str, threads: int = 0) -> str: ...
def load(path: str, device: str, threads: int = 0) -> Volume:
    """Reads an image file as `tarvo register` does; OSError with its message when it cannot."""
def from_array(
    array: npt.ArrayLike,
    slope: float,
    inter: float,
    zooms: Tuple[float, float, float],
    orientation: Optional[npt.NDArray[np.float64]],
    device: str,
    threads: int = 0,
) -> Tuple[Volume, int]:
    """A 3D array of stored values (any strides) as an image: (volume, count of non-finite values)."""
def register(
    moving: Volume,
    fixed: Volume,
    dof: int,
    init: str,
    init_matrix: Optional[npt.NDArray[np.float64]],
    fixed_mask: Optional[Volume],
    moving_mask: Optional[Volume],
    search: str = "wide",
    refine: bool = True,
    verbose: bool = False,
) -> Tuple[npt.NDArray[np.float64], float]:
    """Runs the registration pipeline with the GIL released: (world matrix as written, cost)."""
def resample(moving: Volume, fixed: Volume, matrix: npt.NDArray[np.float64], nearest: bool) -> Volume: ...
def cost(moving: Volume, fixed: Volume, matrix: Optional[npt.NDArray[np.float64]]) -> float: ...
def physical(volume: Volume) -> npt.NDArray[np.float32]: ...
def write_qc(fixed: Volume, registered: Volume, path: str) -> None:
    """The PNG picture of register --qc: the registered image, FIXED's edges over it."""
def read_matrix(path: str) -> npt.NDArray[np.float64]: ...
def write_matrix(path: str, matrix: npt.NDArray[np.float64]) -> None: ...
def write_itk(path: str, matrix: npt.NDArray[np.float64]) -> None: ...
def as_written(matrix: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
def format_matrix(matrix: npt.NDArray[np.float64]) -> str: ...
