// The camera wall: every configured MJPEG channel of the site, grouped by DVR and stream, one
// <camera-tile> each. The list and what the service knows of each camera come from status.json
// on this port; the pictures come from the relay ports, on this page's host name and scheme.
import './camera-tile.js';
import {clockText, offlineOf} from './camera-logic.js';

const REFRESH_MS = 2000;
// Over plain HTTP/1.1 a browser opens at most this many connections to one host and port, and
// each stream holds one for good: the tiles after these would stay blank without a word.
const HTTP1_CONNECTIONS = 6;
const plainHttp = location.protocol === 'http:';

const wall = document.getElementById('wall');
const banner = document.getElementById('banner');
const limitNote = document.getElementById('limit');
const updated = document.getElementById('updated');

// Keyed by channelKey(); each {tile, channel}.
const tiles = new Map();
let layoutKey = '';
let selected = null;
let answeredAt = 0;

function channelKey(c) {
  return c.port + ' ' + c.dvr + '/' + c.stream + '/' + c.channel;
}

function relayUrl(c) {
  return location.protocol + '//' + location.hostname + ':' + c.port + '/'
    + encodeURIComponent(c.dvr) + '/' + encodeURIComponent(c.stream) + '/' + c.channel;
}

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {}))
    node.setAttribute(name, value);
  node.append(...children);
  return node;
}

// Rebuilt only when the set of channels changes: a tile that is moved restarts its stream.
function build(channels) {
  const key = channels.map(channelKey).join('\n');
  if (key === layoutKey)
    return;
  layoutKey = key;
  const kept = new Map();
  const dvrs = new Map();
  for (const c of channels) {
    if (!c.port)
      continue;
    if (!dvrs.has(c.dvr))
      dvrs.set(c.dvr, new Map());
    const streams = dvrs.get(c.dvr);
    if (!streams.has(c.stream))
      streams.set(c.stream, []);
    streams.get(c.stream).push(c);
  }
  const sections = [];
  for (const [dvr, streams] of dvrs) {
    const dvrSection = element('section', {class: 'dvr'}, element('h2', {}, dvr));
    for (const [stream, list] of streams) {
      const grid = element('div', {class: 'tiles'});
      for (const c of list) {
        const id = channelKey(c);
        let tile = tiles.get(id)?.tile;
        if (!tile) {
          tile = document.createElement('camera-tile');
          tile.setAttribute('name', c.channel + (list.length > 1 ? '' : ' · ' + stream));
          tile.dataset.channel = '/' + c.dvr + '/' + c.stream + '/' + c.channel;
          tile.dataset.port = c.port;
          tile.addEventListener('click', () => choose(tile));
        }
        kept.set(id, {tile, channel: c});
        grid.append(tile);
      }
      dvrSection.append(element('div', {class: 'stream'},
                                element('h3', {}, stream + ' (port ' + list[0].port + ')'), grid));
    }
    sections.push(dvrSection);
  }
  tiles.clear();
  for (const [id, entry] of kept)
    tiles.set(id, entry);
  if (selected && ![...kept.values()].some(e => e.tile === selected))
    selected = null;
  // Limits before the tiles join the page, so that a tile that must wait never starts.
  applyLimits();
  wall.replaceChildren(...sections);
  if (!sections.length)
    wall.append(element('p', {}, 'This site has no MJPEG cameras configured.'));
  for (const {tile, channel} of tiles.values()) {
    if (!tile.getAttribute('src'))
      tile.setAttribute('src', relayUrl(channel));
  }
}

function hold(tile, reason) {
  if (reason) {
    if (tile.getAttribute('waiting') !== reason)
      tile.setAttribute('waiting', reason);
  } else if (tile.hasAttribute('waiting')) {
    tile.removeAttribute('waiting');
  }
}

// Which tiles may stream now: one camera alone when one is chosen; over plain HTTP the first
// six of each relay port; all of them otherwise.
function applyLimits() {
  const perPort = new Map();
  const waitingPorts = new Map();
  for (const {tile, channel} of tiles.values()) {
    if (selected) {
      hold(tile, tile === selected ? '' : 'paused while one camera is shown');
      continue;
    }
    const count = (perPort.get(channel.port) || 0) + 1;
    perPort.set(channel.port, count);
    if (plainHttp && count > HTTP1_CONNECTIONS) {
      waitingPorts.set(channel.port, (waitingPorts.get(channel.port) || 0) + 1);
      hold(tile, 'waiting: over plain HTTP the browser opens only ' + HTTP1_CONNECTIONS
                 + ' connections to port ' + channel.port + ', all taken. Click to watch this'
                 + ' camera alone; with [TLS] every camera shows.');
    } else {
      hold(tile, '');
    }
  }
  if (waitingPorts.size) {
    const counts = [...waitingPorts].map(([port, n]) => n + ' on port ' + port).join(', ');
    limitNote.textContent = 'Some cameras wait (' + counts + '): over plain HTTP a browser holds'
      + ' at most ' + HTTP1_CONNECTIONS + ' connections to one port, and each camera keeps one'
      + ' for as long as it shows. Click a camera to watch it alone, or have the service set up'
      + ' with [TLS] (HTTPS, and so HTTP/2, which carries every camera over one connection).';
    limitNote.hidden = false;
  } else {
    limitNote.hidden = true;
  }
}

function choose(tile) {
  selected = selected === tile ? null : tile;
  document.body.classList.toggle('single', !!selected);
  for (const node of wall.querySelectorAll('.chosen'))
    node.classList.remove('chosen');
  for (const {tile: t} of tiles.values())
    t.toggleAttribute('selected', t === selected);
  if (selected) {
    selected.closest('.stream').classList.add('chosen');
    selected.closest('.dvr').classList.add('chosen');
  }
  applyLimits();
  window.scrollTo(0, 0);
}

document.addEventListener('keydown', event => {
  if (event.key === 'Escape' && selected)
    choose(selected);
});

async function refresh() {
  try {
    const response = await fetch(location.origin + '/status.json',
                                 {cache: 'no-store', credentials: 'same-origin'});
    if (!response.ok)
      throw new Error('HTTP ' + response.status);
    const status = await response.json();
    const now = Date.parse(status.now);
    build(status.channels);
    for (const {tile, channel} of tiles.values()) {
      const fresh = status.channels.find(c => channelKey(c) === channelKey(channel));
      tile.offline = offlineOf(fresh, now, tile.offline);
    }
    // The service answers: a camera that could not reach it need not wait out its pause.
    for (const {tile} of tiles.values())
      tile.retryNow(true);
    answeredAt = Date.now();
    banner.classList.remove('shown');
    updated.textContent = tiles.size + (tiles.size === 1 ? ' camera' : ' cameras')
      + ', read at ' + clockText(answeredAt, true);
  } catch (error) {
    banner.textContent = (answeredAt
      ? 'The service has not answered since ' + clockText(answeredAt, true)
      : 'The service does not answer')
      + ' (' + error.message + '); the cameras keep trying by themselves.';
    banner.classList.add('shown');
  } finally {
    setTimeout(refresh, REFRESH_MS);
  }
}

refresh();
