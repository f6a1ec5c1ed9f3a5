// The heat map of the tiles, one cell per tile coloured by its bytes, and the list of the
// fullest tiles beside it.

import { element, hideTooltip, linkButton, showTooltip } from "./dom.js";
import { heatColour, number, tileRange } from "./format.js";
import { percentOfWindow, state, tensorAt, tileCount, tileValues, windowBytes } from "./model.js";
import { selectTile } from "./memory_view.js";

const heatmap = document.getElementById("heatmap");
// Rows of cells in a band of the heat map.
const BAND_ROWS = 8;
const cells = [];
// The cells marked as holding the searched tensor, and the one marked as chosen.
let heldCells = [];
let selectedCell = null;
// The colour and the fullest mark each cell has, so that painting touches only the cells that
// change.
const paintedColour = [];
const paintedTop = [];

/// Tiles across a row of the heat map, and the size of a cell in pixels.
function gridOf(tiles) {
  const across = tiles <= 16 ? tiles : tiles <= 256 ? 16 : tiles <= 4096 ? 64 : 128;
  return { across, size: across <= 16 ? 30 : across <= 64 ? 12 : 6 };
}

function showTileTooltip(event) {
  const tile = event.target.dataset.tile;
  if (tile === undefined) {
    hideTooltip();
    return;
  }
  const bytes = state.values[Number(tile)];
  const what = state.phase === null ? "peak" : `live at phase ${state.phase}:`;
  showTooltip(
    event,
    `tile ${tile}\n${what} ${number(bytes)} bytes (${percentOfWindow(bytes)} of the window)`,
  );
}

/// The cells in bands of BAND_ROWS rows, each laid out and painted only while near the screen
/// and on its own when one of its cells changes.
export function buildHeatmap() {
  const { across, size } = gridOf(tileCount);
  const bandTiles = across * BAND_ROWS;
  const blankCell = element("div", { class: "cell" });
  const fragment = document.createDocumentFragment();
  for (let first = 0; first < tileCount; first += bandTiles) {
    const tiles = Math.min(bandTiles, tileCount - first);
    const rows = Math.ceil(tiles / across);
    const band = element("div", { class: "band" });
    band.style.gridTemplateColumns = `repeat(${across}, ${size}px)`;
    band.style.containIntrinsicSize = `${across * (size + 1) - 1}px ${rows * (size + 1) - 1}px`;
    for (let tile = first; tile < first + tiles; ++tile) {
      // Copies of one cell, as making each afresh takes longer with tens of thousands of them.
      const cell = blankCell.cloneNode(false);
      cell.setAttribute("data-tile", tile);
      cells.push(cell);
      paintedColour.push("");
      paintedTop.push(false);
      band.appendChild(cell);
    }
    fragment.appendChild(band);
  }
  heatmap.appendChild(fragment);
  heatmap.addEventListener("click", (event) => {
    const tile = event.target.dataset.tile;
    if (tile !== undefined) {
      selectTile(Number(tile));
    }
  });
  heatmap.addEventListener("mousemove", showTileTooltip);
  heatmap.addEventListener("mouseleave", hideTooltip);
}

/// The bytes at either end of the colour scale, and the highest of `values`.
function scaleOf(values) {
  let highest = 0;
  let lowest = Infinity;
  for (const value of values) {
    highest = Math.max(highest, value);
    lowest = Math.min(lowest, value);
  }
  const low = state.heatScale === "range" && lowest < highest ? lowest : 0;
  const high = state.heatScale === "window" ? windowBytes : Math.max(highest, 1);
  return { low, high, highest };
}

export function paintHeatmap() {
  const values = tileValues();
  state.values = values;
  const { low, high, highest } = scaleOf(values);
  for (let tile = 0; tile < tileCount; ++tile) {
    const value = values[tile];
    const colour = value === 0 ? "" : heatColour((value - low) / (high - low));
    const top = highest > 0 && value === highest;
    if (paintedColour[tile] !== colour) {
      cells[tile].style.backgroundColor = colour;
      paintedColour[tile] = colour;
    }
    if (paintedTop[tile] !== top) {
      cells[tile].classList.toggle("top", top);
      paintedTop[tile] = top;
    }
  }
  document.getElementById("heat-caption").textContent =
    (state.phase === null ? "by peak bytes" : `by bytes live at phase ${state.phase}`) +
    "; a white dot marks the fullest";
  document.getElementById("legend-low").textContent = `${number(low)} bytes`;
  document.getElementById("legend-high").textContent =
    `${number(high)} bytes (${percentOfWindow(high)} of the window)`;
  drawFullest(values);
}

/// The bands of consecutive tiles with equal bytes, fullest first.
function bandsOf(values) {
  const bands = [];
  for (let tile = 0; tile < tileCount;) {
    let end = tile + 1;
    while (end < tileCount && values[end] === values[tile]) {
      ++end;
    }
    if (values[tile] > 0) {
      bands.push({ first: tile, count: end - tile, bytes: values[tile] });
    }
    tile = end;
  }
  return bands.sort((a, b) => b.bytes - a.bytes || a.first - b.first);
}

function drawFullest(values) {
  const bands = bandsOf(values);
  document.getElementById("fullest-title").textContent =
    state.phase === null ? "Fullest tiles" : `Fullest tiles at phase ${state.phase}`;
  const list = document.getElementById("fullest");
  list.replaceChildren();
  for (const band of bands.slice(0, 10)) {
    const item = element("li");
    const tiles = `${band.count === 1 ? "tile" : "tiles"} ${tileRange(band.first, band.count)}`;
    item.appendChild(
      linkButton(`${tiles}: ${number(band.bytes)} bytes (${percentOfWindow(band.bytes)})`, () =>
        selectTile(band.first),
      ),
    );
    list.appendChild(item);
  }
  if (bands.length === 0) {
    list.appendChild(element("li", {}, "no tile holds anything"));
  }
}

/// Marks the cells of the tiles that hold the searched tensor.
export function markHeldTiles() {
  for (const cell of heldCells) {
    cell.classList.remove("holds");
  }
  heldCells = [];
  if (state.tensor === null) {
    return;
  }
  for (const [first, count] of tensorAt(state.tensor).tiles) {
    for (let tile = first; tile < first + count && tile < tileCount; ++tile) {
      cells[tile].classList.add("holds");
      heldCells.push(cells[tile]);
    }
  }
}

/// Marks the cell of the chosen tile. Leaves the cells alone while it stays the same: the mark
/// takes the cell out of the grid's flow, so changing it lays out the cell's band again.
export function markSelectedTile() {
  if (selectedCell !== cells[state.tile]) {
    selectedCell?.classList.remove("selected");
    selectedCell = cells[state.tile];
    selectedCell.classList.add("selected");
  }
}
