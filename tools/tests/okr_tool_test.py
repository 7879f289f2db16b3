#!/usr/bin/env python3
"""End-to-end tests of the okr tool, on files the tests make.

usage: okr_tool_test.py [--runner PROGRAM...] --okr PATH [unittest arguments]

Each test runs okr in a fresh temporary folder; --runner names the program
that runs okr when it cannot run by itself (wine64 for a Windows build).
"""
import json
import os
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

COMMAND = []  # runner words and the okr program


def windows():
    """True when okr is a Windows program (run by wine)."""
    return any("wine" in word for word in COMMAND)


def native(path):
    """`path` with the separators okr puts in the paths it joins."""
    return path.replace("/", "\\") if windows() else path
NOENT = ": No such file or directory"  # the system's reasons, as okr appends them
ISDIR = ": Is a directory"
NOT_TYPE = ": four characters, or 0x and eight hex digits"
HELP_EXTRA = "an argument too many (usage: okr help [COMMAND])"
NOT_NAME = ": a NAME is 1 to 31 bytes, a letter or one of []_`{ first"
HEAP_USAGE = " (usage: okr heap [--ops N] [--seed S] [--size BYTES] [--svg OUT.svg])"
DAMAGED = ": not a resource file, or a damaged one ('okr res check %s' says why)"


def build_res(resources, order="<", gap=0):
    """A resource file: header, data (each resource after `gap` zero bytes)
    and directory, in byte order `order` ('<' little, '>' big)."""
    words = lambda *v: struct.pack(order + "I" * len(v), *v)
    data, by_type = bytearray(), {}
    for type_id, payload in resources:
        data += bytes(gap)
        by_type.setdefault(type_id, []).append((len(data), len(payload)))
        data += payload
    count = sum(len(v) for v in by_type.values())
    dir_len = 52 + 4 + 12 * len(by_type) + 24 * count
    header = bytes(4) + words(0x100, 32, len(data), 32 + len(data), dir_len) + bytes(8)
    records, entries = bytearray(), bytearray()
    for type_id, placed in by_type.items():
        records += type_id + words(len(placed), 4 + 12 * len(by_type) + len(entries))
        for offset, size in placed:
            entries += words(0, 0, offset, size, 0, 0)
    directory = header + words(0, 0, 0x10, 52, 0) + words(len(by_type)) + records + entries
    return bytes(header + data + directory)


def write_sparse_res(path, resources):
    """A resource file of (type, payload, gap) at `path`, little-endian: a
    payload of an int is that many zero bytes, and gaps are zero bytes before
    a resource, both left as holes in the file."""
    placed, end = [], 0
    for type_id, payload, gap in resources:
        size = payload if isinstance(payload, int) else len(payload)
        placed.append((type_id, end + gap, size))
        end += gap + size
    types = list(dict.fromkeys(t for t, _, _ in resources))
    words = lambda *v: struct.pack("<" + "I" * len(v), *v)
    dir_len = 52 + 4 + 12 * len(types) + 24 * len(placed)
    header = bytes(4) + words(0x100, 32, end, 32 + end, dir_len) + bytes(8)
    records, entries = bytearray(), bytearray()
    for t in types:
        mine = [(o, n) for u, o, n in placed if u == t]
        records += t + words(len(mine), 4 + 12 * len(types) + len(entries))
        entries += b"".join(words(0, 0, o, n, 0, 0) for o, n in mine)
    with open(path, "wb") as f:
        f.write(header)
        for (_, payload, _), (_, offset, _) in zip(resources, placed):
            if not isinstance(payload, int):
                f.seek(32 + offset)
                f.write(payload)
        f.seek(32 + end)
        f.write(header + words(0, 0, 0x10, 52, 0) + words(len(types)) + records + entries)


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.dir = self.folder.name

    def tearDown(self):
        self.folder.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return name

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_okr(self, *args, status=0, stdin=b""):
        """`stdin` is the bytes okr reads from standard input, or an open file."""
        given = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
        done = subprocess.run(COMMAND + list(args), cwd=self.dir, capture_output=True, timeout=120,
                              **given)
        self.assertEqual(done.returncode, status, (args, done.stdout, done.stderr))
        return done

    def okr(self, *args, stdin=b""):
        """okr's output; success writes nothing to stderr (progress goes to a
        terminal only)."""
        done = self.run_okr(*args, stdin=stdin)
        self.assertEqual(done.stderr, b"", args)
        return done.stdout.decode().replace("\r\n", "\n")

    def fails(self, args, line, status=1):
        """okr fails with exactly `line` on stderr."""
        err = self.run_okr(*args, status=status).stderr.decode().replace("\r\n", "\n")
        self.assertEqual(err, line + "\n", args)

    def listing(self, name):
        """The rows of `res list` and of `res list --json`, which must agree."""
        text = self.okr("res", "list", name).splitlines()
        listed = json.loads(self.okr("res", "list", name, "--json"))
        rows = [line.split() for line in text[5:]]
        shown = lambda t: "".join(c if " " <= c <= "~" else "." for c in t)
        from_json = [[shown(r["type"]), r["typeHex"], str(r["index"]), str(r["offset"]),
                      str(r["size"]), "0x%08X" % r["attributes"]] for r in listed["resources"]]
        self.assertEqual(rows, from_json)
        self.assertIn("%s bytes, %d resource" % (listed["fileSize"], len(rows)), text[0])
        self.assertEqual(os.path.getsize(self.path(name)), listed["fileSize"])
        return listed

    def extract(self, name, type_id, index):
        self.okr("res", "extract", name, type_id, str(index), "-o", "out.bin")
        to_file = self.read("out.bin")
        self.assertEqual(self.run_okr("res", "extract", name, type_id, str(index)).stdout, to_file)
        return to_file

    def contents(self, name):
        listed = self.listing(name)
        return {(r["type"], r["index"]): self.extract(name, r["typeHex"], r["index"])
                for r in listed["resources"]}


class Resources(ToolTest):
    def test_edit_cycle_keeps_every_byte(self):
        data = {"a": bytes(range(256)) * 3, "b": b"second", "c": os.urandom(5000), "d": b""}
        for name, payload in data.items():
            self.write(name, payload)
        self.okr("res", "create", "t.res")
        self.assertEqual(self.listing("t.res")["resources"], [])
        self.fails(["res", "create", "t.res"],
                   "okr: t.res: Previously Defined (0x420C): --force replaces it")
        expected = {}
        for type_id, names, first in [("TEXT", ["a", "b"], 0), ("0x42494E21", ["c"], 0),
                                      ("TEXT", ["d"], 2)]:
            added = self.okr("res", "add", "t.res", type_id, *names).splitlines()
            for index, (name, line) in enumerate(zip(names, added), first):
                self.assertIn("#%d to t.res" % index, line)
                self.assertTrue(line.endswith(": " + name), line)
                expected[("BIN!" if type_id.startswith("0x") else type_id, index)] = data[name]
            self.assertEqual(len(added), len(names))
            self.assertEqual(self.contents("t.res"), expected)
        self.okr("res", "replace", "t.res", "TEXT", "0", "c")  # grows: appended, then packed
        expected[("TEXT", 0)] = data["c"]
        self.assertEqual(self.contents("t.res"), expected)
        self.okr("res", "remove", "t.res", "TEXT", "1")
        expected[("TEXT", 1)] = expected.pop(("TEXT", 2))
        self.assertEqual(self.contents("t.res"), expected)
        # Every write ends with the file cut after its directory: a packed
        # file has nothing left to reclaim.
        listed = self.listing("t.res")
        self.assertEqual(listed["fileSize"], listed["dirOffset"] + listed["dirLength"])
        self.assertIn("would reclaim 0 bytes", self.okr("res", "compact", "t.res", "--dry-run"))
        self.assertIn("0 bytes reclaimed", self.okr("res", "compact", "t.res"))
        after = self.listing("t.res")
        self.assertEqual(after, listed)
        self.assertEqual(after["fileSize"], after["dirOffset"] + after["dirLength"])
        self.assertEqual(self.contents("t.res"), expected)
        self.assertIn("ok: 3 resources in 2 types", self.okr("res", "check", "t.res"))

    def test_compaction_packs_gaps(self):
        payloads = [(b"TEXT", b"x" * 100), (b"DATA", os.urandom(4100)), (b"TEXT", b"y" * 7)]
        original = build_res(payloads, gap=50)
        self.write("g.res", original)
        self.assertIn("150 bytes of the data area lie in gaps", self.okr("res", "check", "g.res"))
        self.okr("res", "compact", "g.res", "--dry-run")
        self.assertEqual(self.read("g.res"), original)  # neither changed a byte
        before = self.contents("g.res")
        self.assertEqual([r["offset"] for r in self.listing("g.res")["resources"]], [50, 4350, 200])
        self.assertIn("150 bytes reclaimed", self.okr("res", "compact", "g.res"))
        self.assertEqual([r["offset"] for r in self.listing("g.res")["resources"]], [0, 4200, 100])
        self.assertEqual(self.contents("g.res"), before)
        # Bytes between the data area and the directory (left by a failed
        # write) are counted as compaction counts them.
        packed = self.read("g.res")
        place = struct.unpack_from("<I", packed, 16)[0]
        moved = struct.pack("<I", place + 30)
        self.write("hole.res", packed[:16] + moved + packed[20:place] + bytes(30) +
                   packed[place:place + 16] + moved + packed[place + 20:])
        self.assertIn("30 bytes of the file lie outside its data area and directory",
                      self.okr("res", "check", "hole.res"))
        self.assertIn("would reclaim 30 bytes", self.okr("res", "compact", "hole.res", "--dry-run"))

    def test_other_byte_order_converted_by_native(self):
        payloads = [(b"TEXT", b"big-endian file"), (b"\x01ab\xff", bytes(range(40)))]
        self.write("be.res", build_res(payloads, order=">"))
        before = self.listing("be.res")
        self.assertEqual(before["byteOrder"], "big-endian")
        self.assertFalse(before["native"])
        self.assertEqual(before["resources"][1]["type"], "\u0001ab\u00ff")
        checked = json.loads(self.okr("res", "check", "be.res", "--json"))
        self.assertEqual((checked["byteOrder"], checked["native"]), ("big-endian", False))
        # A file name comes back as it was given, UTF-8 included.
        self.write("bé.res", self.read("be.res"))
        self.assertEqual(json.loads(self.okr("res", "list", "bé.res", "--json"))["file"], "bé.res")
        contents = self.contents("be.res")
        self.assertIn("from big-endian to little-endian", self.okr("res", "native", "be.res"))
        after = self.listing("be.res")
        self.assertEqual(after["byteOrder"], "little-endian")
        checked = json.loads(self.okr("res", "check", "be.res", "--json"))
        self.assertEqual((checked["byteOrder"], checked["native"]), ("little-endian", True))
        self.assertEqual(after["resources"], before["resources"])
        self.assertEqual(self.contents("be.res"), contents)
        self.fails(["res", "native", "be.res"],
                   "okr: be.res: RES: File already native endian (0x4587)")


    def test_pack_takes_types_from_directory_names(self):
        files = {"d/TEXT/b.txt": b"bee", "d/TEXT/a.txt": b"a" * 300, "d/TEXT/z/c.txt": b"",
                 "d/0x42494E21/x.bin": os.urandom(999)}
        for name, payload in files.items():
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            self.write(name, payload)
        lines = self.okr("res", "pack", "p.res", "d").splitlines()
        # Types by name, each type's files in the byte order of their paths.
        order = ["d/0x42494E21/x.bin", "d/TEXT/a.txt", "d/TEXT/b.txt", "d/TEXT/z/c.txt"]
        self.assertEqual([line.split(": ")[-1].replace("\\", "/") for line in lines[:-1]], order)
        self.assertIn("4 resources in 2 types", lines[-1])
        self.assertEqual(self.contents("p.res"), {
            ("BIN!", 0): files[order[0]], ("TEXT", 0): files[order[1]],
            ("TEXT", 1): files[order[2]], ("TEXT", 2): files[order[3]]})
        self.fails(["res", "pack", "p.res", "d"],
                   "okr: p.res: Previously Defined (0x420C): --force replaces it")
        # OUT under a type is one of the files packed: refused, left as it was.
        inner = os.path.join("d", "TEXT", "a.txt")
        self.fails(["res", "pack", inner, "d", "--force"],
                   "okr: %s: Bad Data (0x4107): the same file as the input %s"
                   % (inner, native(inner)), 2)
        self.assertEqual(self.read("d/TEXT/a.txt"), files["d/TEXT/a.txt"])
        # So is a new OUT there, at any depth: the next pack would take it in.
        for fresh in ["d/TEXT/p.res", "d/TEXT/z/p.res"]:
            self.fails(["res", "pack", fresh, "d"], "okr: %s: Bad Data (0x4107): below the type"
                       " directory TEXT, whose files are packed" % fresh, 2)
            self.assertFalse(os.path.exists(self.path(fresh)))
        self.fails(["res", "pack", "q.res", "none"],
                   "okr: none: FILE: File not found (0x4502)" + NOENT)
        # OUT inside DIR is passed over when it is packed again.
        self.okr("res", "pack", "d/p.res", "d")
        self.assertIn("4 resources", self.okr("res", "pack", "d/p.res", "d", "--force"))
        # A file beside the types (the only one: which of several is named
        # first is the file system's order).
        os.remove(self.path("d/p.res"))
        self.write("d/stray.txt", "not under a type")
        self.fails(["res", "pack", "q.res", "d"], "okr: %s: Bad Data (0x4107): not a directory"
                   " named as a type" % native("d/stray.txt"))
        self.assertFalse(os.path.exists(self.path("q.res")))
        # The order is the same on every system, whose separator sorts
        # before the capitals ('/') or after them ('\\').
        for name in ["e/TEXT/a/x.txt", "e/TEXT/aB.txt", "e/0x42/f", "e/0x42494E21/f"]:
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            self.write(name, name)
        lines = self.okr("res", "pack", "e.res", "e").splitlines()
        self.assertEqual([line.split(": ")[-1].replace("\\", "/") for line in lines[:-1]],
                         ["e/0x42/f", "e/0x42494E21/f", "e/TEXT/a/x.txt", "e/TEXT/aB.txt"])
        self.assertEqual(self.extract("e.res", "TEXT", 0), b"e/TEXT/a/x.txt")

    def test_pack_takes_every_file_below_a_type(self):
        """A symbolic link below a type is followed, to a file or a folder;
        what gives no file's bytes (a link that leads nowhere, a pipe) is
        refused rather than passed over, which would give the resources
        after it other indices than the tree shows."""
        if windows() or not hasattr(os, "symlink"):
            self.skipTest("no symbolic links or pipes here")
        self.write("a.txt", "a")
        os.makedirs(self.path("other"))
        self.write("other/o.txt", "o")
        os.makedirs(self.path("d/TEXT"))
        self.write("d/TEXT/z.txt", "z")
        os.symlink("../../a.txt", self.path("d/TEXT/b.txt"))
        os.symlink("../../other", self.path("d/TEXT/c"))
        lines = self.okr("res", "pack", "p.res", "d").splitlines()
        self.assertEqual([line.split(": ")[-1] for line in lines[:-1]],
                         ["d/TEXT/b.txt", "d/TEXT/c/o.txt", "d/TEXT/z.txt"])
        self.assertEqual(self.extract("p.res", "TEXT", 2), b"z")
        refused = [("gone", lambda p: os.symlink("nowhere", p),
                    "FILE: File not found (0x4502)" + NOENT)]
        if hasattr(os, "mkfifo"):
            refused.append(("pipe", os.mkfifo,
                            "FILE: Unsupported access (0x4508): not a regular file"))
        for name, make, line in refused:
            make(self.path("d/TEXT/" + name))
            self.fails(["res", "pack", "q.res", "d"], "okr: d/TEXT/%s: %s" % (name, line))
            self.assertFalse(os.path.exists(self.path("q.res")))
            os.remove(self.path("d/TEXT/" + name))

    def test_names_beyond_ascii(self):
        """Every step of a command finds the file a name on the command line
        names, also one with bytes above 0x7F (on Windows, in the ANSI code
        page: '€' is one that Latin-1 reads otherwise)."""
        os.makedirs(self.path("d€/TEXT"))
        self.write("d€/TEXT/a€.txt", "one")
        self.write("€ é.bin", "two")
        steps = [  # arguments, status, the reason that ends stderr ("" for none)
            (["res", "pack", "€.res", "d€"], 0, ""),
            (["res", "pack", "€.res", "d€"], 1, ": --force replaces it"),
            (["res", "add", "€.res", "TEXT", "€ é.bin"], 0, ""),
            (["res", "add", "€.res", "TEXT", "d€"], 1, ISDIR),
            (["res", "extract", "€.res", "TEXT", "1", "-o", "d€"], 1, ISDIR),
            (["res", "extract", "€.res", "TEXT", "1", "-o", "o€.bin"], 0, ""),
            (["res", "create", "€.res"], 1, ": --force replaces it"),
        ]
        for args, status, reason in steps:
            err = self.run_okr(*args, status=status).stderr.replace(b"\r\n", b"\n")
            self.assertTrue(err.endswith(reason.encode() + b"\n") if reason else err == b"",
                            (args, err))
        self.assertEqual(self.read("o€.bin"), b"two")
        self.assertEqual(self.run_okr("res", "extract", "€.res", "TEXT", "0").stdout, b"one")
        # JSON names the file in Unicode, whatever bytes the system spells it in.
        for command in ["list", "check"]:
            listed = json.loads(self.run_okr("res", command, "€.res", "--json").stdout)
            self.assertEqual(listed["file"], "€.res", command)

    def test_wildcards_name_the_matching_files(self):
        # Expanded by okr only where no shell does (Windows); a pattern that
        # matches nothing stays a name, as in a Unix shell.
        for name in ["a.txt", "b.txt", "c.bin"]:
            self.write(name, name)
        self.okr("res", "create", "w.res")
        reason = ": Invalid argument: no file matches the pattern" if windows() else NOENT
        self.fails(["res", "add", "w.res", "TEXT", "*.none"],
                   "okr: *.none: FILE: File not found (0x4502)" + reason)
        # Windows puts '?' for a character its code page lacks.
        lacks = " (or a '?' stands for a character outside the system's code page)"
        self.fails(["res", "add", "w.res", "TEXT", "??.none"],
                   "okr: ??.none: FILE: File not found (0x4502)" + reason
                   + (lacks if windows() else ""))
        if not windows():
            return
        added = self.okr("res", "add", "w.res", "TEXT", "*.txt", "?.bin").splitlines()
        self.assertEqual(sorted(line.rsplit(": ", 1)[1] for line in added),
                         ["a.txt", "b.txt", "c.bin"])

    def test_many_small_resources_fit_the_heap(self):
        """The heap has room for the directory of many small resources, not
        only for their bytes: 9,000 added in one run (over 8,192), and one
        added to a file of 50,000. (A one-byte name keeps the command line
        within the 32,767 characters a Windows program is given.)"""
        self.write("1", b"1")
        self.okr("res", "create", "n.res")
        self.assertIn("TEXT #8999", self.okr("res", "add", "n.res", "TEXT", *["1"] * 9000))
        self.write("big.res", build_res([(b"TEXT", b"%05d" % i) for i in range(50000)]))
        self.assertIn("TEXT #50000", self.okr("res", "add", "big.res", "TEXT", "1"))
        self.assertEqual(self.extract("big.res", "TEXT", 50000), b"1")

    def test_a_resource_file_named_dash_is_a_file(self):
        """A resource FILE named - is the file of that name: standard input,
        here one that cannot be read, is left alone."""
        self.write("-", build_res([(b"TEXT", b"old")]))
        with open(self.path("unreadable"), "wb") as stdin:
            for args, out in [(["res", "list", "-"], "1 resource in 1 type"),
                              (["res", "check", "-"], ""),
                              (["res", "extract", "-", "TEXT", "0"], "old"),
                              (["res", "replace", "-", "TEXT", "0", "s.txt"], "(3 bytes, was 3)")]:
                self.write("s.txt", b"new")
                done = self.run_okr(*args, stdin=stdin)
                self.assertEqual(done.stderr, b"", args)
                self.assertIn(out, done.stdout.decode(), args)
        self.assertEqual(self.read("-")[32:35], b"new")
        # A DATAFILE - is standard input, not the resource file.
        self.okr("res", "add", "-", "TEXT", "-", stdin=b"from stdin")
        self.assertEqual(self.extract("-", "TEXT", 1), b"from stdin")


class Failures(ToolTest):
    def test_error_lines_and_status(self):
        good = build_res([(b"TEXT", b"a" * 30), (b"TEXT", b"b" * 30)])
        self.write("good.res", good)
        self.write("version.res", good[:4] + struct.pack("<I", 0x200) + good[8:])
        self.write("short.res", good[:-10])
        overlap = bytearray(good)
        overlap[-24 + 8:-24 + 12] = struct.pack("<I", 10)  # the second entry's offset
        self.write("overlap.res", bytes(overlap))
        self.write("f.txt", "a 1\nwidth    3 + * 4\nzero    12 \\ 0\ntitle\n")
        self.write("u16.txt", "a 1\r\n".encode("utf-16"))  # Notepad's "Unicode"
        # A file that any rewrite would change: other byte order, gaps.
        foreign = self.write("be.res", build_res([(b"TEXT", b"a" * 30)], order=">", gap=2))
        cases = [
            (["res", "list", "missing.res"], "okr: missing.res: FILE: File not found (0x4502)" + NOENT, 1),
            (["res", "list", "version.res"], "okr: version.res: Version Mismatch (0x4106)" +
             DAMAGED % "version.res", 1),
            (["res", "list", "short.res"], "okr: short.res: FILE: End of file (EOF) (0x4503)" +
             DAMAGED % "short.res", 1),
            (["res", "add", "f.txt", "TEXT", "good.res"],
             "okr: f.txt: Version Mismatch (0x4106)" + DAMAGED % "f.txt", 1),
            (["res", "extract", "overlap.res", "TEXT", "0"],
             "okr: overlap.res: RES: Invalid file (0x4585)" + DAMAGED % "overlap.res", 1),
            (["res", "check", "overlap.res"], "okr: overlap.res: RES: Invalid file (0x4585)", 1),
            # A resource that is not there: which indexes its type has.
            (["res", "extract", "good.res", "TEXT", "2"], "okr: good.res: TEXT #2: RES: Resource"
             " not found (0x4583): TEXT has 2 resources, #0 to #1", 1),
            (["res", "remove", "be.res", "text", "0"], "okr: be.res: text #0: RES: Resource not"
             " found (0x4583): no resource of type text ('okr res list be.res' lists them)", 1),
            (["res", "extract", "overlap.res", "TOOLONG", "0"],
             "okr: type TOOLONG: Bad Data (0x4107)" + NOT_TYPE, 2),
            (["res", "add", "TEXT", "good.res", "f.txt"],  # FILE and TYPE swapped
             "okr: type good.res: Bad Data (0x4107)" + NOT_TYPE, 2),
            (["get", "f.txt", "width"], "okr: f.txt:2:14: Syntax Error (0x4201)", 1),
            (["get", "f.txt", "zero"], "okr: f.txt:3:12: Divide by Zero (0x4202)", 1),
            (["get", "f.txt", "title", "--string"], "okr: f.txt:4:1: Incomplete Token Usage (0x4105)", 1),
            (["get", "f.txt", "height"],
             "okr: f.txt: keyword 'height' not found: No Such Variable (0x4204)", 1),
            # A KEY that no token can equal says why.
            (["get", "f.txt", "a,b"], "okr: f.txt: keyword 'a,b' not found: No Such Variable"
             " (0x4204): only a quoted token holds a blank, a comma, a control byte or a"
             " byte above 0x7F", 1),
            (["get", "f.txt", "a 1"], "okr: f.txt: keyword 'a 1' not found: No Such Variable"
             " (0x4204): only a quoted token holds a blank, a comma, a control byte or a"
             " byte above 0x7F", 1),
            # Its NULs are identifier bytes, so a KEY of one letter is found.
            (["get", "u16.txt", "a"], "okr: u16.txt: Bad Data (0x4107): UTF-16 text, which"
             " the text stream reads byte by byte: save it as UTF-8 or ANSI", 1),
            (["get", "missing.txt", "a"], "okr: missing.txt: FILE: File not found (0x4502)" + NOENT, 1),
            (["res", "check", "missing.res"], "okr: missing.res: FILE: File not found (0x4502)" + NOENT, 1),
            (["res", "add", "missing.res", "TEXT", "f.txt"], "okr: missing.res: FILE: File not"
             " found (0x4502)" + NOENT + " ('okr res create missing.res' makes one)", 1),
            (["res", "list", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "check", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "create", ".", "--force"], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "create", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            # FILE would be read as it stands between two additions.
            (["res", "add", "good.res", "TEXT", "./good.res"],
             "okr: ./good.res: Bad Data (0x4107): the resource file itself: add a copy of it", 2),
            (["res", "pack", ".", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "add", "version.res", "TEXT", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "replace", "be.res", "TEXT", "0", "."],
             "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "replace", "be.res", "TEXT", "0", "missing.bin"],
             "okr: missing.bin: FILE: File not found (0x4502)" + NOENT, 1),
            (["tokens", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "extract", "good.res", "TEXT", "0", "-o", "."], "okr: .: FILE: File not found (0x4502)" + ISDIR, 1),
            (["res", "extract", "good.res", "TEXT", "0", "-o", "no/x"],
             "okr: no/x: FILE: File not found (0x4502)" + NOENT, 1),
            (["get", "f.txt", "a", "-D", "w=1+"], "okr: -D w=1+: Syntax Error (0x4201)", 2),
            (["get", "f.txt", "a", "-D", "9w=1"], "okr: -D 9w=1: Invalid Variable (0x4205)" + NOT_NAME, 2),
            (["eval", "1", "-D", "=1"], "okr: -D =1: Invalid Variable (0x4205)" + NOT_NAME, 2),
            (["eval", "1", "-D", "w"], "okr: -D w: Missing Parameter (0x4206): no '=VALUE' after NAME", 2),
            (["eval", "w", "-D", 'w="str"'],
             'okr: -D w="str": Bad Data (0x4107): a variable\'s value is a number, not a string', 2),
            # An unknown command names those a typo away, or where to find them.
            (["frobnicate"], "okr: frobnicate: Uknown Token (0x4103): 'okr help' lists the"
             " commands", 2),
            (["frob"], "okr: frob: Uknown Token (0x4103): 'okr help' lists the commands", 2),
            (["res", "lsit", "good.res"], "okr: res lsit: Uknown Token (0x4103): did you mean"
             " 'okr res list'?", 2),
            (["res", "frob"], "okr: res frob: Uknown Token (0x4103): 'okr help res' lists them", 2),
            (["hep"], "okr: hep: Uknown Token (0x4103): did you mean 'okr help' or 'okr heap'?", 2),
            (["help", "evla"], "okr: help evla: Uknown Token (0x4103): did you mean 'okr eval'?", 2),
            (["version"], "okr: version: Uknown Token (0x4103): did you mean 'okr --version'?", 2),
            (["help", "get", "x"], "okr: help get x: Uknown Token (0x4103): " + HELP_EXTRA, 2),
            (["help", "res", "list", "x"],
             "okr: help res list x: Uknown Token (0x4103): " + HELP_EXTRA, 2),
            (["help", "help", "x"], "okr: help help x: Uknown Token (0x4103): " + HELP_EXTRA, 2),
            (["--version", "x"], "okr: --version x: Uknown Token (0x4103): an argument too many"
             " (usage: okr --version)", 2),
            # A mistake in the arguments names what is wrong and shows the usage.
            (["res", "add", "x.res"], "okr: res add: Missing Parameter (0x4206): no TYPE"
             " (usage: okr res add FILE TYPE DATAFILE...)", 2),
            (["res", "add", "x.res", "TEXT"], "okr: res add: Missing Parameter (0x4206): no"
             " DATAFILE (usage: okr res add FILE TYPE DATAFILE...)", 2),
            (["heap", "--ops"], "okr: heap --ops: Missing Parameter (0x4206): no N" + HEAP_USAGE, 2),
            (["res", "extract", "x.res", "TEXT", "0", "-o", ""], "okr: res extract -o: Missing"
             " Parameter (0x4206): no OUT (usage: okr res extract FILE TYPE INDEX [-o OUT])", 2),
            (["eval", "1", "+", "2"], "okr: eval +: Uknown Token (0x4103): an argument too many"
             " (usage: okr eval EXPR [-D NAME=VALUE]...)", 2),
            (["get", "f.txt", "a", "--int", "--string"], "okr: get: --int, --float and --string:"
             " Unsupported feature (0x4104): give one of them (usage: okr get FILE KEY"
             " [--int|--float|--string] [-D NAME=VALUE]...)", 2),
            (["heap", "--jsno"], "okr: heap --jsno: Uknown Token (0x4103): no such option" +
             HEAP_USAGE, 2),
            (["heap", "--seed", "18446744073709551616"],
             "okr: --seed 18446744073709551616: Bad Data (0x4107): at most 18446744073709551615", 2),
            (["heap", "--size", "99999999M"], "okr: --size 99999999M: Bad Data (0x4107): at most 4095M", 2),
            (["heap", "--ops", "1e6"], "okr: --ops 1e6: Bad Data (0x4107): not a decimal number", 2),
            (["heap", "--size", "2G"], "okr: --size 2G: Bad Data (0x4107): K and M are the only"
             " suffixes (KiB, MiB)", 2),
            (["res", "extract", "good.res", "TEXT", "4294967296"],
             "okr: index 4294967296: Bad Data (0x4107): at most 4294967295", 2),
            (["heap", "--size", "0K"], "okr: --size 0K: Bad Data (0x4107): a heap of no bytes", 2),
            (["heap", "--size", "100"], "okr: --size 100: MEM: Heap is not valid (0x4602): "
             "too small for the heap's header and descriptor pool", 2),
            (["heap", "--ops", "1000000000", "--svg", "no/h.svg"],  # refused before the run
             "okr: no/h.svg: FILE: File not found (0x4502)" + NOENT, 1),
        ]
        for args, line, status in cases:
            self.fails(args, line, status)
        self.assertIn("TEXT #1 (30 bytes at 10) overlaps TEXT #0 (30 bytes at 0)",
                      self.run_okr("res", "check", "overlap.res", status=1).stdout.decode())
        self.assertEqual(self.run_okr("res", "check", "missing.res", status=1).stdout, b"")
        shared = bytearray(build_res([(b"TEXT", b"a"), (b"TEXT", b"b"), (b"DATA", b"c")]))
        struct.pack_into("<I", shared, 35 + 76, 28 + 24)  # DATA's entry is TEXT's second
        self.write("shared.res", bytes(shared))
        self.assertIn("the 1 entry of type DATA overlaps the 2 entries of type TEXT",
                      self.run_okr("res", "check", "shared.res", status=1).stdout.decode())
        self.assertEqual(self.read(foreign), build_res([(b"TEXT", b"a" * 30)], order=">", gap=2))
        self.assertEqual(self.read("good.res"), good)
        self.assertEqual(os.listdir(self.dir).count("no"), 0)
        self.assertEqual([f for f in os.listdir(self.dir) if f.endswith(".tmp")], [])

    def test_output_that_is_an_input_is_refused(self):
        """A separate output naming the file a command reads, however it is
        spelled, is refused before anything is written."""
        original = build_res([(b"TEXT", b"a" * 71)])
        self.write("self.res", original)
        os.link(self.path("self.res"), self.path("hard.res"))
        names = ["self.res", "./self.res", "hard.res"]
        if hasattr(os, "symlink"):
            os.symlink("self.res", self.path("soft.res"))
            names.append("soft.res")
        for name in names:
            self.fails(["res", "extract", "self.res", "TEXT", "0", "-o", name],
                       "okr: -o %s: Bad Data (0x4107): the same file as the input self.res" % name, 2)
            self.assertEqual(self.read("self.res"), original)
        # Another file is replaced whole, through a file beside it.
        self.write("out.bin", b"x" * 500)
        self.okr("res", "extract", "self.res", "TEXT", "0", "-o", "out.bin")
        self.assertEqual(self.read("out.bin"), b"a" * 71)
        # So is one whose name is as long as names get (Windows' paths run
        # out first).
        if not windows():
            longest = "n" * os.pathconf(self.dir, "PC_NAME_MAX")
            self.okr("res", "extract", "self.res", "TEXT", "0", "-o", longest)
            self.assertEqual(self.read(longest), b"a" * 71)
        # A symbolic link leads to the file written, as the shell's '>' does,
        # also where that file is not there yet: the link stays.
        if not windows():
            os.mkdir(self.path("sub"))
            os.symlink("../to.bin", self.path("sub/link.bin"))
            os.symlink("sub/link.bin", self.path("chain.bin"))
            for name in ["chain.bin", "chain.bin"]:  # made, then replaced
                self.okr("res", "extract", "self.res", "TEXT", "0", "-o", name)
                self.assertTrue(os.path.islink(self.path(name)))
                self.assertEqual(self.read("to.bin"), b"a" * 71)
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if "okr-" in f), [])

    def test_file_of_2_gib_names_the_limit(self):
        with open(self.path("big.res"), "wb") as f:
            f.write(build_res([(b"TEXT", b"a")]))
            f.truncate(1 << 31)  # sparse: takes no room
        for args in [["res", "list", "big.res"], ["tokens", "big.res"]]:
            err = self.run_okr(*args, status=1).stderr.decode().strip()
            # A 32-bit Linux build opens no file past 2 GiB at all.
            self.assertIn(err, ["okr: big.res: FILE: Access outside bounds (0x4506): the file "
                                "layer takes files under 2 GiB", "okr: big.res: FILE: File not "
                                "found (0x4502): Value too large for defined data type"], args)

    def test_list_sizes_the_heap_for_the_directory(self):
        """res list reads the directory alone: a file of 1.5 GB (sparse) lists
        on a 32-bit build too, whose heap could not hold the file."""
        with open(self.path("big.res"), "wb") as f:
            f.write(build_res([(b"TEXT", b"abc")]))
            f.truncate(1500 << 20)
        self.assertIn("1 resource in 1 type", self.okr("res", "list", "big.res"))

    def test_one_resource_at_a_time_sizes_the_heap_for_it(self):
        """The commands that hold one resource at a time (or one file to add)
        size the heap for the directory and that, not for the whole file: on
        a 32-bit build a file of 1.5 GB (sparse, most of it a gap) asked for
        a 4 GiB heap and failed. An 8 MiB resource must still fit."""
        write_sparse_res(self.path("big.res"), [(b"TEXT", b"abc", 0), (b"BIG ", 8 << 20, 0),
                                                (b"TEXT", b"defg", 1400 << 20)])
        self.assertEqual(self.run_okr("res", "extract", "big.res", "TEXT", "1").stdout, b"defg")
        self.okr("res", "extract", "big.res", "BIG ", "0", "-o", "big.bin")
        self.assertEqual(os.path.getsize(self.path("big.bin")), 8 << 20)
        self.assertIn("3 resources in 2 types", self.okr("res", "check", "big.res"))
        self.assertIn("would reclaim", self.okr("res", "compact", "--dry-run", "big.res"))
        self.write("more.txt", "hij")
        self.assertIn("added TEXT #2", self.okr("res", "add", "big.res", "TEXT", "more.txt"))
        self.okr("res", "remove", "big.res", "TEXT", "0")
        self.assertEqual(self.run_okr("res", "extract", "big.res", "TEXT", "0").stdout, b"defg")
        self.assertLess(os.path.getsize(self.path("big.res")), 9 << 20)

    def test_output_over_a_pipe_is_refused(self):
        """A rename would put a plain file in the place of a device or a pipe:
        the commands that make a resource file beside its place refuse one
        and leave it as it was."""
        if not hasattr(os, "mkfifo") or windows():
            self.skipTest("no named pipes here")
        os.mkfifo(self.path("pipe"))
        os.makedirs(self.path("d/TEXT"))
        self.write("d/TEXT/a.txt", "a")
        for args in [["res", "create", "pipe", "--force"], ["res", "pack", "pipe", "d", "--force"]]:
            self.fails(args, "okr: pipe: FILE: Unsupported access (0x4508): not a regular file")
            self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("pipe")).st_mode), args)

    def test_device_as_output(self):
        """A device named as an output: -o and --svg write to it as it is,
        the commands that make a resource file refuse it (Windows' devices
        are reserved names, in every directory)."""
        device = "nul" if windows() else "/dev/null"
        if not windows() and not os.path.exists(device):
            self.skipTest("no /dev/null")
        self.write("r.res", build_res([(b"TEXT", b"x" * 99)]))
        os.makedirs(self.path("d/TEXT"))
        self.write("d/TEXT/a.txt", "a")
        refused = "okr: %s: FILE: Unsupported access (0x4508): not a regular file" % device
        for args, line in [(["res", "extract", "r.res", "TEXT", "0", "-o", device], None),
                           (["heap", "--ops", "10", "--svg", device], None),
                           (["res", "create", device, "--force"], refused),
                           (["res", "pack", device, "d", "--force"], refused)]:
            if line is None:
                self.assertEqual(self.run_okr(*args).stderr, b"", args)
            else:
                self.fails(args, line)
        self.assertEqual(sorted(os.listdir(self.dir)), ["d", "r.res"])

    def test_descriptor_named_as_output_is_written_through_it(self):
        """/dev/stdout and /dev/fd/N name a descriptor the shell opened: the
        bytes go through it, at its place, so a '>>' appends and what the
        shell writes next follows them (a file renamed over the log lost
        both), and a descriptor that is not open is named in one line."""
        if windows() or not os.path.isdir("/dev/fd"):
            self.skipTest("no names of descriptors here")
        self.write("r.res", build_res([(b"TEXT", b"payload")]))
        self.write("log", "log\n")
        okr = " ".join("'%s'" % word for word in COMMAND)
        script = ("{ %s res extract r.res TEXT 0 -o /dev/stdout; echo ' after'; } >> log; "
                  "%s res extract r.res TEXT 0 -o /dev/fd/3 3>> log" % (okr, okr))
        done = subprocess.run(["sh", "-c", script], cwd=self.dir, capture_output=True, timeout=120)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(self.read("log"), b"log\npayload after\npayload")
        self.fails(["res", "extract", "r.res", "TEXT", "0", "-o", "/dev/fd/9"],
                   "okr: /dev/fd/9: FILE: File not found (0x4502): Bad file descriptor")
        with open(self.path("log"), "rb") as log:  # standard input, read only
            done = self.run_okr("res", "extract", "r.res", "TEXT", "0", "-o", "/dev/stdin",
                                status=1, stdin=log)
        self.assertEqual(done.stderr.decode().strip(), "okr: /dev/stdin: FILE: Unsupported access "
                         "(0x4508): open for reading only")
        self.assertEqual(self.read("log"), b"log\npayload after\npayload")
        self.assertEqual(sorted(os.listdir(self.dir)), ["log", "r.res"])

    def test_unreadable_file_gives_the_reason(self):
        if os.name != "posix" or os.geteuid() == 0 or COMMAND[0].endswith("wine64"):
            self.skipTest("permissions do not bind this user (or this platform)")
        self.write("locked.res", build_res([(b"TEXT", b"x")]))
        os.chmod(self.path("locked.res"), 0)
        self.fails(["res", "list", "locked.res"],
                   "okr: locked.res: FILE: File not found (0x4502): Permission denied")
        # A directory below a type that cannot be read ends res pack with a
        # line, not an abort.
        os.makedirs(self.path("d/TEXT/closed"))
        os.chmod(self.path("d/TEXT/closed"), 0)
        self.fails(["res", "pack", "p.res", "d"],
                   "okr: d/TEXT: FILE: File not found (0x4502): Permission denied")
        os.chmod(self.path("d/TEXT/closed"), 0o700)

    def test_check_caps_repeated_findings(self):
        good = build_res([(b"TEXT", bytes([i]) * 10) for i in range(40)])
        place = struct.unpack_from("<I", good, 16)[0]
        bad = bytearray(good)
        for at in (12, place + 12):  # dataLength, in the header and its copy
            struct.pack_into("<I", bad, at, 5)
        self.write("bad.res", bytes(bad))
        lines = self.run_okr("res", "check", "bad.res", status=1).stdout.decode().splitlines()
        self.assertEqual(len(lines), 4)
        self.assertIn("TEXT #0 (10 bytes at 0) lies outside the data area (5 bytes)", lines[0])
        self.assertIn("... and 37 more resources outside the data area", lines[3])
        every = self.run_okr("res", "check", "bad.res", "--all", status=1)
        self.assertEqual(len(every.stdout.decode().splitlines()), 40)
        self.assertEqual(every.stderr.decode().strip(), "okr: bad.res: RES: Invalid file (0x4585)")
        listed = json.loads(self.run_okr("res", "check", "bad.res", "--json", status=1).stdout)
        self.assertFalse(listed["accepted"])
        self.assertEqual(listed["code"], 0x4585)
        self.assertEqual([f["index"] for f in listed["findings"]], list(range(40)))
        self.assertEqual({f["kind"] for f in listed["findings"]}, {"outside-data"})
        self.assertNotIn("otherIndex", listed["findings"][0])
        gapped = self.write("gaps.res", build_res([(b"TEXT", b"a" * 8)], gap=4))
        note, = json.loads(self.okr("res", "check", "--json", gapped))["findings"]
        self.assertEqual((note["kind"], "typeHex" in note, "index" in note), ("gaps", False, False))
        sound = json.loads(self.okr("res", "check", "--json", self.write("g.res", good)))
        self.assertEqual((sound["accepted"], sound["resources"], sound["findings"]), (True, 40, []))
        # Each entry outside the data area and over the one before: the list
        # of findings, which doubles as it grows, passes 2^19 with the last.
        n = 4 * 2 ** 16 + 1
        empty = build_res([(b"TEXT", b"")] * n)
        self.write("many.res", empty[:-24 * n] + struct.pack("<6I", 0, 0, 0, 1, 0, 0) * n)
        many = self.run_okr("res", "check", "many.res", status=1)
        self.assertEqual(many.stderr.decode().strip(), "okr: many.res: RES: Invalid file (0x4585)")
        self.assertIn("... and %d more overlapping" % (n - 4), many.stdout.decode())

    def test_usage_and_exit_status(self):
        cases = [  # arguments, status, whether the usage goes to stdout
            ([], 2, False), (["res"], 2, False), (["help"], 0, True), (["--help"], 0, True),
            (["res", "--help"], 0, True), (["help", "res"], 0, True),
        ]
        for args, status, to_stdout in cases:
            done = self.run_okr(*args, status=status)
            shown, silent = (done.stdout, done.stderr) if to_stdout else (done.stderr, done.stdout)
            self.assertTrue(shown.decode().startswith("usage: okr"), args)
            self.assertEqual(silent, b"", args)

    def test_output_that_cannot_be_written(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        self.write("r.res", build_res([(b"TEXT", b"x" * 9000)]))
        # Printed output, and a resource's bytes written at once.
        for args in [["eval", "1"], ["res", "extract", "r.res", "TEXT", "0"]]:
            with open("/dev/full", "wb") as full:
                done = subprocess.run(COMMAND + args, stdout=full, stderr=subprocess.PIPE,
                                      cwd=self.dir, timeout=120)
            self.assertEqual(done.returncode, 1)
            self.assertEqual(done.stderr.decode().replace("\r\n", "\n"),
                             "okr: standard output: FILE: Unable to write data (0x4505): "
                             "No space left on device\n", args)

    def test_failed_replace_gives_the_reason(self):
        """An output that cannot take the place of the file there (an
        immutable one: not even root may rename over it) fails with the
        system's reason, and leaves the file and no temporary behind."""
        self.write("r.res", build_res([(b"TEXT", b"x" * 9)]))
        os.makedirs(self.path("d/TEXT"))
        self.write("d/TEXT/a.txt", "a")
        self.write("kept", "as it was")
        try:
            subprocess.run(["chattr", "+i", self.path("kept")], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("no immutable files here")
        try:
            for args in [["res", "create", "kept", "--force"],
                         ["res", "pack", "kept", "d", "--force"],
                         ["res", "extract", "r.res", "TEXT", "0", "-o", "kept"],
                         ["heap", "--ops", "10", "--svg", "kept"]]:
                err = self.run_okr(*args, status=1).stderr.decode().replace("\r\n", "\n")
                self.assertRegex(err, r"^okr: kept: FILE: Unable to write data \(0x4505\): \S")
                self.assertEqual(self.read("kept"), b"as it was")
                self.assertEqual(sorted(os.listdir(self.dir)), ["d", "kept", "r.res"])
        finally:  # the folder cannot be removed before
            subprocess.run(["chattr", "-i", self.path("kept")], check=True)

    def test_output_in_a_closed_folder_names_the_folder(self):
        """An output whose file is there and could be written over, in a
        folder that takes no new file (an immutable one: not even root may
        add to it): the system's reason is about the folder, where okr
        makes the replacement, and the line names it."""
        if windows():
            self.skipTest("no immutable folders under wine")
        self.write("r.res", build_res([(b"TEXT", b"x" * 9)]))
        os.makedirs(self.path("d/TEXT"))
        self.write("d/TEXT/a.txt", "a")
        os.mkdir(self.path("closed"))
        self.write("closed/kept", "as it was")
        try:
            subprocess.run(["chattr", "+i", self.path("closed")], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            self.skipTest("no immutable folders here")
        try:
            reason = ": FILE: File not found (0x4502): Operation not permitted"
            for name, hint in [("closed/kept", " (in closed, where okr writes its replacement)"),
                               ("closed/new", "")]:
                for args in [["res", "create", name, "--force"],
                             ["res", "pack", name, "d", "--force"],
                             ["res", "extract", "r.res", "TEXT", "0", "-o", name],
                             ["heap", "--ops", "10", "--svg", name]]:
                    self.fails(args, "okr: " + name + reason + hint)
                self.assertEqual(os.listdir(self.path("closed")), ["kept"])
                self.assertEqual(self.read("closed/kept"), b"as it was")
        finally:  # the folder cannot be removed before
            subprocess.run(["chattr", "-i", self.path("closed")], check=True)

    def test_stopped_okr_leaves_no_temporary(self):
        """okr stopped by a signal (Ctrl-C, kill, a reader of its output that
        went away) removes the file it was writing beside its output, then
        ends as the signal ends a program. On Windows, Ctrl-C (which wine
        makes of SIGINT) ends it with STATUS_CONTROL_C_EXIT."""
        if not windows() and not hasattr(signal, "SIGPIPE"):
            self.skipTest("no POSIX signals here")
        os.makedirs(self.path("d/TEXT"))
        if not windows():
            # Lines enough to fill a pipe: a reader that stops after the
            # first ends okr at a later one.
            for i in range(4000):
                self.write("d/TEXT/f%04d" % i, str(i))
            okr = subprocess.Popen(COMMAND + ["res", "pack", "p.res", "d"], cwd=self.dir,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            okr.stdout.readline()
            okr.stdout.close()
            self.assertEqual(okr.wait(timeout=120), -signal.SIGPIPE)
            self.assertEqual(sorted(os.listdir(self.dir)), ["d"])
        # A workload stopped while its map waits beside its place.
        okr = subprocess.Popen(COMMAND + ["heap", "--ops", "1000000000", "--svg", "h.svg"],
                               cwd=self.dir, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not any(f.startswith("okr-") for f in os.listdir(self.dir)):
            self.assertLess(time.monotonic(), deadline, "no file beside h.svg")
            time.sleep(0.01)
        stop, status = (signal.SIGINT, 0xC000013A & 0xFF) if windows() else (signal.SIGTERM,
                                                                            -signal.SIGTERM)
        okr.send_signal(stop)
        self.assertEqual(okr.wait(timeout=120), status)
        self.assertEqual(sorted(os.listdir(self.dir)), ["d"])

    def test_help(self):
        overview = self.okr("help")
        self.assertIn("'okr --version'", overview)
        self.assertRegex(self.okr("--version"), r"^okr \d+\.\d+\.\d+\n$")
        for command in ["res create", "res list", "res add", "res replace", "res extract",
                        "res remove", "res check", "res compact", "res native", "get", "eval",
                        "tokens", "heap"]:
            self.assertIn(command, overview)
            words = command.split()
            self.assertTrue(self.okr(*words, "--help").startswith("usage: okr " + command))


class Text(ToolTest):
    def test_eval(self):
        cases = [
            (["10 - 2 - 3"], "11 int 0x0000000B"),
            (["7 / 2"], "3.5 float 0x40600000"),
            (["3 & 5"], "6 int 0x00000006"),
            (["--", "-~5"], "4 int 0x00000004"),
            (["2147483647 + 1"], "-2147483648 int 0x80000000"),
            (["'AB' + $ff + %1010"], "16971 int 0x0000424B"),
            (["w / 2", "-D", "w=1280"], "640.0 float 0x44200000"),
            (["half * 2", "-D", "w=$500", "-Dhalf=w \\ 7"], "12 int 0x0000000C"),
            (["2 * w", "-D", "w=7", "-D", "v=w"], "14 int 0x0000000E"),  # one-letter names last
            (['"5" // a quoted number, a comment'], "5 int 0x00000005"),
            # One level groups from the right; comparisons are of the level of +.
            (["1000 - 200 - 300"], "1100 int 0x0000044C"),
            (["100 / 10 / 2"], "20.0 float 0x41A00000"),
            (["2 + 2 == 4"], "2 int 0x00000002"),
            (["(1000 - 200) - 300"], "500 int 0x000001F4"),
        ]
        for args, line in cases:
            self.assertEqual(self.okr("eval", *args), line + "\n", args)
        self.fails(["eval", "5 \\ 0"], "okr: eval:1:3: Divide by Zero (0x4202)")
        self.fails(["eval", "1 2"], "okr: eval:1:3: Syntax Error (0x4201)")
        self.fails(["eval", "1\n+ 2"], "okr: eval:2:1: Syntax Error (0x4201)")
        self.fails(["eval", "w", "-D", "w=1 2"], "okr: -D w=1 2: Syntax Error (0x4201)", 2)

    def test_get_reads_one_field_and_warns_of_an_open_quote(self):
        # LF and CR LF line ends print alike (on Windows, not CR CR LF).
        for end in ["\n", "\r\n"]:
            self.write("q.txt", 'a 1 2\nname "open\nwidth 640\n'.replace("\n", end))
            self.assertEqual(self.okr("get", "q.txt", "a"), "1\n")  # the first field of the line
            done = self.run_okr("get", "q.txt", "name")
            self.assertEqual(done.stdout.decode().replace("\r\n", "\n"), "open\nwidth 640\n\n")
            self.assertEqual(done.stderr.decode().strip(), "okr: q.txt:2:6: warning: the value"
                             " runs over 3 lines: is its closing quote missing?")
        # The keyword the open quote took in is not found, and the quote is named.
        self.fails(["get", "q.txt", "width"], "okr: q.txt: keyword 'width' not found: No Such"
                   " Variable (0x4204): the string at q.txt:2:6 runs over several lines and may"
                   " hide it")
        for command in ["get", "eval"]:
            text = " ".join(self.okr(command, "--help").split())
            for said in ["1000 - 200 - 300 is 1000 - (200 - 300) = 1100", "100 / 10 / 2 is",
                         "2 + 2 == 4 is 2 + (2 == 4) = 2", "'&' is exclusive-or",
                         "anything after the expression is a syntax error"]:
                self.assertIn(said, text, command)

    def test_get_and_tokens(self):
        self.write("s.txt", '; settings\ntitle "A B"\nsize $10, 3.5 // two\nname <x y>\n'
                   'ratio 0 - 7 / 2\n')
        self.assertEqual(self.okr("get", "s.txt", "title"), "A B\n")
        self.assertEqual(self.okr("get", "s.txt", "name"), "x y\n")
        self.assertEqual(self.okr("get", "s.txt", "size"), "16\n")
        self.assertEqual(self.okr("get", "s.txt", "size", "--float"), "16.0\n")
        self.assertEqual(self.okr("get", "s.txt", "ratio", "--int"), "-3\n")  # toward zero
        self.assertEqual(self.okr("tokens", "s.txt"),
                         '2: [title] ["A B"]\n3: [size] [$10] [3.5]\n4: [name] [<x y>]\n'
                         '5: [ratio] [0] [-] [7] [/] [2]\n')
        # A NUL byte is shown, and the token goes on behind it. (Not in
        # "nul.txt": on Windows that name is the null device.)
        self.write("zero.txt", b'a 1\x00 2\nb "x\x00y"\n')
        self.assertEqual(self.okr("tokens", "zero.txt"),
                         '1: [a] [1\\x00] [2]\n2: [b] ["x\\x00y"]\n')

    def test_inputs_from_standard_input_and_pipes(self):
        """"-" reads standard input, and a pipe named by its path is read as
        well, although the file layer seeks: whole, before the heap is
        sized (the 3 MiB resource needs more than the default heap)."""
        self.write("r.res", build_res([(b"TEXT", b"old")]))
        big = bytes(range(256)) * (3 << 12)
        for args, stdin, out in [
                (["get", "-", "size"], b"size 2 * 21\r\n", "42\n"),
                (["tokens", "-"], b'a "b c"\n', '1: [a] ["b c"]\n'),
                (["get", "-", "gone"], b"a 1\n", None),
                (["res", "replace", "r.res", "TEXT", "0", "-"], b"\x00\r\n\x1a", None),
                (["res", "add", "r.res", "TEXT", "-", "-"], big, None)]:
            if out is None and args[0] == "get":
                self.fails(args, "okr: -: keyword 'gone' not found: No Such Variable (0x4204)")
            elif out is None:
                self.run_okr(*args, stdin=stdin)
            else:
                self.assertEqual(self.okr(*args, stdin=stdin), out, args)
        self.assertEqual(self.extract("r.res", "TEXT", 0), b"\x00\r\n\x1a")
        self.assertEqual(self.extract("r.res", "TEXT", 1), big)
        self.assertEqual(self.extract("r.res", "TEXT", 2), big)  # "-" twice: the same bytes
        if not hasattr(os, "mkfifo") or windows():
            return
        os.mkfifo(self.path("pipe"))
        writer = subprocess.Popen(["sh", "-c", "printf 'w 7\\n' > pipe"], cwd=self.dir)
        self.assertEqual(self.okr("get", "pipe", "w"), "7\n")
        writer.wait(timeout=60)

    def test_standard_input_beyond_memory_fails_in_one_line(self):
        """Standard input that does not fit in memory, here under a limit on
        the address space (a 32-bit process has one of 2 to 4 GiB), ends okr
        with one line. Run directly only: a runner or a sanitizer's own
        reservations do not fit under the limit."""
        okr = COMMAND[-1]
        with open(okr, "rb") as program:
            sanitized = b"AddressSanitizer" in program.read()
        try:
            import resource
        except ImportError:
            resource = None
        if len(COMMAND) > 1 or sanitized or resource is None:
            self.skipTest("needs okr run directly, without a sanitizer, and setrlimit")
        limit = 256 << 20
        with open(self.path("big"), "wb") as f:
            f.truncate(2 * limit)  # sparse: no disk
        with open(self.path("big"), "rb") as stdin:
            done = subprocess.run(
                [okr, "get", "-", "k"], cwd=self.dir, capture_output=True, timeout=120, stdin=stdin,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        self.assertEqual((done.returncode, done.stderr.decode()),
                         (1, "okr: -: Failed to allocate system memory (0x4102): the input does not"
                             " fit in memory\n"))

    def test_get_names_the_token_the_end_of_the_text_lost(self):
        """A last line without a line end loses a token of one byte (the
        text stream's rule): a field or keyword that needs it fails, and
        the line says why; other failures there, and the same file with
        its line end, stay as they were."""
        lost = (": the last line has no line end, and the token of one byte that ends the text"
                " is lost")
        cases = [  # file, arguments, the failure without a line end; with one
            ("size w", ["size"], "okr: f.txt:1:6: No Such Variable (0x4204)", ""),
            ("size 2*w", ["size"], "okr: f.txt:1:8: No Such Variable (0x4204)", ""),
            ("size x", ["size", "--string"], "okr: f.txt:1:6: Incomplete Token Usage (0x4105)",
             ""),
            ("a 1\nw", ["w"], "okr: f.txt: keyword 'w' not found: No Such Variable (0x4204)",
             "okr: f.txt:2:2: Syntax Error (0x4201)\n"),  # found, and no field after it
        ]
        for text, args, line, ended in cases:
            self.write("f.txt", text)
            self.fails(["get", "f.txt", *args, "-D", "w=3"], line + lost)
            self.write("f.txt", text + "\n")
            done = self.run_okr("get", "f.txt", *args, "-D", "w=3", status=1 if ended else 0)
            self.assertEqual(done.stderr.decode().replace("\r\n", "\n"), ended, text)
        for text, line in [("size 1 +", "okr: f.txt:1:9: Syntax Error (0x4201)"),
                           ("size ab", "okr: f.txt:1:6: No Such Variable (0x4204)")]:
            self.write("f.txt", text)
            self.fails(["get", "f.txt", "size"], line)
        self.write("f.txt", "size 5")
        self.assertEqual(self.okr("get", "f.txt", "size"), "5\n")


class HeapMap(ToolTest):
    def test_svg_has_a_rectangle_per_block(self):
        out = self.okr("heap", "--ops", "4000", "--seed", "7", "--size", "256K", "--svg", "h.svg")
        blocks = [line.split() for line in out.splitlines() if line.split()[:1] == ["blocks"]]
        before, after = int(blocks[0][1]), int(blocks[0][2])
        self.assertIn("contents of all", out)
        svg = ET.parse(self.path("h.svg")).getroot()
        rects = [r for r in svg.iter("{http://www.w3.org/2000/svg}rect")]
        kinds = [r.get("class", "").split() for r in rects]
        self.assertEqual(sum("block" in k for k in kinds), before + after)
        for kind in ["pool", "used", "locked", "free", "header", "pin"]:
            self.assertTrue(any("legend" in k and kind in k for k in kinds), kind)
        texts = " ".join(t.text or "" for t in svg.iter("{http://www.w3.org/2000/svg}text"))
        for said in ["each row is", "alternate in two shades", "descriptor pool"]:
            self.assertIn(said, texts)
        # After compaction every free gap but the heap's tail is held in place
        # by the locked block (or pool) that is outlined behind it.
        blocks = [(k, r.find("{http://www.w3.org/2000/svg}title").text) for k, r in zip(kinds, rects)
                  if "block" in k]
        after = blocks[before:]
        gaps = sum("free" in k for k, _ in after[:-1])
        pinned = [k for k, _ in after if "pin" in k]
        self.assertGreater(gaps, 0)
        self.assertEqual(len(pinned), gaps)
        self.assertTrue(all("locked" in k or "pool" in k for k in pinned), pinned)


def main():
    args = sys.argv[1:]
    if "--runner" in args:
        at = args.index("--runner")
        end = args.index("--okr")
        COMMAND.extend(args[at + 1:end])
        args = args[:at] + args[end:]
    at = args.index("--okr")
    COMMAND.append(os.path.abspath(args[at + 1]))
    unittest.main(argv=[sys.argv[0]] + args[:at] + args[at + 2:])


if __name__ == "__main__":
    main()
