"""Memoisation for framework and extension code."""

import functools as _functools


def lru_cache(maxsize=128, typed=False):
    """Return a decorator that memoises a function, keeping ``maxsize`` results.

    When full, the least recently used result is dropped. The decorated function
    keeps ``cache_info()`` and ``cache_clear()``. Use it as ``lru_cache(1024)(fn)``
    or ``@lru_cache(1024)``; ``maxsize=None`` keeps every result.
    """
    if callable(maxsize) or isinstance(maxsize, bool):
        raise TypeError(f"lru_cache expects a size, e.g. lru_cache(1024)(fn), got {maxsize!r}")
    if maxsize is not None and (not isinstance(maxsize, int) or maxsize < 0):
        raise ValueError(f"lru_cache size must be a non-negative int or None, got {maxsize!r}")
    return _functools.lru_cache(maxsize=maxsize, typed=typed)
