// The three pictures of the chosen tile, on one phase axis: the timeline of the phases, the
// tile's memory with a block per allocation, and the bytes live at each phase.

import { hideTooltip, showTooltip, svgElement } from "./dom.js";
import { hex, niceStep, number, phaseText, plural } from "./format.js";
import { markSelectedTile } from "./heat_map.js";
import {
  blocksOf,
  columns,
  data,
  isExchange,
  isLive,
  kindClasses,
  kindIndex,
  options,
  percentOfWindow,
  phaseAt,
  phaseCount,
  state,
  tensorKind,
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
// Up to this many blocks on a tile, every block is drawn. Beyond it, blocks that would fall on
// the same cells of a grid with the same look are drawn once, the grid made coarser until no
// more than this many are left: the picture has no room for more.
const MOST_BLOCKS_DRAWN = 1000;

// How a block looks besides its kind: plain, the searched tensor's, another tensor's while one
// is searched, or not live at the chosen phase.
const MARKS = ["", " match", " dim", " faded"];

// The chosen tile's blocks as last drawn: their order by size and the bytes live at each
// column, made once per tile, and their boxes, made once per tile and vertical span.
let tileDrawing = { blocks: null, bySize: [], live: [], span: 0, boxes: null };

function xOf(phase) {
  return LEFT + (phase / columns) * PLOT_WIDTH;
}

/// The phase under the pointer in one of the three pictures, or null off the axis.
function phaseUnderPointer(svg, event) {
  const box = svg.getBoundingClientRect();
  const x = ((event.clientX - box.left) * WIDTH) / box.width;
  const phase = Math.floor(((x - LEFT) / PLOT_WIDTH) * columns);
  return phase >= 0 && phase < columns ? phase : null;
}

function blockText(block) {
  const tensorKindName = tensorKind(block.tensor);
  const kind = tensorKindName ? ` (${tensorKindName.toLowerCase()})` : "";
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

/// Columns per mark of the timeline and bar of the bytes live: one while every column has room,
/// more when there are more columns than the plot has units across.
function columnsPerMark() {
  return Math.max(1, Math.ceil(columns / PLOT_WIDTH));
}

/// A mark `count` columns wide from `first`, with a gap either side when a mark of
/// columnsPerMark() columns is wide enough to show one.
function column(first, count) {
  const gap = (columnsPerMark() * PLOT_WIDTH) / columns > 3 ? 0.5 : 0;
  const width = (count * PLOT_WIDTH) / columns;
  return { x: xOf(first) + gap, width: Math.max(0.5, width - 2 * gap) };
}

/// The marks over the first `count` columns: one per columnsPerMark() columns, of value
/// `valueOf(first, last)`, where neighbours of equal value merge when no gap would show between
/// them, unless one holds the chosen phase.
function axisMarks(count, valueOf) {
  const step = columnsPerMark();
  const merging = (step * PLOT_WIDTH) / columns <= 3;
  const holdsChosen = (first, last) =>
    state.phase !== null && first <= state.phase && state.phase < last;
  const marks = [];
  for (let first = 0; first < count; first += step) {
    const last = Math.min(count, first + step);
    const mark = { first, count: last - first, value: valueOf(first, last) };
    mark.chosen = holdsChosen(first, last);
    const previous = marks[marks.length - 1];
    if (
      merging &&
      previous !== undefined &&
      previous.value === mark.value &&
      !previous.chosen &&
      !mark.chosen
    ) {
      previous.count += mark.count;
    } else {
      marks.push(mark);
    }
  }
  return marks;
}

/// One mark per phase, or per run of phases where they outnumber the plot's units, that shows
/// an exchange if any of its phases is one.
function drawTimeline() {
  const svg = clear("timeline", TIMELINE_HEIGHT);
  svgElement(svg, "text", { x: LEFT - 6, y: 19, "text-anchor": "end" }, "phases");
  const anyExchange = (first, last) => {
    for (let phase = first; phase < last; ++phase) {
      if (isExchange(phase)) {
        return true;
      }
    }
    return false;
  };
  for (const mark of axisMarks(phaseCount, anyExchange)) {
    svgElement(svg, "rect", {
      ...column(mark.first, mark.count),
      y: 6,
      height: 18,
      class: `phase-${mark.value ? "exchange" : "compute"}`,
      "data-phase": mark.first,
    });
  }
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

/// Orders the chosen tile's blocks by size and sums the bytes live at each column, once per
/// tile; makes their boxes once per tile and vertical span. Returns `tileDrawing`.
function drawingOfTile(scale) {
  const blocks = state.blocks;
  if (tileDrawing.blocks !== blocks) {
    const bySize = blocks.map((_, index) => index);
    bySize.sort((a, b) => blocks[b].size - blocks[a].size || a - b);
    tileDrawing = { blocks, bySize, live: liveByPhase(blocks), span: 0, boxes: null };
  }
  if (scale !== undefined && (tileDrawing.boxes === null || tileDrawing.span !== scale.span)) {
    tileDrawing.span = scale.span;
    tileDrawing.boxes = blockBoxes(blocks, scale);
  }
  return tileDrawing;
}

/// The order to draw the tile's blocks in: the searched tensor's last, on top, and otherwise
/// the smallest last, so that a block drawn taller than it is cannot hide one smaller than
/// itself.
function drawingOrder(blocks, bySize) {
  if (state.tensor === null) {
    return bySize;
  }
  const others = bySize.filter((index) => blocks[index].tensor !== state.tensor);
  const matches = bySize.filter((index) => blocks[index].tensor === state.tensor);
  return others.concat(matches);
}

/// How each block looks, as an index into lookClass: its tensor's kind and its mark.
function blockLooks(blocks) {
  const looks = new Int32Array(blocks.length);
  blocks.forEach((block, index) => {
    let mark = 0;
    if (state.tensor !== null) {
      mark = block.tensor === state.tensor ? 1 : 2;
    } else if (state.phase !== null && !isLive(block, state.phase)) {
      mark = 3;
    }
    looks[index] = kindIndex(block.tensor) * MARKS.length + mark;
  });
  return looks;
}

function lookClass(look) {
  const kind = kindClasses[Math.floor(look / MARKS.length)];
  return `block ${kind}${MARKS[look % MARKS.length]}`;
}

/// Where each block is drawn: x, top, width and height, four numbers a block.
function blockBoxes(blocks, scale) {
  const boxes = new Float64Array(4 * blocks.length);
  blocks.forEach((block, index) => {
    const offset = block.address - options.data_base;
    const top = scale.yOf(offset + block.size);
    const x = xOf(block.from);
    boxes[4 * index] = x;
    boxes[4 * index + 1] = top;
    boxes[4 * index + 2] = Math.max(1, xOf(block.until + 1) - x);
    boxes[4 * index + 3] = Math.max(1, scale.yOf(offset) - top);
  });
  return boxes;
}

/// Of the blocks in drawing `order`, those to draw: all of them up to MOST_BLOCKS_DRAWN, or else
/// of those with the same look whose boxes round to the same cells of a grid, the one drawn
/// last, on a grid coarse enough to leave no more than MOST_BLOCKS_DRAWN.
function blocksToDraw(order, boxes, looks) {
  if (order.length <= MOST_BLOCKS_DRAWN) {
    return order;
  }
  // Each coordinate in cells, clamped to 11 bits, and the look make one exact integer.
  const cellOf = (value, cell) => Math.max(0, Math.min(2047, Math.round(value / cell)));
  for (let cell = 1; ; cell *= 2) {
    const seen = new Set();
    const kept = [];
    for (let i = order.length - 1; i >= 0; --i) {
      const at = 4 * order[i];
      const key =
        (((looks[order[i]] * 2048 + cellOf(boxes[at], cell)) * 2048 + cellOf(boxes[at + 1], cell)) *
          2048 +
          cellOf(boxes[at + 2], cell)) *
          2048 +
        cellOf(boxes[at + 3], cell);
      if (!seen.has(key)) {
        seen.add(key);
        kept.push(order[i]);
      }
    }
    if (kept.length <= MOST_BLOCKS_DRAWN) {
      return kept.reverse();
    }
  }
}

/// Draws the blocks and returns the places of those with room for their tensor's name.
function drawBlocks(svg, scale) {
  const blocks = state.blocks;
  const { bySize, boxes } = drawingOfTile(scale);
  const looks = blockLooks(blocks);
  const labels = [];
  for (const index of blocksToDraw(drawingOrder(blocks, bySize), boxes, looks)) {
    const [x, top, width, height] = boxes.subarray(4 * index, 4 * index + 4);
    svgElement(svg, "rect", {
      x,
      y: top,
      width,
      height,
      class: lookClass(looks[index]),
      "data-block": index,
    });
    if (height >= 12 && width >= 36) {
      labels.push({ x, top, width, height, name: tensorName(blocks[index].tensor) });
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

/// The bytes live at each column on the chosen tile, one bar per column or, where columns
/// outnumber the plot's units, per run of columns with the most of them.
function drawLiveBytes() {
  const svg = clear("live-bytes", LIVE_HEIGHT);
  const { live } = drawingOfTile();
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
  const most = (first, last) => {
    let bytes = 0;
    for (let phase = first; phase < last; ++phase) {
      bytes = Math.max(bytes, live[phase]);
    }
    return bytes;
  };
  for (const mark of axisMarks(columns, most)) {
    const height = ((bottom - top) * mark.value) / highest;
    svgElement(svg, "rect", {
      ...column(mark.first, mark.count),
      y: bottom - height,
      height,
      class: mark.chosen ? "bar chosen" : "bar",
      "data-phase": mark.first,
      "data-bytes": mark.value,
    });
  }
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
    const phase = phaseUnderPointer(memory, event);
    if (phase !== null) {
      selectPhase(phase);
    }
  });
}

function wireTimeline(timeline) {
  timeline.addEventListener("mousemove", (event) => {
    const phase = phaseUnderPointer(timeline, event);
    if (phase === null || phase >= phaseCount) {
      hideTooltip();
      return;
    }
    const row = phaseAt(phase);
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
    const phase = phaseUnderPointer(live, event);
    if (phase === null) {
      hideTooltip();
      return;
    }
    showTooltip(
      event,
      `phase ${phase}: ${number(drawingOfTile().live[phase])} bytes live on tile ${state.tile}`,
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
      const phase = phaseUnderPointer(svg, event);
      if (phase !== null) {
        selectPhase(phase);
      }
    });
  }
  for (const svg of [memory, timeline, live]) {
    svg.addEventListener("mouseleave", hideTooltip);
  }
}
