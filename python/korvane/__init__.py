"""korvane for numpy users.

Decompose a sound into K spectral components by non-negative matrix
factorisation of its magnitude spectrogram, with the same engine, options
and defaults as the ``korvane`` command line.

    >>> import numpy as np, korvane
    >>> V = np.random.default_rng(0).random((257, 400))
    >>> W, H, info = korvane.nmf(V, 8, seed=1)
"""

# numpy first: its BLAS and the module's share the soname libopenblas.so.0,
# and numpy's (threaded) build needs symbols the serial one lacks; whichever
# loads first serves both.
import numpy as _numpy  # noqa: F401

from . import _korvane
from ._decompose import Decomposition, Record, decompose, load, remix
from ._nmf import nmf

__version__: str = _korvane.__version__

__all__ = ["Decomposition", "Record", "decompose", "load", "nmf", "remix", "__version__"]
