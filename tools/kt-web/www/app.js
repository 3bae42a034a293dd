// The live view: takes the feed of /ws (one JSON message per update) and draws the
// source table, the waveform of the selected source and the rate strip. No library and
// no network beyond the page's own server.
"use strict";

const state = { selected: null, socket: null, last: null, retry: null };
const el = (id) => document.getElementById(id);

function setConnection(text, kind) {
  const badge = el("connection");
  badge.textContent = text;
  badge.dataset.state = kind;
}

function showProblem(text) {
  const box = el("problem");
  box.hidden = !text;
  box.textContent = text || "";
}

function problemOf(feed) {
  if (feed.state === "no_engine") {
    return feed.mode === "tap"
      ? `No connection to the channel at ${feed.origin}: is the filter mode running with this channel?`
      : `The engine is not running: no publisher at ${feed.origin}.`;
  }
  if (feed.state === "no_frames") {
    return feed.frames === 0
      ? "Connected, but no frames have arrived yet."
      : `No frames for ${Math.round(feed.idle_s)} s (more than ${feed.stale_after_s} s).`;
  }
  return "";
}

function fillTable(feed) {
  const body = document.querySelector("#sources tbody");
  const rows = feed.sources.map((s) => {
    const tr = document.createElement("tr");
    tr.dataset.source = s.source;
    if (s.source === state.selected) tr.className = "selected";
    const cells = [s.source, s.frames, s.rate.toFixed(1), s.gaps, s.last_msg_id];
    cells.forEach((value, i) => {
      const td = document.createElement("td");
      td.textContent = value;
      if (i === 3 && s.gaps > 0) td.className = "gaps-nonzero";
      tr.appendChild(td);
    });
    tr.addEventListener("click", () => {
      state.selected = s.source;
      if (state.last) draw(state.last);
    });
    return tr;
  });
  body.replaceChildren(...rows);
}

function clear(canvas) {
  const ctx = canvas.getContext("2d");
  ctx.fillStyle = "#ffffff";
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  return ctx;
}

function drawWave(feed) {
  const canvas = el("wave");
  const ctx = clear(canvas);
  const source = feed.sources.find((s) => s.source === state.selected);
  el("wave-source").textContent = source ? `${source.source} (${feed.sample_format})` : "";
  if (!source || source.wave.length < 2) return;
  const values = source.wave.filter((v) => v !== null);
  let low = Math.min(...values), high = Math.max(...values);
  if (low === high) { low -= 1; high += 1; }
  const points = source.wave.length / 2;
  const x = (i) => (points > 1 ? (i / (points - 1)) * (canvas.width - 1) : 0);
  const y = (v) => canvas.height - 4 - ((v - low) / (high - low)) * (canvas.height - 8);
  ctx.strokeStyle = "#1d6fb8";
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  for (let i = 0; i < points; i++) {
    const lo = source.wave[2 * i], hi = source.wave[2 * i + 1];
    if (lo === null || hi === null) continue;
    if (i === 0) ctx.moveTo(x(i), y(lo)); else ctx.lineTo(x(i), y(lo));
    ctx.lineTo(x(i), y(hi));
  }
  ctx.stroke();
  ctx.fillStyle = "#333";
  ctx.font = "12px sans-serif";
  ctx.fillText(`${high}`, 4, 14);
  ctx.fillText(`${low}`, 4, canvas.height - 6);
}

function drawRates(feed) {
  const canvas = el("rates");
  const ctx = clear(canvas);
  const rates = feed.rates;
  if (rates.length === 0) return;
  const top = Math.max(1, ...rates);
  const step = canvas.width / 60;
  ctx.fillStyle = "#2a9d8f";
  rates.forEach((r, i) => {
    const h = (r / top) * (canvas.height - 16);
    ctx.fillRect(canvas.width - (rates.length - i) * step, canvas.height - h, step - 1, h);
  });
  ctx.fillStyle = "#333";
  ctx.font = "12px sans-serif";
  ctx.fillText(`max ${top.toFixed(0)} frames/s`, 4, 12);
}

function draw(feed) {
  state.last = feed;
  if (!state.selected && feed.sources.length > 0) state.selected = feed.sources[0].source;
  el("origin").textContent =
    `${feed.mode === "tap" ? "Channel" : "Publish mode"} at ${feed.origin}, ` +
    `${feed.frames} frames, payload as ${feed.sample_format}`;
  fillTable(feed);
  drawWave(feed);
  drawRates(feed);
  const problem = problemOf(feed);
  showProblem(problem);
  setConnection(problem ? "problem" : "live", problem ? "problem" : "live");
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  const socket = new WebSocket(`${scheme}//${location.host}/ws`);
  state.socket = socket;
  socket.onmessage = (event) => draw(JSON.parse(event.data));
  socket.onclose = () => {
    setConnection("reconnecting", "lost");
    showProblem("Lost the connection to kt-web; trying again.");
    clearTimeout(state.retry);
    state.retry = setTimeout(connect, 2000);
  };
}

connect();
