"""NumPy's BLAS kept on the calling thread while a stream works.

After a multi-threaded product, NumPy's OpenBLAS keeps its worker threads
spinning for a while, waiting for the next one. When the engine's pool
takes the cores right after, those threads steal its time: on two cores
the three engine updates after the robust start's products ran half as
slow again. The products a stream takes between engine calls are small or
bound by memory bandwidth, so one thread costs them little.

BLAS thread counts are process-wide. threadpoolctl lets only one Python
thread at a time change them (the first to do so, while it lives) and
ignores the others, so streams working in several threads at once never
leave the count changed: the limit is set and restored by the same thread,
or not at all.
"""

import functools
from contextlib import AbstractContextManager
from typing import Any

import numpy as np
from threadpoolctl import ThreadpoolController


@functools.cache
def _blas() -> ThreadpoolController:
    # NumPy may load its BLAS only at its first product: take one, so that
    # the controller finds the library.
    np.ones((2, 2)) @ np.ones((2, 2))
    return ThreadpoolController().select(user_api="blas")


def numpy_blas_on_one_thread() -> AbstractContextManager[Any]:
    """A context in which NumPy's BLAS runs on one thread."""
    limiter: AbstractContextManager[Any] = _blas().limit(limits=1)
    return limiter
