"""The end-to-end cases. A case is a short description: the installation,
the record, the payload, and the steps, each a command for the driver with
what the window it answers must show. Everything a case leaves out takes
the defaults below, a working installation of the example game."""
import dataclasses
import re
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
    controls = {"1": button(next_text, next_), "2": button("中止", cancel), "4": button("戻る", back)}
    if agreement is not None:
        for cid in ("1000", "1002", "1003"):
            controls[cid] = {"visible": agreement != "hidden"}
        if agreement in ("agree", "disagree"):
            controls["1002"]["checked"] = agreement == "agree"
            controls["1003"]["checked"] = agreement == "disagree"
    return {"window": "wizard", "caption": caption, "info": info, "controls": controls}


START = wizard(f"「{TITLE}」のアップデートを開始します")
CONFIRM = wizard("アップデートを実行します")
DONE = wizard("アップデートは完了しました", next_=True, cancel=False, next_text="完了")
INTERRUPTED = error("アップデートが中断されました")

OK, CANCEL, NEXT, BACK, AGREE, DISAGREE = 1, 2, 1, 4, 1002, 1003


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


def file_is(name, content, folder="game"):
    def check(game, data, _temp):
        path = (game if folder == "game" else data) / name
        seen = path.read_bytes() if path.exists() else None
        return [] if seen == content else [f"{folder}/{name}: expected {content!r}, found {seen!r}"]
    return check


CASES = [
    # --- A complete update --------------------------------------------------
    Case("update-completes-exit-1", [
        shot("start-page-100"), press(NEXT, START), shot("confirmation-page"), press(NEXT, CONFIRM), press(NEXT, DONE),
    ], exit_code=1, check=file_is("GAME.EXE", b"MZ new game")),
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
    Case("no-record-key", [press(OK, error(f"「{TITLE}」がインストールされていません", "UPDATE"))], record=None),
    Case("no-instpath", [press(OK, error(f"「{TITLE}」がインストールされていません", "UPDATE"))],
         record=record(inst_path=False)),
    Case("no-instmode", [press(OK, error(f"「{TITLE}」がインストールされていません", "UPDATE"))],
         record=record(inst_mode=None)),
    Case("instpath-of-260-bytes", [press(OK, error(f"「{TITLE}」がインストールされていません", "UPDATE"))],
         record=record(inst_path="C:\\" + "x" * 257)),
    Case("instpath-of-259-bytes-fits", [press(OK, error("インストール先に \"SETUP.INI\" ファイルが見つかりません", "UPDATE"))],
         record=record(inst_path="C:\\" + "x" * 256)),
    Case("no-datapath-goes-on", [press(CANCEL, START), press(OK, INTERRUPTED)], record=record(data_path=False)),
    Case("instmode-stored-as-text", [press(CANCEL, START), press(OK, INTERRUPTED)], record=record(inst_mode="12")),
    Case("notice-before-setup-ini", [
        press(OK, error("一行目\r二行目 100% \\", "UPDATE")),
        press(OK, error("インストール先に \"SETUP.INI\" ファイルが見つかりません", "UPDATE")),
    ], script=script(UpdateMessage="一行目\\n二行目 100% \\"), setup_ini=None),
    Case("setup-ini-missing-key-is-silent", [], setup_ini=setup_ini(GameExe=None)),
    Case("setup-ini-structural-error", [press(OK, common("SETUP.INI : InstallSelect オーバー"))],
         setup_ini=setup_ini(InstallSelects="5")),

    # --- Another copy and the running game ------------------------------------
    Case("second-copy-brings-the-first-forward", [look(START), second(), press(CANCEL, START), press(OK, INTERRUPTED)],
         second_exit=0),
    Case("game-running-ok-after-it-closed", [
        press(OK, box(f"「{TITLE}」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい",
                      icon=False, buttons=("OK", "キャンセル"), owner="none")),
        press(OK, {"window": "box", "text": f"「{TITLE}」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい"}),
        close_game(),
        press(CANCEL, START), press(OK, INTERRUPTED),
    ], before=[(f"game\t{CLASS}\t{TITLE}", None)]),
    Case("game-running-cancel", [press(CANCEL, {"window": "box", "icon": False, "buttons": ["OK", "キャンセル"]})],
         before=[(f"game\t{CLASS}\t{TITLE}", None)], game_visible=True),
    Case("game-running-under-the-second-title", [
        press(CANCEL, {"window": "box", "text": "「別名」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい"}),
    ], script=script(GameTitleA="別名"), before=[(f"game\t{CLASS}\t別名", None)]),

    # --- The wizard -------------------------------------------------------------
    Case("wizard-cancelled", [shot("interrupted-box"), press(CANCEL, START), press(OK, INTERRUPTED)]),
    Case("escape-cancels", [key("escape", START), press(OK, INTERRUPTED)]),
    Case("close-box-cancels", [press(NEXT, START), close(CONFIRM), press(OK, INTERRUPTED)]),
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
         payload_files={"GAME.EXE": b"x", "AGREE.TXT": "使用許諾\n本文", "TITLE.TXT": "同意の前に"}),
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
