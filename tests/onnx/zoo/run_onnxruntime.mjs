// Runs an ONNX model with ONNX Runtime (onnxruntime-node from npm) on .npy inputs and writes its
// outputs as .npy files: the second opinion on what a model computes.
//
//   node tests/onnx/zoo/run_onnxruntime.mjs MODEL.onnx --input NAME=FILE.npy ... --output-dir DIR
//
// Every input of the model needs an --input. Output NAME goes to DIR/NAME.npy, with characters
// other than letters, digits, '.', '-' and '_' in NAME replaced by '_'. Exits 1 on a failure and
// 2 on a malformed command line, with the reason on standard error.

import { mkdirSync } from "node:fs";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { parseArgs } from "node:util";

import ort from "onnxruntime-node";

import { encodeNpy, readNpy, writeFileAtomically } from "./npy.mjs";

const USAGE =
  "usage: node run_onnxruntime.mjs MODEL.onnx --input NAME=FILE.npy ... --output-dir DIR";

class UsageError extends Error {}

export function outputFileName(outputName) {
  return `${outputName.replace(/[^A-Za-z0-9._-]/g, "_")}.npy`;
}

/**
 * Runs the model at `modelPath` on `inputs` (an object of {dtype, shape, data} arrays by input
 * name) and returns its outputs the same way, in the model's order.
 */
export async function runOnnxRuntime(modelPath, inputs) {
  let session;
  try {
    // One thread: the machine is shared, and the results do not depend on the thread count.
    session = await ort.InferenceSession.create(modelPath, {
      intraOpNumThreads: 1,
      interOpNumThreads: 1,
    });
  } catch (error) {
    throw new Error(`cannot load ${modelPath}: ${error.message}`);
  }
  for (const name of Object.keys(inputs)) {
    if (!session.inputNames.includes(name)) {
      throw new Error(
        `${modelPath} has no input '${name}' (its inputs: ${session.inputNames.join(", ")})`,
      );
    }
  }
  const feeds = {};
  for (const name of session.inputNames) {
    const array = inputs[name];
    if (array === undefined) {
      throw new Error(`no data for input '${name}' of ${modelPath}`);
    }
    feeds[name] = new ort.Tensor(array.dtype, array.data, array.shape);
  }
  let results;
  try {
    results = await session.run(feeds);
  } catch (error) {
    throw new Error(`ONNX Runtime failed on ${modelPath}: ${error.message}`);
  }
  return Object.fromEntries(
    session.outputNames.map((name) => {
      const tensor = results[name];
      return [name, { dtype: tensor.type, shape: [...tensor.dims], data: tensor.data }];
    }),
  );
}

function parseCommandLine(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      allowPositionals: true,
      options: {
        input: { type: "string", multiple: true, default: [] },
        "output-dir": { type: "string" },
      },
    });
  } catch (error) {
    throw new UsageError(error.message);
  }
  const { positionals, values } = parsed;
  if (positionals.length !== 1) {
    throw new UsageError(`expected one model, got ${positionals.length}`);
  }
  if (values["output-dir"] === undefined) {
    throw new UsageError("missing --output-dir");
  }
  const inputFiles = {};
  for (const argument of values.input) {
    const match = /^([^=]+)=(.+)$/.exec(argument);
    if (!match) {
      throw new UsageError(`--input takes NAME=FILE.npy, got '${argument}'`);
    }
    const [, name, file] = match;
    if (name in inputFiles) {
      throw new UsageError(`input '${name}' is given twice`);
    }
    inputFiles[name] = file;
  }
  return { model: positionals[0], inputFiles, outputDir: values["output-dir"] };
}

async function main(argv) {
  const { model, inputFiles, outputDir } = parseCommandLine(argv);
  const inputs = Object.fromEntries(
    Object.entries(inputFiles).map(([name, file]) => [name, readNpy(file)]),
  );
  const outputs = await runOnnxRuntime(model, inputs);
  // Every output is encoded before any is written, so that an unsupported one leaves none.
  const files = new Map();
  for (const [name, array] of Object.entries(outputs)) {
    const file = path.join(outputDir, outputFileName(name));
    if (files.has(file)) {
      throw new Error(`outputs '${files.get(file).name}' and '${name}' both go to ${file}`);
    }
    files.set(file, { name, array, bytes: encodeNpy(array, `output '${name}'`) });
  }
  mkdirSync(outputDir, { recursive: true });
  for (const [file, { array, bytes }] of files) {
    writeFileAtomically(file, bytes);
    console.log(`${file}: ${array.dtype} [${array.shape.join(", ")}]`);
  }
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
  main(process.argv.slice(2)).catch((error) => {
    console.error(`run_onnxruntime: ${error.message}`);
    if (error instanceof UsageError) {
      console.error(USAGE);
      process.exitCode = 2;
    } else {
      process.exitCode = 1;
    }
  });
}
