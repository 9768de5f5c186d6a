"""Follows every href and src of an HTML page as a browser would from the
folder it lies in, and prints as JSON which links there are and which of them
do not lead to an existing file or folder inside that folder."""
import html.parser
import json
import os
import sys
import urllib.parse

page = sys.argv[1]
root = os.path.realpath(os.path.dirname(page))


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []
        self.scripts = 0
        self.images = []

    def handle_starttag(self, tag, attrs):
        if tag == "script":
            self.scripts += 1
        for name, value in attrs:
            if name in ("href", "src") and value is not None:
                self.links.append(value)
                if tag == "img":
                    self.images.append(value)


raw = open(page, "rb").read()
parser = Links()
parser.feed(raw.decode("utf-8"))
missing, outside, absolute = [], [], []
resolved = []
for link in parser.links:
    parts = urllib.parse.urlsplit(link)
    if parts.scheme or parts.netloc or link.startswith("/"):
        absolute.append(link)
        continue
    target = os.path.realpath(os.path.join(root, urllib.parse.unquote(parts.path)))
    if target != root and not target.startswith(root + os.sep):
        outside.append(link)
    elif not os.path.exists(target):
        missing.append(link)
    else:
        resolved.append(os.path.relpath(target, root))
print(json.dumps({"links": parser.links, "images": parser.images, "resolved": resolved, "missing": missing,
                  "outside": outside, "absolute": absolute, "scripts": parser.scripts}))
