"""The `vintrel` command as a separate process: exit statuses, the error
line on standard error, Ctrl-C, a closed output and what the command
loads."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from vintrel import IncrementalHuberRegressor
from vintrel.cli import main

from cli_data import frame, write

# Runs the command with every update slowed down and announced, so that
# the test can interrupt it in the middle of the stream.
SLOWED = textwrap.dedent("""
    import sys, time
    from vintrel import IncrementalHuberRegressor
    fold = IncrementalHuberRegressor.partial_fit
    def announced(self, *args, **kwargs):
        result = fold(self, *args, **kwargs)
        print("folded", file=sys.stderr, flush=True)
        time.sleep(0.05)
        return result
    IncrementalHuberRegressor.partial_fit = announced
    from vintrel.cli import main
    sys.exit(main(sys.argv[1:]))
""")

# Runs the command and, after its first update, waits until its standard
# input closes: a fit paused in the middle of its stream.
PAUSED = textwrap.dedent("""
    import sys
    from vintrel import IncrementalHuberRegressor
    fold = IncrementalHuberRegressor.partial_fit
    def paused(self, *args, **kwargs):
        result = fold(self, *args, **kwargs)
        print("folded", file=sys.stderr, flush=True)
        sys.stdin.read()
        return result
    IncrementalHuberRegressor.partial_fit = paused
    from vintrel.cli import main
    sys.exit(main(sys.argv[1:]))
""")

# Runs the command with each batch of a pass announced and slowed down, so
# that the test can interrupt a pass in the middle.
EVALUATED = textwrap.dedent("""
    import sys, time
    from vintrel.cli import fit_passes, main
    evaluate = fit_passes.evaluate_batch
    def announced(*args):
        evaluate(*args)
        print("evaluated", file=sys.stderr, flush=True)
        time.sleep(0.02)
    fit_passes.evaluate_batch = announced
    sys.exit(main(sys.argv[1:]))
""")


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    return write(frame(6000, seed=3), tmp_path_factory.mktemp("data") / "data.parquet")


def vintrel(*argv):
    return subprocess.run([sys.executable, "-m", "vintrel.cli", *map(str, argv)], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("argv, status, stderr", [
    (["--target", "y"], 0, ""),
    (["--target", "price"], 1, "vintrel fit: {data}: no column 'price'"),
    (["--target", "y", "--batch-rows", "0"], 2, "vintrel: argument --batch-rows: expected a positive integer"),
], ids=["fitted", "bad-input", "bad-usage"])
def test_exit_status_and_one_line_on_standard_error(data, tmp_path, argv, status, stderr):
    finished = vintrel("fit", data, *argv, "--model", tmp_path / "m.npz", "--quiet")
    assert finished.returncode == status
    if stderr:
        assert finished.stderr.startswith(stderr.format(data=data)) and finished.stderr.count("\n") == 1
    else:
        assert finished.stderr == "" and "(intercept)" in finished.stdout


def test_ctrl_c_saves_the_last_completed_batch_and_resuming_finishes_the_fit(data, tmp_path, capsys):
    options = ["--target", "y", "--batch-rows", "200", "--quiet"]
    child = subprocess.Popen([sys.executable, "-c", SLOWED, "fit", str(data), *options, "--model",
                              str(tmp_path / "part.npz")], stderr=subprocess.PIPE, text=True)
    assert child.stderr is not None
    for _ in range(3):
        assert child.stderr.readline() == "folded\n"
    child.send_signal(signal.SIGINT)
    rest = child.stderr.read()
    assert child.wait(timeout=60) == 130
    assert rest.strip().splitlines()[-1].startswith("vintrel fit: interrupted: the model as of batch")
    interrupted = IncrementalHuberRegressor.load(tmp_path / "part.npz")
    assert 3 <= interrupted.n_batches_ < 30

    assert main(["fit", str(data), "--resume", str(tmp_path / "part.npz"), "--model",
                 str(tmp_path / "part.npz"), "--quiet"]) == 0
    assert main(["fit", str(data), *options, "--model", str(tmp_path / "whole.npz")]) == 0
    capsys.readouterr()
    resumed, whole = (IncrementalHuberRegressor.load(tmp_path / n) for n in ("part.npz", "whole.npz"))
    np.testing.assert_array_equal(resumed.coef_, whole.coef_)


def test_a_model_being_written_is_locked_against_other_fits_until_its_writer_ends(data, tmp_path, capsys):
    model = tmp_path / "m.npz"
    assert main(["fit", str(data), "--target", "y", "--model", str(model), "--quiet"]) == 0
    before = model.read_bytes()
    writer = subprocess.Popen([sys.executable, "-c", PAUSED, "fit", str(data), "--target", "y", "--batch-rows", "200",
                               "--model", str(model), "--quiet"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    try:
        assert writer.stderr is not None and writer.stderr.readline() == "folded\n"
        for option, argv in [("--model", ["--resume", model, "--model", model]),
                             ("--resume", ["--resume", model, "--model", tmp_path / "other.npz"])]:
            refused = vintrel("fit", data, *argv, "--quiet")
            assert refused.returncode == 1 and refused.stderr.count("\n") == 1
            assert refused.stderr.startswith(f"vintrel fit: {option} {model}: is being written by another vintrel "
                                             f"process (pid {writer.pid})")
    finally:
        writer.kill()  # a crash: the system releases the lock
        writer.wait(timeout=60)
    assert model.read_bytes() == before and not (tmp_path / "other.npz").exists()
    assert main(["fit", str(data), "--resume", str(model), "--model", str(model), "--quiet"]) == 0


def test_ctrl_c_in_a_later_pass_saves_it_and_resuming_ends_where_an_uninterrupted_fit_does(data, tmp_path, capsys):
    options = ["--target", "y", "--batch-rows", "200", "--quiet"]
    child = subprocess.Popen([sys.executable, "-c", EVALUATED, "fit", str(data), *options, "--model",
                              str(tmp_path / "part.npz")], stderr=subprocess.PIPE, text=True)
    assert child.stderr is not None
    for _ in range(30 + 10):  # all of pass 2, then a third of pass 3
        assert child.stderr.readline() == "evaluated\n"
    child.send_signal(signal.SIGINT)
    rest = child.stderr.read()
    assert child.wait(timeout=60) == 130
    assert rest.strip().splitlines()[-1].startswith("vintrel fit: interrupted in pass 3 after ")
    assert main(["show", str(tmp_path / "part.npz")]) == 0
    assert "pass 3 stopped after " in capsys.readouterr().out

    assert main(["fit", str(data), "--resume", str(tmp_path / "part.npz"), "--model",
                 str(tmp_path / "part.npz"), "--quiet"]) == 0
    assert main(["fit", str(data), *options, "--model", str(tmp_path / "whole.npz")]) == 0
    capsys.readouterr()
    resumed, whole = (IncrementalHuberRegressor.load(tmp_path / n) for n in ("part.npz", "whole.npz"))
    assert whole.n_passes_ > 3
    np.testing.assert_array_equal(resumed.coef_, whole.coef_)
    assert (resumed.intercept_, resumed.scale_) == (whole.intercept_, whole.scale_)


def _catches_sigint(pid):
    """Whether process `pid` has a handler for SIGINT: Python installs its
    own early in its start, before any module of the program runs."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) >> (signal.SIGINT - 1) & 1)
    return False


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to see when Python has started")
@pytest.mark.parametrize("delay", [0.1, 0.5, 1.0, 1.5])
def test_ctrl_c_at_any_moment_of_start_up_is_one_line_and_status_130(data, tmp_path, delay):
    # Signalled while it imports, plans or starts the stream.
    child = subprocess.Popen([sys.executable, "-m", "vintrel.cli", "fit", str(data), "--target", "y", "--categorical",
                              "region", "--batch-rows", "20", "--model", str(tmp_path / "m.npz"), "--quiet"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while not _catches_sigint(child.pid) and time.monotonic() < deadline:
        time.sleep(0.002)
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=120)
    assert child.returncode == 130
    [line] = err.splitlines()
    assert line.startswith("vintrel fit: interrupted")


@pytest.mark.parametrize("argv, status", [
    (["--version"], 0), (["--help"], 0), (["fit", "--help"], 0), (["predict", "--help"], 0), (["show", "--help"], 0),
    (["fit"], 2),
], ids=["version", "help", "fit-help", "predict-help", "show-help", "usage-error"])
def test_version_help_and_usage_errors_answer_without_loading_scikit_learn_or_scipy(argv, status):
    code = ("import sys; from vintrel.cli import main; status = main(sys.argv[1:]); "
            "print(status, sorted({name.split('.')[0] for name in sys.modules} & {'sklearn', 'scipy'}))")
    finished = subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True, timeout=60)
    assert finished.stdout.splitlines()[-1] == f"{status} []"


@pytest.mark.parametrize("command", ["show", "fit"])
def test_a_closed_output_ends_the_command_quietly(data, tmp_path, command):
    assert main(["fit", str(data), "--target", "y", "--model", str(tmp_path / "m.npz"), "--quiet"]) == 0
    argv = {"show": ["show", tmp_path / "m.npz"],
            "fit": ["fit", data, "--target", "y", "--model", tmp_path / "again.npz", "--quiet"]}[command]
    child = subprocess.Popen([sys.executable, "-m", "vintrel.cli", *map(str, argv)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout is not None
    child.stdout.close()  # as `| head -1` does once it has its line, here before any
    _, err = child.communicate(timeout=120)
    assert (child.returncode, err) == (141, "")
    if command == "fit":  # the model is saved before the results are printed
        assert IncrementalHuberRegressor.load(tmp_path / "again.npz").n_samples_seen_ == 6000
