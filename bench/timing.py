"""Timing helpers shared by the benchmark scripts."""

import statistics
import time


def best_time(function, repeats=5, warmup=1):
    """Smallest wall time of `repeats` calls after `warmup` untimed calls."""
    for _ in range(warmup):
        function()
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return min(times)


def median_time(function, repeats=5, warmup=1):
    for _ in range(warmup):
        function()
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


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
