#!/usr/bin/env python3
"""Writes the seed inputs of the carving engine's fuzz targets.

corpus/carve_engine/: one database, its write-ahead log and its rollback
journal per input, each part after a 4-byte little-endian length (the journal
takes what is left). corpus/wal/: logs alone, carved beside the target's own
small database. Real files made by SQLite (1024-byte pages, deleted rows left
in place), then hostile variants: free-block and free-list cycles, a trunk
that lists itself, frames with wrong salts, truncated frames, absurd page
sizes. Run from anywhere; the output is deterministic for one SQLite version.
"""
import os
import shutil
import sqlite3
import struct
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ENGINE = os.path.join(HERE, "corpus", "carve_engine")
WAL = os.path.join(HERE, "corpus", "wal")


def pack(db=b"", wal=b"", journal=b""):
    return struct.pack("<I", len(db)) + db + struct.pack("<I", len(wal)) + wal + journal


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def users(conn, count=12, first=20001):
    conn.execute("CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, name TEXT, note TEXT, score REAL, photo BLOB)")
    for i in range(first, first + count):
        conn.execute("INSERT INTO users VALUES (?, ?, ?, ?, ?)",
                     (i, "user%d" % i, None if i % 3 == 0 else "note %d" % i, i / 2, bytes([i % 256] * (i % 5 + 1))))


def fresh(tmp, name, *pragmas):
    path = os.path.join(tmp, name)
    conn = sqlite3.connect(path, isolation_level=None)
    for p in ("PRAGMA page_size=1024", "PRAGMA secure_delete=OFF") + pragmas:
        conn.execute(p)
    return path, conn


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    for folder in (ENGINE, WAL):
        shutil.rmtree(folder, ignore_errors=True)
    tmp = tempfile.mkdtemp()
    try:
        # Rows deleted from a table: free blocks, and freed pages on the free list.
        path, conn = fresh(tmp, "plain.db")
        users(conn, 40)
        conn.execute("CREATE TABLE bulk(id INTEGER PRIMARY KEY, body TEXT)")
        for i in range(60):
            conn.execute("INSERT INTO bulk VALUES (?, ?)", (i, "bulk %d " % i + "." * 60))
        conn.execute("DELETE FROM users WHERE id % 7 = 0")
        conn.execute("DELETE FROM bulk WHERE id > 10")
        conn.close()
        plain = read(path)
        write(ENGINE, "plain_freeblocks_freelist.bin", pack(plain))

        # UTF-16, a keyed table, rows older than an added column, an overflow chain.
        path, conn = fresh(tmp, "mixed.db", "PRAGMA encoding='UTF-16le'")
        conn.execute("CREATE TABLE tags(weight INTEGER, label TEXT PRIMARY KEY) WITHOUT ROWID")
        conn.execute("CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT)")
        for i in range(8):
            conn.execute("INSERT INTO tags VALUES (?, ?)", (i, "tag é %d" % i))
            conn.execute("INSERT INTO items VALUES (?, ?)", (i, "old ü %d" % i))
        conn.execute("ALTER TABLE items ADD COLUMN price REAL")
        conn.execute("INSERT INTO items VALUES (100, ?, 1.25)", ("long " + "ö" * 900,))
        conn.execute("DELETE FROM tags WHERE weight IN (2, 5)")
        conn.execute("DELETE FROM items WHERE id IN (3, 100)")
        conn.close()
        write(ENGINE, "utf16_keyed_altered_overflow.bin", pack(read(path)))

        # Rows that only lived in the log: copied while the connection is open,
        # so the log is not checkpointed away.
        path, conn = fresh(tmp, "wal.db", "PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0")
        users(conn, 5)
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        users(conn, 6, 30001)
        conn.execute("DELETE FROM users WHERE id > 30002")
        conn.execute("UPDATE users SET name = 'renamed' WHERE id = 20002")
        db, wal = read(path), read(path + "-wal")
        conn.close()
        write(ENGINE, "wal_deleted_in_log.bin", pack(db, wal))
        write(WAL, "deleted_in_log.wal", wal)

        # An unfinished transaction: the journal holds the pages as they were.
        path, conn = fresh(tmp, "journal.db", "PRAGMA journal_mode=DELETE", "PRAGMA cache_size=1")
        users(conn, 30)
        conn.execute("BEGIN")
        conn.execute("DELETE FROM users WHERE id < 20020")
        users(conn, 30, 40001)
        db, journal = read(path), read(path + "-journal")
        conn.execute("ROLLBACK")
        conn.close()
        write(ENGINE, "hot_journal.bin", pack(db, b"", journal))

        page = 1024
        # A free-block chain that comes back to itself: the users leaf's first
        # free block points at its own offset.
        d = bytearray(plain)
        leaf = page  # page 2, the users table's first page
        first = struct.unpack(">H", d[leaf + 1:leaf + 3])[0]
        if d[leaf] == 5:  # an interior root: go to its right-most child
            child = struct.unpack(">I", d[leaf + 8:leaf + 12])[0]
            leaf = (child - 1) * page
            first = struct.unpack(">H", d[leaf + 1:leaf + 3])[0]
        if first:
            d[leaf + first:leaf + first + 2] = struct.pack(">H", first)
        write(ENGINE, "freeblock_cycle.bin", pack(bytes(d)))

        # The free list: its first trunk names itself as the next trunk, and
        # lists itself among its leaves.
        trunk = struct.unpack(">I", plain[32:36])[0]
        if trunk:
            d = bytearray(plain)
            at = (trunk - 1) * page
            d[at:at + 4] = struct.pack(">I", trunk)
            write(ENGINE, "freelist_trunk_cycle.bin", pack(bytes(d)))
            d = bytearray(plain)
            d[at + 4:at + 8] = struct.pack(">I", 3)
            d[at + 8:at + 12] = struct.pack(">I", trunk)
            d[at + 12:at + 16] = struct.pack(">I", trunk)
            d[36:40] = struct.pack(">I", 0xFFFFFFFF)  # free page count
            write(ENGINE, "freelist_trunk_lists_itself.bin", pack(bytes(d)))

        # Log frames: the second frame's salts wrong, then the log cut
        # half-way through a frame, then a frame size that no page has.
        frame = 24 + page
        w = bytearray(wal)
        if len(w) >= 32 + 2 * frame:
            at = 32 + frame
            w[at + 8:at + 16] = bytes(b ^ 0x5A for b in w[at + 8:at + 16])
            write(ENGINE, "wal_wrong_salts.bin", pack(db, bytes(w)))
            write(WAL, "wrong_salts.wal", bytes(w))
        cut = wal[:32 + 2 * frame + frame // 2]
        write(ENGINE, "wal_truncated_frame.bin", pack(db, cut))
        write(WAL, "truncated_frame.wal", cut)
        for name, size in (("wal_page_size_0", 0), ("wal_page_size_3", 3), ("wal_page_size_65536", 0x10000),
                           ("wal_page_size_huge", 0x7FFFFFFF)):
            w = bytearray(wal[:32 + 3 * frame])
            w[8:12] = struct.pack(">I", size)
            write(WAL, name + ".wal", bytes(w))
        # Only a log: the page size must come from it.
        write(ENGINE, "wal_without_database.bin", pack(b"", wal))

        # Database headers whose page size is absurd.
        for name, value in (("page_size_0", 0), ("page_size_1_is_65536", 1), ("page_size_768", 768),
                            ("page_size_32768_short_file", 0x8000)):
            d = bytearray(plain[:3 * page])
            d[16:18] = struct.pack(">H", value)
            write(ENGINE, name + ".bin", pack(bytes(d)))
        # Reserved bytes that leave almost nothing usable, and a page count
        # far past the file.
        d = bytearray(plain)
        d[20] = 255
        write(ENGINE, "reserved_255.bin", pack(bytes(d)))
        d = bytearray(plain)
        d[28:32] = struct.pack(">I", 0xFFFFFFF0)
        write(ENGINE, "page_count_huge.bin", pack(bytes(d)))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
