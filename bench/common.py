"""Timing helpers shared by the benchmarks: ns per call, best of several runs."""

import gc
import timeit


def ns_per_call(fn, number=20_000, repeat=5):
    """Best-of-`repeat` wall time of one call of `fn`, in nanoseconds."""
    gc.collect()
    timer = timeit.Timer(fn)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def report(rows, title):
    """Prints rows of (operation, C++ ns, reference ns, reference name) with the ratio."""
    print("\n" + title)
    print("  {:<52} {:>10} {:>10}  {:>6}".format("operation", "C++ ns", "ref ns", "ratio"))
    for name, ours, ref, ref_name in rows:
        print("  {:<52} {:>10.0f} {:>10.0f}  {:>5.2f}x  ({})".format(name, ours, ref, ours / ref, ref_name))
