#!/usr/bin/env python3
"""Tests of mkupdate as a publisher uses it: the round trip of pack, list and
extract; every pitfall of check; the executable that build writes (an
independent PE parser, the templates kept, reproducible on Linux and under
Wine, signable); the command line's exit codes and progress display.

  tests/tools/mkupdate_test.py build/dist
"""
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import traceback

import pefile

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "dist").resolve()
MKUPDATE = DIST / "mkupdate"
# The Windows mkupdate run under Wine: the shipped i686 one, or another build
# where this machine cannot run 32-bit code (scripts/test.sh sets it).
MKUPDATE_EXE = pathlib.Path(os.environ.get("KOUSHIN_MKUPDATE_EXE", DIST / "mkupdate.exe"))
TESTS = []


def test(function):
    TESTS.append(function)
    return function


def run(*args, cwd=None):
    return subprocess.run([str(MKUPDATE), *map(str, args)], capture_output=True, cwd=cwd)


def write(path: pathlib.Path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text if isinstance(text, bytes) else text.replace("\n", "\r\n").encode("cp932"))


SCRIPT = """[SETUP]
CompanyName=Co
GameTitle=星の航路
GameClass=Class
GameDir=Dir
[UPDATE]
UpdateFile00=GAME.EXE
"""


def folder_with(script=SCRIPT, files=None):
    d = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-test-"))
    write(d / "UPDATE.INI", script)
    for name, content in (files if files is not None else {"GAME.EXE": b"MZ game"}).items():
        write(d / name, content)
    return d


@test
def pack_list_extract_round_trip():
    d = folder_with(files={"GAME.EXE": bytes(range(256)) * 300, "表示.txt": "日本語の名前", "empty.bin": b"",
                           "sub/deeper/random.bin": random.Random(1).randbytes(70000)})
    os.utime(d / "GAME.EXE", ns=(1_600_000_000_123_456_700, 1_600_000_000_123_456_700))
    out = d.parent / (d.name + ".bin")
    assert run("pack", d, "-o", out, "-q").returncode == 0
    listing = run("list", out).stdout.decode()
    for name in ("GAME.EXE", "表示.txt", "empty.bin", "random.bin", "UPDATE.INI"):
        assert name in listing, listing
    assert re.search(r"76800\s+\d+\s+compressed\s+2020-09-13 12:26:40\s+GAME.EXE", listing), listing
    assert re.search(r"70000\s+70000\s+stored", listing), "random data is stored: " + listing
    back = d.parent / (d.name + "-back")
    assert run("extract", out, "-o", back).returncode == 0
    for original in [p for p in d.rglob("*") if p.is_file()]:
        copy = back / original.name
        assert copy.read_bytes() == original.read_bytes(), original
        assert copy.stat().st_mtime_ns // 100 == original.stat().st_mtime_ns // 100, original


@test
def two_files_of_one_name_are_refused():
    d = folder_with(files={"GAME.EXE": b"x", "a/data.bin": b"1", "b/DATA.BIN": b"2"})
    result = run("pack", d, "-o", d / "x.bin")
    assert result.returncode == 1
    message = result.stderr.decode()
    assert "a/data.bin" in message and "b/DATA.BIN" in message, message


PITFALLS = [
    ("required key missing", SCRIPT.replace("GameClass=Class\n", ""), True, "[SETUP] GameClass is missing"),
    ("gap in the list", SCRIPT + "UpdateFile02=GAME.EXE\n", False, "UpdateFile02 is never read: the list ends at UpdateFile01"),
    ("more than 16 lines", SCRIPT + "".join(f"UpdateFile{n:02}=GAME.EXE\n" for n in range(1, 17)), False,
     "UpdateFile16 is never read: the updater reads at most 16"),
    ("kind letter and a blank", SCRIPT.replace("UpdateFile00=GAME.EXE", "UpdateFile00=u ,GAME.EXE"), True,
     "kind letter 'u' followed by a blank"),
    ("two-character mode", SCRIPT.replace("UpdateFile00=GAME.EXE", "UpdateFile00=12,GAME.EXE"), True,
     "'12', which is no install mode"),
    ("entry not supplied", SCRIPT + "UpdateFile01=data\\MISSING.DAT\n", True,
     "needs the file 'MISSING.DAT', which is not among the files"),
    ("two lines share a name", SCRIPT + "UpdateFile01=a\\GAME.EXE\n", False, "all take the same file 'GAME.EXE'"),
    ("agreement missing", SCRIPT.replace("GameDir=Dir", "GameDir=Dir\nAgreementText=AGREE.TXT"), True,
     "AgreementText names 'AGREE.TXT', which is not among the files"),
    ("copy line without disc", SCRIPT + "CopyFile00=1,2:movie\nCopyFile01=intro.mpg\n", True,
     "CopyFile01 is the first copy line for install mode 0, 2, 3, 4, 5, 6, 7, 8, 9 and names no disc"),
    ("value cut by its holder", SCRIPT.replace("GameDir=Dir", "GameDir=Dir\nUpdaterTitle=" + "x" * 300), False,
     "UpdaterTitle is 300 bytes long: the updater keeps only the first 259"),
    ("update line leaves its folder", SCRIPT + "UpdateFile01=..\\..\\GAME.EXE\n", True,
     "writes to '..\\..\\GAME.EXE', outside its folder"),
    ("update line with a drive", SCRIPT + "UpdateFile01=C:\\Windows\\GAME.EXE\n", True, "outside its folder"),
    ("copy line from the root", SCRIPT + "CopyFile00=2:\\Windows\\x.dll\n", True,
     "copies to '\\Windows\\x.dll', outside the installation folder"),
    ("data folder leaves its folder", SCRIPT.replace("GameDir=Dir", "GameDir=Dir\nDataFolder=..\\save"), True,
     "DataFolder is '..\\save', outside the data folder"),
]


@test
def check_finds_every_pitfall():
    for name, script, is_error, expected in PITFALLS:
        d = folder_with(script)
        result = run("check", d)
        message = result.stderr.decode()
        assert expected in message, f"{name}: {message}"
        assert ("error:" in message) == is_error, f"{name}: {message}"
        assert result.returncode == (1 if is_error else 0), f"{name}: exit {result.returncode}"
        built = run("build", d, "-o", d / "u.exe")
        assert built.returncode == (1 if is_error else 0), f"{name}: build exit {built.returncode}"


@test
def check_is_quiet_on_a_clean_script():
    result = run("check", ROOT / "examples" / "update")
    assert result.returncode == 0 and result.stderr == b"", result.stderr.decode()


@test
def build_writes_a_valid_signable_reproducible_executable():
    work = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-build-"))
    src = ROOT / "examples" / "update"
    for arch in ("i686", "x86_64"):
        first, second = work / f"a-{arch}.exe", work / f"b-{arch}.exe"
        assert run("build", src, "-o", first, "--arch", arch, "-q").returncode == 0
        assert run("build", src, "-o", second, "--arch", arch, "-q", "-j", "1").returncode == 0
        assert first.read_bytes() == second.read_bytes(), "two builds differ (one file at a time, and at once)"
        pe = pefile.PE(str(first))
        assert pe.verify_checksum()
        kinds = {str(e.name) if e.name else e.id: e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries}
        assert "UPDATE" in kinds and 5 in kinds and 24 in kinds, kinds.keys()
        assert subprocess.run(["/usr/bin/python3", str(ROOT / "tests/e2e/check_templates.py"), str(first)],
                              capture_output=True).returncode == 0
        # The archive inside is the one pack writes.
        raw = work / f"{arch}.bin"
        run("pack", src, "-o", raw, "-q")
        payload = kinds["UPDATE"].directory.entries[0].directory.entries[0].data.struct
        assert pe.get_data(payload.OffsetToData, payload.Size) == raw.read_bytes()
    # The Windows build of the tool, under Wine, writes the same bytes.
    env = dict(os.environ, WINEDEBUG="-all")
    wine_out = work / "wine.exe"
    subprocess.run(["wine", str(MKUPDATE_EXE), "build", "Z:" + str(src).replace("/", "\\"), "-o",
                    "Z:" + str(wine_out).replace("/", "\\"), "-q"], env=env, capture_output=True, timeout=120)
    assert wine_out.exists() and wine_out.read_bytes() == (work / "a-i686.exe").read_bytes(), \
        "mkupdate.exe under Wine writes other bytes"
    # Signing: the executable takes an Authenticode signature and verifies.
    key, cert = work / "key.pem", work / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=koushin test"], capture_output=True, check=True)
    signed = work / "signed.exe"
    sign = subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", work / "a-i686.exe",
                           "-out", signed], capture_output=True)
    assert sign.returncode == 0, sign.stdout + sign.stderr
    verify = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", cert], capture_output=True)
    assert verify.returncode == 0, verify.stdout + verify.stderr
    # A signed executable can be rebuilt: the stale signature is dropped.
    rebuilt = work / "rebuilt.exe"
    assert run("build", src, "-o", rebuilt, "--updater", signed, "-q").returncode == 0
    assert pefile.PE(str(rebuilt)).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size == 0


def update_resource_span(exe: pathlib.Path, resource_id: int):
    pe = pefile.PE(str(exe))
    kind = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.name and str(e.name) == "UPDATE")
    entry = next((e for e in kind.directory.entries if e.id == resource_id), None)
    if entry is None:
        return None
    data = entry.directory.entries[0].data.struct
    return pe.get_offset_from_rva(data.OffsetToData), data.Size


@test
def a_damaged_payload_is_refused_by_list_extract_and_verify():
    noise = random.Random(5).randbytes(5000)  # stored, first in name order: its data at offset 16
    d = folder_with(files={"A.BIN": noise, "GAME.EXE": b"MZ game" * 100})
    exe = d.parent / (d.name + ".exe")
    assert run("build", d, "-o", exe, "-q").returncode == 0
    good = run("verify", exe)
    assert good.returncode == 0 and b"3 entries decoded, the checksum matches" in good.stdout, good.stdout
    assert re.search(rb"checksum: XXH64 [0-9a-f]{16} over \d+ bytes, matches", run("list", exe, "-v").stdout)
    offset, _ = update_resource_span(exe, 102)
    damaged = bytearray(exe.read_bytes())
    damaged[offset + 16 + 2000] ^= 0x04
    exe.write_bytes(bytes(damaged))
    for command in (["list"], ["verify"], ["extract", "-o", d / "out"]):
        result = run(*command[:1], exe, *command[1:])
        assert result.returncode == 1 and b"the payload is damaged" in result.stderr, (command, result.stderr)
    assert not (d / "out").exists() or not any((d / "out").iterdir()), "extract wrote files of a damaged payload"
    # The checksum record itself damaged, or cut short.
    exe.write_bytes(bytes(damaged[:offset + 16 + 2000]) + bytes([damaged[offset + 16 + 2000] ^ 0x04]) +
                    bytes(damaged[offset + 16 + 2001:]))
    assert run("verify", exe).returncode == 0
    record_offset, _ = update_resource_span(exe, 103)
    broken = bytearray(exe.read_bytes())
    broken[record_offset + 4] = 9  # an unknown version
    exe.write_bytes(bytes(broken))
    result = run("verify", exe)
    assert result.returncode == 1 and b"unknown version" in result.stderr, result.stderr


@test
def an_update_without_a_checksum_record_still_reads():
    d = folder_with(files={"A.BIN": random.Random(5).randbytes(5000), "GAME.EXE": b"MZ game"})
    with_record, without = d.parent / (d.name + "-with.exe"), d.parent / (d.name + "-without.exe")
    assert run("build", d, "-o", with_record, "-q").returncode == 0
    # Built from an executable that carries a record: the stale record goes.
    assert run("build", d, "-o", without, "--no-checksum", "--updater", with_record, "-q").returncode == 0
    assert update_resource_span(without, 103) is None
    assert b"checksum: none" in run("list", without, "-v").stdout
    offset, _ = update_resource_span(without, 102)
    damaged = bytearray(without.read_bytes())
    damaged[offset + 16 + 2000] ^= 0x04
    without.write_bytes(bytes(damaged))
    result = run("verify", without)
    assert result.returncode == 0 and b"no checksum record" in result.stdout, "nothing can notice this damage"


def raw_archive(entries):
    """An archive image made byte by byte, stored entries and a plain
    directory, with whatever names it is given (as a hostile tool would)."""
    data = b""
    directory = b""
    for name, content in entries:
        data += content + bytes(-len(content) % 16)
        record = name.ljust(260, b"\0") + (1).to_bytes(4, "little") + (132000000000000000).to_bytes(8, "little")
        directory += record + len(content).to_bytes(4, "little") * 2
    return b"FA2\0" + (0).to_bytes(4, "little") + (16 + len(data)).to_bytes(4, "little") + \
        len(entries).to_bytes(4, "little") + data + directory


@test
def extract_never_writes_outside_its_folder():
    work = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-hostile-"))
    hostile = [b"..\\evil1.txt", b"../evil2.txt", b"..", b"sub\\evil3.txt", b"C:evil4.txt", b"\\evil5.txt", b""]
    good = [b"ok.txt", "表.txt".encode("cp932")]  # 表 ends in the byte 0x5C, which is no separator here
    archive = work / "hostile.bin"
    archive.write_bytes(raw_archive([(n, b"x") for n in hostile] + [(n, b"fine") for n in good]))
    out = work / "deep" / "out"
    result = run("extract", archive, "-o", out)
    assert result.returncode == 1, result.returncode
    message = result.stderr.decode()
    for name in ("..\\evil1.txt", "../evil2.txt", "'..'", "sub\\evil3.txt", "C:evil4.txt", "\\evil5.txt", "''"):
        assert name in message, (name, message)
    assert sorted(p.name for p in out.iterdir()) == ["ok.txt", "表.txt"], list(out.iterdir())
    written = [p for p in work.rglob("*") if p.is_file()]
    assert sorted(p.name for p in written) == ["hostile.bin", "ok.txt", "表.txt"], written
    listing = run("list", archive)
    assert listing.returncode == 1 and b"evil1.txt' refused" in listing.stderr, listing.stderr
    assert b"ok.txt" in listing.stdout


# Names no Windows file can have, refused alike on Linux and under Wine: a
# lead byte of code page 932 before a "/" (on Linux iconv cannot convert it,
# and the raw bytes would have made the "/" a separator), bytes that are no
# code page 932 text, device names with or without an extension, characters
# Windows refuses.
UNWRITABLE = [b"\x81/evil6.txt", b"\x81", b"\x80x.txt", b"\xffx.txt", b"CON", b"nul.txt", b"Com1.dat", b"LPT9",
              b"aux .txt", b"CONOUT$", b"a|b.txt", b"a?.txt", b"tab\tname"]


@test
def extract_refuses_names_windows_cannot_hold():
    work = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-names-"))
    archive = work / "names.bin"
    fine = [b"ok.txt", b"CONSOLE.TXT", b"COM10.DAT", b"nul_not.txt", "表.txt".encode("cp932")]
    archive.write_bytes(raw_archive([(n, b"x") for n in UNWRITABLE] + [(n, b"fine") for n in fine]))
    for name, command in (("linux", [str(MKUPDATE)]), ("wine", ["wine", str(MKUPDATE_EXE)])):
        out = work / ("out-" + name)
        target = str(out) if name == "linux" else "Z:" + str(out).replace("/", "\\")
        source = str(archive) if name == "linux" else "Z:" + str(archive).replace("/", "\\")
        result = subprocess.run([*command, "extract", source, "-o", target], capture_output=True, timeout=120,
                                env=dict(os.environ, WINEDEBUG="-all"))
        assert result.returncode == 1, (name, result.returncode, result.stderr)
        refused = result.stderr.decode("utf-8", "replace").count("refused")
        assert refused == len(UNWRITABLE), (name, refused, result.stderr)
        assert sorted(p.name for p in out.iterdir()) == sorted(n.decode("cp932") for n in fine), \
            (name, list(out.iterdir()))
        assert [p for p in work.rglob("evil6.txt")] == [], name


@test
def a_failed_write_leaves_the_previous_output():
    """Every output is written beside its place and renamed into it: a write
    that fails (here: a file system that is full) leaves the old file whole
    and nothing else."""
    work = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-full-"))
    full = work / "full"
    full.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(full)]).returncode != 0:
        print("  (skipped: no tmpfs can be mounted here)")
        return
    try:
        src = folder_with(files={"GAME.EXE": b"MZ game"})
        old = full / "update.exe"
        assert run("build", src, "-o", old, "-q").returncode == 0
        before = old.read_bytes()
        write(src / "NOISE.BIN", random.Random(5).randbytes(200000))  # does not compress: the disk fills up
        for command in (["build", src, "-o", old], ["pack", src, "-o", old]):
            result = run(*command)
            assert result.returncode == 1 and b"cannot be written" in result.stderr, (command, result)
            assert old.read_bytes() == before, f"{command[0]} damaged the previous output"
            assert sorted(p.name for p in full.iterdir()) == ["update.exe"], list(full.iterdir())
        extracted = full / "x"
        extracted.mkdir()
        archive = work / "big.bin"
        archive.write_bytes(raw_archive([(b"A.BIN", random.Random(6).randbytes(240000))]))
        (extracted / "A.BIN").write_bytes(b"old")
        assert run("extract", archive, "-o", extracted).returncode == 1
        assert sorted(p.name for p in extracted.iterdir()) == ["A.BIN"] and (extracted / "A.BIN").read_bytes() == b"old"
    finally:
        subprocess.run(["umount", str(full)])


@test
def sizes_beyond_the_format_are_refused_before_anything_is_written():
    d = folder_with(files={"GAME.EXE": b"MZ game"})
    with open(d / "HUGE.BIN", "wb") as f:  # sparse: no gigabytes are written
        f.truncate(4 << 30)  # one byte more than a 32-bit Size holds
    out = d.parent / (d.name + ".bin")
    for command in (["pack", d, "-o", out], ["build", d, "-o", out]):
        result = run(*command)
        assert result.returncode == 1 and b"HUGE.BIN: 4294967296 bytes; an entry holds at most 4294967295" in \
            result.stderr and len(result.stderr.splitlines()) == 1, result.stderr
        assert not out.exists()
    (d / "HUGE.BIN").unlink()
    write(d / "NOISE.BIN", random.Random(3).randbytes(300000))
    env = dict(os.environ, MKUPDATE_ARCHIVE_LIMIT="200000")
    for command in (["pack", d, "-o", out], ["build", d, "-o", out]):
        result = subprocess.run([str(MKUPDATE), *map(str, command)], capture_output=True, env=env)
        assert result.returncode == 1, result
        assert re.search(rb"the archive would take 3\d{5} bytes, more than the 200000", result.stderr), result.stderr
        assert len(result.stderr.splitlines()) == 1, result.stderr
        # What the i686 updater cannot carry, the x86_64 one may: the line says how.
        assert (b"--arch x86_64" in result.stderr) == (command[0] == "build"), result.stderr
        assert not out.exists()
    assert run("pack", d, "-o", out, "-q").returncode == 0, "without the lowered limit it fits"


@test
def a_usage_error_is_one_line_and_a_hint():
    for args in (["pack", ROOT / "examples" / "update", "-o", "/tmp/x.bin", "-j", "0"], ["frobnicate"], []):
        result = run(*args)
        lines = result.stderr.decode().splitlines()
        assert result.returncode == 2 and len(lines) == 2 and lines[1] == "try 'mkupdate --help'", (args, lines)
    assert run("pack", "-j", "0").stderr.startswith(b"mkupdate: -j takes a number from 1 to 256\n")
    assert b"commands:" in run("--help").stdout


@test
def command_line_exit_codes():
    assert run().returncode == 2
    assert run("frobnicate").returncode == 2
    assert run("pack").returncode == 2
    assert run("build", ROOT / "examples" / "update").returncode == 2, "no -o"
    for jobs in ("0", "x", "2x", "-1", "999"):
        assert run("pack", ROOT / "examples" / "update", "-o", "/tmp/x.bin", "-j", jobs).returncode == 2, jobs
    assert run("--help").returncode == 0
    assert run("build", "--help").stdout.startswith(b"usage: mkupdate build")
    missing = run("pack", "/nonexistent/folder", "-o", "/tmp/x.bin")
    assert missing.returncode == 1 and b"/nonexistent/folder" in missing.stderr
    assert run("list", ROOT / "README.md").returncode == 1
    # An option of another command is refused, naming it, before anything runs.
    wrong = run("verify", ROOT / "README.md", "--arch", "x86_64")
    assert wrong.returncode == 2 and b"verify takes no option --arch ARCH" in wrong.stderr, wrong.stderr
    # Each command's synopsis lists exactly the options it takes.
    synopsis = run("pack", "--help").stdout.splitlines()[0]
    assert synopsis == b"usage: mkupdate pack SRC -o PAYLOAD [-j N] [-q] [-v]", synopsis


@test
def progress_only_on_a_terminal():
    d = folder_with(files={"GAME.EXE": b"x" * 100000, "B.DAT": b"y" * 1000})
    piped = run("build", d, "-o", d.parent / (d.name + ".exe"))
    assert b"[1/" not in piped.stderr, piped.stderr
    command = f"{MKUPDATE} build {d} -o {d / 'self.exe'}"
    tty = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True)
    assert b"[1/3]" in tty.stdout and b"[3/3]" in tty.stdout, tty.stdout
    again = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True)
    assert b"[3/3]" in again.stdout and b"[4/" not in again.stdout, "the output itself is never packed"
    quiet = subprocess.run(["script", "-qec", command + " -q", "/dev/null"], capture_output=True)
    assert b"[1/" not in quiet.stdout


# --- plan ------------------------------------------------------------------------
SETUP_INI = """[SETUP]
CompanyName=Co
GameTitle=星の航路
GameDir=Dir
GameExe=GAME.EXE
UninstExe=UNINST.EXE
SetupBmp=SETUP.BMP
InstallSelects=0
Shortcuts=0
DiskCheckFile2=DISC2.CHK
"""


def planned(exe, inst, *options, command=None):
    """The plan's JSON objects, and its exit status."""
    command = command or [str(MKUPDATE)]
    result = subprocess.run([*command, "plan", str(exe), "--inst", str(inst), "--json", *map(str, options)],
                            capture_output=True, timeout=120, env=dict(os.environ, WINEDEBUG="-all"))
    import json
    lines = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines() if line.strip()]
    return lines, result.returncode, result.stderr.decode("utf-8", "replace")


def an_update_and_a_game(script_lines, files, game, all_or_nothing=False):
    script = SCRIPT.replace("UpdateFile00=GAME.EXE\n", "".join(f"{k}={v}\n" for k, v in script_lines))
    if all_or_nothing:
        script += "AllOrNothing=1\n"
    src = folder_with(script, files)
    exe = src.parent / (src.name + ".exe")
    assert run("build", src, "-o", exe, "--updater", DIST / "updater-i686.exe", "--no-check", "-q").returncode == 0
    inst = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-plan-"))
    write(inst / "SETUP.INI", SETUP_INI)
    for name, content in game.items():
        write(inst / name.replace("\\", "/"), content)
    return exe, inst


@test
def plan_foresees_each_kind_of_line_and_what_the_run_leaves():
    exe, inst = an_update_and_a_game(
        [("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "o,NEW.DAT"), ("UpdateFile02", "1,EXTRA.DAT"),
         ("UpdateFile03", "u,data\\Scenario.dat"), ("UpdateFile04", "NEW.DAT"), ("UpdateFile05", "o,NEW.DAT")],
        {"GAME.EXE": b"new", "NEW.DAT": b"n", "EXTRA.DAT": b"e", "Scenario.dat": b"s"},
        {"game.exe": b"old", "DATA\\SCENARIO.DAT": b"mine"})
    # The player's scenario is newer than the update.
    os.utime(inst / "DATA" / "SCENARIO.DAT", (2000000000, 2000000000))
    lines, status, _ = planned(exe, inst)
    verbs = {l["key"]: (l["verb"], l["target"]) for l in lines if "key" in l}
    assert verbs == {"UpdateFile00": ("replace", "game.exe"), "UpdateFile01": ("skip", "NEW.DAT"),
                     "UpdateFile02": ("skip", "EXTRA.DAT"), "UpdateFile03": ("keep", "DATA\\SCENARIO.DAT"),
                     "UpdateFile04": ("new", "NEW.DAT"), "UpdateFile05": ("replace", "NEW.DAT")}, verbs
    why = {l["key"]: l["why"] for l in lines if "key" in l}
    assert "only without regard to case" in why["UpdateFile00"] and "install mode 1" in why["UpdateFile02"], why
    assert "newer than the update (2033-05-18 03:33 UTC" in why["UpdateFile03"], why
    assert lines[-1]["outcome"] == "completed" and status == 0, (lines[-1], status)
    assert lines[-1]["changed"] == ["inst:NEW.DAT", "inst:game.exe"], lines[-1]
    assert sorted(p.name for p in inst.iterdir()) == ["DATA", "SETUP.INI", "game.exe"], "the plan writes nothing"
    # All or nothing: the later "o," line sees the installation as it was.
    exe, inst = an_update_and_a_game([("UpdateFile00", "NEW.DAT"), ("UpdateFile01", "o,NEW.DAT")], {"NEW.DAT": b"n"},
                                     {}, all_or_nothing=True)
    lines, status, _ = planned(exe, inst)
    assert [l["verb"] for l in lines if "key" in l] == ["new", "skip"], lines


@test
def plan_says_where_and_why_the_run_would_stop():
    # A failure at the second of three lines: its boxes, the third not reached,
    # the first stays written.
    exe, inst = an_update_and_a_game([("UpdateFile00", "A.DAT"), ("UpdateFile01", "GONE.DAT"), ("UpdateFile02", "B.DAT")],
                                     {"A.DAT": b"a", "B.DAT": b"b"}, {})
    lines, status, _ = planned(exe, inst)
    assert [l["verb"] for l in lines if "key" in l] == ["new", "fail", "skip"], lines
    assert lines[2]["why"] == "not reached", lines[2]
    assert lines[-1] == {**lines[-1], "outcome": "interrupted", "changed": ["inst:A.DAT"],
                         "boxes": ["Can't Find File in Resource !!", "ファイルの書き込みに失敗しました", "アップデートが中断されました"]}, lines[-1]
    assert status == 1
    # A disc that is not given: the prompt the player sees, then the end.
    exe, inst = an_update_and_a_game([("CopyFile00", "2:MOVIE.DAT")], {}, {})
    lines, status, _ = planned(exe, inst)
    assert "disc 2 (check file 'DISC2.CHK')" in lines[0]["why"] and lines[0]["disc"] == 2, lines[0]
    assert lines[-1]["boxes"] == ["ＣＤ－ＲＯＭドライブに「星の航路」ディスク 2 を入れて下さい", "アップデートが中断されました"], lines[-1]
    # Given, the disc's file is copied, on Linux and under Wine alike.
    disc = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-disc-"))
    write(disc / "DISC2.CHK", b"")
    write(disc / "MOVIE.DAT", b"movie")
    lines, status, error = planned(exe, inst, "--disc", f"2={disc}")
    assert lines[0]["verb"] == "copy" and lines[-1]["changed"] == ["inst:MOVIE.DAT"] and status == 0, lines
    assert error == "", error
    # A folder given as disc 2 without disc 2's check file: said, and no disc 2 to the updater.
    (disc / "nothing").mkdir()
    lines, status, error = planned(exe, inst, "--disc", f"2={disc / 'nothing'}")
    assert error == "mkupdate: warning: --disc 2 holds no 'DISC2.CHK', the check file of disc 2: the updater " \
                    "does not take it for that disc\n" and lines[0]["verb"] == "fail" and status == 1, (error, lines)
    wine_path = lambda p: "Z:" + str(p).replace("/", "\\")  # noqa: E731
    lines, status, error = planned(wine_path(exe), wine_path(inst), "--disc", f"2={wine_path(disc)}",
                                   command=["wine", str(MKUPDATE_EXE)])
    assert lines and lines[0]["verb"] == "copy" and lines[-1]["changed"] == ["inst:MOVIE.DAT"] and status == 0, \
        (lines, error)
    # InstPath as the record names it, whole, on both systems: one of 253
    # bytes leaves no room for SETUP.INI, as in the updater.
    long_path = "C:\\" + "x" * 250
    for command, paths in (([str(MKUPDATE)], str), (["wine", str(MKUPDATE_EXE)], wine_path)):
        lines, status, error = planned(paths(exe), paths(inst), "--disc", f"2={paths(disc)}", "--inst-path", long_path,
                                       command=command)
        assert lines and lines[-1]["outcome"] == "not-started" and status == 1, (command, lines, error)
        assert lines[-1]["boxes"] == ["インストール先に \"SETUP.INI\" ファイルが見つかりません"], lines[-1]
    # No SETUP.INI: the updater's own box, and the run never starts.
    (inst / "SETUP.INI").unlink()
    lines, status, _ = planned(exe, inst)
    assert lines[-1]["outcome"] == "not-started" and status == 1, lines
    assert lines[-1]["boxes"] == ["インストール先に \"SETUP.INI\" ファイルが見つかりません"], lines[-1]
    # Usage errors.
    assert run("plan", exe).returncode == 2
    assert run("plan", exe, "--inst", inst, "--disc", "0=x").returncode == 2


# Links in the folders mkupdate walks, each as (what, its name, where it
# points, the commands it stops). A link that loops or leads nowhere stops
# check, build and pack (in the folder packed) and plan (in a disc's folder
# that a line copies) with one line naming it; plan follows links to
# folders, so one to a folder it lies in loops there, while the packing
# commands do not follow them; a link to a file is taken as the file. (Wine
# leaves such links out of a folder's listing: the Windows build never meets
# them there.)
LINKS = [
    ("loops", "self", "self", {"check", "build", "pack", "plan"}),
    ("leads nowhere", "gone", "missing.dat", {"check", "build", "pack", "plan"}),
    ("leads to a folder it lies in", "up", "..", {"plan"}),
    ("leads to a file", "LINKED.DAT", "../target.dat", set()),
]


@test
def links_that_loop_or_lead_nowhere_stop_a_walk_with_one_line():
    exe, inst = an_update_and_a_game([("CopyFile00", "2:MOVIES")], {}, {})
    for what, name, target, stops in LINKS:
        src = folder_with(files={"GAME.EXE": b"MZ game", "sub/A.DAT": b"a", "target.dat": b"t"})
        disc = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-disc-"))
        write(disc / "DISC2.CHK", b"")
        write(disc / "MOVIES" / "A.DAT", b"a")
        write(disc / "target.dat", b"t")
        out = src.parent / (src.name + ".out")
        commands = {"check": (src / "sub", ["check", src]), "build": (src / "sub", ["build", src, "-o", out, "-q"]),
                    "pack": (src / "sub", ["pack", src, "-o", out, "-q"]),
                    "plan": (disc / "MOVIES", ["plan", exe, "--inst", inst, "--disc", f"2={disc}", "--json"])}
        for command, (folder, args) in commands.items():
            link = folder / name
            link.symlink_to(target)
            result = run(*args)
            stderr = result.stderr.decode("utf-8", "replace")
            if command in stops:
                assert result.returncode == 1 and stderr == f"mkupdate: {link}: a link that loops or leads nowhere\n", \
                    (what, command, result.returncode, stderr)
            else:
                assert result.returncode == 0 and stderr == "", (what, command, result.returncode, stderr)
            link.unlink()
    # What stays of the link to a file: the file, under the link's name.
    assert b"LINKED.DAT" in run("list", out).stdout


@test
def running_out_of_memory_ends_a_command_with_one_line():
    import resource
    d = folder_with(files={"GAME.EXE": b"MZ game"})
    with open(d / "LARGE.BIN", "wb") as f:  # sparse: 1 GiB, more than 256 MiB of address space can read
        f.truncate(1 << 30)
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))  # noqa: E731
    result = subprocess.run([str(MKUPDATE), "pack", str(d), "-o", str(d / "x.bin")], capture_output=True,
                            preexec_fn=limit)
    assert result.returncode == 1 and result.stderr == b"mkupdate: out of memory\n", result


def main():
    passed = failed = 0
    for t in TESTS:
        try:
            t()
            passed += 1
            print(f"ok   {t.__name__}")
        except Exception:  # noqa: BLE001 - report every failure and go on
            failed += 1
            print(f"FAIL {t.__name__}")
            traceback.print_exc()
    print(f"mkupdate: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
