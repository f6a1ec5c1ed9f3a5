// The schedule report's script: reads the schedule's data from the script element
// "report-data" and draws the header, the heat map of the tiles, the memory of the chosen tile,
// the phases and the tensor search. Everything is drawn from that data; nothing is loaded.
//
// The data, as the tool writes it:
//   name, options {tile_count, data_base, data_limit}, sound (the verifier's verdict as a
//   boolean) and verdict (its text), operations (the count);
//   tensors: [{name, kind, shape, producer, tiles: [[first, count], ...], sharding, alignment,
//     share, block, live: [from, until]}], where the last five may be null;
//   phases: [{kind, operation, kernel, tiles, transfers, bytes}];
//   peaks: the peak of every tile, 0 where it holds nothing;
//   lists: flat lists of allocations, five numbers each (tensor, address, size, live_from,
//     live_until), tensor -1 for one outside the graph;
//   tile_lists: for every tile the index of its list, -1 where it holds nothing. Tiles with
//     identical allocations share one list.
//
// When the page is drawn, the root element gets data-ready-ms: the milliseconds from the start
// of the navigation until then.

"use strict";

(function report() {
  const SVG_NS = "http://www.w3.org/2000/svg";
  const FIELDS = 5;
  const KINDS = ["Input", "Weight", "Intermediate", "Output"];

  const data = JSON.parse(document.getElementById("report-data").textContent);
  const options = data.options;
  const tileCount = options.tile_count;
  const windowBytes = options.data_limit - options.data_base;
  const phaseCount = data.phases.length;
  // Outputs live until the phase count, so the phase axis has one column more than phases.
  const columns = phaseCount + 1;

  const state = {
    tile: 0,
    // The chosen tile's allocations, as `blocksOf` gives them.
    blocks: [],
    phase: null,
    // The bytes each tile shows in the heat map, as `tileValues` gives them.
    values: [],
    tensor: null,
    wholeWindow: false,
    // "highest": from 0 to the highest value; "range": lowest to highest; "window": the window.
    heatScale: "highest",
  };

  // ---- Formatting ------------------------------------------------------------------------

  function number(value) {
    return value.toLocaleString("en-US");
  }

  function hex(value) {
    return `0x${value.toString(16).toUpperCase()}`;
  }

  function percentOfWindow(bytes) {
    return `${((100 * bytes) / windowBytes).toFixed(2)}%`;
  }

  function plural(count, one, many) {
    return `${number(count)} ${count === 1 ? one : many}`;
  }

  function tensorName(index) {
    return index >= 0 && index < data.tensors.length ? data.tensors[index].name : "?";
  }

  function kindClass(index) {
    const tensor = data.tensors[index];
    return `kind-${tensor ? tensor.kind.toLowerCase() : "unknown"}`;
  }

  function tileRange(first, count) {
    return count === 1 ? String(first) : `${first}\u2013${first + count - 1}`;
  }

  function layoutText(tensor) {
    const tiles = tensor.tiles.reduce((sum, run) => sum + run[1], 0);
    const runs = tensor.tiles.map(([first, count]) => tileRange(first, count));
    const shown = runs.length > 6 ? runs.slice(0, 6).concat("\u2026") : runs;
    return `tiles ${shown.join(", ")} (${plural(tiles, "tile", "tiles")}), ${tensor.sharding}, alignment ${tensor.alignment}`;
  }

  function phaseText(index) {
    const phase = data.phases[index];
    return phase.kind === "exchange"
      ? `exchange for ${phase.operation}`
      : `compute ${phase.operation} (${phase.kernel})`;
  }

  /// A step for about `count` ticks over `span`: 1, 2 or 5 times a power of ten.
  function niceStep(span, count) {
    const rough = Math.max(1, span / count);
    const power = 10 ** Math.floor(Math.log10(rough));
    for (const factor of [1, 2, 5]) {
      if (factor * power >= rough) {
        return factor * power;
      }
    }
    return 10 * power;
  }

  // ---- Elements --------------------------------------------------------------------------

  function element(tag, attributes, text) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      node.setAttribute(key, value);
    }
    if (text !== undefined) {
      node.textContent = text;
    }
    return node;
  }

  function svgElement(parent, tag, attributes, text) {
    const node = document.createElementNS(SVG_NS, tag);
    for (const [key, value] of Object.entries(attributes)) {
      node.setAttribute(key, value);
    }
    if (text !== undefined) {
      node.textContent = text;
    }
    parent.appendChild(node);
    return node;
  }

  function facts(list, entries) {
    list.replaceChildren();
    for (const [term, value] of entries) {
      const row = element("div");
      row.append(element("dt", {}, term), element("dd", {}, value));
      list.appendChild(row);
    }
  }

  function linkButton(text, action) {
    const button = element("button", { type: "button", class: "link" }, text);
    button.addEventListener("click", action);
    return button;
  }

  // ---- Allocations -----------------------------------------------------------------------

  /// The allocations of a tile, in the schedule's order.
  function blocksOf(tile) {
    const list = data.tile_lists[tile] < 0 ? [] : data.lists[data.tile_lists[tile]];
    const blocks = [];
    for (let i = 0; i < list.length; i += FIELDS) {
      blocks.push({
        tensor: list[i],
        address: list[i + 1],
        size: list[i + 2],
        from: list[i + 3],
        until: list[i + 4],
      });
    }
    return blocks;
  }

  function isLive(block, phase) {
    return block.from <= phase && phase <= block.until;
  }

  /// For every shared list, the bytes of its blocks live at `phase`.
  function liveBytesOfLists(phase) {
    return data.lists.map((list) => {
      let bytes = 0;
      for (let i = 0; i < list.length; i += FIELDS) {
        if (list[i + 3] <= phase && phase <= list[i + 4]) {
          bytes += list[i + 2];
        }
      }
      return bytes;
    });
  }

  /// The bytes every tile shows in the heat map: its peak, or with a phase chosen the bytes
  /// live on it at that phase.
  function tileValues() {
    if (state.phase === null) {
      return data.peaks;
    }
    const live = liveBytesOfLists(state.phase);
    return data.tile_lists.map((list) => (list < 0 ? 0 : live[list]));
  }

  /// The tile with the highest peak; the lowest such tile on a tie.
  function fullestTile() {
    let fullest = 0;
    for (let tile = 1; tile < tileCount; ++tile) {
      if (data.peaks[tile] > data.peaks[fullest]) {
        fullest = tile;
      }
    }
    return fullest;
  }

  // ---- Header ----------------------------------------------------------------------------

  function drawHeader() {
    document.title = `Schedule of ${data.name}`;
    document.getElementById("graph-name").textContent = data.name;
    const verdict = document.getElementById("verdict");
    verdict.textContent = data.sound
      ? "verifier: ok, the schedule keeps every promise"
      : `verifier: ${data.verdict}`;
    verdict.className = `verdict ${data.sound ? "ok" : "broken"}`;

    facts(document.getElementById("options"), [
      ["tiles", number(tileCount)],
      [
        "data window",
        `${hex(options.data_base)}..${hex(options.data_limit)} (${number(windowBytes)} bytes per tile)`,
      ],
    ]);

    const listSizes = data.lists.map((list) => {
      let bytes = 0;
      for (let i = 2; i < list.length; i += FIELDS) {
        bytes += list[i];
      }
      return { count: list.length / FIELDS, bytes };
    });
    let allocations = 0;
    let allocated = 0;
    let used = 0;
    for (const list of data.tile_lists) {
      if (list >= 0) {
        allocations += listSizes[list].count;
        allocated += listSizes[list].bytes;
        used += 1;
      }
    }
    let exchanges = 0;
    let transfers = 0;
    let moved = 0;
    for (const phase of data.phases) {
      exchanges += phase.kind === "exchange" ? 1 : 0;
      transfers += phase.transfers;
      moved += phase.bytes;
    }
    const highest = fullestTile();
    const peak = data.peaks[highest];
    facts(document.getElementById("totals"), [
      ["operations", number(data.operations)],
      ["tensors", number(data.tensors.length)],
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

  // ---- Heat map --------------------------------------------------------------------------

  const heatmap = document.getElementById("heatmap");
  const cells = [];

  function heatColour(fraction) {
    const f = Math.min(1, Math.max(0, fraction));
    return `hsl(${55 - 55 * f}deg 85% ${88 - 50 * f}%)`;
  }

  function buildHeatmap() {
    const across =
      tileCount <= 16 ? tileCount : tileCount <= 256 ? 16 : tileCount <= 4096 ? 64 : 128;
    const size = across <= 16 ? 30 : across <= 64 ? 12 : 6;
    heatmap.style.gridTemplateColumns = `repeat(${across}, ${size}px)`;
    const fragment = document.createDocumentFragment();
    for (let tile = 0; tile < tileCount; ++tile) {
      const cell = element("div", { class: "cell", "data-tile": tile });
      cells.push(cell);
      fragment.appendChild(cell);
    }
    heatmap.appendChild(fragment);
    heatmap.addEventListener("click", (event) => {
      const tile = event.target.dataset.tile;
      if (tile !== undefined) {
        selectTile(Number(tile));
      }
    });
    heatmap.addEventListener("mousemove", (event) => {
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
    });
    heatmap.addEventListener("mouseleave", hideTooltip);
  }

  function paintHeatmap() {
    const values = tileValues();
    state.values = values;
    let highest = 0;
    let lowest = Infinity;
    for (const value of values) {
      highest = Math.max(highest, value);
      lowest = Math.min(lowest, value);
    }
    const low = state.heatScale === "range" && lowest < highest ? lowest : 0;
    const high = state.heatScale === "window" ? windowBytes : Math.max(highest, 1);
    for (let tile = 0; tile < tileCount; ++tile) {
      const value = values[tile];
      const cell = cells[tile];
      cell.style.backgroundColor = value === 0 ? "" : heatColour((value - low) / (high - low));
      cell.classList.toggle("top", highest > 0 && value === highest);
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
  function drawFullest(values) {
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
    bands.sort((a, b) => b.bytes - a.bytes || a.first - b.first);
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

  function markHeldTiles() {
    for (const cell of heatmap.querySelectorAll(".cell.holds")) {
      cell.classList.remove("holds");
    }
    if (state.tensor === null) {
      return;
    }
    for (const [first, count] of data.tensors[state.tensor].tiles) {
      for (let tile = first; tile < first + count && tile < tileCount; ++tile) {
        cells[tile].classList.add("holds");
      }
    }
  }

  // ---- Tooltip ---------------------------------------------------------------------------

  const tooltip = document.getElementById("tooltip");

  function showTooltip(event, text) {
    tooltip.textContent = text;
    tooltip.hidden = false;
    const margin = 14;
    let left = event.clientX + margin;
    let top = event.clientY + margin;
    if (left + tooltip.offsetWidth > window.innerWidth) {
      left = event.clientX - margin - tooltip.offsetWidth;
    }
    if (top + tooltip.offsetHeight > window.innerHeight) {
      top = event.clientY - margin - tooltip.offsetHeight;
    }
    tooltip.style.left = `${Math.max(0, left)}px`;
    tooltip.style.top = `${Math.max(0, top)}px`;
  }

  function hideTooltip() {
    tooltip.hidden = true;
  }

  // ---- Memory of the chosen tile ---------------------------------------------------------

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
    const svg = document.getElementById("timeline");
    svg.setAttribute("viewBox", `0 0 ${WIDTH} ${TIMELINE_HEIGHT}`);
    svg.replaceChildren();
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

  function drawMemory() {
    const svg = document.getElementById("memory");
    svg.setAttribute("viewBox", `0 0 ${WIDTH} ${MEMORY_HEIGHT}`);
    svg.replaceChildren();
    const tile = state.tile;
    const blocks = state.blocks;
    const peak = data.peaks[tile];
    const fitsPeak = !state.wholeWindow && peak > 0 && peak < windowBytes * 0.8;
    const span = fitsPeak ? Math.max(16, Math.ceil(peak * 1.12)) : windowBytes;
    const plotHeight = MEMORY_HEIGHT - MEMORY_TOP - MEMORY_BOTTOM;
    const bottom = MEMORY_TOP + plotHeight;
    const yOf = (offset) => bottom - (offset / span) * plotHeight;

    document.getElementById("memory-title").textContent =
      `Memory of tile ${tile}: ${plural(blocks.length, "allocation", "allocations")}, ` +
      `peak ${number(peak)} bytes (${percentOfWindow(peak)} of the window)`;

    // Address ticks at a power of two, so that they read well in hexadecimal.
    const step = 2 ** Math.ceil(Math.log2(Math.max(1, span / 5)));
    for (let offset = 0; offset <= span; offset += step) {
      const y = yOf(offset);
      svgElement(svg, "line", { x1: LEFT, y1: y, x2: WIDTH - RIGHT, y2: y, class: "grid" });
      svgElement(
        svg,
        "text",
        { x: LEFT - 6, y: y + 4, "text-anchor": "end" },
        hex(options.data_base + offset),
      );
    }
    svgElement(svg, "line", { x1: LEFT, y1: bottom, x2: WIDTH - RIGHT, y2: bottom, class: "axis" });
    svgElement(svg, "line", { x1: LEFT, y1: MEMORY_TOP, x2: LEFT, y2: bottom, class: "axis" });
    phaseTicks(svg, bottom + 16);
    phaseBand(svg, MEMORY_TOP, plotHeight);

    const labels = [];
    // The searched tensor's blocks are drawn last, on top, and otherwise the smallest, so that
    // a block drawn taller than it is cannot hide one smaller than itself.
    const matches = (index) => (blocks[index].tensor === state.tensor ? 1 : 0);
    const order = blocks.map((_, index) => index);
    order.sort((a, b) => matches(a) - matches(b) || blocks[b].size - blocks[a].size || a - b);
    for (const index of order) {
      const block = blocks[index];
      const offset = block.address - options.data_base;
      const top = yOf(offset + block.size);
      const x = xOf(block.from);
      const width = Math.max(1, xOf(block.until + 1) - x);
      const height = Math.max(1, yOf(offset) - top);
      const classes = ["block", kindClass(block.tensor)];
      if (state.tensor !== null) {
        classes.push(block.tensor === state.tensor ? "match" : "dim");
      } else if (state.phase !== null && !isLive(block, state.phase)) {
        classes.push("faded");
      }
      svgElement(svg, "rect", {
        x,
        y: top,
        width,
        height,
        class: classes.join(" "),
        "data-block": index,
      });
      if (height >= 12 && width >= 36) {
        labels.push({ x, top, width, height, name: tensorName(block.tensor) });
      }
    }
    // Names over the blocks that have room, each clipped to its block by a nested viewport.
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

    if (peak > 0) {
      const y = yOf(peak);
      svgElement(svg, "line", { x1: LEFT, y1: y, x2: WIDTH - RIGHT, y2: y, class: "peak-line" });
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
        { x: LEFT + PLOT_WIDTH / 2, y: MEMORY_TOP + plotHeight / 2, "text-anchor": "middle" },
        "no allocations on this tile",
      );
    }
    if (span >= windowBytes) {
      const y = yOf(windowBytes);
      svgElement(svg, "line", { x1: LEFT, y1: y, x2: WIDTH - RIGHT, y2: y, class: "limit-line" });
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

  function drawLiveBytes() {
    const svg = document.getElementById("live-bytes");
    svg.setAttribute("viewBox", `0 0 ${WIDTH} ${LIVE_HEIGHT}`);
    svg.replaceChildren();
    // Each block adds its size where its lifetime starts and takes it away after it ends.
    const live = new Array(columns + 1).fill(0);
    for (const block of state.blocks) {
      live[Math.min(block.from, columns)] += block.size;
      live[Math.min(block.until + 1, columns)] -= block.size;
    }
    live.pop();
    let highest = 1;
    for (let phase = 0; phase < columns; ++phase) {
      live[phase] += phase > 0 ? live[phase - 1] : 0;
      highest = Math.max(highest, live[phase]);
    }
    const top = 14;
    const bottom = LIVE_HEIGHT - 24;
    svgElement(svg, "line", { x1: LEFT, y1: bottom, x2: WIDTH - RIGHT, y2: bottom, class: "axis" });
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

  function drawTile() {
    drawTimeline();
    drawMemory();
    drawLiveBytes();
    for (const cell of heatmap.querySelectorAll(".cell.selected")) {
      cell.classList.remove("selected");
    }
    cells[state.tile].classList.add("selected");
    document.getElementById("tile-input").value = String(state.tile);
  }

  function selectTile(tile) {
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

  function showTensor(index) {
    if (index >= 0) {
      document.getElementById("search").value = data.tensors[index].name;
      selectTensor(index);
    }
  }

  function wireMemoryViews() {
    const memory = document.getElementById("memory");
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
    const timeline = document.getElementById("timeline");
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
        `phase ${phase}: ${phaseText(phase)}\n${plural(row.tiles, "tile", "tiles")}${moved}`,
      );
    });
    const live = document.getElementById("live-bytes");
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

  // ---- Phases ----------------------------------------------------------------------------

  const phaseRows = [];

  function buildPhaseTable() {
    const body = document.querySelector("#phases tbody");
    const fragment = document.createDocumentFragment();
    data.phases.forEach((phase, index) => {
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
      phaseRows.push(row);
      fragment.appendChild(row);
    });
    body.appendChild(fragment);
    body.addEventListener("click", (event) => {
      const row = event.target.closest("tr");
      if (row) {
        selectPhase(Number(row.dataset.phase));
      }
    });
  }

  function selectPhase(phase) {
    state.phase = phase === null ? null : Math.max(0, Math.min(columns - 1, phase));
    for (const row of phaseRows) {
      row.classList.remove("chosen");
    }
    if (state.phase !== null && state.phase < phaseCount) {
      const row = phaseRows[state.phase];
      row.classList.add("chosen");
      const scroller = row.closest(".table-scroll");
      scroller.scrollTop = Math.max(0, row.offsetTop - scroller.clientHeight / 2);
    }
    paintHeatmap();
    drawTile();
    drawPhaseInfo();
  }

  function drawPhaseInfo() {
    const box = document.getElementById("phase-info");
    if (state.phase === null) {
      box.replaceChildren(
        element(
          "p",
          { class: "hint" },
          "Click the timeline, the memory picture or a row of the table to choose a phase.",
        ),
      );
      return;
    }
    box.replaceChildren();
    const phase = state.phase;
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
    box.appendChild(nav);

    const info = element("dl", { class: "info" });
    const add = (term, value) => info.append(element("dt", {}, term), element("dd", {}, value));
    add("phase", String(phase));
    if (phase < phaseCount) {
      const row = data.phases[phase];
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
    const live = liveBytesOfLists(phase);
    let everywhere = 0;
    let tiles = 0;
    for (const list of data.tile_lists) {
      if (list >= 0 && live[list] > 0) {
        everywhere += live[list];
        tiles += 1;
      }
    }
    add("live on all tiles", `${number(everywhere)} bytes on ${plural(tiles, "tile", "tiles")}`);
    box.appendChild(info);

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
    if (blocks.length === 0) {
      return;
    }
    const scroller = element("div", { id: "live-list" });
    const table = element("table");
    const head = element("tr");
    head.append(
      element("th", {}, "tensor"),
      element("th", {}, "address"),
      element("th", { class: "number" }, "bytes"),
    );
    table.appendChild(head);
    for (const block of blocks) {
      const row = element("tr");
      const name = element("td");
      name.appendChild(linkButton(tensorName(block.tensor), () => showTensor(block.tensor)));
      row.append(
        name,
        element("td", {}, hex(block.address)),
        element("td", { class: "number" }, number(block.size)),
      );
      table.appendChild(row);
    }
    scroller.appendChild(table);
    box.appendChild(scroller);
  }

  // ---- Tensor search ---------------------------------------------------------------------

  const tensorByName = new Map();

  function buildSearch() {
    const names = document.getElementById("tensor-names");
    const fragment = document.createDocumentFragment();
    data.tensors.forEach((tensor, index) => {
      if (!tensorByName.has(tensor.name)) {
        tensorByName.set(tensor.name, index);
        fragment.appendChild(element("option", { value: tensor.name }));
      }
    });
    names.appendChild(fragment);
    const search = document.getElementById("search");
    search.addEventListener("input", () => findTensor(search.value));
  }

  /// Shows the tensor named exactly `text`, or else the one whose name alone contains it, or
  /// else the names that contain it to choose from.
  function findTensor(text) {
    const query = text.trim();
    if (query === "") {
      selectTensor(null);
      return;
    }
    if (tensorByName.has(query)) {
      selectTensor(tensorByName.get(query));
      return;
    }
    const lower = query.toLowerCase();
    const matches = [];
    data.tensors.forEach((tensor, index) => {
      if (tensor.name.toLowerCase().includes(lower)) {
        matches.push(index);
      }
    });
    if (matches.length === 1) {
      selectTensor(matches[0]);
      return;
    }
    selectTensor(null);
    const box = document.getElementById("tensor-info");
    if (matches.length === 0) {
      box.replaceChildren(element("p", {}, `No tensor's name contains \u201c${query}\u201d.`));
      return;
    }
    box.replaceChildren(element("p", {}, `${number(matches.length)} tensors match; choose one:`));
    const list = element("ul", { class: "matches" });
    for (const index of matches.slice(0, 20)) {
      const item = element("li");
      item.appendChild(linkButton(data.tensors[index].name, () => showTensor(index)));
      list.appendChild(item);
    }
    if (matches.length > 20) {
      list.appendChild(element("li", {}, `and ${number(matches.length - 20)} more`));
    }
    box.appendChild(list);
  }

  function selectTensor(index) {
    state.tensor = index;
    markHeldTiles();
    drawMemory();
    drawTensorInfo();
  }

  function drawTensorInfo() {
    const box = document.getElementById("tensor-info");
    if (state.tensor === null) {
      box.replaceChildren(
        element(
          "p",
          { class: "hint" },
          "Type a name in the search box, or click a block, to see a tensor.",
        ),
      );
      return;
    }
    const tensor = data.tensors[state.tensor];
    const title = element("p");
    title.append(
      element("span", { class: `swatch ${kindClass(state.tensor)}` }),
      element("span", { class: "name" }, tensor.name),
      ` (${tensor.kind.toLowerCase()})`,
    );
    const info = element("dl", { class: "info", id: "tensor-facts" });
    const add = (term, value) => info.append(element("dt", {}, term), element("dd", {}, value));
    add("shape", tensor.shape.map(number).join(" \u00d7 "));
    add("layout", tensor.tiles.length > 0 ? layoutText(tensor) : "none");
    const block = tensor.block === null ? "" : ` (block of ${number(tensor.block)} bytes)`;
    add("share", tensor.share === null ? "none" : `${number(tensor.share)} bytes per tile${block}`);
    add(
      "lifetime",
      tensor.live === null ? "no allocations" : `phases ${tensor.live[0]}..${tensor.live[1]}`,
    );
    if (tensor.producer !== null) {
      add("written by", tensor.producer);
    }
    const here = state.blocks.filter((candidate) => candidate.tensor === state.tensor);
    const places = here.map((found) => `${hex(found.address)}..${hex(found.address + found.size)}`);
    add(`on tile ${state.tile}`, here.length === 0 ? "no block" : places.join(", "));
    box.replaceChildren(title, info);
    if (here.length === 0 && tensor.tiles.length > 0) {
      const first = tensor.tiles[0][0];
      box.appendChild(linkButton(`show its first tile, ${first}`, () => selectTile(first)));
    }
  }

  // ---- Start -----------------------------------------------------------------------------

  function drawKindLegend() {
    const legend = document.getElementById("kind-legend");
    for (const kind of KINDS) {
      const item = element("span");
      item.append(
        element("span", { class: `swatch kind-${kind.toLowerCase()}` }),
        kind.toLowerCase(),
      );
      legend.appendChild(item);
    }
    legend.appendChild(element("span", {}, "dashed red: the tile's peak"));
  }

  function wireControls() {
    document.getElementById("whole-window").addEventListener("change", (event) => {
      state.wholeWindow = event.target.checked;
      drawTile();
    });
    document.getElementById("heat-scale").addEventListener("change", (event) => {
      state.heatScale = event.target.value;
      paintHeatmap();
    });
    document.getElementById("tile-input").addEventListener("change", (event) => {
      selectTile(Number(event.target.value));
    });
    document.addEventListener("keydown", (event) => {
      if (event.target.closest("input, select") || state.phase === null) {
        return;
      }
      if (event.key === "ArrowLeft" && state.phase > 0) {
        selectPhase(state.phase - 1);
      } else if (event.key === "ArrowRight" && state.phase < columns - 1) {
        selectPhase(state.phase + 1);
      }
    });
  }

  drawHeader();
  buildHeatmap();
  buildPhaseTable();
  buildSearch();
  drawKindLegend();
  wireMemoryViews();
  wireControls();
  paintHeatmap();
  selectTile(fullestTile());
  document.documentElement.dataset.readyMs = String(Math.round(performance.now()));
})();
