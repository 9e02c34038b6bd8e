#!/usr/bin/env python3
"""A real alert from end to end: Prometheus with the shipped rules (a copy with every duration
shortened, made from packaging/prometheus/veltra-alerts.yml) scrapes a live site and sends to a
real Alertmanager, which sends to this test's webhook receiver. A watched camera made to fail
raises VeltraCameraNoPicture and then VeltraCameraFailing at the receiver, naming the site and the
channel; when the camera sends pictures again both are resolved there. The channels nobody
watches fail too, and never alert.

Exit status 0: pass; 1: fail; 77: Prometheus or Alertmanager is not installed (skipped)."""

import sys
import time

import monitoringsite as m

CAMERA_ALERTS = ("VeltraCameraNoPicture", "VeltraCameraFailing")


def main():
    args = m.browsersite.argument_parser().parse_args()
    if m.missing("prometheus", "prometheus-alertmanager"):
        return m.SKIP
    with open(m.RULES) as f:
        rules = m.shortened_rules(f.read())

    site = m.LiveSite(args.service, args.simulator, "alerts")
    receiver = m.WebhookReceiver()
    monitoring = m.Monitoring(site.work, site, rules=rules, receiver=receiver)

    def check():
        began = time.monotonic()
        site.wait_configured()
        site.watch_camera(1)
        monitoring.start()
        monitoring.wait_scraped()
        m.wait_for("pictures of the watched channel in Prometheus", lambda: monitoring.query(
            'veltra_relay_last_picture_age_seconds{channel="1"} < 2'), 20)
        # Nothing about the camera before it fails.
        for name in CAMERA_ALERTS:
            assert not receiver.alerts(name, "firing"), receiver.notifications

        site.simulator_command("camera fail")
        failed = time.monotonic()
        raised = {}
        for name in CAMERA_ALERTS:
            raised[name] = m.wait_for("%s at the receiver" % name,
                                      lambda: receiver.alerts(name, "firing"), 60)
            print("%s at the receiver %.1f s after the camera failed"
                  % (name, time.monotonic() - failed))
        for name, alerts in raised.items():
            channels = {(a["labels"]["instance"], a["labels"]["dvr"], a["labels"]["stream"],
                         a["labels"]["channel"]) for a in alerts}
            assert channels == {(site.target, "DemoDVR", "Entrance", "1")}, \
                "%s for %r: only the watched channel may alert" % (name, channels)
            summary = alerts[0]["annotations"]["summary"]
            assert site.target in summary and "DemoDVR/Entrance/1" in summary, summary
            assert alerts[0]["annotations"]["runbook"].startswith("packaging/OPERATING.md#")

        site.simulator_command("camera ok")
        back = time.monotonic()
        for name in CAMERA_ALERTS:
            m.wait_for("%s resolved at the receiver" % name,
                       lambda: receiver.alerts(name, "resolved"), 30)
            print("%s resolved %.1f s after the camera came back"
                  % (name, time.monotonic() - back))
        print("%.1f s in all" % (time.monotonic() - began))

    try:
        return site.checked(check)
    finally:
        receiver.close()


if __name__ == "__main__":
    sys.exit(main())
