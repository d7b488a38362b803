"""Timing helpers shared by the benchmark scripts."""

import time


def interleaved_best(functions, repeats=7, warmup=1):
    """Best time of each function, alternating them so that machine noise
    hits all of them alike. Returns a list in the order given."""
    for function in functions:
        for _ in range(warmup):
            function()
    best = [float("inf")] * len(functions)
    for _ in range(repeats):
        for index, function in enumerate(functions):
            started = time.perf_counter()
            function()
            best[index] = min(best[index], time.perf_counter() - started)
    return best
