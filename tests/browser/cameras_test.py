#!/usr/bin/env python3
"""Every camera of one relay port on one page, in headless Chromium: the demo layout page
("#cameras") with its sixteen camera tiles (the camera wall's, each reading its stream with
fetch() and asking again for a stream that ends or stalls), the channels of the simulator's one MJPEG stream, opened
by a viewer logged in once on the event port (the pictures come from the relay port, another
origin of the same site, with the session cookie alone).

What moves is counted on the service's side: a channel moves when the bytes the relay sent its
viewers grow while the page is watched (/status.json), and the page's pictures are counted too.

With --tls the service has a self-signed certificate, and Chromium, offered "h2" by ALPN, must
carry every picture stream over HTTP/2: all sixteen channels move, every stream came as h2, and
the status server counts the relay port's HTTP/2 streams. Without TLS, browsers speak HTTP/1.1
and open six connections to one host and port, each held by one stream for good: at least six
channels move, and the script prints how many.

Exit codes: 0 pass, 1 fail, 77 skipped (no Chromium or ChromeDriver on this machine)."""

import json
import re
import sys
import urllib.parse

from browsersite import Site, argument_parser, browser_missing, http_get, wait_for

CHANNELS = 16
# What browsers allow per host and port over HTTP/1.1.
HTTP1_CONNECTIONS = 6
# From the page's opening to its streams' first pictures; and then how long the streams are
# watched for every one to move again (the relay fetches a picture about every 0.2 s). Chromium
# may drop every stream at start-up (ERR_NETWORK_CHANGED, sometimes more than once): a tile
# asks again within its longest pause, 15 s.
START_S = 30.0
WATCH_S = 3.0


def channel_bytes(site, login):
    """Bytes sent per channel of the relay so far, by channel path."""
    status = json.loads(http_get(site.url("status", "/status.json"), login))
    return {"/%s/%s/%s" % (c["dvr"], c["stream"], c["channel"]): c["bytesSent"]
            for c in status["channels"]}


def metric(site, login, name, port):
    """The value of a gauge labelled with `port` in /metrics; None when it is not there."""
    text = http_get(site.url("status", "/metrics"), login).decode()
    pattern = r'^%s\{[^}]*port="%d"[^}]*\} (\S+)$' % (re.escape(name), port)
    found = re.search(pattern, text, re.MULTILINE)
    return float(found.group(1)) if found else None


def check_cameras(site, login, tls):
    page = wait_for("the layout page", lambda: [
        line.split("layout page: ", 1)[1].strip() for line in site.sim_output().splitlines()
        if "layout page: " in line])[0]
    wait_for("the layout to be served",
             lambda: b"CAMERA_PATHS" in http_get(site.url("event", page), login))
    wait_for("%d channels configured" % CHANNELS,
             lambda: len(channel_bytes(site, login)) == CHANNELS)

    driver = site.browser(network_log=True)
    event = urllib.parse.urlsplit(site.url("event"))
    # One login, as the browser's prompt would send it; the relay port then sees only the
    # session cookie.
    driver.open("%s://%s:%s@%s/" % (event.scheme, urllib.parse.quote(login[0]),
                                     urllib.parse.quote(login[1]), event.netloc))
    driver.open(site.url("event", page + "#cameras"))
    sources = wait_for("the cameras on the page", lambda: [
        s for s in [driver.script("return [...document.querySelectorAll('camera-tile')]"
                                  ".map(t => t.getAttribute('src'));")] if len(s) == CHANNELS])[0]
    relay = "%s:%d" % ("127.0.0.1", site.ports["relay"])
    assert all(urllib.parse.urlsplit(s).netloc == relay for s in sources), sources

    expected = CHANNELS if tls else HTTP1_CONNECTIONS
    # Each tile reads its stream with fetch() and asks again for one the browser abandons, so
    # a stream Chromium gives up at start-up comes back within the time watched.

    def sending():
        return sum(1 for sent in channel_bytes(site, login).values() if sent > 0)

    def moving_since(before):
        now = channel_bytes(site, login)
        return sorted(path for path in now if now[path] > before.get(path, 0))

    # Fewer than expected are reported below rather than here.
    try:
        wait_for("%d channels sent pictures" % expected, lambda: sending() >= expected,
                 timeout=START_S, interval=0.5)
    except AssertionError:
        pass
    before = channel_bytes(site, login)
    try:
        wait_for("%d channels moving" % expected,
                 lambda: len(moving_since(before)) >= expected, timeout=WATCH_S, interval=0.5)
    except AssertionError:
        pass
    moving = moving_since(before)
    shown = driver.script("return [...document.querySelectorAll('camera-tile')]"
                          ".filter(t => t.pictures > 0).length;")
    print("%s: %d of %d channels moving (bytes the service sent), %d of %d pictures shown; "
          "moving: %s" % ("TLS" if tls else "plain HTTP", len(moving), CHANNELS, shown, CHANNELS,
                          " ".join(sorted((path.rsplit("/", 1)[1] for path in moving), key=int))))

    if len(moving) < expected:
        print("tiles:", driver.script(
            "return [...document.querySelectorAll('camera-tile')].map(t => t.dataset.channel"
            " + ' ' + t.getAttribute('state') + ' ' + t.phase + ' pictures=' + t.pictures"
            " + ' failures=' + t.failures + ' (' + t.lastError + ')');"))
    # The protocol Chromium used for each picture stream, from its own network log.
    protocols = {}
    for params in driver.network_events("Network.responseReceived"):
        url = urllib.parse.urlsplit(params["response"]["url"])
        if url.netloc == relay:
            protocols[url.path] = params["response"].get("protocol")
    print("picture streams answered: %d, over %s" % (len(protocols),
                                                     sorted(set(protocols.values()))))

    if not tls:
        assert len(moving) >= HTTP1_CONNECTIONS, "only %d channels moving" % len(moving)
        assert shown >= HTTP1_CONNECTIONS, "only %d pictures shown" % shown
        return

    streams = metric(site, login, "veltra_http2_streams", site.ports["relay"])
    print("veltra_http2_streams of the relay port:", streams)

    assert len(moving) == CHANNELS, "channels not moving: %s" % " ".join(
        sorted((path.rsplit("/", 1)[1] for path in set(before) - set(moving)), key=int))
    assert shown == CHANNELS, "only %d of %d pictures shown" % (shown, CHANNELS)
    assert len(protocols) == CHANNELS and set(protocols.values()) == {"h2"}, protocols
    assert streams is not None and streams >= CHANNELS, \
        "veltra_http2_streams for port %d: %s" % (site.ports["relay"], streams)


def main():
    parser = argument_parser()
    parser.add_argument("--tls", action="store_true",
                        help="HTTPS with a self-signed certificate, so the browser speaks h2")
    args = parser.parse_args()

    if browser_missing():
        return 77

    site = Site(args.service, args.simulator, "cameras-site", status_port=True, tls=args.tls)
    login = ("guard", "sixteen cameras at once")
    site.add_user(login[0], "viewer", login[1])
    return site.run(lambda: check_cameras(site, login, args.tls))


if __name__ == "__main__":
    sys.exit(main())
