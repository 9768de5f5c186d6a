#!/usr/bin/env python3
"""A second writer of the iOS 15 and iOS 17 category databases.

It builds the message database, the address book, the notes store and
Safari's history from the modern table layouts (tools/forge/schemas/modern)
with an order of operations unlike the C++ forge's: the files are in WAL mode
from the first row, rows arrive and go in many small transactions, inserts,
updates that grow rows (so SQLite moves them) and deletes are interleaved,
deleted rows sit in the middle of the id range between live ones, new rows
take the space freed rows leave, dependent rows (numbers, note bodies, chat
links) are written long after their owner and deleted before or after it,
runs of long rows free whole pages, and the log is checkpointed twice before
the last transactions, which stay only in the log.

For each file it writes the database and its -wal as the phone would leave
them (copied while the connection is open), and truth.json: per category the
live records, the deleted rows in the keys the carving judges read, each with
whether a mark unique to it is still in the file or its log, and the older
versions of edited rows. Dates are given as the scan lists them (UTC).

    other_writer_modern.py --seed N --ios 15|17 --schemas DIR --out DIR
"""
import argparse
import gzip
import json
import os
import random
import sqlite3
import struct
import time
import uuid

EPOCH_2001 = 978307200
HEADS = ["Qu", "Zo", "Vy", "Ju", "Ky", "Wa", "Xe", "Yo", "Pi", "Ha", "Gu", "No"]
MIDS = ["rr", "nd", "lv", "sk", "mb", "tz", "rk", "ph", "gn", "ld", "vv", "st"]
TAILS = ["ax", "el", "in", "or", "um", "ys", "et", "ab", "ic", "od"]


class Names:
    """Seven-letter made-up names, each used once: a capital begins every
    name and appears nowhere else in it, and all have one length, so no name
    is found inside another."""

    def __init__(self, rng):
        self.pool = ["%s%s%s%s" % (h, m, t, v) for h in HEADS for m in MIDS for t in TAILS for v in "aeiou"]
        rng.shuffle(self.pool)

    def take(self):
        return self.pool.pop()


def date_text(seconds_2001):
    """A date counted from 2001 as the scan lists it."""
    return time.strftime("%m-%d-%Y %H:%M", time.gmtime(int(seconds_2001) + EPOCH_2001))


def fix_salts(log):
    """SQLite draws the log's salts at random; fixed ones (with the running
    checksums recomputed) make one seed give the same bytes every time."""
    if len(log) < 32:
        return log
    log = bytearray(log)
    big = struct.unpack(">I", log[0:4])[0] & 1
    page = struct.unpack(">I", log[8:12])[0]
    fmt = ">" if big else "<"

    def checksum(at, size, s0, s1):
        words = struct.unpack(fmt + "%dI" % (size // 4), bytes(log[at:at + size]))
        for i in range(0, len(words), 2):
            s0 = (s0 + words[i] + s1) & 0xFFFFFFFF
            s1 = (s1 + words[i + 1] + s0) & 0xFFFFFFFF
        return s0, s1

    log[16:24] = struct.pack(">II", 0x5A17F0A1, 0x0DDBA11C)
    s0, s1 = checksum(0, 24, 0, 0)
    log[24:32] = struct.pack(">II", s0, s1)
    frame = 32
    while page and frame + 24 + page <= len(log):
        log[frame + 8:frame + 16] = struct.pack(">II", 0x5A17F0A1, 0x0DDBA11C)
        s0, s1 = checksum(frame, 8, s0, s1)
        s0, s1 = checksum(frame + 24, page, s0, s1)
        log[frame + 16:frame + 24] = struct.pack(">II", s0, s1)
        frame += 24 + page
    return bytes(log)


class Db:
    """A database in WAL mode, never checkpointed on its own."""

    def __init__(self, path, schema, auto_vacuum=None):
        self.path = path
        self.open = False
        for p in (path, path + "-wal", path + "-shm"):
            if os.path.exists(p):
                os.remove(p)
        self.con = sqlite3.connect(path, isolation_level=None)
        self.con.execute("PRAGMA page_size=4096")
        if auto_vacuum:
            self.con.execute("PRAGMA auto_vacuum=%s" % auto_vacuum)
        self.con.execute("PRAGMA secure_delete=OFF")
        self.con.execute("PRAGMA journal_mode=WAL")
        self.con.execute("PRAGMA wal_autocheckpoint=0")
        self.con.execute("PRAGMA synchronous=OFF")
        self.con.executescript(schema)

    def tx(self, statements):
        """One transaction of (sql, args) pairs, or part of the one open."""
        cur = self.con.cursor()
        if not self.open:
            cur.execute("BEGIN")
        for sql, args in statements:
            cur.execute(sql, args)
        if not self.open:
            cur.execute("COMMIT")

    def begin(self):
        self.con.execute("BEGIN")
        self.open = True

    def commit(self):
        self.con.execute("COMMIT")
        self.open = False

    def checkpoint(self):
        """Moves every page of the log into the file and empties the log."""
        self.con.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def finish(self, out, name):
        """The file and its log as they are now (read while the connection
        is open: closing would fold the log into the file), written to out."""
        with open(self.path, "rb") as f:
            data = f.read()
        log = b""
        if os.path.exists(self.path + "-wal"):
            with open(self.path + "-wal", "rb") as f:
                log = fix_salts(f.read())
        self.con.close()
        for p in (self.path, self.path + "-wal", self.path + "-shm"):
            if os.path.exists(p):
                os.remove(p)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        with open(os.path.join(out, name + "-wal"), "wb") as f:
            f.write(log)
        return data, log


def insert(table, cols):
    keys = list(cols)
    return ("INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(keys), ", ".join("?" * len(keys))),
            [cols[k] for k in keys])


class Script:
    """The order of operations shared by the databases. A category gives
    `plant(i, padded)` (writes the owner row, returns its truth and marks),
    `attach(i, part)` (the rows that belong to it, in two parts written
    later), `erase(i)` / `erase_many(list)` (the row and its dependent rows,
    in the category's order), `grow(i)` (an edit that makes the row longer),
    `live(n)` and `keep(i)` (rows that stay) and `edit_live()` (an edit in
    the log). Each planted row is deleted in one of the ways below (or kept,
    a live neighbour); its truth's `how` says which: single, grown, run,
    after-checkpoint, log-only, log-same-transaction."""

    def __init__(self, db, rng, cat):
        self.db, self.rng, self.cat = db, rng, cat
        self.next = 0
        self.doomed = {}  # index -> {"row", "marks", "parts"}
        self.gone = []
        self.live_count = 0
        self.attached = set()

    def plant(self, padded=False):
        i = self.next
        self.next += 1
        self.doomed[i] = self.cat.plant(i, padded)
        return i

    def attach(self, i, part):
        if (i, part) not in self.attached:
            self.attached.add((i, part))
            self.cat.attach(i, part)

    def drop(self, i, how):
        self.cat.erase(i)
        d = self.doomed.pop(i)
        d["row"]["how"] = how
        self.gone.append(d)

    def live(self):
        self.cat.live(self.live_count)
        self.live_count += 1

    def run(self):
        rng = self.rng
        # 1. Live and doomed rows mixed, their dependent rows late.
        singles = []
        for _ in range(rng.randrange(30, 44)):
            if rng.random() < 0.45:
                self.live()
            else:
                i = self.plant()
                singles.append(i)
            if singles and rng.random() < 0.5:
                self.attach(rng.choice(singles), rng.randrange(2))
        for i in singles:
            self.attach(i, 1)
            self.attach(i, 0)
        # 2. Some rows grow and move before they go.
        for i in rng.sample(singles, max(1, len(singles) // 3)):
            self.cat.grow(i)
        # 3. Deletions in the middle of the id range, one per transaction,
        # with new live rows taking some of the freed space.
        victims = rng.sample(singles, max(2, len(singles) * 2 // 3))
        for n, i in enumerate(victims[:-2]):
            self.drop(i, "grown" if self.doomed[i].get("grown") else "single")
            if n % 2 == 1:
                self.live()
        self.db.checkpoint()
        # 4. A run of long rows planted together and deleted together: whole
        # pages on the free list, live rows planted on either side.
        self.live()
        run = [self.plant(True) for _ in range(self.cat.run_length + rng.randrange(0, 8))]
        for i in run:
            self.attach(i, 0)
            self.attach(i, 1)
        self.live()
        self.cat.erase_many(run)
        for i in run:
            d = self.doomed.pop(i)
            d["row"]["how"] = "run"
            self.gone.append(d)
        if self.cat.vacuum:
            # Part of the free list is cut off the file.
            self.db.con.execute("PRAGMA incremental_vacuum(%d)" % rng.randrange(1, 4))
        self.live()
        self.db.checkpoint()
        # 5. In the log only: the file keeps these rows live.
        for i in victims[-2:]:
            self.drop(i, "after-checkpoint")
        i = self.plant()
        self.attach(i, 0)
        self.attach(i, 1)
        self.drop(i, "log-only")
        self.db.begin()
        i = self.plant()
        self.attach(i, 0)
        self.attach(i, 1)
        self.drop(i, "log-same-transaction")
        self.db.commit()
        self.live()
        self.cat.edit_live()
        # The doomed rows never deleted are live rows.
        for i in list(self.doomed):
            self.cat.keep(i, self.doomed.pop(i))

    def judged(self, data, log):
        out = []
        for d in self.gone:
            row = dict(d["row"])
            row.pop("grown", None)
            there = lambda m: (m in data) or (m in log)
            marks = d.get("marks", [])
            parts = d.get("parts", [])
            anyp = False
            for key, mark in parts:
                row[key] = there(mark)
                anyp = anyp or row[key]
            row["recoverable"] = all(there(m) for m in marks) if marks else anyp
            for v in row.get("multiValues", []):
                v["recoverable"] = there(v["value"].encode())
            out.append(row)
        return out


# ---------------------------------------------------------------- messages
def put_int(b, v):
    if v < 0x80:
        b.append(v)
    elif v <= 0x7FFF:
        b += bytes([0x81]) + struct.pack("<H", v)
    else:
        b += bytes([0x82]) + struct.pack("<I", v)


def put_class(b, name, version):
    b += b"\x84\x84"
    put_int(b, len(name))
    b += name.encode()
    b.append(version)


def attributed_body(text, mutable):
    """The archived attributed string a message body is kept in: one
    attribute run over the whole text, as the phone writes it."""
    raw = text.encode()
    b = bytearray(b"\x04\x0bstreamtyped\x81\xe8\x03\x84\x01\x40\x84")
    if mutable:
        put_class(b, "NSMutableAttributedString", 0)
        ref = 0x95
    else:
        ref = 0x94
    put_class(b, "NSAttributedString", 0)
    put_class(b, "NSObject", 0)
    b += b"\x85\x92\x84"
    if mutable:
        put_class(b, "NSMutableString", 1)
    put_class(b, "NSString", 1)
    b.append(ref)
    b += b"\x84\x01\x2b"
    put_int(b, len(raw))
    b += raw
    b.append(0x86)
    b += b"\x84\x02\x69\x49\x01"
    put_int(b, len(text.encode("utf-16-le")) // 2)
    b += b"\x92\x84"
    put_class(b, "NSDictionary", 0)
    b += bytes([ref, 0x84, 0x01, 0x69, 0x00, 0x86, 0x86])
    return bytes(b)


class Messages:
    run_length = 30
    vacuum = False
    PHRASES = ["Bring the %s folder tomorrow", "Did %s call you back?", "Dinner at %s place at eight",
               "The %s parcel arrived", "Ask %s about the keys", "Train delayed, tell %s"]
    PAD = (", and please remember that the meeting moved to the second floor room with the broken blinds"
           " because the usual one is booked by the auditors for the whole week")

    def __init__(self, db, rng, names, ios):
        self.db, self.rng, self.names = db, rng, names
        self.ids = {}
        self.next_id = 1
        self.when = 720000000 + rng.randrange(0, 4000000)
        self.handles = []
        for n, (addr, service) in enumerate([("+1555013%04d" % rng.randrange(10000), "SMS"),
                                             ("+1555014%04d" % rng.randrange(10000), "iMessage"),
                                             ("%s@example.com" % names.take().lower(), "iMessage"),
                                             ("+1555016%04d" % rng.randrange(10000), "SMS")]):
            hid = n + 1
            db.tx([insert("handle", {"ROWID": hid, "id": addr, "country": "us", "service": service,
                                     "uncanonicalized_id": addr}),
                   insert("chat", {"ROWID": hid, "guid": "%s;-;%s" % (service, addr), "style": 45, "state": 3,
                                   "chat_identifier": addr, "service_name": service, "display_name": ""}),
                   insert("chat_handle_join", {"chat_id": hid, "handle_id": hid})])
            self.handles.append((hid, addr, service))
        self.live_rows = []
        self.stale = []
        self.texts = {}

    def guid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128))).upper()

    def _write(self, mid, text, handle, archive_only, date):
        hid, addr, service = handle
        from_me = self.rng.random() < 0.4
        self.db.tx([insert("message", {
            "ROWID": mid, "guid": self.guid(), "text": None if archive_only else text,
            "attributedBody": attributed_body(text, mid % 2 == 0) if archive_only or mid % 3 == 0 else None,
            "handle_id": hid, "service": service, "account": "e:me@example.com", "date": date * 1000000000,
            "date_read": 0 if from_me else date + 60, "date_delivered": (date + 1) * 1000000000 if from_me else 0,
            "is_from_me": 1 if from_me else 0, "is_read": 0 if from_me else 1, "cache_has_attachments": 0,
            "item_type": 0, "associated_message_type": 0})])

    def _text(self, padded):
        text = self.rng.choice(self.PHRASES) % self.names.take()
        return text + self.PAD if padded else text

    def plant(self, i, padded):
        mid = self.next_id
        self.next_id += 1
        self.when += self.rng.randrange(60, 5000)
        handle = self.rng.choice(self.handles)
        text = self._text(padded)
        archive_only = self.rng.random() < 0.5
        self._write(mid, text, handle, archive_only, self.when)
        self.ids[i] = (mid, handle, self.when, archive_only)
        self.texts[i] = text
        return {"row": {"ROWID": mid, "text": text, "address": handle[1], "dateText": date_text(self.when),
                        "addressRecoverable": True}, "marks": [text.encode()]}

    def attach(self, i, part):
        # The chat link comes in a later transaction than its message.
        if part == 0:
            mid, handle, when, _ = self.ids[i]
            self.db.tx([insert("chat_message_join", {"chat_id": handle[0], "message_id": mid,
                                                     "message_date": when * 1000000000})])

    def grow(self, i):
        mid, handle, when, archive_only = self.ids[i]
        old = self.texts[i]
        new = old + " (edited: %s)" % self.names.take()
        self.texts[i] = new
        if archive_only:
            self.db.tx([("UPDATE message SET attributedBody = ? WHERE ROWID = ?", [attributed_body(new, mid % 2 == 0), mid])])
        else:
            self.db.tx([("UPDATE message SET text = ? WHERE ROWID = ?", [new, mid])])
        self.stale.append({"address": handle[1], "text": old, "dateText": date_text(when)})
        return new

    def erase(self, i):
        mid = self.ids[i][0]
        # Link first, message in its own transaction, as the phone's purge does.
        self.db.tx([("DELETE FROM chat_message_join WHERE message_id = ?", [mid])])
        self.db.tx([("DELETE FROM message WHERE ROWID = ?", [mid])])

    def erase_many(self, idx):
        mids = [self.ids[i][0] for i in idx]
        marks = ",".join("?" * len(mids))
        self.db.tx([("DELETE FROM message WHERE ROWID IN (%s)" % marks, mids),
                    ("DELETE FROM chat_message_join WHERE message_id IN (%s)" % marks, mids)])

    def live(self, n):
        i = ("live", n)
        self.plant(i, self.rng.random() < 0.2)
        self.attach(i, 0)
        self.keep(i, None)

    def keep(self, i, doomed):
        mid, handle, when, _ = self.ids[i]
        self.live_rows.append({"rowId": mid, "messagePhone": handle[1], "messageContent": self.texts[i],
                               "messageDate": date_text(when), "bDeleted": 0})

    def edit_live(self):
        # A live message edited in the log: its first wording stays in the file.
        i = ("live", 0)
        self.grow(i)
        self.live_rows[0]["messageContent"] = self.texts[i]

    def truth(self, gone):
        for d in gone:
            d["complete"] = d["recoverable"]
        # Texts grown then deleted: the judge's key is the final text.
        return {"live": self.live_rows, "recentlyDeleted": [], "deleted": gone, "stale": self.stale}


def grow_doomed(script, cat):
    """Wraps the category's grow so that the truth of a doomed row follows
    its final text."""
    plain = cat.grow

    def grow(i):
        new = plain(i)
        d = script.doomed.get(i)
        if d is not None and new is not None:
            cat.regrown(d, new)
            d["grown"] = True
    return grow


def write_messages(rng, ios, schemas, out, names):
    db = Db(os.path.join(out, "sms.db.building"), schema(schemas, "ios16/sms.db"))
    cat = Messages(db, rng, names, ios)

    def regrown(d, new):
        d["row"]["text"] = new
        d["marks"] = [new.encode()]
    cat.regrown = regrown
    script = Script(db, rng, cat)
    cat.grow = grow_doomed(script, cat)
    script.run()
    data, log = db.finish(out, "sms.db")
    return cat.truth(script.judged(data, log))


# ---------------------------------------------------------------- contacts
class Contacts:
    run_length = 26
    vacuum = False
    FIRST = ["Lotte", "Amara", "Bastian", "Chiara", "Dario", "Esme", "Felix", "Greta", "Hugo", "Ilse"]

    def __init__(self, db, rng, names, ios):
        self.db, self.rng, self.names = db, rng, names
        self.next_row, self.next_uid = 1, 1
        self.people = {}
        self.live_rows = []
        self.deleted_values = []
        self.serial = rng.randrange(0, 50)
        db.tx([insert("ABStore", {"ROWID": 1, "Name": "Local", "Type": 0, "guid": self.guid()}),
               insert("ABMultiValueLabel", {"value": "_$!<Mobile>!$_"}),
               insert("ABMultiValueLabel", {"value": "_$!<Home>!$_"}),
               insert("ABMultiValueLabel", {"value": "_$!<Work>!$_"})])

    def guid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128))).upper()

    def number(self):
        self.serial += 1
        return "+1 (555) 7%02d-%04d" % (self.serial % 100, 1000 + self.serial * 53 % 9000)

    def plant(self, i, padded):
        rowid = self.next_row
        self.next_row += 1
        first, last = self.rng.choice(self.FIRST), self.names.take()
        cols = {"ROWID": rowid, "First": first, "Last": last, "Kind": 0, "StoreID": 1,
                "CreationDate": 650000000 + rowid * 977, "ModificationDate": 650000000 + rowid * 977,
                "guid": self.guid()}
        if padded:
            cols["Note"] = ("Knows the harbour master and keeps the spare boat keys; call before nine on "
                            "weekdays, never on Sundays, and ask about the %s cabin" % self.names.take())
        self.db.tx([insert("ABPerson", cols)])
        self.people[i] = {"rowid": rowid, "first": first, "last": last,
                          "values": [(3, self.number(), 1), (4, "%s.%s@example.net" % (first.lower(), last.lower()), 2)]
                          + ([(3, self.number(), 3)] if self.rng.random() < 0.3 else []),
                          "uids": {}}
        p = self.people[i]
        return {"row": {"ROWID": rowid, "First": first, "Last": last,
                        "multiValues": [{"property": prop, "value": v} for prop, v, _ in p["values"]]},
                "marks": [last.encode()]}

    def attach(self, i, part):
        # Each value in its own transaction, long after the person.
        p = self.people[i]
        for k, (prop, value, label) in enumerate(p["values"]):
            if k % 2 != part:
                continue
            uid = self.next_uid
            self.next_uid += 1
            self.db.tx([insert("ABMultiValue", {"UID": uid, "record_id": p["rowid"], "property": prop,
                                                "identifier": k, "label": label, "value": value,
                                                "guid": self.guid()})])
            p["uids"][k] = uid

    def grow(self, i):
        p = self.people[i]
        self.db.tx([("UPDATE ABPerson SET Note = ?, Organization = ?, ModificationDate = ModificationDate + 60 "
                     "WHERE ROWID = ?", ["Moved to the %s office last spring" % self.names.take(),
                                         "Orbit Works", p["rowid"]])])
        return True

    def erase(self, i):
        p = self.people[i]
        # The person goes first, the values after it, one at a time.
        self.db.tx([("DELETE FROM ABPerson WHERE ROWID = ?", [p["rowid"]])])
        for uid in p["uids"].values():
            self.db.tx([("DELETE FROM ABMultiValue WHERE UID = ?", [uid])])

    def erase_many(self, idx):
        rows = [self.people[i]["rowid"] for i in idx]
        marks = ",".join("?" * len(rows))
        self.db.tx([("DELETE FROM ABMultiValue WHERE record_id IN (%s)" % marks, rows),
                    ("DELETE FROM ABPerson WHERE ROWID IN (%s)" % marks, rows)])

    def live(self, n):
        i = ("live", n)
        self.plant(i, False)
        self.attach(i, 0)
        self.attach(i, 1)
        self.keep(i, None)

    def keep(self, i, doomed):
        p = self.people[i]
        phones = [v for prop, v, _ in p["values"] if prop == 3]
        mails = [v for prop, v, _ in p["values"] if prop == 4]
        self.live_rows.append({"ROWID": p["rowid"], "contactName": p["first"] + " " + p["last"],
                               "contactPhone": "".join(" " + v for v in phones),
                               "contactEmail": "".join(" " + v for v in mails), "bDeleted": 0})

    def edit_live(self):
        # A live person loses a number in the log.
        i = ("live", 0)
        p = self.people[i]
        k = max(p["uids"])
        prop, value, _ = p["values"][k]
        self.db.tx([("DELETE FROM ABMultiValue WHERE UID = ?", [p["uids"][k]])])
        self.deleted_values.append({"record_id": p["rowid"], "property": prop, "value": value})
        row = self.live_rows[0]
        key = "contactPhone" if prop == 3 else "contactEmail"
        row[key] = row[key].replace(" " + value, "", 1)

    def truth(self, gone):
        return {"live": self.live_rows, "deleted": gone, "deletedValues": self.deleted_values, "stale": []}


def write_contacts(rng, ios, schemas, out, names):
    layout = "ios16" if ios >= 17 else "ios15"
    db = Db(os.path.join(out, "AddressBook.sqlitedb.building"), schema(schemas, layout + "/AddressBook.sqlitedb"))
    cat = Contacts(db, rng, names, ios)
    script = Script(db, rng, cat)
    cat.regrown = lambda d, new: None
    cat.grow = grow_doomed(script, cat)
    script.run()
    data, log = db.finish(out, "AddressBook.sqlitedb")
    return cat.truth(script.judged(data, log))


# ---------------------------------------------------------------- notes
def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def field(number, payload):
    return varint((number << 3) | 2) + varint(len(payload)) + payload


def vfield(number, v):
    return varint(number << 3) + varint(v)


def note_body(text):
    """A note's body: gzip of the document message (version, then the note:
    its text and one attribute run over all of it)."""
    run = vfield(1, len(text.encode("utf-16-le")) // 2)
    note = field(2, text.encode()) + field(5, run)
    document = vfield(1, 0) + vfield(2, 0) + field(3, note)
    return gzip.compress(vfield(1, 0) + field(2, document), compresslevel=6, mtime=0)


class Notes:
    run_length = 34
    vacuum = True
    ENT_ACCOUNT, ENT_FOLDER, ENT_NOTE, ENT_DATA = 13, 14, 11, 18
    PAD = ("\nCheck the tyres, fill the flask, take the paper map as well as the phone, leave the spare key "
           "under the blue pot and tell the neighbours when we expect to be back")

    def __init__(self, db, rng, names, ios):
        self.db, self.rng, self.names = db, rng, names
        self.next_pk = 10
        self.when = 700000000.5 + rng.randrange(0, 900000)
        self.notes = {}
        self.live_rows = []
        self.stale = []
        stmts = [insert("Z_PRIMARYKEY", {"Z_ENT": e, "Z_NAME": n, "Z_SUPER": 0, "Z_MAX": 0})
                 for e, n in [(self.ENT_ACCOUNT, "ICAccount"), (self.ENT_FOLDER, "ICFolder"),
                              (self.ENT_NOTE, "ICNote"), (self.ENT_DATA, "ICNoteData")]]
        stmts.append(insert("ZICCLOUDSYNCINGOBJECT", {"Z_PK": 1, "Z_ENT": self.ENT_ACCOUNT, "Z_OPT": 1,
                                                      "ZNAME": "On My iPhone", "ZIDENTIFIER": self.guid()}))
        for pk, title, kind in [(2, "Notes", 0), (3, "Errands", 0), (4, "Recently Deleted", 1)]:
            stmts.append(insert("ZICCLOUDSYNCINGOBJECT", {"Z_PK": pk, "Z_ENT": self.ENT_FOLDER, "Z_OPT": 1,
                                                          "ZTITLE2": title, "ZFOLDERTYPE": kind,
                                                          "ZIDENTIFIER": self.guid()}))
        db.tx(stmts)

    def guid(self):
        return str(uuid.UUID(int=self.rng.getrandbits(128))).upper()

    def plant(self, i, padded):
        pk = self.next_pk
        self.next_pk += 1
        self.when += self.rng.randrange(300, 20000)
        title = "Plan for %s" % self.names.take()
        text = title + "\nCall the garage" + (self.PAD if padded else "")
        modified = self.when + 120
        # The note first; its body arrives in a later transaction.
        self.db.tx([insert("ZICCLOUDSYNCINGOBJECT", {
            "Z_PK": pk, "Z_ENT": self.ENT_NOTE, "Z_OPT": 1, "ZTITLE1": title, "ZFOLDER": 2 + pk % 2,
            "ZACCOUNT7": 1, "ZCREATIONDATE3": self.when, "ZMODIFICATIONDATE1": modified, "ZNOTEDATA": pk,
            "ZISPASSWORDPROTECTED": 0, "ZMARKEDFORDELETION": 0, "ZIDENTIFIER": self.guid()})])
        self.notes[i] = {"pk": pk, "title": title, "text": text, "modified": modified, "body": False}
        return self.truth_row(i)

    def truth_row(self, i):
        n = self.notes[i]
        return {"row": {"Z_PK": n["pk"], "ZTITLE": n["title"], "dateText": date_text(n["modified"]),
                        "noteContent": n["text"]},
                "parts": [("noteRecoverable", n["title"].encode()), ("bodyRecoverable", note_body(n["text"]))]}

    def attach(self, i, part):
        n = self.notes[i]
        if part == 1 and not n["body"]:
            n["body"] = True
            self.db.tx([insert("ZICNOTEDATA", {"Z_PK": n["pk"], "Z_ENT": self.ENT_DATA, "Z_OPT": 1,
                                               "ZNOTE": n["pk"], "ZDATA": note_body(n["text"])})])

    def grow(self, i):
        # The body rewritten longer, and the note's date with it.
        n = self.notes[i]
        if not n["body"]:
            self.attach(i, 1)
        self.stale.append({"ZTITLE": n["title"], "dateText": date_text(n["modified"]), "noteContent": n["text"],
                           "ofDeleted": True})
        n["text"] += "\nAlso: ask %s about the invoice" % self.names.take()
        n["modified"] += 3600
        self.db.tx([("UPDATE ZICNOTEDATA SET ZDATA = ? WHERE Z_PK = ?", [note_body(n["text"]), n["pk"]])])
        self.db.tx([("UPDATE ZICCLOUDSYNCINGOBJECT SET ZMODIFICATIONDATE1 = ?, Z_OPT = Z_OPT + 1 WHERE Z_PK = ?",
                     [n["modified"], n["pk"]])])
        return n["text"]

    def erase(self, i):
        pk = self.notes[i]["pk"]
        # The note goes before its body, in two transactions.
        self.db.tx([("DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = ?", [pk])])
        self.db.tx([("DELETE FROM ZICNOTEDATA WHERE Z_PK = ?", [pk])])

    def erase_many(self, idx):
        pks = [self.notes[i]["pk"] for i in idx]
        marks = ",".join("?" * len(pks))
        self.db.tx([("DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK IN (%s)" % marks, pks),
                    ("DELETE FROM ZICNOTEDATA WHERE Z_PK IN (%s)" % marks, pks)])

    def live(self, n):
        i = ("live", n)
        self.plant(i, False)
        self.attach(i, 1)
        self.keep(i, None)

    def keep(self, i, doomed):
        n = self.notes[i]
        if not n["body"]:
            self.attach(i, 1)
        self.live_rows.append({"uid": n["pk"], "noteTitle": n["title"], "noteContent": n["text"],
                               "noteDate": date_text(n["modified"]), "bDeleted": 0, "key": i})

    def edit_live(self):
        # A live note renamed in the log: the file keeps the first title.
        i = ("live", 0)
        n = self.notes[i]
        old = n["title"]
        n["title"] = "Plan for %s" % self.names.take()
        self.db.tx([("UPDATE ZICCLOUDSYNCINGOBJECT SET ZTITLE1 = ? WHERE Z_PK = ?", [n["title"], n["pk"]])])
        self.stale.append({"ZTITLE": old})
        for row in self.live_rows:
            if row["key"] == i:
                row["noteTitle"] = n["title"]

    def truth(self, gone):
        for row in self.live_rows:
            row.pop("key", None)
        return {"live": self.live_rows, "recentlyDeleted": [], "deleted": gone, "stale": self.stale}


def write_notes(rng, ios, schemas, out, names):
    db = Db(os.path.join(out, "NoteStore.sqlite.building"), schema(schemas, "ios17/NoteStore.sqlite"),
            auto_vacuum="INCREMENTAL")
    cat = Notes(db, rng, names, ios)
    script = Script(db, rng, cat)

    def regrown(d, new):
        i = next(k for k, v in script.doomed.items() if v is d)
        fresh = cat.truth_row(i)
        d["row"], d["parts"] = fresh["row"], fresh["parts"]
    cat.regrown = regrown
    cat.grow = grow_doomed(script, cat)
    script.run()
    data, log = db.finish(out, "NoteStore.sqlite")
    return cat.truth(script.judged(data, log))


# ---------------------------------------------------------------- history
class History:
    run_length = 44
    vacuum = False

    def __init__(self, db, rng, names, ios):
        self.db, self.rng, self.names = db, rng, names
        self.next_item, self.next_visit = 1, 1
        self.when = 690000000.0 + rng.randrange(0, 900000)
        self.items = {}
        self.live_rows = []

    def plant(self, i, padded):
        item = self.next_item
        self.next_item += 1
        name = self.names.take()
        url = "https://%s.example.net/story" % name.lower()
        if padded:
            url += "/2024/the-long-way-round-the-lakes-in-winter-with-a-map-and-no-signal?part=3&ref=feed"
        title = "%s \u2014 Story" % name
        self.db.tx([insert("history_items", {"id": item, "url": url, "visit_count": 0,
                                             "daily_visit_counts": b"\x00\x00\x00\x01",
                                             "should_recompute_derived_visit_counts": 0,
                                             "visit_count_score": 100})])
        self.items[i] = {"id": item, "url": url, "title": title, "visits": []}
        return {"row": {"id": item, "title": title, "url": url},
                "marks": [title.encode(), url.encode()]}

    def attach(self, i, part):
        # Visits come later, one per transaction, each counted on its page.
        it = self.items[i]
        self.when += self.rng.randrange(20, 4000)
        vid = self.next_visit
        self.next_visit += 1
        self.db.tx([insert("history_visits", {"id": vid, "history_item": it["id"], "visit_time": self.when,
                                              "title": it["title"], "load_successful": 1, "origin": 0,
                                              "generation": 1}),
                    ("UPDATE history_items SET visit_count = visit_count + 1 WHERE id = ?", [it["id"]])])
        it["visits"].append(vid)

    def grow(self, i):
        return None

    def erase(self, i):
        it = self.items[i]
        self.db.tx([("DELETE FROM history_items WHERE id = ?", [it["id"]])])
        self.db.tx([("DELETE FROM history_visits WHERE history_item = ?", [it["id"]])])

    def erase_many(self, idx):
        ids = [self.items[i]["id"] for i in idx]
        marks = ",".join("?" * len(ids))
        self.db.tx([("DELETE FROM history_visits WHERE history_item IN (%s)" % marks, ids),
                    ("DELETE FROM history_items WHERE id IN (%s)" % marks, ids)])

    def live(self, n):
        i = ("live", n)
        self.plant(i, False)
        self.attach(i, 0)
        self.keep(i, None)

    def keep(self, i, doomed):
        it = self.items[i]
        if not it["visits"]:
            self.attach(i, 0)
        self.live_rows.append({"bookMarkTitle": it["title"], "bookMarkURL": it["url"], "bSelected": 0,
                               "bDeleted": 0})

    def edit_live(self):
        self.attach(("live", 0), 0)

    def truth(self, gone):
        return {"live": self.live_rows, "deleted": gone, "stale": []}


def write_history(rng, ios, schemas, out, names):
    db = Db(os.path.join(out, "History.db.building"), schema(schemas, "ios11/History.db"))
    cat = History(db, rng, names, ios)
    script = Script(db, rng, cat)
    cat.regrown = lambda d, new: None
    cat.grow = grow_doomed(script, cat)
    script.run()
    data, log = db.finish(out, "History.db")
    return cat.truth(script.judged(data, log))


# ---------------------------------------------------------------- calls
class Calls:
    run_length = 60
    vacuum = True

    def __init__(self, db, rng, names, ios):
        self.db, self.rng, self.names = db, rng, names
        self.next_pk = 1
        self.when = 730000000.5 + rng.randrange(0, 900000)
        self.calls = {}
        self.live_rows = []
        self.stale = []
        self.serial = rng.randrange(0, 1000)
        db.tx([insert("Z_PRIMARYKEY", {"Z_ENT": 1, "Z_NAME": "CallDBProperties", "Z_SUPER": 0, "Z_MAX": 1}),
               insert("Z_PRIMARYKEY", {"Z_ENT": 2, "Z_NAME": "CallRecord", "Z_SUPER": 0, "Z_MAX": 0})])

    def plant(self, i, padded):
        pk = self.next_pk
        self.next_pk += 1
        # Calls an hour and more apart: no two share the minute the scan lists.
        self.when += self.rng.randrange(3600, 20000)
        self.serial += 1
        address = "+44 7911 %06d" % (self.serial * 7919 % 1000000)
        outgoing = self.rng.random() < 0.5
        duration = float(self.rng.randrange(5, 4000)) + (0.75 if padded else 0.25)
        self.db.tx([insert("ZCALLRECORD", {
            "Z_PK": pk, "Z_ENT": 2, "Z_OPT": 1, "ZANSWERED": 1, "ZCALL_CATEGORY": 1, "ZCALLTYPE": 1,
            "ZORIGINATED": 1 if outgoing else 0, "ZREAD": 1, "ZDATE": self.when, "ZDURATION": duration,
            "ZISO_COUNTRY_CODE": "gb", "ZSERVICE_PROVIDER": "com.apple.Telephony",
            "ZUNIQUE_ID": str(uuid.UUID(int=self.rng.getrandbits(128))).upper(),
            "ZNAME": ("%s, mobile" % self.names.take()) if padded else None, "ZADDRESS": address}),
            ("UPDATE Z_PRIMARYKEY SET Z_MAX = ? WHERE Z_ENT = 2", [pk])])
        self.calls[i] = {"pk": pk, "address": address, "date": self.when, "duration": duration,
                         "outgoing": outgoing}
        return {"row": {"ROWID": pk, "address": address, "dateText": date_text(self.when),
                        "duration": int(duration), "flags": 5 if outgoing else 4},
                "marks": [address.encode()]}

    def attach(self, i, part):
        pass

    def grow(self, i):
        # Seen: a missed call read later, the row unchanged in size.
        self.db.tx([("UPDATE ZCALLRECORD SET ZREAD = 1, Z_OPT = Z_OPT + 1 WHERE Z_PK = ?", [self.calls[i]["pk"]])])
        return None

    def erase(self, i):
        self.db.tx([("DELETE FROM ZCALLRECORD WHERE Z_PK = ?", [self.calls[i]["pk"]])])

    def erase_many(self, idx):
        pks = [self.calls[i]["pk"] for i in idx]
        self.db.tx([("DELETE FROM ZCALLRECORD WHERE Z_PK IN (%s)" % ",".join("?" * len(pks)), pks)])

    def live(self, n):
        i = ("live", n)
        self.plant(i, False)
        self.keep(i, None)

    def keep(self, i, doomed):
        c = self.calls[i]
        self.live_rows.append({"callPhone": c["address"], "callDate": date_text(c["date"]),
                               "callType": "Outgoing" if c["outgoing"] else "Incoming",
                               "callTime": int(c["duration"]), "bSelected": 0, "bDeleted": 0})

    def edit_live(self):
        # The first call's duration corrected in the log: the file keeps the first one.
        c = self.calls[("live", 0)]
        self.stale.append({"address": c["address"], "dateText": date_text(c["date"])})
        c["duration"] += 1.0
        self.db.tx([("UPDATE ZCALLRECORD SET ZDURATION = ? WHERE Z_PK = ?", [c["duration"], c["pk"]])])
        self.live_rows[0]["callTime"] = int(c["duration"])

    def truth(self, gone):
        return {"live": self.live_rows, "deleted": gone, "stale": self.stale}


def write_calls(rng, ios, schemas, out, names):
    db = Db(os.path.join(out, "CallHistory.storedata.building"), schema(schemas, "ios17/CallHistory.storedata"),
            auto_vacuum="INCREMENTAL")
    cat = Calls(db, rng, names, ios)
    script = Script(db, rng, cat)
    cat.regrown = lambda d, new: None
    cat.grow = grow_doomed(script, cat)
    script.run()
    data, log = db.finish(out, "CallHistory.storedata")
    return cat.truth(script.judged(data, log))


def schema(schemas, name):
    with open(os.path.join(schemas, name + ".sql"), encoding="utf-8") as f:
        return f.read()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--ios", type=int, choices=[15, 17], required=True)
    ap.add_argument("--schemas", required=True, help="the folder of modern table layouts (ios11/, ios16/...)")
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed * 1000 + args.ios)
    names = Names(rng)
    truth = {
        "messages": write_messages(random.Random(rng.getrandbits(64)), args.ios, args.schemas, args.out, names),
        "contacts": write_contacts(random.Random(rng.getrandbits(64)), args.ios, args.schemas, args.out, names),
        "notes": write_notes(random.Random(rng.getrandbits(64)), args.ios, args.schemas, args.out, names),
        "history": write_history(random.Random(rng.getrandbits(64)), args.ios, args.schemas, args.out, names),
    }
    if args.ios >= 17:
        # The call log: the forge keeps it on iOS 17 only.
        truth["calls"] = write_calls(random.Random(rng.getrandbits(64)), args.ios, args.schemas, args.out, names)
    with open(os.path.join(args.out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, ensure_ascii=False, indent=1, default=lambda b: b.decode("latin-1"))


if __name__ == "__main__":
    main()
