// The supervisor's page: fetches the record's numbers every few seconds and
// shows them, one request at a time. Every value from the record is put in as
// text, never as markup.
'use strict';

const REFRESH_MS = 3000;
const MOST_DELAY_MS = 10000;
const SVG = 'http://www.w3.org/2000/svg';

function cell(row, text, className) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function fill(tableId, items, addRow) {
  const body = document.querySelector('#' + tableId + ' tbody');
  const rows = document.createDocumentFragment();
  for (const item of items) {
    const tr = document.createElement('tr');
    addRow(tr, item);
    rows.appendChild(tr);
  }
  body.replaceChildren(rows);
}

function percent(share) { return (100 * share).toFixed(1) + ' %'; }

function svg(name, attributes) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  return element;
}

function progress(batch) {
  const bar = svg('svg', { class: 'progress', viewBox: '0 0 200 14', role: 'img' });
  let x = 0;
  for (const part of ['programmed', 'claimed', 'in_doubt', 'spoiled', 'free']) {
    const width = batch.count ? 200 * batch[part] / batch.count : 0;
    bar.appendChild(svg('rect', { class: part.replace('_', '-'), x, y: 0, width, height: 14 }));
    x += width;
  }
  const title = svg('title', {});
  title.textContent = batch.programmed + ' of ' + batch.count + ' programmed';
  bar.appendChild(title);
  return bar;
}

// A bar per hour on a time axis: the server gives every hour of the last 24,
// those without attempts too, oldest first; every third one is labelled.
function chart(id, hours, value, top) {
  const area = document.getElementById(id);
  const shapes = [svg('line', { class: 'axis', x1: 30, y1: 140, x2: 470, y2: 140 })];
  const most = Math.max(top || 0, ...hours.map(value), 1);
  const step = 440 / Math.max(hours.length, 1);
  hours.forEach((hour, i) => {
    const height = 120 * value(hour) / most;
    const bar = svg('rect', { class: 'bar', x: 32 + i * step, y: 140 - height, width: Math.max(step - 4, 2), height });
    const title = svg('title', {});
    title.textContent = hour.group + ':00 UTC: ' + (top === 1 ? percent(value(hour)) : value(hour));
    bar.appendChild(title);
    shapes.push(bar);
    if ((hours.length - 1 - i) % 3 === 0) {
      const label = svg('text', { x: 32 + i * step, y: 154, class: 'hour' });
      label.textContent = hour.group.slice(11, 13) + 'h';
      shapes.push(label);
    }
  });
  const scale = svg('text', { x: 0, y: 24 });
  scale.textContent = top === 1 ? '100 %' : String(Math.round(most));
  shapes.push(scale);
  area.replaceChildren(...shapes);
}

function showOverview(data) {
  fill('batches', data.batches, (tr, b) => {
    cell(tr, b.name);
    cell(tr, b.first + ' to ' + b.last);
    cell(tr, '').appendChild(progress(b));
    for (const key of ['free', 'claimed', 'programmed', 'in_doubt', 'spoiled']) cell(tr, b[key], 'number');
  });
  fill('stations', data.stations, (tr, s) => {
    tr.className = s.online ? 'online' : 'offline';
    cell(tr, s.name);
    const word = document.createElement('span');
    word.className = s.online ? 'online' : 'offline';
    word.textContent = s.online ? s.state : 'offline';
    cell(tr, '').appendChild(word);
    cell(tr, s.batch);
    cell(tr, s.operator);
    cell(tr, s.last_unit);
    cell(tr, s.done, 'number');
    cell(tr, s.failed, 'number');
    cell(tr, s.skipped, 'number');
    cell(tr, s.last_seen);
  });
  const day = data.day;
  document.getElementById('day').textContent =
    day.attempts + ' attempts, ' + day.programmed + ' programmed, ' + day.failed + ' failed; yield ' +
    percent(day.yield) + ', first pass ' + percent(day.first_pass_yield) + '; ' +
    day.units_per_hour.toFixed(1) + ' units per hour; ' + day.in_doubt + ' in doubt';
  chart('yield-chart', data.hours, h => h.yield, 1);
  chart('units-chart', data.hours, h => h.programmed);
  fill('failures', day.failures, (tr, f) => { cell(tr, f.step); cell(tr, f.reason); cell(tr, f.count, 'number'); });
  const doubts = [];
  for (const b of data.batches) for (const d of b.open) doubts.push(Object.assign({ batch: b.name }, d));
  fill('doubts', doubts, (tr, d) => { cell(tr, d.batch); cell(tr, d.serial); cell(tr, d.station); cell(tr, d.since); cell(tr, d.why); });
  document.getElementById('status').textContent = 'as of ' + data.generated;
}

function filterQuery() {
  const query = new URLSearchParams();
  for (const [key, value] of new FormData(document.getElementById('filter'))) if (value) query.set(key, value);
  return query.toString();
}

function showRecords(rows) {
  fill('records', rows, (tr, r) => {
    for (const key of ['time', 'station', 'operator', 'batch', 'serial', 'field_written', 'outcome', 'step', 'detail']) cell(tr, r[key]);
  });
  const query = filterQuery();
  document.getElementById('csv').href = '/download/records.csv' + (query ? '?' + query : '');
  document.getElementById('json').href = '/download/records.json' + (query ? '?' + query : '');
}

// Why a request failed, from the server's own answer when it gave one.
async function failure(response) {
  let why = 'the server answered ' + response.status;
  try { why = (await response.json()).error || why; } catch (ignored) { /* not JSON */ }
  const error = new Error(why);
  error.badFilter = response.status === 400; // the filter's fault, said beside the filter
  return error;
}

async function load(path) {
  const response = await fetch(path, { credentials: 'same-origin' });
  if (response.status === 401) {
    // The session ended (the server restarted, or it expired): sign in again.
    location.assign('/');
    throw new Error('signed out');
  }
  if (!response.ok) throw await failure(response);
  return response.json();
}

let delay = REFRESH_MS;
let timer = null;
let busy = false;
let again = false;

// One refresh at a time: the next is planned when this one has ended, later
// and later while the record is slow or cannot be read.
async function refresh() {
  clearTimeout(timer);
  if (busy) { again = true; return; }
  busy = true;
  const status = document.getElementById('status');
  try {
    showOverview(await load('/api/overview'));
    const filterNote = document.getElementById('filter-problem');
    try {
      showRecords(await load('/api/records?' + filterQuery()));
      filterNote.textContent = '';
    } catch (error) {
      if (!error.badFilter) throw error;
      filterNote.textContent = error.message;
      fill('records', [], () => {});
    }
    status.classList.remove('trouble');
    delay = REFRESH_MS;
  } catch (error) {
    delay = Math.min(delay * 2, MOST_DELAY_MS);
    status.classList.add('trouble');
    status.textContent = 'cannot read the record: ' + error.message + '; trying again in ' +
      Math.round(delay / 1000) + ' s';
  }
  busy = false;
  timer = setTimeout(refresh, again ? 0 : delay);
  again = false;
}

document.addEventListener('DOMContentLoaded', () => {
  document.getElementById('filter').addEventListener('submit', event => { event.preventDefault(); refresh(); });
  refresh();
});
