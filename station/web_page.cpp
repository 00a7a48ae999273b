#include "station/web_page.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "station/web_escape.hpp"

namespace station {
namespace {

// Everything the device or a program reports reaches the document as textContent or as an
// attribute value set by the script, never as markup.
const char kPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>linestation</title>
<style>
  :root { color-scheme: dark; }
  body { margin: 0; padding: 1.2vw; background: #111; color: #eee;
         font-family: "DejaVu Sans", Arial, sans-serif; }
  header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 2.5vw; margin-bottom: 1vw; }
  header h1 { font-size: 2.2vw; margin: 0; font-weight: normal; color: #aaa; }
  .total { font-size: 2.6vw; }
  .total b { font-size: 3.4vw; }
  #link { font-size: 1.4vw; color: #f80; }
  #tiles { display: grid; gap: 1vw; grid-template-columns: repeat(auto-fill, minmax(22vw, 1fr)); }
  .tile { border-radius: 0.8vw; padding: 1vw 1.3vw; min-height: 12vw; background: #333;
          border: 0.35vw solid transparent; overflow: hidden; overflow-wrap: anywhere; }
  .tile .slot { font-size: 1.5vw; opacity: 0.8; }
  .tile .serial { font-size: 2vw; font-family: "DejaVu Sans Mono", monospace; min-height: 2.4vw; }
  .tile .state { font-size: 3.6vw; font-weight: bold; margin-top: 0.4vw; }
  .tile .detail { font-size: 1.7vw; margin-top: 0.3vw; }
  .tile[data-state="waiting"] { background: #2a2a2a; color: #999; }
  .tile[data-state="running"] { background: #0b3d91; color: #fff; }
  .tile[data-state="restarting"] { background: #7a5a00; color: #fff; }
  .tile[data-verdict="PASS"] { background: #0a7d2c; color: #fff; }
  .tile[data-verdict="FAIL"] { background: #b00020; color: #fff; }
  .tile[data-verdict="NO DEVICE"] { background: #4a4a4a; color: #fff; border-color: #ddd; }
  .tile[data-verdict="ABORTED"] { background: #b35c00; color: #fff; }
  .tile[data-verdict="SKIPPED"] { background: #b00020; color: #fff; }
  section { margin-top: 1.5vw; }
  h2 { font-size: 1.6vw; font-weight: normal; color: #aaa; margin: 0 0 0.5vw 0; }
  #chart { width: 100%; height: 9vw; background: #1b1b1b; }
  table { border-collapse: collapse; width: 100%; font-size: 1.1vw; }
  th, td { text-align: left; padding: 0.2vw 0.6vw; border-bottom: 1px solid #333; }
  td.PASS { color: #4c4; } td.FAIL, td.SKIPPED { color: #f55; } td.ABORTED { color: #f93; }
  a { color: #8bf; }
</style>
</head>
<body>
<header>
  <h1>linestation</h1>
  <span class="total">done <b id="done">0</b></span>
  <span class="total">passed <b id="passed">0</b></span>
  <span class="total">failed <b id="failed">0</b></span>
  <span class="total"><b id="per-hour">0</b> per hour</span>
  <span id="link"></span>
</header>
<div id="tiles"></div>
<section><h2>devices done and failed per quarter hour</h2>
<svg id="chart" viewBox="0 0 960 100" preserveAspectRatio="none"></svg></section>
<section><h2>last records</h2>
<table><thead><tr><th>#</th><th>end</th><th>slot</th><th>serial</th><th>program</th><th>mode</th>
<th>verdict</th><th>seconds</th><th>reason</th><th>files</th></tr></thead>
<tbody id="records"></tbody></table></section>
<script type="application/json" id="initial">@INITIAL@</script>
<script>
"use strict";
const initial = JSON.parse(document.getElementById("initial").textContent);
const work = initial.work.replace(/\\/g, "/").replace(/\/$/, "");
const kRecords = 50;
let totals = initial.totals;
let totalsAt = Date.now();
let lastRecord = 0;

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function stateLine(slot) {
  if (slot.verdict) return slot.verdict;
  if (slot.state === "waiting") return "waiting";
  if (slot.state === "restarting") return "restarting";
  if (slot.state === "running") return slot.seconds + " s";
  return slot.state;
}

function detailLine(slot) {
  if (slot.verdict && slot.verdict !== "PASS") return slot.program + ": " + slot.reason;
  if (slot.state === "running") return slot.program + ": " + slot.step;
  return slot.step;
}

function showSlot(slot) {
  let tile = null;
  for (const t of document.querySelectorAll("#tiles .tile")) {
    if (t.dataset.slot === slot.slot) tile = t;
  }
  if (tile === null) {
    tile = element("div", "tile");
    tile.append(element("div", "slot"), element("div", "serial"), element("div", "state"),
                element("div", "detail"));
    document.getElementById("tiles").append(tile);
  }
  tile.dataset.slot = slot.slot;
  tile.dataset.state = slot.state;
  tile.dataset.verdict = slot.verdict;
  tile.querySelector(".slot").textContent = "slot " + slot.slot;
  tile.querySelector(".serial").textContent = slot.serial;
  tile.querySelector(".state").textContent = stateLine(slot);
  tile.querySelector(".detail").textContent = detailLine(slot);
}

function showTotals() {
  const seconds = totals.seconds + (Date.now() - totalsAt) / 1000;
  document.getElementById("done").textContent = totals.done;
  document.getElementById("passed").textContent = totals.passed;
  document.getElementById("failed").textContent = totals.failed;
  document.getElementById("per-hour").textContent =
      seconds > 0 ? Math.round(totals.done * 3600 / seconds) : 0;
  const chart = document.getElementById("chart");
  chart.replaceChildren();
  const quarters = totals.quarters.slice(-48);
  const most = Math.max(1, ...quarters.map(q => q[0]));
  const width = 960 / 48;
  quarters.forEach((q, i) => {
    for (const [count, colour] of [[q[0], "#0a7d2c"], [q[1], "#b00020"]]) {
      const bar = document.createElementNS("http://www.w3.org/2000/svg", "rect");
      const height = 96 * count / most;
      bar.setAttribute("x", i * width + 2 + (colour === "#b00020" ? width / 2 : 0));
      bar.setAttribute("width", width / 2 - 2);
      bar.setAttribute("y", 100 - height);
      bar.setAttribute("height", height);
      bar.setAttribute("fill", colour);
      chart.append(bar);
    }
  });
}

function filesHref(folder) {
  const path = folder.replace(/\\/g, "/");
  if (!work || !path.startsWith(work + "/")) return null;
  return "/runs/" + path.slice(work.length + 1).split("/").map(encodeURIComponent).join("/") + "/";
}

function showRecord(record) {
  if (record.id <= lastRecord) return;
  lastRecord = record.id;
  const row = element("tr");
  row.dataset.id = record.id;
  for (const key of ["id", "end", "slot", "serial", "program", "mode", "verdict", "seconds",
                     "reason"]) {
    row.append(element("td", key === "verdict" ? record.verdict : "", String(record[key])));
  }
  const files = element("td");
  const href = filesHref(record.folder);
  if (href !== null) {
    const a = element("a", "", "files");
    a.href = href;
    files.append(a);
  }
  row.append(files);
  const body = document.getElementById("records");
  body.prepend(row);
  while (body.children.length > kRecords) body.lastElementChild.remove();
}

initial.slots.forEach(showSlot);
initial.records.forEach(showRecord);
showTotals();
setInterval(showTotals, 10000);

const link = document.getElementById("link");
const events = new EventSource("/api/events");
events.addEventListener("slot", e => showSlot(JSON.parse(e.data)));
events.addEventListener("totals", e => {
  totals = JSON.parse(e.data);
  totalsAt = Date.now();
  showTotals();
});
events.addEventListener("record", e => showRecord(JSON.parse(e.data)));
events.addEventListener("open", () => {
  link.textContent = "";
  // What was written while the stream was away.
  fetch("/api/records?after=" + lastRecord).then(r => r.json()).then(rs => rs.forEach(showRecord))
      .catch(() => {});
});
events.addEventListener("error", () => { link.textContent = "station not reachable"; });
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string PageHtml(const std::string& initial) {
  std::string page = kPage;
  const std::string mark = "@INITIAL@";
  page.replace(page.find(mark), mark.size(), JsonForScript(initial));
  return page;
}

std::string FolderListingHtml(const std::string& url_path,
                              const std::vector<FolderEntry>& entries) {
  std::vector<FolderEntry> sorted = entries;
  std::sort(sorted.begin(), sorted.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  const std::string title = HtmlEscaped(url_path);
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                     title + "</title></head><body><h1>" + title + "</h1><ul>\n";
  if (url_path != "/runs/") html += "<li><a href=\"../\">../</a></li>\n";
  for (const FolderEntry& entry : sorted) {
    const std::string name = entry.name + (entry.folder ? "/" : "");
    html += "<li><a href=\"./" + HtmlEscaped(UrlPathEncoded(name)) + "\">" + HtmlEscaped(name) +
            "</a></li>\n";
  }
  return html + "</ul></body></html>\n";
}

}  // namespace station
