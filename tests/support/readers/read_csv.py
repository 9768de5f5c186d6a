"""Reads CSV files with Python's csv module and prints their rows as JSON,
with a check that every record ends with CRLF."""
import csv
import json
import sys

out = {}
for path in sys.argv[1:]:
    raw = open(path, "rb").read()
    text = raw.decode("utf-8")  # strict
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, strict=True))
    out[path] = {"rows": rows, "ends_crlf": raw.endswith(b"\r\n"), "bom": text.startswith("\ufeff")}
print(json.dumps(out))
