// The schedule's data as the tool writes it into the script element "report-data", what the
// page derives from it, and the state of the page: the chosen tile, phase and tensor.
//
// The data, in columns so that its size grows by a few numbers per tensor, phase and
// allocation:
//   name, options {tile_count, data_base, data_limit}, sound (the verifier's verdict as a
//   boolean) and verdict (its text), operations (the count), operation_names (null for an
//   operation named as the tensor it produces);
//   tensors: {names, kinds (indices into kind_names), shape (indices into shapes), layout
//     (indices into layouts, each [tile runs [[first, count], ...], sharding, alignment, share],
//     -1 for none), producers (indices into operation_names, -1 for none), blocks (three
//     numbers a tensor: block size, live from, live until; -1 three times without allocations)};
//   phases: {kernels (entry 0 is "", an exchange's), rows: six numbers a phase: exchange (1) or
//     compute (0), operation (-1 for none), kernel, tiles, transfers, bytes};
//   peaks: the peak of every tile, 0 where it holds nothing;
//   lists: flat lists of allocations, five numbers each (tensor, address, size, live_from,
//     live_until), tensor -1 for one outside the graph;
//   tile_lists: for every tile the index of its list, -1 where it holds nothing. Tiles with
//     identical allocations share one list.

import { percent } from "./format.js";

const FIELDS = 5;
const PHASE_FIELDS = 6;

export const data = JSON.parse(document.getElementById("report-data").textContent);
export const options = data.options;
export const tileCount = options.tile_count;
export const windowBytes = options.data_limit - options.data_base;
export const tensorCount = data.tensors.names.length;
export const phaseCount = data.phases.rows.length / PHASE_FIELDS;
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

// The tensor each operation produces, by operation, for the names left out of operation_names.
const producedBy = new Map();
data.tensors.producers.forEach((operation, tensor) => {
  if (operation >= 0) {
    producedBy.set(operation, tensor);
  }
});

function operationName(index) {
  if (!(index >= 0 && index < data.operation_names.length)) {
    return "?";
  }
  const name = data.operation_names[index];
  return name !== null ? name : data.tensors.names[producedBy.get(index)];
}

/// Tensor `index` as one record: name, kind, shape, producer, tiles, sharding, alignment,
/// share, block and live, the last five null where it has no layout or no allocations; null
/// for an index outside the graph.
export function tensorAt(index) {
  if (!(index >= 0 && index < tensorCount)) {
    return null;
  }
  const tensors = data.tensors;
  const layout = tensors.layout[index] < 0 ? null : tensors.layouts[tensors.layout[index]];
  const producer = tensors.producers[index];
  const block = tensors.blocks[3 * index];
  return {
    name: tensors.names[index],
    kind: tensors.kind_names[tensors.kinds[index]],
    shape: tensors.shapes[tensors.shape[index]],
    producer: producer < 0 ? null : operationName(producer),
    tiles: layout ? layout[0] : [],
    sharding: layout ? layout[1] : null,
    alignment: layout ? layout[2] : null,
    share: layout ? layout[3] : null,
    block: block < 0 ? null : block,
    live: block < 0 ? null : [tensors.blocks[3 * index + 1], tensors.blocks[3 * index + 2]],
  };
}

/// Phase `index` as one record: kind, operation, kernel, tiles, transfers and bytes.
export function phaseAt(index) {
  const rows = data.phases.rows;
  const at = PHASE_FIELDS * index;
  return {
    kind: rows[at] === 1 ? "exchange" : "compute",
    operation: operationName(rows[at + 1]),
    kernel: data.phases.kernels[rows[at + 2]],
    tiles: rows[at + 3],
    transfers: rows[at + 4],
    bytes: rows[at + 5],
  };
}

/// Whether phase `index` is an exchange, without building its record.
export function isExchange(index) {
  return data.phases.rows[PHASE_FIELDS * index] === 1;
}

export function tensorName(index) {
  return index >= 0 && index < tensorCount ? data.tensors.names[index] : "?";
}

/// The kind of tensor `index`, "Input" for example, or null for an index outside the graph.
export function tensorKind(index) {
  return index >= 0 && index < tensorCount
    ? data.tensors.kind_names[data.tensors.kinds[index]]
    : null;
}

/// The classes that colour blocks by their tensor's kind, in the order of kind_names, and last
/// that of a tensor outside the graph.
export const kindClasses = data.tensors.kind_names
  .map((kind) => `kind-${kind.toLowerCase()}`)
  .concat("kind-unknown");

/// The index in kindClasses of tensor `index`'s class.
export function kindIndex(index) {
  return index >= 0 && index < tensorCount ? data.tensors.kinds[index] : kindClasses.length - 1;
}

/// The class that colours a tensor's blocks by its kind.
export function kindClass(index) {
  return kindClasses[kindIndex(index)];
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
  const rows = data.phases.rows;
  const totals = { exchanges: 0, transfers: 0, moved: 0 };
  for (let at = 0; at < rows.length; at += PHASE_FIELDS) {
    totals.exchanges += rows[at];
    totals.transfers += rows[at + 4];
    totals.moved += rows[at + 5];
  }
  return totals;
}
