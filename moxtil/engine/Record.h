// The record (-J): JSON Lines appended to a file, one object an event, for a
// production line's history and for programs that follow a run. One more
// sink beside the log, rendered from the same slot records; the log's lines
// do not change with it. Every line is one write in append mode, so that
// several processes may append to one file without interleaving.
#pragma once

#include "moxtil/engine/RunState.h"

/// Opens path for appending (created when missing, never truncated): 0, or
/// -1 after saying why in a log line.
int RecordOpen(const char* path);
/// Whether a record is being written (-J given and opened).
bool RecordActive();
/// Closes the record. For the end of a run and tests.
void RecordClose();

/// run_begin: the program, the options given (argv) and the files, with
/// their sizes and digests (read here, once).
void RecordRunBegin(int argc, char** argv, UW hostAddress);
/// interface: the station's interface changed ("new_address", "back",
/// "down", "no_address"), with the host's address now (0: none).
void RecordInterfaceChange(const char* change, UW hostAddress);
/// row_begin (file-list mode): the row and its files.
void RecordRowBegin(int row);
/// target_begin: a target's loader connection was accepted.
void RecordTargetBegin(const PROCESS_INFO& p);
/// stage: "loader_sent", "data_connection", "id_code_sent",
/// "program_chosen", "erasing", with what each stage has.
void RecordStage(const PROCESS_INFO& p, const char* stage);
/// progress: at most once every kRecordProgressMs per target.
constexpr int kRecordProgressMs = 500;
void RecordProgress(PROCESS_INFO& p, int64_t acknowledged);
/// Where a line written in part stands in the record file fd, whose offset
/// is the end of what was written of it, after TakeBackPart: taken back (it
/// was at the end of a regular file), at the end to stay (not a regular
/// file, or it could not be cut: the rest may follow it), or overtaken
/// (another writer appended after it: nothing of ours may follow it).
enum class RecordPart { kTakenBack, kAtTheEnd, kOvertaken };
RecordPart TakeBackPart(int fd, size_t written);
/// Ends the file fd with a line feed where its last line has none, so that
/// the next line parses: false when that cannot be written.
bool EndTheLastLine(int fd);
/// The digest of what h was fed, in hex; h is a copy.
const char* HexOf(sha256_ctx h, char hex[kSha256HexSize]);
/// Whether the program file of index 0 or 1, open as fd, is the very file
/// that run_begin or row_begin read for its digest, unchanged since (its
/// inode, size and change times): the bytes sent from it are those, and
/// the digest (into hex, when not null) is theirs.
bool RecordedDigestOf(int index, int fd, char hex[kSha256HexSize]);
/// target_end: once its transfer has ended.
void RecordTargetEnd(const PROCESS_INFO& p);
/// warning: something the operator should know of, of a kind ("same_mac",
/// "failure_guard"), with the line that told it; the target it concerns,
/// its hardware address and another target, where there are (null: none).
void RecordWarning(const char* kind, const char* explanation, const char* target = nullptr,
                   const char* mac = nullptr, const char* otherTarget = nullptr);
/// run_end: the counts, the run's tally (failures by line, devices, times),
/// the exit value and what ended the run ("count", "idle", "signal",
/// "failure_guard", "time_out", "done", "error").
void RecordRunEnd(int exitValue, const char* endedBy);
