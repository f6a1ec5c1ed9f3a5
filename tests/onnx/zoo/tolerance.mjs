// The one tolerance of the zoo's comparisons, between PyTorch, ONNX Runtime and orvik.

import assert from "node:assert/strict";

export const TOLERANCE = { relative: 1e-4, absolute: 1e-5 };

/** The worst element of `actual` against `expected` under `TOLERANCE`, and how many exceed it. */
export function compare(actual, expected) {
  assert.equal(actual.dtype, expected.dtype);
  assert.deepEqual(actual.shape, expected.shape);
  let maxAbsolute = 0;
  let maxRelative = 0;
  let failures = 0;
  for (let i = 0; i < expected.data.length; ++i) {
    const want = Number(expected.data[i]);
    const difference = Math.abs(Number(actual.data[i]) - want);
    // Written so that NaN fails.
    if (!(difference <= TOLERANCE.absolute + TOLERANCE.relative * Math.abs(want))) {
      ++failures;
    }
    maxAbsolute = Math.max(maxAbsolute, Number.isNaN(difference) ? Infinity : difference);
    // Relative error where the relative bound is the larger one.
    if (Math.abs(want) * TOLERANCE.relative >= TOLERANCE.absolute) {
      maxRelative = Math.max(maxRelative, difference / Math.abs(want));
    }
  }
  return { maxAbsolute, maxRelative, failures };
}
