// The resolve page: shows what the server reports and sends decisions. Every decision, check
// and write is the server's; notebook text is only ever set as text (textContent).
'use strict';
(function () {
  const HEADERS = {'Content-Type': 'application/json', 'X-Qor-Resolve': '1'};
  const $ = (id) => document.getElementById(id);
  let notebooks = [];
  let current = 0;       // the notebook shown
  let selected = 0;      // the conflict selected, by position
  let editing = false;
  let finished = false;
  let graph = null;      // layout of the notebook shown

  function say(text, ok) {
    $('status').textContent = text || '';
    $('status').className = ok ? 'ok' : '';
  }

  async function post(path, body) {
    const r = await fetch(path, {method: 'POST', headers: HEADERS, credentials: 'same-origin',
                                 body: JSON.stringify(body || {})});
    const data = await r.json().catch(() => ({}));
    if (!r.ok) throw new Error(data.error || ('the server refused (' + r.status + ')'));
    return data;
  }

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = text;
    return e;
  }

  function nb() { return notebooks[current]; }

  function renderTabs() {
    const nav = $('notebooks');
    nav.replaceChildren();
    notebooks.forEach((n, i) => {
      const b = el('button', (i === current ? 'active ' : '') + (n.saved ? 'saved' : ''),
                   n.path + (n.saved ? ' (saved)' : ''));
      b.type = 'button';
      b.addEventListener('click', () => { current = i; selected = 0; render(); loadGraph(); });
      nav.appendChild(b);
    });
  }

  function version(cls, title, text, missing) {
    const col = el('div', 'v-' + cls + (text === null ? ' none' : ''));
    col.appendChild(el('h4', null, title));
    col.appendChild(el('pre', null, text === null ? missing || '(none)' : text));
    return col;
  }

  function renderConflicts() {
    const box = $('conflicts');
    box.replaceChildren();
    const n = nb();
    if (!n.conflicts.length) box.appendChild(el('p', 'muted', 'No conflicts in this notebook.'));
    n.conflicts.forEach((c, i) => {
      const a = el('article', (c.decision ? 'decided' : 'open') + (i === selected ? ' selected' : ''));
      a.id = 'conflict-' + c.key;
      a.addEventListener('click', () => { if (!editing) { selected = i; render(); } });
      const h = el('h3');
      h.appendChild(el('span', null, c.key + '. ' + c.label));
      h.appendChild(el('span', 'decision' + (c.decision ? '' : ' none'),
                       c.decision ? 'took ' + c.decision : 'undecided'));
      a.appendChild(h);
      const v = el('div', 'versions');
      v.appendChild(version('base', 'base', c.base));
      v.appendChild(version('current', 'current (1)', c.current));
      v.appendChild(version('incoming', 'incoming (2)', c.incoming));
      v.appendChild(version('result', 'result', c.result, '(no decision yet)'));
      a.appendChild(v);
      const act = el('div', 'actions');
      const choices = [['current', '1 current', c.can_current], ['incoming', '2 incoming', c.can_incoming],
                       ['both', '3 both', c.can_both], ['edit', 'e edit', c.can_edit]];
      for (const [take, label, ok] of choices) {
        if (!ok) continue;
        const b = el('button', c.decision === take ? 'chosen' : '', label);
        b.type = 'button';
        b.addEventListener('click', (ev) => {
          ev.stopPropagation(); selected = i;
          if (take === 'edit') startEdit(); else decide(take);
        });
        act.appendChild(b);
      }
      a.appendChild(act);
      if (editing && i === selected) {
        const t = el('textarea');
        t.id = 'edit';
        t.value = c.edit_start;
        t.setAttribute('aria-label', 'edited text');
        a.appendChild(t);
        a.appendChild(el('p', 'muted', 'Ctrl+Enter applies the text, Esc cancels.'));
      }
      box.appendChild(a);
    });
  }

  function renderLists() {
    const n = nb();
    const problems = $('problems');
    problems.replaceChildren();
    n.problems.forEach((p) => problems.appendChild(el('li', null, p)));
    if (!n.problems.length) {
      problems.appendChild(el('li', 'muted', n.saved ? 'Saved.' : 'Nothing: press s to save.'));
    }
    const review = $('review');
    review.replaceChildren();
    n.review.forEach((r) => review.appendChild(el('li', null, r.text)));
    if (!n.review.length) review.appendChild(el('li', 'muted', 'Nothing.'));
  }

  function render() {
    if (!notebooks.length) return;
    renderTabs();
    const n = nb();
    const left = notebooks.reduce((s, x) => s + (x.saved ? 0 : x.left), 0);
    $('counter').textContent = n.left + ' of ' + n.total + ' left' +
        (notebooks.length > 1 ? ' (' + left + ' in all notebooks)' : '');
    $('save').disabled = !n.can_save || finished;
    renderConflicts();
    renderLists();
    markGraph();
    const sel = document.querySelector('article.selected');
    if (sel && !editing) sel.scrollIntoView({block: 'nearest'});
    if (editing) { const t = $('edit'); if (t) t.focus(); }
  }

  async function load() {
    const r = await fetch('/api/state', {credentials: 'same-origin'});
    if (!r.ok) { say('The page cannot reach qorgit resolve (' + r.status + ').'); return; }
    notebooks = (await r.json()).notebooks;
    render();
    loadGraph();
  }

  async function decide(take, text) {
    const n = nb();
    const c = n.conflicts[selected];
    if (!c || finished) return;
    try {
      notebooks[current] = await post('/api/decide', {notebook: n.index, key: c.key, take: take,
                                                      text: text === undefined ? '' : text});
      editing = false;
      say('');
      // On to the next conflict without a decision.
      const list = notebooks[current].conflicts;
      for (let k = 1; k <= list.length; k++) {
        const j = (selected + k) % list.length;
        if (!list[j].decision) { selected = j; break; }
      }
    } catch (e) { say(e.message); }
    render();
  }

  function startEdit() {
    const c = nb().conflicts[selected];
    if (!c || !c.can_edit || finished) return;
    editing = true;
    render();
  }

  async function save() {
    const n = nb();
    if (!n.can_save || finished) { say(n.problems[0] || 'Nothing to save.'); return; }
    try {
      const r = await post('/api/save', {notebook: n.index});
      notebooks[current] = r.notebook;
      if (r.all_saved) {
        finished = true;
        say('All notebooks saved. qorgit resolve has ended; you can close this page.', true);
      } else {
        say(n.path + ' saved.', true);
        const next = notebooks.findIndex((x) => !x.saved);
        if (next >= 0) { current = next; selected = 0; loadGraph(); }
      }
    } catch (e) { say(e.message); }
    render();
  }

  function move(step) {
    const count = nb().conflicts.length;
    if (!count) return;
    selected = (selected + step + count) % count;
    render();
  }

  // The pipeline, drawn from the server's layout; components with conflicts are marked and lead
  // to their conflict.
  async function loadGraph() {
    const index = current;
    const r = await fetch('/api/graph?notebook=' + index, {credentials: 'same-origin'});
    if (!r.ok || index !== current) return;
    const g = await r.json();
    if (g.state === 'pending') { setTimeout(loadGraph, 300); return; }
    const box = $('graph');
    box.replaceChildren();
    graph = null;
    if (g.state !== 'ready') {
      box.appendChild(el('p', 'muted', g.state === 'too large'
          ? 'The pipeline is too large to draw.' : 'The pipeline could not be drawn: ' + g.message));
      return;
    }
    const NS = 'http://www.w3.org/2000/svg';
    const svg = document.createElementNS(NS, 'svg');
    svg.setAttribute('width', g.width + 8);
    svg.setAttribute('height', g.height + 8);
    svg.setAttribute('viewBox', '-4 -4 ' + (g.width + 8) + ' ' + (g.height + 8));
    const defs = document.createElementNS(NS, 'defs');
    const marker = document.createElementNS(NS, 'marker');
    for (const [k, v] of [['id', 'arrow'], ['viewBox', '0 0 10 10'], ['refX', '10'], ['refY', '5'],
                          ['markerWidth', '6'], ['markerHeight', '6'], ['orient', 'auto']]) {
      marker.setAttribute(k, v);
    }
    const head = document.createElementNS(NS, 'path');
    head.setAttribute('d', 'M0,0 L10,5 L0,10 z');
    head.setAttribute('class', 'arrow');
    marker.appendChild(head);
    defs.appendChild(marker);
    svg.appendChild(defs);
    for (const points of g.edges) {
      if (points.length < 2) continue;
      const p = points;
      let d = 'M' + p[0][0] + ',' + p[0][1];
      const curve = p.length - 1 - ((p.length - 2) % 3 === 0 ? 1 : 0);
      for (let i = 1; i + 2 <= curve; i += 3) {
        d += ' C' + p[i][0] + ',' + p[i][1] + ' ' + p[i + 1][0] + ',' + p[i + 1][1] + ' ' +
             p[i + 2][0] + ',' + p[i + 2][1];
      }
      const last = p[p.length - 1];
      d += ' L' + last[0] + ',' + last[1];
      const path = document.createElementNS(NS, 'path');
      path.setAttribute('class', 'edge');
      path.setAttribute('marker-end', 'url(#arrow)');
      path.setAttribute('d', d);
      svg.appendChild(path);
    }
    const nodes = new Map();
    for (const n of g.nodes) {
      const group = document.createElementNS(NS, 'g');
      group.setAttribute('class', 'node');
      const rect = document.createElementNS(NS, 'rect');
      rect.setAttribute('x', n.x - n.w / 2);
      rect.setAttribute('y', n.y - n.h / 2);
      rect.setAttribute('width', n.w);
      rect.setAttribute('height', n.h);
      rect.setAttribute('rx', 4);
      const text = document.createElementNS(NS, 'text');
      text.setAttribute('x', n.x);
      text.setAttribute('y', n.y);
      text.textContent = n.name || n.id;
      const title = document.createElementNS(NS, 'title');
      title.textContent = (n.name || '(unnamed)') + ' \u2014 ' + n.id;
      group.append(rect, text, title);
      group.addEventListener('click', () => goToComponent(n.id));
      svg.appendChild(group);
      nodes.set(n.id, group);
    }
    box.appendChild(svg);
    graph = nodes;
    markGraph();
  }

  function markGraph() {
    if (!graph) return;
    const n = nb();
    const state = new Map();
    n.conflicts.forEach((c, i) => {
      for (const id of c.component_ids) {
        const before = state.get(id);
        state.set(id, {open: (before && before.open) || !c.decision,
                       selected: (before && before.selected) || i === selected});
      }
    });
    for (const [id, group] of graph) {
      const s = state.get(id);
      const cls = ['node'];
      if (s) cls.push(s.open ? 'conflict' : 'decided');
      if (s && s.selected) cls.push('selected');
      group.setAttribute('class', cls.join(' '));
    }
  }

  function goToComponent(id) {
    const i = nb().conflicts.findIndex((c) => c.component_ids.includes(id));
    if (i < 0 || editing) return;
    selected = i;
    render();
    const a = document.querySelector('article.selected');
    if (a) a.scrollIntoView({block: 'center'});
  }

  document.addEventListener('keydown', (ev) => {
    if (!notebooks.length) return;
    if (editing) {
      if (ev.key === 'Escape') { editing = false; ev.preventDefault(); render(); }
      if (ev.key === 'Enter' && (ev.ctrlKey || ev.metaKey)) {
        ev.preventDefault();
        decide('edit', $('edit').value);
      }
      return;
    }
    if (ev.ctrlKey || ev.metaKey || ev.altKey) return;
    const actions = {
      n: () => move(1), p: () => move(-1),
      // A side that cannot be taken has no button; its key asks anyway, so that the status line
      // says why the server refuses it.
      1: () => decide('current'), 2: () => decide('incoming'), 3: () => decide('both'),
      e: startEdit, u: () => decide(null), s: save,
      '?': () => { $('help').hidden = !$('help').hidden; },
      Escape: () => { $('help').hidden = true; },
    };
    const act = actions[ev.key];
    if (act) { ev.preventDefault(); act(); }
  });
  $('save').addEventListener('click', save);
  $('keys').addEventListener('click', () => { $('help').hidden = !$('help').hidden; });

  // The server ends when the page says it closes (a reload comes back within its grace period),
  // or when the page has stopped asking for a while.
  const beat = setInterval(() => {
    if (finished) { clearInterval(beat); return; }
    post('/api/heartbeat').catch(() => {});
  }, 5000);
  window.addEventListener('pagehide', () => {
    if (finished) return;
    fetch('/api/close', {method: 'POST', headers: HEADERS, credentials: 'same-origin',
                         keepalive: true, body: '{}'});
  });
  load().catch((e) => say(e.message));
})();
