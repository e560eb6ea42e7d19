// The command line: the update file set and the option globals, written once
// by ParameterShell before any thread starts and only read afterwards.
#pragma once

#include "moxtil/itron/Itron.h"

constexpr int kPathSize = 4096;
/// The kernel's limit of an interface name (IFNAMSIZ): 15 characters and
/// the NUL. USB adapters are named after their MAC with all 15.
constexpr int kIfNameSize = 16;

// The update file set. In file-list mode the file list rewrites it per row.
extern char _loaderFile[kPathSize];
extern char _idFile[kPathSize];
extern char _targetFile[2][kPathSize];  // [1] empty when there is no second program
extern char _FileListPath[kPathSize];

/// Stores `path` in a kPathSize buffer: the whole buffer cleared, then at most
/// kPathSize - 1 characters, so that a longer path is cut, never overrun.
void StorePath(char* buffer, const char* path);

extern int _baseOffset;          // -B: port base
extern char _reboot;             // -R, -r: the byte sent after the loader (kReboot...)
extern int _reset;               // -I: send the restart datagram each cycle
extern UW _resetIP;              // -I address
extern int _ForcedNoReset;       // -F: void -I
extern int _unicast;             // -D: announce to and serve only _dstIP
extern UW _dstIP;                // -D address
extern int _TimeOutSecond;       // -T as given, in s (0 = none); the engine reads it only as _TimeOutmSecond
extern int _delay;               // -N: pause in ms around each program piece
extern char ifname[kIfNameSize];  // -i
extern int _reuse_addr;          // -b
extern int _filelist;            // -L
extern int _filelistWaitTimer;   // -LT: seconds between rows
extern int _option;              // -M 1: several targets at once; -S 0 (the default)
extern int _targetLimit;         // -M<n>: the run ends after n targets; 0 = no limit
extern char _recordPath[kPathSize];  // -J: the JSON Lines record to append to; "" = none
extern int _failureLimit;        // -E<n> (with -M): n failures in a row end the run; 0 = no limit

// The reboot byte that follows the loader on the wire: none asked for, -R, -r.
constexpr char kRebootNone = 0x00;
constexpr char kRebootFull = 'R';
constexpr char kRebootSemi = 'r';

// Start values of the options, also what ResetOptions restores. (The
// interface name is a literal, since it initialises an array.)
constexpr int kDefaultBaseOffset = 10000;
#define MOXTIL_DEFAULT_IFNAME "eth0"

/// The usage text, 35 lines.
extern const char kUsageText[];
/// The version line, the first of every run and the answer to --version.
extern const char kVersionLine[];
/// The line after the usage text that --help writes.
extern const char kManualPageLine[];

/// What ParameterShell gives when the command line asked a question
/// (--version, --help) that it has answered: the program ends with 0.
constexpr int kParameterAnswered = 1;

/// Takes the command line: 0; kParameterAnswered; or -1 after writing why.
int ParameterShell(int argc, char** argv);

/// str as a decimal number of at most 7 digits (empty gives 0), or -1.
int StringToInt(const char* str);

/// Writes the usage text as one log record.
void PrintUsage();

/// Stores the dotted address text in *ip_addr (network byte order): 0, or -1
/// with *ip_addr untouched.
int ConvIPStrToNum(const char* argv_n, UW* ip_addr);

/// Puts every option global and the file set back to their start values. For tests.
void ResetOptions();
