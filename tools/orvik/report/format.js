// How the report writes numbers, addresses, counts and ranges. Pure functions of their
// arguments, so that they read the same on the page and in node.

// One formatter for every number: making one per call costs more than the formatting.
const NUMBER_FORMAT = new Intl.NumberFormat("en-US");

/// A count or byte size with thousands separators: 1,234,567.
export function number(value) {
  return NUMBER_FORMAT.format(value);
}

/// An address in upper-case hexadecimal: 0x52000.
export function hex(value) {
  return `0x${value.toString(16).toUpperCase()}`;
}

/// `part` as a percentage of `whole`, to two decimals: 12.50%.
export function percent(part, whole) {
  return `${((100 * part) / whole).toFixed(2)}%`;
}

/// A count with the noun that fits it: "1 tile", "2 tiles".
export function plural(count, one, many) {
  return `${number(count)} ${count === 1 ? one : many}`;
}

/// A run of `count` tiles from `first`: "7" or "4–9".
export function tileRange(first, count) {
  return count === 1 ? String(first) : `${first}\u2013${first + count - 1}`;
}

/// Where a tensor lives: its first six runs of tiles, the tile count, the sharding and the
/// alignment.
export function layoutText(tensor) {
  const tiles = tensor.tiles.reduce((sum, run) => sum + run[1], 0);
  const runs = tensor.tiles.map(([first, count]) => tileRange(first, count));
  const shown = runs.length > 6 ? runs.slice(0, 6).concat("\u2026") : runs;
  return `tiles ${shown.join(", ")} (${plural(tiles, "tile", "tiles")}), ${tensor.sharding}, alignment ${tensor.alignment}`;
}

/// What a phase does: "exchange for q" or "compute q (matmul)".
export function phaseText(phase) {
  return phase.kind === "exchange"
    ? `exchange for ${phase.operation}`
    : `compute ${phase.operation} (${phase.kernel})`;
}

/// A step for about `count` ticks over `span`: 1, 2 or 5 times a power of ten.
export function niceStep(span, count) {
  const rough = Math.max(1, span / count);
  const power = 10 ** Math.floor(Math.log10(rough));
  for (const factor of [1, 2, 5]) {
    if (factor * power >= rough) {
      return factor * power;
    }
  }
  return 10 * power;
}

/// The heat map's colour of a fraction of its scale, clamped to [0, 1]: pale yellow to red.
export function heatColour(fraction) {
  const f = Math.min(1, Math.max(0, fraction));
  return `hsl(${55 - 55 * f}deg 85% ${88 - 50 * f}%)`;
}
