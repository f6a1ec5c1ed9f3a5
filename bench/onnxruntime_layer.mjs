// Times orvik's `evaluate` against ONNX Runtime (onnxruntime-node, one intra-op and one
// inter-op thread, sequential execution, every graph optimisation on) on one model, in
// alternating rounds: each round runs orvik_onnx_bench's evaluate case (its median of five
// repetitions, in the thread's CPU time and in wall time), then ONNX Runtime `--repetitions`
// times (the median of the process's CPU time, which with one thread is the run's, and of wall
// time). Prints each round and the medians over the rounds, with orvik's time as a ratio to ONNX
// Runtime's.
//
//   node bench/onnxruntime_layer.mjs MODEL.onnx --orvik-bench PATH/orvik_onnx_bench
//       [--rounds N] [--repetitions N]
//
// Each input NAME of the model is read from MODEL's directory as STEM.input.NAME.npy, the files
// bench/export_bert_base.py writes beside its models.

import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
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

/** orvik_onnx_bench's median of five evaluations of the model, in seconds. */
function timeOrvik(bench, modelPath, model) {
  const directory = mkdtempSync(path.join(os.tmpdir(), "orvik-ort-"));
  try {
    const results = path.join(directory, "results.json");
    const run = spawnSync(
      bench,
      [
        `--model=${modelPath}`,
        "--benchmark_filter=^evaluate/",
        "--benchmark_repetitions=5",
        "--benchmark_report_aggregates_only=true",
        `--benchmark_out=${results}`,
      ],
      { encoding: "utf8" },
    );
    if (run.status !== 0) {
      throw new Error(`${bench} failed: ${run.error?.message ?? run.stderr}`);
    }
    const times = orvikMedians(results)[`evaluate/${model}`];
    if (times === undefined) {
      throw new Error(`${bench} did not time evaluate/${model}: ${run.stderr}`);
    }
    return times;
  } finally {
    rmSync(directory, { recursive: true, force: true });
  }
}

function positiveInteger(text, option) {
  const value = Number.parseInt(text, 10);
  if (!(value > 0) || String(value) !== text) {
    throw new RangeError(`${option} must be a positive whole number, not '${text}'`);
  }
  return value;
}

const milliseconds = (seconds) => `${(seconds * 1e3).toFixed(2)} ms`;

async function main() {
  const usage =
    "usage: node onnxruntime_layer.mjs MODEL.onnx --orvik-bench PATH [--rounds N] [--repetitions N]";
  let values;
  let positionals;
  let rounds;
  let repetitions;
  try {
    ({ values, positionals } = parseArgs({
      allowPositionals: true,
      options: {
        "orvik-bench": { type: "string" },
        rounds: { type: "string", default: "3" },
        repetitions: { type: "string", default: "20" },
      },
    }));
    rounds = positiveInteger(values.rounds, "--rounds");
    repetitions = positiveInteger(values.repetitions, "--repetitions");
  } catch (error) {
    console.error(`${error.message}\n${usage}`);
    return 2;
  }
  if (positionals.length !== 1 || values["orvik-bench"] === undefined) {
    console.error(usage);
    return 2;
  }
  const modelPath = positionals[0];
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
  const model = path.basename(modelPath, ".onnx");
  console.log(
    `${model}: orvik evaluate against ONNX Runtime ${ort.env.versions?.common ?? ""} on one ` +
      `thread (${os.cpus()[0].model}, ${os.cpus().length} cores, load ${os.loadavg()[0]})`,
  );
  const orvik = [];
  const runtime = [];
  for (let round = 1; round <= rounds; ++round) {
    orvik.push(timeOrvik(values["orvik-bench"], modelPath, model));
    runtime.push(await timeRuns(session, feeds, repetitions));
    console.log(
      `  round ${round}: orvik CPU ${milliseconds(orvik.at(-1).cpu)} wall ` +
        `${milliseconds(orvik.at(-1).wall)}; ONNX Runtime CPU ${milliseconds(runtime.at(-1).cpu)} ` +
        `wall ${milliseconds(runtime.at(-1).wall)}`,
    );
  }
  const summary = (times, key) => median(times.map((time) => time[key]));
  const cpu = summary(orvik, "cpu") / summary(runtime, "cpu");
  const wall = summary(orvik, "wall") / summary(runtime, "wall");
  console.log(
    `medians over ${rounds} rounds: orvik CPU ${milliseconds(summary(orvik, "cpu"))}, ONNX ` +
      `Runtime CPU ${milliseconds(summary(runtime, "cpu"))}; orvik / ONNX Runtime: CPU ` +
      `${cpu.toFixed(3)}, wall ${wall.toFixed(3)} (target at most 1.1)`,
  );
  return 0;
}

process.exitCode = await main();
