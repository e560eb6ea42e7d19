// A crowd of simulated devices against one moxtil -M: a seeded mix of good
// devices and faulty ones arriving at random, each a simulator of its own
// that writes down what it received and how each of its streams ended; and
// the oracle that holds moxtil's lines, summary and record against those
// accounts. Part of testkit: the crowd test and bench/crowd.sh share it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace testkit {

/// One simulated device of a crowd.
struct Device {
  std::string kind;      // "good", "late", ... (what it is made to do)
  std::string address;   // its own: it connects from it and is named by it
  std::string dataFrom;  // its address after its reboot: "" for the same
  int64_t startMs = 0;   // when it arrives, from the start of the run (or of the last of
                         // `after`); below 0: it listens before moxtil starts
  Strings after;         // beginnings of log lines it waits for, each, before it arrives:
                         // events, not times, order a row whatever the machine's load
  Strings options;       // the simulator's
};

/// The sizes of the files a crowd is served.
struct CrowdFiles {
  int64_t loader = 20000, program = 200000;
};

/// A seeded mix of `count` devices on 127.1.x.y arriving within about
/// count * meanGapMs, against moxtil -M -T<limitS>: good ones, slow and
/// too-late reboots (two of these back late at about the same time while
/// others wait), devices gone after the loader, closing mid-program,
/// stalling past the limit and reading on, dropping the loader, updating
/// twice, and devices back from their reboot with another address, one at a
/// time.
std::vector<Device> MakeCrowd(uint32_t seed, int count, int meanGapMs, int limitS, const CrowdFiles& files);

/// What came of a crowd: the devices' accounts, moxtil's log and exit, the
/// record; and the figures the oracle found.
struct CrowdOutcome {
  std::vector<Device> devices;
  std::vector<Report> updates;  // every device's update lines
  Strings log;                  // moxtil's log lines
  int exit = -1;
  std::string record;           // the record's path
  std::map<std::string, int> figures;  // updates, whole, finished, failed, by_order, refused, ...
};

/// Runs the crowd against moxtil (already in a private network, where the
/// devices may use any loopback address): starts each device at its time,
/// waits for all of them, then ends the run with a stop signal.
CrowdOutcome RunCrowd(int base, const std::vector<Device>& devices, const Strings& moxtilArgs,
                      const std::string& record, int deviceLimitS);

/// The oracle: adds a failure for every line or record untrue of a device,
/// and fills outcome.figures.
/// - a finish (line and `result: finished`) exactly for the device that
///   holds the whole program with a normal end, as many times as it does;
/// - no stream cut short ended normally;
/// - a data connection reaches another address's transfer only where it
///   was paired by hardware address, or by order and the log says so;
/// - every data connection a device had refused is explained;
/// - the counts of the summary, the record and the lines agree, and the
///   exit value with them;
/// - the summary's and run_end's failures by line, devices (first try,
///   after a retry, never finished) and times of the finished programs
///   agree with the per-target lines, the record's targets and the devices'
///   own accounts;
/// - every record line carries the run named by run_begin, of this station.
void CheckCrowd(CrowdOutcome& outcome, const FileSet& files);

}  // namespace testkit
