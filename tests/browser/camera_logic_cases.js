// The camera tile's logic (resources/cameras/camera-logic.js) fed data in the browser, as the
// C++ parsers are fed bytes. Run as the body of an async function with `origin` (where the
// status port serves the module); returns the list of failed checks, empty when all hold.
const m = await import(origin + '/cameras/camera-logic.js');
const failures = [];
function check(what, ok, seen) {
  if (!ok)
    failures.push(what + (seen === undefined ? '' : ': ' + JSON.stringify(seen)));
}
const bytes = text => Uint8Array.from(text, c => c.charCodeAt(0));
const text = array => String.fromCharCode(...array);
function concat(...arrays) {
  const all = new Uint8Array(arrays.reduce((n, a) => n + a.length, 0));
  let at = 0;
  for (const a of arrays) {
    all.set(a, at);
    at += a.length;
  }
  return all;
}
// Deterministic pieces, so that a failure can be run again as it was.
let seed = 7;
function random(n) {
  seed = (seed * 1103515245 + 12345) % 2147483648;
  return seed % n;
}
function feed(reader, stream, split) {
  const parts = [];
  for (let at = 0; at < stream.length;) {
    const size = split === 'whole' ? stream.length : split === 'bytes' ? 1 : 1 + random(40);
    parts.push(...reader.push(stream.subarray(at, at + size)));
    at += size;
  }
  return parts.map(p => p.type + '|' + text(p.body));
}

// What the relay sends, a picture that holds the boundary's text itself, a part without
// Content-Length, header names in other letter cases, a preamble, and the closing delimiter.
const picture = '\xff\xd8 --endofsection inside \r\n\r\n \xff\xd9';
const stream = concat(
  bytes('preamble\r\n'),
  bytes('--endofsection\r\nContent-type: image/jpeg\r\nContent-Length: ' + picture.length
        + '\r\n\r\n' + picture + '\r\n'),
  bytes('--endofsection\r\ncontent-type: image/png\r\n\r\nno length here\r\n'),
  bytes('--endofsection\r\nCONTENT-LENGTH: 3\r\n\r\nabc\r\n'),
  bytes('--endofsection--\r\nafter the end\r\n'));
const expected = ['image/jpeg|' + picture, 'image/png|no length here', '|abc'];
for (const split of ['whole', 'bytes', 'random', 'random', 'random']) {
  const parts = feed(new m.MultipartReader('endofsection'), stream, split);
  check('multipart, ' + split, JSON.stringify(parts) === JSON.stringify(expected), parts);
}
// A reader that has seen the end gives nothing more.
const ended = new m.MultipartReader('b');
ended.push(bytes('--b--\r\n'));
check('nothing after the end', ended.push(bytes('--b\r\nContent-Length: 1\r\n\r\nx\r\n')).length === 0);
// Many pictures through one reader: the buffer is reused, not grown without end.
{
  const reader = new m.MultipartReader('endofsection');
  const big = 'x'.repeat(50000);
  let count = 0;
  for (let i = 0; i < 200; i++) {
    count += reader.push(bytes('--endofsection\r\nContent-Length: ' + big.length + '\r\n\r\n'
                               + big + '\r\n')).length;
  }
  check('200 pictures of 50 kB', count === 200, count);
  check('buffer stays small', reader.buffer.length <= 256 * 1024, reader.buffer.length);
}
for (const [name, input, max] of [
  ['a Content-Length that is no number', '--b\r\nContent-Length: 12x\r\n\r\n', 1000],
  ['a part larger than allowed', '--b\r\nContent-Length: 5000\r\n\r\n', 1000],
  ['header lines without end', '--b\r\n' + 'X-A: b\r\n'.repeat(3000), 1 << 24],
  ['a part without length or end', '--b\r\n\r\n' + 'y'.repeat(2000), 1000],
]) {
  let threw = false;
  try {
    new m.MultipartReader('b', max).push(bytes(input));
  } catch (e) {
    threw = true;
  }
  check('throws on ' + name, threw);
}

for (const [type, boundary] of [
  ['multipart/x-mixed-replace; boundary=endofsection', 'endofsection'],
  ['Multipart/X-Mixed-Replace;boundary="a b"', 'a b'],
  ['multipart/x-mixed-replace; charset=x; boundary=z', 'z'],
  ['multipart/x-mixed-replace', null],
  ['image/jpeg', null],
  ['text/html; boundary=x', null],
  [null, null],
])
  check('boundary of ' + type, m.boundaryOf(type) === boundary, m.boundaryOf(type));

const delays = [1, 2, 3, 4, 5, 6, 7, 20].map(m.retryDelay);
check('retry delays', JSON.stringify(delays)
      === JSON.stringify([0, 1000, 2000, 4000, 8000, 15000, 15000, 15000]), delays);

const now = Date.parse('2026-03-01T14:02:30');
const at = s => Date.parse('2026-03-01T14:02:' + String(s).padStart(2, '0'));
const offline = {since: Date.parse('2026-03-01T14:01:10'), error: 'Connection refused'};
for (const [name, facts, state, label, old] of [
  ['a fresh picture', {pictureAt: now - 500, phase: 'streaming'}, 'live', 'live', false],
  ['a picture 3 s old', {pictureAt: now - 3200, phase: 'streaming'}, 'live', 'live, 3 s old',
   false],
  ['a picture 6 s old', {pictureAt: at(24), phase: 'streaming'}, 'old',
   'no picture since 14:02:24', true],
  ['a fresh picture of a lost stream', {pictureAt: now - 100, phase: 'retrying'}, 'reconnecting',
   'reconnecting…', false],
  ['an old picture of a lost stream', {pictureAt: at(11), phase: 'retrying'}, 'reconnecting',
   'reconnecting… no picture since 14:02:11', true],
  ['asked, not answered yet', {pictureAt: null, phase: 'connecting'}, 'reconnecting',
   'connecting…', false],
  ['answered, no picture yet', {pictureAt: null, phase: 'streaming', httpStatus: 200},
   'reconnecting', 'waiting for a picture…', false],
  ['refused 401', {pictureAt: null, phase: 'retrying', httpStatus: 401}, 'forbidden',
   'no right to watch', false],
  ['refused 403 with a picture', {pictureAt: now - 100, phase: 'retrying', httpStatus: 403},
   'forbidden', 'no right to watch', true],
  ['offline camera, pictures still coming', {pictureAt: now - 100, phase: 'streaming', offline},
   'offline', 'camera offline since 14:01 (Connection refused)', true],
  ['held back', {pictureAt: null, phase: 'waiting', waitReason: 'six taken'}, 'waiting',
   'six taken', false],
]) {
  const shown = m.tileState(Object.assign({now, httpStatus: 0, offline: null}, facts));
  check('tile: ' + name, shown.state === state && shown.text === label && shown.old === old,
        shown);
  // Whatever it is, a picture that is not coming in is never called live.
  if (facts.phase !== 'streaming' || now - facts.pictureAt > m.OLD_MS)
    check('tile not live: ' + name, shown.state !== 'live', shown);
}

const serviceNow = Date.parse('2026-03-01T14:05:00Z');
for (const [name, channel, previous, expected] of [
  ['fails after its last picture',
   {lastError: 'timeout', lastErrorAt: '2026-03-01T14:04:58.000Z', lastPictureAgeSeconds: 40},
   null, {since: serviceNow - 40000, error: 'timeout'}],
  ['never sent a picture',
   {lastError: 'refused', lastErrorAt: '2026-03-01T14:04:59.000Z', lastPictureAgeSeconds: null},
   null, {since: Date.parse('2026-03-01T14:04:59Z'), error: 'refused'}],
  ['the outage goes on: its start is kept',
   {lastError: 'refused', lastErrorAt: '2026-03-01T14:04:59.000Z', lastPictureAgeSeconds: null},
   {since: 1234, error: 'refused'}, {since: 1234, error: 'refused'}],
  ['a picture came after the error',
   {lastError: 'timeout', lastErrorAt: '2026-03-01T14:04:50.000Z', lastPictureAgeSeconds: 1},
   null, null],
  ['the error is long past',
   {lastError: 'timeout', lastErrorAt: '2026-03-01T13:00:00.000Z', lastPictureAgeSeconds: 7000},
   null, null],
  ['no error', {lastError: null, lastErrorAt: null, lastPictureAgeSeconds: 0.2}, null, null],
])
  check('offline: ' + name, JSON.stringify(m.offlineOf(channel, serviceNow, previous))
        === JSON.stringify(expected), m.offlineOf(channel, serviceNow, previous));

// The stream a tile asks for: never narrower than the tile once the relay has chosen its scale
// (the largest of 1/1 .. 1/8 of the camera's width not wider than what is asked).
const src = 'https://site-pc:8090/Lobby/Front/1';
const scaledWidth = (camera, asked) => {
  for (const d of [1, 2, 4, 8]) {
    if (Math.floor(camera / d) <= asked)
      return Math.floor(camera / d);
  }
  return Math.floor(camera / 8);
};
for (const [name, view, expected] of [
  ['shown large', {large: true, width: 1200, pixelRatio: 2}, src],
  ['a 300 px tile', {width: 300, pixelRatio: 1}, src + '?width=639'],
  ['a 300 px tile on a phone', {width: 300, pixelRatio: 2.5}, src + '?width=1599'],
  ['a tile a few pixels wider', {width: 318, pixelRatio: 1}, src + '?width=639'],
  ['out of sight', {width: 220, pixelRatio: 1, hidden: true}, src + '?width=479&fps=1'],
  ['large, in a background tab', {large: true, width: 900, hidden: true}, src + '?fps=1'],
  ['not laid out yet', {width: 0}, src],
])
  check('stream url: ' + name, m.streamUrl(src, view) === expected, m.streamUrl(src, view));
for (const camera of [640, 704, 1280, 1920, 2688])
  for (const tile of [100, 160, 220, 240, 300, 333, 480, 640, 1000]) {
    const asked = Number(new URL(m.streamUrl(src, {width: tile, pixelRatio: 1}))
                             .searchParams.get('width'));
    const got = scaledWidth(camera, asked);
    check('no loss at tile size: ' + camera + ' px camera, ' + tile + ' px tile',
          got >= Math.min(tile, camera), {asked, got});
  }

return failures;
