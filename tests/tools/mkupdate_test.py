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
ONLY = os.environ.get("MKUPDATE_TEST_ONLY")


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
        copy = back / original.relative_to(d)
        assert copy.read_bytes() == original.read_bytes(), original
        assert copy.stat().st_mtime_ns // 100 == original.stat().st_mtime_ns // 100, original


@test
def files_of_one_name_in_two_folders_are_two_entries():
    d = folder_with(SCRIPT + "UpdateFile01=a\\001.bmp\n", files={"GAME.EXE": b"x", "a/001.bmp": b"first",
                                                                "b/deep/001.bmp": b"second", "001.bmp": b"root"})
    exe = d.parent / (d.name + ".exe")
    assert run("build", d, "-o", exe, "-q").returncode == 0
    names = [line.split()[-1] for line in run("list", exe).stdout.decode().splitlines()[1:]]
    assert names == ["001.bmp", "GAME.EXE", "UPDATE.INI", "a\\001.bmp", "b\\deep\\001.bmp"], names
    back = d.parent / (d.name + "-back")
    assert run("extract", exe, "-o", back).returncode == 0
    assert [(back / n).read_bytes() for n in ("001.bmp", "a/001.bmp", "b/deep/001.bmp")] == [b"root", b"first", b"second"]
    assert b"5 entries decoded" in run("verify", exe).stdout
    # The Windows build names the entries alike and extracts them to the same places.
    wine = lambda *args: subprocess.run(["wine", str(MKUPDATE_EXE), *args], capture_output=True, timeout=120,  # noqa: E731
                                        env=dict(os.environ, WINEDEBUG="-all"))
    windows_path = lambda p: "Z:" + str(p).replace("/", "\\")  # noqa: E731
    wine_exe, wine_back = d.parent / (d.name + "-wine.exe"), d.parent / (d.name + "-wine-back")
    wine("build", windows_path(d), "-o", windows_path(wine_exe), "-q", "--updater",
         windows_path(DIST / "updater-i686.exe"))
    assert wine_exe.read_bytes() == exe.read_bytes(), "mkupdate.exe under Wine names the entries otherwise"
    assert wine("extract", windows_path(exe), "-o", windows_path(wine_back)).returncode == 0
    assert draft_of(wine_back) == draft_of(back), "extracted elsewhere under Wine"


# Folders whose files cannot be entries: each refused in one line naming them.
UNPACKABLE = [
    ("one path in two letter cases", {"a/data.bin": b"1", "A/DATA.BIN": b"2"}, ["a/data.bin", "A/DATA.BIN"]),
    ("a file and a folder of one name", {"sub": b"1", "SUB/x.bin": b"2"}, ["/sub ", "SUB/x.bin"]),
    ("a path beyond 259 bytes", {"d" * 115 + "/" + "表" * 70 + ".bin": b"1"}, ["takes 260 bytes", "at most 259"]),
    ("a name code page 932 cannot hold", {"café.txt": b"1"}, ["café.txt: the name has a character"]),
    ("a backslash in a file's own name", {"a\\b.txt": b"1"}, ["'a\\b.txt' holds a backslash"]),
    ("a device's name", {"sub/CON.txt": b"1"}, ["'CON.txt' holds a name Windows keeps for a device"]),
]


@test
def files_that_cannot_be_entries_are_refused_in_one_line():
    for what, files, expected in UNPACKABLE:
        d = folder_with(files={"GAME.EXE": b"x", **files})
        result = run("pack", d, "-o", d.parent / (d.name + ".bin"))
        message = result.stderr.decode()
        assert result.returncode == 1 and message.count("\n") == 1, (what, result.returncode, message)
        for text in expected:
            assert text in message, (what, text, message)
    # 259 bytes fit.
    d = folder_with(files={"GAME.EXE": b"x", "d" * 114 + "/" + "表" * 70 + ".bin": b"1"})
    assert run("pack", d, "-o", d.parent / (d.name + ".bin"), "-q").returncode == 0


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


def lines(prefix, numbers, value="GAME.EXE"):
    return "".join(f"{prefix}{n:02}={value}\n" for n in numbers)


# The forms of folders, long lists and removals: (what, lines after
# UpdateFile00 (or in its place), files beside GAME.EXE (None: not even
# it), an error, the one finding or None for none).
FORMS = [
    ("folder line", "UpdateFile01=sub\\\n", {"sub/deep/a.dat": b"a"}, False, None),
    ("folder line without files", "UpdateFile01=music\\\n", {"sub/a.dat": b"a"}, True,
     "UpdateFile01 is a folder line for 'music\\', and the update holds no file under it"),
    ("root folder line without files", "UpdateFile00=.\\\n", None, True,
     "UpdateFile00 is a folder line for '.\\', and the update holds no file but its script"),
    ("file line by its whole path", "UpdateFile01=data\\X.DAT\n", {"data/X.DAT": b"1", "X.DAT": b"2"}, False,
     "UpdateFile01 takes the file 'data\\X.DAT' by its whole path, not the file 'X.DAT' at the update's root"),
    ("file line by its last component", "UpdateFile01=data\\X.DAT\n", {"X.DAT": b"2"}, False, None),
    ("file line found by neither", "UpdateFile01=data\\X.DAT\n", {"other/X.DAT": b"2"}, True,
     "needs the file 'X.DAT', which is not among the files (nor is 'data\\X.DAT', which it would take first)"),
    ("a count reads more lines", "UpdateFileCount=20\n" + lines("UpdateFile", range(1, 20)), {}, False, None),
    ("a line at the count", "UpdateFileCount=20\n" + lines("UpdateFile", range(1, 21)), {}, False,
     "UpdateFile20 is never read: UpdateFileCount=20 has the updater read 20 lines, 00 to 19"),
    ("a line beyond 99", "UpdateFileCount=101\n" + lines("UpdateFile", range(1, 101)), {}, False, None),
    ("no count: 16 lines", lines("UpdateFile", range(1, 17)), {}, False,
     "UpdateFile16 is never read: the updater reads at most 16 lines, 00 to 15 (UpdateFileCount reads more)"),
    ("a count that is no number", "UpdateFileCount=many\n", {}, False,
     "UpdateFileCount is 'many', no number from 1 to 9999: the updater reads 16 lines, as without it"),
    ("a count beyond 9999", "UpdateFileCount=10000\n", {}, False, "UpdateFileCount is '10000', no number from 1 to 9999"),
    ("removals", "RemoveFile00=old\\\nRemoveFile01=1,data\\OLD.DAT\n", {}, False, None),
    ("removal beyond its count", "RemoveFileCount=2\n" + lines("RemoveFile", range(3), "x.dat"), {}, False,
     "RemoveFile02 is never read: RemoveFileCount=2 has the updater read 2 lines, 00 to 01"),
    ("removal outside", "RemoveFile00=..\\save\\\n", {}, True,
     "RemoveFile00 removes '..\\save\\', outside the installation folder"),
    ("removal of a stream", "RemoveFile00=GAME.EXE:evil\n", {}, True, "RemoveFile00 removes 'GAME.EXE:evil', outside"),
    ("removal of the folder itself", "RemoveFile00=.\\\n", {}, True,
     "RemoveFile00 removes '.\\', the installation folder itself"),
    ("removal of nothing", "RemoveFile00=1,\n", {}, True, "RemoveFile00 names nothing to remove"),
    ("removal of a data file", "UpdateFile01=d,save\\CONFIG.SAV\nRemoveFile00=save\\CONFIG.SAV\n",
     {"CONFIG.SAV": b"c"}, True, "RemoveFile00 removes 'save\\CONFIG.SAV', the target of the d line UpdateFile01"),
    ("removal of a data file's folder", "UpdateFile01=d,save\\CONFIG.SAV\nRemoveFile00=2,SAVE\\\n",
     {"CONFIG.SAV": b"c"}, True, "RemoveFile00 removes 'SAVE\\', which holds 'save\\CONFIG.SAV', of the d line"),
    ("removal of what a line writes", "RemoveFile00=game.exe\n", {}, False,
     "RemoveFile00 removes 'game.exe', where UpdateFile00 then writes 'GAME.EXE' (removals run before"),
    ("removal of a folder a line writes in", "UpdateFile01=.\\\nRemoveFile00=sub\\\n", {"sub/a.dat": b"a"}, False,
     "RemoveFile00 removes 'sub\\', where UpdateFile01 then writes 'SUB\\A.DAT'"),
    ("removal and a line of another mode", "UpdateFile01=1,NEW.DAT\nRemoveFile00=2,NEW.DAT\n", {"NEW.DAT": b"n"},
     False, None),
    ("a file becomes a folder", "UpdateFile01=.\\\nRemoveFile00=x.dat\n", {"x.dat/a.dat": b"a"}, False, None),
    ("a file becomes a folder, all or nothing", "AllOrNothing=1\nUpdateFile01=.\\\nRemoveFile00=x.dat\n",
     {"x.dat/a.dat": b"a"}, True,
     "RemoveFile00 removes the file 'x.dat', and UpdateFile01 writes 'X.DAT\\A.DAT' into a folder of that name"),
    ("removal with a kind", "RemoveFile00=d,CONFIG.SAV\n", {}, False,
     "RemoveFile00 has more than [mode,]path: the updater removes 'd' and ignores the rest"),
]


@test
def check_reads_folder_lines_counts_and_removals():
    for what, more, files, is_error, expected in FORMS:
        script = SCRIPT.replace("UpdateFile00=GAME.EXE\n", "") if more.startswith("UpdateFile00=") else SCRIPT
        d = folder_with(script + more, {} if files is None else {"GAME.EXE": b"MZ game", **files})
        result = run("check", d)
        message = result.stderr.decode()
        if expected is None:
            assert message == "" and result.returncode == 0, (what, message)
            continue
        assert expected in message, (what, message)
        assert message.count("\n") == 1, (what, "one finding", message)
        assert ("error:" in message) == is_error and result.returncode == (1 if is_error else 0), (what, message)


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
        # The archive inside is the one pack writes with every method.
        raw = work / f"{arch}.bin"
        run("pack", src, "-o", raw, "-q", "--method", "all")
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
    """Entry names made to leave the folder, and links planted in it before
    extract runs: nothing lands outside, nothing is written through a link."""
    work = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-hostile-"))
    hostile = [b"..\\evil1.txt", b"../evil2.txt", b"..", b"sub\\..\\..\\evil3.txt", b"C:evil4.txt", b"\\evil5.txt",
               b"", b"C:\\evil6.txt", b"sub\\\\evil7.txt", b"sub\\... \\evil8.txt", b"sub\\x.txt:stream",
               b"sub\\", b"linked\\evil9.txt", b"linked\\deeper\\evil10.txt"]
    good = [b"ok.txt", "表.txt".encode("cp932"), b"sub\\deep\\ok2.txt", "表\\ok3.txt".encode("cp932"),
            b"file-link.txt"]  # 表 ends in the byte 0x5C, which is no separator here
    archive = work / "hostile.bin"
    archive.write_bytes(raw_archive([(n, b"x") for n in hostile] + [(n, b"fine") for n in good]))
    elsewhere = work / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "target.txt").write_bytes(b"theirs")
    out = work / "deep" / "out"
    out.mkdir(parents=True)
    (out / "linked").symlink_to(elsewhere)  # a folder link: never written through
    (out / "file-link.txt").symlink_to(elsewhere / "target.txt")  # replaced as a link, never followed
    result = run("extract", archive, "-o", out)
    assert result.returncode == 1, result.returncode
    message = result.stderr.decode()
    for name in hostile:
        assert f"entry '{name.decode()}' refused" in message, (name, message)
    assert "linked on its way is a link" in message, message
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file() and not p.is_symlink()) == \
        ["file-link.txt", "ok.txt", "sub/deep/ok2.txt", "表.txt", "表/ok3.txt"], list(out.rglob("*"))
    assert (out / "file-link.txt").read_bytes() == b"fine" and not (out / "file-link.txt").is_symlink()
    assert sorted(p.name for p in elsewhere.iterdir()) == ["target.txt"], list(elsewhere.iterdir())
    assert (elsewhere / "target.txt").read_bytes() == b"theirs"
    written = [p for p in work.rglob("*") if p.is_file() and "evil" in p.name]
    assert written == [], written
    listing = run("list", archive)
    assert listing.returncode == 1 and b"evil1.txt' refused" in listing.stderr, listing.stderr
    assert b"ok.txt" in listing.stdout and b"sub\\deep\\ok2.txt" in listing.stdout
    # The Windows build, where "\\" and ".." are the system's own: the same
    # names refused, nothing outside (no link planted: linked\\ is a folder).
    wine_out = work / "wine" / "out"
    result = subprocess.run(["wine", str(MKUPDATE_EXE), "extract", "Z:" + str(archive).replace("/", "\\"), "-o",
                             "Z:" + str(wine_out).replace("/", "\\")], capture_output=True, timeout=120,
                            env=dict(os.environ, WINEDEBUG="-all"))
    assert result.returncode == 1 and result.stderr.decode("utf-8", "replace").count("refused") == len(hostile) - 2, \
        result.stderr
    assert sorted(str(p.relative_to(wine_out)) for p in wine_out.rglob("*") if p.is_file()) == \
        ["file-link.txt", "linked/deeper/evil10.txt", "linked/evil9.txt", "ok.txt", "sub/deep/ok2.txt", "表.txt",
         "表/ok3.txt"], list(wine_out.rglob("*"))
    assert [p for p in work.rglob("*") if p.is_file() and "evil" in p.name and p.parent.name not in ("linked", "deeper")] \
        == []


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
    assert synopsis == b"usage: mkupdate pack SRC -o PAYLOAD [-j N] [--method M] [-q] [-v]", synopsis


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


# --- diff ------------------------------------------------------------------------
def tree(files, folders=()):
    d = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-tree-"))
    for name, content in files.items():
        write(d / name, content)
    for name in folders:
        (d / name).mkdir(parents=True, exist_ok=True)
    return d


def draft_of(folder):
    """The drafted folder: its files by relative path, with their bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


SETUP_INI_2 = SETUP_INI + "DiskCheckFile3=DISC3.CHK\n"
OLD_TREE = {"SETUP.INI": SETUP_INI, "same.dat": b"same", "change.dat": b"aaaa", "grow.dat": b"g", "gone.dat": b"gone",
            "oldfolder/a.dat": b"a", "oldfolder/sub/b.dat": b"bb", "keep/c.dat": b"c", "keep/d.dat": b"dd",
            "becomes.dat": b"file", "wasdir/x.dat": b"x"}
NEW_TREE = {"SETUP.INI": SETUP_INI_2, "same.dat": b"same", "change.dat": b"aaab", "grow.dat": b"gg",
            "keep/c.dat": b"c", "becomes.dat/inner.dat": b"inner", "wasdir": b"now a file",
            "new/deep/表.dat": b"new"}
DRAFTED_SCRIPT = """[SETUP]
CompanyName=Co
GameTitle=星の航路
GameClass=星の航路
GameDir=Dir

[UPDATE]
UpdateFile00=.\\
RemoveFile00=becomes.dat
RemoveFile01=gone.dat
RemoveFile02=keep\\d.dat
RemoveFile03=oldfolder\\
RemoveFile04=wasdir\\
"""


@test
def diff_drafts_the_update_between_two_trees_and_check_passes_it():
    old, new = tree(OLD_TREE), tree(NEW_TREE)
    os.utime(new / "grow.dat", ns=(1_600_000_000_123_456_700, 1_600_000_000_123_456_700))
    out = old.parent / (old.name + "-draft")
    result = run("diff", old, new, "-o", out)
    assert result.returncode == 0 and result.stderr == b"", result.stderr.decode()
    assert result.stdout.decode().splitlines()[:4] == [
        "added           3 files           18 bytes", "changed         3 files          207 bytes",
        "removed         6 files           14 bytes  (5 lines)", "unchanged       2 files            5 bytes"], \
        result.stdout.decode()
    expected = {"UPDATE.INI": DRAFTED_SCRIPT.replace("\n", "\r\n").encode("cp932"), "SETUP.INI": (new / "SETUP.INI").read_bytes(),
                "change.dat": b"aaab", "grow.dat": b"gg", "becomes.dat/inner.dat": b"inner", "wasdir": b"now a file",
                "new/deep/表.dat": b"new"}
    assert draft_of(out) == expected, draft_of(out)
    assert (out / "grow.dat").stat().st_mtime_ns // 100 == 1_600_000_000_123_456_700 // 100, "the file's time is kept"
    checked = run("check", out)
    assert checked.returncode == 0 and checked.stderr == b"", checked.stderr.decode()
    assert run("build", out, "-o", out.parent / (out.name + ".exe"), "-q").returncode == 0
    # Into an empty folder, quietly; with --setup, its [SETUP] whole and the agreement texts beside it.
    again = old.parent / (old.name + "-again")
    again.mkdir()
    quiet = run("diff", old, new, "-o", again, "-q", "--setup", ROOT / "examples" / "update" / "UPDATE.INI")
    assert quiet.returncode == 0 and quiet.stdout == b"" and quiet.stderr == b"", quiet
    script = (again / "UPDATE.INI").read_bytes().decode("cp932")
    assert "AgreementText=AGREE.TXT\r\n" in script and "UpdateMessage=このアップデートは" in script, script
    assert (again / "AGREE.TXT").read_bytes() == (ROOT / "examples" / "update" / "AGREE.TXT").read_bytes()
    assert run("check", again, "-q").returncode == 0
    # More than 16 removals: counted.
    many = tree({"SETUP.INI": SETUP_INI, **{f"f{n:02}.dat": b"x" for n in range(20)}})
    out = many.parent / (many.name + "-draft")
    assert run("diff", many, tree({"SETUP.INI": SETUP_INI}), "-o", out, "-q").returncode == 0
    script = (out / "UPDATE.INI").read_bytes().decode("cp932")
    assert "RemoveFileCount=20\r\n" in script and "RemoveFile19=f19.dat\r\n" in script and "UpdateFile00" not in script
    assert run("check", out).stderr == b""


@test
def diff_of_the_example_game_drafts_the_guides_update():
    out = pathlib.Path(tempfile.mkdtemp(prefix="mkupdate-example-")) / "update-2.00"
    result = run("diff", "game/install", "game-2.00/install", "-o", out, cwd=ROOT / "examples")
    assert result.returncode == 0, result.stderr
    guide = (ROOT / "docs" / "publisher-guide.md").read_text()
    assert result.stdout.decode().replace(str(out), "update-2.00") in guide, "the guide shows diff's output"
    script = (out / "UPDATE.INI").read_bytes().decode("cp932").replace("\r\n", "\n")
    assert script in guide, "the guide shows the drafted UPDATE.INI"
    assert sorted(draft_of(out)) == ["GAME.EXE", "MANUAL.TXT", "README.TXT", "UPDATE.INI", "data/SCENARIO.DAT",
                                     "data/voice/CH1.PAK", "data/voice/CH2.PAK"]
    assert run("check", out, "-q").returncode == 0


def planted_link(old, new):
    (new / "data").mkdir()
    (new / "data" / "linked.dat").symlink_to(new / "same.dat")


# What diff refuses, each in one line and before it writes anything: (what,
# a change to the two trees, a change to the draft's place, the message).
DIFF_REFUSALS = [
    ("a link in NEW", planted_link, None, "linked.dat: a link, which an update cannot express"),
    ("a link in OLD", lambda old, new: (old / "up").symlink_to(old), None, "up: a link"),
    ("an empty new folder", lambda old, new: (new / "empty" / "deeper").mkdir(parents=True), None,
     "empty: an empty folder that"),
    ("a new folder holding only folders", lambda old, new: (new / "a" / "b").mkdir(parents=True), None,
     "a: an empty folder that"),
    ("nothing changed", lambda old, new: shutil.rmtree(new) or shutil.copytree(old, new), None,
     "hold the same files: there is nothing to update"),
    ("the game's names changed", lambda old, new: write(new / "SETUP.INI", SETUP_INI.replace("=Co", "=Other")), None,
     "SETUP.INI's CompanyName is 'Co' in"),
    ("no SETUP.INI in NEW", lambda old, new: (new / "SETUP.INI").unlink(), None, "no SETUP.INI, whose [SETUP]"),
    ("a file named as the script", lambda old, new: write(new / "update.ini", b"x"), None,
     "update.ini: a file named as the update's own script"),
    ("a name code page 932 cannot hold", lambda old, new: write(new / "café.txt", b"x"), None,
     "café.txt: the name has a character that code page 932 cannot hold"),
    ("two names one to Windows", lambda old, new: write(new / "SAME.DAT", b"x"), None, "two paths one to Windows"),
    ("a removal too long for a line", lambda old, new: [write(t / ("d" * 200) / "k", b"k") for t in (old, new)] and
     (old / ("d" * 200) / ("e" * 58)).mkdir(), None,
     "the removal of '" + "d" * 200 + "\\" + "e" * 58 + "\\' takes 260 bytes, more than a line's path holds"),
    ("a path too long for an entry", lambda old, new: write(new / ("d" * 200) / ("e" * 55) / "x.dat", b"x"), None,
     "takes 262 bytes in code page 932; an entry name holds at most 259"),
    ("a draft that is not empty", None, lambda out: write(out / "x", b"x"), "not an empty folder"),
    ("a draft inside NEW", None, "new", "inside"),
]


@test
def diff_refuses_what_an_update_cannot_express():
    for what, change, place, expected in DIFF_REFUSALS:
        old, new = tree({"SETUP.INI": SETUP_INI, "same.dat": b"s"}), tree({"SETUP.INI": SETUP_INI, "same.dat": b"s",
                                                                           "added.dat": b"a"})
        if change:
            change(old, new)
        out = old.parent / (old.name + "-draft")
        if place == "new":
            out = new / "draft"
        elif place:
            place(out)
        before = draft_of(out) if out.exists() else None
        result = run("diff", old, new, "-o", out)
        message = result.stderr.decode()
        assert result.returncode == 1 and expected in message and message.count("\n") == 1, (what, message)
        assert (draft_of(out) if out.exists() else None) == before, (what, "the draft's place was changed")
    assert run("diff", "a").returncode == 2 and run("diff", "a", "b").returncode == 2, "two folders and -o"


def windows_path(p):
    return "Z:" + str(p).replace("/", "\\")


def wave_file(size, channels):
    """A PCM WAV file of 16-bit samples of a slow wave with a little noise."""
    rng = random.Random(channels)
    data, value, slope = bytearray(), 0, 37
    while len(data) < size:
        if rng.randrange(500) == 0:
            slope = rng.randrange(-100, 100)
        value += slope + rng.randrange(-3, 4)
        for c in range(channels):
            data += ((value + 5 * c) & 0xFFFF).to_bytes(2, "little")
    data = bytes(data[:size])
    fmt = (1).to_bytes(2, "little") + channels.to_bytes(2, "little") + (22050).to_bytes(4, "little") + \
        (44100 * channels).to_bytes(4, "little") + (2 * channels).to_bytes(2, "little") + (16).to_bytes(2, "little")
    body = b"WAVEfmt " + (16).to_bytes(4, "little") + fmt + b"data" + len(data).to_bytes(4, "little") + data
    return b"RIFF" + len(body).to_bytes(4, "little") + body


# Each kind of file takes its method (an executable LZMA after the x86
# filter, a WAV after the delta filter, a text plain LZMA), the same bytes
# from the Linux and the Windows mkupdate and with any -j; --method lz and
# pack keep the old kinds and version 0; an updater without the reader's
# mark (one made before the methods) is refused in one line.
@test
def methods_by_kind_the_same_on_every_host_and_old_updaters_refused():
    text = "".join(f"{i % 97}行目のテキスト line {i * 7 % 13}\n" for i in range(4000))
    d = folder_with(files={"GAME.EXE": (DIST / "updater-i686.exe").read_bytes(), "VOICE.WAV": wave_file(120000, 2),
                           "MONO.WAV": wave_file(60000, 1), "STORY.TXT": text})
    exe, exe_j1 = d.parent / (d.name + ".exe"), d.parent / (d.name + "-j1.exe")
    assert run("build", d, "-o", exe, "-q").returncode == 0
    assert run("build", d, "-o", exe_j1, "-q", "-j", "1").returncode == 0
    assert exe.read_bytes() == exe_j1.read_bytes()
    listing = run("list", exe, "-v").stdout.decode()
    assert "format version: 2" in listing, listing
    for method, name in (("lzma+x86", "GAME.EXE"), ("lzma+delta4", "VOICE.WAV"), ("lzma+delta2", "MONO.WAV"),
                         ("lzma", "STORY.TXT")):
        assert re.search(rf"\s{re.escape(method)}\s.*\s{name}", listing), (method, listing)
    back = d.parent / (d.name + "-back")
    assert run("extract", exe, "-o", back).returncode == 0
    for name in ("GAME.EXE", "VOICE.WAV", "MONO.WAV", "STORY.TXT"):
        assert (back / name).read_bytes() == (d / name).read_bytes(), name
    env = dict(os.environ, WINEDEBUG="-all")
    wine_exe = d.parent / (d.name + "-wine.exe")
    subprocess.run(["wine", str(MKUPDATE_EXE), "build", windows_path(d), "-o", windows_path(wine_exe), "-q"],
                   env=env, capture_output=True, timeout=600)
    assert wine_exe.exists() and wine_exe.read_bytes() == exe.read_bytes(), "mkupdate.exe under Wine writes other bytes"
    # The old kinds only: version 0, as every updater reads.
    lz, raw_lz, raw_all = d.parent / (d.name + "-lz.exe"), d.parent / (d.name + "-lz.bin"), d.parent / (d.name + ".bin")
    assert run("build", d, "-o", lz, "-q", "--method", "lz").returncode == 0
    assert run("pack", d, "-o", raw_lz, "-q").returncode == 0
    assert run("pack", d, "-o", raw_all, "-q", "--method", "all").returncode == 0
    assert raw_all.read_bytes()[5] == 2 and raw_lz.read_bytes()[5] == 0
    listing = run("list", lz, "-v").stdout.decode()
    assert "format version: 0" in listing and "lzma" not in listing, listing
    assert len(raw_all.read_bytes()) < len(raw_lz.read_bytes())
    # An updater from before the methods: no mark; refused for version 2, taken for version 0.
    old = d.parent / (d.name + "-old-updater.exe")
    old.write_bytes((DIST / "updater-i686.exe").read_bytes().replace(b"KOUSHIN-ARCHIVE-READS:3", b"X" * 23))
    result = run("build", d, "-o", d.parent / "refused.exe", "--updater", old, "-q")
    lines = result.stderr.decode().splitlines()
    assert result.returncode == 1 and len(lines) == 1 and "version 0" in lines[0] and "--method lz" in lines[0], lines
    assert not (d.parent / "refused.exe").exists()
    assert run("build", d, "-o", d.parent / "old-ok.exe", "--updater", old, "--method", "lz", "-q").returncode == 0


def delta_trees(all_or_nothing):
    """The previous release and the next one's update folder: a program with
    a few edits, a file unchanged, a tiny file changed, a file OLD lacks."""
    rng = random.Random(7)
    program = rng.randbytes(200000)
    edited = bytearray(program)
    edited[5000:5010] = b"0123456789"
    edited[120000:120000] = b"inserted bytes"
    script = SCRIPT.replace("UpdateFile00=GAME.EXE\n", "UpdateFile00=.\\\n")
    if all_or_nothing:
        script += "AllOrNothing=1\n"
    old = tree({"GAME.EXE": program, "data/same.dat": b"same" * 100, "tiny.txt": b"a"})
    new = tree({"UPDATE.INI": script, "GAME.EXE": bytes(edited), "data/same.dat": b"same" * 100, "tiny.txt": b"b",
                "fresh.dat": rng.randbytes(5000)})
    return old, new, bytes(edited)


@test
def build_against_the_previous_release_carries_deltas_where_smaller():
    old, new, edited = delta_trees(all_or_nothing=False)
    exe, whole_exe = new.parent / (new.name + ".exe"), new.parent / (new.name + "-whole.exe")
    result = run("build", new, "-o", exe, "-v", "--delta-from", old)
    assert result.returncode == 0, result.stderr.decode()
    # Each line: size -> stored  share  method  name  (what became of it)
    why = {line.split()[5]: line[line.index("(") + 1:-1] for line in result.stdout.decode().splitlines()[:-1]}
    assert why == {"GAME.EXE": "delta against the previous release",
                   "UPDATE.INI": "whole: the script, an agreement text or a \"d\" line's file",
                   "data\\same.dat": "whole: the same bytes as in the previous release",
                   "fresh.dat": "whole: not in the previous release",
                   "tiny.txt": "whole: smaller than its delta"}, why
    # The deltas are known to the build: it warns of a script without AllOrNothing.
    assert b"AllOrNothing is off while the update carries deltas" in result.stderr, result.stderr
    listing = run("list", exe, "-v").stdout.decode().splitlines()
    methods = {line.split()[5]: line.split()[2] for line in listing if line.startswith(" ") and "->" not in line and "size" not in line}
    assert methods["GAME.EXE"].startswith("delta+"), listing
    assert not any(m.startswith("delta") for name, m in methods.items() if name != "GAME.EXE"), listing
    assert methods["fresh.dat"] == "stored" and methods["tiny.txt"] == "stored", listing
    assert run("verify", exe, "-q").returncode == 0
    # Far smaller than the same update whole, which stays of the old format.
    assert run("build", new, "-o", whole_exe, "-q").returncode == 0
    assert exe.stat().st_size + 150000 < whole_exe.stat().st_size, (exe.stat().st_size, whole_exe.stat().st_size)
    assert "delta" not in run("list", whole_exe).stdout.decode()
    # The same folders give the same bytes; extract cannot write a delta alone.
    again = new.parent / (new.name + "-again.exe")
    assert run("build", new, "-o", again, "-q", "-j", "1", "--delta-from", old).returncode == 0
    assert again.read_bytes() == exe.read_bytes()
    out = new.parent / (new.name + "-out")
    result = run("extract", exe, "-o", out)
    assert result.returncode == 1 and b"'GAME.EXE' is a delta against the previous release" in result.stderr
    # check, told of the previous release, warns of the same.
    result = run("check", new, "--delta-from", old)
    assert result.returncode == 0 and b"AllOrNothing is off while 2 files may travel as deltas" in result.stdout, \
        result.stdout
    assert b"may travel as deltas" not in run("check", new).stdout
    # With AllOrNothing the build says nothing of it; an OLD that is no folder is refused.
    old, new, _ = delta_trees(all_or_nothing=True)
    assert b"may travel as deltas" not in run("check", new, "--delta-from", old).stdout
    result = run("build", new, "-o", exe, "--delta-from", old)
    assert result.returncode == 0 and b"AllOrNothing" not in result.stderr, result.stderr
    result = run("build", new, "-o", exe, "--delta-from", old / "none")
    assert result.returncode == 1 and b"not a folder" in result.stderr, result.stderr


@test
def a_data_line_file_and_the_script_are_never_deltas():
    # A "d" line writes only where the player has no file, so there is
    # nothing to patch: its file travels whole however like the old one it is.
    rng = random.Random(3)
    program, save = rng.randbytes(100000), rng.randbytes(100000)
    script = SCRIPT.replace("UpdateFile00=GAME.EXE\n", "UpdateFile00=GAME.EXE\nUpdateFile01=d,save.dat\n")
    script += "AllOrNothing=1\n"
    old = tree({"UPDATE.INI": script + "; the previous release's\n", "GAME.EXE": program, "save.dat": save})
    new = tree({"UPDATE.INI": script, "GAME.EXE": program[:500] + b"patched" + program[507:],
                "save.dat": save[:500] + b"patched" + save[507:]})
    exe = new.parent / (new.name + ".exe")
    result = run("build", new, "-o", exe, "-v", "--delta-from", old)
    assert result.returncode == 0, result.stderr.decode()
    methods = {line.split()[5]: line.split()[4] for line in result.stdout.decode().splitlines()[:-1]}
    assert methods["GAME.EXE"].startswith("delta+"), methods
    assert not methods["save.dat"].startswith("delta") and not methods["UPDATE.INI"].startswith("delta"), methods


@test
def diff_with_delta_says_how_to_build_against_old():
    old, new = tree(OLD_TREE), tree(NEW_TREE)
    out = old.parent / (old.name + "-draft")
    result = run("diff", old, new, "-o", out, "--delta")
    assert result.returncode == 0, result.stderr.decode()
    assert f"mkupdate build {out} -o UPDATE.exe --delta-from {old}" in result.stdout.decode(), result.stdout



# Near-copies of one kind form a solid group (executables after the x86
# filter, texts plain), which list -v names with its group and build -v
# reports; the script and its agreement text are never members; the update
# is the same from any -j and from the Windows mkupdate, verifies and
# extracts byte for byte; where grouping does not pay there is no group;
# --method lz and pack are as before (version 0, no method anywhere).
@test
def solid_groups_where_they_pay_the_same_on_every_host():
    game = (DIST / "updater-i686.exe").read_bytes()
    patched = bytearray(game)
    for at in range(4096, len(patched), 20000):
        patched[at] ^= 0x5A
    text = "".join(f"{i % 89}行目 the quick brown fox {i * 11 % 17}\n" for i in range(3000))
    license = "".join(f"第{i}条 terms and conditions {i * 3 % 7}\n" for i in range(800))
    rng = random.Random(5)
    script = SCRIPT.replace("[UPDATE]", "AgreementText=LICENSE.TXT\n[UPDATE]")
    d = folder_with(script, files={"GAME.EXE": game, "tools/GAME2.EXE": bytes(patched), "a/STORY.TXT": text,
                                   "b/STORY.TXT": text.replace("fox 3", "cat 3"), "LICENSE.TXT": license,
                                   "docs/LICENSE.TXT": license, "NOISE.BIN": rng.randbytes(30000)})
    exe, exe_j1 = d.parent / (d.name + ".exe"), d.parent / (d.name + "-j1.exe")
    built = run("build", d, "-o", exe, "-v")
    assert built.returncode == 0, built.stderr
    report = built.stdout.decode()
    assert re.search(r"solid group 1: 2 files, lzma\+x86 solid, \d+ -> \d+ bytes, \d+ fewer", report), report
    assert run("build", d, "-o", exe_j1, "-q", "-j", "1").returncode == 0
    assert exe.read_bytes() == exe_j1.read_bytes()
    listing = run("list", exe, "-v").stdout.decode()
    assert "format version: 3" in listing, listing
    held = {line.split()[-3]: line for line in listing.splitlines() if "FILETIME" in line}
    assert re.search(r"\slzma\+x86 solid 1\s", held["GAME.EXE"]) and "lzma+x86 solid 1" in held["tools\\GAME2.EXE"], listing
    for name in ("a\\STORY.TXT", "b\\STORY.TXT", "docs\\LICENSE.TXT"):
        assert re.search(r"\slzma solid 2\s", held[name]), (name, listing)
    for name in ("UPDATE.INI", "LICENSE.TXT"):
        assert "solid" not in held[name], (name, listing)
    # Members of one group lie together, the first holding the stream.
    names = [line.split()[-3] for line in listing.splitlines() if "FILETIME" in line]
    assert names.index("tools\\GAME2.EXE") == names.index("GAME.EXE") + 1, names
    assert held["tools\\GAME2.EXE"].split()[1] == "0", listing
    assert b"8 entries decoded" in run("verify", exe).stdout
    back = d.parent / (d.name + "-back")
    assert run("extract", exe, "-o", back).returncode == 0
    for original in [p for p in d.rglob("*") if p.is_file()]:
        assert (back / original.relative_to(d)).read_bytes() == original.read_bytes(), original
    env = dict(os.environ, WINEDEBUG="-all")
    wine_exe = d.parent / (d.name + "-wine.exe")
    subprocess.run(["wine", str(MKUPDATE_EXE), "build", windows_path(d), "-o", windows_path(wine_exe), "-q"],
                   env=env, capture_output=True, timeout=600)
    assert wine_exe.exists() and wine_exe.read_bytes() == exe.read_bytes(), "mkupdate.exe under Wine writes other bytes"
    # pack --method all groups as build does; pack and --method lz as before.
    raw_all, raw_lz, raw_lz2 = (d.parent / (d.name + s) for s in ("-all.bin", "-lz.bin", "-lz2.bin"))
    assert run("pack", d, "-o", raw_all, "-q", "--method", "all").returncode == 0
    assert raw_all.read_bytes()[5] == 3
    assert run("pack", d, "-o", raw_lz, "-q").returncode == 0
    assert run("pack", d, "-o", raw_lz2, "-q", "--method", "lz").returncode == 0
    assert raw_lz.read_bytes() == raw_lz2.read_bytes() and raw_lz.read_bytes()[5] == 0
    lz = d.parent / (d.name + "-lz.exe")
    assert run("build", d, "-o", lz, "-q", "--method", "lz").returncode == 0
    listing = run("list", lz, "-v").stdout.decode()
    assert "format version: 0" in listing and "solid" not in listing and "lzma" not in listing, listing
    # Files that gain nothing together: no group.
    rng = random.Random(6)
    n = folder_with(files={"GAME.EXE": b"MZ" + rng.randbytes(40000), "TOOL.EXE": b"MZ" + rng.randbytes(40000),
                           "A.BIN": rng.randbytes(20000), "B.BIN": rng.randbytes(20000), "STORY.TXT": text})
    none = n.parent / (n.name + ".exe")
    built = run("build", n, "-o", none, "-v")
    assert built.returncode == 0 and b"solid group" not in built.stdout, built.stdout
    listing = run("list", none, "-v").stdout.decode()
    assert "solid" not in listing and "format version: 2" in listing, listing


def main():
    passed = failed = 0
    for t in TESTS:
        if ONLY and ONLY not in t.__name__:
            continue
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
