#!/usr/bin/env python3
"""The demo: installs the example game into the Wine prefix, builds the
example update with mkupdate, runs it, and shows which files changed.
With a display and a terminal the player clicks through the wizard; without
one (CI, Xvfb) the end-to-end driver plays it and every screen is printed.

  scripts/demo_run.py [--headless]
"""
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness  # noqa: E402

# The control ids, read from the updater's own header.
OK, NEXT, BACK, CANCEL, AGREE, DISAGREE = (harness.case_module.OK, harness.case_module.NEXT, harness.case_module.BACK,
                                           harness.case_module.CANCEL, harness.case_module.AGREE,
                                           harness.case_module.DISAGREE)

# The shipped i686 build, or the x86_64 one where this machine runs no 32-bit
# code (scripts/wine-env.sh).
X86_64_ONLY = os.environ.get("KOUSHIN_WINE_32BIT") == "0"
BUILD = ROOT / "build" / ("win64" if X86_64_ONLY else "win32")
OUT = ROOT / "build" / "demo"
KEY = "Koushin Sample Works\\HoshiNoKouro"


def snapshot(*folders):
    files = {}
    for folder in folders:
        for p in sorted(folder.rglob("*")):
            if p.is_file():
                files[str(p.relative_to(folder.parent))] = (p.stat().st_size, hashlib.sha1(p.read_bytes()).hexdigest())
    return files


def show(record):
    if record.get("window") == "box":
        print(f"  ┌ {record['caption']}  [{'error icon' if record['icon'] else 'no icon'}]")
        for line in re.split(r"\r\n|\r|\n", record["text"]):
            print(f"  │ {line}")
        print(f"  └ buttons: {' '.join('[' + b + ']' for b in record['buttons'])}")
    elif record.get("window") == "wizard":
        print(f"  ┌ {record['caption']}")
        for line in re.split(r"\r\n|\r|\n", record["info"]):
            print(f"  │ {line}")
        c = record["controls"]
        agree, disagree = str(AGREE), str(DISAGREE)
        if agree in c and c[agree]["visible"]:
            print(f"  │ (agreement text)  {'(•)' if c[agree]['checked'] else '( )'} 同意する  "
                  f"{'(•)' if c[disagree]['checked'] else '( )'} 同意しない")
        buttons = [(i, c[str(i)]) for i in (BACK, NEXT, CANCEL)]
        print("  └ " + "  ".join(f"[{b['text']}]" if b["enabled"] else f"({b['text']})" for _, b in buttons))


def main():
    headless = "--headless" in sys.argv or os.environ.get("CI") or not sys.stdin.isatty()
    OUT.mkdir(parents=True, exist_ok=True)
    if X86_64_ONLY:
        print("this machine runs no 32-bit code: the demo runs the x86_64 updater instead of the i686 one")
    wine = harness.Wine(BUILD)
    disc = OUT / "disc1"
    shutil.rmtree(disc, ignore_errors=True)
    shutil.copytree(ROOT / "examples" / "disc1", disc)
    harness.put_cd_drive(wine, "d", disc)
    harness.stop_wine_server(wine)

    games = wine.drive_c / "Games"
    install, save = games / "HoshiNoKouro", games / "HoshiNoKouro-save"
    shutil.rmtree(games, ignore_errors=True)
    shutil.copytree(ROOT / "examples" / "game" / "install", install)
    shutil.copytree(ROOT / "examples" / "game" / "savedata", save)
    for p in list(install.rglob("*")) + list(save.rglob("*")):
        os.utime(p, (1577836800, 1577836800))  # installed on 1 January 2020
    record = {"InstPath": "C:\\Games\\HoshiNoKouro", "DataPath": "C:\\Games\\HoshiNoKouro-save", "InstMode": 1,
              "InstAdd": 0}
    wine.import_reg(OUT / "record.reg", harness.record_text(KEY, record, clear=(KEY,)))
    print("installed the example game in C:\\Games\\HoshiNoKouro (InstMode 1), its disc 1 in drive D:")

    exe = OUT / "HoshiNoKouro-1.01.exe"
    subprocess.run([str(ROOT / "build" / "dist" / "mkupdate"), "build", str(ROOT / "examples" / "update"),
                    "-o", str(exe), "-v"] + (["--arch", "x86_64"] if X86_64_ONLY else []), check=True)
    before = snapshot(install, save)
    if headless:
        script = OUT / "script.txt"
        steps = ["start", f"press\t{OK}", f"check\t{AGREE}", f"press\t{NEXT}", f"press\t{NEXT}", f"press\t{NEXT}", "end"]
        script.write_text("\n".join(steps) + "\n", encoding="utf-8")
        transcript = OUT / "transcript.jsonl"
        wine.run([str(BUILD / "tests" / "e2e" / "e2e_driver.exe"), harness.windows_path(script),
                  harness.windows_path(transcript), harness.windows_path(exe)], cwd=OUT)
        answers = ["OK", "同意する", "次へ", "次へ", "完了"]
        windows = [json.loads(l) for l in transcript.read_text(encoding="utf-8").splitlines() if '"window"' in l]
        for step, (record, answer) in enumerate(zip(windows, answers), 1):
            print(f"\nscreen {step}:")
            show(record)
            print(f"  → {answer}")
        code = next((json.loads(l)["exit"] for l in transcript.read_text().splitlines() if '"exit"' in l), None)
    else:
        print("the updater opens now: follow it through")
        code = wine.run([harness.windows_path(exe)], timeout=None).returncode
    print(f"\nthe updater ended with exit code {code} ({'update completed' if code == 1 else 'not completed'})")
    after = snapshot(install, save)
    print("\nfiles changed:")
    for name in sorted(set(before) | set(after)):
        if name not in before:
            print(f"  added    {name} ({after[name][0]} bytes)")
        elif name not in after:
            print(f"  removed  {name}")
        elif before[name] != after[name]:
            print(f"  replaced {name} ({before[name][0]} -> {after[name][0]} bytes)")
        else:
            print(f"  kept     {name}")
    return 0 if code == 1 else 1


if __name__ == "__main__":
    sys.exit(main())
