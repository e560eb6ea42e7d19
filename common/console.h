// How log records are shown. Records go through the platform's log; where
// the log goes to a person's terminal, a live view of lines redrawn in
// place sits below them.
#pragma once

/// How a record stands out on a terminal; its text is the same everywhere.
enum class Tone { kPlain, kFailure, kSuccess };

/// Writes text as one log record under tag, at debug priority.
void LogRecord(const char* tag, const char* text, Tone tone);

/// Whether records go to a terminal that shows a live view: never on
/// Android, into a pipe or a file, or with TERM=dumb.
bool LiveViewActive();

/// Whether a record of several lines reads as those lines written one by
/// one: where records go to a pipe or a file off Android (nor to a terminal's
/// live view); on Android every record is one entry of the log.
bool LogJoinsLines();

/// Replaces the live view with text, one line per '\n'-separated part,
/// redrawn in place below the records; empty text clears it. Does nothing
/// where there is no live view.
void LiveViewShow(const char* text);
