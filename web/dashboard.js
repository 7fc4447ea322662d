// The dashboard page: builds the default dashboard request, runs it through the HTTP API and draws each
// sub-response as it arrives. Every value from the server goes into the DOM as text, never as markup.
(function () {
  'use strict';

  const API = '/api/v1/requests';
  const TOKEN_KEY = 'corvane.apiToken';

  // The sub-requests of config/dashboard.xml: tile name, grouped column, preset condition (if any).
  const SUB_REQUESTS = [
    ['ChangesByWho', 'Who'],
    ['ChangesByWhere', 'Where'],
    ['ChangesByObjectType', 'ObjectType'],
    ['ChangesByAction', 'What_Action'],
    ['ChangesByProduct', 'ProductId'],
    ['ChangesByDataSource', 'DataSource'],
    ['ChangesByPlan', 'ManagedObjectUId'],
    ['RemovalsByWho', 'Who', 'Removals'],
  ];

  const METHODS = { 1: 'fast', 2: 'standard' };
  // Attribute type suffixes of the JSON node form; a key ending in anything else is a plain name.
  const TYPES = new Set(['str', 'i32', 'n32', 'i64', 'bool', 'guid', 'guids', 'i32s', 'strs']);
  // The list type a filter on a grouped column of this type takes.
  const LIST_TYPES = { str: 'strs', i32: 'i32s', n32: 'i32s', guid: 'guids' };

  const $ = (id) => document.getElementById(id);
  const el = (tag, className, text) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = String(text);
    return node;
  };

  // ---- the request ----------------------------------------------------------------------------

  function utcText(ms) {
    return new Date(ms).toISOString().slice(0, 19) + 'Z';
  }

  function conditionsNode(filters) {
    const ins = filters.map((f) => ({
      type: 'Condition',
      attributes: { operator: 'IN' },
      children: [{ type: 'ConditionValues', attributes: { Columnn: f.column, ['Values:' + f.listType]: [f.value] } }],
    }));
    const top = ins.length === 1 ? ins[0] : { type: 'Condition', attributes: { operator: 'AND' }, children: ins };
    return { type: 'ConditionsRoot', name: 'Conditions', children: [top] };
  }

  function buildRequest(options) {
    const now = Math.floor(options.now / 1000) * 1000;
    const children = [{
      name: 'TimeRange',
      attributes: { TimeFrom: utcText(now - options.rangeSec * 1000), TimeTill: utcText(now) },
    }];
    if (options.filters.length) children.push(conditionsNode(options.filters));
    for (const [name, column, preset] of SUB_REQUESTS) {
      const sub = { type: 'RetrieveCountersSubRequest', name, children: [] };
      if (preset) {
        // A merge section: the request's own filter is joined with the preset instead of being replaced by it.
        sub.children.push({
          type: 'ConditionsMerge', name: 'ConditionsMerge',
          children: [{
            type: 'Condition', attributes: { operator: 'AND' },
            children: [{ type: 'ConditionValues', attributes: { Columnn: 'ConditionId', Value: preset, Comparator: '=' } }],
          }],
        });
      }
      sub.children.push({
        type: 'GroupByRoot', name: 'GroupByRoot',
        children: [{ type: 'GroupByRootEntry', attributes: { Column: column } }],
      });
      children.push(sub);
    }
    return {
      type: 'RetrieveCountersRequest',
      name: 'DefaultDashboard',
      attributes: {
        'PartialResult:bool': options.partial,
        'Top:i32': options.top,
        'TimeZoneOffsetSec:i32': -new Date(options.now).getTimezoneOffset() * 60,
      },
      children,
    };
  }

  // ---- reading answers ------------------------------------------------------------------------

  function splitKey(key) {
    const colon = key.lastIndexOf(':');
    if (colon > 0 && TYPES.has(key.slice(colon + 1))) return { name: key.slice(0, colon), type: key.slice(colon + 1) };
    return { name: key, type: 'str' };
  }

  function attr(node, name) {
    const attributes = (node && node.attributes) || {};
    for (const key of Object.keys(attributes)) {
      if (splitKey(key).name === name) return attributes[key];
    }
    return undefined;
  }

  function child(node, name) {
    return ((node && node.children) || []).find((c) => c.name === name);
  }

  function hex32(code) {
    return '0x' + (Number(code) >>> 0).toString(16).toUpperCase().padStart(8, '0');
  }

  // ---- state ----------------------------------------------------------------------------------

  const state = {
    filters: [],   // {column, value, listType}
    run: null,     // the dashboard being drawn: {id, token, started, partial, drawn:Set, firstTile}
    runs: 0,
  };

  function authHeaders(extra) {
    const headers = Object.assign({}, extra);
    const token = sessionStorage.getItem(TOKEN_KEY);
    if (token) headers.Authorization = 'Bearer ' + token;
    return headers;
  }

  class HttpError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  function send(method, url, body) {
    const init = { method, headers: authHeaders({ Accept: 'application/json' }), cache: 'no-store' };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    return fetch(url, init);
  }

  async function readJson(response) {
    const text = await response.text();
    let json = null;
    try {
      json = text ? JSON.parse(text) : null;
    } catch (e) {
      if (response.ok) throw new HttpError(response.status, 'the server answered something that is not JSON');
    }
    if (!response.ok) {
      const message = (json && json.error) || text.slice(0, 300) || response.statusText;
      throw new HttpError(response.status, 'HTTP ' + response.status + ': ' + message);
    }
    return json;
  }

  function poll(token, partial) {
    return send('GET', API + '/' + encodeURIComponent(token) + '?partial=' + partial).then(readJson);
  }

  function freeToken(token, keepalive) {
    const url = API + '/' + encodeURIComponent(token);
    return fetch(url, { method: 'DELETE', headers: authHeaders(), keepalive: !!keepalive }).catch(() => {});
  }

  // ---- drawing --------------------------------------------------------------------------------

  function showBanner(text) {
    const banner = $('banner');
    banner.textContent = text;
    banner.hidden = !text;
  }

  function ensureTile(name) {
    let tile = Array.from($('tiles').children).find((t) => t.dataset.tile === name);
    if (tile) return tile;
    tile = el('section', 'tile');
    tile.dataset.tile = name;
    const head = el('header', 'tile-head');
    head.append(el('h2', null, name), el('span', 'tile-meta'));
    tile.append(head, el('div', 'tile-body'));
    $('tiles').append(tile);
    return tile;
  }

  function waitingTile(name) {
    const tile = ensureTile(name);
    tile.dataset.status = '0';
    delete tile.dataset.method;
    delete tile.dataset.ms;
    tile.querySelector('.tile-meta').textContent = '';
    tile.querySelector('.tile-body').replaceChildren(el('div', 'placeholder', 'waiting\u2026'));
  }

  function groupedColumns(row) {
    return Object.keys(row.attributes || {})
      .map((key) => Object.assign(splitKey(key), { value: row.attributes[key] }))
      .filter((c) => c.name !== 'Count');
  }

  function drawRows(body, counters) {
    const rows = ((counters && counters.children) || []).filter((r) => r.name === 'Row' || r.type === 'Row');
    if (!rows.length) {
      body.replaceChildren(el('div', 'placeholder', 'no changes'));
      return;
    }
    const max = Math.max(1, ...rows.map((r) => Number(attr(r, 'Count')) || 0));
    const list = el('ol', 'bars');
    for (const row of rows) {
      const count = Number(attr(row, 'Count')) || 0;
      const columns = groupedColumns(row);
      const label = columns.map((c) => String(c.value)).join(' / ');
      const item = el('li', 'bar');
      item.dataset.value = label;
      item.dataset.count = String(count);
      item.title = label + ': ' + count.toLocaleString();
      const fill = el('span', 'bar-fill');
      fill.style.width = (100 * count / max).toFixed(2) + '%';
      item.append(fill, el('span', 'bar-label', label), el('span', 'bar-count', count.toLocaleString()));
      const filters = columns
        .filter((c) => LIST_TYPES[c.type])
        .map((c) => ({ column: c.name, value: c.value, listType: LIST_TYPES[c.type] }));
      if (filters.length === columns.length && filters.length) {
        item.classList.add('clickable');
        item.tabIndex = 0;
        item.setAttribute('role', 'button');
        item.addEventListener('click', () => addFilters(filters));
        item.addEventListener('keydown', (e) => {
          if (e.key === 'Enter' || e.key === ' ') {
            e.preventDefault();
            addFilters(filters);
          }
        });
      }
      list.append(item);
    }
    body.replaceChildren(list);
  }

  // Draws a finished sub-response; answers repeat earlier results, so each tile is drawn once per run.
  function drawSubResponse(run, sub) {
    const status = Number(attr(sub, 'RetrieveStatus'));
    if (status !== 1 && status !== 2) return;
    if (run.drawn.has(sub.name)) return;
    run.drawn.add(sub.name);
    const ms = performance.now() - run.started;
    const tile = ensureTile(sub.name);
    const body = tile.querySelector('.tile-body');
    const meta = tile.querySelector('.tile-meta');
    const info = child(sub, 'MetaInfo');
    const method = METHODS[attr(info, 'RetrieveMethod')] || '';
    const range = child(info, 'TimeRange');
    tile.dataset.ms = ms.toFixed(1);
    if (method) tile.dataset.method = method; else delete tile.dataset.method;
    if (range) {
      tile.dataset.timeFrom = attr(range, 'TimeFrom') || '';
      tile.dataset.timeTill = attr(range, 'TimeTill') || '';
    }
    meta.textContent = (method ? method + ' \u00b7 ' : '') + Math.round(ms) + ' ms';
    if (status === 1) {
      drawRows(body, child(sub, 'Counters'));
    } else {
      const error = el('div', 'tile-error');
      error.append(el('div', 'code', hex32(attr(sub, 'ResultCode'))),
                   el('div', 'text', attr(sub, 'ErrorSerialized') || 'the sub-request failed'));
      body.replaceChildren(error);
    }
    tile.dataset.status = String(status);
    if (run.firstTile === null) {
      run.firstTile = ms;
      document.body.dataset.firstTileMs = ms.toFixed(1);
    }
  }

  function drawFilters() {
    const list = $('filter-list');
    list.replaceChildren();
    for (const f of state.filters) {
      const chip = el('span', 'chip');
      chip.dataset.column = f.column;
      chip.dataset.value = String(f.value);
      chip.append(el('span', 'chip-column', f.column), el('span', 'chip-value', f.value));
      const remove = el('button', 'chip-remove', '\u00d7');
      remove.type = 'button';
      remove.title = 'Remove this filter';
      remove.addEventListener('click', () => {
        state.filters = state.filters.filter((g) => g !== f);
        start();
      });
      chip.append(remove);
      list.append(chip);
    }
    $('filters').hidden = state.filters.length === 0;
  }

  function summary(text) {
    $('summary').textContent = text;
  }

  // ---- running a dashboard --------------------------------------------------------------------

  function readEditor() {
    const top = Math.max(1, Math.min(1000, parseInt($('top').value, 10) || 10));
    $('top').value = String(top);
    return { rangeSec: Number($('range').value), top, partial: $('partial').checked, filters: state.filters, now: Date.now() };
  }

  function start() {
    drawFilters();
    const request = buildRequest(readEditor());
    $('request-json').value = JSON.stringify(request, null, 2);
    return run(request);
  }

  async function stopLive() {
    const previous = state.run;
    state.run = null;
    if (previous && previous.token && !previous.finished) {
      previous.finished = true;
      await freeToken(previous.token);
    }
  }

  async function run(request) {
    await stopLive();
    const current = { id: ++state.runs, token: null, started: 0, drawn: new Set(), firstTile: null, finished: false };
    state.run = current;
    const partial = attr(request, 'PartialResult') !== false;
    document.body.dataset.ready = 'false';
    delete document.body.dataset.firstTileMs;
    showBanner('');
    $('tiles').replaceChildren();
    for (const sub of request.children || []) {
      if (sub.type === 'RetrieveCountersSubRequest') waitingTile(sub.name);
    }
    summary('Sending\u2026');
    const live = () => state.run === current;
    try {
      current.started = performance.now();
      const posted = await send('POST', API, request);
      // The token is in the Location header: the first poll goes out while the first answer is still read.
      const location = posted.ok ? posted.headers.get('Location') || '' : '';
      const early = location.slice(location.lastIndexOf('/') + 1);
      if (early) current.token = early;
      if (!live()) {
        if (early) freeToken(early);
        return;
      }
      let next = early ? poll(early, partial) : null;
      if (next) next.catch(() => {});  // awaited below, or dropped when the first answer is already final
      let envelope = await readJson(posted);
      if (!current.token) current.token = envelope.token;
      if (!live()) {
        if (!early && envelope.token) freeToken(envelope.token);
        return;
      }
      for (;;) {
        const answer = envelope.answer || {};
        for (const sub of answer.children || []) {
          if (sub.type === 'RetrieveCountersSubResponse') drawSubResponse(current, sub);
        }
        const status = Number(attr(answer, 'RetrieveStatus'));
        if (status === 1 || status === 2) {
          current.finished = true;
          finish(current, answer, status);
          return;
        }
        summary(current.drawn.size + ' of ' + $('tiles').children.length + ' tiles\u2026');
        envelope = await (next || poll(current.token, partial));
        next = null;
        if (!live()) return;
      }
    } catch (error) {
      if (!live()) return;
      current.finished = true;
      fail(error);
    }
  }

  function finish(current, answer, status) {
    const total = ((performance.now() - current.started) | 0) + ' ms';
    const range = child(answer, 'TimeRange');
    const shortTime = (text) => String(text || '').replace('T', ' ').replace(/:\d\dZ$/, '');
    const span = range ? shortTime(attr(range, 'TimeFrom')) + ' \u2013 ' + shortTime(attr(range, 'TimeTill')) + ' UTC' : '';
    if (status === 1) {
      summary('Complete in ' + total + (span ? ' \u00b7 ' + span : ''));
      document.body.dataset.ready = 'true';
    } else {
      const code = attr(answer, 'ResultCode');
      showBanner('The dashboard stopped: ' + (attr(answer, 'ErrorSerialized') || hex32(code || 0)));
      summary('Stopped after ' + total);
      document.body.dataset.ready = 'error';
    }
  }

  function fail(error) {
    if (error instanceof HttpError && error.status === 401) {
      sessionStorage.removeItem(TOKEN_KEY);
      $('auth').hidden = false;
      $('auth-token').focus();
      showBanner('The server needs a bearer token.');
    } else {
      showBanner(error instanceof HttpError ? error.message : 'The server cannot be reached: ' + error.message);
    }
    summary('');
    document.body.dataset.ready = 'error';
  }

  function addFilters(filters) {
    for (const f of filters) {
      // Two values of one column never match together, so a new value replaces the old one.
      state.filters = state.filters.filter((g) => g.column !== f.column).concat([f]);
    }
    start();
  }

  // ---- wiring ---------------------------------------------------------------------------------

  $('editor').addEventListener('submit', (e) => {
    e.preventDefault();
    start();
  });
  $('range').addEventListener('change', start);
  $('partial').addEventListener('change', start);
  $('filters-clear').addEventListener('click', () => {
    state.filters = [];
    start();
  });
  $('auth').addEventListener('submit', (e) => {
    e.preventDefault();
    const token = $('auth-token').value.trim();
    if (!token) return;
    sessionStorage.setItem(TOKEN_KEY, token);
    $('auth-token').value = '';
    $('auth').hidden = true;
    start();
  });
  $('request-send').addEventListener('click', () => {
    let request;
    try {
      request = JSON.parse($('request-json').value);
    } catch (e) {
      showBanner('The request is not JSON: ' + e.message);
      return;
    }
    if (!request || typeof request !== 'object' || Array.isArray(request)) {
      showBanner('The request must be one JSON object (a node).');
      return;
    }
    state.filters = [];
    drawFilters();
    run(request);
  });
  // A page that goes away frees its cookie; sendBeacon cannot DELETE, a keepalive fetch can.
  window.addEventListener('pagehide', () => {
    const current = state.run;
    if (current && current.token && !current.finished) {
      current.finished = true;
      freeToken(current.token, true);
    }
  });

  start();
})();
