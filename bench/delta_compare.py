#!/usr/bin/env python3
"""Delta sizes on pairs of releases of a file. For each pair: the new file's
size; its entry whole as the archive carried it before LZMA (`build --method
lz`: LzBlock or stored, "today's entry"); its entry whole as `build` makes it
by default (LZMA or LzBlock, the smaller); the entry `build --delta-from`
carries (the delta with its patch's coding, or the whole entry where the delta
is not smaller); and the patches of bsdiff, xdelta3 -9 and zstd -19 --long=27
--patch-from (each left out where the tool is not installed). Prints one
Markdown row per pair, the group's totals and each total against today's
entries and against the default whole entries.

  bench/delta_compare.py MKUPDATE UPDATER.exe NAME OLD NEW [NAME OLD NEW ...]
"""
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

SCRIPT = (b"[SETUP]\r\nCompanyName=Co\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n"
          b"[UPDATE]\r\nAllOrNothing=1\r\nUpdateFile00=F.BIN\r\n")

# A row of `build -v`: size -> stored  share  method  name  (note)
ROW = re.compile(r"^\s*(\d+) ->\s+(\d+)\s+(\S+)\s+(\S+)\s+(.+?)(?:  \((.*)\))?$")


def entry_sizes(mkupdate, updater, src, *extra):
    """Each entry that `build -v` reports, by name: (stored size, method)."""
    args = [mkupdate, "build", src, "-o", src.parent / "u.exe", "--updater", updater, "-v", "-j", "1", *extra]
    out = subprocess.run(list(map(str, args)), capture_output=True, check=True).stdout.decode()
    sizes = {}
    for line in out.splitlines():
        m = ROW.match(line)
        if m:
            sizes[m.group(5)] = (int(m.group(2)), m.group(4))
    return sizes


def tool_size(args, out):
    if shutil.which(args[0]) is None:
        return None
    subprocess.run(list(map(str, args)), capture_output=True, check=True)
    return out.stat().st_size


def main(argv):
    mkupdate, updater = pathlib.Path(argv[1]).resolve(), pathlib.Path(argv[2]).resolve()
    rows = []
    for i in range(3, len(argv), 3):
        name, old_file, new_file = argv[i], pathlib.Path(argv[i + 1]), pathlib.Path(argv[i + 2])
        work = pathlib.Path(tempfile.mkdtemp(prefix="delta-compare-"))
        (work / "old").mkdir()
        (work / "new").mkdir()
        shutil.copy(old_file, work / "old" / "F.BIN")
        shutil.copy(new_file, work / "new" / "F.BIN")
        (work / "new" / "UPDATE.INI").write_bytes(SCRIPT)
        today = entry_sizes(mkupdate, updater, work / "new", "--method", "lz")["F.BIN"][0]
        whole = entry_sizes(mkupdate, updater, work / "new")["F.BIN"][0]
        carried, method = entry_sizes(mkupdate, updater, work / "new", "--delta-from", work / "old")["F.BIN"]
        bsdiff = tool_size(["bsdiff", old_file, new_file, work / "p.bsdiff"], work / "p.bsdiff")
        xdelta = tool_size(["xdelta3", "-9", "-f", "-e", "-s", old_file, new_file, work / "p.xd3"], work / "p.xd3")
        zstd = tool_size(["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + str(old_file), new_file, "-o",
                          work / "p.zst"], work / "p.zst")
        rows.append((name, new_file.stat().st_size, today, whole, carried, method, bsdiff, xdelta, zstd))
        shutil.rmtree(work)

    def cell(v):
        return "n/a" if v is None else f"{v:,}"

    def total(k):
        return sum(r[k] for r in rows) if all(r[k] is not None for r in rows) else None

    print("| file | new size | today's entry (`--method lz`) | whole entry (default) | as carried "
          "(`--delta-from`) | bsdiff | xdelta3 -9 | zstd -19 --patch-from |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print(f"| {r[0]} | {cell(r[1])} | {cell(r[2])} | {cell(r[3])} | {cell(r[4])} ({r[5]}) | "
              + " | ".join(cell(v) for v in r[6:]) + " |")
    totals = {"new": total(1), "today": total(2), "whole": total(3), "carried": total(4),
              "bsdiff": total(6), "xdelta3": total(7), "zstd": total(8)}
    deltas = sum(1 for r in rows if r[5].startswith("delta"))
    print(f"| total | {cell(totals['new'])} | {cell(totals['today'])} | {cell(totals['whole'])} | "
          f"{cell(totals['carried'])} ({deltas} of {len(rows)} as deltas) | "
          + " | ".join(cell(totals[k]) for k in ("bsdiff", "xdelta3", "zstd")) + " |")
    print()
    for base, label in (("today", "today's entries (`--method lz`)"), ("whole", "the default whole entries")):
        parts = [f"{k} {100.0 * totals[k] / totals[base]:.1f}%" for k in ("whole", "carried", "bsdiff", "xdelta3", "zstd")
                 if totals[k] is not None and k != base]
        print(f"against {label}: " + ", ".join(parts))


if __name__ == "__main__":
    main(sys.argv)
