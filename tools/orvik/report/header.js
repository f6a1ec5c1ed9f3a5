// The page's header: the graph's name, the verifier's verdict, the options and the totals.

import { facts } from "./dom.js";
import { hex, number } from "./format.js";
import {
  allocationTotals,
  data,
  fullestTile,
  options,
  percentOfWindow,
  phaseCount,
  phaseTotals,
  tensorCount,
  tileCount,
  windowBytes,
} from "./model.js";

function drawVerdict() {
  const verdict = document.getElementById("verdict");
  verdict.textContent = data.sound
    ? "verifier: ok, the schedule keeps every promise"
    : `verifier: ${data.verdict}`;
  verdict.className = `verdict ${data.sound ? "ok" : "broken"}`;
}

function drawTotals() {
  const { allocations, allocated, used } = allocationTotals();
  const { exchanges, transfers, moved } = phaseTotals();
  const highest = fullestTile();
  const peak = data.peaks[highest];
  facts(document.getElementById("totals"), [
    ["operations", number(data.operations)],
    ["tensors", number(tensorCount)],
    [
      "phases",
      `${number(phaseCount)} (${number(phaseCount - exchanges)} compute, ${number(exchanges)} exchange)`,
    ],
    ["transfers", `${number(transfers)}, ${number(moved)} bytes moved`],
    ["allocations", `${number(allocations)}, ${number(allocated)} bytes allocated`],
    ["tiles used", `${number(used)} of ${number(tileCount)}`],
    [
      "highest peak",
      `${number(peak)} bytes on tile ${highest} (${percentOfWindow(peak)} of the window)`,
    ],
  ]);
}

export function drawHeader() {
  document.title = `Schedule of ${data.name}`;
  document.getElementById("graph-name").textContent = data.name;
  drawVerdict();
  facts(document.getElementById("options"), [
    ["tiles", number(tileCount)],
    [
      "data window",
      `${hex(options.data_base)}..${hex(options.data_limit)} (${number(windowBytes)} bytes per tile)`,
    ],
  ]);
  drawTotals();
}
