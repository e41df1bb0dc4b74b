// The explorer of tarnwick's HTML report: drill into the bytes (region, section, archive,
// object, symbol), and search and sort every symbol; the table follows the drill-down. With a
// baseline, what changed comes first, and both can show only what changed. Reads its data
// from the page; renders only the table rows in view, so 100,000 symbols stay responsive.
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("tarnwick-data").textContent);
  var S = data.strings, rows = data.symbols;
  var compared = rows.some(function (r) { return r[6] !== null; });
  var ROW = 22, EXTRA = 8;
  var onlyChanged = false, scope = null;  // scope: which rows the node in focus holds (null: all)
  var scopedFor = data.tree;  // the node the scope is of

  function bytes(n) { return n.toLocaleString("en-US") + " B"; }
  function signed(n) {
    if (n === null || n === undefined) return "";
    if (n === 0) return "±0 B";
    return (n > 0 ? "+" : "−") + Math.abs(n).toLocaleString("en-US") + " B";
  }
  function sign(n) { return n > 0 ? "grown" : n < 0 ? "shrunk" : ""; }
  function el(tag, attrs, text) {
    var node = document.createElement(tag);
    for (var k in attrs) node.setAttribute(k, attrs[k]);
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // --- drill-down: the children of the node in focus as blocks sized by their bytes ---------
  var path = [data.tree];
  var crumbs = document.getElementById("crumbs"), blocks = document.getElementById("blocks");
  var children = document.getElementById("children");

  function focus() { return path[path.length - 1]; }

  // An object file lists its symbols as row numbers, which become nodes only when opened.
  function childrenOf(node) {
    if (node[3] === "symbol") return [];
    if (node[3] !== "object" && node[3] !== "file") return node[4];
    return node[4].map(function (i) {
      return typeof i === "number" ? [rows[i][0], rows[i][5], rows[i][6], "symbol", i] : i;
    });
  }
  function rawName(r) { return r[1] === null ? r[0] : r[1]; }
  function changed(node) { return node[2] !== null && node[2] !== undefined && node[2] !== 0; }

  // the row numbers below a node: an object's (or source file's) children that are numbers
  function rowsUnder(node, into) {
    node[4].forEach(function (child) {
      if (typeof child === "number") into[child] = 1;
      else if (child[3] !== "rest") rowsUnder(child, into);
    });
    return into;
  }

  // the nodes from the root down to the object holding row i, or null
  function pathTo(node, i) {
    if (node[3] === "object" || node[3] === "file") return node[4].indexOf(i) >= 0 ? [node] : null;
    for (var k = 0; k < node[4].length; k += 1) {
      var child = node[4][k];
      if (typeof child !== "number" && child[3] !== "rest" && child[3] !== "symbol") {
        var found = pathTo(child, i);
        if (found) return [node].concat(found);
      }
    }
    return null;
  }

  var heading = document.getElementById("drill-heading");

  function drawDrill(moveFocus) {
    crumbs.textContent = "";
    path.forEach(function (node, depth) {
      if (depth) crumbs.appendChild(document.createTextNode(" › "));
      var crumb = el("button", {"class": "crumb", "type": "button", "data-depth": depth}, node[0]);
      crumb.addEventListener("click", function () { path = path.slice(0, depth + 1); drawDrill(true); });
      crumbs.appendChild(crumb);
    });
    var node = focus(), all = childrenOf(node), total = Math.max(node[1], 1);
    var kids = onlyChanged ? all.filter(changed) : all;
    heading.textContent = node[0] + ": " + bytes(node[1]) + (path.length > 1 ? " (Escape: up one level)" : "");
    blocks.textContent = "";
    children.textContent = "";
    var shown = 0;
    kids.forEach(function (child, i) {
      var share = child[1] / total;
      if (i < 60 && share >= 0.004) {
        var label = child[0] + ": " + bytes(child[1]) + (child[2] ? " (" + signed(child[2]) + ")" : "");
        var opens = child[3] !== "rest";
        // a block is a button when it opens; arrow keys move between blocks, one tab stop for all
        var block = el(opens ? "button" : "div", {"class": "block " + child[3] + " " + sign(child[2]),
                                                  "data-name": child[0], "title": label,
                                                  "aria-label": label, "tabindex": shown ? "-1" : "0"});
        if (opens) block.setAttribute("type", "button");
        else block.setAttribute("role", "img");
        block.style.flexGrow = String(child[1]);
        block.appendChild(el("span", {"aria-hidden": "true"}, child[0]));
        if (opens) block.addEventListener("click", function () { drill(child); });
        blocks.appendChild(block);
        shown += 1;
      }
    });
    if (shown < kids.length) blocks.appendChild(el("div", {"class": "block more"}, "+" + (kids.length - shown)));
    kids.slice(0, 200).forEach(function (child) {
      var item = el("li", {"class": child[3]});
      if (child[3] === "rest") {  // bytes no symbol names: nothing further to open
        item.appendChild(el("span", {"class": "rest"}, child[0]));
      } else {
        var link = el("button", {"type": "button", "class": "child"}, child[0]);
        link.addEventListener("click", function () { drill(child); });
        item.appendChild(link);
      }
      item.appendChild(el("span", {"class": "size"}, " " + bytes(child[1])));
      if (child[2]) item.appendChild(el("span", {"class": "delta " + sign(child[2])}, " " + signed(child[2])));
      children.appendChild(item);
    });
    if (kids.length > 200) children.appendChild(el("li", {}, "… and " + (kids.length - 200) + " more"));
    if (kids.length < all.length) {
      children.appendChild(el("li", {"class": "note"}, (all.length - kids.length) + " unchanged not shown"));
    }
    if (node !== scopedFor) {  // the table follows the drill-down
      scopedFor = node;
      scope = path.length > 1 ? rowsUnder(node, new Uint8Array(rows.length)) : null;
      filter();
    }
    if (moveFocus) heading.focus();
  }

  function drill(child) {
    if (child[3] === "rest") return;
    if (child[3] === "symbol") {  // a symbol: show it in the table
      search.value = child[0];
      filter();
      search.focus();
      return;
    }
    path.push(child);
    drawDrill(true);
  }

  function up() {
    if (path.length < 2) return;
    path.pop();
    drawDrill(true);
  }

  // by memory region or by source folder, where the build's debug information gives the latter
  document.querySelectorAll("#views button[data-view]").forEach(function (button) {
    button.addEventListener("click", function () {
      path = [button.getAttribute("data-view") === "sources" ? data.sources : data.tree];
      document.querySelectorAll("#views button").forEach(function (b) {
        b.setAttribute("aria-pressed", b === button ? "true" : "false");
      });
      drawDrill(true);
    });
  });

  document.getElementById("explorer").addEventListener("keydown", function (event) {
    if (event.key === "Escape") {
      up();
      event.preventDefault();
      return;
    }
    var target = event.target;
    if (!target.classList || !target.classList.contains("block")) return;
    var all = Array.prototype.slice.call(blocks.querySelectorAll(".block[tabindex]"));
    var at = all.indexOf(target), next = at;
    if (event.key === "ArrowRight" || event.key === "ArrowDown") next = Math.min(all.length - 1, at + 1);
    else if (event.key === "ArrowLeft" || event.key === "ArrowUp") next = Math.max(0, at - 1);
    else if (event.key === "Home") next = 0;
    else if (event.key === "End") next = all.length - 1;
    else return;
    event.preventDefault();
    all[at].setAttribute("tabindex", "-1");
    all[next].setAttribute("tabindex", "0");
    all[next].focus();
  });

  // --- the symbol table: search, sort, and only the rows in view ----------------------------
  var search = document.getElementById("search"), viewport = document.getElementById("viewport");
  var spacer = document.getElementById("spacer"), body = document.getElementById("rows");
  var count = document.getElementById("count");
  var shownRows = rows.slice(), order = {key: 5, down: true};
  var keys = {name: 0, object: 2, source: 8, section: 3, region: 4, size: 5, change: 6};
  var sourced = !!data.sourced;  // each row's source file as its last item, where debug information gives one

  function text(n) { return n === null || n === undefined ? "" : S[n]; }
  function value(row, key) { return (key >= 2 && key <= 4) || key === 8 ? text(row[key]) : row[key]; }

  function sortRows() {
    var key = order.key, down = order.down ? -1 : 1;
    shownRows.sort(function (a, b) {
      var x = value(a, key), y = value(b, key);
      if (x === null) x = -Infinity;
      if (y === null) y = -Infinity;
      if (x < y) return -down;
      if (x > y) return down;
      return a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0;
    });
  }

  function filter() {
    var query = search.value.trim().toLowerCase();
    shownRows = !query && !scope && !onlyChanged ? rows.slice() : rows.filter(function (r, i) {
      if (scope && !scope[i]) return false;
      if (onlyChanged && !changed([0, 0, r[6]])) return false;
      return !query || r[0].toLowerCase().indexOf(query) >= 0 ||
             (r[1] !== null && r[1].toLowerCase().indexOf(query) >= 0) || S[r[2]].toLowerCase().indexOf(query) >= 0 ||
             (sourced && text(r[8]).toLowerCase().indexOf(query) >= 0);
    });
    sortRows();
    viewport.scrollTop = 0;
    active = 0;
    drawRows();
  }

  var active = 0;  // the row the arrow keys are on

  function drawRows() {
    var hadFocus = body.contains(document.activeElement);  // redrawing must not drop it to the page
    spacer.style.height = (shownRows.length * ROW) + "px";
    var first = Math.max(0, Math.floor(viewport.scrollTop / ROW) - EXTRA);
    var last = Math.min(shownRows.length, first + Math.ceil(viewport.clientHeight / ROW) + 2 * EXTRA);
    body.style.transform = "translateY(" + (first * ROW) + "px)";
    body.textContent = "";
    for (var i = first; i < last; i += 1) {
      var r = shownRows[i], tr = el("tr", {"class": "symbol-row", "data-index": String(i),
                                           "tabindex": i === active ? "0" : "-1"});
      tr.appendChild(el("td", {"class": "name", "title": rawName(r)}, r[0]));
      tr.appendChild(el("td", {}, S[r[2]]));
      tr.appendChild(el("td", {}, S[r[3]]));
      tr.appendChild(el("td", {}, S[r[4]]));
      tr.appendChild(el("td", {"class": "num"}, (r[7] || "") + bytes(r[5])));
      if (compared) tr.appendChild(el("td", {"class": "num delta " + sign(r[6])}, signed(r[6])));
      if (sourced) tr.appendChild(el("td", {"class": "source"}, text(r[8])));
      body.appendChild(tr);
    }
    count.textContent = shownRows.length.toLocaleString("en-US") + " of " + rows.length.toLocaleString("en-US") +
      " symbols" + (scope ? " in " + path.slice(1).map(function (n) { return n[0]; }).join(" › ") : "") +
      (onlyChanged ? ", only what changed" : "") +
      (data.unlisted ? " (the largest; " + data.unlisted.toLocaleString("en-US") +
      " smaller ones are in the JSON report)" : "");
    if (hadFocus) {
      var row = body.querySelector('tr[data-index="' + active + '"]');
      (row || viewport).focus({preventScroll: true});
    }
  }

  // each header is a button that sorts by its column (again: the other way)
  document.querySelectorAll("#symbol-table th[data-key]").forEach(function (th) {
    th.querySelector("button").addEventListener("click", function () {
      var key = keys[th.getAttribute("data-key")];
      order = {key: key, down: order.key === key ? !order.down : key >= 5};
      document.querySelectorAll("#symbol-table th").forEach(function (h) {
        h.removeAttribute("data-order");
        h.setAttribute("aria-sort", "none");
      });
      th.setAttribute("data-order", order.down ? "down" : "up");
      th.setAttribute("aria-sort", order.down ? "descending" : "ascending");
      sortRows();
      active = 0;
      drawRows();
    });
  });

  // Up and Down, Page Up and Page Down, Home and End move through the rows, drawing them as
  // they come into view; the row moved to takes the focus.
  viewport.addEventListener("keydown", function (event) {
    var page = Math.max(1, Math.floor(viewport.clientHeight / ROW) - 1), next = active;
    if (event.key === "ArrowDown") next = active + 1;
    else if (event.key === "ArrowUp") next = active - 1;
    else if (event.key === "PageDown") next = active + page;
    else if (event.key === "PageUp") next = active - page;
    else if (event.key === "Home") next = 0;
    else if (event.key === "End") next = shownRows.length - 1;
    else return;
    event.preventDefault();
    active = Math.max(0, Math.min(shownRows.length - 1, next));
    var top = active * ROW;
    if (top < viewport.scrollTop) viewport.scrollTop = top;
    else if (top + ROW > viewport.scrollTop + viewport.clientHeight) viewport.scrollTop = top + ROW - viewport.clientHeight;
    drawRows();
    var row = body.querySelector('tr[data-index="' + active + '"]');
    if (row) row.focus();
  });
  // with a baseline: the changes first, largest first, each leading to where it is
  var list = document.getElementById("changed"), only = document.getElementById("changes-only");
  function show(nodes, name) {
    path = nodes;
    drawDrill(false);
    if (name !== undefined) {
      search.value = name;
      filter();
    }
    heading.focus();
  }
  if (list) {
    data.tree[4].filter(changed).forEach(function (region) {
      var item = el("li", {"class": "region-change"});
      var button = el("button", {"type": "button", "class": "child"}, region[0]);
      button.addEventListener("click", function () { show([data.tree, region]); });
      item.appendChild(button);
      item.appendChild(el("span", {"class": "delta " + sign(region[2])}, " " + signed(region[2])));
      list.appendChild(item);
    });
    var moved = [];
    rows.forEach(function (r, i) { if (changed([0, 0, r[6]])) moved.push(i); });
    moved.sort(function (a, b) { return Math.abs(rows[b][6]) - Math.abs(rows[a][6]) || (rows[a][0] < rows[b][0] ? -1 : 1); });
    moved.slice(0, 25).forEach(function (i) {
      var r = rows[i], item = el("li", {"class": "symbol-change"});
      var button = el("button", {"type": "button", "class": "child"}, r[0]);
      button.addEventListener("click", function () { show(pathTo(data.tree, i) || [data.tree], r[0]); });
      item.appendChild(button);
      item.appendChild(el("span", {"class": "size"}, " " + S[r[2]]));
      item.appendChild(el("span", {"class": "delta " + sign(r[6])}, " " + signed(r[6])));
      list.appendChild(item);
    });
    if (moved.length > 25) list.appendChild(el("li", {}, "… and " + (moved.length - 25) + " more symbols"));
    if (!list.children.length) list.appendChild(el("li", {}, "Nothing changed since the baseline."));
  }
  if (only) only.addEventListener("change", function () {
    onlyChanged = only.checked;
    drawDrill(false);
    filter();
  });

  var pending = null;
  search.addEventListener("input", function () {
    clearTimeout(pending);
    pending = setTimeout(filter, 80);
  });
  viewport.addEventListener("scroll", function () { window.requestAnimationFrame(drawRows); });

  // times as the reader's own local date and time
  document.querySelectorAll("time[datetime]").forEach(function (t) {
    var moment = new Date(t.getAttribute("datetime"));
    if (!isNaN(moment.getTime())) t.textContent = moment.toLocaleString(undefined, {
      year: "numeric", month: "2-digit", day: "2-digit", hour: "2-digit", minute: "2-digit", second: "2-digit",
      timeZoneName: "short"});
  });

  sortRows();
  drawDrill(false);
  drawRows();
  document.body.setAttribute("data-ready-ms", String(Math.round(performance.now())));
  document.body.setAttribute("data-ready", "true");
})();
