from typing import Any, Callable, Literal, Optional, Protocol, Tuple, TypedDict, Union

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
