// UTF-8 originals of common/messages.h, generated with it.
#pragma once

struct MessageOriginal { const char* name; const char* bytes; const char* utf8; };
#include "common/messages.h"
inline const MessageOriginal kMessageOriginals[] = {
  {"kMsgNoEntry", kMsgNoEntry, reinterpret_cast<const char*>(u8"Can't Find File in Resource !!")},
  {"kMsgNoMemory", kMsgNoMemory, reinterpret_cast<const char*>(u8"Can't Allocate Memory !!")},
  {"kMsgBrokenEntry", kMsgBrokenEntry, reinterpret_cast<const char*>(u8"Broken File in Resource !!")},
  {"kMsgDiskShortForEntry", kMsgDiskShortForEntry, reinterpret_cast<const char*>(u8"ディスク容量が足りません。%s ドライブに %I64u バイトの空き容量が必要です")},
  {"kMsgSetupKeyMissing", kMsgSetupKeyMissing, reinterpret_cast<const char*>(u8"SETUP.INI : %s キーが存在しません")},
  {"kMsgScriptKeyMissing", kMsgScriptKeyMissing, reinterpret_cast<const char*>(u8"%s : %s キーが存在しません")},
  {"kMsgSetupBmpError", kMsgSetupBmpError, reinterpret_cast<const char*>(u8"SETUP.INI : SetupBmps エラー")},
  {"kMsgInstallSelectOver", kMsgInstallSelectOver, reinterpret_cast<const char*>(u8"SETUP.INI : InstallSelect オーバー")},
  {"kMsgSetupKeyError", kMsgSetupKeyError, reinterpret_cast<const char*>(u8"SETUP.INI : %s エラー")},
  {"kMsgShortcutsOver", kMsgShortcutsOver, reinterpret_cast<const char*>(u8"SETUP.INI : Shortcuts オーバー")},
  {"kTextSelectSetupMessage", kTextSelectSetupMessage, reinterpret_cast<const char*>(u8"インストール方法を選択して下さい")},
  {"kMsgResourceReadError", kMsgResourceReadError, reinterpret_cast<const char*>(u8"RESOURCE READ ERROR")},
  {"kMsgAgreementNotFound", kMsgAgreementNotFound, reinterpret_cast<const char*>(u8"'%s' not found at UPDATE.FA3")},
  {"kMsgNotInstalled", kMsgNotInstalled, reinterpret_cast<const char*>(u8"「%s」がインストールされていません")},
  {"kMsgNoSetupIni", kMsgNoSetupIni, reinterpret_cast<const char*>(u8"インストール先に \"SETUP.INI\" ファイルが見つかりません")},
  {"kTextDefaultCaption", kTextDefaultCaption, reinterpret_cast<const char*>(u8"%s アップデータ %s")},
  {"kMsgRolledBack", kMsgRolledBack, reinterpret_cast<const char*>(u8"前回のアップデートが中断されたため、ゲームを元の状態に戻しました")},
  {"kMsgGameRunning", kMsgGameRunning, reinterpret_cast<const char*>(u8"「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい")},
  {"kMsgInterrupted", kMsgInterrupted, reinterpret_cast<const char*>(u8"アップデートが中断されました")},
  {"kTextFinish", kTextFinish, reinterpret_cast<const char*>(u8"完了")},
  {"kInfoStart", kInfoStart, reinterpret_cast<const char*>(u8"「%s」のアップデートを開始します")},
  {"kInfoConfirm", kInfoConfirm, reinterpret_cast<const char*>(u8"アップデートを実行します")},
  {"kInfoCompleted", kInfoCompleted, reinterpret_cast<const char*>(u8"アップデートは完了しました")},
  {"kInfoDiskShort", kInfoDiskShort, reinterpret_cast<const char*>(u8"ディスク容量が足りません。\r%s ドライブに %I64u バイトの空き容量が必要です")},
  {"kInfoRunning", kInfoRunning, reinterpret_cast<const char*>(u8"アップデートを実行しています")},
  {"kInfoRunningFile", kInfoRunningFile, reinterpret_cast<const char*>(u8"アップデートを実行しています\r%s (%u%%)")},
  {"kMsgNoLists", kMsgNoLists, reinterpret_cast<const char*>(u8"No 'UpdateFileXX' and 'CopyFileXX'")},
  {"kMsgNothingToUpdate", kMsgNothingToUpdate, reinterpret_cast<const char*>(u8"アップデートする必要のあるファイルはありません")},
  {"kMsgWriteFailed", kMsgWriteFailed, reinterpret_cast<const char*>(u8"ファイルの書き込みに失敗しました")},
  {"kInfoCopying", kInfoCopying, reinterpret_cast<const char*>(u8"%s をコピーしています")},
  {"kMsgCopyFailed", kMsgCopyFailed, reinterpret_cast<const char*>(u8"SETUP.INI : \"%s\" のコピーに失敗しました")},
  {"kMsgInsertDisc", kMsgInsertDisc, reinterpret_cast<const char*>(u8"ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい")},
};
