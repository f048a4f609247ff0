import os
from typing import Any, Callable, Dict, List, Literal, Optional, Protocol, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

class _Bar(Protocol):
    def update(self, n: int) -> Any: ...

Progress = Union[Callable[[int, int], Any], _Bar]

class NmfInfo(TypedDict):
    iterations: int
    divergence: float
    seed: int
    cost: str

def nmf(
    V: npt.ArrayLike,
    k: int,
    *,
    cost: Literal["kl", "euclidean"] = "kl",
    iterations: int = 200,
    tol: float = 1e-4,
    start: Literal["nndsvda", "random"] = "nndsvda",
    seed: Optional[int] = None,
    W: Optional[npt.ArrayLike] = None,
    H: Optional[npt.ArrayLike] = None,
    fixed_bases: int = 0,
    progress: Optional[Progress] = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], NmfInfo]: ...

_Path = Union[str, "os.PathLike[str]"]

class Decomposition:
    info: Dict[str, Any]
    @property
    def k(self) -> int: ...
    @property
    def W(self) -> npt.NDArray[np.float64]: ...
    @property
    def H(self) -> npt.NDArray[np.float64]: ...
    @property
    def bases(self) -> npt.NDArray[np.float64]: ...
    @property
    def activations(self) -> npt.NDArray[np.float64]: ...
    @property
    def centroid_hz(self) -> npt.NDArray[np.float64]: ...
    @property
    def peak_hz(self) -> npt.NDArray[np.float64]: ...
    @property
    def energy_share(self) -> npt.NDArray[np.float64]: ...
    def component(self, i: int) -> npt.NDArray[np.float64]: ...
    def group(self, indices: Sequence[int]) -> npt.NDArray[np.float64]: ...
    def components(self) -> List[npt.NDArray[np.float64]]: ...
    def save(
        self,
        dir: _Path,
        format: Literal["same", "pcm16", "pcm24", "float", "flac"] = "same",
        *,
        only: Optional[Sequence[int]] = None,
        groups: Optional[Sequence[Sequence[int]]] = None,
        plot: bool = False,
        page: bool = False,
    ) -> List[str]: ...

class Record:
    dir: str
    json: Dict[str, Any]
    info: Dict[str, Any]
    W: npt.NDArray[np.float64]
    H: npt.NDArray[np.float64]
    members: List[List[int]]
    bases: npt.NDArray[np.float64]
    activations: npt.NDArray[np.float64]
    centroid_hz: npt.NDArray[np.float64]
    peak_hz: npt.NDArray[np.float64]
    energy_share: npt.NDArray[np.float64]
    @property
    def k(self) -> int: ...
    def remix(
        self,
        groups: Sequence[Sequence[int]],
        *,
        out: Optional[_Path] = None,
        input: Optional[_Path] = None,
        format: Literal["same", "pcm16", "pcm24", "float", "flac"] = "same",
    ) -> None: ...

def decompose(
    sound: Union[_Path, npt.ArrayLike],
    k: int = 4,
    *,
    rate: Optional[int] = None,
    win: float = 0.08,
    hop: float = 0.25,
    channels: Literal["stack", "sum"] = "stack",
    cost: Optional[Literal["kl", "euclidean", "is"]] = None,
    iterations: int = 200,
    tol: float = 1e-4,
    start: Literal["nndsvda", "random"] = "nndsvda",
    seed: Optional[int] = None,
    order: Literal["centroid", "peak", "energy", "onset"] = "centroid",
    bases: Optional[Union[_Path, Sequence[_Path]]] = None,
    fix_bases: bool = False,
    extra: int = 0,
    beta: Optional[float] = None,
    sparse_w: Optional[float] = None,
    sparse_h: Optional[float] = None,
    l2_w: Optional[float] = None,
    l2_h: Optional[float] = None,
    continuity: Optional[float] = None,
    span: Optional[int] = None,
    pool: Optional[int] = None,
    plain: bool = False,
    progress: Optional[Progress] = None,
) -> Decomposition: ...
def load(dir: _Path) -> Record: ...
def remix(
    dir: _Path,
    groups: Sequence[Sequence[int]],
    *,
    out: Optional[_Path] = None,
    input: Optional[_Path] = None,
    format: Literal["same", "pcm16", "pcm24", "float", "flac"] = "same",
) -> None: ...
