"""Runs every Python benchmark, prints their tables, and writes the figures
to results/bench.json and a plot to results/bench.png."""

import json
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import cli_throughput
import estimator
import forgetting
import inference_agreement
import inference_coverage
import intervals
import passes
import peers
import penalty_solvers
import predict_vs_numpy
import update_vs_gemm
from vintrel import version

RESULTS = pathlib.Path(__file__).resolve().parent.parent / "results"


def plot(figures, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    peer_rows = figures["peers"]["peers"]
    names = list(peer_rows)
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    axes[0].bar(names, [peer_rows[n]["seconds"] for n in names], color=["C0", "C1", "C2"])
    axes[0].set_ylabel("wall time (s)")
    axes[0].set_yscale("log")
    axes[0].set_title("time on 1,000,000 x 21")
    axes[1].bar(names, [peer_rows[n]["coef_error"] for n in names], color=["C0", "C1", "C2"])
    axes[1].set_ylabel("|coef - true|")
    axes[1].set_yscale("log")
    axes[1].set_title("coefficient error")
    scaling = figures["peers"]["scaling"]
    threads = [int(t) for t in scaling]
    axes[2].plot(threads, [scaling["1"]["seconds"] / scaling[str(t)]["seconds"] for t in threads], "o-")
    axes[2].plot(threads, threads, ":", color="grey")
    axes[2].set_xlabel("n_threads")
    axes[2].set_ylabel("speed-up")
    axes[2].set_title("update scaling")
    for axis in axes[:2]:
        axis.tick_params(axis="x", labelrotation=15)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def processor_name():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def main():
    figures = {"machine": {"python": platform.python_version(), "processor": processor_name(),
                           "cpus": os.cpu_count(), "engine": version()}}
    # The update benchmark reports peak memory, which only ever grows: it
    # runs before anything larger is allocated.
    figures["update"] = update_vs_gemm.main()
    figures["predict"] = predict_vs_numpy.main()
    figures["peers"] = peers.main()
    figures["estimator"] = estimator.main()
    figures["inference"] = {**inference_agreement.main(), "coverage": inference_coverage.main()}
    figures["intervals"] = intervals.main()
    figures["command_line"] = cli_throughput.main()
    figures["passes"] = passes.main()
    figures["forgetting"] = forgetting.main()
    figures["penalty_solvers"] = penalty_solvers.main()
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "bench.json").write_text(json.dumps(figures, indent=2))
    plot(figures, RESULTS / "bench.png")
    print(f"\nwrote {RESULTS / 'bench.json'} and {RESULTS / 'bench.png'}")


if __name__ == "__main__":
    main()
