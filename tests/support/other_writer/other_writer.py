#!/usr/bin/env python3
"""A second writer of the iOS 6 and iOS 7 category databases.

It builds the address book, the message database, the call history and the
notes store from the device's table layouts (tools/forge/schemas) with an
order of operations unlike the C++ forge's: many small transactions that
interleave inserts, updates that grow rows (so SQLite moves them), deletes,
and new rows that reuse the freed space. Multi-values arrive long after their
person and go before or after it; conversations go with their handles and
messages; note bodies are partly rewritten before they go.

It writes the four files and truth.json: what was deleted, what is live, and
for each deleted row whether its bytes were still in the file. Dates are given as
the scan lists them, in local time, and note bodies as the text a reader shows.

    other_writer.py --seed N --ios 6|7 --schemas DIR --out DIR
"""
import argparse
import json
import os
import random
import sqlite3
import struct
import time
import uuid

FIRST = ["Ada", "Bela", "Carmen", "Dmitri", "Elif", "Farah", "Goran", "Hana", "Ines", "Jonas", "Kofi",
         "Lena", "Mateo", "Nia", "Oskar", "Priya", "Quentin", "Rosa", "Sven", "Tomoko", "Ugo", "Vera",
         "Wanjiru", "Xavier", "Yara", "Zeno"]
LAST = ["Abara", "Brandt", "Castillo", "Dubois", "Eriksen", "Fontaine", "Gallo", "Haddad", "Ivanova",
        "Jensen", "Kowalski", "Lindqvist", "Moreau", "Nakamura", "Okafor", "Petrov", "Quint", "Rossi",
        "Sato", "Toivonen", "Urquhart", "Varga", "Weber", "Xu", "Yilmaz", "Zapata"]
EPOCH_2001 = 978307200
WORDS = ("apple river stone window garden letter morning yellow paper silver market ticket coffee train "
         "harbour lamp winter castle candle meadow pencil orbit violin copper basket island tunnel").split()


def varint(v):
    """SQLite's variable-length integer (values below 2**56 here)."""
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.append(0x80 | (v & 0x7F))
        v >>= 7
    return bytes(reversed(out))


def column(v, format4):
    """A column's serial type and body as SQLite stores them."""
    if v is None:
        return 0, b""
    if isinstance(v, int):
        if format4 and v in (0, 1):
            return 8 + v, b""
        for t, n in ((1, 1), (2, 2), (3, 3), (4, 4), (5, 6), (6, 8)):
            if -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
                return t, v.to_bytes(n, "big", signed=True)
    if isinstance(v, float):
        return 7, struct.pack(">d", v)
    if isinstance(v, str):
        b = v.encode()
        return 13 + 2 * len(b), b
    return 12 + 2 * len(v), bytes(v)


def record(row, format4=True):
    """The header (its size and serial types) and body of a row whose first
    column is the row-id alias, stored NULL."""
    cols = [column(None, format4)] + [column(v, format4) for v in row[1:]]
    types = b"".join(varint(t) for t, _ in cols)
    size = len(types) + 1
    if size > 127:
        size += 1
    return varint(size) + types, b"".join(b for _, b in cols)


def still_there(data, row, format4=True):
    """Whether a deleted row's record is still in the file. Freeing a cell
    writes a free-block header over its first four bytes (the lengths, the row
    id, often the header's size and column 0), so those are not asked for."""
    header, body = record(row, format4)
    return (header[2:] + body) in data


def id_there(data, row, format4=True):
    """Whether the whole cell, row id included, is still in the file (the
    cell a page freed last, at the start of its content, keeps its header)."""
    header, body = record(row, format4)
    rec = header + body
    return (varint(len(rec)) + varint(row[0]) + rec) in data


def date_text(value, kind):
    """A stored date as the scan lists it (local time): kind 1 counts from
    2001; kind 0 from 1970, unless that reads before 1990 (then from 2001)."""
    seconds = value + EPOCH_2001 if kind == 1 else value
    if kind == 0 and time.localtime(seconds).tm_year <= 1989:
        seconds += EPOCH_2001
    return time.strftime("%m-%d-%Y %H:%M", time.localtime(seconds))


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


class Db:
    """One database file written in many small transactions."""

    def __init__(self, path, schema, legacy_format=False):
        self.path = path
        if os.path.exists(path):
            os.remove(path)
        con = sqlite3.connect(path)
        con.execute("PRAGMA secure_delete=OFF")
        con.execute("PRAGMA journal_mode=DELETE")
        con.executescript(schema)
        con.commit()
        con.close()
        if legacy_format:
            # Files created before SQLite 3.7.10 keep schema format 1 for life:
            # 0 and 1 are then one-byte integers. A stock sqlite3 module cannot
            # ask for that, so the header byte is set before any row is written
            # and the schema is read again from it.
            with open(path, "r+b") as f:
                f.seek(44)
                f.write(b"\x01")
        self.format4 = not legacy_format
        self.con = sqlite3.connect(path, isolation_level=None)
        self.con.execute("PRAGMA secure_delete=OFF")
        # No waiting for the disk after each of the many transactions; the
        # file's bytes are the same.
        self.con.execute("PRAGMA synchronous=OFF")

    def row(self, table, rowid, key="ROWID"):
        """The row as stored, all columns in order, row id first."""
        return tuple(self.con.execute("SELECT * FROM %s WHERE %s = ?" % (table, key), [rowid]).fetchone())

    def tx(self, statements):
        """One transaction of (sql, args) pairs; returns the last row id."""
        cur = self.con.cursor()
        cur.execute("BEGIN")
        last = None
        for sql, args in statements:
            cur.execute(sql, args)
            last = cur.lastrowid
        cur.execute("COMMIT")
        return last

    def close(self):
        self.con.close()
        with open(self.path, "rb") as f:
            return f.read()


def schema_text(schemas, ios, name):
    with open(os.path.join(schemas, "ios%d" % ios, name + ".sql"), encoding="utf-8") as f:
        return f.read()


def uid():
    return str(uuid.UUID(int=RNG.getrandbits(128))).upper()


# ---------------------------------------------------------------- contacts
def write_contacts(rng, ios, schemas, out):
    db = Db(os.path.join(out, "AddressBook.sqlitedb"), schema_text(schemas, ios, "AddressBook.sqlitedb"))
    names = [(f, l) for f in FIRST for l in LAST]
    rng.shuffle(names)
    persons = {}   # rowid -> person
    values = {}    # uid -> value
    gone = []      # deleted persons
    gone_values = []  # values of live persons deleted on their own
    numbers = set()
    clock = [370000000]

    def number():
        while True:
            n = rng.choice(["+1 (%03d) %03d-%04d", "0%03d %03d %04d", "+44 %04d %03d%03d"]) % (
                rng.randrange(200, 999), rng.randrange(100, 999), rng.randrange(0, 9999))
            if n not in numbers:
                numbers.add(n)
                return n

    def add_person():
        first, last = names.pop()
        clock[0] += rng.randrange(100, 90000)
        sorted_style = rng.random() < 0.6
        cols = {"First": first, "Last": last, "Kind": 0, "StoreID": 0, "IsPreferredName": 1,
                "CreationDate": clock[0], "ModificationDate": clock[0],
                "FirstSort": (first + " " + last).upper().ljust(36, "\x01")[:36],
                "LastSort": (last + " " + first).upper().ljust(36, "\x01")[:36],
                "PersonLink": -1}
        if sorted_style:
            cols.update({"FirstSortSection": first[0], "LastSortSection": last[0],
                         "FirstSortLanguageIndex": 0, "LastSortLanguageIndex": 0})
        else:
            cols.update({"FirstSortLanguageIndex": 2147483647, "LastSortLanguageIndex": 2147483647})
        if rng.random() < 0.3:
            cols["Organization"] = rng.choice(["Harbour Works", "Copper & Lamp", "Orbit Labs"])
        if ios >= 7:
            cols["guid"] = uid()
        keys = list(cols)
        rowid = db.tx([("INSERT INTO ABPerson (%s) VALUES (%s)" % (",".join(keys), ",".join("?" * len(keys))),
                        [cols[k] for k in keys])])
        persons[rowid] = {"ROWID": rowid, "First": first, "Last": last, "values": []}

    def add_value(rowid):
        p = persons[rowid]
        prop = 3 if rng.random() < 0.7 else 4
        text = number() if prop == 3 else "%s.%s%d@example.org" % (p["First"].lower(), p["Last"].lower(),
                                                                    rng.randrange(100))
        ident = len(p["values"])
        label = rng.randrange(1, 5)
        cols = [rowid, prop, ident, label, text]
        sql = "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) VALUES (?,?,?,?,?)"
        if ios >= 7:
            sql = "INSERT INTO ABMultiValue (record_id, property, identifier, label, value, guid) VALUES (?,?,?,?,?,?)"
            cols.append(uid())
        vid = db.tx([(sql, cols)])
        values[vid] = {"uid": vid, "record_id": rowid, "property": prop, "identifier": ident, "label": label,
                       "value": text}
        p["values"].append(vid)

    def grow(rowid):
        # A longer note and a new modification date: the row no longer fits
        # its cell and SQLite writes it elsewhere, leaving the old bytes.
        clock[0] += rng.randrange(100, 5000)
        db.tx([("UPDATE ABPerson SET Note = ?, ModificationDate = ? WHERE ROWID = ?",
                [words(rng, rng.randrange(4, 30)), clock[0], rowid])])

    def delete_person(rowid):
        p = persons.pop(rowid)
        p["snap"] = db.row("ABPerson", rowid)
        vals = [values.pop(v) for v in p["values"]]
        for v in vals:
            v["snap"] = db.row("ABMultiValue", v["uid"], "UID")
        person_sql = ("DELETE FROM ABPerson WHERE ROWID = ?", [rowid])
        value_sql = [("DELETE FROM ABMultiValue WHERE UID = ?", [v["uid"]]) for v in vals]
        if rng.random() < 0.5:
            for s in value_sql:
                db.tx([s])
            db.tx([person_sql])
        else:
            db.tx([person_sql])
            if rng.random() < 0.5:
                db.tx(value_sql or [("SELECT 1", [])])
            else:
                pending.extend(value_sql)
        p["multiValues"] = vals
        gone.append(p)

    def delete_value(rowid):
        p = persons[rowid]
        if not p["values"]:
            return
        vid = p["values"].pop(rng.randrange(len(p["values"])))
        v = values.pop(vid)
        v["snap"] = db.row("ABMultiValue", vid, "UID")
        db.tx([("DELETE FROM ABMultiValue WHERE UID = ?", [vid])])
        gone_values.append(v)

    pending = []  # value deletes that trail their person's
    steps = rng.randrange(220, 300)
    for _ in range(steps):
        r = rng.random()
        live = list(persons)
        if r < 0.28 or len(live) < 4:
            add_person()
        elif r < 0.62:
            # A value for a person added some time ago, not the latest.
            add_value(rng.choice(live[: max(1, len(live) - 2)]))
        elif r < 0.76:
            grow(rng.choice(live))
        elif r < 0.88:
            delete_person(rng.choice(live))
        elif r < 0.91:
            delete_value(rng.choice(live))
        elif pending:
            db.tx([pending.pop(0)])
    for s in pending:
        db.tx([s])
    data = db.close()

    dead = []
    for p in gone:
        mvs = []
        # A value comes back under its person only through the person's row
        # id, read from the person's own cell.
        known = id_there(data, p["snap"])
        for v in p["multiValues"]:
            mvs.append({"property": v["property"], "value": v["value"],
                        "recoverable": known and still_there(data, v["snap"]),
                        "bytesThere": still_there(data, v["snap"])})
        dead.append({"ROWID": p["ROWID"], "First": p["First"], "Last": p["Last"], "Middle": None,
                     "multiValues": mvs, "recoverable": still_there(data, p["snap"]), "idRecoverable": known})
    live = [{"contactName": p["First"] + " " + p["Last"], "ROWID": p["ROWID"]} for p in persons.values()]
    orphans = [{"record_id": v["record_id"], "property": v["property"], "value": v["value"],
                "recoverable": still_there(data, v["snap"])} for v in gone_values]
    return {"live": live, "deleted": dead, "deletedValues": orphans}


# ---------------------------------------------------------------- messages
def write_messages(rng, ios, schemas, out):
    db = Db(os.path.join(out, "sms.db"), schema_text(schemas, ios, "sms.db"))
    chats = {}      # chat rowid -> {"handle": rowid, "address":, "messages": [ids]}
    messages = {}   # rowid -> message
    gone = []
    used = set()
    clock = [380000000]
    serial = [0]

    def address():
        while True:
            a = rng.choice(["+1555%07d" % rng.randrange(10 ** 7),
                            "%s.%s@example.net" % (rng.choice(FIRST).lower(), rng.choice(LAST).lower())])
            if a not in used:
                used.add(a)
                return a

    def new_chat():
        a = address()
        service = "SMS" if a.startswith("+") and rng.random() < 0.6 else "iMessage"
        h = db.tx([("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?,?,?,?)",
                    [a, "us" if rng.random() < 0.5 else None, service, None])])
        c = db.tx([("INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name) "
                    "VALUES (?,?,?,?,?,?)", [service + ";-;" + a, 45, 3, uid(), a, service]),
                   ("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (last_insert_rowid(), ?)", [h])])
        c = db.con.execute("SELECT max(ROWID) FROM chat").fetchone()[0]
        chats[c] = {"handle": h, "address": a, "service": service, "messages": []}

    def new_message(c):
        chat = chats[c]
        clock[0] += rng.randrange(30, 40000)
        serial[0] += 1
        text = "%s %d" % (words(rng, rng.choice([2, 3, 5, 9, 14])), serial[0])
        guid = uid()
        from_me = rng.randrange(2)
        m = db.tx([("INSERT INTO message (guid, text, handle_id, service, account, date, date_read, "
                    "date_delivered, is_delivered, is_finished, is_from_me, is_read, is_sent, country) "
                    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                    [guid, text, chat["handle"], chat["service"], "e:", clock[0], 0, 0, 1, 1, from_me,
                     1 - from_me, from_me, None])])
        db.tx([("INSERT INTO chat_message_join (chat_id, message_id) VALUES (?,?)", [c, m])])
        messages[m] = {"ROWID": m, "guid": guid, "text": text, "date": clock[0], "chat": c,
                       "address": chat["address"], "handle": chat["handle"]}
        chat["messages"].append(m)

    def read_message(c):
        # Marked read later: the date_read grows the row.
        if chats[c]["messages"]:
            m = rng.choice(chats[c]["messages"])
            db.tx([("UPDATE message SET date_read = ?, is_read = 1 WHERE ROWID = ?",
                    [messages[m]["date"] + rng.randrange(10, 99999), m])])

    def delete_message(c):
        if not chats[c]["messages"]:
            return
        m = chats[c]["messages"].pop(rng.randrange(len(chats[c]["messages"])))
        messages[m]["snap"] = db.row("message", m)
        db.tx([("DELETE FROM chat_message_join WHERE message_id = ?", [m]),
               ("DELETE FROM message WHERE ROWID = ?", [m])])
        gone.append(messages.pop(m))

    def delete_chat(c):
        chat = chats.pop(c)
        chat["snap"] = db.row("handle", chat["handle"])
        for m in chat["messages"]:
            messages[m]["snap"] = db.row("message", m)
        stmts = []
        for m in chat["messages"]:
            stmts.append(("DELETE FROM chat_message_join WHERE message_id = ?", [m]))
            stmts.append(("DELETE FROM message WHERE ROWID = ?", [m]))
        rest = [("DELETE FROM chat_handle_join WHERE chat_id = ?", [c]), ("DELETE FROM chat WHERE ROWID = ?", [c]),
                ("DELETE FROM handle WHERE ROWID = ?", [chat["handle"]])]
        if rng.random() < 0.5:
            db.tx(rest + stmts)
        else:
            for s in stmts:
                db.tx([s])
            db.tx(rest)
        for m in chat["messages"]:
            gone.append(messages.pop(m))
        chat["gone"] = True
        dead_handles[chat["handle"]] = chat

    dead_handles = {}
    for _ in range(rng.randrange(260, 340)):
        r = rng.random()
        if r < 0.08 or len(chats) < 3:
            new_chat()
        elif r < 0.65:
            new_message(rng.choice(list(chats)))
        elif r < 0.75:
            read_message(rng.choice(list(chats)))
        elif r < 0.92:
            delete_message(rng.choice(list(chats)))
        elif len(chats) > 3:
            delete_chat(rng.choice(list(chats)))
    data = db.close()

    dead = []
    for m in gone:
        h = dead_handles.get(m["handle"])
        # A deleted handle names its address only while its cell keeps its row id.
        handle_there = h is None or id_there(data, h["snap"])
        dead.append({"ROWID": m["ROWID"], "text": m["text"], "address": m["address"], "date": m["date"],
                     "dateText": date_text(m["date"], 0), "complete": still_there(data, m["snap"]),
                     "addressRecoverable": handle_there, "handleDeleted": h is not None})
    live = [{"messageContent": m["text"], "guid": m["guid"]} for m in messages.values()]
    return {"live": live, "deleted": dead, "stale": []}


# ---------------------------------------------------------------- calls
def write_calls(rng, ios, schemas, out):
    db = Db(os.path.join(out, "call_history.db"), schema_text(schemas, ios, "call_history.db"))
    calls = {}
    gone = []
    clock = [390000000]
    book = ["+1555%07d" % rng.randrange(10 ** 7) for _ in range(25)]

    def add():
        clock[0] += rng.randrange(60, 200000)
        a = rng.choice(book)
        # Direction in bit 0, the kind of call in higher bits (FaceTime,
        # Wi-Fi calling); the contact id is -1 when the number is unknown.
        flags = rng.choice([4, 5, 4, 5, 4, 5, 8, 9, 20, 21, 65540, 65541, 1048580, 16777220, 16777221])
        duration = rng.choice([0, 0, rng.randrange(1, 120), rng.randrange(120, 4000), rng.randrange(4000, 40000)])
        cid = rng.choice([-1, -1, -1, 0, 1, rng.randrange(2, 128), rng.randrange(128, 3000)])
        cols = {"address": a, "date": clock[0], "duration": duration, "flags": flags, "id": cid,
                "name": rng.choice([None, "", "Caller %s" % a[-4:]]), "country_code": rng.choice(["310", "234", None]),
                "network_code": rng.choice(["410", "15", "", None]), "read": rng.randrange(2), "assisted": 0,
                "face_time_data": rng.choice([None, None, bytes(rng.randrange(256) for _ in range(24))]),
                "originalAddress": a}
        if ios >= 7:
            cols["answered"] = 1 if duration else 0
        keys = list(cols)
        r = db.tx([("INSERT INTO call (%s) VALUES (%s)" % (",".join(keys), ",".join("?" * len(keys))),
                    [cols[k] for k in keys])])
        calls[r] = dict(cols, ROWID=r)

    def delete(n):
        ids = rng.sample(list(calls), min(n, len(calls)))
        for i in ids:
            calls[i]["snap"] = db.row("call", i)
        db.tx([("DELETE FROM call WHERE ROWID = ?", [i]) for i in ids])
        gone.extend(calls.pop(i) for i in ids)

    for _ in range(rng.randrange(250, 330)):
        r = rng.random()
        if r < 0.7 or len(calls) < 5:
            add()
        elif r < 0.8:
            i = rng.choice(list(calls))
            db.tx([("UPDATE call SET read = 1, name = ? WHERE ROWID = ?", ["Caller " + calls[i]["address"], i])])
        elif r < 0.96:
            delete(1)
        else:
            delete(rng.randrange(3, 9))
    data = db.close()
    dead = []
    for c in gone:
        dead.append({"ROWID": c["ROWID"], "address": c["address"], "date": c["date"], "dateText": date_text(c["date"], 0),
                     "duration": c["duration"], "flags": c["flags"], "id": c["id"], "recoverable": still_there(data, c["snap"])})
    live = [{"callPhone": c["address"], "callDate": date_text(c["date"], 0)} for c in calls.values()]
    return {"live": live, "deleted": dead}


# ---------------------------------------------------------------- notes
def write_notes(rng, ios, schemas, out):
    db = Db(os.path.join(out, "notes.sqlite"), schema_text(schemas, ios, "notes.sqlite"), legacy_format=ios < 7)
    db.tx([("INSERT INTO ZSTORE (Z_PK, Z_ENT, Z_OPT, ZACCOUNT, ZNAME) VALUES (1, 5, 1, 1, 'Notes')", []),
           ("INSERT INTO Z_PRIMARYKEY VALUES (3, 'Note', 0, 0)", []),
           ("INSERT INTO Z_PRIMARYKEY VALUES (4, 'NoteBody', 0, 0)", []),
           ("INSERT INTO Z_PRIMARYKEY VALUES (5, 'Store', 0, 1)", [])])
    notes = {}
    gone = []
    stale = []
    clock = [395000000]
    serial = [0]
    ext = ", ZEXTERNALSEQUENCENUMBER" if ios >= 7 else ""

    def lines():
        return [words(rng, rng.randrange(3, 14)) for _ in range(rng.randrange(1, 4))]

    def html(body):
        return "".join("<div>%s</div>" % line for line in body)

    def add():
        serial[0] += 1
        pk = serial[0]
        clock[0] += rng.randrange(100, 300000)
        title = "%s %d" % (words(rng, rng.randrange(1, 4)).capitalize(), pk)
        body = [title] + lines()
        text = html(body)
        vals = [pk, 3, 1, 0, 0, 0, 0] + ([0] if ext else []) + [rng.randrange(1000, 99999), pk * 7, 0, pk, 1,
                                                                 clock[0], clock[0], None, uid(), None,
                                                                 body[1][:50], title]
        db.tx([("INSERT INTO ZNOTE (Z_PK, Z_ENT, Z_OPT, ZCONTAINSCJK, ZCONTENTTYPE, ZDELETEDFLAG, ZEXTERNALFLAGS%s,"
                " ZEXTERNALSERVERINTID, ZINTEGERID, ZISBOOKKEEPINGENTRY, ZBODY, ZSTORE, ZCREATIONDATE,"
                " ZMODIFICATIONDATE, ZAUTHOR, ZGUID, ZSERVERID, ZSUMMARY, ZTITLE) VALUES (%s)"
                % (ext, ",".join("?" * len(vals))), vals)])
        # The body arrives in a transaction of its own.
        db.tx([("INSERT INTO ZNOTEBODY (Z_PK, Z_ENT, Z_OPT, ZOWNER, ZCONTENT) VALUES (?,4,1,?,?)", [pk, pk, text]),
               ("UPDATE Z_PRIMARYKEY SET Z_MAX = ? WHERE Z_ENT IN (3, 4)", [pk])])
        notes[pk] = {"Z_PK": pk, "title": title, "body": body, "date": clock[0], "opt": 1}

    def edit(pk):
        n = notes[pk]
        old = dict(n)
        clock[0] += rng.randrange(100, 90000)
        # The lines after the first few are typed over; the title line stays.
        n["body"] = n["body"][: rng.randrange(1, len(n["body"]) + 1)] + lines()
        n["opt"] += 1
        n["date"] = clock[0]
        db.tx([("UPDATE ZNOTEBODY SET ZCONTENT = ?, Z_OPT = ? WHERE Z_PK = ?", [html(n["body"]), n["opt"], pk]),
               ("UPDATE ZNOTE SET ZMODIFICATIONDATE = ?, Z_OPT = ?, ZSUMMARY = ? WHERE Z_PK = ?",
                [clock[0], n["opt"], n["body"][1][:50], pk])])
        stale.append({"Z_PK": pk, "ZTITLE": old["title"], "noteContent": "\n".join(old["body"]),
                      "dateText": date_text(old["date"], 1)})

    def delete(pk):
        n = notes.pop(pk)
        n["snap"] = db.row("ZNOTE", pk, "Z_PK")
        n["body_snap"] = db.row("ZNOTEBODY", pk, "Z_PK")
        order = [("DELETE FROM ZNOTEBODY WHERE Z_PK = ?", [pk]), ("DELETE FROM ZNOTE WHERE Z_PK = ?", [pk])]
        if rng.random() < 0.5:
            order.reverse()
        if rng.random() < 0.5:
            db.tx(order)
        else:
            for s in order:
                db.tx([s])
        gone.append(n)

    for _ in range(rng.randrange(120, 170)):
        r = rng.random()
        if r < 0.45 or len(notes) < 3:
            add()
        elif r < 0.75:
            edit(rng.choice(list(notes)))
        else:
            delete(rng.choice(list(notes)))
    data = db.close()
    # An older version of a note deleted later is that deleted note's text.
    for v in stale:
        v["ofDeleted"] = v["Z_PK"] not in notes
    dead = []
    for n in gone:
        head = still_there(data, n["snap"], db.format4)
        body = still_there(data, n["body_snap"], db.format4)
        dead.append({"Z_PK": n["Z_PK"], "ZTITLE": n["title"], "ZMODIFICATIONDATE": n["date"],
                     "dateText": date_text(n["date"], 1), "noteContent": "\n".join(n["body"]),
                     "noteRecoverable": head, "bodyRecoverable": body, "recoverable": head or body})
    live = [{"noteTitle": n["title"], "noteContent": "\n".join(n["body"]), "noteDate": date_text(n["date"], 1)}
            for n in notes.values()]
    return {"live": live, "deleted": dead, "stale": stale}


RNG = random.Random(0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--ios", type=int, choices=[6, 7], required=True)
    ap.add_argument("--schemas", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    global RNG
    RNG = random.Random(a.seed * 1000 + a.ios)
    truth = {}
    for key, fn in (("contacts", write_contacts), ("messages", write_messages), ("calls", write_calls),
                    ("notes", write_notes)):
        truth[key] = fn(random.Random("%d/%d/%s" % (a.seed, a.ios, key)), a.ios, a.schemas, a.out)
    with open(os.path.join(a.out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)


if __name__ == "__main__":
    main()
