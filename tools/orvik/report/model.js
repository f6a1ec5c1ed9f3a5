// The schedule's data as the tool writes it into the script element "report-data", what the
// page derives from it, and the state of the page: the chosen tile, phase and tensor.
//
// The data:
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

import { percent } from "./format.js";

const FIELDS = 5;

export const data = JSON.parse(document.getElementById("report-data").textContent);
export const options = data.options;
export const tileCount = options.tile_count;
export const windowBytes = options.data_limit - options.data_base;
export const phaseCount = data.phases.length;
// Outputs live until the phase count, so the phase axis has one column more than phases.
export const columns = phaseCount + 1;

export const state = {
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

export function percentOfWindow(bytes) {
  return percent(bytes, windowBytes);
}

export function tensorName(index) {
  return index >= 0 && index < data.tensors.length ? data.tensors[index].name : "?";
}

/// The class that colours a tensor's blocks by its kind.
export function kindClass(index) {
  const tensor = data.tensors[index];
  return `kind-${tensor ? tensor.kind.toLowerCase() : "unknown"}`;
}

/// The allocations of a tile, in the schedule's order.
export function blocksOf(tile) {
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

export function isLive(block, phase) {
  return block.from <= phase && phase <= block.until;
}

/// For every shared list, the bytes of its blocks live at `phase`.
export function liveBytesOfLists(phase) {
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
export function tileValues() {
  if (state.phase === null) {
    return data.peaks;
  }
  const live = liveBytesOfLists(state.phase);
  return data.tile_lists.map((list) => (list < 0 ? 0 : live[list]));
}

/// The tile with the highest peak; the lowest such tile on a tie.
export function fullestTile() {
  let fullest = 0;
  for (let tile = 1; tile < tileCount; ++tile) {
    if (data.peaks[tile] > data.peaks[fullest]) {
      fullest = tile;
    }
  }
  return fullest;
}

/// The allocations over all tiles, their bytes, and the tiles that hold any.
export function allocationTotals() {
  const listSizes = data.lists.map((list) => {
    let bytes = 0;
    for (let i = 2; i < list.length; i += FIELDS) {
      bytes += list[i];
    }
    return { count: list.length / FIELDS, bytes };
  });
  const totals = { allocations: 0, allocated: 0, used: 0 };
  for (const list of data.tile_lists) {
    if (list >= 0) {
      totals.allocations += listSizes[list].count;
      totals.allocated += listSizes[list].bytes;
      totals.used += 1;
    }
  }
  return totals;
}

/// The exchange phases, and the transfers and bytes of all phases.
export function phaseTotals() {
  const totals = { exchanges: 0, transfers: 0, moved: 0 };
  for (const phase of data.phases) {
    totals.exchanges += phase.kind === "exchange" ? 1 : 0;
    totals.transfers += phase.transfers;
    totals.moved += phase.bytes;
  }
  return totals;
}
