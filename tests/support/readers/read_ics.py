"""Reads an iCalendar file with python3-icalendar and prints what a calendar
program would import, as JSON, with the raw line checks beside it."""
import json
import sys

try:
    from icalendar import Calendar
except ImportError:
    sys.exit("python3-icalendar is missing: run scripts/install-deps.sh")

raw = open(sys.argv[1], "rb").read()
raw.decode("utf-8")  # strict: a fold inside a character would fail here
lines = raw.split(b"\r\n")
cal = Calendar.from_ical(raw)


def value(component, key):
    v = component.get(key)
    if v is None:
        return None
    if hasattr(v, "dt"):
        dt = v.dt
        return {"iso": dt.isoformat(), "date": not hasattr(dt, "hour"),
                "utc": bool(getattr(dt, "tzinfo", None)) and dt.utcoffset().total_seconds() == 0}
    if hasattr(v, "cats"):
        return [str(c) for c in v.cats]
    return str(v)


out = {
    "version": str(cal.get("VERSION")),
    "prodid": str(cal.get("PRODID")),
    "longest_line": max(len(l) for l in lines),
    "bare_lf": raw.replace(b"\r\n", b"").count(b"\n"),
    "ends_crlf": raw.endswith(b"\r\n"),
    "components": [],
}
for c in cal.walk():
    if c.name not in ("VEVENT", "VTODO"):
        continue
    out["components"].append({k.lower(): value(c, k) for k in (
        "UID", "SUMMARY", "LOCATION", "DESCRIPTION", "DTSTART", "DTEND", "DTSTAMP", "CATEGORIES",
        "X-SALVOR-RECOVERED")} | {"kind": c.name})
print(json.dumps(out))
