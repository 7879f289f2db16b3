#!/usr/bin/env python3
"""Instructions per operation of one trace, okr against malloc, and where
okr's go, for scripts/profile.sh.

  profile_report.py QEMU PLUGIN REPLAY TRACE [TOP]

Runs the replay program REPLAY (okr_mem_replay) under QEMU with the counting
PLUGIN (bench/mem/insn_count.c), once replaying TRACE once and once three
times, on an okr heap and on malloc. Half the difference is one replay: the
trace's making and the program's start and end cancel out. Counts are per
operation of the trace, its final disposals and the replay loop's own
instructions included, alike for both.

okr's instructions are then shown by source file (one concern each), by
function, where an inlined function counts on its own (addr2line's
innermost frame), and by source line, TOP rows each (default 20). REPLAY
must be linked without position independence (-no-pie), so that addresses
are those of the file."""
import collections
import functools
import os
import re
import subprocess
import sys
import tempfile


def counts(qemu, plugin, replay, args):
    """Runs the replay; returns ({address: count}, operations of the trace)."""
    fd, path = tempfile.mkstemp(prefix="okr-profile-")
    os.close(fd)
    try:
        run = subprocess.run([qemu, "-plugin", f"{plugin},out={path}", replay] + args,
                             capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit(f"error: {replay} {' '.join(args)} failed: {run.stderr.strip()}")
        found = re.search(r": (\d+) operations replayed", run.stdout)
        if found is None:
            sys.exit(f"error: {replay} did not say how many operations it replayed")
        per = collections.Counter()
        with open(path) as f:
            for line in f:
                address, count = line.split()
                per[int(address, 16)] += int(count)
        return per, int(found.group(1))
    finally:
        os.unlink(path)


def one_replay(qemu, plugin, replay, trace, extra):
    once, ops = counts(qemu, plugin, replay, [trace, "--times=1"] + extra)
    thrice, _ = counts(qemu, plugin, replay, [trace, "--times=3"] + extra)
    per = {a: (thrice[a] - once[a]) / 2 for a in thrice if thrice[a] > once[a]}
    return per, ops


def text_end(replay):
    """The end of the program's own code: addresses above it are libraries'."""
    out = subprocess.run(["nm", "-n", replay], capture_output=True, text=True, check=True).stdout
    ends = [int(f[0], 16) for f in (l.split() for l in out.splitlines())
            if len(f) == 3 and f[1] in "tTwW"]
    return max(ends) + 0x10000


def where(replay, addresses):
    """{address: (innermost function, file:line)} from addr2line."""
    run = subprocess.run(["addr2line", "-e", replay, "-a", "-i", "-f", "-C"],
                         input="\n".join(hex(a) for a in addresses),
                         capture_output=True, text=True, check=True)
    frames, current = {}, None
    for line in run.stdout.splitlines():
        if line.startswith("0x"):
            current = int(line, 16)
            frames[current] = []
        else:
            frames[current].append(line)
    result = {}
    for a, lines in frames.items():
        function = lines[0] if lines else "??"
        function = function.replace("(anonymous namespace)::", "").split("(")[0]
        function = function.removeprefix("okr_mem::")
        place = lines[1].split(" ")[0] if len(lines) > 1 else "??:0"
        result[a] = (function, place)
    return result


@functools.lru_cache(maxsize=None)
def file_lines(path):
    try:
        with open(path) as f:
            return f.read().splitlines()
    except OSError:
        return []


def source_line(root, place):
    path, _, number = place.rpartition(":")
    try:
        return file_lines(os.path.join(root, path))[int(number) - 1].strip()[:64]
    except (ValueError, IndexError):
        return ""


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__)
    qemu, plugin, replay, trace = sys.argv[1:5]
    top = int(sys.argv[5]) if len(sys.argv) == 6 else 20
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    okr, ops = one_replay(qemu, plugin, replay, trace, [])
    libc, _ = one_replay(qemu, plugin, replay, trace, ["--malloc"])
    okr_total, libc_total = sum(okr.values()), sum(libc.values())
    print(f"okr {okr_total / ops:.1f} instructions per operation, malloc {libc_total / ops:.1f}, "
          f"okr/malloc {okr_total / libc_total:.2f}")

    end = text_end(replay)
    own = sorted(a for a in okr if a < end)
    frames = where(replay, own)
    by_file, by_function, by_line = (collections.Counter() for _ in range(3))
    for a in own:
        function, place = frames.get(a, ("??", "??:0"))
        by_function[function] += okr[a]
        place = os.path.relpath(place, root) if place.startswith(root + os.sep) else place
        by_line[place] += okr[a]
        by_file[place.rpartition(":")[0]] += okr[a]
    outside = okr_total - sum(okr[a] for a in own)
    print(f"okr by source file, per operation; libraries {outside / ops:.1f}")
    for path, n in by_file.most_common(top):
        print(f"  {n / ops:6.1f} {100 * n / okr_total:5.1f}%  {path}")
    print("okr by function (inlined ones on their own), per operation")
    for function, n in by_function.most_common(top):
        print(f"  {n / ops:6.1f} {100 * n / okr_total:5.1f}%  {function[:80]}")
    print("okr by source line, per operation")
    for place, n in by_line.most_common(top):
        print(f"  {n / ops:6.1f}  {place:30s} {source_line(root, place)}")


if __name__ == "__main__":
    main()
