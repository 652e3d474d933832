"""The end-to-end cases. A case is a short description: the installation,
the record, the payload, and the steps, each a command for the driver with
what the window it answers must show. Everything a case leaves out takes
the defaults below, a working installation of the example game."""
import dataclasses
import pathlib
import random
import re
import subprocess
from typing import Callable, Optional

TITLE = "星の航路"
CLASS = "HoshiNoKouroClass"
CAPTION = f"{TITLE} アップデータ 1.01"
KEY = "Koushin Sample Works\\HoshiNoKouro"

SCRIPT = f"""[SETUP]
CompanyName=Koushin Sample Works
GameTitle={TITLE}
GameClass={CLASS}
GameDir=HoshiNoKouro
UpdaterVersion=1.01

[UPDATE]
UpdateFile00=GAME.EXE
"""

SETUP_INI = f"""[SETUP]
CompanyName=Koushin Sample Works
GameTitle={TITLE}
GameDir=HoshiNoKouro
GameExe=GAME.EXE
UninstExe=UNINST.EXE
SetupBmp=SETUP.BMP
InstallSelects=1
InstallTitle0=標準
InstallFiles0=GAME.EXE
Shortcuts=0
GameClass={CLASS}
DiskCheckFile1=HOSHI1.CHK
DiskCheckFile2=HOSHI2.CHK
"""


def record(inst_path=True, data_path=True, inst_mode=0):
    def make(ctx):
        values = {}
        if inst_path is True:
            values["InstPath"] = ctx["game"]
        elif inst_path:
            values["InstPath"] = inst_path(ctx) if callable(inst_path) else inst_path
        if data_path is True:
            values["DataPath"] = ctx["data"]
        elif data_path:
            values["DataPath"] = data_path
        if inst_mode is not None:
            values["InstMode"] = inst_mode
        return values
    return make


def script(**changes):
    """SCRIPT with keys replaced (a value of None removes the key)."""
    text = SCRIPT
    for key, value in changes.items():
        pattern = re.compile(rf"^{key}=.*\n", re.M)
        if value is None:
            text = pattern.sub("", text)
        elif pattern.search(text):
            text = pattern.sub(f"{key}={value}\n", text)
        else:
            section = "[UPDATE]" if key.startswith(("UpdateFile", "CopyFile", "Required", "Overwrite")) else "[SETUP]"
            text = text.replace(section + "\n", f"{section}\n{key}={value}\n")
    return text


def setup_ini(**changes):
    text = SETUP_INI
    for key, value in changes.items():
        pattern = re.compile(rf"^{key}=.*\n", re.M)
        text = pattern.sub("" if value is None else f"{key}={value}\n", text) if pattern.search(text) else \
            text + f"{key}={value}\n"
    return text


def resource_ids():
    """The updater's own resource and control ids, from resources/resource_ids.h."""
    header = pathlib.Path(__file__).resolve().parents[2] / "resources" / "resource_ids.h"
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"^#define (\w+) (\d+)", header.read_text(), re.M)}


IDS = resource_ids()
NEXT, CANCEL, BACK, AGREE, DISAGREE = (IDS[k] for k in ("IDC_NEXT", "IDC_CANCEL", "IDC_BACK", "IDC_AGREE",
                                                        "IDC_DISAGREE"))
OK = 1  # the boxes' IDOK; their Cancel is IDCANCEL, the wizard's CANCEL


# What the windows show.
def box(text, caption=CAPTION, icon=True, buttons=("OK",), owner=None):
    d = {"window": "box", "caption": caption, "text": text, "icon": icon, "buttons": list(buttons)}
    if owner:
        d["owner"] = owner
    return d


def error(text, caption=CAPTION, owner="none"):
    return box(text, caption, True, ("OK",), owner)


def common(text):
    return box(text, "INSTCMMN", True, ("OK",), "none")


def button(text, enabled=True, visible=True):
    return {"text": text, "enabled": enabled, "visible": visible}


def wizard(info, next_=True, back=False, cancel=True, next_text="次へ", agreement=None, caption=CAPTION):
    controls = {str(NEXT): button(next_text, next_), str(CANCEL): button("中止", cancel), str(BACK): button("戻る", back)}
    if agreement is not None:
        for cid in (IDS["IDC_AGREEMENT_TEXT"], AGREE, DISAGREE):
            controls[str(cid)] = {"visible": agreement != "hidden"}
        if agreement in ("agree", "disagree"):
            controls[str(AGREE)]["checked"] = agreement == "agree"
            controls[str(DISAGREE)]["checked"] = agreement == "disagree"
    return {"window": "wizard", "caption": caption, "info": info, "controls": controls}


def not_installed():
    return error(f"「{TITLE}」がインストールされていません", "UPDATE")


def game_running_text(title=TITLE):
    return (f"「{title}」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、"
            "アップデートを中止する場合は [キャンセル] を押して下さい")


START = wizard(f"「{TITLE}」のアップデートを開始します")
CONFIRM = wizard("アップデートを実行します")
DONE = wizard("アップデートは完了しました", next_=True, cancel=False, next_text="完了")
INTERRUPTED = error("アップデートが中断されました")



def press(id_, expect=None):
    return (f"press\t{id_}", expect)


def look(expect):
    return ("look", expect)


def key(name, expect=None):
    return (f"key\t{name}", expect)


def close(expect=None):
    return ("close", expect)


def command(id_):
    return (f"command\t{id_}", None)


def shot(name):
    return (f"shot\t{name}", None)


def close_game():
    return ("close-game", None)


def second():
    return ("second", None)


@dataclasses.dataclass
class Run:
    """What a case's prepare and check functions are given: the installation's
    game and data folders on this machine, the case's own folder (the
    updater's working folder), its payload folder, and the Windows paths that
    the record names (paths["game"], ["data"], ["cd"][letter], ["small_free"])."""
    game: pathlib.Path
    data: pathlib.Path
    folder: pathlib.Path
    payload: pathlib.Path
    paths: dict


@dataclasses.dataclass
class Case:
    slug: str
    steps: list
    exit_code: int = 0
    script: Optional[str] = SCRIPT
    payload_files: dict = dataclasses.field(default_factory=lambda: {"GAME.EXE": b"MZ new game"})
    setup_ini: Optional[str] = SETUP_INI
    game_files: dict = dataclasses.field(default_factory=lambda: {"GAME.EXE": b"MZ old game"})
    data_files: dict = dataclasses.field(default_factory=dict)
    record: Optional[Callable] = dataclasses.field(default_factory=record)
    record_key: str = KEY
    clear_keys: tuple = (KEY,)
    before: list = dataclasses.field(default_factory=list)
    embed: bool = True
    second_exit: Optional[int] = None
    game_visible: Optional[bool] = None
    prepare: Optional[Callable] = None
    check: Optional[Callable] = None
    discs: dict = dataclasses.field(default_factory=dict)  # drive letter -> {path: content, or None for a folder}
    small_disk: bool = False  # install on the small disk (a 4 MiB tmpfs)
    make_payload: Optional[Callable] = None  # writes further payload files into the folder given
    install_folder: str = ""  # a folder around the game and data folders (a name to test paths with)
    build_options: object = ()  # further options of mkupdate build, or a function of the run giving them
    damage: Optional[Callable] = None  # changes the built executable's bytes in place
    planted: tuple = ()  # DLL names planted beside the updater (tests/e2e/planted_dll.c)
    planted_may_run: bool = False  # the case shows that a planted DLL does run
    program: Optional[str] = None  # another program of the Windows build run in the updater's place
    # Why mkupdate plan cannot foresee this run (the world changes while it
    # runs), or "": the harness then checks the plan against the run.
    plan_cannot_foresee: str = ""
    # One of the few cases also run on the other code page and build.
    representative: bool = False
    # Two release folders of the repository (old, new): the installation
    # starts as the old one and the payload is what `mkupdate diff` drafts.
    diff: Optional[tuple] = None


def files(game=None, data=None, writable=()):
    """The installation afterwards: each named file's content (None: absent),
    and files that must have lost their read-only attribute."""
    def check(run):
        problems = []
        for folder, expected in (("game", game or {}), ("data", data or {})):
            base = run.game if folder == "game" else run.data
            for name, content in expected.items():
                path = base / name.replace("\\", "/")
                if isinstance(content, str):
                    content = content.encode("cp932")
                seen = path.read_bytes() if path.is_file() else ("<folder>" if path.is_dir() else None)
                if seen != content:
                    problems.append(f"{folder}/{name}: expected {content!r}, found {seen!r}")
        for name in writable:
            path = run.game / name.replace("\\", "/")
            if not (path.exists() and path.stat().st_mode & 0o200):
                problems.append(f"game/{name}: should have normal (writable) attributes")
        return problems
    return check


def file_is(name, content, folder="game"):
    return files(**{folder: {name: content}})


CASES = [
    # --- A complete update --------------------------------------------------
    Case("update-completes-exit-1", [
        shot("start-page-100"), press(NEXT, START), shot("confirmation-page"), press(NEXT, CONFIRM),
        shot("completed-page"), press(NEXT, DONE),
    ], exit_code=1, check=file_is("GAME.EXE", b"MZ new game"), representative=True),
    Case("enter-finishes-too", [key("enter", START), key("enter", CONFIRM), key("enter", DONE)], exit_code=1),

    # --- Start-up failures, in the order of the steps ------------------------
    Case("no-payload-resource", [], embed=False),
    Case("script-without-setup-section", [press(OK, common("SETUP : CompanyName キーが存在しません"))],
         script="[UPDATE]\nUpdateFile00=GAME.EXE\n"),
    *[Case(f"script-missing-{k.lower()}", [press(OK, common(f"SETUP : {k} キーが存在しません"))], script=script(**{k: None}))
      for k in ("CompanyName", "GameTitle", "GameClass", "GameDir")],
    Case("agreement-entry-missing", [
        press(OK, error("Can't Find File in Resource !!", "UPDATE")),
        press(OK, error("'AGREE.TXT' not found at UPDATE.FA3", "UPDATE")),
    ], script=script(AgreementText="AGREE.TXT"), record=None),
    Case("no-record-key", [shot("box-not-installed"), press(OK, not_installed())],
         record=None, representative=True),
    Case("no-instpath", [press(OK, not_installed())],
         record=record(inst_path=False)),
    Case("instpath-relative-is-not-installed", [press(OK, not_installed())],
         record=record(inst_path="game")),
    # A share of this very machine: its file server would follow links that
    # the updater's own checks never see.
    Case("instpath-on-a-share-of-this-machine-is-not-installed", [press(OK, not_installed())],
         record=record(inst_path=lambda ctx: "\\\\localhost\\C$" + ctx["game"][2:])),
    Case("no-instmode", [press(OK, not_installed())],
         record=record(inst_mode=None)),
    Case("instpath-of-260-bytes", [press(OK, not_installed())],
         record=record(inst_path="C:\\" + "x" * 257)),
    Case("instpath-of-259-bytes-fits", [press(OK, error("インストール先に \"SETUP.INI\" ファイルが見つかりません", "UPDATE"))],
         record=record(inst_path="C:\\" + "x" * 256)),
    Case("no-datapath-goes-on", [press(CANCEL, START), press(OK, INTERRUPTED)], record=record(data_path=False)),
    Case("instmode-stored-as-text", [press(CANCEL, START), press(OK, INTERRUPTED)], record=record(inst_mode="12")),
    Case("notice-before-setup-ini", [
        press(OK, error("一行目\r二行目 100% \\", "UPDATE")),
        press(OK, error("インストール先に \"SETUP.INI\" ファイルが見つかりません", "UPDATE")),
    ], script=script(UpdateMessage="一行目\\n二行目 100% \\"), setup_ini=None, representative=True),
    Case("setup-ini-missing-key-is-silent", [], setup_ini=setup_ini(GameExe=None)),
    Case("setup-ini-structural-error", [press(OK, common("SETUP.INI : InstallSelect オーバー"))],
         setup_ini=setup_ini(InstallSelects="5")),

    # --- Another copy and the running game ------------------------------------
    Case("second-copy-leaves-the-first-unharmed", [look(START), second(), press(NEXT, START), press(NEXT, CONFIRM),
                                                    press(NEXT, DONE)], second_exit=0, exit_code=1,
         check=file_is("GAME.EXE", b"MZ new game")),
    Case("game-running-ok-after-it-closed", [
        press(OK, box(game_running_text(), icon=False, buttons=("OK", "キャンセル"), owner="none")),
        press(OK, {"window": "box", "text": game_running_text()}),
        close_game(),
        press(CANCEL, START), press(OK, INTERRUPTED),
    ], before=[(f"game\t{CLASS}\t{TITLE}", None)], representative=True),
    Case("game-running-cancel", [press(CANCEL, {"window": "box", "icon": False, "buttons": ["OK", "キャンセル"]})],
         before=[(f"game\t{CLASS}\t{TITLE}", None)], game_visible=True),
    Case("game-running-under-the-second-title", [
        press(CANCEL, {"window": "box", "text": game_running_text("別名")}),
    ], script=script(GameTitleA="別名"), before=[(f"game\t{CLASS}\t別名", None)]),

    # --- The wizard -------------------------------------------------------------
    Case("wizard-cancelled", [press(CANCEL, START), shot("interrupted-box"), press(OK, INTERRUPTED)]),
    Case("escape-cancels", [key("escape", START), press(OK, INTERRUPTED)]),
    Case("close-box-cancels", [press(NEXT, START), close(CONFIRM), press(OK, INTERRUPTED)]),
    # Once every file is written, Escape and the close box finish as "完了" does.
    Case("escape-on-the-completed-page-finishes", [press(NEXT, START), press(NEXT, CONFIRM), key("escape", DONE)],
         exit_code=1, check=file_is("GAME.EXE", b"MZ new game")),
    Case("close-box-on-the-completed-page-finishes", [press(NEXT, START), press(NEXT, CONFIRM), close(DONE)],
         exit_code=1, check=file_is("GAME.EXE", b"MZ new game")),
    Case("agreement-keeps-next-disabled", [
        shot("start-page-101"),
        key("enter", wizard("同意の前に", next_=False, agreement="disagree")),
        press(AGREE, wizard("同意の前に", next_=False, agreement="disagree")),
        press(DISAGREE, wizard("同意の前に", next_=True, agreement="agree")),
        key("enter", wizard("同意の前に", next_=False, agreement="disagree")),
        press(AGREE, wizard("同意の前に", next_=False, agreement="disagree")),
        press(NEXT, wizard("同意の前に", next_=True, agreement="agree")),
        press(CANCEL, wizard("アップデートを実行します", agreement="hidden")),
        press(OK, INTERRUPTED),
    ], script=script(AgreementText="AGREE.TXT", AgreementTitle="TITLE.TXT"),
         payload_files={"GAME.EXE": b"x", "AGREE.TXT": "使用許諾\n本文", "TITLE.TXT": "同意の前に"}, representative=True),
    Case("agreement-title-with-template-100", [press(CANCEL, wizard("題名 100% %s", agreement=None)), press(OK, INTERRUPTED)],
         script=script(AgreementTitle="TITLE.TXT"), payload_files={"GAME.EXE": b"x", "TITLE.TXT": "題名 100% %s"}),
    Case("game-title-with-per-cent", [
        press(CANCEL, wizard("「50% %s」のアップデートを開始します", caption="50% %s アップデータ 1.01")),
        press(OK, error("アップデートが中断されました", "50% %s アップデータ 1.01")),
    ], setup_ini=setup_ini(GameTitle="50% %s")),
    Case("updater-title-replaces-the-caption", [press(CANCEL, wizard(START["info"], caption="特別版")),
                                                 press(OK, error("アップデートが中断されました", "特別版"))],
         script=script(UpdaterTitle="特別版")),
    Case("empty-version-leaves-a-blank", [press(CANCEL, wizard(START["info"], caption=f"{TITLE} アップデータ ")),
                                           press(OK, error("アップデートが中断されました", f"{TITLE} アップデータ "))],
         script=script(UpdaterVersion=None)),
]


# --- The update run ------------------------------------------------------------
def run_script(*lines, **keys):
    """A script whose section UPDATE holds exactly `lines` (key, value) and
    whose section SETUP has `keys` changed."""
    text = script(UpdateFile00=None, **keys)
    body = "".join(f"{k}={v}\n" for k, v in lines)
    return text.replace("[UPDATE]\n", "[UPDATE]\n" + body)


def run_error(text):
    return error(text, CAPTION, "wizard")


WRITE_FAILED = run_error("ファイルの書き込みに失敗しました")
NOTHING_TO_DO = run_error("アップデートする必要のあるファイルはありません")
RUN = [press(NEXT, START), press(NEXT, CONFIRM)]
FINISH = [press(NEXT, DONE)]
FAIL = [press(OK, INTERRUPTED)]
DAY = 86400


def short_of(count, drive="G:"):
    return wizard(f"ディスク容量が足りません。\r{drive} ドライブに {count} バイトの空き容量が必要です",
                  next_=False, back=True, cancel=True)


def disc_prompt(n):
    return box(f"ＣＤ－ＲＯＭドライブに「{TITLE}」ディスク {n} を入れて下さい", icon=False, buttons=("OK", "キャンセル"),
               owner="wizard")


def copy_failed(path):
    return run_error(f"SETUP.INI : \"{path}\" のコピーに失敗しました")


def aged(name, seconds, folder="game"):
    """Gives a laid-out file a last-write time `seconds` from now."""
    def prepare(run):
        import os
        import time
        path = (run.game if folder == "game" else run.data) / name
        os.utime(path, (time.time() + seconds, time.time() + seconds))
    return prepare


def aged_save(mode):
    """The data file SAVE.DAT a month old, with the given Unix mode."""
    def prepare(run):
        aged("SAVE.DAT", -30 * DAY, "data")(run)
        (run.data / "SAVE.DAT").chmod(mode)
    return prepare


def kept_and_touched(mode):
    """SAVE.DAT kept its content and mode, and took the run's time."""
    def check(run):
        import time
        path = run.data / "SAVE.DAT"
        problems = []
        if path.read_bytes() != b"player's progress":
            problems.append(f"SAVE.DAT: the player's content was replaced by {path.read_bytes()!r}")
        if abs(path.stat().st_mtime - time.time()) > 600:
            problems.append(f"SAVE.DAT: last-write time {time.ctime(path.stat().st_mtime)}, not the run's")
        if path.stat().st_mode & 0o777 != mode:
            problems.append(f"SAVE.DAT: mode {oct(path.stat().st_mode & 0o777)}, expected {oct(mode)}")
        return problems
    return check


def filler(run):
    (run.game.parent / "FILLER.BIN").write_bytes(b"\0" * (256 << 10))


def put(where):
    return (lambda ctx: f"put\t{where(ctx)}", None)


def delete(where):
    return (lambda ctx: f"delete\t{where(ctx)}", None)


DISC2 = {"HOSHI2.CHK": ""}

CASES += [
    # Free space, on a real 4 MiB file system.
    Case("space-exactly-enough", RUN + FINISH, exit_code=1, small_disk=True,
         script=lambda ctx: run_script(("RequiredDiskSpace", ctx["small_free"]), ("UpdateFile00", "GAME.EXE"))),
    Case("space-one-byte-short-then-back-and-again", [
        *RUN, press(BACK, short_of(1)), delete(lambda ctx: "G:\\FILLER.BIN"), press(NEXT, CONFIRM), *FINISH,
    ], exit_code=1, small_disk=True, prepare=filler,
         script=lambda ctx: run_script(("RequiredDiskSpace", ctx["small_free"] + 1), ("UpdateFile00", "GAME.EXE")),
         check=file_is("GAME.EXE", b"MZ new game"), plan_cannot_foresee="space is freed while the wizard waits", representative=True),
    # RequiredDiskSpace=-1 stands for 4,294,967,295 bytes: the shortfall is
    # shown in full, not as a negative 32-bit number.
    Case("space-short-by-more-than-2-gib-cancel", [
        *RUN, press(CANCEL, lambda ctx: short_of(4294967295 - ctx["small_free"])), *FAIL,
    ], small_disk=True, script=run_script(("RequiredDiskSpace", "-1"), ("UpdateFile00", "GAME.EXE")),
         check=file_is("GAME.EXE", b"MZ old game")),
    *[Case(f"required-space-{name}-is-no-test", RUN + FINISH, exit_code=1, small_disk=True,
           script=run_script(("RequiredDiskSpace", value), ("UpdateFile00", "GAME.EXE")))
      for name, value in (("zero", "0"), ("text", "abc"))],

    # The update-file lines by kind.
    Case("overwrite-only-passes-over-a-missing-target", RUN + FINISH, exit_code=1,
         script=run_script(("OverwriteOnly", "1"), ("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "NEW.DAT")),
         payload_files={"GAME.EXE": b"MZ new game", "NEW.DAT": b"new"},
         check=files(game={"GAME.EXE": b"MZ new game", "NEW.DAT": None})),
    Case("existing-only-kind", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "o,GAME.EXE"), ("UpdateFile01", "O,NEW.DAT")),
         payload_files={"GAME.EXE": b"MZ new game", "NEW.DAT": b"new"},
         check=files(game={"GAME.EXE": b"MZ new game", "NEW.DAT": None})),
    Case("plain-target-that-is-a-folder-fails", RUN + [press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(("UpdateFile00", "GAME.EXE")), game_files={"GAME.EXE\\keep": b"k"},
         check=files(game={"GAME.EXE\\keep": b"k"})),
    Case("if-newer-keeps-a-newer-file", RUN + FINISH, exit_code=1, script=run_script(("UpdateFile00", "u,GAME.EXE")),
         prepare=aged("GAME.EXE", DAY), check=file_is("GAME.EXE", b"MZ old game")),
    Case("if-newer-replaces-an-older-file", RUN + FINISH, exit_code=1, script=run_script(("UpdateFile00", "U,GAME.EXE")),
         prepare=aged("GAME.EXE", -DAY), check=file_is("GAME.EXE", b"MZ new game")),
    Case("data-file-kept-when-it-exists", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "d,SAVE.DAT"), DataFolder="save"),
         payload_files={"SAVE.DAT": b"fresh"}, data_files={"save\\SAVE.DAT": b"player's progress"},
         check=files(data={"save\\SAVE.DAT": b"player's progress"})),
    # The player's save keeps its content and takes the run's time, read-only or not.
    *[Case(f"data-file-kept-and-touched-{name}", RUN + FINISH, exit_code=1,
           script=run_script(("UpdateFile00", "d,SAVE.DAT")), payload_files={"SAVE.DAT": b"fresh"},
           data_files={"SAVE.DAT": b"player's progress"},
           prepare=aged_save(mode), check=kept_and_touched(mode), representative=True)
      for name, mode in (("plain", 0o644), ("read-only", 0o444))],
    Case("data-file-written-when-missing-in-a-new-data-folder", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "d,SAVE.DAT"), DataFolder="save"), payload_files={"SAVE.DAT": b"fresh"},
         check=files(data={"save\\SAVE.DAT": b"fresh"})),
    # Without a DataPath, or with a relative one, the data folder is taken
    # under InstPath, never under the updater's working folder.
    Case("data-file-with-an-empty-data-path-lands-under-instpath", RUN + FINISH, exit_code=1,
         record=record(data_path=False), script=run_script(("UpdateFile00", "d,SAVE.DAT")),
         payload_files={"SAVE.DAT": b"fresh"},
         check=lambda run: files(game={"SAVE.DAT": b"fresh"})(run) +
         [f"{p} was written in the working folder" for p in run.folder.glob("SAVE.DAT")]),
    Case("data-file-with-a-relative-data-path-lands-under-instpath", RUN + FINISH, exit_code=1,
         record=record(data_path="save"), script=run_script(("UpdateFile00", "d,SAVE.DAT")),
         payload_files={"SAVE.DAT": b"fresh"}, game_files={"GAME.EXE": b"MZ old game", "save\\keep": b""},
         check=lambda run: files(game={"save\\SAVE.DAT": b"fresh"})(run) +
         [f"{p} was written in the working folder" for p in run.folder.glob("SAVE.DAT")]),
    Case("path-through-a-missing-folder-fails", RUN + [press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(("UpdateFile00", "nodir\\GAME.EXE"))),
    Case("two-lines-share-an-entry", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "a\\x.bin"), ("UpdateFile01", "b\\x.bin")),
         payload_files={"x.bin": b"shared"}, game_files={"a\\keep": b"", "b\\keep": b""},
         check=files(game={"a\\x.bin": b"shared", "b\\x.bin": b"shared"})),
    Case("japanese-path-with-0x5c-trail-byte", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "表示\\表.dat")), payload_files={"表.dat": b"hyou"},
         game_files={"表示\\keep": b""}, check=files(game={"表示\\表.dat": b"hyou"}), representative=True),
    Case("install-mode-selects-lines", RUN + FINISH, exit_code=1, record=record(inst_mode=1),
         script=run_script(("UpdateFile00", "0,GAME.EXE"), ("UpdateFile01", "1,u,EXTRA.DAT")),
         payload_files={"GAME.EXE": b"mode 0", "EXTRA.DAT": b"mode 1"},
         check=files(game={"GAME.EXE": b"MZ old game", "EXTRA.DAT": b"mode 1"})),
    Case("every-line-of-another-mode", RUN + [press(OK, NOTHING_TO_DO)] + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "1,GAME.EXE"), ("CopyFile00", "1,2:A.DAT")),
         check=file_is("GAME.EXE", b"MZ old game")),
    # Lines that would write outside their folder fail like a write that
    # cannot be made; nothing lands outside.
    *[Case(f"update-line-outside-its-folder-{name}", RUN + [press(OK, WRITE_FAILED)] + FAIL,
           script=run_script(("UpdateFile00", path)), payload_files={"EVIL.DLL": b"planted"},
           check=lambda run: [f"{p} was written" for p in run.game.parent.rglob("EVIL.DLL")])
      for name, path in (("dot-dot", "..\\EVIL.DLL"), ("dot-dot-slash", "sub/../../EVIL.DLL"),
                         ("drive", "C:\\EVIL.DLL"), ("root", "\\EVIL.DLL"))],
    Case("data-folder-outside-the-data-path", RUN + [press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(("UpdateFile00", "d,SAVE.DAT"), DataFolder="..\\game"), payload_files={"SAVE.DAT": b"x"},
         check=lambda run: [f"{p} was written" for p in run.game.parent.rglob("SAVE.DAT")]),
    Case("copy-line-outside-the-installation", RUN + [press(OK, copy_failed("..\\EVIL.DLL"))] + FAIL,
         script=run_script(("CopyFile00", "2:..\\EVIL.DLL")), discs={"d": {**DISC2, "EVIL.DLL": b"planted"}},
         check=lambda run: [f"{p} was written" for p in run.game.parent.rglob("EVIL.DLL")]),
    Case("commands-during-a-box-of-the-run-change-nothing", RUN + [
        look(NOTHING_TO_DO), shot("busy-with-a-box"), command(NEXT), command(CANCEL), command(BACK), press(OK, NOTHING_TO_DO)] + FINISH,
         exit_code=1,
         script=run_script(("UpdateFile00", "1,GAME.EXE"))),
    Case("neither-list", RUN + [press(OK, run_error("No 'UpdateFileXX' and 'CopyFileXX'"))] + FAIL,
         script=run_script(("UpdateFile01", "GAME.EXE"), ("CopyFile01", "2:A.DAT"))),
    Case("failure-at-the-third-of-five", RUN + [shot("box-write-failed"), press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(*[(f"UpdateFile0{i}", f"F{i}.DAT") for i in range(5)]),
         payload_files={f"F{i}.DAT": f"new {i}".encode() for i in range(5)},
         game_files={"F0.DAT": b"old 0", "F1.DAT": b"old 1", "F2.DAT\\keep": b"", "F3.DAT": b"old 3"},
         check=files(game={"F0.DAT": b"new 0", "F1.DAT": b"new 1", "F3.DAT": b"old 3", "F4.DAT": None})),

    # The disc copy.
    Case("disc-prompt-until-the-disc-is-in", RUN + [
        press(OK, disc_prompt(2)), look(disc_prompt(2)), command(NEXT), command(CANCEL), command(BACK),
        put(lambda ctx: ctx["cd"]["e"] + "\\HOSHI2.CHK"), press(OK, disc_prompt(2)), *FINISH,
    ], exit_code=1, script=run_script(("CopyFile00", "2:MOVIE.DAT")), discs={"e": {"MOVIE.DAT": b"movie"}},
         check=file_is("MOVIE.DAT", b"movie"), plan_cannot_foresee="the disc is put in while the prompt waits", representative=True),
    Case("disc-prompt-cancelled", RUN + [shot("box-insert-disc"), press(CANCEL, disc_prompt(2))] + FAIL,
         script=run_script(("CopyFile00", "2:MOVIE.DAT")), check=file_is("MOVIE.DAT", None)),
    Case("lower-drive-letter-wins", RUN + FINISH, exit_code=1, script=run_script(("CopyFile00", "2:MOVIE.DAT")),
         discs={"d": {**DISC2, "MOVIE.DAT": b"from D"}, "e": {**DISC2, "MOVIE.DAT": b"from E"}},
         check=file_is("MOVIE.DAT", b"from D")),
    Case("another-disc-is-passed-over", RUN + FINISH, exit_code=1, script=run_script(("CopyFile00", "2:MOVIE.DAT")),
         discs={"d": {"HOSHI1.CHK": "", "MOVIE.DAT": b"disc 1"}, "f": {**DISC2, "MOVIE.DAT": b"disc 2"}},
         check=file_is("MOVIE.DAT", b"disc 2")),
    Case("empty-check-file-takes-any-disc", RUN + FINISH, exit_code=1, script=run_script(("CopyFile00", "3:X.DAT")),
         discs={"d": {"X.DAT": b"any"}}, check=file_is("X.DAT", b"any")),
    Case("line-without-disc-number-uses-the-drive-before", RUN + FINISH, exit_code=1,
         script=run_script(("CopyFile00", "2:A.DAT"), ("CopyFile01", "B.DAT")),
         discs={"d": {"B.DAT": b"wrong drive"}, "e": {**DISC2, "A.DAT": b"a", "B.DAT": b"b"}},
         check=files(game={"A.DAT": b"a", "B.DAT": b"b"})),
    Case("folder-arrives-under-its-last-name", RUN + FINISH, exit_code=1,
         script=run_script(("CopyFile00", "2:data\\movie")),
         discs={"d": {**DISC2, "data\\movie\\op.mpg": b"op", "data\\movie\\ed.mpg": b"ed"}},
         check=files(game={"movie\\op.mpg": b"op", "movie\\ed.mpg": b"ed", "data": None})),
    Case("file-into-a-new-folder-and-over-a-read-only-file", RUN + FINISH, exit_code=1,
         script=run_script(("CopyFile00", "2:new\\deep\\a.bin"), ("CopyFile01", "OLD.BIN")),
         discs={"d": {**DISC2, "new\\deep\\a.bin": b"a", "OLD.BIN": b"replacement"}},
         game_files={"OLD.BIN": b"old"},
         prepare=lambda run: (run.game / "OLD.BIN").chmod(0o444),
         check=files(game={"new\\deep\\a.bin": b"a", "OLD.BIN": b"replacement"}, writable=("new\\deep\\a.bin", "OLD.BIN"))),
    Case("source-not-on-the-disc", RUN + [press(OK, copy_failed("NOPE.DAT"))] + FAIL,
         script=run_script(("CopyFile00", "2:NOPE.DAT")), discs={"d": DISC2}),
    Case("first-copy-line-without-a-disc-number-fails", RUN + [press(OK, copy_failed("A.DAT"))] + FAIL,
         script=run_script(("CopyFile00", "A.DAT")), discs={"d": {**DISC2, "A.DAT": b"a"}},
         check=file_is("A.DAT", None)),
    Case("disc-character-that-is-no-digit-fails", RUN + [press(OK, copy_failed("A.DAT"))] + FAIL,
         script=run_script(("CopyFile00", "x:A.DAT")), discs={"d": {**DISC2, "A.DAT": b"a"}},
         check=file_is("A.DAT", None)),
]


# --- A large update: 200 MB in five files ----------------------------------
def big_payload(folder):
    import os
    import random
    (folder / "R1.BIN").write_bytes(os.urandom(60 << 20))
    (folder / "R2.BIN").write_bytes(os.urandom(60 << 20))
    words = [b"scenario ", b"voice ", "あい ".encode("cp932"), b"line\r\n", b"chapter "]
    r = random.Random(3)
    (folder / "T1.DAT").write_bytes(b"".join(r.choice(words) for _ in range((40 << 20) // 7)))
    (folder / "Z1.DAT").write_bytes(bytes(40 << 20))


def same_as_payload(run):
    return [f"{name} differs from the payload" for name in ("R1.BIN", "R2.BIN", "T1.DAT", "Z1.DAT")
            if (run.game / name).read_bytes() != (run.payload / name).read_bytes()]


CASES += [
    Case("update-of-200-mb", RUN + FINISH, exit_code=1, make_payload=big_payload, check=same_as_payload,
         script=run_script(*[(f"UpdateFile0{i}", n) for i, n in enumerate(("R1.BIN", "R2.BIN", "T1.DAT", "Z1.DAT"))])),
]


# --- Entries of method 1: LZMA after each filter -------------------------------
# An executable (the x86 filter), a WAV file (the delta filter at its frame
# size) and a text (no filter), each checked against the payload byte for
# byte after the run, and the built archive's listing checked for the three.
def lzma_payload(folder):
    import random
    r = random.Random(27)
    code = bytearray(b"MZ")
    while len(code) < 300_000:
        if r.randrange(3) == 0:
            target = 0x1000 + r.randrange(60) * 0x230  # calls to a few functions
            code += bytes([0xE8]) + ((target - len(code) - 5) & 0xFFFFFFFF).to_bytes(4, "little")
        else:
            code += r.choice([b"\x55\x8b\xec\x83", b"\x8b\x45\x08\x50", b"\x33\xc0\xc3\x90"])
    (folder / "GAME.EXE").write_bytes(bytes(code))
    samples, value, slope = bytearray(), 0, 37
    while len(samples) < 200_000:
        if r.randrange(500) == 0:
            slope = r.randrange(-100, 100)
        value += slope + r.randrange(-3, 4)
        samples += (value & 0xFFFF).to_bytes(2, "little") + ((value + 5) & 0xFFFF).to_bytes(2, "little")
    fmt = bytes.fromhex("0100 0200 2256 0000 8858 0100 0400 1000".replace(" ", ""))
    body = b"WAVEfmt " + (16).to_bytes(4, "little") + fmt + b"data" + len(samples).to_bytes(4, "little") + samples
    (folder / "VOICE.WAV").write_bytes(b"RIFF" + len(body).to_bytes(4, "little") + body)
    words = ["シナリオ ", "scenario ", "ボイス ", "line\r\n", "第一章 "]
    (folder / "STORY.TXT").write_bytes("".join(r.choice(words) for _ in range(40_000)).encode("cp932"))


def same_as_payload_by_method(run):
    import subprocess
    mkupdate = pathlib.Path(__file__).resolve().parents[2] / "build" / "native" / "tools" / "mkupdate"
    listing = subprocess.run([str(mkupdate), "list", "-v", str(run.folder / "updater.exe")], capture_output=True,
                             text=True).stdout
    problems = [f"{name} is not held as {method}: {listing}" for method, name in
                (("lzma+x86", "GAME.EXE"), ("lzma+delta4", "VOICE.WAV"), ("lzma", "STORY.TXT"))
                if not re.search(rf"\s{re.escape(method)}\s.*\s{name}\b", listing)]
    return problems + [f"{name} differs from the payload" for name in ("GAME.EXE", "VOICE.WAV", "STORY.TXT")
                       if (run.game / name).read_bytes() != (run.payload / name).read_bytes()]


CASES += [
    Case("update-of-lzma-entries-with-each-filter", RUN + FINISH, exit_code=1, make_payload=lzma_payload,
         payload_files={}, check=same_as_payload_by_method,
         script=run_script(("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "VOICE.WAV"), ("UpdateFile02", "STORY.TXT"))),
]

# --- Solid groups (method 3) -------------------------------------------------
# Three executables (two near-copies) in an x86 group, three texts (two
# near-copies) in a plain one; the script's lines name them in an order other
# than the directory's, so the updater's group cursor starts groups over as
# well as decoding on. Each file is checked byte for byte, and the listing
# for the groups.
SOLID_FILES = ("STORY2.TXT", "TOOL.EXE", "GAME.EXE", "NOTES.TXT", "ENGINE.DLL", "STORY1.TXT")


def solid_payload(folder):
    import random
    r = random.Random(31)

    def code(size):
        out = bytearray(b"MZ")
        while len(out) < size:
            if r.randrange(3) == 0:
                target = 0x1000 + r.randrange(60) * 0x230
                out += bytes([0xE8]) + ((target - len(out) - 5) & 0xFFFFFFFF).to_bytes(4, "little")
            else:
                out += r.choice([b"\x55\x8b\xec\x83", b"\x8b\x45\x08\x50", b"\x33\xc0\xc3\x90", b"\x6a\x00\xff\x15"])
        return out

    game = code(250_000)
    engine = bytearray(game)
    for at in range(1000, len(engine), 30_000):
        engine[at] ^= 0x11
    (folder / "GAME.EXE").write_bytes(bytes(game))
    (folder / "ENGINE.DLL").write_bytes(bytes(engine))
    (folder / "TOOL.EXE").write_bytes(bytes(code(90_000)))
    words = ["シナリオ ", "scenario ", "ボイス ", "line\r\n", "第一章 ", "選択肢 "]
    story = "".join(r.choice(words) for _ in range(30_000))
    (folder / "STORY1.TXT").write_bytes(story.encode("cp932"))
    (folder / "STORY2.TXT").write_bytes(story.replace("第一章", "第二章", 40).encode("cp932"))
    (folder / "NOTES.TXT").write_bytes("".join(r.choice(words) for _ in range(5_000)).encode("cp932"))


def same_as_payload_in_groups(run):
    import subprocess
    mkupdate = pathlib.Path(__file__).resolve().parents[2] / "build" / "native" / "tools" / "mkupdate"
    listing = subprocess.run([str(mkupdate), "list", "-v", str(run.folder / "updater.exe")], capture_output=True,
                             text=True).stdout
    problems = [f"{name} is not held as {method}: {listing}" for method, name in
                [("lzma+x86 solid", n) for n in ("GAME.EXE", "ENGINE.DLL", "TOOL.EXE")] +
                [("lzma solid", n) for n in ("STORY1.TXT", "STORY2.TXT", "NOTES.TXT")]
                if not re.search(rf"\s{re.escape(method)} \d+\s.*\s{name}\b", listing)]
    return problems + [f"{name} differs from the payload" for name in SOLID_FILES
                       if (run.game / name).read_bytes() != (run.payload / name).read_bytes()]


CASES += [
    Case("update-of-solid-groups-out-of-order", RUN + FINISH, exit_code=1, make_payload=solid_payload,
         payload_files={}, check=same_as_payload_in_groups,
         script=run_script(*[(f"UpdateFile0{i}", n) for i, n in enumerate(SOLID_FILES)])),
]

# --- A damaged update ---------------------------------------------------------
# The executable is built by mkupdate, then one bit of it is flipped where the
# archive's structure cannot notice: the bytes of a stored entry, a literal
# byte of a compressed block, a letter of an entry name in the (compressed)
# directory, the checksum record itself. The updater must refuse each before
# it writes anything.
def update_resource(image, resource_id):
    """The file offset and size of the executable's resource UPDATE/id."""
    import pefile
    pe = pefile.PE(data=bytes(image))
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.name is not None and str(kind.name) == "UPDATE":
            for entry in kind.directory.entries:
                if entry.id == resource_id:
                    data = entry.directory.entries[0].data.struct
                    return pe.get_offset_from_rva(data.OffsetToData), data.Size
    raise LookupError(f"no resource UPDATE/{resource_id}")


def flip(resource_id, where):
    """Flips the lowest bit of the byte at where(resource bytes) in UPDATE/id."""
    def damage(image):
        offset, size = update_resource(image, resource_id)
        image[offset + where(bytes(image[offset:offset + size]))] ^= 0x01
    return damage


def in_directory(text):
    """The first byte of `text` behind the archive's DirectoryOffset."""
    return lambda archive: archive.index(text, int.from_bytes(archive[8:12], "little"))


NOISE = bytes(random.Random(7).randbytes(4096))           # stored: it does not compress
STORY = ("MARKER-LITERAL " + "星の航路 第一章 " * 200).encode("cp932")  # compressed; begins with literals
DAMAGE_SCRIPT = run_script(("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "NOISE.BIN"), ("UpdateFile02", "STORY.TXT"))
DAMAGE_PAYLOAD = {"GAME.EXE": b"MZ new game", "NOISE.BIN": NOISE, "STORY.TXT": STORY}
UNTOUCHED = files(game={"GAME.EXE": b"MZ old game", "NOISE.BIN": None, "STORY.TXT": None})
REFUSED = [press(OK, error("RESOURCE READ ERROR", "UPDATE"))]
# In name order: GAME.EXE at offset 16, then NOISE.BIN at 32, STORY.TXT, UPDATE.INI.
STORED_BYTE = flip(102, lambda archive: 32 + 1000)
LITERAL_BYTE = flip(102, lambda archive: archive.index(b"MARKER"))

CASES += [
    Case("damaged-stored-entry-refused", REFUSED, script=DAMAGE_SCRIPT, payload_files=DAMAGE_PAYLOAD,
         damage=STORED_BYTE, check=UNTOUCHED, representative=True),
    # An LzBlock entry (--method lz): its literals are bytes of the file.
    Case("damaged-literal-of-a-compressed-entry-refused", REFUSED, script=DAMAGE_SCRIPT,
         payload_files=DAMAGE_PAYLOAD, damage=LITERAL_BYTE, check=UNTOUCHED, build_options=("--method", "lz")),
    # An LZMA entry (build's choice for STORY.TXT): a bit in the middle of its stream.
    Case("damaged-lzma-entry-refused", REFUSED, script=DAMAGE_SCRIPT, payload_files=DAMAGE_PAYLOAD,
         damage=flip(102, lambda archive: 32 + 4096 + 30), check=UNTOUCHED),
    Case("damaged-entry-name-in-the-directory-refused", REFUSED, script=DAMAGE_SCRIPT, payload_files=DAMAGE_PAYLOAD,
         damage=flip(102, in_directory(b"NOIS")), check=UNTOUCHED),
    Case("damaged-checksum-record-refused", REFUSED, script=DAMAGE_SCRIPT, payload_files=DAMAGE_PAYLOAD,
         damage=flip(103, lambda record: 16), check=UNTOUCHED),
    # Without the record the same damage goes through: the case the check exists for.
    Case("damage-without-a-checksum-record-is-written", RUN + FINISH, exit_code=1, script=DAMAGE_SCRIPT,
         payload_files=DAMAGE_PAYLOAD, build_options=("--no-checksum",), damage=STORED_BYTE,
         check=lambda run: [] if (run.game / "NOISE.BIN").read_bytes() != NOISE
         else ["NOISE.BIN arrived intact: the damage did not reach the stored entry"]),
    # Without the record, a damaged LZMA stream is found by its decoder: the
    # entry's box, and the file not put in place.
    Case("damaged-lzma-entry-without-a-checksum-record-is-not-put",
         RUN + [press(OK, run_error("Broken File in Resource !!")), press(OK, WRITE_FAILED)] + FAIL,
         script=DAMAGE_SCRIPT, payload_files=DAMAGE_PAYLOAD,
         build_options=("--no-checksum",), damage=flip(102, lambda archive: 32 + 4096 + 30),
         check=files(game={"STORY.TXT": None})),
    Case("update-without-a-checksum-record-still-runs", RUN + FINISH, exit_code=1, script=DAMAGE_SCRIPT,
         payload_files=DAMAGE_PAYLOAD, build_options=("--no-checksum",),
         check=files(game={"GAME.EXE": b"MZ new game", "NOISE.BIN": NOISE, "STORY.TXT": STORY})),
]


# --- DLLs planted beside the updater -------------------------------------------
# Every DLL the updater was seen to load under Wine (WINEDEBUG=+loaddll, a
# whole run with the disc copy), planted beside it, which is also its
# working folder. The planted DllMain leaves a marker; none may appear.
PLANTED = tuple(f"{name}.dll" for name in (
    "kernelbase", "kernel32", "msvcrt", "ucrtbase", "sechost", "advapi32", "zlib1", "win32u", "gdi32", "version",
    "user32", "imm32", "rpcrt4", "combase", "ole32", "uxtheme", "shcore", "shlwapi", "shell32",
    # and names Windows loads by name for such a program
    "dwmapi", "cryptbase", "propsys", "profapi", "ntmarta", "sspicli", "apphelp", "msctf", "oleacc", "comctl32",
    "clbcatq", "msimg32"))

CASES += [
    Case("planted-dlls-never-run", RUN + FINISH, exit_code=1, planted=PLANTED,
         script=run_script(("UpdateFile00", "GAME.EXE"), ("CopyFile00", "2:MOVIE.DAT")),
         discs={"d": {**DISC2, "MOVIE.DAT": b"m"}}, check=files(game={"GAME.EXE": b"MZ new game", "MOVIE.DAT": b"m"}), representative=True),
    # The twin: the same DLLs beside a program without the hardening do run.
    Case("planted-dlls-run-beside-an-unhardened-program", [], exit_code=0, planted=PLANTED, planted_may_run=True,
         program="unhardened.exe", representative=True),
]


# --- Folders that code page 932 cannot spell ------------------------------------
# The installation and data folders under a name with "é" (no code page 932
# form) or "¥" (whose best-fit stand-in is 0x5C, a separator): the updater
# takes their short form and updates the right files.
CASES += [
    Case(f"installation-in-a-folder-with-{name}", RUN + FINISH, exit_code=1, install_folder=folder,
         script=run_script(("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "d,SAVE.DAT")),
         payload_files={"GAME.EXE": b"MZ new game", "SAVE.DAT": b"fresh"},
         check=files(game={"GAME.EXE": b"MZ new game"}, data={"SAVE.DAT": b"fresh"}), representative=True)
    for name, folder in (("e-acute", "Café"), ("yen", "Yen¥Folder"))
]


# --- Links that the player's own programs made -------------------------------------
# A program of the player's, unelevated, can make links in a folder the
# player can write. Under Wine a host symbolic link is a reparse point owned
# by the user (no administrator): the elevated updater must not follow it.
def player_link(name, target="elsewhere"):
    """Makes game\\name a symbolic link to a folder beside the game."""
    def prepare(run):
        outside = run.game.parent / target
        outside.mkdir(exist_ok=True)
        (outside / "keep").write_bytes(b"")
        (run.game / name.replace("\\", "/")).symlink_to(outside, target_is_directory=True)
    return prepare


def nothing_outside(run):
    outside = run.game.parent / "elsewhere"
    return [f"{p} was written beyond the player's link" for p in outside.iterdir() if p.name != "keep"]


def asked_for_redirection_guard(run):
    log = (run.folder / "wine.log").read_text(errors="replace")
    return [] if "SetProcessMitigationPolicy (16," in log else \
        ["the updater never asked for RedirectionGuard (policy 16): " + log[-400:]]


def long_target(slug):
    """A line whose target is 259 bytes long: the updater's own limit."""
    base = f"C:\\koushin\\{slug}\\game"
    folder = "f" * 120
    name = "n" * (259 - len(base) - 2 - len(folder))
    return folder, name


LONG_FOLDER, LONG_NAME = long_target("target-of-259-bytes-is-replaced")

CASES += [
    Case("update-line-through-a-players-link-is-refused", RUN + [press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(("UpdateFile00", "data\\EVIL.DLL")), payload_files={"EVIL.DLL": b"planted"},
         game_files={"GAME.EXE": b"MZ old game"}, prepare=player_link("data"), check=nothing_outside),
    Case("copy-line-through-a-players-link-is-refused", RUN + [press(OK, copy_failed("movie\\EVIL.DLL"))] + FAIL,
         script=run_script(("CopyFile00", "2:movie\\EVIL.DLL")), discs={"d": {**DISC2, "movie\\EVIL.DLL": b"planted"}},
         prepare=player_link("movie"), check=nothing_outside),
    Case("copied-folder-merged-over-a-players-link-is-refused", RUN + [press(OK, copy_failed("movie"))] + FAIL,
         script=run_script(("CopyFile00", "2:movie")),
         discs={"d": {**DISC2, "movie\\sub\\EVIL.DLL": b"planted"}},
         game_files={"GAME.EXE": b"MZ old game", "movie\\keep": b""},
         prepare=lambda run: player_link("movie\\sub")(run), check=nothing_outside),
    Case("redirection-guard-is-asked-for", RUN + FINISH, exit_code=1, check=asked_for_redirection_guard),
    Case("target-of-259-bytes-is-replaced", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", LONG_FOLDER + "\\" + LONG_NAME)), payload_files={LONG_NAME: b"new"},
         game_files={"GAME.EXE": b"MZ old game", LONG_FOLDER + "\\" + LONG_NAME: b"old"},
         check=files(game={LONG_FOLDER + "\\" + LONG_NAME: b"new"})),
]


# --- What an interrupted run left ---------------------------------------------------
# A crash between the two renames of a replacement leaves the old file under
# the target's name with ".ks~bak" and no target; temporary files and the
# disc copy's staging folder stay too. The next start repairs it all before
# the wizard opens, without a word.
def interrupted_run_left(run):
    (run.game / "GAME.EXE").rename(run.game / "GAME.EXE.ks~bak")
    (run.game / "~ks0000BEEF.tmp").write_bytes(b"half written")
    (run.game / "~ks-staging" / "movie").mkdir(parents=True)
    (run.game / "~ks-staging" / "movie" / "op.mpg").write_bytes(b"staged")


def repaired(run):
    left = sorted(p.name for p in run.game.iterdir())
    return file_is("GAME.EXE", b"MZ old game")(run) + \
        ([] if left == ["GAME.EXE", "SETUP.INI"] else [f"left in the installation: {left}"])


CASES += [
    Case("next-start-repairs-what-a-crash-left", [press(CANCEL, START), press(OK, INTERRUPTED)],
         prepare=interrupted_run_left, check=repaired),
]


# --- All or nothing ---------------------------------------------------------------
def kill():
    return ("kill", None)


def start():
    return ("start", None)


def nothing_of_ours(run):
    return [f"{p} was left behind" for folder in (run.game, run.data) if folder.exists() for p in folder.rglob("*")
            if p.name.startswith("~ks") or p.name.endswith(".ks~bak")]


def unchanged_and_clean(game):
    return lambda run: files(game=game)(run) + nothing_of_ours(run)


AON_FIVE = dict(
    script=run_script(("AllOrNothing", "1"), *[(f"UpdateFile0{i}", f"F{i}.DAT") for i in range(5)]),
    payload_files={f"F{i}.DAT": f"new {i}".encode() for i in range(5)},
    game_files={"F0.DAT": b"old 0", "F1.DAT": b"old 1", "F2.DAT\\keep": b"", "F3.DAT": b"old 3"})
AON_DISC = dict(
    script=run_script(("AllOrNothing", "1"), ("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "NEW.DAT"),
                      ("CopyFile00", "2:MOVIE.DAT")),
    payload_files={"GAME.EXE": b"MZ new game", "NEW.DAT": b"new"})

CASES += [
    # The same boxes as without the key, and then nothing changed.
    Case("all-or-nothing-failure-at-the-third-of-five", RUN + [press(OK, WRITE_FAILED)] + FAIL, **AON_FIVE,
         check=unchanged_and_clean({"F0.DAT": b"old 0", "F1.DAT": b"old 1", "F3.DAT": b"old 3", "F4.DAT": None})),
    Case("all-or-nothing-cancel-at-the-disc-prompt", RUN + [press(CANCEL, disc_prompt(2))] + FAIL, **AON_DISC,
         check=unchanged_and_clean({"GAME.EXE": b"MZ old game", "NEW.DAT": None, "MOVIE.DAT": None})),
    # Killed while the disc prompt waits, every update file written beside
    # its target; started again: nothing changed, nothing of ours left.
    Case("all-or-nothing-killed-at-the-disc-prompt-then-started-again",
         RUN + [look(disc_prompt(2)), kill(), start(), press(CANCEL, START)] + FAIL, **AON_DISC,
         check=unchanged_and_clean({"GAME.EXE": b"MZ old game", "NEW.DAT": None, "MOVIE.DAT": None}),
         plan_cannot_foresee="the run is killed"),
    Case("all-or-nothing-completes", RUN + FINISH, exit_code=1, discs={"d": {**DISC2, "MOVIE.DAT": b"movie"}},
         **AON_DISC,
         check=lambda run: files(game={"GAME.EXE": b"MZ new game", "NEW.DAT": b"new", "MOVIE.DAT": b"movie"})(run) +
         nothing_of_ours(run)),
]


# --- A crash while files were put in place ----------------------------------------
def xxh64(data: bytes, seed: int = 0) -> int:
    """XXH64, as the journal's checksum (the algorithm's published definition)."""
    m = (1 << 64) - 1
    p1, p2, p3, p4, p5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0x85EBCA77C2B2AE63,
                          0x27D4EB2F165667C5)
    rotl = lambda x, r: ((x << r) | (x >> (64 - r))) & m  # noqa: E731
    def round_(acc, lane):
        return rotl((acc + lane * p2) & m, 31) * p1 & m
    def lane(at):
        return int.from_bytes(data[at:at + 8], "little")
    i, n = 0, len(data)
    if n >= 32:
        v = [(seed + p1 + p2) & m, (seed + p2) & m, seed, (seed - p1) & m]
        while i + 32 <= n:
            v = [round_(v[k], lane(i + 8 * k)) for k in range(4)]
            i += 32
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & m
        for x in v:
            h = ((h ^ round_(0, x)) * p1 + p4) & m
    else:
        h = (seed + p5) & m
    h = (h + n) & m
    while i + 8 <= n:
        h = (rotl(h ^ round_(0, lane(i)), 27) * p1 + p4) & m
        i += 8
    if i + 4 <= n:
        h = (rotl(h ^ (int.from_bytes(data[i:i + 4], "little") * p1 & m), 23) * p2 + p3) & m
        i += 4
    while i < n:
        h = (rotl(h ^ (data[i] * p5 & m), 11) * p1) & m
        i += 1
    h ^= h >> 33
    h = h * p2 & m
    h ^= h >> 29
    h = h * p3 & m
    return h ^ (h >> 32)


def crashed_while_placing(run):
    """What a power cut leaves while an all-or-nothing run puts its files in
    place: GAME.EXE already new with its old version aside, NEW.DAT still
    beside its place, the journal that lists both."""
    game = run.paths["game"]
    (run.game / "GAME.EXE").rename(run.game / "GAME.EXE.ks~bak")
    (run.game / "GAME.EXE").write_bytes(b"MZ new game")
    (run.game / "~ks0000AAAA.tmp").write_bytes(b"new")
    body = ("koushin journal 1\r\n"
            f"F\t{game}\\~ks0000BBBB.tmp\t{game}\\GAME.EXE\t80\tU\r\n"
            f"F\t{game}\\~ks0000AAAA.tmp\t{game}\\NEW.DAT\t-\tU\r\n"
            f"S\t{game}\\~ks-staging\r\n").encode("cp932")
    digest = xxh64(body)
    (run.game / "~ks-journal.dat").write_bytes(body + f"X\t{digest >> 32:08x}{digest & 0xFFFFFFFF:08x}\r\n".encode())


ROLLED_BACK = box("前回のアップデートが中断されたため、ゲームを元の状態に戻しました", owner="none")

CASES += [
    # The box, then the old installation, nothing of ours left ...
    Case("all-or-nothing-crash-while-placing-is-rolled-back", [press(OK, ROLLED_BACK), press(CANCEL, START)] + FAIL,
         **AON_DISC, prepare=crashed_while_placing,
         check=unchanged_and_clean({"GAME.EXE": b"MZ old game", "NEW.DAT": None})),
    # ... and the update can be run again at once.
    Case("all-or-nothing-crash-while-placing-then-a-run-that-completes", [press(OK, ROLLED_BACK)] + RUN + FINISH,
         exit_code=1, **AON_DISC, discs={"d": {**DISC2, "MOVIE.DAT": b"movie"}}, prepare=crashed_while_placing,
         check=lambda run: files(game={"GAME.EXE": b"MZ new game", "NEW.DAT": b"new", "MOVIE.DAT": b"movie"})(run) +
         nothing_of_ours(run), plan_cannot_foresee="the start first rolls back what a crash left"),
]


# --- What a player's program plants for the elevated updater -------------------------
# A journal in the format the updater writes, with a valid checksum, whose
# records name a file and a folder outside both base folders; and a link left
# in a staging folder of the old name, into which a disc folder would once
# have been copied. Neither is followed: the update runs as if nothing were
# there.
def planted_journal(run):
    outside = run.game.parent / "elsewhere"
    (outside / "tree").mkdir(parents=True, exist_ok=True)
    (outside / "keep").write_bytes(b"not the game's")
    (outside / "tree" / "keep").write_bytes(b"not the game's")
    game, elsewhere = run.paths["game"], run.paths["game"].rsplit("\\", 1)[0] + "\\elsewhere"
    body = ("koushin journal 1\r\n"
            f"F\t{game}\\~ks0000AAAA.tmp\t{elsewhere}\\keep\t-\tU\r\n"
            f"S\t{elsewhere}\\tree\r\n").encode("cp932")
    digest = xxh64(body)
    (run.game / "~ks-journal.dat").write_bytes(body + f"X\t{digest >> 32:08x}{digest & 0xFFFFFFFF:08x}\r\n".encode())


def outside_untouched(run):
    outside = run.game.parent / "elsewhere"
    problems = [f"{p} is gone" for p in (outside / "keep", outside / "tree" / "keep") if not p.is_file()]
    return problems + [f"{p} was written outside" for p in outside.rglob("*") if p.name not in ("keep", "tree")]


def staging_link(run):
    outside = run.game.parent / "elsewhere"
    outside.mkdir(exist_ok=True)
    (outside / "keep").write_bytes(b"")
    (run.game / "~ks-staging").mkdir()
    (run.game / "~ks-staging" / "movie").symlink_to(outside, target_is_directory=True)


def no_staging_of_this_run(run):
    return [f"{p} was left behind" for p in run.game.iterdir() if p.name.startswith("~ks-staging-")]


CASES += [
    Case("planted-journal-naming-files-outside-is-refused", RUN + FINISH, exit_code=1, prepare=planted_journal,
         check=lambda run: files(game={"GAME.EXE": b"MZ new game"})(run) + outside_untouched(run)),
    Case("link-left-in-a-staging-folder-is-never-copied-through", RUN + FINISH, exit_code=1,
         script=run_script(("CopyFile00", "2:movie")),
         discs={"d": {**DISC2, "movie\\EVIL.DLL": b"planted", "movie\\op.mpg": b"movie"}}, prepare=staging_link,
         check=lambda run: files(game={"movie\\EVIL.DLL": b"planted", "movie\\op.mpg": b"movie"})(run) +
         nothing_outside(run) + no_staging_of_this_run(run)),
]


# --- Trees, many files, removals ------------------------------------------------------
# An update carries its files under their paths: two files of one name in two
# folders are two entries; a line whose path ends in "\" writes every file of
# the update below that folder (".\" the whole update), making the folders
# they need; counted lists go past sixteen lines; removal lines take away what
# the new release no longer has, and all or nothing takes them back.
TREE = {"bg\\001.bmp": b"new bg", "ev\\001.bmp": b"new ev", "voice\\deep\\01.ogg": b"new voice"}
OLD_TREE = {"GAME.EXE": b"MZ old game", "bg\\001.bmp": b"old bg", "ev\\001.bmp": b"old ev",
            "old.dat": b"old", "olddir\\a.dat": b"a", "olddir\\sub\\b.dat": b"b"}
MANY = 40


def tree_is(expected):
    """The whole installation folder: each file with its content, nothing else
    (SETUP.INI aside), nothing of ours left."""
    def check(run):
        seen = {str(p.relative_to(run.game)).replace("/", "\\"): p.read_bytes()
                for p in run.game.rglob("*") if p.is_file() and p.name != "SETUP.INI"}
        want = {name: content for name, content in expected.items()}
        return ([] if seen == want else [f"installation holds {sorted(seen.items())}, expected {sorted(want.items())}"]) \
            + nothing_of_ours(run)
    return check


CASES += [
    Case("tree-two-files-of-one-name-in-two-folders", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", "bg\\001.bmp"), ("UpdateFile01", "ev\\001.bmp")),
         payload_files=TREE, game_files=OLD_TREE,
         check=tree_is({**OLD_TREE, "bg\\001.bmp": b"new bg", "ev\\001.bmp": b"new ev"})),
    Case("folder-line-writes-the-whole-tree-with-its-new-folders", RUN + FINISH, exit_code=1,
         script=run_script(("UpdateFile00", ".\\")), payload_files={**TREE, "GAME.EXE": b"MZ new game"},
         game_files=OLD_TREE, check=tree_is({**OLD_TREE, **TREE, "GAME.EXE": b"MZ new game"})),
    # Forty files, the wizard showing which file it writes (a run that stops
    # at the disc prompt after them keeps what it wrote).
    Case("more-than-sixteen-files-with-progress", RUN + [press(CANCEL, disc_prompt(2))] + FAIL,
         script=run_script(("UpdateFileCount", MANY), *[(f"UpdateFile{i:02d}", f"data\\F{i:02d}.DAT")
                                                        for i in range(MANY)], ("CopyFile00", "2:MOVIE.DAT")),
         payload_files={f"data\\F{i:02d}.DAT": bytes([i]) * 200_000 for i in range(MANY)},
         game_files={"GAME.EXE": b"MZ old game", "data\\keep": b""},
         check=tree_is({"GAME.EXE": b"MZ old game", "data\\keep": b"",
                        **{f"data\\F{i:02d}.DAT": bytes([i]) * 200_000 for i in range(MANY)}})),
    Case("removal-lines-take-a-file-and-a-folder-away", RUN + FINISH, exit_code=1,
         script=run_script(("RemoveFile00", "old.dat"), ("RemoveFile01", "olddir\\"), ("RemoveFile02", "never.dat"),
                           ("UpdateFile00", "GAME.EXE")),
         game_files=OLD_TREE,
         check=tree_is({"GAME.EXE": b"MZ new game", "bg\\001.bmp": b"old bg", "ev\\001.bmp": b"old ev"})),
    Case("all-or-nothing-takes-removals-back", RUN + [press(OK, run_error("Can't Find File in Resource !!")),
                                                      press(OK, WRITE_FAILED)] + FAIL,
         script=run_script(("AllOrNothing", "1"), ("RemoveFile00", "old.dat"), ("RemoveFile01", "olddir\\"),
                           ("UpdateFile00", ".\\"), ("UpdateFile01", "MISSING.DAT")),
         payload_files={**TREE, "GAME.EXE": b"MZ new game"}, game_files=OLD_TREE, check=tree_is(OLD_TREE)),
]


# --- An update drafted from two releases ------------------------------------------------
# mkupdate diff drafts the update from the example game's releases 1 and
# 2.00, build packs it, and the run on an installation of release 1 leaves
# the installation folder exactly as release 2.00 is.
REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
RELEASE_1 = "examples/game/install"
RELEASE_2 = "examples/game-2.00/install"


def release(relative):
    root = REPOSITORY / relative
    return {str(p.relative_to(root)).replace("/", "\\"): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def exactly_release(relative):
    def check(run):
        seen = {str(p.relative_to(run.game)).replace("/", "\\"): p.read_bytes() for p in run.game.rglob("*")
                if p.is_file()}
        want = release(relative)
        wrong = sorted(name for name in set(seen) | set(want) if seen.get(name) != want.get(name))
        folders = sorted(str(p.relative_to(run.game)) for p in run.game.rglob("*") if p.is_dir())
        want_folders = sorted(str(p.relative_to(REPOSITORY / relative)) for p in (REPOSITORY / relative).rglob("*")
                              if p.is_dir())
        return ([f"differs from {relative}: {wrong}"] if wrong else []) + \
            ([f"folders {folders}, expected {want_folders}"] if folders != want_folders else [])
    return check


# diff's script names no UpdaterVersion: the caption has none.
DRAFT_CAPTION = f"{TITLE} アップデータ "
DRAFT_RUN = [press(NEXT, wizard(f"「{TITLE}」のアップデートを開始します", caption=DRAFT_CAPTION)),
             press(NEXT, wizard("アップデートを実行します", caption=DRAFT_CAPTION)),
             press(NEXT, wizard("アップデートは完了しました", next_=True, cancel=False, next_text="完了",
                                caption=DRAFT_CAPTION))]

CASES += [
    Case("diff-of-two-releases-turns-the-old-installation-into-the-new", DRAFT_RUN, exit_code=1,
         script=None, payload_files={}, setup_ini=None, game_files=release(RELEASE_1), diff=(RELEASE_1, RELEASE_2),
         check=exactly_release(RELEASE_2)),
]


# --- Deltas against the previous release ------------------------------------------------
# MOVIE.DAT travels as a delta against release 1's copy (build --delta-from):
# on release 1 it is patched, on release 2 left alone (a second run after an
# interrupted one), on any other copy the run stops with the box that names
# the file, and all or nothing leaves everything as it was.
def _release_bytes(seed, size=60_000):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(size))


MOVIE_1 = _release_bytes(27)
MOVIE_2 = MOVIE_1[:1000] + b"RELEASE 2" + MOVIE_1[1009:40000] + b"more frames" + MOVIE_1[40000:]
MOVIE_OTHER = MOVIE_1[:30000] + b"a fan's patch" + MOVIE_1[30013:]
DELTA_SCRIPT = run_script(("AllOrNothing", "1"), ("UpdateFile00", "GAME.EXE"), ("UpdateFile01", "MOVIE.DAT"))


def against_release_1(run):
    """build's options: --delta-from a folder holding release 1's files."""
    previous = run.folder / "release-1"
    previous.mkdir(exist_ok=True)
    (previous / "MOVIE.DAT").write_bytes(MOVIE_1)
    (previous / "GAME.EXE").write_bytes(b"MZ old game")
    return ("--delta-from", str(previous))


def carried_as_delta(check):
    """The case's check, after making sure the update carries MOVIE.DAT as a delta."""
    def both(run):
        listing = subprocess.run([str(REPOSITORY / "build" / "native" / "tools" / "mkupdate"), "list", "-v",
                                  str(run.folder / "updater.exe")], capture_output=True, text=True).stdout
        row = [line for line in listing.splitlines() if " MOVIE.DAT " in line]
        return ([] if row and "delta" in row[0] else [f"MOVIE.DAT is not carried as a delta: {row}"]) + check(run)
    return both


OTHER_RELEASE = run_error(f"「{TITLE}」のファイル MOVIE.DAT が、このアップデートの対象のバージョンのものと異なるため、"
                          "アップデートできません。ゲームをインストールし直すか、お使いのバージョンに合ったアップデートを使って下さい")

CASES += [
    Case("delta-update-patches-the-previous-release", RUN + FINISH, exit_code=1, script=DELTA_SCRIPT,
         payload_files={"GAME.EXE": b"MZ new game", "MOVIE.DAT": MOVIE_2},
         game_files={"GAME.EXE": b"MZ old game", "MOVIE.DAT": MOVIE_1}, build_options=against_release_1,
         check=carried_as_delta(tree_is({"GAME.EXE": b"MZ new game", "MOVIE.DAT": MOVIE_2}))),
    Case("delta-update-leaves-the-new-release-alone", RUN + FINISH, exit_code=1, script=DELTA_SCRIPT,
         payload_files={"GAME.EXE": b"MZ new game", "MOVIE.DAT": MOVIE_2},
         game_files={"GAME.EXE": b"MZ old game", "MOVIE.DAT": MOVIE_2}, build_options=against_release_1,
         check=carried_as_delta(tree_is({"GAME.EXE": b"MZ new game", "MOVIE.DAT": MOVIE_2}))),
    Case("delta-update-on-another-version-says-so-and-changes-nothing",
         RUN + [press(OK, OTHER_RELEASE), press(OK, WRITE_FAILED)] + FAIL, script=DELTA_SCRIPT,
         payload_files={"GAME.EXE": b"MZ new game", "MOVIE.DAT": MOVIE_2},
         game_files={"GAME.EXE": b"MZ old game", "MOVIE.DAT": MOVIE_OTHER}, build_options=against_release_1,
         check=carried_as_delta(tree_is({"GAME.EXE": b"MZ old game", "MOVIE.DAT": MOVIE_OTHER}))),
]
