// The schedule report's script: draws the header, the heat map of the tiles, the memory of the
// chosen tile, the phases and the tensor search from the schedule's data in the page. Nothing
// is loaded. The build joins this file and the modules it imports into the page's one inline
// script.
//
// When the page is drawn and its first frame shown, the root element gets data-ready-ms: the
// milliseconds from the start of the navigation until then.

import { element } from "./dom.js";
import { drawHeader } from "./header.js";
import { buildHeatmap, paintHeatmap } from "./heat_map.js";
import { selectTile, wireMemoryViews, drawTile } from "./memory_view.js";
import { fullestTile, state, columns } from "./model.js";
import { buildPhaseTable, selectPhase } from "./phases.js";
import { buildSearch } from "./search.js";

const KINDS = ["Input", "Weight", "Intermediate", "Output"];

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

/// The arrow keys step through the phases once one is chosen, unless a field has the focus.
function stepPhaseByKey(event) {
  if (event.target.closest("input, select") || state.phase === null) {
    return;
  }
  if (event.key === "ArrowLeft" && state.phase > 0) {
    selectPhase(state.phase - 1);
  } else if (event.key === "ArrowRight" && state.phase < columns - 1) {
    selectPhase(state.phase + 1);
  }
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
  document.addEventListener("keydown", stepPhaseByKey);
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
// A task queued from the next animation frame runs once that frame has been rendered.
requestAnimationFrame(() =>
  setTimeout(() => {
    document.documentElement.dataset.readyMs = String(Math.round(performance.now()));
  }, 0),
);
