// The one path of all output: status lines and log lines go to the Android
// log under the tag "moxtil" at debug priority, where the update app reads them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/console.h"
#include "common/util.h"

/// Serialises writers of the log; null while no cycle runs (lines are then
/// written without the lock).
extern util_mutex_t _hMtxConsole;

/// Writes str as one log record. The text is never used as a format. On a
/// terminal a failure line (one that begins with -1) shows in red, the finish
/// line in green.
void ConsoleOut(const char* str);
/// Writes str as one log record shown in tone.
void ConsoleOut(const char* str, Tone tone);
/// Writes two records with no other thread's record between them: an
/// explanation and the status line it explains.
void ConsoleOutTogether(const char* first, Tone firstTone, const char* second, Tone secondTone);
/// The tone of a status line: failure, the finish, or plain.
Tone ToneOf(const char* statusLine);

/// Formats a message (cut at 1023 characters) and writes it with ConsoleOut.
/// ostream is not written to; callers pass stderr.
void printLog(FILE* ostream, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// An address as text: "a.b.c.d", or "a.b.c.d:port" when a port is given.
struct AddressText {
  char text[32];
};
/// ipaddr in network byte order (first octet in the lowest byte), port in host order.
AddressText FormatAddress(uint32_t ipaddr, int port = -1);

// Explanations are plain log lines (printLog) that tell what failed and why,
// next to the status lines; they never begin with "-1 " or "NNN %".
//
// Status lines. A line that begins with "-1 " tells the update app that the
// update failed; the texts are read by existing update apps and stay as they are.
namespace status {
inline constexpr char kConnect[] = "000 % connect";
inline constexpr char kNowErasing[] = "000 % Now erasing";
inline constexpr char kFinish[] = "100 % finish";
inline constexpr char kTimeOut[] = "-1 time out";
inline constexpr char kMainProcessFailed[] = "-1 ailed to the preparation of the main process";
inline constexpr char kUdpEndpointFailed[] = "-1 failed to open the UDP endpoint";
inline constexpr char kReceptionPointFailed[] = "-1 failed to open the TCP reception point";
inline constexpr char kFileListUnreadable[] = "-1 error can not read the filelist\n";
inline constexpr char kListedFileNotFound[] = "-1 error file not found ";
inline constexpr char kSubProcessFailed[] = "-1 failed to the preparation of the sub process.";
inline constexpr char kLoaderNotFound[] = "-1 loader file not found";
inline constexpr char kRebootDataError[] = "-1 _reboot data error";
inline constexpr char kIdFileNotFound[] = "-1 file not found";
inline constexpr char kIdFileEmpty[] = "-1 file  no id";
inline constexpr char kIdFileShort[] = "-1 file read error";
inline constexpr char kIdDataError[] = "-1 id data error";
inline constexpr char kTargetNotFound[] = "-1 target PG file not found";
inline constexpr char kTargetSendError[] = "-1 *****ERROR*****";
}  // namespace status
