// orvik's outputs against ONNX Runtime's for every zoo file that orvik imports (imports.txt):
// `orvik run` (the tool at $ORVIK_TOOL) on the committed inputs, with the manifest's symbolic
// dimensions, and ONNX Runtime on the same inputs, compared element by element.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, describe, test } from "node:test";
import { fileURLToPath } from "node:url";

import { readNpy } from "./npy.mjs";
import { outputFileName, runOnnxRuntime } from "./run_onnxruntime.mjs";
import { compare } from "./tolerance.mjs";

const ZOO_DIR = path.dirname(fileURLToPath(import.meta.url));
const TOOL = process.env.ORVIK_TOOL;
const manifest = JSON.parse(readFileSync(path.join(ZOO_DIR, "manifest.json"), "utf8"));

const listed = readFileSync(path.join(ZOO_DIR, "imports.txt"), "utf8")
  .split("\n")
  .filter((line) => line !== "" && !line.startsWith("#"));

const scratch = mkdtempSync(path.join(tmpdir(), "zoo-orvik-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

/** Runs `orvik run` on the zoo file `entry` of `model`; its outputs by name. */
function runOrvik(model, entry) {
  const outputDir = path.join(scratch, entry.file);
  const args = ["run", path.join(ZOO_DIR, entry.file), "-o", outputDir];
  for (const [name, extent] of Object.entries(entry.dims)) {
    args.push("--dim", `${name}=${extent}`);
  }
  for (const input of model.inputs) {
    args.push("--input", `${input.name}=${path.join(ZOO_DIR, input.file)}`);
  }
  const result = spawnSync(TOOL, args, { encoding: "utf8", timeout: 300_000 });
  assert.equal(result.status, 0, `orvik ${args.join(" ")}\n${result.stderr}`);
  return Object.fromEntries(
    model.outputs.map((output) => [
      output.name,
      readNpy(path.join(outputDir, outputFileName(output.name))),
    ]),
  );
}

describe("orvik against ONNX Runtime", () => {
  test("imports.txt names zoo files of the manifest, each once", () => {
    const files = manifest.models.flatMap((model) => model.files.map((entry) => entry.file));
    assert.ok(listed.length > 0);
    assert.equal(new Set(listed).size, listed.length);
    for (const file of listed) {
      assert.ok(files.includes(file), `${file} is not in manifest.json`);
    }
  });

  for (const model of manifest.models) {
    for (const entry of model.files.filter((candidate) => listed.includes(candidate.file))) {
      test(`orvik run agrees with ONNX Runtime on ${entry.file}`, async (t) => {
        if (TOOL === undefined) {
          t.skip("ORVIK_TOOL names no orvik tool (CTest sets it)");
          return;
        }
        const inputs = Object.fromEntries(
          model.inputs.map((input) => [input.name, readNpy(path.join(ZOO_DIR, input.file))]),
        );
        const expected = await runOnnxRuntime(path.join(ZOO_DIR, entry.file), inputs);
        const actual = runOrvik(model, entry);
        for (const output of model.outputs) {
          const { maxAbsolute: largest, failures } = compare(
            actual[output.name],
            expected[output.name],
          );
          t.diagnostic(`${output.name}: largest absolute difference ${largest.toExponential(2)}`);
          assert.equal(failures, 0, `${output.name}: ${failures} elements out of tolerance`);
        }
      });
    }
  }
});
