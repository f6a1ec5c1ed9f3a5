"""One full-size encoder layer in NumPy, the yardstick of the host evaluation benchmark.

Computes the layer that orvik_bench evaluates (sequence 128, hidden 768, 12 heads, feed-forward
3072, the deterministic weights and the self-check's input pattern) in single precision, twice:
as `encoder_reference` does (per-head attention scaled by sqrt(64)) and as the encoder graph does
(one attention over the whole width, unscaled). Times each with wall and thread-CPU clocks and
prints the medians. Given orvik_bench's JSON output, it prints the ratios of orvik's times to
NumPy's, the matrix product's share of the processor's peak rate and evaluate's peak memory;
given the layer's output as written by `orvik run --encoder`, it checks that the two agree.

Run with Debian's interpreter, NumPy and OpenBLAS on one thread:
    OPENBLAS_NUM_THREADS=1 /usr/bin/python3 bench/numpy_encoder_layer.py \\
        [--orvik-results orvik_bench.json] [--check ffn_residual.npy]
"""

import argparse
import json
import os
import statistics
import subprocess
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread count is fixed)

SEQUENCE, HIDDEN, HEADS, FEED_FORWARD = 128, 768, 12, 3072
EPSILON = np.float32(1e-5)
# Single-precision floating-point operations per cycle at the peak of one core with two 256-bit
# fused multiply-add units: 2 units x 8 lanes x 2 operations.
PEAK_FLOPS_PER_CYCLE = 32


def weight(rows, columns, ordinal):
    """EncoderWeights::deterministic: (((17 i + 31 k) mod 101) - 50) / sqrt(50 rows)."""
    i = np.arange(rows * columns, dtype=np.int64)
    numerator = ((17 * i + 31 * ordinal) % 101).astype(np.float32) - np.float32(50)
    denominator = np.sqrt(np.float32(50) * np.float32(rows), dtype=np.float32)
    return (numerator / denominator).reshape(rows, columns)


def layer_inputs():
    x = ((np.arange(SEQUENCE * HIDDEN, dtype=np.float32) - np.float32(9)) / np.float32(16))
    h, f = HIDDEN, FEED_FORWARD
    weights = [weight(h, h, 1), weight(h, h, 2), weight(h, h, 3), weight(h, h, 4),
               weight(h, f, 5), weight(f, h, 6)]
    return x.reshape(SEQUENCE, HIDDEN), weights


def layer_norm(x):
    mean = x.mean(axis=-1, keepdims=True, dtype=np.float32)
    deviation = x - mean
    variance = (deviation * deviation).mean(axis=-1, keepdims=True, dtype=np.float32)
    return deviation * (np.float32(1) / np.sqrt(variance + EPSILON))


def softmax(x):
    e = np.exp(x - x.max(axis=-1, keepdims=True))
    return e / e.sum(axis=-1, keepdims=True)


def gelu(x):
    inner = x + np.float32(0.044715) * (x * (x * x))
    return np.float32(0.5) * x * (np.float32(1) + np.tanh(np.float32(0.7978846) * inner))


def feed_forward(x, attention, wo, w1, w2):
    residual = x + attention @ wo
    return residual + gelu(layer_norm(residual) @ w1) @ w2


def reference_layer(x, wq, wk, wv, wo, w1, w2):
    """encoder_reference: per-head attention, scores divided by sqrt(head width)."""
    norm = layer_norm(x)
    d = HIDDEN // HEADS
    heads = lambda m: m.reshape(SEQUENCE, HEADS, d).transpose(1, 0, 2)  # noqa: E731
    q, k, v = heads(norm @ wq), heads(norm @ wk), heads(norm @ wv)
    scores = (q @ k.transpose(0, 2, 1)) / np.sqrt(np.float32(d))
    context = (softmax(scores) @ v).transpose(1, 0, 2).reshape(SEQUENCE, HIDDEN)
    return feed_forward(x, context, wo, w1, w2)


def graph_layer(x, wq, wk, wv, wo, w1, w2):
    """encoder_graph: one attention over the whole width, unscaled."""
    norm = layer_norm(x)
    q, k, v = norm @ wq, norm @ wk, norm @ wv
    context = softmax(q @ k.T) @ v
    return feed_forward(x, context, wo, w1, w2)


def measure(function, arguments, repetitions):
    """Medians of wall and thread-CPU seconds over `repetitions` runs, after one warm-up."""
    result = function(*arguments)
    walls, cpus = [], []
    for _ in range(repetitions):
        wall, cpu = time.perf_counter(), time.thread_time()
        function(*arguments)
        cpus.append(time.thread_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return statistics.median(walls), statistics.median(cpus), result


def orvik_medians(path):
    """Per benchmark name: (wall seconds, CPU seconds, the run's record), medians where
    repeated."""
    with open(path) as file:
        report = json.load(file)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    runs = {}
    for run in report["benchmarks"]:
        median = run.get("aggregate_name") == "median"
        if run["run_name"] == "clock" and run.get("aggregate_name") == "max":
            runs["clock/max"] = (None, None, run)
            continue
        if run.get("run_type") == "aggregate" and not median:
            continue
        name = run["run_name"]
        if name in runs and not median:
            continue  # the single repetitions come before their median
        unit = scale[run["time_unit"]]
        runs[name] = (run["real_time"] * unit, run["cpu_time"] * unit, run)
    return runs


def machine():
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        model = next(line.split(":", 1)[1].strip() for line in lscpu.splitlines()
                     if line.startswith("Model name"))
    except (OSError, subprocess.CalledProcessError, StopIteration):
        model = "unknown processor"
    return f"{model}, {os.cpu_count()} cores, NumPy {np.__version__}"


def ratio(numerator, denominator):
    return f"{numerator / denominator:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orvik-results", help="orvik_bench's --benchmark_out JSON file")
    parser.add_argument("--check", help="ffn_residual.npy of `orvik run --encoder` at full size")
    parser.add_argument("--repetitions", type=int, default=20)
    options = parser.parse_args()

    x, weights = layer_inputs()
    arguments = [x, *weights]
    numpy_times, results = {}, {}
    for name, function in (("reference", reference_layer), ("evaluate", graph_layer)):
        wall, cpu, results[name] = measure(function, arguments, options.repetitions)
        numpy_times[name] = (wall, cpu)

    print(f"\nNumPy encoder layer on {machine()}, OPENBLAS_NUM_THREADS="
          f"{os.environ['OPENBLAS_NUM_THREADS']}, medians of {options.repetitions} runs:")
    for name, (wall, cpu) in numpy_times.items():
        print(f"  {name:<10} wall {wall * 1e3:8.2f} ms   thread CPU {cpu * 1e3:8.2f} ms")

    if options.check:
        orvik = np.load(options.check)
        expected = results["evaluate"].astype(np.float64)
        relative = np.abs(orvik.astype(np.float64) - expected).max() / np.abs(expected).max()
        print(f"  orvik run --encoder against NumPy's graph layer: largest difference "
              f"{relative:.2e} of the largest value")
        if not relative < 1e-3:
            raise SystemExit("the orvik and NumPy layers disagree")

    if not options.orvik_results:
        return
    runs = orvik_medians(options.orvik_results)
    print("\norvik against NumPy, ratios of medians (target at most 1.1):")
    print(f"  {'case':<18}{'wall':>10}{'thread CPU':>12}{'wall ratio':>12}{'CPU ratio':>11}")
    for name in ("reference", "evaluate"):
        run = runs.get(f"layer/{name}")
        if run is None:
            continue
        wall, cpu, _ = run
        numpy_wall, numpy_cpu = numpy_times[name]
        print(f"  {'layer/' + name:<18}{wall * 1e3:8.2f}ms{cpu * 1e3:10.2f}ms"
              f"{ratio(wall, numpy_wall):>12}{ratio(cpu, numpy_cpu):>11}")

    # The fastest repetition of the clock, when there are several: time lost to other guests
    # only ever lowers the estimate.
    clock = runs.get("clock/max", runs.get("clock"))
    if clock is not None:
        hertz = clock[2]["cycles"]
        peak = PEAK_FLOPS_PER_CYCLE * hertz
        print(f"\nclock {hertz / 1e9:.2f} GHz (thread CPU); single-precision peak "
              f"{peak / 1e9:.1f} GFLOP/s ({PEAK_FLOPS_PER_CYCLE} per cycle):")
        for name, (_, _, run) in sorted(runs.items()):
            if name.startswith("matmul/"):
                print(f"  {name:<22} {run['flops'] / 1e9:7.1f} GFLOP/s  "
                      f"{run['flops'] / peak:6.1%} of peak")

    evaluate = runs.get("layer/evaluate")
    if evaluate is not None and "peak_bytes" in evaluate[2]:
        run = evaluate[2]
        print(f"\nevaluate's peak heap {run['peak_bytes'] / 2**20:.2f} MiB; largest live set "
              f"{run['live_bytes'] / 2**20:.2f} MiB: peak / live {run['peak_per_live']:.2f}, "
              f"peak / (live + outputs) {run['peak_per_live_and_outputs']:.2f} (target at most 1.5)")


if __name__ == "__main__":
    main()
