// Android's log without liblog: lines go to the log daemon's socket as the
// platform's log library sends them, so that one static binary logs on a
// phone and writes standard output on a board.
#pragma once

#include <cstddef>

/// Connects to the log daemon's socket where there is one
/// (/dev/socket/logdw): false where there is none. Once, at start.
bool LogdOpen();

/// Writes each line of text (a trailing line feed ends the last) as one log
/// entry under tag and prio, in the order of the calls. Never blocks: what the
/// socket does not take at once is held back and sent before any later line;
/// beyond what can be held, whole lines are dropped, and a line says how many
/// where they are missing.
void LogdWrite(int prio, const char* tag, const char* text, size_t len);
