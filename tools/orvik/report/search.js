// The tensor search: the names to choose from, the tensor found, and the panel that shows its
// shape, layout, share, lifetime and place on the chosen tile.

import { adder, element, hint, linkButton } from "./dom.js";
import { hex, layoutText, number } from "./format.js";
import { markHeldTiles } from "./heat_map.js";
import { drawMemory, selectTile } from "./memory_view.js";
import { data, kindClass, state, tensorAt, tensorCount, tensorName } from "./model.js";

const MATCHES_SHOWN = 20;
// The index of the search, made at the first search so that loading does not wait for it: the
// first tensor of each name, and every name in lower case.
let tensorByName = null;
let lowerNames = null;

function searchIndex() {
  if (tensorByName === null) {
    tensorByName = new Map();
    lowerNames = new Array(tensorCount);
    data.tensors.names.forEach((name, index) => {
      if (!tensorByName.has(name)) {
        tensorByName.set(name, index);
      }
      lowerNames[index] = name.toLowerCase();
    });
  }
  return tensorByName;
}

/// Offers the names of the first tensors in `indices` to complete the search box with.
function offerNames(indices) {
  const names = document.getElementById("tensor-names");
  const offered = new Set();
  const options = [];
  for (const index of indices) {
    const name = tensorName(index);
    if (!offered.has(name)) {
      offered.add(name);
      options.push(element("option", { value: name }));
      if (options.length === MATCHES_SHOWN) {
        break;
      }
    }
  }
  names.replaceChildren(...options);
}

export function buildSearch() {
  offerNames(Array.from({ length: Math.min(tensorCount, MATCHES_SHOWN) }, (_, index) => index));
  const search = document.getElementById("search");
  search.addEventListener("input", () => findTensor(search.value));
}

/// The tensors whose names contain `query`, in any case.
function tensorsMatching(query) {
  searchIndex();
  const lower = query.toLowerCase();
  const matches = [];
  for (let index = 0; index < tensorCount; ++index) {
    if (lowerNames[index].includes(lower)) {
      matches.push(index);
    }
  }
  return matches;
}

/// Lists the first of several matches to choose from, or says that nothing matches.
function showMatches(query, matches) {
  const box = document.getElementById("tensor-info");
  if (matches.length === 0) {
    box.replaceChildren(element("p", {}, `No tensor's name contains \u201c${query}\u201d.`));
    return;
  }
  box.replaceChildren(element("p", {}, `${number(matches.length)} tensors match; choose one:`));
  const list = element("ul", { class: "matches" });
  for (const index of matches.slice(0, MATCHES_SHOWN)) {
    const item = element("li");
    item.appendChild(linkButton(tensorName(index), () => showTensor(index)));
    list.appendChild(item);
  }
  if (matches.length > MATCHES_SHOWN) {
    list.appendChild(element("li", {}, `and ${number(matches.length - MATCHES_SHOWN)} more`));
  }
  box.appendChild(list);
}

/// Shows the tensor named exactly `text`, or else the one whose name alone contains it, or
/// else the names that contain it to choose from; offers the names that contain it.
function findTensor(text) {
  const query = text.trim();
  if (query === "") {
    selectTensor(null);
    return;
  }
  const matches = tensorsMatching(query);
  offerNames(matches);
  if (searchIndex().has(query)) {
    selectTensor(searchIndex().get(query));
    return;
  }
  if (matches.length === 1) {
    selectTensor(matches[0]);
    return;
  }
  selectTensor(null);
  showMatches(query, matches);
}

function selectTensor(index) {
  state.tensor = index;
  markHeldTiles();
  drawMemory();
  drawTensorInfo();
}

/// Puts the name of tensor `index` into the search box and shows it; ignores -1, a block
/// outside the graph.
export function showTensor(index) {
  if (index >= 0) {
    document.getElementById("search").value = tensorName(index);
    selectTensor(index);
  }
}

/// The facts of the searched tensor, and its blocks on the chosen tile.
function tensorFacts(tensor, here) {
  const info = element("dl", { class: "info", id: "tensor-facts" });
  const add = adder(info);
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
  const places = here.map((found) => `${hex(found.address)}..${hex(found.address + found.size)}`);
  add(`on tile ${state.tile}`, here.length === 0 ? "no block" : places.join(", "));
  return info;
}

export function drawTensorInfo() {
  const box = document.getElementById("tensor-info");
  if (state.tensor === null) {
    box.replaceChildren(hint("Type a name in the search box, or click a block, to see a tensor."));
    return;
  }
  const tensor = tensorAt(state.tensor);
  const title = element("p");
  title.append(
    element("span", { class: `swatch ${kindClass(state.tensor)}` }),
    element("span", { class: "name" }, tensor.name),
    ` (${tensor.kind.toLowerCase()})`,
  );
  const here = state.blocks.filter((candidate) => candidate.tensor === state.tensor);
  box.replaceChildren(title, tensorFacts(tensor, here));
  if (here.length === 0 && tensor.tiles.length > 0) {
    const first = tensor.tiles[0][0];
    box.appendChild(linkButton(`show its first tile, ${first}`, () => selectTile(first)));
  }
}
