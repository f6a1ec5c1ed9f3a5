// Tables that draw only the rows their scroller shows, so that a table of 100,000 phases costs
// no more to show, scroll or mark than one of a screenful.

import { element } from "./dom.js";

// Rows drawn above and below those in view, so that a short scroll finds them drawn.
const OVERSCAN = 10;
// The row height assumed until a drawn row has been measured.
const ASSUMED_ROW_HEIGHT = 22;
// The row height of each table, by the id of the nearest element around its body that has one.
// A row is measured once the frame it appears in has been drawn, since measuring before would
// make the browser lay out the page then and there; a table such as the live list, made anew at
// every phase chosen, takes the height measured before.
const rowHeights = new Map();

function spacerRow(cells) {
  const row = element("tr", { class: "spacer", "aria-hidden": "true" });
  row.appendChild(element("td", { colspan: cells }));
  return row;
}

/// Shows `count` rows of equal height in `body`, a tbody inside the scrolling element
/// `scroller`: only those in view and OVERSCAN either side are made, by `makeRow(index)`, and
/// two spacer rows of `cells` columns stand for the others. Every second row gets the class
/// "striped". Returns `draw()`, which makes the rows in view anew (after the rows changed or
/// the view moved), and `reveal(index)`, which scrolls row `index` to the middle of the view
/// and draws.
export function virtualRows(scroller, body, count, cells, makeRow) {
  const table = body.closest("[id]").id;
  const above = spacerRow(cells);
  const below = spacerRow(cells);
  let drawnFirst = -1;
  let drawnLast = -1;
  let revealed = null;
  let scrollTop = 0;
  // The scroller's height as last measured; until then the window's, which no scroller inside
  // it exceeds.
  let viewHeight = window.innerHeight;

  function rowHeight() {
    return rowHeights.get(table) ?? ASSUMED_ROW_HEIGHT;
  }

  function drawRange(first, last) {
    const rows = [above];
    for (let index = first; index < last; ++index) {
      const row = makeRow(index);
      row.classList.toggle("striped", index % 2 === 1);
      rows.push(row);
    }
    rows.push(below);
    above.firstChild.style.height = `${first * rowHeight()}px`;
    below.firstChild.style.height = `${(count - last) * rowHeight()}px`;
    body.replaceChildren(...rows);
    drawnFirst = first;
    drawnLast = last;
  }

  // The rows in view, from the scroll offset and the scroller's height as last seen or set:
  // reading them from the scroller here would lay out the page.
  function range() {
    const top = Math.floor(scrollTop / rowHeight());
    const inView = Math.ceil(viewHeight / rowHeight()) + 1;
    return [Math.max(0, top - OVERSCAN), Math.min(count, top + inView + OVERSCAN)];
  }

  function scrollToRevealed() {
    if (revealed !== null) {
      // The header is about a row high.
      const target = (revealed + 1) * rowHeight() - viewHeight / 2;
      scrollTop = Math.max(0, Math.min(target, (count + 1) * rowHeight()));
      scroller.scrollTop = scrollTop;
    }
  }

  function draw() {
    const [first, last] = range();
    drawRange(first, last);
  }

  /// Once the frame has been drawn, measures the scroller and, the first time for the table, a
  /// drawn row; draws again if the rows are not the height assumed.
  function measureWhenDrawn() {
    requestAnimationFrame(() =>
      setTimeout(() => {
        if (!body.isConnected) {
          return;
        }
        viewHeight = scroller.clientHeight || viewHeight;
        const row = body.querySelector("tr:not(.spacer)");
        const height = row ? row.offsetHeight : 0;
        if (height > 0 && !rowHeights.has(table)) {
          rowHeights.set(table, height);
          if (height !== ASSUMED_ROW_HEIGHT) {
            scrollToRevealed();
            draw();
          }
        }
      }, 0),
    );
  }

  scroller.addEventListener("scroll", () => {
    scrollTop = scroller.scrollTop;
    viewHeight = scroller.clientHeight;
    const [first, last] = range();
    if (first !== drawnFirst || last !== drawnLast) {
      drawRange(first, last);
    }
  });

  function reveal(index) {
    revealed = index;
    scrollToRevealed();
    draw();
  }

  draw();
  measureWhenDrawn();
  return {
    draw() {
      revealed = null;
      draw();
    },
    reveal,
  };
}
