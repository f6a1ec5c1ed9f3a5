// Times ONNX Runtime (onnxruntime-node, one intra-op and one inter-op thread, sequential
// execution, every graph optimisation on) running a model, and prints the medians of wall time
// and of the process's CPU time per run. Given orvik_onnx_bench's JSON output for the same model
// (--benchmark_out), it also prints orvik's `evaluate` time as a ratio to ONNX Runtime's.
//
//   node bench/onnxruntime_layer.mjs MODEL.onnx [--repetitions N] [--orvik-results FILE.json]
//
// Each input NAME of the model is read from MODEL's directory as STEM.input.NAME.npy, the files
// bench/export_bert_base.py writes beside its models.

import { readFileSync } from "node:fs";
import os from "node:os";
import path from "node:path";
import { parseArgs } from "node:util";

import ort from "onnxruntime-node";

import { readNpy } from "../tests/onnx/zoo/npy.mjs";

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 === 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

/** Wall and process CPU seconds of each of `repetitions` runs, after one run to warm up. */
async function timeRuns(session, feeds, repetitions) {
  await session.run(feeds);
  const walls = [];
  const cpus = [];
  for (let i = 0; i < repetitions; ++i) {
    const cpu = process.cpuUsage();
    const wall = process.hrtime.bigint();
    await session.run(feeds);
    walls.push(Number(process.hrtime.bigint() - wall) / 1e9);
    const used = process.cpuUsage(cpu);
    cpus.push((used.user + used.system) / 1e6);
  }
  return { wall: median(walls), cpu: median(cpus) };
}

/** Per benchmark name, the median's (or the only run's) wall and CPU seconds. */
function orvikMedians(resultsPath) {
  const units = { ns: 1e-9, us: 1e-6, ms: 1e-3, s: 1 };
  const medians = {};
  for (const run of JSON.parse(readFileSync(resultsPath, "utf8")).benchmarks) {
    const isMedian = run.aggregate_name === "median";
    if (run.run_type === "aggregate" && !isMedian) {
      continue;
    }
    const name = run.run_name ?? run.name;
    if (name in medians && !isMedian) {
      continue;
    }
    const unit = units[run.time_unit];
    medians[name] = { wall: run.real_time * unit, cpu: run.cpu_time * unit };
  }
  return medians;
}

async function main() {
  const { values, positionals } = parseArgs({
    allowPositionals: true,
    options: {
      repetitions: { type: "string", default: "20" },
      "orvik-results": { type: "string" },
    },
  });
  if (positionals.length !== 1) {
    console.error(
      "usage: node onnxruntime_layer.mjs MODEL.onnx [--repetitions N] [--orvik-results FILE.json]",
    );
    return 2;
  }
  const modelPath = positionals[0];
  const repetitions = Number.parseInt(values.repetitions, 10);
  if (!(repetitions > 0)) {
    console.error(`--repetitions must be a positive whole number, not '${values.repetitions}'`);
    return 2;
  }
  const session = await ort.InferenceSession.create(modelPath, {
    intraOpNumThreads: 1,
    interOpNumThreads: 1,
    executionMode: "sequential",
    graphOptimizationLevel: "all",
  });
  const stem = path.join(path.dirname(modelPath), path.basename(modelPath, ".onnx"));
  const feeds = {};
  for (const name of session.inputNames) {
    const array = readNpy(`${stem}.input.${name}.npy`);
    feeds[name] = new ort.Tensor(array.dtype, array.data, array.shape);
  }
  const times = await timeRuns(session, feeds, repetitions);
  const model = path.basename(modelPath, ".onnx");
  console.log(
    `ONNX Runtime ${ort.env.versions?.common ?? ""} on ${model} (${os.cpus()[0].model}, ` +
      `${os.cpus().length} cores, one thread), medians of ${repetitions} runs:`,
  );
  console.log(
    `  wall ${(times.wall * 1e3).toFixed(2)} ms   process CPU ${(times.cpu * 1e3).toFixed(2)} ms`,
  );
  if (values["orvik-results"] !== undefined) {
    const orvik = orvikMedians(values["orvik-results"])[`evaluate/${model}`];
    if (orvik === undefined) {
      console.error(`${values["orvik-results"]} has no evaluate/${model}`);
      return 1;
    }
    console.log(
      `orvik evaluate / ONNX Runtime: wall ${(orvik.wall / times.wall).toFixed(3)}, ` +
        `CPU ${(orvik.cpu / times.cpu).toFixed(3)} (target at most 1.1)`,
    );
  }
  return 0;
}

process.exitCode = await main();
