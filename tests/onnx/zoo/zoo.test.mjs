// The model zoo's tools and files: .npy reading and writing against NumPy's own bytes, the ONNX
// Runtime runner's command line, and ONNX Runtime's outputs for every zoo file against PyTorch's.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, describe, test } from "node:test";
import { fileURLToPath } from "node:url";

import { decodeNpy, encodeNpy, readNpy } from "./npy.mjs";
import { outputFileName, runOnnxRuntime } from "./run_onnxruntime.mjs";
import { compare } from "./tolerance.mjs";

const ZOO_DIR = path.dirname(fileURLToPath(import.meta.url));
const RUNNER = path.join(ZOO_DIR, "run_onnxruntime.mjs");
const manifest = JSON.parse(readFileSync(path.join(ZOO_DIR, "manifest.json"), "utf8"));

const scratch = mkdtempSync(path.join(tmpdir(), "zoo-test-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

/** An .npy file as NumPy writes it: version 1.0, the header padded with spaces to its length. */
function numpyFile(header, headerLength, dataHex) {
  const prefix = Buffer.from([0x93, ...Buffer.from("NUMPY"), 1, 0, headerLength & 0xff, 0]);
  const text = Buffer.from(header.padEnd(headerLength - 1, " ") + "\n", "latin1");
  return new Uint8Array(Buffer.concat([prefix, text, Buffer.from(dataHex, "hex")]));
}

describe(".npy files", () => {
  const numpyWritten = [
    {
      name: "int32 vector",
      bytes: numpyFile(
        "{'descr': '<i4', 'fortran_order': False, 'shape': (5,), }",
        0x76,
        "0000000001000000020000000300000004000000",
      ),
      array: { dtype: "int32", shape: [5], data: Int32Array.of(0, 1, 2, 3, 4) },
    },
    {
      name: "float32 scalar",
      bytes: numpyFile("{'descr': '<f4', 'fortran_order': False, 'shape': (), }", 0x76, "0000c03f"),
      array: { dtype: "float32", shape: [], data: Float32Array.of(1.5) },
    },
    {
      name: "empty float32 matrix",
      bytes: numpyFile("{'descr': '<f4', 'fortran_order': False, 'shape': (0, 3), }", 0x76, ""),
      array: { dtype: "float32", shape: [0, 3], data: new Float32Array(0) },
    },
    {
      name: "int64 beyond 32 bits",
      bytes: numpyFile(
        "{'descr': '<i8', 'fortran_order': False, 'shape': (1, 2), }",
        0x76,
        "ffffffffffffffff0000000000010000",
      ),
      array: { dtype: "int64", shape: [1, 2], data: BigInt64Array.of(-1n, 2n ** 40n) },
    },
    {
      // With the room numpy leaves for the first extent to grow, this header fills two blocks
      // exactly, so numpy pads it with a third.
      name: "rank 14, a header of three alignment blocks",
      bytes: numpyFile(
        `{'descr': '<f4', 'fortran_order': False, 'shape': (${"1, ".repeat(13)}100), }`,
        0xb6,
        "00".repeat(400),
      ),
      array: { dtype: "float32", shape: [...Array(13).fill(1), 100], data: new Float32Array(100) },
    },
  ];

  for (const { name, bytes, array } of numpyWritten) {
    test(`${name}: read as NumPy wrote it, written as NumPy writes it`, () => {
      assert.deepEqual(decodeNpy(bytes), array);
      assert.deepEqual(encodeNpy(array), bytes);
    });
  }

  test("every zoo array reads with its manifest's type and shape and writes back the same bytes", () => {
    const arrays = manifest.models.flatMap((model) => [...model.inputs, ...model.outputs]);
    assert.ok(arrays.some((array) => array.dtype === "int64"));
    for (const { file, dtype, shape } of arrays) {
      const bytes = readFileSync(path.join(ZOO_DIR, file));
      const array = decodeNpy(bytes, file);
      assert.equal(array.dtype, dtype, file);
      assert.deepEqual(array.shape, shape, file);
      assert.deepEqual(Buffer.from(encodeNpy(array)), bytes, file);
    }
  });

  const vector = numpyWritten[0].bytes;
  const withHeader = (header) =>
    numpyFile(header, 0x76, "0000000001000000020000000300000004000000");
  const malformed = [
    ["without the magic", Uint8Array.from(vector).fill(0x20, 0, 6), /not an \.npy file/],
    ["shorter than the magic", vector.subarray(0, 4), /not an \.npy file/],
    ["of version 4", Uint8Array.from(vector).fill(4, 6, 7), /unsupported \.npy version 4\.0/],
    ["cut in the header", vector.subarray(0, 40), /truncated in the header \(118 bytes announced/],
    ["cut in the data", vector.subarray(0, vector.length - 1), /needs 20 bytes of data, .* 19/],
    ["with trailing bytes", Uint8Array.of(...vector, 0), /needs 20 bytes of data, .* 21/],
    [
      "of float64",
      withHeader("{'descr': '<f8', 'fortran_order': False, 'shape': (5,), }"),
      /unsupported element type '<f8'/,
    ],
    [
      "big-endian",
      withHeader("{'descr': '>i4', 'fortran_order': False, 'shape': (5,), }"),
      /unsupported element type '>i4'/,
    ],
    [
      "in Fortran order",
      withHeader("{'descr': '<i4', 'fortran_order': True, 'shape': (5,), }"),
      /Fortran order is not supported/,
    ],
    [
      "with a negative extent",
      withHeader("{'descr': '<i4', 'fortran_order': False, 'shape': (-5,), }"),
      /bad extent '-5'/,
    ],
    [
      "without a shape",
      withHeader("{'descr': '<i4', 'fortran_order': False, }"),
      /malformed header/,
    ],
  ];
  for (const [name, bytes, message] of malformed) {
    test(`a file ${name} is refused, naming the file`, () => {
      assert.throws(
        () => decodeNpy(bytes, "bad.npy"),
        (error) => {
          assert.match(error.message, /^bad\.npy: /);
          assert.match(error.message, message);
          return true;
        },
      );
    });
  }

  test("arrays that cannot be written are refused", () => {
    assert.throws(
      () => encodeNpy({ dtype: "bool", shape: [1], data: Uint8Array.of(1) }, "output 'y'"),
      /^Error: output 'y': unsupported element type bool \(supported: float32 '<f4', int64/,
    );
    assert.throws(
      () => encodeNpy({ dtype: "float32", shape: [2, 3], data: new Float32Array(5) }),
      /5 elements for shape \[2, 3\], which needs 6/,
    );
  });
});

describe("the ONNX Runtime runner's command line", () => {
  const mlp = manifest.models.find((model) => model.name === "mlp_gelu_erf");
  const model = path.join(ZOO_DIR, mlp.files[0].file);
  const input = `x=${path.join(ZOO_DIR, mlp.inputs[0].file)}`;
  const run = (...args) =>
    spawnSync(process.execPath, [RUNNER, ...args], { encoding: "utf8", timeout: 60_000 });

  test("writes every output as NAME.npy and lists it", () => {
    const outputDir = path.join(scratch, "cli", "nested");
    const result = run(model, "--input", input, "--output-dir", outputDir);
    assert.equal(result.status, 0, result.stderr);
    const written = path.join(outputDir, "y.npy");
    assert.equal(result.stdout, `${written}: float32 [2, 16, 48]\n`);
    assert.deepEqual(readdirSync(outputDir), ["y.npy"]);
    const expected = readNpy(path.join(ZOO_DIR, mlp.outputs[0].file));
    assert.equal(compare(readNpy(written), expected).failures, 0);
  });

  const missingFile = path.join(scratch, "missing.npy");
  const notNpy = path.join(scratch, "not.npy");
  writeFileSync(notNpy, "x = 1\n");
  const refusals = [
    ["no output directory", [model, "--input", input], 2, /missing --output-dir/],
    ["no model", ["--input", input, "--output-dir", scratch], 2, /expected one model, got 0/],
    ["an unknown option", [model, "--inputs", input, "--output-dir", scratch], 2, /--inputs/],
    ["an --input without '='", [model, "--input", "x", "--output-dir", scratch], 2, /NAME=FILE/],
    [
      "an input given twice",
      [model, "--input", input, "--input", input, "--output-dir", scratch],
      2,
      /input 'x' is given twice/,
    ],
    ["a missing input", [model, "--output-dir", scratch], 1, /no data for input 'x' of /],
    [
      "an input the model lacks",
      [
        model,
        "--input",
        input,
        "--input",
        `z=${path.join(ZOO_DIR, mlp.inputs[0].file)}`,
        "--output-dir",
        scratch,
      ],
      1,
      /has no input 'z' \(its inputs: x\)/,
    ],
    [
      "a missing model",
      [path.join(scratch, "missing.onnx"), "--input", input, "--output-dir", scratch],
      1,
      /cannot load .*missing\.onnx/,
    ],
    [
      "a missing input file",
      [model, "--input", `x=${missingFile}`, "--output-dir", scratch],
      1,
      /cannot read .*missing\.npy/,
    ],
    [
      "an input file that is no .npy",
      [model, "--input", `x=${notNpy}`, "--output-dir", scratch],
      1,
      /not\.npy: not an \.npy file/,
    ],
  ];
  for (const [name, args, status, message] of refusals) {
    test(`${name} is refused with status ${status}`, () => {
      const result = run(...args);
      assert.equal(result.status, status, result.stderr);
      assert.match(result.stderr, /^run_onnxruntime: /);
      assert.match(result.stderr, message);
      assert.equal(result.stdout, "");
      assert.ok(!existsSync(path.join(scratch, "y.npy")));
    });
  }

  test("output names become file names without path separators", () => {
    assert.deepEqual(
      ["logits", "last_hidden_state", "out:0", "../up", "a/b", "onnx::Add_12"].map(outputFileName),
      [
        "logits.npy",
        "last_hidden_state.npy",
        "out_0.npy",
        ".._up.npy",
        "a_b.npy",
        "onnx__Add_12.npy",
      ],
    );
  });
});

describe("the zoo", () => {
  test("the manifest lists exactly the .onnx files there are, four exports a model", () => {
    const listed = manifest.models.flatMap((model) => model.files.map((entry) => entry.file));
    const present = readdirSync(ZOO_DIR).filter((file) => file.endsWith(".onnx"));
    assert.deepEqual([...listed].sort(), present.sort());
    for (const model of manifest.models) {
      assert.deepEqual(
        model.files.map((entry) => entry.file.slice(model.name.length)),
        [
          ".folded.static.onnx",
          ".folded.dynamic.onnx",
          ".plain.static.onnx",
          ".plain.dynamic.onnx",
        ],
      );
    }
  });

  test("each file's inputs are its model's, and its symbolic dimensions have values", () => {
    for (const model of manifest.models) {
      for (const entry of model.files) {
        const symbolic = new Set(
          entry.inputs.flatMap((input) =>
            input.shape.filter((extent) => typeof extent === "string"),
          ),
        );
        assert.deepEqual(Object.keys(entry.dims).sort(), [...symbolic].sort(), entry.file);
        assert.equal(symbolic.size > 0, entry.file.includes(".dynamic."), entry.file);
        assert.deepEqual(
          entry.inputs.map((input) => [
            input.name,
            input.dtype,
            input.shape.map((extent) => entry.dims[extent] ?? extent),
          ]),
          model.inputs.map((input) => [input.name, input.dtype, input.shape]),
          entry.file,
        );
      }
    }
  });

  for (const model of manifest.models) {
    const inputs = Object.fromEntries(
      model.inputs.map((input) => [input.name, readNpy(path.join(ZOO_DIR, input.file))]),
    );
    for (const entry of model.files) {
      test(`ONNX Runtime agrees with PyTorch on ${entry.file}`, async (t) => {
        const outputs = await runOnnxRuntime(path.join(ZOO_DIR, entry.file), inputs);
        assert.deepEqual(
          Object.keys(outputs),
          model.outputs.map((output) => output.name),
        );
        for (const output of model.outputs) {
          const expected = readNpy(path.join(ZOO_DIR, output.file));
          const { maxAbsolute, maxRelative, failures } = compare(outputs[output.name], expected);
          t.diagnostic(
            `${output.name}: largest absolute error ${maxAbsolute.toExponential(2)}, ` +
              `relative ${maxRelative.toExponential(2)}`,
          );
          assert.equal(failures, 0, `${output.name}: ${failures} elements out of tolerance`);
        }
      });
    }
  }
});
