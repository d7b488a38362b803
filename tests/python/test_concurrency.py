"""The exclusive-use flag: conflicting calls fail at once and the flag is
released on every exit path; threads still inside a call when the
interpreter exits do not bring the process down."""

import subprocess
import sys
import threading

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine

from conftest import update_args

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"


def attempts(engine):
    """Every kind of call on `engine`, each returning the RuntimeError text."""
    calls = {
        "n_parameters": lambda: engine.n_parameters,
        "dtype": lambda: engine.dtype,
        "n_threads": lambda: engine.n_threads,
        "has_dedicated_thread_pool": lambda: engine.has_dedicated_thread_pool,
        "state": engine.state,
        "predict": lambda: engine.predict(np.zeros((1, 2))),
        "restore": lambda: engine.restore(np.zeros(2), np.zeros((2, 2)), 0, 0, 0.0, 0.0),
        "update": lambda: engine.update(**update_args()),
        "evaluate": lambda: engine.evaluate(np.zeros((1, 2)), np.zeros(1), None, np.zeros(2), 2, False, 1.0, 0.0),
    }
    seen = {}
    for name, call in calls.items():
        try:
            call()
            seen[name] = None
        except RuntimeError as error:
            seen[name] = str(error)
    return seen


EXPECTED_DURING_EXCLUSIVE = {
    "n_parameters": MUTABLY_BORROWED, "dtype": MUTABLY_BORROWED, "n_threads": MUTABLY_BORROWED,
    "has_dedicated_thread_pool": MUTABLY_BORROWED, "state": MUTABLY_BORROWED,
    "predict": BORROWED, "restore": BORROWED, "update": BORROWED, "evaluate": BORROWED,
}


@pytest.mark.parametrize(
    "method, outcome",
    [("restore", "succeeds"), ("restore", "fails"), ("update", "succeeds"), ("update", "fails"),
     ("evaluate", "succeeds"), ("evaluate", "fails")],
)
def test_calls_from_inside_an_exclusive_call_are_refused(method, outcome):
    # Argument conversion runs Python code while the call holds the engine,
    # which makes the conflict deterministic on one thread.
    engine = NativeCpuEngine("float64", 2)
    seen = {}

    class Probe:
        def __float__(self):
            seen.update(attempts(engine))
            return 1.0

    if method == "update":
        def call():
            return engine.update(**update_args(tau=Probe(), penalty="none" if outcome == "succeeds" else "?"))
    elif method == "evaluate":
        def call():
            return engine.evaluate(np.ones((3, 2)), np.zeros(3), None, np.zeros(2), 2 if outcome == "succeeds" else 0,
                                   False, Probe(), 0.0)
    else:
        def call():
            return engine.restore(np.zeros(2), np.zeros((2, 2)), 0, 0, Probe(),
                                  1.0 if outcome == "succeeds" else -1.0)
    if outcome == "fails":
        with pytest.raises(ValueError):
            call()
    else:
        call()
    assert seen == EXPECTED_DURING_EXCLUSIVE
    # The flag was released whichever way the call ended.
    assert engine.n_parameters == 2 and engine.restore(np.zeros(2), np.zeros((2, 2)), 0, 0, 0.0, 0.0) is None


def test_a_running_prediction_refuses_other_threads():
    engine = NativeCpuEngine("float64", 64)
    engine.restore(np.ones(64), np.eye(64), 1, 1, 0.0, 1.0)
    design = np.ones((200_000, 64))
    stop = threading.Event()
    results = []

    def predict_in_loop():
        while not stop.is_set():
            results.append(engine.predict(design)[0])

    worker = threading.Thread(target=predict_in_loop)
    worker.start()
    seen = set()
    try:
        for _ in range(20_000):
            for call, name in ((lambda: engine.n_parameters, "read"), (lambda: engine.predict(design[:1]), "predict")):
                try:
                    call()
                except RuntimeError as error:
                    seen.add((name, str(error)))
            if len(seen) == 2:
                break
    finally:
        stop.set()
        worker.join()
    assert seen == {("read", MUTABLY_BORROWED), ("predict", BORROWED)}
    assert results and all(value == 64.0 for value in results)


EXIT_WHILE_RUNNING = """
import sys, threading, time
import numpy as np
from vintrel._native_cpu import NativeCpuEngine
method, pool = sys.argv[1], None if sys.argv[2] == "None" else int(sys.argv[2])
rows = 5_000 if method == "update" else 200_000
x = np.random.default_rng(0).standard_normal((rows, 16))
y = x.sum(axis=1)
engine = NativeCpuEngine("float64", 16, n_threads=pool)
running = threading.Event()
def loop():
    while True:
        running.set()
        if method == "update":
            engine.update(x, y, None, float(rows), 16, False, 1.345, "none", 1.0, 1.0, 50, 1e-12, 0.0)
        elif method == "evaluate":
            engine.evaluate(x, y, None, np.ones(16), 16, False, 1.345, 0.1)
        else:
            engine.predict(x)
threading.Thread(target=loop, daemon=True).start()
running.wait()
time.sleep(0.05)
print("exiting")
"""


@pytest.mark.parametrize("method", ["update", "evaluate", "predict"])
@pytest.mark.parametrize("pool", [None, 2])
def test_interpreter_exit_with_a_daemon_thread_inside_a_call(method, pool):
    # The thread comes back for the interpreter lock while the interpreter
    # shuts down; the process must still exit normally.
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_WHILE_RUNNING, method, str(pool)], capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stdout.strip()) == (0, "exiting"), done.stderr
