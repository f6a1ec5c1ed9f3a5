// Building elements, and the tooltip that follows the pointer.

const SVG_NS = "http://www.w3.org/2000/svg";

/// An HTML element with the given attributes and, if given, text.
export function element(tag, attributes, text) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) {
    node.setAttribute(key, value);
  }
  if (text !== undefined) {
    node.textContent = text;
  }
  return node;
}

/// An SVG element with the given attributes and, if given, text, appended to `parent`.
export function svgElement(parent, tag, attributes, text) {
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

/// Replaces the rows of a definition list with the [term, value] entries.
export function facts(list, entries) {
  list.replaceChildren();
  for (const [term, value] of entries) {
    const row = element("div");
    row.append(element("dt", {}, term), element("dd", {}, value));
    list.appendChild(row);
  }
}

/// A button that looks like a link.
export function linkButton(text, action) {
  const button = element("button", { type: "button", class: "link" }, text);
  button.addEventListener("click", action);
  return button;
}

/// A paragraph that tells the reader what to do.
export function hint(text) {
  return element("p", { class: "hint" }, text);
}

/// A function that appends a term and its value to the definition list `info`.
export function adder(info) {
  return (term, value) => info.append(element("dt", {}, term), element("dd", {}, value));
}

const tooltip = document.getElementById("tooltip");

/// Shows `text` next to the pointer, kept inside the window.
export function showTooltip(event, text) {
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

export function hideTooltip() {
  tooltip.hidden = true;
}
