// What a camera tile decides, kept apart from the page: the multipart reader that takes the
// stream's bytes, the schedule of its reconnections and the state it shows. Plain functions and
// one class over plain data, so a test page can feed them bytes and facts and compare.

// A stream that brings no picture for this long is taken for stalled and asked for again.
export const STALL_MS = 5000;
// A live picture's age is shown once it passes this.
export const AGE_SHOWN_MS = 2000;
// A picture older than this is marked old (dimmed, with its time).
export const OLD_MS = 5000;
// The longest pause between two attempts.
export const RETRY_CAP_MS = 15000;
// A part larger than this ends the stream as broken: a camera picture is far smaller.
export const MAX_PART_BYTES = 16 * 1024 * 1024;
// A part's header lines longer than this end the stream as broken.
export const MAX_HEAD_BYTES = 16 * 1024;
// An error the service reported longer ago than this no longer makes a camera offline.
export const OFFLINE_FRESH_MS = 30000;
// Tile widths are rounded up to this many device pixels before they are asked for, so that a
// small change of the window keeps the streams as they are.
export const WIDTH_STEP = 80;
// Pictures a second for a tile out of sight (scrolled away, or its tab in the background): it
// still notices a stall, at a fraction of the bytes.
export const HIDDEN_FPS = 1;

// The stream a tile asks the relay for, from the channel's address `src` and how it is shown:
//   large        shown alone: the camera's own picture
//   width        the tile's width in CSS pixels; pixelRatio the screen's device pixels per one
//   hidden       out of sight
// The relay sends the largest of 1/1, 1/2, 1/4 and 1/8 of the camera's width that is not wider
// than the width asked for, so a tile asks for just under twice its width in device pixels and
// gets a picture no narrower than itself: nothing is lost at the size it is shown.
export function streamUrl(src, view) {
  const url = new URL(src);
  if (!view.large && view.width > 0) {
    const device = Math.ceil(view.width * (view.pixelRatio || 1) / WIDTH_STEP) * WIDTH_STEP;
    url.searchParams.set('width', String(2 * device - 1));
  }
  if (view.hidden)
    url.searchParams.set('fps', String(HIDDEN_FPS));
  return url.href;
}

// The pause before attempt number `failures + 1`, after `failures` attempts in a row that
// ended without a picture: the first is asked for again at once, then 1 s doubling up to 15 s.
export function retryDelay(failures) {
  if (failures <= 1)
    return 0;
  return Math.min(1000 * 2 ** (failures - 2), RETRY_CAP_MS);
}

// The boundary of a multipart Content-Type, or null when the answer is no multipart stream.
export function boundaryOf(contentType) {
  if (!contentType || !/^\s*multipart\//i.test(contentType))
    return null;
  const match = /;\s*boundary\s*=\s*(?:"([^"]+)"|([^;\s]+))/i.exec(contentType);
  return match ? (match[1] || match[2]) : null;
}

function ascii(text) {
  return Uint8Array.from(text, c => c.charCodeAt(0));
}

// Where `needle` starts in bytes[from, end), or -1.
function find(bytes, needle, from, end) {
  const first = needle[0];
  const last = end - needle.length;
  for (let i = bytes.indexOf(first, from); i !== -1 && i <= last; i = bytes.indexOf(first, i + 1)) {
    let j = 1;
    while (j < needle.length && bytes[i + j] === needle[j])
      j++;
    if (j === needle.length)
      return i;
  }
  return -1;
}

const CRLF = ascii('\r\n');
const HEAD_END = ascii('\r\n\r\n');

// Takes the bytes of a multipart/x-mixed-replace body in pieces of any size, and gives back
// each whole part as it completes: {type, body}. A part's Content-Length is used when it has
// one; otherwise the part ends where the next boundary starts. Throws on a broken stream.
export class MultipartReader {
  constructor(boundary, maxPart = MAX_PART_BYTES) {
    this.delimiter = ascii('--' + boundary);
    this.nextDelimiter = ascii('\r\n--' + boundary);
    this.maxPart = maxPart;
    this.buffer = new Uint8Array(64 * 1024);
    this.start = 0;
    this.end = 0;
    this.state = 'boundary';
    this.type = '';
    this.length = -1;
    this.ended = false;
  }

  append(bytes) {
    if (this.start > 0 && (this.end + bytes.length > this.buffer.length
                           || this.start > this.buffer.length / 2)) {
      this.buffer.copyWithin(0, this.start, this.end);
      this.end -= this.start;
      this.start = 0;
    }
    if (this.end + bytes.length > this.buffer.length) {
      let size = this.buffer.length;
      while (size < this.end + bytes.length)
        size *= 2;
      const grown = new Uint8Array(size);
      grown.set(this.buffer.subarray(0, this.end));
      this.buffer = grown;
    }
    this.buffer.set(bytes, this.end);
    this.end += bytes.length;
  }

  push(bytes) {
    const parts = [];
    if (this.ended)
      return parts;
    this.append(bytes);
    for (;;) {
      if (this.state === 'boundary') {
        // Anything before the delimiter (the CRLF after a part, a preamble) is skipped.
        const at = find(this.buffer, this.delimiter, this.start, this.end);
        if (at < 0) {
          // Keep what may be the delimiter's beginning.
          this.start = Math.max(this.start, this.end - this.delimiter.length);
          this.checkSize(this.end - this.start);
          return parts;
        }
        const after = at + this.delimiter.length;
        if (this.end - after < 2)
          return parts;
        if (this.buffer[after] === 0x2d && this.buffer[after + 1] === 0x2d) {
          this.ended = true;
          return parts;
        }
        const lineEnd = find(this.buffer, CRLF, after, this.end);
        if (lineEnd < 0) {
          this.checkSize(this.end - after);
          return parts;
        }
        this.start = lineEnd + 2;
        this.state = 'headers';
      } else if (this.state === 'headers') {
        // A part with no header lines at all starts right with the empty line.
        let bodyStart;
        let head = '';
        if (this.end - this.start >= 2 && this.buffer[this.start] === 0x0d
            && this.buffer[this.start + 1] === 0x0a) {
          bodyStart = this.start + 2;
        } else {
          const at = find(this.buffer, HEAD_END, this.start, this.end);
          if ((at < 0 ? this.end : at) - this.start > MAX_HEAD_BYTES)
            throw new Error('the header lines of a part are longer than ' + MAX_HEAD_BYTES
                            + ' bytes');
          if (at < 0)
            return parts;
          head = String.fromCharCode(...this.buffer.subarray(this.start, at));
          bodyStart = at + 4;
        }
        this.type = '';
        this.length = -1;
        for (const line of head.split('\r\n')) {
          const colon = line.indexOf(':');
          if (colon < 0)
            continue;
          const name = line.slice(0, colon).trim().toLowerCase();
          const value = line.slice(colon + 1).trim();
          if (name === 'content-type')
            this.type = value;
          else if (name === 'content-length') {
            if (!/^\d+$/.test(value))
              throw new Error('bad Content-Length in the stream: ' + value);
            this.length = Number(value);
            this.checkSize(this.length);
          }
        }
        this.start = bodyStart;
        this.state = 'body';
      } else {
        let bodyEnd;
        let next;
        if (this.length >= 0) {
          if (this.end - this.start < this.length)
            return parts;
          bodyEnd = this.start + this.length;
          next = bodyEnd;
        } else {
          const at = find(this.buffer, this.nextDelimiter, this.start, this.end);
          if (at < 0) {
            this.checkSize(this.end - this.start);
            return parts;
          }
          bodyEnd = at;
          next = at + 2;
        }
        parts.push({type: this.type, body: this.buffer.slice(this.start, bodyEnd)});
        this.start = next;
        this.state = 'boundary';
      }
    }
  }

  checkSize(size) {
    if (size > this.maxPart)
      throw new Error('a part of the stream is larger than ' + this.maxPart + ' bytes');
  }
}

function pad(n) {
  return String(n).padStart(2, '0');
}

// A local time as a guard reads it: HH:MM, or HH:MM:SS.
export function clockText(ms, seconds) {
  const d = new Date(ms);
  return pad(d.getHours()) + ':' + pad(d.getMinutes()) + (seconds ? ':' + pad(d.getSeconds()) : '');
}

// Whether the service says a channel's camera is failing, from its entry in status.json (read
// at the service's time `nowMs`): its newest fetch ended in an error, lately. Returns
// {since, error} or null; `since` is kept from `previous` while the outage goes on, else it is
// the time of the camera's last picture (or of the error, when it never sent one).
export function offlineOf(channel, nowMs, previous) {
  if (!channel || !channel.lastError || !channel.lastErrorAt)
    return null;
  const errorAt = Date.parse(channel.lastErrorAt);
  const age = channel.lastPictureAgeSeconds;
  const pictureAt = age === null || age === undefined ? null : nowMs - age * 1000;
  if (Number.isNaN(errorAt) || nowMs - errorAt > OFFLINE_FRESH_MS
      || (pictureAt !== null && pictureAt >= errorAt))
    return null;
  const since = previous ? previous.since : (pictureAt !== null ? pictureAt : errorAt);
  return {since, error: channel.lastError};
}

// What a tile shows, from what it knows:
//   now          the time (ms since the epoch)
//   pictureAt    when the picture on screen arrived, or null
//   phase        'streaming' (an answer is being read), 'connecting' (asked, no answer yet),
//                'retrying' (waiting to ask again), 'waiting' (not started: see waitReason)
//   httpStatus   the status of the latest answer, or 0
//   offline      offlineOf()'s result, or null
//   waitReason   why the tile has not started
// Returns {state, text, old}: `state` names it for the page's styles, `old` dims the picture.
// Only 'live' says live, and only while pictures keep coming.
export function tileState(facts) {
  const age = facts.pictureAt === null || facts.pictureAt === undefined
    ? null : Math.max(0, facts.now - facts.pictureAt);
  const old = age !== null && age > OLD_MS;
  const since = age === null ? '' : 'no picture since ' + clockText(facts.pictureAt, true);
  if (facts.phase === 'waiting')
    return {state: 'waiting', text: facts.waitReason || 'waiting', old};
  if (facts.httpStatus === 401 || facts.httpStatus === 403)
    return {state: 'forbidden', text: 'no right to watch', old: age !== null};
  if (facts.offline) {
    return {state: 'offline', old: true,
            text: 'camera offline since ' + clockText(facts.offline.since, false)
                  + ' (' + facts.offline.error + ')'};
  }
  if (facts.phase !== 'streaming' || age === null) {
    const text = facts.phase === 'streaming' ? 'waiting for a picture…'
      : age === null && !facts.httpStatus && facts.phase === 'connecting' ? 'connecting…'
      : 'reconnecting…';
    return {state: 'reconnecting', text: old ? text + ' ' + since : text, old};
  }
  if (old)
    return {state: 'old', text: since, old};
  if (age > AGE_SHOWN_MS)
    return {state: 'live', text: 'live, ' + Math.floor(age / 1000) + ' s old', old};
  return {state: 'live', text: 'live', old};
}
