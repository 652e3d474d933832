#!/usr/bin/env python3
"""The real updater under Wine at scale: one large file, or many small ones.

Builds an update with mkupdate (under /usr/bin/time -v, for its peak memory),
installs the example record and game folder through the end-to-end harness
(tests/e2e/harness.py), plays the wizard to the end with its driver and,
meanwhile, samples the updater's process in /proc: the kernel's peak resident
size (VmHWM) and the largest anonymous (RssAnon) and file-backed (RssFile)
resident sizes seen. Then checks every written file against its source and,
for many files, times a plain copy of the same files, each flushed.

Run after scripts/e2e.sh's set-up (scripts/wine-env.sh, koushin_wine_prefix,
scripts/xvfb.sh), from the project's root, for example:

  bench/wine_scale.py build/win32 --entry 1073741824 --data game
  bench/wine_scale.py build/win32 --entry 1073741824 --data game --updater /tmp/updater-before.exe
  bench/wine_scale.py build/win64 --arch x86_64 --entry 4294967295 --data game
  bench/wine_scale.py build/win64 --arch x86_64 --files 16 --file-size 4096
  bench/wine_scale.py build/win64 --arch x86_64 --files 20000 --file-size 4096 --folder-lines
  bench/wine_scale.py build/win32 --entry 134217728 --data mixed --method lz   (against the default's LZMA)

--folder-lines lays the files out in folders of 100 under one folder line
(`UpdateFile00=.\\`); without it the script lists each file on a line of
its own, which the format allows 16 times (UpdateFile00 to UpdateFile15).
"""
import argparse
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import cases  # noqa: E402
import harness  # noqa: E402

GAME_LIKE_BASE = 48 << 20


def mixed_base() -> bytes:
    """48 MiB as a game's folder mixes them: programs from /usr/bin, scenario
    text (Shift-JIS words and line ends, as the end-to-end cases' large update
    has) and uncompressed 24-bit pictures (gradients with noise), 16 MiB each."""
    import random
    r = random.Random(5)
    programs = game_like_base("game")[: 16 << 20]
    words = [b"scenario ", b"voice ", "あい ".encode("cp932"), "星の航路 ".encode("cp932"), b"line\r\n",
             b"chapter ", b"[wait] ", "「".encode("cp932"), "」\r\n".encode("cp932")]
    text = bytearray()
    while len(text) < 16 << 20:
        text += r.choice(words)
    pixels = bytearray()
    while len(pixels) < 16 << 20:
        w = 640
        for y in range(480):
            row = bytes(((x + y) // 3 + r.randrange(4)) & 0xFF for x in range(w)) * 3
            pixels += row[: w * 3]
    return bytes(programs) + bytes(text[: 16 << 20]) + bytes(pixels[: 16 << 20])


def game_like_base(kind: str) -> bytes:
    """48 MiB of what a game ships, from files on this machine in a fixed
    order: programs, then text ("game"), or its scenario text alone
    ("script": documentation and licences, no compressed files)."""
    parts, total = [], 0
    folders = (("/usr/bin", 32 << 20), ("/usr/share/doc", 16 << 20)) if kind == "game" else \
        (("/usr/share/doc", 40 << 20), ("/usr/share/common-licenses", 8 << 20))
    for folder, limit in folders:
        taken = 0
        for path in sorted(pathlib.Path(folder).rglob("*")):
            if taken >= limit:
                break
            if kind == "script" and path.suffix in (".gz", ".xz", ".bz2", ".png", ".jpg", ".pdf"):
                continue
            if path.is_file() and not path.is_symlink():
                data = path.read_bytes()[: 1 << 20]
                data = data[: limit - taken]
                parts.append(data)
                taken += len(data)
        total += taken
    base = b"".join(parts)
    return (base * (GAME_LIKE_BASE // len(base) + 1))[:GAME_LIKE_BASE]


def write_file(path: pathlib.Path, size: int, kind: str):
    """`size` bytes: a game-like base repeated, or random bytes."""
    base = mixed_base() if kind == "mixed" else game_like_base(kind) if kind != "random" else None
    with open(path, "wb") as f:
        left = size
        while left:
            piece = base if base is not None else os.urandom(GAME_LIKE_BASE)
            piece = piece[: min(left, len(piece))]
            f.write(piece)
            left -= len(piece)


class Sampler(threading.Thread):
    """Polls /proc for the process whose program is `name` and keeps the
    largest figures of its status (in KiB)."""

    def __init__(self, name: str):
        super().__init__(daemon=True)
        self.name = name.lower()
        self.peak = {"VmHWM": 0, "RssAnon": 0, "RssFile": 0, "VmPeak": 0}
        self.pids = set()
        self.stop = False

    def run(self):
        while not self.stop:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    argv0 = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0].decode("latin-1").lower()
                    if not argv0.replace("\\", "/").endswith("/" + self.name):
                        continue
                    status = open(f"/proc/{pid}/status").read()
                except OSError:
                    continue
                self.pids.add(pid)
                for key in self.peak:
                    m = re.search(rf"^{key}:\s+(\d+) kB", status, re.M)
                    if m:
                        self.peak[key] = max(self.peak[key], int(m.group(1)))
            time.sleep(0.02)


def sha(path: pathlib.Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            h.update(chunk)
    return h.hexdigest()


def plain_copy(src: pathlib.Path, names, dst: pathlib.Path) -> float:
    """Copies each file to `dst` and flushes it; the seconds it took."""
    started = time.perf_counter()
    for name in names:
        to = dst / name
        to.parent.mkdir(parents=True, exist_ok=True)
        with open(src / name, "rb") as i, open(to, "wb") as o:
            shutil.copyfileobj(i, o, 1 << 20)
            o.flush()
            os.fsync(o.fileno())
    return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=pathlib.Path, help="the Windows build (its driver; its updater by default)")
    parser.add_argument("--arch", default="i686")
    parser.add_argument("--updater", type=pathlib.Path, help="another updater.exe to build from")
    parser.add_argument("--entry", type=int, help="one file of this many bytes")
    parser.add_argument("--data", choices=("game", "mixed", "script", "random"), default="game")
    parser.add_argument("--files", type=int, help="this many files of --file-size bytes")
    parser.add_argument("--file-size", type=int, default=4096)
    parser.add_argument("--folder-lines", action="store_true")
    parser.add_argument("--method", choices=("lz", "all"), help="mkupdate build's --method (its default: all)")
    parser.add_argument("--mkupdate", type=pathlib.Path, default=ROOT / "build" / "native" / "tools" / "mkupdate")
    parser.add_argument("--keep", action="store_true", help="leave the files in place afterwards")
    options = parser.parse_args()
    harness.CASE_TIMEOUT = 3600
    wine = harness.Wine(options.build.resolve())
    wine.env["KOUSHIN_DRIVER_WAIT_MS"] = str(3600 * 1000)  # a run of many files takes minutes
    work = ROOT / "build" / "bench-scale"
    work.mkdir(parents=True, exist_ok=True)
    drives = harness.setup_drives(wine, work)

    # The payload: its files and the script's lines.
    staging = pathlib.Path(tempfile.mkdtemp(prefix="koushin-scale-", dir=work))
    names = []
    if options.entry is not None:
        names = ["BIG.DAT"]
        write_file(staging / "BIG.DAT", options.entry, options.data)
        lines = [("UpdateFile00", "BIG.DAT")]
    else:
        n = options.files
        if options.folder_lines:
            names = [f"d{i // 100:03d}/f{i:05d}.dat" for i in range(n)]
            lines = [("UpdateFile00", ".\\")]
        else:
            n = min(n, 16)
            names = [f"F{i:05d}.DAT" for i in range(n)]
            lines = [(f"UpdateFile{i:02d}", names[i]) for i in range(n)]
        for i, name in enumerate(names):
            (staging / name).parent.mkdir(parents=True, exist_ok=True)
            (staging / name).write_bytes(os.urandom(16) + bytes([i % 251]) * (options.file_size - 16))
    case = cases.Case(f"scale-{os.getpid()}", cases.RUN + cases.FINISH, exit_code=1, payload_files={}, game_files={},
                      script=cases.run_script(*lines), plan_cannot_foresee="a benchmark")
    run = harness.lay_out(case, wine, work, drives)
    run.payload.mkdir()
    harness.write_text(run.payload / "UPDATE.INI", case.script)
    for name in names:
        (run.payload / name).parent.mkdir(parents=True, exist_ok=True)
        os.replace(staging / name, run.payload / name)
    shutil.rmtree(staging, ignore_errors=True)
    source_bytes = sum((run.payload / n).stat().st_size for n in names)

    # mkupdate build, its time and peak memory.
    updater = run.folder / "updater.exe"
    template = options.updater or (wine.build / "updater.exe")
    started = time.perf_counter()
    built = subprocess.run(["/usr/bin/time", "-v", str(options.mkupdate), "build", str(run.payload), "-o",
                            str(updater), "--updater", str(template), "--arch", options.arch, "-q",
                            *(["--method", options.method] if options.method else [])],
                           capture_output=True, text=True)
    build_seconds = time.perf_counter() - started
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", built.stderr)
    result = {"arch": options.arch, "updater": str(template), "files": len(names), "bytes": source_bytes,
              "data": options.data if options.entry is not None else "small files",
              "mkupdate_exit": built.returncode, "mkupdate_seconds": round(build_seconds, 1),
              "mkupdate_peak_kib": int(rss.group(1)) if rss else None}
    if built.returncode != 0:
        result["mkupdate_said"] = built.stderr.splitlines()[0] if built.stderr else ""
        print(json.dumps(result))
        return 1
    result["exe_bytes"] = updater.stat().st_size

    # The run, sampled; the installation record written just before it (a
    # long build leaves time for other runs of the harness to write theirs).
    harness.write_record(case, wine, run)
    sampler = Sampler("updater.exe")
    sampler.start()
    started = time.perf_counter()
    records, failure = harness.play(case, wine, run, updater, case.steps)
    result["run_seconds"] = round(time.perf_counter() - started, 2)
    sampler.stop = True
    sampler.join()
    result["updater_peak_kib"] = sampler.peak
    if failure:
        result["problems"] = [failure]
    else:
        result["problems"] = harness.judge(case, wine, run, records, case.steps)
        wrong = [n for n in names if not (run.game / n).is_file() or sha(run.game / n) != sha(run.payload / n)]
        if wrong:
            result["problems"].append(f"{len(wrong)} files differ, first {wrong[0]}")
    if options.files:
        copy_to = work / "plain-copy"
        shutil.rmtree(copy_to, ignore_errors=True)
        copy_to.mkdir()
        result["plain_copy_seconds"] = round(plain_copy(run.payload, names, copy_to), 3)
        shutil.rmtree(copy_to, ignore_errors=True)
    if not options.keep:
        shutil.rmtree(run.game, ignore_errors=True)
        shutil.rmtree(run.payload, ignore_errors=True)
        updater.unlink(missing_ok=True)
    harness.stop_wine_server(wine)
    harness.release_drives(work)
    print(json.dumps(result))
    return 1 if result["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
