// The viewer page: lists the store's records, fetches at most one column per
// pixel of each shown channel for the time on screen (samples, or min/max
// envelopes from the server) and draws them on one canvas with their
// units, scale, time axis and annotations. Mouse and keys page and zoom.
"use strict";

const S = {
  inputAt: null, stepMs: null,  // time from the last key or click to its drawing
  records: [], rec: null, info: null, traces: [], t0: 0, span: 1, gain: 1,
  data: {}, ann: null, seq: 0, drawn: 0, startMs: null, points: 0,
};
const $ = (id) => document.getElementById(id);
const canvas = $("plot");
const ctx = canvas.getContext("2d");
const LEFT = 120, TOP = 22, BOTTOM = 26;

function status(text, error) {
  $("status").textContent = text || "";
  $("status").className = error ? "error" : "";
}

async function getJSON(url) {
  const r = await fetch(url);
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

async function getBinary(url) {
  const r = await fetch(url);
  if (!r.ok) throw new Error((await r.json()).error || r.statusText);
  const buf = await r.arrayBuffer();
  const n = new DataView(buf).getUint32(0, true);
  const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buf, 4, n)));
  head.values = new Float32Array(buf, 4 + n);
  return head;
}

// Formatting

function fmtDuration(s) {
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), sec = s % 60;
  return h ? `${h}:${String(m).padStart(2, "0")}:${sec.toFixed(0).padStart(2, "0")}`
           : `${m}:${sec.toFixed(1).padStart(4, "0")}`;
}

function fmtSize(b) {
  if (b == null) return "";
  if (b < 1024) return `${b} B`;
  if (b < 1 << 20) return `${(b / 1024).toFixed(0)} KiB`;
  return `${(b / (1 << 20)).toFixed(1)} MiB`;
}

// Start times are kept as the source gives them, without a time zone: they
// are parsed and shown as UTC so the clock reads exactly as stored.
function parseStart(text) {
  if (!text) return null;
  const ms = Date.parse(text.endsWith("Z") ? text : text + "Z");
  return Number.isFinite(ms) ? ms : null;
}

function fmtTime(t, step) {
  const digits = step < 0.01 ? 3 : step < 0.1 ? 2 : step < 1 ? 1 : 0;
  if (S.startMs !== null) {
    const d = new Date(S.startMs + t * 1000);
    const iso = d.toISOString();
    if (step >= 60 && iso.slice(11, 19) === "00:00:00") return iso.slice(0, 10);  // a new day
    const hms = iso.slice(11, 19);
    const frac = digits ? "." + String(d.getUTCMilliseconds()).padStart(3, "0").slice(0, digits) : "";
    return hms + frac;
  }
  const sign = t < 0 ? "-" : "";
  t = Math.abs(t);
  const h = Math.floor(t / 3600), m = Math.floor((t % 3600) / 60), s = t - 3600 * h - 60 * m;
  const sec = s.toFixed(digits).padStart(digits ? 3 + digits : 2, "0");
  return `${sign}${h}:${String(m).padStart(2, "0")}:${sec}`;
}

function fmtValue(v) {
  const a = Math.abs(v);
  return a !== 0 && (a < 1e-3 || a >= 1e5) ? v.toExponential(2) : String(+v.toPrecision(4));
}

// Records and channels

async function loadRecords() {
  const cfg = await getJSON("/api/config");
  $("store").textContent = cfg.store;
  S.records = (await getJSON("/api/records")).records;
  const body = $("records").tBodies[0];
  body.innerHTML = "";
  for (const r of S.records) {
    const tr = body.insertRow();
    tr.dataset.record = r.name;
    const cells = [r.name, fmtDuration(r.duration), r.channels, r.rates.map((x) => +x.toFixed(2)).join(", "),
                   fmtSize(r.size), r.ratio ? r.ratio.toFixed(2) : ""];
    for (const c of cells) tr.insertCell().textContent = c;
    tr.onclick = () => { S.inputAt = performance.now(); location.hash = encodeURIComponent(r.name); };
  }
  const wanted = decodeURIComponent(location.hash.slice(1)) || cfg.record;
  if (wanted) openRecord(wanted);
}

async function openRecord(name) {
  try {
    S.info = await getJSON(`/api/records/${encodeURIComponent(name)}`);
  } catch (e) { status(e.message, true); return; }
  S.rec = name;
  for (const tr of $("records").tBodies[0].rows) tr.classList.toggle("current", tr.dataset.record === name);
  S.startMs = parseStart(S.info.start_time);
  S.traces = [];
  for (const a of S.info.arrays) {
    a.channels.forEach((ch, i) => S.traces.push({ array: a.name, index: i, name: ch, units: a.channels.length
      ? a.units[i] : "", rate: a.rate, visible: true }));
  }
  const box = $("channels");
  box.innerHTML = "";
  S.traces.forEach((tr, k) => {
    const label = document.createElement("label");
    const cb = document.createElement("input");
    cb.type = "checkbox"; cb.checked = true; cb.dataset.channel = tr.name;
    cb.onchange = () => { tr.visible = cb.checked; refresh(); };
    label.append(cb, ` ${tr.name} (${tr.units || "no unit"}, ${+tr.rate.toFixed(2)} Hz)`);
    box.append(label);
  });
  S.data = {}; S.ann = null; S.gain = 1;
  S.t0 = 0; S.span = S.info.duration;
  refresh();
  canvas.focus();
}

// View changes

function minSpan() {
  const rate = Math.max(...S.info.arrays.map((a) => a.rate));
  return Math.min(S.info.duration, 10 / rate);
}

function setView(t0, span) {
  if (!S.info) return;
  const dur = S.info.duration;
  span = Math.max(minSpan(), Math.min(dur, span));
  t0 = Math.max(0, Math.min(dur - span, t0));
  if (t0 === S.t0 && span === S.span) return;
  S.t0 = t0; S.span = span;
  refresh();
}

const zoom = (f, at) => {
  at = at === undefined ? S.t0 + S.span / 2 : at;
  const span = Math.max(minSpan(), Math.min(S.info.duration, S.span * f));
  setView(at - (at - S.t0) * (span / S.span), span);
};
const scroll = (pages) => setView(S.t0 + pages * S.span, S.span);

// Fetching: the newest request wins, older answers are dropped.

let pending = false;
function refresh() {
  if (pending) return;
  pending = true;
  requestAnimationFrame(() => { pending = false; fetchView(); });
}

async function fetchView() {
  if (!S.info) return;
  const seq = ++S.seq;
  const width = Math.max(50, Math.floor(canvas.clientWidth - LEFT));
  const t0 = S.t0, t1 = S.t0 + S.span;
  const jobs = [];
  for (const a of S.info.arrays) {
    const chans = S.traces.filter((t) => t.array === a.name && t.visible).map((t) => t.index);
    if (!chans.length) continue;
    const stop = Math.min(t1, a.duration);
    if (stop <= t0) continue;
    const q = `array=${encodeURIComponent(a.name)}&start=${t0}&stop=${stop}&points=${width}` +
              `&channels=${chans.join(",")}`;
    jobs.push(getBinary(`/api/records/${encodeURIComponent(S.rec)}/data?${q}`));
  }
  const annJob = S.info.annotators.length
    ? getJSON(`/api/records/${encodeURIComponent(S.rec)}/annotations?start=${t0}&stop=${t1}&limit=2000`)
    : Promise.resolve(null);
  try {
    const [parts, ann] = await Promise.all([Promise.all(jobs), annJob]);
    if (seq !== S.seq) return;
    S.data = {};
    for (const p of parts) S.data[p.array] = p;
    S.ann = ann;
    status(describeView(parts, ann));
  } catch (e) {
    if (seq === S.seq) status(e.message, true);
    return;
  }
  draw();
}

function describeView(parts, ann) {
  const kinds = parts.map((p) => p.kind === "samples" ? `${p.array}: samples`
    : `${p.array}: min/max of ${p.per_column} samples per column` +
      (p.level >= 0 ? ` (overview level ${p.level})` : ""));
  let text = kinds.join("; ");
  if (ann && ann.truncated) text += `; ${ann.count} annotations here: zoom in to see them`;
  return text;
}

// Drawing

function niceStep(span, maxTicks) {
  const steps = [1e-3, 2e-3, 5e-3, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600,
                 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400];
  return steps.find((s) => span / s <= maxTicks) || 86400 * Math.ceil(span / maxTicks / 86400);
}

function traceRange(p, k) {
  let lo = Infinity, hi = -Infinity;
  const v = p.values, n = p.n;
  const rows = p.kind === "samples" ? [k * n] : [k * 2 * n, k * 2 * n + n];
  for (const off of rows) {
    for (let i = 0; i < n; i++) {
      const x = v[off + i];
      if (x < lo) lo = x;
      if (x > hi) hi = x;
    }
  }
  if (!(lo <= hi)) return [-1, 1];
  if (lo === hi) return [lo - 1, hi + 1];
  const mid = (lo + hi) / 2, half = (hi - lo) / 2 * 1.08 / S.gain;
  return [mid - half, mid + half];
}

function draw() {
  const dpr = window.devicePixelRatio || 1;
  const W = canvas.clientWidth, H = canvas.clientHeight;
  if (canvas.width !== Math.round(W * dpr) || canvas.height !== Math.round(H * dpr)) {
    canvas.width = Math.round(W * dpr); canvas.height = Math.round(H * dpr);
  }
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, W, H);
  const plotW = W - LEFT, plotH = H - TOP - BOTTOM;
  const xOf = (t) => LEFT + (t - S.t0) / S.span * plotW;
  const shown = S.traces.filter((t) => t.visible && S.data[t.array]);
  const laneH = shown.length ? plotH / shown.length : plotH;
  let points = 0;

  // Time axis and grid.
  const step = niceStep(S.span, Math.max(2, plotW / 110));
  ctx.font = "11px system-ui, sans-serif"; ctx.textBaseline = "top"; ctx.textAlign = "center";
  // Ticks on round clock times when the record has a start time.
  const phase = S.startMs === null ? 0 : ((S.startMs / 1000) % step + step) % step;
  const first = Math.ceil((S.t0 + phase) / step - 1e-9) * step - phase;
  for (let t = first; t <= S.t0 + S.span + 1e-9; t += step) {
    const x = xOf(t);
    ctx.fillStyle = "#eee"; ctx.fillRect(Math.round(x), TOP, 1, plotH);
    ctx.fillStyle = "#333"; ctx.fillText(fmtTime(t, step), x, H - BOTTOM + 6);
  }

  // Traces.
  shown.forEach((tr, lane) => {
    const p = S.data[tr.array];
    const k = p.channels.indexOf(tr.index);
    if (k < 0) return;
    const y0 = TOP + lane * laneH, [lo, hi] = traceRange(p, k);
    const yOf = (v) => y0 + laneH - 4 - (v - lo) / (hi - lo) * (laneH - 8);
    ctx.fillStyle = "#f0f0f0"; ctx.fillRect(LEFT, Math.round(y0 + laneH) - 1, plotW, 1);
    ctx.save();
    ctx.beginPath(); ctx.rect(LEFT, y0, plotW, laneH); ctx.clip();
    ctx.strokeStyle = ctx.fillStyle = "#1f4e99"; ctx.lineWidth = 1;
    const v = p.values, n = p.n;
    if (p.kind === "samples") {
      ctx.beginPath();
      let pen = false;
      for (let i = 0; i < n; i++) {
        const y = v[k * n + i];
        if (!Number.isFinite(y)) { pen = false; continue; }
        const x = xOf(p.t0 + i * p.dt);
        if (pen) ctx.lineTo(x, yOf(y)); else ctx.moveTo(x, yOf(y));
        pen = true;
      }
      ctx.stroke();
      if (S.span * tr.rate < plotW / 6) {  // single samples: mark each one
        for (let i = 0; i < n; i++) {
          const y = v[k * n + i];
          if (Number.isFinite(y)) ctx.fillRect(xOf(p.t0 + i * p.dt) - 1.5, yOf(y) - 1.5, 3, 3);
        }
      }
    } else {
      // Each column reaches its neighbour's range too, so steep edges
      // between columns stay joined.
      const w = Math.max(1, p.dt / S.span * plotW);
      let pa = NaN, pb = NaN;
      for (let i = 0; i < n; i++) {
        let a = v[k * 2 * n + i], b = v[k * 2 * n + n + i];
        if (!Number.isFinite(a) || !Number.isFinite(b)) { pa = pb = NaN; continue; }
        const lo = Number.isFinite(pb) ? Math.min(a, pb) : a, hi = Number.isFinite(pa) ? Math.max(b, pa) : b;
        pa = a; pb = b;
        const x = xOf(p.t0 + i * p.dt), ya = yOf(hi), yb = yOf(lo);
        ctx.fillRect(x, ya, w, Math.max(1, yb - ya));
      }
    }
    ctx.restore();
    points += n;
    // Name, units and scale.
    ctx.textAlign = "left"; ctx.fillStyle = "#000"; ctx.font = "bold 12px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    ctx.fillText(tr.name, 6, y0 + laneH / 2 - 7);
    ctx.font = "11px system-ui, sans-serif"; ctx.fillStyle = "#555";
    ctx.fillText(tr.units || "(no unit)", 6, y0 + laneH / 2 + 7);
    ctx.textAlign = "right";
    ctx.textBaseline = "top"; ctx.fillText(fmtValue(hi), LEFT - 4, y0 + 2);
    ctx.textBaseline = "bottom"; ctx.fillText(fmtValue(lo), LEFT - 4, y0 + laneH - 2);
    ctx.fillStyle = "#999"; ctx.fillRect(LEFT - 2, y0 + 4, 1, laneH - 8);
  });

  // Annotations.
  const ann = S.ann;
  if (ann) {
    const ev = ann.events.filter((e) => e.t >= S.t0 && e.t <= S.t0 + S.span);
    const labelled = ev.length <= plotW / 14;
    ctx.textAlign = "center"; ctx.textBaseline = "top"; ctx.font = "bold 11px system-ui, sans-serif";
    let lastEnd = -Infinity;
    for (const e of ev) {
      const x = xOf(e.t);
      ctx.fillStyle = "rgba(200, 40, 40, 0.35)";
      ctx.fillRect(Math.round(x), TOP - 4, 1, plotH + 4);
      if (e.d > 0) { ctx.fillStyle = "rgba(200, 40, 40, 0.08)"; ctx.fillRect(x, TOP, e.d / S.span * plotW, plotH); }
      const text = e.label + (e.aux ? " " + e.aux : "");
      const w = ctx.measureText(text).width;
      if (labelled && x - w / 2 > lastEnd + 2) {  // labels never drawn over each other
        ctx.fillStyle = "#b22";
        ctx.fillText(text, x, 3);
        lastEnd = x + w / 2;
      }
    }
  }
  ctx.fillStyle = "#888"; ctx.fillRect(LEFT, TOP, 1, plotH);

  $("range").textContent = `${fmtTime(S.t0, 0.001)} to ${fmtTime(S.t0 + S.span, 0.001)}` +
    (S.startMs !== null ? ` (${new Date(S.startMs + S.t0 * 1000).toISOString().slice(0, 10)})` : "") +
    ` | ${fmtDuration(S.span)} of ${fmtDuration(S.info.duration)}`;
  S.points = points; S.drawn += 1;
  if (S.inputAt !== null) { S.stepMs = performance.now() - S.inputAt; S.inputAt = null; }
  document.body.dataset.drawn = S.drawn;
}

// Jump to a time: seconds, h:mm:ss, or a clock time when the record has a start.

function jumpTo(text) {
  const parts = text.trim().split(":").map(Number);
  if (!parts.length || parts.some((x) => !Number.isFinite(x))) { status(`not a time: ${text}`, true); return; }
  let t = parts.reduce((acc, x) => acc * 60 + x, 0);
  if (S.startMs !== null && parts.length > 1) {
    const day = 86400;
    const startOfDay = ((S.startMs / 1000) % day + day) % day;
    t = ((t - startOfDay) % day + day) % day;
  }
  setView(t - S.span / 2, S.span);
}

// Input

let drag = null;
canvas.addEventListener("wheel", (e) => {
  if (!S.info) return;
  e.preventDefault();
  if (e.shiftKey) { scroll(Math.sign(e.deltaY || e.deltaX) * 0.1); return; }
  const at = S.t0 + (e.offsetX - LEFT) / (canvas.clientWidth - LEFT) * S.span;
  zoom(e.deltaY > 0 ? 1.25 : 0.8, Math.max(S.t0, Math.min(S.t0 + S.span, at)));
}, { passive: false });
canvas.addEventListener("mousedown", (e) => { drag = { x: e.clientX, t0: S.t0 }; canvas.focus(); });
window.addEventListener("mouseup", () => { drag = null; });
window.addEventListener("mousemove", (e) => {
  if (!drag || !S.info) return;
  setView(drag.t0 - (e.clientX - drag.x) / (canvas.clientWidth - LEFT) * S.span, S.span);
});
canvas.addEventListener("keydown", (e) => {
  if (!S.info) return;
  const keys = {
    ArrowLeft: () => scroll(-0.25), ArrowRight: () => scroll(0.25),
    PageUp: () => scroll(-1), PageDown: () => scroll(1),
    "+": () => zoom(0.5), "=": () => zoom(0.5), "-": () => zoom(2), "0": () => setView(0, Infinity),
    Home: () => setView(0, S.span), End: () => setView(Infinity, S.span),
    ArrowUp: () => { S.gain *= 1.5; draw(); }, ArrowDown: () => { S.gain /= 1.5; draw(); },
  };
  if (keys[e.key]) { e.preventDefault(); S.inputAt = performance.now(); keys[e.key](); }
});
$("whole").onclick = () => setView(0, Infinity);
$("prev").onclick = () => scroll(-1);
$("next").onclick = () => scroll(1);
$("zoomin").onclick = () => zoom(0.5);
$("zoomout").onclick = () => zoom(2);
$("jump").addEventListener("keydown", (e) => { if (e.key === "Enter" && S.info) jumpTo(e.target.value); });
window.addEventListener("hashchange", () => openRecord(decodeURIComponent(location.hash.slice(1))));
window.addEventListener("resize", () => refresh());

window.vantoreskView = S;  // for scripted checks
loadRecords().catch((e) => status(e.message, true));
