// The page of tarno-headless --web: the library's grid, the large view with its info panel, and
// the assistant. Every piece of text that comes from the library or the assistant is put in the
// DOM as text, never as markup.
'use strict';

(() => {
  const token = document.querySelector('meta[name="tarno-token"]')?.content ?? '';
  const $ = (id) => document.getElementById(id);

  const labelNames = ['none', 'red', 'orange', 'yellow', 'green', 'blue', 'purple', 'gray'];
  // Lightroom's keys for colour labels; purple and gray have none there, nor here.
  const labelKeys = { 6: 'red', 7: 'yellow', 8: 'green', 9: 'blue' };
  const flagNames = { 1: 'pick', '-1': 'reject', 0: 'none' };
  const tileBatch = 500;
  // The server keeps a rendering per requested size: a few sizes keep that cache useful.
  const thumbSizes = [256, 384, 512, 768, 1024];

  // ---------------------------------------------------------------------------------------------
  // Talking to the server

  class HttpError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  async function request(method, path, body, signal) {
    const init = { method, headers: { 'X-Tarno-Token': token }, signal };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    const response = await fetch(path, init);
    if (response.status === 403) {
      // The token changes at every start of the server: this page is from an earlier one.
      throw new HttpError(403, 'the server no longer accepts this page; open the address tarno-headless printed');
    }
    if (!response.ok) throw new HttpError(response.status, await errorText(response));
    return response;
  }

  async function errorText(response) {
    try {
      const body = await response.json();
      if (body && typeof body.error === 'string') return body.error;
    } catch (_) {
      // Not JSON: the status says enough.
    }
    return `The page's server answered ${response.status} ${response.statusText}`.trim();
  }

  const getJSON = async (path) => (await request('GET', path)).json();
  const postJSON = async (path, body) => (await request('POST', path, body)).json();

  let rpcID = 0;
  async function rpc(method, params) {
    const answer = await postJSON('/api/rpc', { jsonrpc: '2.0', id: ++rpcID, method, params });
    if (answer.error) throw new Error(answer.error.message || `${method} failed`);
    return answer.result;
  }

  // Reads an NDJSON body line by line, handing each decoded object to `onEvent`. A line is
  // bounded, like every frame the helper sends.
  const maxLineLength = 8 * 1024 * 1024;
  async function readNDJSON(response, onEvent) {
    const reader = response.body.getReader();
    const decoder = new TextDecoder();
    let pending = '';
    for (;;) {
      const { value, done } = await reader.read();
      pending += decoder.decode(value ?? new Uint8Array(), { stream: !done });
      let newline;
      while ((newline = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, newline).trim();
        pending = pending.slice(newline + 1);
        if (line) onEvent(JSON.parse(line));
      }
      if (pending.length > maxLineLength) {
        await reader.cancel();
        throw new Error('the assistant sent a line longer than 8 MiB');
      }
      if (done) break;
    }
    if (pending.trim()) onEvent(JSON.parse(pending));
  }

  let messageTimer = 0;
  function showMessage(text, isError = true) {
    const el = $('message');
    el.textContent = text;
    el.classList.toggle('error', isError);
    clearTimeout(messageTimer);
    messageTimer = setTimeout(() => { el.textContent = ''; }, 6000);
  }

  // ---------------------------------------------------------------------------------------------
  // What the page knows

  const state = {
    seq: 0,
    title: '',
    isLibrary: true,
    ids: [],
    index: new Map(), // id -> position in ids
    selection: new Set(),
    primary: null,
    focus: null,
    anchor: null, // where a shift-click range starts
  };
  const tiles = new Map(); // id -> tile data from /api/tiles
  const tileElements = new Map(); // id -> element, reused across views
  let shownSelection = new Set();
  let shownPrimary = null;
  let shownFocus = null;

  window.tarnoPage = { seq: 0, renderedAt: 0, viewTitle: '', count: 0 };

  function flagName(flag) {
    if (typeof flag === 'string') return flag;
    return flagNames[flag] ?? 'none';
  }

  function labelName(label) {
    if (typeof label === 'string') return label.toLowerCase() === 'grey' ? 'gray' : label.toLowerCase();
    return labelNames[label] ?? 'none';
  }

  let tileSide = 170; // CSS pixels, from the zoom slider
  function thumbSize() {
    const needed = tileSide * (window.devicePixelRatio || 1);
    return thumbSizes.find((s) => s >= needed) ?? thumbSizes[thumbSizes.length - 1];
  }

  const imageURL = (id, size, version) =>
    `/api/photos/${encodeURIComponent(id)}/image?size=${size}&v=${encodeURIComponent(version ?? 0)}`;

  // ---------------------------------------------------------------------------------------------
  // Tiles

  // Tiles are clones of the page's template: thousands of them are made at once.
  const tileTemplate = document.getElementById('tile-template').content.firstElementChild;

  // Thumbnails are asked for only on and just below the screen: the browser's own lazy loading
  // reaches several screens ahead, and those requests would queue before the first screen's.
  const nearScreen = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const tile = entry.target;
      tile.tarnoNear = entry.isIntersecting;
      const img = tile.tarnoParts.img;
      if (tile.tarnoNear && img.dataset.src && img.getAttribute('src') !== img.dataset.src) {
        img.src = img.dataset.src;
      }
    }
  }, { root: document.getElementById('grid-scroll'), rootMargin: '0px 0px 300px 0px' });

  function makeTile(id) {
    const tile = tileTemplate.cloneNode(true);
    tile.dataset.id = id;
    tile.tarnoParts = {
      img: tile.querySelector('img'),
      stars: tile.querySelector('.stars'),
      flag: tile.querySelector('.flag'),
      label: tile.querySelector('.label'),
      name: tile.querySelector('.name'),
    };
    nearScreen.observe(tile);
    return tile;
  }

  function tileElement(id) {
    let el = tileElements.get(id);
    if (!el) {
      el = makeTile(id);
      tileElements.set(id, el);
      const data = tiles.get(id);
      if (data) applyTile(el, data);
    }
    return el;
  }

  // Touches only what changed, so a rating change costs one tile a few attribute writes.
  function applyTile(el, data) {
    el.classList.remove('loading');
    const shown = el.tarnoShown ?? {};
    const parts = el.tarnoParts;
    const rating = Math.max(0, Math.min(5, Number(data.rating) || 0));
    if (shown.rating !== rating) {
      const { stars } = parts;
      stars.dataset.rating = String(rating);
      stars.title = rating ? `${rating} star${rating > 1 ? 's' : ''}` : 'Not rated';
    }
    const flag = flagName(data.flag);
    if (shown.flag !== flag) {
      const f = parts.flag;
      f.dataset.flag = flag;
      f.textContent = flag === 'pick' ? '⚑' : flag === 'reject' ? '✕' : '';
      f.title = flag === 'pick' ? 'Picked' : flag === 'reject' ? 'Rejected' : '';
      el.classList.toggle('rejected', flag === 'reject');
    }
    const label = labelName(data.label);
    if (shown.label !== label) {
      const l = parts.label;
      l.dataset.label = label;
      l.title = label === 'none' ? '' : `Label: ${label}`;
      el.dataset.label = label;
    }
    if (shown.fileName !== data.fileName) {
      parts.name.textContent = data.fileName ?? '';
      el.title = data.fileName ?? '';
    }
    if (shown.isVideo !== Boolean(data.isVideo)) el.classList.toggle('video', Boolean(data.isVideo));
    if (shown.favorite !== Boolean(data.favorite)) el.classList.toggle('favorite', Boolean(data.favorite));
    const size = thumbSize();
    const src = imageURL(data.id, size, data.stackVersion);
    if (shown.src !== src) {
      parts.img.dataset.src = src;
      if (el.tarnoNear || parts.img.loading === 'eager') parts.img.src = src;
    }
    el.tarnoShown = {
      rating, flag, label, fileName: data.fileName, isVideo: Boolean(data.isVideo),
      favorite: Boolean(data.favorite), src,
    };
  }

  // Fetches tile data for `ids` in batches and shows it; unknown ids are simply left out.
  // Tile data is versioned per photo: an answer asked for before a change to that photo was
  // announced must not overwrite the answer asked for after it.
  const tileVersions = new Map();
  let allTilesVersion = 0;
  const tileVersion = (id) => `${allTilesVersion}.${tileVersions.get(id) ?? 0}`;

  function forgetTiles(ids) {
    if (ids === undefined) {
      allTilesVersion += 1;
      tiles.clear();
      return;
    }
    for (const id of ids) {
      tileVersions.set(id, (tileVersions.get(id) ?? 0) + 1);
      tiles.delete(id);
    }
  }

  // Returns the ids the server knew.
  async function loadTiles(ids) {
    const known = new Set();
    for (let start = 0; start < ids.length; start += tileBatch) {
      const batch = ids.slice(start, start + tileBatch);
      const asked = new Map(batch.map((id) => [id, tileVersion(id)]));
      const answer = await postJSON('/api/tiles', { ids: batch });
      for (const data of answer.tiles ?? []) {
        known.add(data.id);
        if (asked.get(data.id) !== tileVersion(data.id)) continue;
        tiles.set(data.id, data);
        const el = tileElements.get(data.id);
        if (el) applyTile(el, data);
      }
    }
    return known;
  }

  function columns() {
    const template = getComputedStyle($('grid')).gridTemplateColumns;
    return Math.max(1, template.split(' ').filter((t) => t && t !== 'none').length);
  }

  // About how many tiles fill the grid's area, before any tile is laid out.
  function firstScreenCount() {
    const box = $('grid-scroll').getBoundingClientRect();
    const cols = Math.max(1, Math.floor((box.width - 18) / (tileSide + 6)));
    const rows = Math.ceil(box.height / (tileSide + 40)) + 1;
    return cols * rows;
  }

  // The ids of the view starting at the first row on screen, for fetching what is seen first.
  function idsFromScreen() {
    const scroller = $('grid-scroll');
    const cols = columns();
    let stride = 200;
    if (state.ids.length > cols) {
      stride = tileElement(state.ids[cols]).offsetTop - tileElement(state.ids[0]).offsetTop || stride;
    }
    const start = Math.min(state.ids.length, Math.floor(scroller.scrollTop / stride) * cols);
    return state.ids.slice(start).concat(state.ids.slice(0, start));
  }

  // ---------------------------------------------------------------------------------------------
  // Rendering the state

  function sameIds(a, b) {
    if (a.length !== b.length) return false;
    for (let i = 0; i < a.length; i += 1) if (a[i] !== b[i]) return false;
    return true;
  }

  // Applies a state read from the server; `keepSelection` leaves the local selection alone
  // while a selection of ours is on its way to the library.
  function applyState(next, keepSelection) {
    const view = next.view ?? {};
    const ids = Array.isArray(view.ids) ? view.ids : [];
    const title = view.title ?? '';
    const viewChanged = !sameIds(ids, state.ids);
    const freshView = title !== state.title || (ids[0] !== state.ids[0]);
    state.title = title;
    state.isLibrary = Boolean(view.isLibrary);
    if (viewChanged) {
      state.ids = ids;
      state.index = new Map(ids.map((id, i) => [id, i]));
      // Scrolled back before the change, while the old layout is still valid: after it, the
      // scroll would force the new grid's layout at once.
      if (freshView) $('grid-scroll').scrollTop = 0;
      $('grid').replaceChildren(...ids.map(tileElement));
      $('empty').hidden = ids.length > 0;
      pruneTileElements();
    }
    if (!keepSelection) {
      state.selection = new Set((next.selection ?? []).filter((id) => state.index.has(id)));
      state.primary = next.primary ?? null;
      state.focus = next.focus ?? state.primary;
    }
    renderSelection();
    renderHeading();
  }

  // Elements of photos far from the view are dropped so a long session stays bounded.
  function pruneTileElements() {
    if (tileElements.size <= state.ids.length + 4000) return;
    for (const id of tileElements.keys()) {
      if (!state.index.has(id)) {
        tileElements.delete(id);
        tiles.delete(id);
      }
    }
  }

  function renderHeading() {
    $('view-title').textContent = state.title || 'Library';
    const count = state.ids.length;
    const countEl = $('view-count');
    countEl.textContent = `${count.toLocaleString()} ${count === 1 ? 'photo' : 'photos'}`;
    countEl.dataset.count = String(count);
    const selected = state.selection.size;
    $('selection-count').textContent = selected > 1 ? `${selected.toLocaleString()} selected` : '';
    $('library').classList.toggle('active', state.isLibrary);
    document.title = state.title ? `${state.title} — Tarno` : 'Tarno';
  }

  function renderSelection() {
    for (const id of shownSelection) {
      if (state.selection.has(id)) continue;
      const tile = tileElements.get(id);
      tile?.classList.remove('selected');
      tile?.removeAttribute('aria-selected');
    }
    for (const id of state.selection) {
      const tile = tileElements.get(id);
      tile?.classList.add('selected');
      tile?.setAttribute('aria-selected', 'true');
    }
    shownSelection = new Set(state.selection);
    const primary = state.primary && state.selection.has(state.primary) ? state.primary : null;
    if (shownPrimary !== primary) {
      tileElements.get(shownPrimary)?.classList.remove('primary');
      shownPrimary = primary;
    }
    if (primary) tileElements.get(primary)?.classList.add('primary');
    if (shownFocus !== state.focus) {
      tileElements.get(shownFocus)?.classList.remove('focused');
      shownFocus = state.focus;
    }
    tileElements.get(state.focus)?.classList.add('focused');
    if (loupe.open && state.focus && state.focus !== loupe.id) showLoupe(state.focus);
  }

  function markRendered(seq) {
    window.tarnoPage = {
      seq,
      renderedAt: performance.timeOrigin + performance.now(),
      viewTitle: state.title,
      count: state.ids.length,
    };
  }

  // ---------------------------------------------------------------------------------------------
  // Live updates: change events are gathered, then one refresh reads the state and the tiles
  // they name. Changes that arrive during a refresh start another one right after it.

  const live = {
    pendingSeq: 0, changedIds: new Set(), all: false, needState: false, timer: 0, running: false,
    again: false,
  };
  // Changes that touch photos and nothing else: the view and the selection stay as they are,
  // so only the tiles named are read again.
  const photoOnlyMethods = new Set([
    'photo.rate', 'photo.flag', 'photo.label', 'photo.favorite', 'edit.set', 'edit.commit',
    'annotate.set',
  ]);
  let selectEpoch = 0; // bumped by every selection of ours; a state read older than it is stale
  let selectsInFlight = 0;

  function scheduleRefresh(delay = 0) {
    if (live.running) live.again = true;
    if (live.timer || live.running) return;
    live.timer = setTimeout(refresh, delay);
  }

  async function refresh() {
    live.timer = 0;
    live.running = true;
    live.again = false;
    const seq = live.pendingSeq;
    const changed = live.changedIds;
    const all = live.all;
    const needState = live.needState || all;
    live.changedIds = new Set();
    live.all = false;
    live.needState = false;
    const epoch = selectEpoch;
    try {
      if (!needState) {
        const stale = state.ids.filter((id) => changed.has(id));
        forgetTiles(stale);
        await loadTiles(stale);
        markRendered(Math.max(seq, window.tarnoPage.seq));
        if (loupe.open && changed.has(loupe.id)) showLoupe(loupe.id);
        return;
      }
      const next = await getJSON('/api/state');
      // Everything is read again after the event stream (re)connects: changes may have been
      // missed. Tiles still show their old data until the new arrives.
      if (all) forgetTiles();
      await showState(next, epoch, changed);
      markRendered(Math.max(seq, all ? Number(next.seq) || 0 : 0, window.tarnoPage.seq));
      if (loupe.open && (all || changed.has(loupe.id))) showLoupe(loupe.id);
    } catch (error) {
      showMessage(`Could not refresh: ${error.message}`);
      live.needState = true;
    } finally {
      live.running = false;
      if (live.again) scheduleRefresh(0);
    }
  }

  // Shows a state read from the server, with fresh data for the `changed` tiles. A selection
  // of ours made since `epoch` (or still on its way) wins over the state's.
  async function showState(next, epoch, changed = new Set()) {
    const keepSelection = epoch !== selectEpoch || selectsInFlight > 0;
    const viewIds = next.view?.ids ?? [];
    const known = new Set(state.ids);
    const stale = viewIds.filter((id) => changed.has(id) && known.has(id));
    forgetTiles(stale);
    // The first screen of a new view is fetched before the grid changes, so it appears whole
    // rather than as empty frames; the rest follows in the background.
    const firstScreen = viewIds.slice(0, firstScreenCount())
      .filter((id) => !tiles.has(id) && !known.has(id));
    // Their thumbnails are asked for at once, without waiting for layout to find them.
    for (const id of firstScreen) tileElement(id).tarnoParts.img.loading = 'eager';
    await Promise.all([loadTiles(firstScreen), loadTiles(stale)]);
    applyState(next, keepSelection);
    fillTiles();
  }

  // Tile data for the rest of the view arrives in the background, nearest the screen first.
  let filling = false;
  async function fillTiles() {
    if (filling) return;
    filling = true;
    try {
      for (;;) {
        const wanted = idsFromScreen().filter((id) => !tiles.has(id)).slice(0, tileBatch);
        if (!wanted.length) break;
        const found = await loadTiles(wanted);
        // Ids the server no longer knows would be asked for forever.
        for (const id of wanted) if (!found.has(id)) tiles.set(id, { id, missing: true });
      }
    } catch (error) {
      showMessage(`Could not load photos: ${error.message}`);
    } finally {
      filling = false;
    }
  }

  function connectEvents() {
    const liveEl = $('live');
    const source = new EventSource('/api/events');
    // The first read of the state waits for the stream, so that no change falls between the
    // two; a stream that is refused or slow does not keep the page empty.
    let first = true;
    const readAll = () => {
      first = false;
      live.all = true;
      scheduleRefresh(0);
    };
    const firstRead = () => { if (first) readAll(); };
    setTimeout(firstRead, 500);
    source.addEventListener('open', () => {
      liveEl.dataset.state = 'live';
      liveEl.textContent = 'Live';
      // After a reconnection everything is read again: changes may have been missed.
      readAll();
    });
    source.addEventListener('error', () => {
      liveEl.dataset.state = 'offline';
      liveEl.textContent = 'Reconnecting…';
      firstRead();
    });
    source.addEventListener('change', (event) => {
      let change;
      try {
        change = JSON.parse(event.data);
      } catch (_) {
        return;
      }
      live.pendingSeq = Math.max(live.pendingSeq, Number(change.seq) || 0);
      for (const id of change.ids ?? []) live.changedIds.add(id);
      if (!photoOnlyMethods.has(change.method)) live.needState = true;
      scheduleRefresh();
    });
  }

  // ---------------------------------------------------------------------------------------------
  // Selection, shared with every client through library.select

  let selectQueued = null;
  function sendSelection() {
    selectEpoch += 1;
    const params = { ids: [...state.selection] };
    if (state.primary && state.selection.has(state.primary)) params.primary = state.primary;
    // One select at a time, the latest wins: the library sees them in the order made.
    if (selectsInFlight) {
      selectQueued = params;
      return;
    }
    const send = (p) => {
      selectsInFlight += 1;
      rpc('library.select', p)
        .catch((error) => showMessage(`Could not select: ${error.message}`))
        .finally(() => {
          selectsInFlight -= 1;
          if (selectQueued) {
            const queued = selectQueued;
            selectQueued = null;
            send(queued);
          } else {
            selectEpoch += 1;
            live.needState = true;
            scheduleRefresh(0);
          }
        });
    };
    send(params);
  }

  function select(ids, primary, reveal = true) {
    state.selection = new Set(ids);
    state.primary = primary;
    state.focus = primary ?? state.focus;
    renderSelection();
    renderHeading();
    sendSelection();
    if (primary && reveal) tileElement(primary).scrollIntoView({ block: 'nearest' });
  }

  function range(fromId, toId) {
    const a = state.index.get(fromId) ?? state.index.get(toId);
    const b = state.index.get(toId);
    const [lo, hi] = a < b ? [a, b] : [b, a];
    return state.ids.slice(lo, hi + 1);
  }

  function clickTile(id, event) {
    if (event.shiftKey) {
      const anchor = state.anchor && state.index.has(state.anchor) ? state.anchor : (state.primary ?? id);
      const span = range(anchor, id);
      const ids = event.metaKey || event.ctrlKey ? [...state.selection, ...span] : span;
      select(ids, id, false);
      return;
    }
    state.anchor = id;
    if (event.metaKey || event.ctrlKey) {
      const ids = new Set(state.selection);
      if (ids.has(id)) {
        ids.delete(id);
        const primary = state.primary === id ? ([...ids].pop() ?? null) : state.primary;
        select([...ids], primary, false);
      } else {
        ids.add(id);
        select([...ids], id, false);
      }
      return;
    }
    select([id], id, false);
  }

  function moveFocus(dx, dy, extend) {
    if (!state.ids.length) return;
    const current = state.index.get(state.focus);
    let target;
    if (current === undefined) {
      target = 0;
    } else {
      target = current + dx + dy * columns();
      if (target < 0 || target >= state.ids.length) {
        if (dy) return; // no row above or below
        target = Math.max(0, Math.min(state.ids.length - 1, target));
      }
    }
    const id = state.ids[target];
    if (extend) {
      const anchor = state.anchor && state.index.has(state.anchor) ? state.anchor : (state.focus ?? id);
      state.anchor = anchor;
      select(range(anchor, id), id);
    } else {
      state.anchor = id;
      select([id], id);
    }
  }

  // The photos a key acts on: the one in the large view; else the selection when the focus is
  // in it, else the focused photo.
  function targets() {
    if (loupe.open && loupe.id) return [loupe.id];
    if (state.focus && !state.selection.has(state.focus)) return [state.focus];
    if (state.selection.size) return [...state.selection];
    return state.focus ? [state.focus] : [];
  }

  // Shows the change at once; the change event that follows confirms it.
  async function change(method, params, local) {
    const ids = params.ids;
    if (!ids.length) return;
    for (const id of ids) {
      const data = tiles.get(id);
      if (!data || data.missing) continue;
      const updated = { ...data, ...local };
      tiles.set(id, updated);
      const el = tileElements.get(id);
      if (el) applyTile(el, updated);
    }
    if (loupe.open && ids.includes(loupe.id)) patchInfo(local);
    try {
      await rpc(method, params);
    } catch (error) {
      showMessage(error.message);
      for (const id of ids) live.changedIds.add(id);
      scheduleRefresh(0);
    }
  }

  const rate = (rating) => change('photo.rate', { ids: targets(), rating }, { rating });
  const flag = (f) => change('photo.flag', { ids: targets(), flag: f }, { flag: f });
  const label = (color) => change('photo.label', { ids: targets(), color }, { label: color });

  // ---------------------------------------------------------------------------------------------
  // The large view and its info panel

  const loupe = { open: false, id: null, info: null, token: 0 };

  function loupeSize() {
    const box = document.querySelector('.loupe-image').getBoundingClientRect();
    const needed = Math.max(box.width, box.height, 512) * (window.devicePixelRatio || 1);
    return Math.min(4096, Math.ceil(needed / 512) * 512);
  }

  function openLoupe() {
    const id = state.focus ?? state.primary ?? state.ids[0];
    if (!id) return;
    loupe.open = true;
    $('large-view').hidden = false;
    document.body.classList.add('loupe-open');
    showLoupe(id);
  }

  function closeLoupe() {
    if (!loupe.open) return;
    loupe.open = false;
    loupe.id = null;
    $('large-view').hidden = true;
    document.body.classList.remove('loupe-open');
    const img = $('loupe-img');
    img.removeAttribute('src');
    delete img.dataset.large;
    tileElements.get(state.focus)?.scrollIntoView({ block: 'nearest' });
  }

  function showLoupe(id) {
    loupe.id = id;
    const data = tiles.get(id);
    $('loupe-name').textContent = data?.fileName ?? '';
    const img = $('loupe-img');
    // The thumbnail the grid already has stands in until the large rendering arrives.
    const version = data?.stackVersion ?? 0;
    const large = imageURL(id, loupeSize(), version);
    if (img.dataset.large !== large) {
      img.classList.remove('no-image');
      $('loupe-video-note').hidden = true;
      img.src = imageURL(id, thumbSize(), version);
      img.dataset.large = large;
      const full = new Image();
      full.addEventListener('load', () => {
        if (img.dataset.large === large) img.src = large;
      });
      full.addEventListener('error', () => {
        if (img.dataset.large === large && data?.isVideo) $('loupe-video-note').hidden = false;
      });
      full.src = large;
    }
    refreshInfo();
  }

  async function refreshInfo() {
    const id = loupe.id;
    if (!id) return;
    const ticket = ++loupe.token;
    try {
      const info = await getJSON(`/api/photos/${encodeURIComponent(id)}`);
      if (ticket !== loupe.token) return;
      loupe.info = info;
      renderInfo(info);
      const data = tiles.get(id);
      if (data && data.stackVersion !== info.stackVersion) {
        tiles.set(id, { ...data, stackVersion: info.stackVersion });
        showLoupe(id);
      }
    } catch (error) {
      if (ticket !== loupe.token) return;
      $('info').replaceChildren(note(`Could not read this photo: ${error.message}`));
    }
  }

  function patchInfo(local) {
    if (loupe.info && loupe.info.id === loupe.id) renderInfo({ ...loupe.info, ...local });
  }

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  const note = (text) => el('p', 'note', text);

  function formatDate(text) {
    if (!text) return '';
    const date = new Date(text);
    if (Number.isNaN(date.getTime())) return String(text);
    return date.toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' });
  }

  function chips(list, className = 'chip') {
    const box = el('div', 'chips');
    for (const item of list) box.append(el('span', className, item));
    return box;
  }

  // Five stars that rate their photo when clicked; the CSS fills them from `data-rating`.
  function starsElement(rating) {
    const stars = el('span', 'stars');
    stars.dataset.rating = String(rating);
    for (let value = 1; value <= 5; value += 1) {
      const star = el('span', 'star');
      star.dataset.value = String(value);
      stars.append(star);
    }
    return stars;
  }

  // The rating a click on a star asks for: that star's value, or none when it is the rating
  // already given (a second click on the last filled star clears it).
  function clickedRating(event) {
    const star = event.target.closest('.star');
    if (!star) return null;
    const value = Number(star.dataset.value);
    return Number(star.parentElement.dataset.rating) === value ? 0 : value;
  }

  // A name/value list; `row` leaves out empty values.
  function infoRows() {
    const rows = el('dl', 'info-rows');
    const row = (name, value) => {
      if (value === undefined || value === null || value === '') return;
      rows.append(el('dt', null, name));
      const dd = el('dd');
      if (value instanceof Node) dd.append(value);
      else dd.textContent = String(value);
      rows.append(dd);
    };
    return { rows, row };
  }

  function renderInfo(info) {
    const panel = $('info');
    const { rows, row } = infoRows();
    const title = el('h3', 'info-title', info.fileName ?? '');
    const rating = Math.max(0, Math.min(5, Number(info.rating) || 0));
    const stars = starsElement(rating);
    const flagValue = flagName(info.flag);
    const labelValue = labelName(info.label);
    const labelBox = el('span', 'label-line');
    const swatch = el('span', 'label');
    swatch.dataset.label = labelValue;
    labelBox.append(swatch, document.createTextNode(labelValue === 'none' ? 'None' : labelValue));

    row('Captured', formatDate(info.capturedAt));
    row('Camera', info.camera);
    row('Exposure', info.exposure);
    row('Dimensions', info.dimensions);
    row('Rating', stars);
    row('Flag', flagValue === 'pick' ? 'Picked' : flagValue === 'reject' ? 'Rejected' : 'Unflagged');
    row('Label', labelBox);
    if (info.favorite) row('Favourite', 'Yes');
    if (info.hasEdits) row('Edits', 'Developed with its edits');

    const sections = [title, rows];
    if (Array.isArray(info.keywords) && info.keywords.length) {
      sections.push(el('h4', null, 'Keywords'), chips(info.keywords));
    }
    sections.push(el('h4', null, 'AI annotation'));
    sections.push(info.annotation ? annotationBlock(info.annotation) : note('Not annotated yet.'));
    panel.replaceChildren(...sections);
  }

  function annotationBlock(a) {
    const box = el('div', 'annotation');
    if (a.caption) box.append(el('p', 'caption', a.caption));
    if (a.longDescription) box.append(el('p', 'description', a.longDescription));
    const { rows, row } = infoRows();
    if (a.keywords?.length) row('Keywords', chips(a.keywords));
    if (a.subjects?.length) row('Subjects', chips(a.subjects));
    row('Scene', a.scene);
    row('Setting', a.setting);
    row('People', a.peopleCount);
    if (a.palette?.length) {
      const box2 = el('div', 'chips');
      for (const colour of a.palette) {
        const chip = el('span', 'chip swatch', colour);
        const dot = el('span', 'dot');
        dot.style.backgroundColor = String(colour); // an invalid colour is simply ignored
        chip.prepend(dot);
        box2.append(chip);
      }
      row('Palette', box2);
    }
    if (typeof a.keeperScore === 'number') row('Keeper score', a.keeperScore.toFixed(2));
    row('Text in image', a.ocrText);
    row('Model', typeof a.model === 'string' ? a.model : undefined);
    if (rows.childElementCount) box.append(rows);
    return box;
  }

  // ---------------------------------------------------------------------------------------------
  // Grid and keyboard

  function isTyping(target) {
    if (!(target instanceof Element)) return false;
    const field = 'input:not([type=checkbox]):not([type=button]), textarea, select, [contenteditable=""], [contenteditable="true"]';
    return target.closest(field) !== null;
  }

  function onKey(event) {
    if (isTyping(event.target)) {
      if (event.key === 'Escape') event.target.blur();
      return;
    }
    const key = event.key;
    // Enter and space on a focused button or link belong to it.
    if ((key === 'Enter' || key === ' ') && event.target instanceof Element
        && event.target.closest('button, a, input')) return;
    if ((event.metaKey || event.ctrlKey) && key.toLowerCase() === 'a') {
      event.preventDefault();
      select(state.ids, state.focus && state.index.has(state.focus) ? state.focus : state.ids[0]);
      return;
    }
    if (event.metaKey || event.ctrlKey || event.altKey) return;
    let handled = true;
    switch (key) {
      case 'ArrowLeft': moveFocus(-1, 0, event.shiftKey); break;
      case 'ArrowRight': moveFocus(1, 0, event.shiftKey); break;
      case 'ArrowUp': if (!loupe.open) moveFocus(0, -1, event.shiftKey); break;
      case 'ArrowDown': if (!loupe.open) moveFocus(0, 1, event.shiftKey); break;
      case 'Home': if (state.ids.length) select([state.ids[0]], state.ids[0]); break;
      case 'End': if (state.ids.length) select([state.ids.at(-1)], state.ids.at(-1)); break;
      case 'Enter': if (loupe.open) closeLoupe(); else openLoupe(); break;
      case 'Escape': if (loupe.open) closeLoupe(); else handled = false; break;
      case 'p': case 'P': flag('pick'); break;
      case 'x': case 'X': flag('reject'); break;
      case 'u': case 'U': flag('none'); break;
      case '/': $('prompt').focus(); break;
      default:
        if (/^[0-5]$/.test(key)) rate(Number(key));
        else if (labelKeys[key]) label(labelKeys[key]);
        else handled = false;
    }
    if (handled) event.preventDefault();
  }

  function setupGrid() {
    const grid = $('grid');
    // Image load and error events do not bubble: caught on the way down instead.
    grid.addEventListener('error', (event) => {
      if (event.target.tagName === 'IMG') event.target.closest('.tile')?.classList.add('no-image');
    }, true);
    grid.addEventListener('load', (event) => {
      if (event.target.tagName === 'IMG') event.target.closest('.tile')?.classList.remove('no-image');
    }, true);
    grid.addEventListener('click', (event) => {
      const tile = event.target.closest('.tile');
      if (!tile) return;
      const rating = clickedRating(event);
      if (rating !== null) change('photo.rate', { ids: [tile.dataset.id], rating }, { rating });
      else clickTile(tile.dataset.id, event);
    });
    $('info').addEventListener('click', (event) => {
      const rating = clickedRating(event);
      if (rating !== null && loupe.id) change('photo.rate', { ids: [loupe.id], rating }, { rating });
    });
    grid.addEventListener('dblclick', (event) => {
      const tile = event.target.closest('.tile');
      if (!tile) return;
      if (state.focus !== tile.dataset.id) select([tile.dataset.id], tile.dataset.id);
      openLoupe();
    });
    // A shift-click would otherwise select the page's text.
    grid.addEventListener('mousedown', (event) => {
      if (event.shiftKey) event.preventDefault();
    });
    $('library').addEventListener('click', async () => {
      try {
        const epoch = selectEpoch;
        const next = await postJSON('/api/view/library', {});
        closeLoupe();
        await showState(next, epoch);
      } catch (error) {
        showMessage(`Could not show the library: ${error.message}`);
      }
    });
    $('loupe-close').addEventListener('click', closeLoupe);
    $('loupe-prev').addEventListener('click', () => moveFocus(-1, 0, false));
    $('loupe-next').addEventListener('click', () => moveFocus(1, 0, false));
    $('loupe-img').addEventListener('dblclick', closeLoupe);

    const zoom = $('zoom');
    const applyZoom = () => {
      tileSide = Number(zoom.value);
      for (const [id, data] of tiles) {
        const tileEl = tileElements.get(id);
        if (tileEl && !data.missing) applyTile(tileEl, data);
      }
    };
    zoom.value = localStorage.getItem('tarno.zoom') ?? zoom.value;
    tileSide = Number(zoom.value);
    document.documentElement.style.setProperty('--tile', `${zoom.value}px`);
    zoom.addEventListener('input', () => {
      document.documentElement.style.setProperty('--tile', `${zoom.value}px`);
    });
    // New thumbnail sizes are asked for once the slider is let go, not at every step.
    zoom.addEventListener('change', () => {
      localStorage.setItem('tarno.zoom', zoom.value);
      applyZoom();
    });
    document.addEventListener('keydown', onKey);
    let resizeTimer = 0;
    window.addEventListener('resize', () => {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(() => { if (loupe.open) showLoupe(loupe.id); }, 200);
    });
  }

  // ---------------------------------------------------------------------------------------------
  // The assistant

  const maxTurns = 200;
  const assistant = {
    sessionID: null,
    running: null, // AbortController of the turn in progress
    tools: new Map(), // tool-use id -> its line, for the result
  };

  const displayName = (name) => {
    const cut = String(name).lastIndexOf('__');
    return cut >= 0 ? String(name).slice(cut + 2) : String(name);
  };

  // Text with its https addresses as links; nothing in it is read as markup.
  function linkified(text) {
    const frag = document.createDocumentFragment();
    const pattern = /https:\/\/[^\s<>"'`]+/g;
    let last = 0;
    for (const match of text.matchAll(pattern)) {
      const url = match[0].replace(/[.,;:!?)\]]+$/, '');
      frag.append(document.createTextNode(text.slice(last, match.index)));
      const a = el('a', null, url);
      a.href = url;
      a.target = '_blank';
      a.rel = 'noopener noreferrer';
      frag.append(a);
      last = match.index + url.length;
    }
    frag.append(document.createTextNode(text.slice(last)));
    return frag;
  }

  // The assistant writes Markdown; its common parts (paragraphs, lists, headings, bold, code)
  // are shown as such, built as DOM so that nothing in the text is taken as markup.
  function inline(text) {
    const frag = document.createDocumentFragment();
    const pattern = /(\*\*[^*\n]+\*\*|`[^`\n]+`)/g;
    let last = 0;
    for (const match of text.matchAll(pattern)) {
      frag.append(linkified(text.slice(last, match.index)));
      const token = match[0];
      if (token.startsWith('**')) frag.append(el('strong', null, token.slice(2, -2)));
      else frag.append(el('code', null, token.slice(1, -1)));
      last = match.index + token.length;
    }
    frag.append(linkified(text.slice(last)));
    return frag;
  }

  function rendered(text) {
    const frag = document.createDocumentFragment();
    let list = null;
    let paragraph = null;
    for (const line of text.split('\n')) {
      const item = /^\s*(?:[-*•]|\d+[.)])\s+(.*)$/.exec(line);
      const heading = /^#{1,6}\s+(.*)$/.exec(line);
      if (item) {
        const ordered = /^\s*\d/.test(line);
        if (!list || (list.tagName === 'OL') !== ordered) {
          list = el(ordered ? 'ol' : 'ul');
          frag.append(list);
        }
        const li = el('li');
        li.append(inline(item[1]));
        list.append(li);
        paragraph = null;
      } else if (heading) {
        const h = el('p', 'heading');
        h.append(inline(heading[1]));
        frag.append(h);
        list = null;
        paragraph = null;
      } else if (!line.trim()) {
        list = null;
        paragraph = null;
      } else {
        list = null;
        if (paragraph) paragraph.append('\n');
        else {
          paragraph = el('p');
          frag.append(paragraph);
        }
        paragraph.append(inline(line));
      }
    }
    return frag;
  }

  function scrollConversation(force) {
    const box = $('conversation');
    const nearBottom = box.scrollHeight - box.scrollTop - box.clientHeight < 120;
    if (force || nearBottom) box.scrollTop = box.scrollHeight;
  }

  // One turn in the conversation and the events that fill it.
  class Turn {
    constructor(promptText, kind) {
      this.el = el('div', `turn ${kind}`);
      if (promptText) this.el.append(el('div', 'prompt-text', promptText));
      this.body = el('div', 'turn-body');
      this.el.append(this.body);
      this.text = null; // the text block deltas are appended to
      this.streamed = '';
      this.working = el('div', 'working', kind === 'signin-turn' ? 'Starting sign-in…' : 'Thinking…');
      this.body.append(this.working);
      const conversation = $('conversation');
      conversation.append(this.el);
      // The oldest turns go once there are many: the page may stay open for days.
      while (conversation.childElementCount > maxTurns) conversation.firstElementChild.remove();
      scrollConversation(true);
    }

    // A streamed block is shown as plain text while it grows, then rendered once complete.
    closeText(text = this.streamed) {
      if (!this.text) return;
      this.text.replaceChildren(rendered(text));
      this.text.rawText = text;
      this.text = null;
    }

    add(node) {
      this.body.insertBefore(node, this.working.isConnected ? this.working : null);
      scrollConversation(false);
    }

    event(event) {
      const kind = Object.keys(event ?? {})[0];
      const payload = event?.[kind] ?? {};
      switch (kind) {
        case 'sessionStarted':
          if (payload.sessionID) assistant.sessionID = payload.sessionID;
          break;
        case 'textDelta':
          if (!this.text) {
            this.text = el('div', 'text');
            this.streamed = '';
            this.add(this.text);
          }
          this.streamed += payload._0 ?? '';
          this.text.append(payload._0 ?? '');
          scrollConversation(false);
          break;
        case 'assistantText': {
          const text = payload._0 ?? '';
          if (this.text) {
            this.closeText(text);
          } else {
            const block = el('div', 'text');
            block.append(rendered(text));
            block.rawText = text;
            this.add(block);
          }
          break;
        }
        case 'toolUse': {
          this.closeText();
          const line = el('div', 'tool running');
          line.dataset.toolId = payload.id ?? '';
          line.append(el('span', 'tool-name', displayName(payload.name ?? 'tool')));
          if (payload.inputSummary) line.append(el('span', 'tool-input', payload.inputSummary));
          line.append(el('span', 'tool-status', '…'));
          assistant.tools.set(payload.id, line);
          this.add(line);
          break;
        }
        case 'toolResult': {
          const line = assistant.tools.get(payload.id);
          if (!line) break;
          assistant.tools.delete(payload.id);
          line.classList.remove('running');
          line.classList.add(payload.isError ? 'error' : 'ok');
          const status = line.querySelector('.tool-status');
          status.textContent = payload.isError ? 'error' : 'ok';
          if (payload.summary) line.title = payload.summary;
          break;
        }
        case 'awaitingLoginCode':
          this.working.remove();
          this.add(codeForm());
          break;
        case 'finished':
          this.finish(payload.text ?? '', Boolean(payload.isError));
          if (payload.sessionID) assistant.sessionID = payload.sessionID;
          break;
        default:
          break;
      }
    }

    finish(text, isError) {
      this.working.remove();
      if (this.done) return;
      this.done = true;
      this.closeText();
      const blocks = this.body.querySelectorAll('.text');
      const last = blocks[blocks.length - 1];
      // The answer usually repeats the last text block: shown once, as the answer.
      if (!isError && last && (last.rawText ?? '').trim() === text.trim()) last.classList.add('superseded');
      const final = el('div', isError ? 'final error' : 'final');
      final.append(rendered(text || (isError ? 'The assistant stopped.' : 'Done.')));
      this.add(final);
      if (isError) {
        const hint = remedy(text);
        if (hint) this.add(hint);
      }
      scrollConversation(true);
    }
  }

  // What to do when a turn fails for want of the helper, the CLI or a sign-in.
  function remedy(text) {
    const t = text.toLowerCase();
    const box = el('div', 'remedy');
    if (/helper|assistant\.sock|not running|connection refused|no such file/.test(t)) {
      box.append('Start the helper: run ');
      box.append(el('code', null, 'make run'));
      box.append(' in the tarno-assistant folder, then send again.');
    } else if (/not installed|install|could not find|not found/.test(t)) {
      box.append('Install the Claude CLI (');
      box.append(el('code', null, 'claude'));
      box.append(') so the helper can find it, or pick the native engine.');
    } else if (/sign in|signed out|log ?in|logged|connect claude|authenticat|unauthori[sz]ed/.test(t)) {
      box.append('Sign in to Claude: ');
      const button = el('button', 'link-button', 'Sign in');
      button.type = 'button';
      button.addEventListener('click', signIn);
      box.append(button);
    } else {
      return null;
    }
    return box;
  }

  function codeForm() {
    const form = el('form', 'code-form');
    document.getElementById('login-code')?.removeAttribute('id');
    const input = el('input');
    input.id = 'login-code';
    input.type = 'text';
    input.placeholder = 'Paste the code from the sign-in page';
    input.autocomplete = 'off';
    input.spellcheck = false;
    const button = el('button', 'primary-button', 'Submit code');
    button.type = 'submit';
    const status = el('span', 'code-status');
    form.append(input, button, status);
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const code = input.value.trim();
      if (!code) return;
      button.disabled = true;
      try {
        const answer = await postJSON('/api/assistant/login/code', { code });
        status.textContent = answer.sent ? 'Code sent.' : 'No sign-in is waiting for a code.';
        if (answer.sent) input.disabled = true;
      } catch (error) {
        status.textContent = error.message;
      } finally {
        button.disabled = Boolean(input.disabled);
      }
    });
    setTimeout(() => input.focus(), 0);
    return form;
  }

  async function streamTurn(turn, path, body) {
    const controller = new AbortController();
    assistant.running = controller;
    setRunning(true);
    try {
      const response = await request('POST', path, body, controller.signal);
      await readNDJSON(response, (event) => turn.event(event));
      if (!turn.done) turn.finish('The answer ended before the assistant finished.', true);
    } catch (error) {
      if (error.name === 'AbortError') turn.finish('Stopped.', true);
      else turn.finish(error.message, true);
    } finally {
      assistant.running = null;
      setRunning(false);
      loadStatus();
    }
  }

  function setRunning(running) {
    const send = $('send');
    send.textContent = running ? 'Stop' : 'Send';
    send.classList.toggle('stop', running);
    $('signin').disabled = running;
  }

  function sendPrompt() {
    if (assistant.running) {
      assistant.running.abort();
      return;
    }
    const promptEl = $('prompt');
    const prompt = promptEl.value.trim();
    if (!prompt) return;
    promptEl.value = '';
    const body = {
      prompt,
      model: $('model').value || undefined,
      engine: $('engine').value || 'claude',
      allowCommit: $('allow-commit').checked,
    };
    if (assistant.sessionID) body.resumeSessionID = assistant.sessionID;
    streamTurn(new Turn(prompt, 'run-turn'), '/api/assistant/run', body);
  }

  function signIn() {
    if (assistant.running) return;
    streamTurn(new Turn('Sign in to Claude', 'signin-turn'), '/api/assistant/login', {});
  }

  function newConversation() {
    if (assistant.running) assistant.running.abort();
    assistant.sessionID = null;
    assistant.tools.clear();
    $('conversation').replaceChildren();
    $('prompt').focus();
  }

  async function loadModels() {
    try {
      const answer = await getJSON('/api/assistant/models');
      const model = $('model');
      const taglines = new Map();
      model.replaceChildren(...(answer.models ?? []).map((m) => {
        const option = el('option', null, m.name ?? m.id);
        option.value = m.id;
        taglines.set(m.id, m.tagline ?? '');
        return option;
      }));
      const savedModel = localStorage.getItem('tarno.model');
      if (savedModel && taglines.has(savedModel)) model.value = savedModel;
      const showTagline = () => { $('model-tagline').textContent = taglines.get(model.value) ?? ''; };
      model.addEventListener('change', () => {
        localStorage.setItem('tarno.model', model.value);
        showTagline();
      });
      showTagline();

      const engine = $('engine');
      // An engine that is not available stays selectable: a turn on it answers with the
      // sentence that says why, which is more use than a greyed-out choice.
      const engines = answer.engines ?? [];
      engine.replaceChildren(...engines.map((e) => {
        const name = e.name ?? e.id;
        const option = el('option', null, e.available === false ? `${name} (not ready)` : name);
        option.value = e.id;
        return option;
      }));
      const savedEngine = localStorage.getItem('tarno.engine');
      const ready = engines.filter((e) => e.available !== false).map((e) => e.id);
      if (savedEngine && engines.some((e) => e.id === savedEngine)) engine.value = savedEngine;
      else if (ready.length) engine.value = ready[0];
      const syncModel = () => { model.disabled = engine.value !== 'claude' && engine.value !== ''; };
      engine.addEventListener('change', () => {
        localStorage.setItem('tarno.engine', engine.value);
        syncModel();
      });
      syncModel();
    } catch (error) {
      showStatus(`Models unavailable: ${error.message}`, true);
    }
  }

  function showStatus(text, isError) {
    const box = $('assistant-status');
    box.replaceChildren();
    if (!text) {
      box.hidden = true;
      return;
    }
    box.hidden = false;
    box.classList.toggle('error', isError);
    box.append(el('p', null, text));
    if (isError) {
      const hint = remedy(text);
      if (hint) box.append(hint);
    }
  }

  async function loadStatus() {
    try {
      const answer = await getJSON('/api/assistant/status');
      const finished = (answer.events ?? []).map((e) => e.finished).filter(Boolean).pop();
      if (finished && finished.isError) showStatus(finished.text, true);
      else showStatus('', false);
    } catch (error) {
      showStatus(error.message, true);
    }
  }

  function setupAssistant() {
    $('prompt-form').addEventListener('submit', (event) => {
      event.preventDefault();
      sendPrompt();
    });
    $('prompt').addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !event.shiftKey && !event.isComposing) {
        event.preventDefault();
        // Enter never stops a turn in progress: only the Stop button does.
        if (!assistant.running) sendPrompt();
      }
    });
    $('signin').addEventListener('click', signIn);
    $('new-conversation').addEventListener('click', newConversation);
    const allow = $('allow-commit');
    allow.checked = localStorage.getItem('tarno.allowCommit') === 'true';
    allow.addEventListener('change', () => localStorage.setItem('tarno.allowCommit', String(allow.checked)));
    const toggle = $('toggle-assistant');
    const setCollapsed = (collapsed) => {
      document.body.classList.toggle('assistant-collapsed', collapsed);
      toggle.setAttribute('aria-pressed', String(!collapsed));
      localStorage.setItem('tarno.assistantCollapsed', String(collapsed));
    };
    setCollapsed(localStorage.getItem('tarno.assistantCollapsed') === 'true');
    toggle.addEventListener('click', () => {
      setCollapsed(!document.body.classList.contains('assistant-collapsed'));
    });
    loadModels();
    loadStatus();
  }

  // ---------------------------------------------------------------------------------------------

  function start() {
    setupGrid();
    setupAssistant();
    connectEvents();
  }

  start();
})();
