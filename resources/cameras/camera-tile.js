// <camera-tile src="https://site-pc:8090/DVR/stream/1" name="Entrance">: one camera's live
// picture. The tile reads the relay's multipart stream itself with fetch(), so it knows when the
// stream ends, fails or stalls, and asks again: at once, then after 1 s doubling to 15 s. A
// stream that brings no picture for 5 s is aborted and asked for again.
//
// It reports what it shows as attributes the page may style: state="live|old|reconnecting|
// offline|forbidden|waiting", and `old` while the picture on screen is older than 5 s. Its
// `offline` property takes what the service says of the camera (offlineOf() in
// camera-logic.js); a `waiting` attribute holds the tile back, with the reason it shows.
import {MultipartReader, STALL_MS, boundaryOf, retryDelay, streamUrl, tileState}
  from './camera-logic.js';

// How often the label is brought up to date (the picture's age).
const RENDER_MS = 500;
// The wall's streams of one relay port are asked for all over again at most this often.
const RESTART_ALL_MS = 30000;
// A tile resized, enlarged or moved in or out of sight asks for its new stream this long after
// the last change, not at every step of a resize or a scroll.
const RESIZE_SETTLE_MS = 700;

// The tiles of one relay port (origin), so that they can keep the browser to one connection.
// Asked for all at once before the browser knows that the port speaks HTTP/2, the streams make
// it open up to six connections; it keeps one and marks the others "going away", each still
// carrying the stream it began with, for good. Once the kept one goes away too (a network
// change does that) every new stream needs a connection of its own, and the six the browser
// allows per port are all held by the old streams: the new ones wait for ever. So the first
// stream of a port goes alone, and the others follow once it is answered; and should streams
// of a port still get no answer while others of it play, the port's streams are all asked for
// anew, which frees the old connections.
const sites = new Map();

function siteOf(url) {
  let origin;
  try {
    origin = new URL(url).origin;
  } catch (e) {
    origin = url;
  }
  if (!sites.has(origin))
    sites.set(origin, {tiles: new Set(), opening: null, restartedAt: 0});
  return sites.get(origin);
}

function sleep(ms) {
  return new Promise(resolve => setTimeout(resolve, ms));
}

const STYLE = `
  :host { display: block; position: relative; background: #1b2028; color: #fff;
          aspect-ratio: 16 / 9; overflow: hidden; border-radius: 4px; }
  img { width: 100%; height: 100%; object-fit: contain; display: block; }
  img:not([src]) { visibility: hidden; }
  :host([old]) img { opacity: .35; filter: grayscale(1); }
  .bar { position: absolute; left: 0; right: 0; bottom: 0; display: flex; gap: .5em;
         justify-content: space-between; padding: .2em .45em; font: 12px/1.3 sans-serif;
         background: rgba(0, 0, 0, .55); }
  .name { font-weight: bold; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
  .label { text-align: right; }
  :host([state="live"]) .label { color: #7dcea0; }
  :host([state="old"]) .label, :host([state="reconnecting"]) .label { color: #f5b041; }
  :host([state="offline"]) .label, :host([state="forbidden"]) .label { color: #f1948a; }
  :host([state="waiting"]) .bar, :host([state="offline"]) .bar, :host([state="forbidden"]) .bar,
  :host([state="reconnecting"]) .bar { top: 0; flex-direction: column; justify-content: center;
         align-items: center; text-align: center; background: rgba(0, 0, 0, .45); }
  :host([state="waiting"]) .label, :host([state="offline"]) .label,
  :host([state="forbidden"]) .label, :host([state="reconnecting"]) .label {
         text-align: center; font-size: 13px; max-width: 95%; }
`;

export class CameraTile extends HTMLElement {
  static get observedAttributes() {
    return ['src', 'name', 'waiting', 'selected'];
  }

  constructor() {
    super();
    const root = this.attachShadow({mode: 'open'});
    root.innerHTML = '<style>' + STYLE + '</style><img alt=""><div class="bar">'
      + '<span class="name"></span><span class="label"></span></div>';
    this.img = root.querySelector('img');
    this.nameLabel = root.querySelector('.name');
    this.label = root.querySelector('.label');
    // Pictures received since the tile was made, for whoever wants to know what moves.
    this.pictures = 0;
    this.pictureAt = null;
    this.phase = 'waiting';
    this.httpStatus = 0;
    this.failures = 0;
    this.lastError = '';
    // The latest attempt got no answer at all (the service or the network was away).
    this.unreachable = false;
    this._offline = null;
    this.controller = null;
    this.retryTimer = 0;
    this.stallTimer = 0;
    this.renderTimer = 0;
    this.shownUrl = null;
    this.decoding = false;
    this.nextPicture = null;
    // A tile scrolled out of sight keeps its stream (it must notice a stall all the same) but
    // does not decode its pictures: the newest waits for the tile to come into sight.
    this.inSight = true;
    this.observer = typeof IntersectionObserver === 'function'
      ? new IntersectionObserver(entries => this.onSight(entries[entries.length - 1].isIntersecting))
      : null;
    // The stream being read, as asked for (streamUrl()): its size follows the tile's.
    this.streamSrc = null;
    this.viewTimer = 0;
    this.sizer = typeof ResizeObserver === 'function'
      ? new ResizeObserver(() => this.viewChanged()) : null;
  }

  // The stream this tile should read now.
  wantedSrc() {
    const src = this.getAttribute('src');
    if (!src)
      return null;
    return streamUrl(src, {large: this.hasAttribute('selected'), width: this.clientWidth,
                           pixelRatio: window.devicePixelRatio || 1,
                           hidden: !this.inSight || document.visibilityState === 'hidden'});
  }

  viewChanged() {
    clearTimeout(this.viewTimer);
    this.viewTimer = setTimeout(() => {
      if (this.phase !== 'waiting' && this.streamSrc && this.wantedSrc() !== this.streamSrc)
        this.restart();
    }, RESIZE_SETTLE_MS);
  }

  onSight(inSight) {
    if (this.inSight !== inSight) {
      this.inSight = inSight;
      this.viewChanged();
    }
    if (inSight && this.nextPicture && !this.decoding) {
      const next = this.nextPicture;
      this.nextPicture = null;
      this.display(next);
    }
  }

  get offline() {
    return this._offline;
  }

  set offline(value) {
    this._offline = value || null;
    this.render();
  }

  connectedCallback() {
    this.site = siteOf(this.getAttribute('src') || '');
    this.site.tiles.add(this);
    this.renderTimer = setInterval(() => this.render(), RENDER_MS);
    this.onOnline = () => this.retryNow();
    // A laptop back on a network: no reason to sit out the rest of a long pause.
    window.addEventListener('online', this.onOnline);
    this.onVisibility = () => this.viewChanged();
    document.addEventListener('visibilitychange', this.onVisibility);
    if (this.observer)
      this.observer.observe(this);
    if (this.sizer)
      this.sizer.observe(this);
    this.update();
  }

  disconnectedCallback() {
    this.site.tiles.delete(this);
    clearInterval(this.renderTimer);
    window.removeEventListener('online', this.onOnline);
    document.removeEventListener('visibilitychange', this.onVisibility);
    if (this.observer)
      this.observer.disconnect();
    if (this.sizer)
      this.sizer.disconnect();
    clearTimeout(this.viewTimer);
    this.halt();
  }

  attributeChangedCallback(name, before, after) {
    if (name === 'name')
      this.nameLabel.textContent = after || '';
    else if (name === 'selected')
      this.viewChanged();
    else if (before !== after && this.isConnected) {
      if (name === 'src') {
        this.halt();
        this.site.tiles.delete(this);
        this.site = siteOf(after || '');
        this.site.tiles.add(this);
      }
      this.update();
    }
  }

  // Runs while connected, given a source and not held back.
  update() {
    const run = this.isConnected && this.getAttribute('src') && !this.hasAttribute('waiting');
    if (run && this.phase === 'waiting') {
      this.failures = 0;
      this.connect();
    } else if (!run && this.phase !== 'waiting') {
      this.halt();
    }
    this.render();
  }

  // Ends the pause before the next attempt: for when the page learns that the service can be
  // reached again. With `unreachableOnly`, only if the last attempt got no answer at all.
  retryNow(unreachableOnly) {
    if (this.phase !== 'retrying' || (unreachableOnly && !this.unreachable))
      return;
    clearTimeout(this.retryTimer);
    this.connect();
  }

  // Ends the stream and asks for it anew at once.
  restart() {
    if (this.phase === 'waiting')
      return;
    this.halt();
    this.failures = 0;
    this.connect();
  }

  halt() {
    clearTimeout(this.retryTimer);
    clearTimeout(this.stallTimer);
    const controller = this.controller;
    this.controller = null;
    this.phase = 'waiting';
    if (controller)
      controller.abort();
  }

  armStall(controller) {
    clearTimeout(this.stallTimer);
    this.stallTimer = setTimeout(() => {
      this.lastError = 'no picture for ' + STALL_MS / 1000 + ' s';
      controller.abort();
    }, STALL_MS);
  }

  async connect() {
    const controller = new AbortController();
    this.controller = controller;
    this.phase = 'connecting';
    this.render();
    const site = this.site;
    const playing = () => [...site.tiles].some(t => t.phase === 'streaming');
    if (!playing() && site.opening) {
      await Promise.race([site.opening, sleep(STALL_MS)]);
      if (this.controller !== controller)
        return;
    }
    let opened = null;
    if (!playing() && !site.opening)
      site.opening = new Promise(resolve => { opened = resolve; });
    const open = () => {
      if (opened) {
        site.opening = null;
        opened();
        opened = null;
      }
    };
    this.armStall(controller);
    let pictures = 0;
    this.unreachable = true;
    try {
      this.streamSrc = this.wantedSrc();
      const response = await fetch(this.streamSrc, {
        credentials: 'include', cache: 'no-store', signal: controller.signal});
      this.unreachable = false;
      open();
      this.httpStatus = response.status;
      const boundary = boundaryOf(response.headers.get('Content-Type'));
      if (!response.ok || !boundary) {
        response.body?.cancel().catch(() => {});
        throw new Error(response.ok ? 'the answer is no picture stream' : 'HTTP ' + response.status);
      }
      this.phase = 'streaming';
      this.render();
      const reader = response.body.getReader();
      const parts = new MultipartReader(boundary);
      for (;;) {
        const {value, done} = await reader.read();
        if (done)
          break;
        for (const part of parts.push(value)) {
          if (this.controller !== controller)
            break;
          pictures++;
          this.armStall(controller);
          this.show(part);
        }
        if (this.controller !== controller) {
          reader.cancel().catch(() => {});
          break;
        }
      }
      if (this.controller === controller)
        this.lastError = 'the stream ended';
    } catch (error) {
      if (this.controller === controller && !controller.signal.aborted)
        this.lastError = String(error && error.message || error);
    }
    open();
    clearTimeout(this.stallTimer);
    if (this.controller !== controller)
      return; // halted, or a newer attempt runs
    controller.abort();
    this.controller = null;
    this.failures = pictures > 0 ? 1 : this.failures + 1;
    this.phase = 'retrying';
    this.render();
    if (this.unreachable && this.failures >= 2 && playing()
        && Date.now() - site.restartedAt > RESTART_ALL_MS) {
      site.restartedAt = Date.now();
      for (const tile of site.tiles)
        tile.restart();
      return;
    }
    this.retryTimer = setTimeout(() => {
      if (this.phase === 'retrying')
        this.connect();
    }, retryDelay(this.failures));
  }

  // The newest picture wins: one still being decoded is replaced, never queued behind.
  show(part) {
    this.pictures++;
    this.pictureAt = Date.now();
    this.failures = 0;
    const blob = new Blob([part.body], {type: part.type || 'image/jpeg'});
    if (this.decoding || !this.inSight) {
      this.nextPicture = blob;
      return;
    }
    this.display(blob);
  }

  display(blob) {
    this.decoding = true;
    const url = URL.createObjectURL(blob);
    const done = () => {
      this.img.onload = this.img.onerror = null;
      if (this.shownUrl)
        URL.revokeObjectURL(this.shownUrl);
      this.shownUrl = url;
      this.decoding = false;
      const next = this.nextPicture;
      this.nextPicture = null;
      if (next && this.inSight)
        this.display(next);
      else
        this.nextPicture = next;
      this.render();
    };
    this.img.onload = this.img.onerror = done;
    this.img.src = url;
  }

  facts() {
    return {now: Date.now(), pictureAt: this.pictureAt, phase: this.phase,
            httpStatus: this.httpStatus, offline: this._offline,
            waitReason: this.getAttribute('waiting')};
  }

  render() {
    const shown = tileState(this.facts());
    if (this.getAttribute('state') !== shown.state)
      this.setAttribute('state', shown.state);
    this.toggleAttribute('old', shown.old);
    let text = shown.text;
    if (shown.state === 'reconnecting' && this.lastError)
      text += ' (' + this.lastError + ')';
    if (this.label.textContent !== text)
      this.label.textContent = text;
    this.title = text;
  }
}

if (!customElements.get('camera-tile'))
  customElements.define('camera-tile', CameraTile);
