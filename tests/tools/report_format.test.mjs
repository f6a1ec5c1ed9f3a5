// The report page's formatting module, imported as the page's build joins it: how numbers,
// addresses, ranges and layouts read, and the steps of the phase axis.

import {
  heatColour,
  hex,
  layoutText,
  niceStep,
  number,
  percent,
  phaseText,
  plural,
  tileRange,
} from "../../tools/orvik/report/format.js";

import assert from "node:assert/strict";
import { describe, test } from "node:test";

describe("numbers and addresses", () => {
  test("counts get thousands separators and addresses upper-case hexadecimal", () => {
    assert.equal(number(0), "0");
    assert.equal(number(1234567), "1,234,567");
    assert.equal(hex(0x52000), "0x52000");
    assert.equal(hex(0xe0000), "0xE0000");
    assert.equal(hex(0), "0x0");
  });

  test("percentages have two decimals", () => {
    assert.equal(percent(1, 8), "12.50%");
    assert.equal(percent(581632, 581632), "100.00%");
    assert.equal(percent(0, 5), "0.00%");
  });

  test("a count takes the singular only for one", () => {
    assert.deepEqual(
      [0, 1, 2, 1500].map((count) => plural(count, "tile", "tiles")),
      ["0 tiles", "1 tile", "2 tiles", "1,500 tiles"],
    );
  });
});

describe("tiles and layouts", () => {
  test("a run of tiles is one number or its first and last joined by an en dash", () => {
    assert.equal(tileRange(7, 1), "7");
    assert.equal(tileRange(4, 6), "4\u20139");
  });

  test("a layout counts all its tiles but names only its first six runs", () => {
    const runs = Array.from({ length: 8 }, (_, i) => [10 * i, 2]);
    const text = layoutText({ tiles: runs, sharding: "Rows", alignment: 64 });
    assert.equal(
      text,
      "tiles 0\u20131, 10\u201311, 20\u201321, 30\u201331, 40\u201341, 50\u201351, \u2026 " +
        "(16 tiles), Rows, alignment 64",
    );
    assert.equal(
      layoutText({ tiles: [[3, 1]], sharding: "Replicated", alignment: 4 }),
      "tiles 3 (1 tile), Replicated, alignment 4",
    );
  });

  test("a phase reads as an exchange or as a compute with its kernel", () => {
    assert.equal(phaseText({ kind: "exchange", operation: "q" }), "exchange for q");
    assert.equal(
      phaseText({ kind: "compute", operation: "q", kernel: "matmul" }),
      "compute q (matmul)",
    );
  });
});

describe("scales", () => {
  test("axis steps are 1, 2 or 5 times a power of ten and give at most the ticks asked", () => {
    for (const span of [1, 7, 16, 17, 33, 99, 100, 101, 999, 4097, 123456]) {
      const step = niceStep(span, 16);
      const mantissa = step / 10 ** Math.floor(Math.log10(step));
      assert.ok([1, 2, 5].includes(Math.round(mantissa)), `step ${step} for ${span}`);
      assert.ok(Math.ceil(span / step) <= 16, `${Math.ceil(span / step)} ticks for ${span}`);
      // The next smaller nice step would give too many ticks.
      const smaller = Math.round(mantissa) === 5 ? (2 * step) / 5 : step / 2;
      assert.ok(step === 1 || span / smaller > 16, `step ${step} too coarse for ${span}`);
    }
  });

  test("heat colours run from pale yellow to red and clamp outside the scale", () => {
    assert.equal(heatColour(0), "hsl(55deg 85% 88%)");
    assert.equal(heatColour(1), "hsl(0deg 85% 38%)");
    assert.equal(heatColour(-3), heatColour(0));
    assert.equal(heatColour(7), heatColour(1));
  });
});
