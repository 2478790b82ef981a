// The live page: asks the server for a snapshot (snapshot.json) once a second and redraws.
// Every text from the machine (names, mount points, devices, addresses) is set as text, never as
// markup.
"use strict";

const REDRAW_MS = 1000;
const HISTORY_POINTS = 300; // five minutes at one redraw a second
const PROCESS_ROWS = 25;
const LISTENER_ROWS = 200;
const PALETTE = ["#2b7bb9", "#d9822b", "#3a9a4a", "#c0392b", "#8e44ad", "#7f8c8d", "#b7950b",
                 "#16a085", "#6c3483", "#1f618d", "#a04000", "#117864"];

const history = { cpu: [], memoryUsed: [], memoryAvailable: [], sockets: new Map() };
const view = { sortKey: "memory_usage", descending: true, filter: "", latest: null };
let redraws = 0;
let failingSince = null;

const byId = (id) => document.getElementById(id);

function formatBytes(bytes) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${bytes} B` : `${value.toFixed(1)} ${units[unit]}`;
}

const formatPercent = (percent) => `${percent.toFixed(1)} %`;
const grouped = (count) => count.toLocaleString("en-US");

function formatTime(seconds) {
  const at = new Date(seconds * 1000);
  const two = (n) => String(n).padStart(2, "0");
  return `${at.getFullYear()}-${two(at.getMonth() + 1)}-${two(at.getDate())} ` +
         `${two(at.getHours())}:${two(at.getMinutes())}:${two(at.getSeconds())}`;
}

function remember(series, value) {
  series.push(value);
  if (series.length > HISTORY_POINTS) series.shift();
}

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function cells(values, numeric = []) {
  const row = document.createElement("tr");
  values.forEach((value, i) => {
    const cell = value instanceof Node ? element("td") : element("td", String(value));
    if (value instanceof Node) cell.append(value);
    if (numeric.includes(i)) cell.className = "number";
    row.append(cell);
  });
  return row;
}

// Lines over the last HISTORY_POINTS redraws, the newest at the right edge; `top` is the value
// at the top edge.
function drawChart(canvas, lines, top, label) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
  if (canvas.height !== Math.round(height * ratio)) canvas.height = Math.round(height * ratio);
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, width, height);
  context.strokeStyle = "#eee";
  context.beginPath();
  for (const share of [0.25, 0.5, 0.75]) {
    context.moveTo(0, height * share);
    context.lineTo(width, height * share);
  }
  context.stroke();
  const step = width / (HISTORY_POINTS - 1);
  const scale = top > 0 ? (height - 4) / top : 0;
  context.lineWidth = 1.5;
  for (const line of lines) {
    context.strokeStyle = line.color;
    context.beginPath();
    const first = line.values.length - 1;
    line.values.forEach((value, i) => {
      const x = width - (first - i) * step;
      const y = height - 2 - value * scale;
      if (i === 0) context.moveTo(x, y); else context.lineTo(x, y);
    });
    context.stroke();
  }
  context.fillStyle = "#666";
  context.font = "11px system-ui, sans-serif";
  context.fillText(label, 4, 12);
}

function drawCpus(usage) {
  const box = byId("cpus");
  while (history.cpu.length < usage.length) history.cpu.push([]);
  history.cpu.length = usage.length;
  while (box.children.length < usage.length) {
    const figure = element("figure");
    figure.append(element("figcaption"), element("canvas", undefined, "cpu-chart"));
    box.append(figure);
  }
  while (box.children.length > usage.length) box.lastChild.remove();
  usage.forEach((percent, cpu) => {
    remember(history.cpu[cpu], percent);
    const figure = box.children[cpu];
    figure.firstChild.textContent = `cpu${cpu}  ${formatPercent(percent)}`;
    drawChart(figure.lastChild, [{ values: history.cpu[cpu], color: PALETTE[0] }], 100, "100 %");
  });
}

function drawMemory(memory) {
  remember(history.memoryUsed, memory.used);
  remember(history.memoryAvailable, memory.available);
  const figures = byId("memory-figures");
  figures.replaceChildren(
    element("span", `total ${formatBytes(memory.total)} `),
    element("span", `(${grouped(memory.total)} bytes)`, "exact"),
    element("span", `, used ${formatBytes(memory.used)} (${formatPercent(memory.usage_percent)})` +
                    `, available ${formatBytes(memory.available)}`));
  const used = element("span", "", "swatch");
  used.style.background = PALETTE[0];
  const available = element("span", "", "swatch");
  available.style.background = PALETTE[2];
  figures.append(element("br"), used, "used ", available, "available");
  drawChart(byId("memory-chart"), [
    { values: history.memoryUsed, color: PALETTE[0] },
    { values: history.memoryAvailable, color: PALETTE[2] },
  ], memory.total, formatBytes(memory.total));
}

function drawFileSystems(disks) {
  const rows = disks.map((disk) => {
    const bar = element("div", undefined, "bar");
    const fill = element("div", undefined, disk.usage_percent >= 90 ? "fill high" : "fill");
    fill.style.width = `${Math.min(Math.max(disk.usage_percent, 0), 100)}%`;
    bar.append(fill);
    return cells([disk.mount_point, bar, formatPercent(disk.usage_percent),
                  formatBytes(disk.used_bytes), formatBytes(disk.total_bytes),
                  formatBytes(disk.available_bytes), `${disk.fs_type} on ${disk.device}`],
                 [2, 3, 4, 5]);
  });
  byId("filesystems").tBodies[0].replaceChildren(...rows);
}

function drawSockets(connections, names) {
  const counts = new Map();
  for (const connection of connections) {
    counts.set(connection.state, (counts.get(connection.state) || 0) + 1);
  }
  for (const state of counts.keys()) {
    if (!history.sockets.has(state)) history.sockets.set(state, []);
  }
  const states = [...history.sockets.keys()].sort();
  let top = 0;
  const lines = states.map((state, i) => {
    const values = history.sockets.get(state);
    remember(values, counts.get(state) || 0);
    top = Math.max(top, ...values);
    return { state, values, color: PALETTE[i % PALETTE.length] };
  });
  drawChart(byId("sockets-chart"), lines, top, `${grouped(top)} sockets`);
  const rows = lines.filter((line) => counts.has(line.state))
    .sort((a, b) => counts.get(b.state) - counts.get(a.state))
    .map((line) => {
      const swatch = element("span", "", "swatch");
      swatch.style.background = line.color;
      const state = element("span");
      state.append(swatch, line.state);
      const row = cells([state, grouped(counts.get(line.state))], [1]);
      row.dataset.state = line.state;
      return row;
    });
  byId("socket-states").tBodies[0].replaceChildren(...rows);

  const listening = connections.filter((c) => c.state === "LISTEN")
    .sort((a, b) => a.protocol.localeCompare(b.protocol) || a.local_addr.localeCompare(b.local_addr));
  const listenerRows = listening.slice(0, LISTENER_ROWS).map((c) => cells(
    [c.protocol, c.local_addr, c.pid || "", c.pid ? names.get(c.pid) ?? "" : ""], [2]));
  if (listening.length > LISTENER_ROWS) {
    listenerRows.push(cells([`and ${grouped(listening.length - LISTENER_ROWS)} more`]));
  }
  byId("listeners").tBodies[0].replaceChildren(...listenerRows);
}

function drawProcesses() {
  const processes = view.latest;
  const filter = view.filter.trim().toLowerCase();
  const shown = filter
    ? processes.filter((p) => String(p.pid).includes(filter) || p.name.toLowerCase().includes(filter))
    : processes.slice();
  const key = view.sortKey;
  const order = view.descending ? -1 : 1;
  shown.sort((a, b) => (a[key] < b[key] ? -order : a[key] > b[key] ? order : a.pid - b.pid));
  const rows = shown.slice(0, PROCESS_ROWS).map((p) => {
    const row = cells([p.pid, p.name, formatBytes(p.memory_usage), p.status], [0, 2]);
    row.dataset.pid = p.pid;
    return row;
  });
  byId("processes").tBodies[0].replaceChildren(...rows);
  byId("process-count").textContent =
    `${grouped(processes.length)} processes; ${filter ? `${grouped(shown.length)} match, ` : ""}` +
    `the first ${Math.min(shown.length, PROCESS_ROWS)} shown`;
  for (const button of document.querySelectorAll("#processes th button")) {
    const sorted = button.dataset.key === key;
    button.parentElement.setAttribute("aria-sort",
      sorted ? (view.descending ? "descending" : "ascending") : "none");
  }
}

function draw(snapshot) {
  const names = new Map(snapshot.processes.map((p) => [p.pid, p.name]));
  byId("host").textContent = snapshot.host;
  document.title = `${snapshot.host}: lumenstat`;
  const takenAt = byId("taken-at");
  takenAt.textContent = formatTime(snapshot.taken_at);
  takenAt.dateTime = new Date(snapshot.taken_at * 1000).toISOString();
  drawCpus(snapshot.cpu_usage);
  drawMemory(snapshot.memory);
  drawFileSystems(snapshot.disks);
  drawSockets(snapshot.connections, names);
  view.latest = snapshot.processes;
  drawProcesses();
}

function showStatus(error) {
  const status = byId("status");
  if (error === null) {
    failingSince = null;
    status.hidden = true;
    document.body.classList.remove("stale");
    return;
  }
  if (failingSince === null) failingSince = Date.now() / 1000;
  status.textContent = `The server has not answered since ${formatTime(failingSince)} ` +
                       `(${error.message}); trying again every ${REDRAW_MS / 1000} s.`;
  status.hidden = false;
  document.body.classList.add("stale");
}

async function redraw() {
  try {
    const response = await fetch("snapshot.json", { cache: "no-store" });
    if (!response.ok) throw new Error(`the server answered ${response.status}`);
    const snapshot = await response.json();
    performance.mark("redraw-start");
    draw(snapshot);
    performance.measure("redraw", "redraw-start");
    if (performance.getEntriesByName("redraw").length > HISTORY_POINTS) {
      performance.clearMeasures("redraw");
    }
    redraws += 1;
    document.body.dataset.redraws = String(redraws);
    showStatus(null);
  } catch (error) {
    showStatus(error instanceof TypeError ? new Error("no connection") : error);
  } finally {
    setTimeout(redraw, REDRAW_MS);
  }
}

function start() {
  for (const button of document.querySelectorAll("#processes th button")) {
    button.addEventListener("click", () => {
      const key = button.dataset.key;
      view.descending = view.sortKey === key ? !view.descending : key !== "name";
      view.sortKey = key;
      if (view.latest) drawProcesses();
    });
  }
  byId("process-filter").addEventListener("input", (event) => {
    view.filter = event.target.value;
    if (view.latest) drawProcesses();
  });
  redraw();
}

start();
