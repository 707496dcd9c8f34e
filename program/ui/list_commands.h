// The result list's popup menu and its commands. Each runs on the
// user-interface thread, between searches (the list is disabled during one).
#pragma once

extern "C" {
// Right-click on the list: pops up "浏览器打开", "复制地址" and "关于" when a
// row is selected, "关于" alone otherwise.
void ShowListMenu();
// The share-page address of the selected row, built from its hidden address
// cell ("<share>|<owner>"): ".../share/link?uk=<owner>&shareid=<share>" when
// the share part reads as a positive number, ".../s/<share>" otherwise. A new
// text owned by the caller; the empty text when the cell is empty.
char* BuildShareAddress();
// Menu commands: the selected row's share page in the browser, its address
// on the clipboard, and the About box.
void OpenShareAddress();
void CopyShareAddress();
void ShowAbout();
}
