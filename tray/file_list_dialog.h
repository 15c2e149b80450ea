#pragma once
// The file list dialog (dialog 107): a folder or search listing, or the stored
// versions of one entry, and the restore requests sent from it.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app_state.h"

// 0: a dialog opening now is in folder mode; otherwise the self_id whose
// versions it shows. Non-zero exactly while a versions dialog is open.
extern uint64_t currentSelfId;
// The volume of that self_id: the two name one file together.
extern uint64_t currentVolumeId;

// Lists the stored files whose path contains the search text, or, with an
// empty text, the folder selected in the main window and what lies below it.
// A read that fails opens no list and is said in a box.
void ShowFolderFiles(HWND parent, std::wstring searchText);

INT_PTR CALLBACK FileListDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// A negative width makes a right-aligned column of the absolute width.
void AddListColumn(HWND listView, int index, std::wstring caption, int width);

// The file list's columns and what each row shows in them: a versions listing
// (Copy, Filename, Size, Timestamp; row 0 is copy 1, the version stored last)
// or a folder or search listing (Filename, Timestamp, Versions, Size).
const int fileListColumns = 4;
void AddFileListColumns(HWND listView, bool versions);
std::wstring FileListCellText(const FileListEntry& entry, size_t row, int column, bool versions);
// Column 0 inserts the row; the others set its cells.
void SetListCell(HWND listView, int row, int column, const std::wstring& text);
// The columns, then one row per entry, in order.
void FillFileList(HWND listView, const std::vector<FileListEntry>& rows, bool versions);

// Sends "RESTORE FILES" for the entries, three messages each: self id, volume
// id with a tab and the stored copy's path (the number alone without one),
// and the stored time. True when every message went out, and then the list is
// emptied. The service never answers.
bool SendRestoreFiles(std::string destination, std::vector<FileListEntry>& restoreList);

std::wstring FormatByteSize(uint64_t count);
