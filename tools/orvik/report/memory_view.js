// The three pictures of the chosen tile, on one phase axis: the timeline of the phases, the
// tile's memory with a block per allocation, and the bytes live at each phase.

import { hideTooltip, showTooltip, svgElement } from "./dom.js";
import { hex, niceStep, number, phaseText, plural } from "./format.js";
import { markSelectedTile } from "./heat_map.js";
import {
  blocksOf,
  columns,
  data,
  isLive,
  kindClass,
  options,
  percentOfWindow,
  phaseCount,
  state,
  tensorName,
  tileCount,
  windowBytes,
} from "./model.js";
import { drawPhaseInfo, selectPhase } from "./phases.js";
import { drawTensorInfo, showTensor } from "./search.js";

const WIDTH = 1000;
const LEFT = 84;
const RIGHT = 12;
const PLOT_WIDTH = WIDTH - LEFT - RIGHT;
const MEMORY_HEIGHT = 380;
const MEMORY_TOP = 22;
const MEMORY_BOTTOM = 28;
const LIVE_HEIGHT = 120;
const TIMELINE_HEIGHT = 30;

function xOf(phase) {
  return LEFT + (phase / columns) * PLOT_WIDTH;
}

/// The phase under the pointer in one of the three pictures, or null off the axis.
function phaseAt(svg, event) {
  const box = svg.getBoundingClientRect();
  const x = ((event.clientX - box.left) * WIDTH) / box.width;
  const phase = Math.floor(((x - LEFT) / PLOT_WIDTH) * columns);
  return phase >= 0 && phase < columns ? phase : null;
}

function blockText(block) {
  const tensor = data.tensors[block.tensor];
  const kind = tensor ? ` (${tensor.kind.toLowerCase()})` : "";
  return (
    `${tensorName(block.tensor)}${kind}\n` +
    `address ${hex(block.address)}..${hex(block.address + block.size)}, ${number(block.size)} bytes\n` +
    `live from phase ${block.from} to ${block.until}`
  );
}

/// A horizontal line across the plot at `y`.
function rule(svg, y, kind) {
  svgElement(svg, "line", { x1: LEFT, y1: y, x2: WIDTH - RIGHT, y2: y, class: kind });
}

/// Starts a picture afresh with the given height.
function clear(id, height) {
  const svg = document.getElementById(id);
  svg.setAttribute("viewBox", `0 0 ${WIDTH} ${height}`);
  svg.replaceChildren();
  return svg;
}

function phaseTicks(svg, y) {
  const step = niceStep(columns, 16);
  for (let phase = 0; phase < columns; phase += step) {
    svgElement(svg, "text", { x: xOf(phase + 0.5), y, "text-anchor": "middle" }, String(phase));
  }
}

/// The band that marks the chosen phase, if there is one.
function phaseBand(svg, top, height) {
  if (state.phase !== null) {
    svgElement(svg, "rect", {
      x: xOf(state.phase),
      y: top,
      width: PLOT_WIDTH / columns,
      height,
      class: "phase-band",
    });
  }
}

/// Bars of equal width, one per column, with a gap between them when there is room.
function column(phase) {
  const width = PLOT_WIDTH / columns;
  const gap = width > 3 ? 0.5 : 0;
  return { x: xOf(phase) + gap, width: Math.max(0.5, width - 2 * gap) };
}

function drawTimeline() {
  const svg = clear("timeline", TIMELINE_HEIGHT);
  svgElement(svg, "text", { x: LEFT - 6, y: 19, "text-anchor": "end" }, "phases");
  data.phases.forEach((phase, index) => {
    svgElement(svg, "rect", {
      ...column(index),
      y: 6,
      height: 18,
      class: `phase-${phase.kind}`,
      "data-phase": index,
    });
  });
  phaseBand(svg, 2, 26);
}

/// The vertical scale of the memory picture: the tile's peak with some room above it, unless
/// the whole window is asked for or the peak comes close to the window's end.
function memoryScale(peak) {
  const fitsPeak = !state.wholeWindow && peak > 0 && peak < windowBytes * 0.8;
  const span = fitsPeak ? Math.max(16, Math.ceil(peak * 1.12)) : windowBytes;
  const plotHeight = MEMORY_HEIGHT - MEMORY_TOP - MEMORY_BOTTOM;
  const bottom = MEMORY_TOP + plotHeight;
  return { span, plotHeight, bottom, yOf: (offset) => bottom - (offset / span) * plotHeight };
}

function drawAddressAxis(svg, scale) {
  // Address ticks at a power of two, so that they read well in hexadecimal.
  const step = 2 ** Math.ceil(Math.log2(Math.max(1, scale.span / 5)));
  for (let offset = 0; offset <= scale.span; offset += step) {
    const y = scale.yOf(offset);
    rule(svg, y, "grid");
    svgElement(
      svg,
      "text",
      { x: LEFT - 6, y: y + 4, "text-anchor": "end" },
      hex(options.data_base + offset),
    );
  }
  rule(svg, scale.bottom, "axis");
  svgElement(svg, "line", { x1: LEFT, y1: MEMORY_TOP, x2: LEFT, y2: scale.bottom, class: "axis" });
}

/// The order to draw the tile's blocks in: the searched tensor's last, on top, and otherwise
/// the smallest last, so that a block drawn taller than it is cannot hide one smaller than
/// itself.
function drawingOrder(blocks) {
  const matches = (index) => (blocks[index].tensor === state.tensor ? 1 : 0);
  const order = blocks.map((_, index) => index);
  return order.sort((a, b) => matches(a) - matches(b) || blocks[b].size - blocks[a].size || a - b);
}

function blockClasses(block) {
  const classes = ["block", kindClass(block.tensor)];
  if (state.tensor !== null) {
    classes.push(block.tensor === state.tensor ? "match" : "dim");
  } else if (state.phase !== null && !isLive(block, state.phase)) {
    classes.push("faded");
  }
  return classes.join(" ");
}

/// Draws the blocks and returns the places of those with room for their tensor's name.
function drawBlocks(svg, scale) {
  const blocks = state.blocks;
  const labels = [];
  for (const index of drawingOrder(blocks)) {
    const block = blocks[index];
    const offset = block.address - options.data_base;
    const top = scale.yOf(offset + block.size);
    const x = xOf(block.from);
    const width = Math.max(1, xOf(block.until + 1) - x);
    const height = Math.max(1, scale.yOf(offset) - top);
    svgElement(svg, "rect", {
      x,
      y: top,
      width,
      height,
      class: blockClasses(block),
      "data-block": index,
    });
    if (height >= 12 && width >= 36) {
      labels.push({ x, top, width, height, name: tensorName(block.tensor) });
    }
  }
  return labels;
}

/// Names over the blocks that have room, each clipped to its block by a nested viewport.
function drawBlockLabels(svg, labels) {
  for (const label of labels) {
    const box = svgElement(svg, "svg", {
      x: label.x,
      y: label.top,
      width: label.width,
      height: label.height,
      class: "block-label",
    });
    svgElement(box, "text", { x: 3, y: Math.min(label.height / 2 + 4, 13) }, label.name);
  }
}

function drawPeak(svg, scale, peak) {
  if (peak > 0) {
    const y = scale.yOf(peak);
    rule(svg, y, "peak-line");
    svgElement(
      svg,
      "text",
      { x: WIDTH - RIGHT, y: y - 5, "text-anchor": "end", class: "peak-label" },
      `peak ${hex(options.data_base + peak)} (${number(peak)} bytes)`,
    );
  } else {
    svgElement(
      svg,
      "text",
      { x: LEFT + PLOT_WIDTH / 2, y: MEMORY_TOP + scale.plotHeight / 2, "text-anchor": "middle" },
      "no allocations on this tile",
    );
  }
}

/// The window's end as a line when the picture reaches it, or else a note that it lies above.
function drawWindowLimit(svg, scale, peak) {
  if (scale.span >= windowBytes) {
    const y = scale.yOf(windowBytes);
    rule(svg, y, "limit-line");
    svgElement(
      svg,
      "text",
      { x: LEFT + 4, y: y - 5, class: "limit-label" },
      `window limit ${hex(options.data_limit)}`,
    );
  } else {
    svgElement(
      svg,
      "text",
      { x: LEFT + 4, y: MEMORY_TOP - 8, class: "limit-label" },
      `\u2191 window limit ${hex(options.data_limit)} lies above; ` +
        `the peak uses ${percentOfWindow(peak)} of the window`,
    );
  }
}

export function drawMemory() {
  const svg = clear("memory", MEMORY_HEIGHT);
  const peak = data.peaks[state.tile];
  const scale = memoryScale(peak);
  document.getElementById("memory-title").textContent =
    `Memory of tile ${state.tile}: ${plural(state.blocks.length, "allocation", "allocations")}, ` +
    `peak ${number(peak)} bytes (${percentOfWindow(peak)} of the window)`;
  drawAddressAxis(svg, scale);
  phaseTicks(svg, scale.bottom + 16);
  phaseBand(svg, MEMORY_TOP, scale.plotHeight);
  drawBlockLabels(svg, drawBlocks(svg, scale));
  drawPeak(svg, scale, peak);
  drawWindowLimit(svg, scale, peak);
}

/// The bytes of `blocks` live at each column of the phase axis.
function liveByPhase(blocks) {
  // Each block adds its size where its lifetime starts and takes it away after it ends.
  const live = new Array(columns + 1).fill(0);
  for (const block of blocks) {
    live[Math.min(block.from, columns)] += block.size;
    live[Math.min(block.until + 1, columns)] -= block.size;
  }
  live.pop();
  for (let phase = 1; phase < columns; ++phase) {
    live[phase] += live[phase - 1];
  }
  return live;
}

function drawLiveBytes() {
  const svg = clear("live-bytes", LIVE_HEIGHT);
  const live = liveByPhase(state.blocks);
  const highest = live.reduce((most, bytes) => Math.max(most, bytes), 1);
  const top = 14;
  const bottom = LIVE_HEIGHT - 24;
  rule(svg, bottom, "axis");
  svgElement(svg, "text", { x: LEFT - 6, y: top + 4, "text-anchor": "end" }, number(highest));
  svgElement(svg, "text", { x: LEFT - 6, y: bottom + 4, "text-anchor": "end" }, "0");
  svgElement(
    svg,
    "text",
    { x: LEFT + 4, y: top - 3 },
    `bytes live at each phase on tile ${state.tile}`,
  );
  live.forEach((bytes, phase) => {
    const height = ((bottom - top) * bytes) / highest;
    svgElement(svg, "rect", {
      ...column(phase),
      y: bottom - height,
      height,
      class: phase === state.phase ? "bar chosen" : "bar",
      "data-phase": phase,
      "data-bytes": bytes,
    });
  });
  phaseTicks(svg, bottom + 16);
}

/// Draws the three pictures of the chosen tile and marks it in the heat map and the picker.
export function drawTile() {
  drawTimeline();
  drawMemory();
  drawLiveBytes();
  markSelectedTile();
  document.getElementById("tile-input").value = String(state.tile);
}

/// Chooses a tile; anything but a tile number is ignored.
export function selectTile(tile) {
  if (!Number.isInteger(tile) || tile < 0 || tile >= tileCount) {
    return;
  }
  state.tile = tile;
  state.blocks = blocksOf(tile);
  drawTile();
  if (state.tensor !== null) {
    drawTensorInfo();
  }
  drawPhaseInfo();
}

function wireMemory(memory) {
  memory.addEventListener("mousemove", (event) => {
    const index = event.target.dataset.block;
    if (index === undefined) {
      hideTooltip();
      return;
    }
    showTooltip(event, blockText(state.blocks[Number(index)]));
  });
  memory.addEventListener("click", (event) => {
    const index = event.target.dataset.block;
    if (index !== undefined) {
      showTensor(state.blocks[Number(index)].tensor);
    }
    const phase = phaseAt(memory, event);
    if (phase !== null) {
      selectPhase(phase);
    }
  });
}

function wireTimeline(timeline) {
  timeline.addEventListener("mousemove", (event) => {
    const phase = phaseAt(timeline, event);
    if (phase === null || phase >= phaseCount) {
      hideTooltip();
      return;
    }
    const row = data.phases[phase];
    const moved =
      row.kind === "exchange"
        ? `, ${plural(row.transfers, "transfer", "transfers")}, ${number(row.bytes)} bytes`
        : "";
    showTooltip(
      event,
      `phase ${phase}: ${phaseText(row)}\n${plural(row.tiles, "tile", "tiles")}${moved}`,
    );
  });
}

function wireLiveBytes(live) {
  live.addEventListener("mousemove", (event) => {
    const phase = phaseAt(live, event);
    if (phase === null) {
      hideTooltip();
      return;
    }
    const bar = live.querySelector(`rect[data-phase="${phase}"]`);
    showTooltip(
      event,
      `phase ${phase}: ${number(Number(bar.dataset.bytes))} bytes live on tile ${state.tile}`,
    );
  });
}

export function wireMemoryViews() {
  const memory = document.getElementById("memory");
  const timeline = document.getElementById("timeline");
  const live = document.getElementById("live-bytes");
  wireMemory(memory);
  wireTimeline(timeline);
  wireLiveBytes(live);
  for (const svg of [timeline, live]) {
    svg.addEventListener("click", (event) => {
      const phase = phaseAt(svg, event);
      if (phase !== null) {
        selectPhase(phase);
      }
    });
  }
  for (const svg of [memory, timeline, live]) {
    svg.addEventListener("mouseleave", hideTooltip);
  }
}
