#include "FlameGraphHtml.h"

#include <nlohmann/json.hpp>

#include "ProfileStacks.h"

namespace Qvprof {

namespace {

const char* const PageStart = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Flame graph</title>
<style>
body { font: 13px sans-serif; margin: 0; color: #222; }
header { padding: 8px 12px; background: #f4f4f4; border-bottom: 1px solid #ccc; }
header h1 { font-size: 15px; margin: 0 0 6px 0; }
header label { margin-right: 12px; }
#details { padding: 4px 12px; min-height: 18px; font-family: monospace; white-space: pre; }
#graph { position: relative; margin: 0 12px 12px 12px; }
.frame { position: absolute; height: 17px; line-height: 17px; overflow: hidden;
         white-space: nowrap; text-overflow: ellipsis; font: 11px monospace; padding: 0 3px;
         box-sizing: border-box; border: 1px solid rgba(255,255,255,0.8); cursor: pointer; }
.frame.match { background: #c0f !important; color: #fff; }
.frame.dim { opacity: 0.45; }
</style>
</head>
<body>
<header>
<h1 id="title"></h1>
<label>Thread <select id="thread"></select></label>
<label>Search <input id="search" type="search" placeholder="part of a name"></label>
<button id="reset">Reset zoom</button>
<span id="matched"></span>
</header>
<div id="details">Hover a frame for its figures; click to zoom.</div>
<div id="graph"></div>
<script type="application/json" id="profile-data">)page";

const char* const PageEnd = R"page(</script>
<script>
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("profile-data").textContent);
  const graph = document.getElementById("graph");
  const details = document.getElementById("details");
  const select = document.getElementById("thread");
  const search = document.getElementById("search");
  const rowHeight = 18;
  let thread = null, zoom = 0;

  document.getElementById("title").textContent = data.title;
  document.title = data.title + " - flame graph";
  data.threads.forEach(function (t, i) {
    const option = document.createElement("option");
    option.value = i;
    option.textContent = t.name;
    select.appendChild(option);
    // Children of each node, largest first; depths.
    t.children = t.nodes.map(function () { return []; });
    t.depth = new Array(t.nodes.length).fill(0);
    t.nodes.forEach(function (n, k) {
      if (n[1] >= 0) { t.children[n[1]].push(k); t.depth[k] = t.depth[n[1]] + 1; }
    });
    t.children.forEach(function (c) { c.sort(function (a, b) { return t.nodes[b][2] - t.nodes[a][2]; }); });
  });

  function nameOf(t, k) { return k === 0 ? t.name : data.names[t.nodes[k][0]]; }
  function total(t, k) {
    if (k !== 0 || t.nodes[0][2] > 0) return t.nodes[k][2];
    return t.children[0].reduce(function (s, c) { return s + t.nodes[c][2]; }, 0);
  }
  function hue(name) {
    let h = 0;
    for (let i = 0; i < name.length; ++i) h = (h * 31 + name.charCodeAt(i)) >>> 0;
    return "hsl(" + (h % 55) + ", 85%, " + (55 + (h >> 8) % 15) + "%)";
  }
  function figures(t, k) {
    const whole = total(t, 0);
    const share = whole > 0 ? (100 * total(t, k) / whole).toFixed(1) + "%" : "-";
    return nameOf(t, k) + "\n  total " + total(t, k).toFixed(3) + " ms (" + share + "), own " +
      t.nodes[k][3].toFixed(3) + " ms, calls " + t.nodes[k][4];
  }

  function draw() {
    graph.textContent = "";
    const t = thread;
    const width = graph.clientWidth || 1000;
    const maxDepth = t.depth.reduce(function (m, d) { return Math.max(m, d); }, 0);
    graph.style.height = ((maxDepth + 1) * rowHeight) + "px";
    const term = search.value.trim().toLowerCase();
    let drawn = 0, matched = 0;
    const zoomTotal = total(t, zoom) || 1;
    // Ancestors of the zoomed frame span the whole width.
    const ancestors = new Set();
    for (let a = t.nodes[zoom][1]; a >= 0; a = t.nodes[a][1]) ancestors.add(a);
    function place(k, x, w) {
      if (w < 0.5) return;
      const div = document.createElement("div");
      const name = nameOf(t, k);
      div.className = "frame" + (ancestors.has(k) ? " dim" : "");
      if (term && name.toLowerCase().indexOf(term) >= 0) { div.className += " match"; ++matched; }
      div.style.left = x + "px";
      div.style.width = w + "px";
      div.style.top = ((maxDepth - t.depth[k]) * rowHeight) + "px";
      div.style.background = k === 0 ? "#bbb" : hue(name);
      div.textContent = name;
      div.dataset.node = k;
      graph.appendChild(div);
      ++drawn;
      let cx = x;
      if (ancestors.has(k)) return;
      t.children[k].forEach(function (c) {
        const cw = w * total(t, c) / (total(t, k) || 1);
        place(c, cx, cw);
        cx += cw;
      });
    }
    ancestors.forEach(function (a) { place(a, 0, width); });
    place(zoom, 0, width * total(t, zoom) / zoomTotal);
    document.getElementById("matched").textContent = term ? matched + " matching frames" : "";
    document.body.dataset.frames = drawn;
  }

  graph.addEventListener("mousemove", function (e) {
    const k = e.target.dataset ? e.target.dataset.node : undefined;
    if (k !== undefined) details.textContent = figures(thread, Number(k));
  });
  graph.addEventListener("click", function (e) {
    const k = e.target.dataset ? e.target.dataset.node : undefined;
    if (k !== undefined) { zoom = Number(k); draw(); }
  });
  select.addEventListener("change", function () {
    thread = data.threads[Number(select.value)];
    zoom = 0;
    draw();
  });
  search.addEventListener("input", draw);
  document.getElementById("reset").addEventListener("click", function () { zoom = 0; draw(); });
  window.addEventListener("resize", draw);
  thread = data.threads[0];
  draw();
})();
</script>
</body>
</html>
)page";

nlohmann::json ThreadData(const Controller::Profile& profile,
                          const Controller::ThreadProfile& thread, const std::string& name) {
    nlohmann::json nodes = nlohmann::json::array();
    for (const Controller::ProfileNode& node : thread.tree.Nodes()) {
        const int64_t parent =
            node.parent == Controller::ProfileNode::NoParent ? -1 : int64_t{node.parent};
        const int64_t function =
            node.function == Controller::ProfileNode::NoFunction ? -1 : int64_t{node.function};
        nodes.push_back({function, parent, profile.Seconds(node.totalTicks) * 1000.0,
                         profile.Seconds(node.ownTicks) * 1000.0, node.calls});
    }
    return {{"name", name}, {"nodes", std::move(nodes)}};
}

}  // namespace

std::string FlameGraphHtml::Data(const Controller::Profile& profile, const std::string& title) {
    nlohmann::json names = nlohmann::json::array();
    for (const Controller::ProfileFunction& function : profile.Functions()) {
        names.push_back(function.name);
    }
    nlohmann::json threads = nlohmann::json::array();
    threads.push_back(ThreadData(profile, profile.AllThreads(), "all threads"));
    for (const Controller::ThreadProfile& thread : profile.Threads()) {
        threads.push_back(ThreadData(profile, thread, ProfileStacks::ThreadLabel(thread)));
    }
    const nlohmann::json data = {
        {"title", title}, {"names", std::move(names)}, {"threads", std::move(threads)}};
    const std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '<') {
            escaped += "\\u003c";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string FlameGraphHtml::Write(const Controller::Profile& profile, const std::string& title) {
    return std::string(PageStart) + Data(profile, title) + PageEnd;
}

}  // namespace Qvprof
