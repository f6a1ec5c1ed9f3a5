"""The full-size encoder layer through the Python module, against the same layer in C++.

Times orvik_compiler's `encoder_reference` and, as the encoder graph, its `evaluate` on the layer
that orvik_bench evaluates (sequence 128, hidden 768, 12 heads, feed-forward 3072, the
deterministic weights, the self-check's input pattern), the two interleaved, with wall and
thread-CPU clocks, and prints the medians. Given orvik_bench's JSON output, it prints the ratios of
the module's times to the library's (`layer/reference`, `layer/evaluate`): what a call from Python
costs beyond the work itself.

Run with Debian's interpreter and the built module on the path:
    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_encoder_layer.py \\
        [--orvik-results orvik_bench.json] [--repetitions 21]
"""

import argparse
import os
import statistics
import time

import numpy as np
import orvik_compiler as oc

from numpy_encoder_layer import FEED_FORWARD, HEADS, HIDDEN, SEQUENCE, machine, orvik_medians

MATRICES = ["wq", "wk", "wv", "wo", "w1", "w2"]


def layer_calls():
    """The two calls on the layer, by the name of their orvik_bench counterpart."""
    config = oc.EncoderConfig(SEQUENCE, HIDDEN, HEADS, FEED_FORWARD)
    x = (np.arange(SEQUENCE * HIDDEN, dtype=np.float32) - np.float32(9)) / np.float32(16)
    x = x.reshape(SEQUENCE, HIDDEN)
    weights = oc.EncoderWeights.deterministic(config)
    graph = oc.encoder_graph(config)
    values = {"input": x, **{name: getattr(weights, name) for name in MATRICES}}
    return {
        "reference": lambda: oc.encoder_reference(config, x, weights),
        "evaluate": lambda: oc.evaluate(graph, values),
    }


def measure(calls, repetitions):
    """Per call, medians of wall and thread-CPU seconds over `repetitions` rounds that run every
    call once in turn, after one warm-up round."""
    for call in calls.values():
        call()
    walls = {name: [] for name in calls}
    cpus = {name: [] for name in calls}
    for _ in range(repetitions):
        for name, call in calls.items():
            wall, cpu = time.perf_counter(), time.thread_time()
            call()
            cpus[name].append(time.thread_time() - cpu)
            walls[name].append(time.perf_counter() - wall)
    return {name: (statistics.median(walls[name]), statistics.median(cpus[name])) for name in calls}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orvik-results", help="orvik_bench's --benchmark_out JSON file")
    parser.add_argument("--repetitions", type=int, default=21)
    options = parser.parse_args()

    times = measure(layer_calls(), options.repetitions)
    load = ", ".join(f"{average:.2f}" for average in os.getloadavg())
    print(f"\norvik_compiler from Python on {machine()}, load {load}, medians of "
          f"{options.repetitions} interleaved runs:")
    for name, (wall, cpu) in times.items():
        print(f"  layer/{name:<10} wall {wall * 1e3:8.2f} ms   thread CPU {cpu * 1e3:8.2f} ms")

    if not options.orvik_results:
        return
    runs = orvik_medians(options.orvik_results)
    print("\nPython against C++, ratios of medians:")
    print(f"  {'case':<18}{'C++ wall':>10}{'C++ CPU':>10}{'wall ratio':>12}{'CPU ratio':>11}")
    for name, (wall, cpu) in times.items():
        run = runs.get(f"layer/{name}")
        if run is None:
            continue
        native_wall, native_cpu, _ = run
        print(f"  {'layer/' + name:<18}{native_wall * 1e3:8.2f}ms{native_cpu * 1e3:8.2f}ms"
              f"{wall / native_wall:>12.2f}{cpu / native_cpu:>11.2f}")


if __name__ == "__main__":
    main()
