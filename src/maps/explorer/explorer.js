// The station explorer of drought-export: every station of every data set
// on one map, drawn with the frame, projection, colour scales and missing
// values of the pictures.  The data come as scripts beside this one
// (explorer/meta.js, set-<name>-<step>.js, card-<k>.js: browsers refuse
// fetch() of local files), each inserted when it is first needed and
// calling back DX.meta, DX.loaded or DX.card.
'use strict';
const DX = (() => {
  const $ = id => document.getElementById(id);
  // Every text put into the page's HTML goes through here.
  const esc = s => String(s).replace(/[&<>"']/g, c => '&#' + c.charCodeAt(0) + ';');
  const RAD = Math.PI / 180, MISSING = -9999, LIST = 10;

  let meta = null, lon, lat, reg, usable, onMap = 0;
  let px, py;              // stations in map coordinates (NaN: no usable position)
  let coasts = [];         // lines in map coordinates, flat x, y arrays
  let outline = [];        // the frame's border in map coordinates
  let box;                 // bounds of the outline
  let grid;                // stations by cell, for hovering
  const sets = new Map(), cards = new Map(), scripts = new Map();
  const state = {stat: 0, period: 0, step: 0, set: 0, zoom: 1, cx: 0, cy: 0, selected: -1, hover: -1, tipX: 0, tipY: 0};
  let readyDone;
  const ready = new Promise(r => { readyDone = r; });  // resolved with the time the page took to be ready

  // ----- Numbers as the text tables print them -----

  // Fw.d: the value rounded to d decimals, ties to even, the sign kept for
  // a negative value that rounds to zero; a field of asterisks when it
  // does not fit; NaN and the infinities in words.
  function fixed(v, w, d) {
    let t;
    if (Number.isNaN(v)) t = 'NaN';
    else if (v === Infinity) t = w >= 8 ? 'Infinity' : 'Inf';
    else if (v === -Infinity) t = w >= 9 ? '-Infinity' : '-Inf';
    else {
      const scaled = Math.abs(v) * 10 ** d;  // exact: a float32 times 10^d
      if (!(scaled < 1e15)) return '*'.repeat(w);
      let n = Math.floor(scaled);
      const frac = scaled - n;
      if (frac > 0.5 || (frac === 0.5 && n % 2 === 1)) n += 1;
      const digits = String(n).padStart(d + 1, '0');
      t = digits.slice(0, digits.length - d) + '.' + digits.slice(digits.length - d);
      const neg = v < 0 || Object.is(v, -0);
      if (t.length + neg === w + 1 && t[0] === '0') t = t.slice(1);  // one too wide: no leading zero
      if (neg) t = '-' + t;
    }
    return t.length > w ? '*'.repeat(w) : t.padStart(w);
  }
  // Iw of a real truncated toward zero.
  function integer(x, w) {
    if (!(x > -2147483904 && x < 2147483648)) return '*'.repeat(w);
    const t = String(Math.trunc(x));
    return t.length > w ? '*'.repeat(w) : t.padStart(w);
  }
  const value = v => fixed(v, 12, 3).trim();
  const position = i => fixed(lon[i], 8, 3).trim() + ', ' + fixed(lat[i], 8, 3).trim();
  const region = i => (reg ? integer(reg[i], 4).trim() : '');
  const drawable = v => Number.isFinite(v) && v !== MISSING;

  function decode(b64) {
    if (Uint8Array.fromBase64) return new Float32Array(Uint8Array.fromBase64(b64).buffer);
    const s = atob(b64), bytes = new Uint8Array(s.length);
    for (let i = 0; i < s.length; i++) bytes[i] = s.charCodeAt(i);
    return new Float32Array(bytes.buffer);
  }

  // A data script of the explorer folder, inserted once.
  function load(file) {
    if (!scripts.has(file)) {
      scripts.set(file, new Promise((resolve, reject) => {
        const s = document.createElement('script');
        s.src = 'explorer/' + file;
        s.onload = resolve;
        s.onerror = () => reject(new Error('cannot load explorer/' + file));
        document.body.appendChild(s);
      }));
    }
    return scripts.get(file);
  }

  // ----- The map -----

  function project(lo, la) {
    const f = meta.frame;
    if (f.projection === 'latlon') return [(lo - f.lon1) * f.aspect * (f.lat2 - f.lat1) / (f.lon2 - f.lon1), la];
    const th = (lo - (f.lon1 + f.lon2) / 2) * RAD;
    if (f.projection === 'north') {
      const r = Math.tan((90 - la) * RAD / 2);
      return [r * Math.sin(th), -r * Math.cos(th)];
    }
    const r = Math.tan((90 + la) * RAD / 2);
    return [r * Math.sin(th), r * Math.cos(th)];
  }
  // A station's longitude in the frame's window.
  function windowed(lo) {
    const f = meta.frame;
    if (lo < f.lon1 && lo + 360 <= f.lon2) return lo + 360;
    if (lo > f.lon2 && lo - 360 >= f.lon1) return lo - 360;
    return lo;
  }
  const usablePosition = (lo, la) => Number.isFinite(lo) && Number.isFinite(la) && la >= -90 && la <= 90 &&
      lo >= -180 && lo <= 360;

  function prepare() {
    const f = meta.frame, n = meta.stations;
    lon = decode(meta.lon), lat = decode(meta.lat), reg = meta.reg ? decode(meta.reg) : null;
    px = new Float64Array(n), py = new Float64Array(n), usable = new Uint8Array(n);
    for (let i = 0; i < n; i++) {
      if (!usablePosition(lon[i], lat[i])) { px[i] = py[i] = NaN; continue; }
      [px[i], py[i]] = project(windowed(lon[i]), lat[i]);
      usable[i] = 1, onMap++;
    }
    const arc = (la, from, to) => {
      const pts = [], k = Math.max(2, Math.ceil(Math.abs(to - from) / 2));
      for (let j = 0; j <= k; j++) pts.push(project(from + (to - from) * j / k, la));
      return pts;
    };
    // A polar map of the whole circle is bounded by its edge alone.
    const circle = f.projection !== 'latlon' && f.lon2 - f.lon1 >= 360;
    outline = circle ? arc(f.projection === 'north' ? f.lat1 : f.lat2, f.lon1, f.lon2)
                     : arc(f.lat1, f.lon1, f.lon2).concat(arc(f.lat2, f.lon2, f.lon1));
    box = {x1: Infinity, y1: Infinity, x2: -Infinity, y2: -Infinity};
    for (const [x, y] of outline) {
      box.x1 = Math.min(box.x1, x), box.x2 = Math.max(box.x2, x);
      box.y1 = Math.min(box.y1, y), box.y2 = Math.max(box.y2, y);
    }
    const step = meta.coasts.step;
    coasts = meta.coasts.lines.map(line => {
      const xy = new Float64Array(line.length);
      let gx = 0, gy = 0;
      for (let j = 0; j < line.length; j += 2) {
        gx += line[j], gy += line[j + 1];
        [xy[j], xy[j + 1]] = project(f.lon1 + gx * step, f.lat1 + gy * step);
      }
      return xy;
    });
    // The stations by cell of a grid over the frame, about two a cell.
    const g = Math.max(1, Math.min(512, Math.round(Math.sqrt(onMap / 2))));
    const cw = (box.x2 - box.x1) / g || 1, ch = (box.y2 - box.y1) / g || 1;
    const cell = i => Math.min(g - 1, Math.max(0, Math.floor((py[i] - box.y1) / ch))) * g +
        Math.min(g - 1, Math.max(0, Math.floor((px[i] - box.x1) / cw)));
    const start = new Int32Array(g * g + 1), order = new Int32Array(onMap);
    for (let i = 0; i < n; i++) if (usable[i]) start[cell(i) + 1]++;
    for (let c = 0; c < g * g; c++) start[c + 1] += start[c];
    const fill = start.slice(0, g * g);
    for (let i = 0; i < n; i++) if (usable[i]) order[fill[cell(i)]++] = i;
    grid = {g, cw, ch, start, order};
    state.cx = (box.x1 + box.x2) / 2, state.cy = (box.y1 + box.y2) / 2;
  }

  let W = 0, H = 0, baseScale = 1;
  function resize() {
    const el = $('map');
    W = el.clientWidth, H = el.clientHeight;
    for (const c of [$('marks'), $('coasts')]) c.width = W, c.height = H;
    baseScale = 0.96 * Math.min(W / (box.x2 - box.x1 || 1), H / (box.y2 - box.y1 || 1));
  }
  const scale = () => baseScale * state.zoom;
  const toScreen = (x, y) => [(x - state.cx) * scale() + W / 2, H / 2 - (y - state.cy) * scale()];
  const toMap = (sx, sy) => [(sx - W / 2) / scale() + state.cx, (H / 2 - sy) / scale() + state.cy];
  // Marks about nine tenths of the mean distance between stations.
  function markSize() {
    const area = (box.x2 - box.x1) * (box.y2 - box.y1) * scale() * scale();
    return Math.max(3, Math.min(15, Math.round(0.9 * Math.sqrt(area / Math.max(onMap, 1)))));
  }
  function rgba(hex) {
    const v = parseInt(hex.slice(1), 16);
    return (0xff000000 | (v & 0xff) << 16 | (v & 0xff00) | (v >> 16 & 0xff)) >>> 0;
  }
  function classOf(levels, v) {
    let c = 0;
    while (c < levels.length && levels[c] <= v) c++;  // a value on a boundary is in the class above
    return c;
  }

  // The values shown, of every station.
  const values = () => sets.get('set-' + meta.sets[state.set].base + '-' + (state.step + 1) + '.js');

  // The stations as pixels, the coasts and the frame's border above them
  // (only these, with the selected station's ring, for an `overlay`).
  function draw(overlay) {
    if (!W || !H) return;
    const m = markSize(), h = m >> 1;
    if (!overlay) drawMarks(m, h);
    drawOverlay($('coasts').getContext('2d'), h);
  }
  // Each station a square of m x m pixels in the colour of its class,
  // each missing value a grey cross above them.
  function drawMarks(m, h) {
    const ctx = $('marks').getContext('2d'), img = ctx.createImageData(W, H);
    const pix = new Uint32Array(img.data.buffer);
    pix.fill(0xffffffff);
    const set = meta.sets[state.set], v = values(), levels = set.levels, colours = set.colours.map(rgba);
    const s = scale(), ox = W / 2 - state.cx * s, oy = H / 2 + state.cy * s;
    const missing = [];
    for (let i = 0; i < meta.stations; i++) {
      if (!usable[i]) continue;
      const x = Math.round(px[i] * s + ox), y = Math.round(oy - py[i] * s);
      if (x < -m || y < -m || x > W + m || y > H + m) continue;
      const val = v[i];
      if (!drawable(val)) { missing.push(x, y); continue; }
      const colour = colours[classOf(levels, val)] || 0xff808080;
      const x1 = Math.max(0, x - h), x2 = Math.min(W - 1, x + h), y2 = Math.min(H - 1, y + h);
      for (let yy = Math.max(0, y - h); yy <= y2; yy++)
        for (let o = yy * W + x1, end = yy * W + x2; o <= end; o++) pix[o] = colour;
    }
    const grey = 0xff7f7f7f, r = Math.max(2, h + 1);
    for (let j = 0; j < missing.length; j += 2) {
      for (let d = -r; d <= r; d++) {
        for (const [x, y] of [[missing[j] + d, missing[j + 1] + d], [missing[j] + d, missing[j + 1] - d]])
          if (x >= 0 && y >= 0 && x < W && y < H) pix[y * W + x] = grey;
      }
    }
    ctx.putImageData(img, 0, 0);
  }
  function drawOverlay(c, h) {
    c.clearRect(0, 0, W, H);
    c.save();
    c.beginPath();
    outline.forEach(([x, y], j) => (j ? c.lineTo : c.moveTo).call(c, ...toScreen(x, y)));
    c.closePath();
    c.lineWidth = 1.2, c.strokeStyle = '#333';
    c.stroke();
    c.clip();
    c.beginPath();
    for (const xy of coasts) {
      for (let j = 0; j < xy.length; j += 2) {
        const [x, y] = toScreen(xy[j], xy[j + 1]);
        if (j) c.lineTo(x, y); else c.moveTo(x, y);
      }
    }
    c.lineWidth = 1.2, c.strokeStyle = '#000';  // black, as on the pictures: seen over dense marks
    c.stroke();
    c.restore();
    if (state.selected >= 0 && usable[state.selected]) {
      const [x, y] = toScreen(px[state.selected], py[state.selected]);
      c.beginPath(), c.arc(x, y, h + 5, 0, 2 * Math.PI);
      c.lineWidth = 2, c.strokeStyle = '#000';
      c.stroke();
    }
  }
  // Draws at the next frame, the marks too unless only the `overlay` changed.
  let pending = null;
  function redraw(overlay = false) {
    if (pending === null) requestAnimationFrame(() => { const o = pending; pending = null; draw(o); });
    pending = pending === null ? overlay : pending && overlay;
  }

  // The station nearest the screen point within a few pixels, or -1.
  function stationAt(sx, sy) {
    const [x, y] = toMap(sx, sy), reach = Math.max(6, markSize() / 2 + 2) / scale();
    const {g, cw, ch, start, order} = grid;
    const cell = (v, from, size) => Math.max(0, Math.min(g - 1, Math.floor((v - from) / size)));
    let best = -1, bestD = reach * reach;
    for (let cy = cell(y - reach, box.y1, ch); cy <= cell(y + reach, box.y1, ch); cy++) {
      for (let cx = cell(x - reach, box.x1, cw); cx <= cell(x + reach, box.x1, cw); cx++) {
        for (let j = start[cy * g + cx]; j < start[cy * g + cx + 1]; j++) {
          const i = order[j], d = (px[i] - x) ** 2 + (py[i] - y) ** 2;
          if (d < bestD || (d === bestD && i < best)) best = i, bestD = d;
        }
      }
    }
    return best;
  }

  // The tip of station `i` (-1: none) beside the pointer at `sx`, `sy`.
  function showTip(i, sx = state.tipX, sy = state.tipY) {
    const tip = $('tip');
    state.hover = i, state.tipX = sx, state.tipY = sy;
    if (i < 0) { tip.hidden = true; return; }
    const set = meta.sets[state.set], v = values()[i];
    tip.innerHTML = 'Station <b data-f="station">' + (i + 1) + '</b><br>Lon, lat <span class="num" data-f="position">' +
        esc(position(i)) + '</span>, region <span class="num" data-f="region">' + esc(region(i)) + '</span><br>' +
        esc(set.headings[state.step]) + ': <b class="num" data-f="value">' + esc(value(v)) + '</b>' +
        (drawable(v) ? '' : ' (missing)');
    tip.hidden = false;
    tip.style.left = Math.min(sx + 14, W - tip.offsetWidth - 4) + 'px';
    tip.style.top = Math.min(sy + 14, H - tip.offsetHeight - 4) + 'px';
  }

  // ----- What is shown -----

  function fillSelect(el, items, chosen) {
    el.innerHTML = items.map((t, i) => '<option value="' + i + '"' + (i === chosen ? ' selected' : '') + '>' +
        esc(t) + '</option>').join('');
  }

  // The statistic `stat`, its period `period` and time step `step`, once
  // its values are loaded.
  async function show(stat, period, step) {
    const st = meta.stats[stat];
    period = Math.max(0, Math.min(period, st.sets.length - 1));
    const set = meta.sets[st.sets[period]];
    step = Math.max(0, Math.min(step, set.steps - 1));
    const file = 'set-' + set.base + '-' + (step + 1) + '.js';
    if (!sets.has(file)) await load(file);
    Object.assign(state, {stat, period, step, set: st.sets[period]});
    fillSelect($('stat'), meta.stats.map(s => s.title), stat);
    $('period-label').hidden = st.periods.length === 0;
    fillSelect($('period'), st.periods, period);
    fillSelect($('step'), set.headings, step);
    $('title').innerHTML = '<b>' + esc(set.title) + '</b><br>' + esc(set.base) + ', ' + esc(set.headings[step]);
    $('quantity').textContent = set.quantity;
    legend(set);
    const v = values();
    let missing = 0;
    for (let i = 0; i < meta.stations; i++) if (!drawable(v[i])) missing++;
    $('counts').innerHTML = '<span id="n-map">' + onMap + '</span> stations on the map; <span id="n-missing">' +
        missing + '</span> missing here (grey crosses); <span id="n-unusable">' + meta.unusable +
        '</span> without a usable position (not on the map).';
    list($('highest'), extremes(v, true));
    list($('lowest'), extremes(v, false));
    if (state.hover >= 0) showTip(state.hover);  // the new value, where the pointer is
    draw();
  }

  function legend(set) {
    const L = set.labels, n = set.colours.length;
    const words = c => c === 0 ? (set.low ? set.low + ' to ' + L[0] : 'below ' + L[0])
        : c === n - 1 ? (set.high ? L[c - 1] + ' to ' + set.high : L[c - 1] + ' and above') : L[c - 1] + ' to ' + L[c];
    let html = '';
    for (let c = n - 1; c >= 0; c--)
      html += '<div><span class="box" style="background:' + esc(set.colours[c]) + '"></span>' +
          esc(n === 1 ? 'every value' : words(c)) + '</div>';
    $('legend').innerHTML = html + '<div><span class="box" style="background:#fff;text-align:center;color:#7f7f7f">' +
        '&times;</span>missing</div>';
  }

  // The `LIST` stations of the highest (or lowest) values, the first
  // station first among equal values.
  function extremes(v, highest) {
    const top = [];
    const before = (a, b) => highest ? v[a] > v[b] : v[a] < v[b];
    for (let i = 0; i < meta.stations; i++) {
      if (!drawable(v[i])) continue;
      if (top.length === LIST && !before(i, top[LIST - 1])) continue;
      let j = Math.min(top.length, LIST - 1);
      while (j > 0 && before(i, top[j - 1])) top[j] = top[j - 1], j--;
      top[j] = i;
    }
    return top;
  }
  function list(el, stations) {
    const v = values();
    el.innerHTML = stations.map(i => '<li data-station="' + i + '"><span class="num">' + esc(value(v[i])) +
        '</span> station ' + (i + 1) + (usable[i] ? '' : ' (no position)') + '</li>').join('');
  }

  // Centres the map on station i, marks it and opens its card.
  function jump(i) {
    state.selected = i;
    if (usable[i]) {
      state.cx = px[i], state.cy = py[i], state.zoom = Math.max(state.zoom, 4);
      showTip(i, ...toScreen(px[i], py[i]));
    }
    return openCard(i).then(() => redraw());
  }

  // ----- The card of a station -----

  async function openCard(i) {
    const b = Math.floor(i / meta.block);
    if (!cards.has(b)) await load('card-' + b + '.js');
    const rec = cards.get(b), at = (i - b * meta.block) * meta.record;
    let html = '<button class="close" title="Close">&times;</button><h2>Station ' + (i + 1) + '</h2>' +
        '<p>Lon, lat <span class="num" data-f="position">' + esc(position(i)) + '</span>, region ' +
        '<span class="num" data-f="region">' + esc(region(i)) + '</span>' +
        (usable[i] ? '' : ' (no usable position: not on the map)') + '</p>';
    meta.groups.forEach((g, gi) => {
      html += '<h3>' + esc(g.title) + (g.file ? ' <small>(' + esc(g.file) + ')</small>' : '') + '</h3>' +
          '<table data-group="' + gi + '"><tr><th></th>' + g.columns.map(c => '<th>' + esc(c) + '</th>').join('') +
          '</tr>';
      g.rows.forEach((label, r) => {
        html += '<tr><th>' + esc(label) + '</th>';
        for (let c = 0; c < g.columns.length; c++)
          html += '<td class="num">' + esc(value(rec[at + g.offset + r * g.columns.length + c])) + '</td>';
        html += '</tr>';
      });
      html += '</table>';
    });
    const card = $('card');
    card.innerHTML = html;
    card.dataset.station = i;
    card.hidden = false;
    card.querySelector('.close').onclick = () => { card.hidden = true; };
  }

  // ----- Events -----

  function zoomAt(factor, sx, sy) {
    const [x, y] = toMap(sx, sy);
    state.zoom = Math.max(1, Math.min(2000, state.zoom * factor));
    state.cx = x - (sx - W / 2) / scale(), state.cy = y + (sy - H / 2) / scale();
    if (state.zoom === 1) state.cx = (box.x1 + box.x2) / 2, state.cy = (box.y1 + box.y2) / 2;
    redraw();
  }

  function listen() {
    const top = $('coasts');
    let drag = null;
    top.addEventListener('wheel', e => { e.preventDefault(); zoomAt(e.deltaY < 0 ? 1.25 : 0.8, e.offsetX, e.offsetY); },
                         {passive: false});
    top.addEventListener('pointerdown', e => {
      drag = {x: e.offsetX, y: e.offsetY, cx: state.cx, cy: state.cy, moved: false};
    });
    top.addEventListener('pointermove', e => {
      if (drag && (drag.moved || Math.abs(e.offsetX - drag.x) + Math.abs(e.offsetY - drag.y) > 4)) {
        drag.moved = true;
        state.cx = drag.cx - (e.offsetX - drag.x) / scale(), state.cy = drag.cy + (e.offsetY - drag.y) / scale();
        $('tip').hidden = true;
        redraw();
        return;
      }
      showTip(stationAt(e.offsetX, e.offsetY), e.offsetX, e.offsetY);
    });
    top.addEventListener('pointerup', e => {
      const click = drag && !drag.moved;
      drag = null;
      const i = click ? stationAt(e.offsetX, e.offsetY) : -1;
      if (i >= 0) { state.selected = i; openCard(i).then(() => redraw(true), failed); }
    });
    top.addEventListener('pointerleave', () => { drag = null; showTip(-1); });
    $('zoom-in').onclick = () => zoomAt(1.5, W / 2, H / 2);
    $('zoom-out').onclick = () => zoomAt(1 / 1.5, W / 2, H / 2);
    $('zoom-reset').onclick = () => zoomAt(0, W / 2, H / 2);
    $('stat').onchange = e => show(+e.target.value, state.period, state.step).catch(failed);
    $('period').onchange = e => show(state.stat, +e.target.value, state.step).catch(failed);
    $('step').onchange = e => show(state.stat, state.period, +e.target.value).catch(failed);
    for (const id of ['highest', 'lowest'])
      $(id).onclick = e => { const li = e.target.closest('li'); if (li) jump(+li.dataset.station).catch(failed); };
    window.addEventListener('resize', () => { resize(); redraw(); });
  }

  function failed(err) {
    $('error').textContent = String(err.message || err);
    throw err;
  }

  // ----- The data scripts call these -----

  return {
    meta(m) {
      meta = m;
      // The selector's statistics: each whole-series data set, and each
      // per-period statistic with its periods.
      meta.stats = [];
      const byTitle = new Map();
      meta.sets.forEach((s, i) => {
        if (!byTitle.has(s.stat)) {
          byTitle.set(s.stat, {title: s.statTitle, sets: [], periods: []});
          meta.stats.push(byTitle.get(s.stat));
        }
        const st = byTitle.get(s.stat);
        st.sets.push(i);
        if (s.period) st.periods.push(s.period);
      });
      prepare();
      resize();
      listen();
      show(0, 0, 0).then(() => readyDone(performance.now()), failed);
    },
    loaded(base, step, b64) { sets.set('set-' + base + '-' + step + '.js', decode(b64)); },
    card(block, b64) { cards.set(block, decode(b64)); },
    // For scripts that drive the page (its tests among them).
    info: () => meta, ready, state, show, openCard, jump, stationAt, fixed,
    screenOf: i => usable[i] ? toScreen(px[i], py[i]) : null,
  };
})();
