#!/usr/bin/env python3
"""Delta sizes on pairs of releases of a file: mkupdate's entry carried as a
delta (build --delta-from) against the same entry whole, and the patches of
bsdiff, xdelta3 -9 and zstd -19 --patch-from (each left out where the tool is
not installed). Prints one Markdown row per pair and the group's totals.

  bench/delta_compare.py MKUPDATE UPDATER.exe NAME OLD NEW [NAME OLD NEW ...]
"""
import pathlib
import shutil
import subprocess
import sys
import tempfile


def entry_sizes(mkupdate, updater, src, old=None):
    """The stored size of each entry that `build -v` reports, by name."""
    args = [mkupdate, "build", src, "-o", src.parent / "u.exe", "--updater", updater, "--no-check", "-v", "-j", "1"]
    if old is not None:
        args += ["--delta-from", old]
    out = subprocess.run(list(map(str, args)), capture_output=True, check=True).stdout.decode()
    sizes = {}
    for line in out.splitlines()[:-1]:
        parts = line.split()
        sizes[parts[4]] = (int(parts[2]), "delta" in line and "whole" not in line)
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
        (work / "new" / "UPDATE.INI").write_bytes(b"[SETUP]\r\nCompanyName=Co\r\n[UPDATE]\r\nUpdateFile00=F.BIN\r\n")
        whole = entry_sizes(mkupdate, updater, work / "new")["F.BIN"][0]
        delta, is_delta = entry_sizes(mkupdate, updater, work / "new", work / "old")["F.BIN"]
        bsdiff = tool_size(["bsdiff", old_file, new_file, work / "p.bsdiff"], work / "p.bsdiff")
        xdelta = tool_size(["xdelta3", "-9", "-f", "-e", "-s", old_file, new_file, work / "p.xd3"], work / "p.xd3")
        zstd = tool_size(["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + str(old_file), new_file, "-o",
                          work / "p.zst"], work / "p.zst")
        rows.append((name, new_file.stat().st_size, whole, delta if is_delta else None, bsdiff, xdelta, zstd))
        shutil.rmtree(work)

    def cell(v):
        return "n/a" if v is None else f"{v:,}"

    print("| file | new size | whole entry | delta entry | bsdiff | xdelta3 -9 | zstd -19 --patch-from |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| " + " | ".join([r[0]] + [cell(v) for v in r[1:]]) + " |")
    # The group as carried: each file as its delta where that went, else whole.
    carried = sum(r[3] if r[3] is not None else r[2] for r in rows)
    whole = sum(r[2] for r in rows)
    totals = [sum(r[k] for r in rows) if all(r[k] is not None for r in rows) else None for k in (4, 5, 6)]
    print(f"| total | {sum(r[1] for r in rows):,} | {whole:,} | {carried:,} (as carried) | "
          + " | ".join(cell(v) for v in totals) + " |")
    print(f"\nas carried: {100.0 * carried / whole:.1f}% of the whole entries; "
          + ", ".join(f"{n} {100.0 * v / whole:.1f}%" for n, v in zip(("bsdiff", "xdelta3", "zstd"), totals)
                      if v is not None))


if __name__ == "__main__":
    main(sys.argv)
