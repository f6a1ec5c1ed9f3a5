// The table of the phases, and the panel of the chosen phase: what it does and what is live on
// the chosen tile then.

import { adder, element, hint, linkButton } from "./dom.js";
import { hex, number, plural } from "./format.js";
import { paintHeatmap } from "./heat_map.js";
import { drawTile } from "./memory_view.js";
import {
  columns,
  data,
  isLive,
  liveBytesOfLists,
  phaseAt,
  phaseCount,
  state,
  tensorName,
} from "./model.js";
import { showTensor } from "./search.js";
import { virtualRows } from "./virtual_rows.js";

const PHASE_CELLS = 7;
let phaseRows = null;

function phaseRow(index) {
  const phase = phaseAt(index);
  const row = element("tr", { "data-phase": index });
  row.append(
    element("td", { class: "number" }, String(index)),
    element("td", {}, phase.kind),
    element("td", {}, phase.operation),
    element("td", {}, phase.kernel || "\u2013"),
    element("td", { class: "number" }, number(phase.tiles)),
    element("td", { class: "number" }, number(phase.transfers)),
    element("td", { class: "number" }, number(phase.bytes)),
  );
  if (index === state.phase) {
    row.classList.add("chosen");
  }
  return row;
}

export function buildPhaseTable() {
  const body = document.querySelector("#phases tbody");
  phaseRows = virtualRows(body.closest(".table-scroll"), body, phaseCount, PHASE_CELLS, phaseRow);
  body.addEventListener("click", (event) => {
    const row = event.target.closest("tr[data-phase]");
    if (row) {
      selectPhase(Number(row.dataset.phase));
    }
  });
}

/// Marks the chosen phase's row and scrolls it to the middle of the table.
function markChosenRow() {
  if (state.phase !== null && state.phase < phaseCount) {
    phaseRows.reveal(state.phase);
  } else {
    phaseRows.draw();
  }
}

/// Chooses a phase, clamped to the phase axis, or with null none.
export function selectPhase(phase) {
  state.phase = phase === null ? null : Math.max(0, Math.min(columns - 1, phase));
  markChosenRow();
  paintHeatmap();
  drawTile();
  drawPhaseInfo();
}

function phaseNav(phase) {
  const nav = element("div", { class: "phase-nav" });
  const previous = element("button", { type: "button" }, "\u2190 previous");
  previous.disabled = phase === 0;
  previous.addEventListener("click", () => selectPhase(phase - 1));
  const next = element("button", { type: "button" }, "next \u2192");
  next.disabled = phase === columns - 1;
  next.addEventListener("click", () => selectPhase(phase + 1));
  const clear = element("button", { type: "button" }, "show peaks");
  clear.addEventListener("click", () => selectPhase(null));
  nav.append(previous, next, clear);
  return nav;
}

/// The bytes live at `phase` over all tiles, and the tiles that hold any of them.
function liveEverywhere(phase) {
  const live = liveBytesOfLists(phase);
  let bytes = 0;
  let tiles = 0;
  for (const list of data.tile_lists) {
    if (list >= 0 && live[list] > 0) {
      bytes += live[list];
      tiles += 1;
    }
  }
  return { bytes, tiles };
}

function phaseFacts(phase) {
  const info = element("dl", { class: "info" });
  const add = adder(info);
  add("phase", String(phase));
  if (phase < phaseCount) {
    const row = phaseAt(phase);
    add("kind", row.kind);
    add("operation", row.operation);
    if (row.kind === "compute") {
      add("kernel", row.kernel);
    }
    add("tiles", number(row.tiles));
    if (row.kind === "exchange") {
      add("transfers", `${number(row.transfers)}, ${number(row.bytes)} bytes`);
    }
  } else {
    add("kind", "after the last phase, where the graph's outputs stay");
  }
  const everywhere = liveEverywhere(phase);
  add(
    "live on all tiles",
    `${number(everywhere.bytes)} bytes on ${plural(everywhere.tiles, "tile", "tiles")}`,
  );
  return info;
}

/// The table of the blocks live on the chosen tile, by address, in `box`.
function drawLiveList(box, blocks) {
  const scroller = element("div", { id: "live-list" });
  const table = element("table");
  const head = element("thead");
  const headRow = element("tr");
  headRow.append(
    element("th", {}, "tensor"),
    element("th", {}, "address"),
    element("th", { class: "number" }, "bytes"),
  );
  head.appendChild(headRow);
  const body = element("tbody");
  table.append(head, body);
  scroller.appendChild(table);
  box.appendChild(scroller);
  virtualRows(scroller, body, blocks.length, 3, (index) => {
    const block = blocks[index];
    const row = element("tr");
    const name = element("td");
    name.appendChild(linkButton(tensorName(block.tensor), () => showTensor(block.tensor)));
    row.append(
      name,
      element("td", {}, hex(block.address)),
      element("td", { class: "number" }, number(block.size)),
    );
    return row;
  });
}

export function drawPhaseInfo() {
  const box = document.getElementById("phase-info");
  if (state.phase === null) {
    box.replaceChildren(
      hint("Click the timeline, the memory picture or a row of the table to choose a phase."),
    );
    return;
  }
  const phase = state.phase;
  box.replaceChildren(phaseNav(phase), phaseFacts(phase));
  const blocks = state.blocks
    .filter((block) => isLive(block, phase))
    .sort((a, b) => a.address - b.address);
  const total = blocks.reduce((sum, block) => sum + block.size, 0);
  box.appendChild(
    element(
      "p",
      { id: "live-summary" },
      `Live on tile ${state.tile}: ${plural(blocks.length, "block", "blocks")}, ${number(total)} bytes`,
    ),
  );
  if (blocks.length > 0) {
    drawLiveList(box, blocks);
  }
}
