// The file list: a text file with one update file set per row, for -L.
#pragma once

/// The number of rows before the first empty one, or -1 when the list cannot
/// be opened.
int GetTotalLine(const char* filelist);

/// Loads row `row` (from 1) into the update file set: 0, or -1 when the list
/// cannot be read that far, the row has fewer than three fields, or a named
/// file is not a regular file (the last also writes a status line).
int SetFilenameInFilelist(const char* filelist, int row);

/// What kept the last SetFilenameInFilelist from loading its row.
const char* FileListProblem();
