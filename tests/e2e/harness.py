#!/usr/bin/env python3
"""Runs the end-to-end cases of cases.py: the real updater.exe under Wine,
with a real registry record, real files and the driver answering every window.

Each case writes its installation record (one regedit import), lays out the
installation folder, packs its payload with mkupdate, and runs the driver,
which adds the payload to a copy of updater.exe, starts it and plays the
case's steps. The transcript, the files and the exit code are then checked.

  tests/e2e/harness.py BUILD_DIR [-k SUBSTRING] [--shots DIR]
"""
import argparse
import dataclasses
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(pathlib.Path(__file__).parent))
import cases as case_module  # noqa: E402

CASE_TIMEOUT = 90
CD_LETTERS = "def"      # CD-ROM drives, each a folder under build/e2e/cd
SMALL_DISK = "g"        # a tmpfs of a fixed size, for the free-space cases
SMALL_DISK_BYTES = 4 << 20
NEVER_STARTED = "the driver never started: there is no transcript"


def windows_path(path: pathlib.Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_value(value) -> str:
    if isinstance(value, int):
        return "dword:%08x" % value
    if isinstance(value, bytes):
        return "hex:" + ",".join("%02x" % b for b in value)
    return reg_string(value)


class Wine:
    def __init__(self, build: pathlib.Path):
        self.env = dict(os.environ)
        if self.env.get("WINEDEBUG", "-all") == "-all":
            # Wine's word when it cannot make windows at all, into each case's
            # log; and its note of each process mitigation asked for.
            self.env["WINEDEBUG"] = "-all,err+winediag,fixme+process"
        self.prefix = pathlib.Path(self.env["WINEPREFIX"])
        self.build = build
        self.drive_c = self.prefix / "drive_c"
        self.code_page = 932 if self.env.get("LANG", "").startswith("ja_JP") else 1252

    def run(self, args, timeout=None, cwd=None, log=None):
        # The case's time, as CASE_TIMEOUT stands when called (a benchmark sets it longer).
        timeout = timeout or CASE_TIMEOUT
        # No pipes: Wine's own services, started by whichever process comes
        # first, would keep them open and the wait would never end. A file
        # does not have that problem.
        with open(log, "wb") if log else open(os.devnull, "wb") as out:
            return subprocess.run(["wine"] + args, env=self.env, stdout=out, stderr=out, timeout=timeout, cwd=cwd)

    def import_reg(self, path: pathlib.Path, text: str):
        path.write_bytes(("\ufeff" + text).encode("utf-16-le"))
        self.run(["regedit", "/S", windows_path(path)])


def put_cd_drive(wine: "Wine", letter: str, folder: pathlib.Path):
    """Makes `letter`: a CD-ROM drive that shows `folder`. Wine reads drive
    types when its server starts: restart it afterwards."""
    link = wine.prefix / "dosdevices" / f"{letter}:"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(folder)
    # Wine itself reads this key from the 64-bit view.
    wine.run(["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", f"{letter}:", "/t", "REG_SZ", "/d", "cdrom", "/f",
              "/reg:64"])


def record_text(key: str, values, clear=()) -> str:
    """A registry file that removes the keys `clear` and writes the record
    `values` (or none) under HKEY_CURRENT_USER\\Software\\`key`."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for k in clear:
        lines += [f"[-HKEY_CURRENT_USER\\Software\\{k}]", ""]
    if values is not None:
        lines.append(f"[HKEY_CURRENT_USER\\Software\\{key}]")
        lines += [f"{reg_string(name)}={reg_value(value)}" for name, value in values.items()]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def setup_drives(wine: "Wine", work: pathlib.Path):
    """The CD-ROM drives and the small disk. Wine reads drive types when its
    server starts, so the server is restarted after they are set."""
    cd_root = work / "cd"
    for letter in CD_LETTERS:
        folder = cd_root / letter
        folder.mkdir(parents=True, exist_ok=True)
        put_cd_drive(wine, letter, folder)
    small = work / "small-disk"
    small.mkdir(parents=True, exist_ok=True)
    mounted = is_mounted(small)
    if not mounted:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={SMALL_DISK_BYTES}", "tmpfs", str(small)],
                                 stderr=subprocess.DEVNULL).returncode == 0
    link = wine.prefix / "dosdevices" / f"{SMALL_DISK}:"
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(small)
    stop_wine_server(wine)
    subprocess.run(["wineserver", "-p", "60"], env=wine.env, stderr=subprocess.DEVNULL)
    return cd_root, small if mounted else None


def is_mounted(folder: pathlib.Path) -> bool:
    return subprocess.run(["mountpoint", "-q", str(folder)]).returncode == 0


def stop_wine_server(wine: "Wine"):
    """Ends the prefix's Wine server and waits until it is gone."""
    subprocess.run(["wineserver", "-k"], env=wine.env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=wine.env, stderr=subprocess.DEVNULL)


def release_drives(work: pathlib.Path):
    """Unmounts the small disk again, so that the build folder can be removed."""
    small = work / "small-disk"
    if is_mounted(small):
        subprocess.run(["umount", str(small)], stderr=subprocess.DEVNULL)


def write_text(path: pathlib.Path, text):
    """Writes a file of a case; its name may use backslashes between folders."""
    path = pathlib.Path(str(path).replace("\\", "/"))
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_bytes(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp932"))


def matches(expected, actual, where=""):
    """Every key that the case names must be in the transcript, equal."""
    problems = []
    if isinstance(expected, dict):
        if not isinstance(actual, dict):
            return [f"{where}: expected {expected!r}, saw {actual!r}"]
        for key, value in expected.items():
            problems += matches(value, actual.get(key), f"{where}.{key}")
    elif expected != actual:
        problems.append(f"{where}: expected {expected!r}, saw {actual!r}")
    return problems


def clear_folder(folder: pathlib.Path):
    for child in folder.iterdir() if folder.exists() else []:
        if child.is_dir() and not child.is_symlink():
            for sub in child.rglob("*"):
                sub.chmod(0o755 if sub.is_dir() else 0o644)
            shutil.rmtree(child)
        else:
            child.chmod(0o644)
            child.unlink()


def user_temp(wine: Wine) -> pathlib.Path:
    return wine.drive_c / "users" / os.environ.get("USER", "root") / "Temp"


def written_to_temp(wine: Wine):
    """What in the user's temporary folder looks like a script or an update."""
    temp = user_temp(wine)
    return [p.name for p in temp.iterdir() if p.name.upper().startswith("UPDATE") or p.suffix.upper() == ".INI"] \
        if temp.exists() else []


def lay_out(case, wine: Wine, work: pathlib.Path, drives):
    """The case's folder, installation, data folder and discs, laid out anew.
    Returns the Run that prepare and check functions are given, or None when
    the case cannot run here."""
    cd_root, small = drives
    for name in written_to_temp(wine):   # an earlier case's failure, already reported
        (user_temp(wine) / name).unlink()
    folder = work / case.slug
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    if case.small_disk:
        if small is None:
            return None
        clear_folder(small)
        install_unix = small
        paths = {"game": f"{SMALL_DISK.upper()}:\\game", "data": f"{SMALL_DISK.upper()}:\\data"}
    else:
        install_unix = wine.drive_c / "koushin" / case.slug
        clear_folder(install_unix)
        base = "C:\\koushin\\" + case.slug + ("\\" + case.install_folder if case.install_folder else "")
        install_unix = install_unix / case.install_folder if case.install_folder else install_unix
        paths = {"game": base + "\\game", "data": base + "\\data"}
    paths["cd"] = {letter: windows_path(cd_root / letter) for letter in CD_LETTERS}
    run = case_module.Run(game=install_unix / "game", data=install_unix / "data", folder=folder,
                          payload=folder / "payload", paths=paths)
    run.game.mkdir(parents=True, exist_ok=True)
    run.data.mkdir(parents=True, exist_ok=True)
    for letter in CD_LETTERS:
        clear_folder(cd_root / letter)
        for name, content in case.discs.get(letter, {}).items():
            if content is None:
                (cd_root / letter / name.replace("\\", "/")).mkdir(parents=True, exist_ok=True)
            else:
                write_text(cd_root / letter / name, content)
    if case.setup_ini is not None:
        write_text(run.game / "SETUP.INI", case.setup_ini)
    for name, content in case.game_files.items():
        write_text(run.game / name, content)
    for name, content in case.data_files.items():
        write_text(run.data / name, content)
    if case.prepare:
        case.prepare(run)
    # What the small disk has free once the installation is on it.
    paths["small_free"] = os.statvfs(small).f_bavail * os.statvfs(small).f_frsize if case.small_disk else 0
    return run


def write_record(case, wine: Wine, run):
    """The installation record, replaced whole by one regedit import."""
    values = case.record(run.paths) if case.record is not None else None
    wine.import_reg(run.folder / "record.reg", record_text(case.record_key, values, case.clear_keys))


def build_updater(case, wine: Wine, run, mkupdate: pathlib.Path) -> pathlib.Path:
    """The update executable, made by mkupdate as a publisher makes it, then
    damaged, surrounded by planted DLLs or replaced as the case asks."""
    run.payload.mkdir()
    if case.diff:
        old, new = (pathlib.Path(__file__).resolve().parents[2] / d for d in case.diff)
        subprocess.run([str(mkupdate), "diff", str(old), str(new), "-o", str(run.payload), "-q"], check=True)
    if case.script is not None:
        write_text(run.payload / "UPDATE.INI", case.script(run.paths) if callable(case.script) else case.script)
    for name, content in case.payload_files.items():
        write_text(run.payload / name, content)
    if case.make_payload:
        case.make_payload(run.payload)
    updater = run.folder / "updater.exe"
    if case.embed:
        options = case.build_options(run) if callable(case.build_options) else case.build_options
        subprocess.run([str(mkupdate), "build", str(run.payload), "-o", str(updater), "--updater",
                        str(wine.build / "updater.exe"), "--no-check", "-q", *options], check=True,
                       stderr=subprocess.DEVNULL)
    else:
        shutil.copy(wine.build / "updater.exe", updater)
    if case.damage:
        image = bytearray(updater.read_bytes())
        case.damage(image)
        updater.write_bytes(bytes(image))
    # Planted DLLs: beside the updater, which is also its working folder.
    for name in case.planted:
        shutil.copy(wine.build / "tests" / "e2e" / "planted.dll", run.folder / name)
    if case.program:
        shutil.copy(wine.build / "tests" / "e2e" / case.program, updater)
    return updater


def play(case, wine: Wine, run, updater: pathlib.Path, steps):
    """Runs the driver over the case's steps. Returns the transcript's records
    and None, or None and why there are none: the case timed out, or Wine
    never got the driver going (its first act is to write the transcript)."""
    script = run.folder / "script.txt"
    commands = [c for c, _ in case.before] + ["start"] + [c for c, _ in steps] + ["end"]
    script.write_text("\n".join(commands) + "\n", encoding="utf-8")
    transcript = run.folder / "transcript.jsonl"
    transcript.unlink(missing_ok=True)
    args = [str(wine.build / "tests" / "e2e" / "e2e_driver.exe"), windows_path(script), windows_path(transcript),
            windows_path(updater)]
    try:
        wine.run(args, cwd=run.folder, log=run.folder / "wine.log")
    except subprocess.TimeoutExpired:
        return None, f"timed out after {CASE_TIMEOUT} s"
    if not transcript.exists():
        return None, NEVER_STARTED
    return [json.loads(line) for line in transcript.read_text(encoding="utf-8").splitlines() if line.strip()], None


def judge(case, wine: Wine, run, records, steps):
    """What went other than the case expects: the windows seen, the exit
    codes, the files, and what must not happen in any case."""
    problems = [f"driver: {r['failure']}" for r in records if "failure" in r]
    windows = [r for r in records if "window" in r]
    recording = ("look", "press", "check", "key", "close")
    expected = [e(run.paths) if callable(e) else e for c, e in steps if c.split("\t")[0] in recording]
    for i, exp in enumerate(expected):
        if i >= len(windows):
            problems.append(f"step {i + 1}: expected {exp!r}, saw nothing more")
            break
        if exp is not None:
            if wine.code_page != 932 and "buttons" in exp:
                # The system labels its boxes' buttons in its own language.
                exp = dict(exp, buttons=["Cancel" if b == "キャンセル" else b for b in exp["buttons"]])
            problems += matches(exp, windows[i], f"step {i + 1}")
    code_page = next((r["code_page"] for r in records if "code_page" in r), None)
    if code_page != wine.code_page:
        problems.append(f"system code page: expected {wine.code_page}, saw {code_page}")
    exit_code = next((r["exit"] for r in records if "exit" in r), None)
    if exit_code != case.exit_code:
        problems.append(f"exit code: expected {case.exit_code}, saw {exit_code}")
    for r in records:
        if "second_exit" in r and case.second_exit is not None and r["second_exit"] != case.second_exit:
            problems.append(f"second copy's exit code: expected {case.second_exit}, saw {r['second_exit']}")
    if case.game_visible is not None:
        seen = next((r["game_visible"] for r in records if "game_visible" in r), None)
        if seen != case.game_visible:
            problems.append(f"game window visible: expected {case.game_visible}, saw {seen}")
    if case.check:
        try:
            problems += case.check(run)
        except OSError as error:   # a file the check reads is missing, for instance
            problems.append(f"check: {error}")
    # Nothing is written to the user's temporary folder: no script, no copy.
    written = written_to_temp(wine)
    if written:
        problems.append(f"files written to the temporary folder: {written}")
    ran = sorted(p.name[:-len(".loaded")] for p in run.folder.glob("*.loaded"))
    if ran and not case.planted_may_run:
        problems.append(f"planted DLLs ran: {ran}")
    if case.planted_may_run and not ran:
        problems.append("no planted DLL ran: the case cannot tell a hardened program from another")
    return problems


# --- The plan against the real run ------------------------------------------
# For every case that runs the update, mkupdate plan is asked first what the
# run will do to the case's installation; after the run, its outcome, its
# boxes and the files it changed must be what the updater did.
RECORDING = ("look", "press", "check", "key", "close")
COMPLETED_INFO = "アップデートは完了しました"
NOTHING_TO_DO_TEXT = "アップデートする必要のあるファイルはありません"
INTERRUPTED_TEXT = "アップデートが中断されました"
SPACE_SHORT_INFO = "ディスク容量が足りません。"


def runs_update(case) -> bool:
    """Whether the case's player goes on from the confirmation page."""
    def confirming(e):
        return isinstance(e, dict) and e.get("window") == "wizard" and e.get("info") == case_module.CONFIRM["info"]
    return any(confirming(e) and c in (f"press\t{case_module.NEXT}", "key\tenter")
               for c, e in case.steps if isinstance(c, str))


def cp932_safe(text: str) -> str:
    """A Windows path with each character that code page 932 cannot spell
    made "_" (the updater sees such folders by their short names)."""
    return "".join(ch if ch.encode("cp932", "ignore") else "_" for ch in text)


def plan_command(case, run, updater: pathlib.Path, mkupdate: pathlib.Path, cd_root: pathlib.Path):
    values = case.record(run.paths) if case.record else {}
    command = [str(mkupdate), "plan", str(updater), "--inst", str(run.game), "--json",
               "--inst-path", cp932_safe(values.get("InstPath", run.paths["game"]))]
    mode = values.get("InstMode", 0)
    command += ["--mode", str(mode if isinstance(mode, int) else 0)]
    data = values.get("DataPath")
    if isinstance(data, str) and len(data) > 2 and data[1] == ":":
        command += ["--data", str(run.data), "--data-path", cp932_safe(data)]
    elif isinstance(data, str):
        command += ["--data-path", data]
    for letter in CD_LETTERS:
        command += ["--drive", f"{letter}={cd_root / letter}"]
    return command


def ask_plan(case, run, updater, mkupdate, cd_root):
    """The plan's last object (its outcome), or a problem."""
    result = subprocess.run(plan_command(case, run, updater, mkupdate, cd_root), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=CASE_TIMEOUT)
    lines = result.stdout.decode("utf-8").splitlines()
    (run.folder / "plan.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    if result.returncode not in (0, 1) or not lines:
        return None, f"plan: exit {result.returncode}: {result.stderr.decode('utf-8', 'replace').strip()}"
    outcome = json.loads(lines[-1])
    if (result.returncode == 0) != (outcome["outcome"] in ("completed", "nothing-to-update")):
        return None, f"plan: exit {result.returncode} with the outcome {outcome['outcome']}"
    return outcome, None


def snapshot(case, run):
    """The installation's files and their bytes, by the plan's names."""
    folders = [("inst", run.game)]
    data = (case.record(run.paths) if case.record else {}).get("DataPath")
    if isinstance(data, str) and len(data) > 2 and data[1] == ":":
        folders.append(("data", run.data))
    files = {}
    for base, folder in folders:
        for path in folder.rglob("*"):
            if path.is_file() and not path.is_symlink():
                files[f"{base}:" + str(path.relative_to(folder)).replace("/", "\\")] = path.read_bytes()
    return files


def what_the_run_did(records, steps, before, after):
    """The outcome, boxes and changed files of the real run, in the plan's terms."""
    recorded = [c.split("\t")[0] for c, _ in steps if c.split("\t")[0] in RECORDING]
    windows = [r for r in records if "window" in r]
    boxes, outcome = [], "unknown"
    for kind, w in zip(recorded, windows):
        if w.get("window") == "wizard" and w.get("info", "").startswith(SPACE_SHORT_INFO):
            outcome = "stopped-for-space"
            break
        if w.get("window") == "wizard" and w.get("info") == COMPLETED_INFO:
            outcome = "nothing-to-update" if NOTHING_TO_DO_TEXT in boxes else "completed"
        if kind != "look" and w.get("window") == "box":   # a box looked at is pressed next
            boxes.append(w.get("text"))
    if outcome == "unknown" and INTERRUPTED_TEXT in boxes:
        outcome = "interrupted"
    changed = sorted(name for name, content in after.items() if before.get(name) != content)
    return {"outcome": outcome, "boxes": boxes, "changed": changed}


def compare_plan(plan, real):
    problems = []
    for key in ("outcome", "boxes", "changed"):
        planned = sorted(plan[key]) if key == "changed" else plan[key]
        if planned != real[key]:
            problems.append(f"plan: {key} {planned!r}, the run: {real[key]!r}")
    return problems


def wine_said(log: pathlib.Path, indent: str) -> str:
    """The last lines Wine wrote to a case's log, indented, or "" if none."""
    lines = log.read_text(errors="replace").strip().splitlines()[-20:]
    return "wine said:\n" + "\n".join(indent + line for line in lines) if lines else ""


@dataclasses.dataclass
class Skipped:
    """A case that cannot run on this machine, and why."""
    why: str


def run_case(case, wine: Wine, work: pathlib.Path, mkupdate: pathlib.Path, shots: pathlib.Path, drives):
    run = lay_out(case, wine, work, drives)
    if run is None:
        return Skipped("no small disk (mounting a tmpfs needs root)"), 0.0
    write_record(case, wine, run)
    updater = build_updater(case, wine, run, mkupdate)
    steps = [(c(run.paths) if callable(c) else c, e) for c, e in case.steps]
    plan = plan_problem = before = None
    if runs_update(case) and not case.plan_cannot_foresee:
        plan, plan_problem = ask_plan(case, run, updater, mkupdate, drives[0])
        before = snapshot(case, run)
    started = time.time()
    records, failure = play(case, wine, run, updater, steps)
    if failure == NEVER_STARTED:
        # Nothing of the case has run yet (the driver starts the updater), so
        # one more try is a fair test; the first try's log is kept and shown.
        first = run.folder / "wine-first-try.log"
        (run.folder / "wine.log").replace(first)
        print(f"note {case.slug}: {failure}; once more. " + wine_said(first, "     "))
        records, failure = play(case, wine, run, updater, steps)
    elapsed = time.time() - started
    if failure:
        said = wine_said(run.folder / "wine.log", "  ")
        return [failure] + ([said] if said else []), elapsed
    problems = judge(case, wine, run, records, steps)
    if plan_problem:
        problems.append(plan_problem)
    elif plan is not None:
        problems += compare_plan(plan, what_the_run_did(records, steps, before, snapshot(case, run)))
    for bmp in run.folder.glob("*.bmp"):
        shots.mkdir(parents=True, exist_ok=True)
        subprocess.run(["convert", str(bmp), str(shots / (bmp.stem + ".png"))], check=False)
    if problems:
        problems.append("transcript:\n  " + "\n  ".join(json.dumps(r, ensure_ascii=False) for r in records))
        said = wine_said(run.folder / "wine.log", "  ")
        if said:
            problems.append(said)
    return problems, elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=pathlib.Path, help="the Windows build folder (build/win32)")
    parser.add_argument("--mkupdate", type=pathlib.Path, default=ROOT / "build" / "native" / "tools" / "mkupdate")
    parser.add_argument("-k", dest="filter", default="", help="only cases whose name holds one of these (a,b,...)")
    parser.add_argument("--representative", action="store_true",
                        help="only the cases marked as representative (for the other code page and build)")
    parser.add_argument("--shots", type=pathlib.Path, default=ROOT / "artifacts" / "screenshots")
    options = parser.parse_args()
    wine = Wine(options.build.resolve())
    # Every case needs windows: without a display each would fail alike.
    if subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        print(f"e2e: the display {os.environ.get('DISPLAY')!r} does not answer (scripts/e2e.sh starts one)")
        return 1
    work = ROOT / "build" / "e2e" / options.build.name
    work.mkdir(parents=True, exist_ok=True)
    wanted = [f for f in options.filter.split(",") if f] or [""]
    selected = [c for c in case_module.CASES
                if any(f in c.slug for f in wanted) and (c.representative or not options.representative)]
    passed = failed = skipped = 0
    planned = sum(1 for c in selected if runs_update(c) and not c.plan_cannot_foresee)
    unforeseeable = sum(1 for c in selected if runs_update(c) and c.plan_cannot_foresee)
    drives = setup_drives(wine, work)
    for case in selected:
        problems, elapsed = run_case(case, wine, work, options.mkupdate, options.shots, drives)
        if isinstance(problems, Skipped):
            skipped += 1
            print(f"skip {case.slug}: {problems.why}")
        elif problems:
            failed += 1
            print(f"FAIL {case.slug} ({elapsed:.1f} s)")
            for p in problems:
                print("     " + p.replace("\n", "\n     "))
        else:
            passed += 1
            print(f"ok   {case.slug} ({elapsed:.1f} s)")
    stop_wine_server(wine)
    release_drives(work)
    print(f"e2e: {passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else "") +
          f"; mkupdate plan checked against {planned} runs ({unforeseeable} it cannot foresee)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
