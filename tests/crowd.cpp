#include "tests/crowd.h"

#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace testkit {

namespace {

std::string Text(int64_t n) { return std::to_string(n); }

std::string Nth(const char* prefix, int i) { return prefix + Text(i / 200) + "." + Text(i % 200 + 2); }

std::unique_ptr<Process> StartDevice(int base, const Device& d, int limitS) {
  Strings options = {"--address", d.address, "--host", "127.0.0.1", "--time-limit", Text(limitS),
                     "--connect-retry", "30"};
  if (!d.dataFrom.empty()) options.insert(options.end(), {"--data-from", d.dataFrom});
  options.insert(options.end(), d.options.begin(), d.options.end());
  return StartSim(base, options);
}

}  // namespace

std::vector<Device> MakeCrowd(uint32_t seed, int count, int meanGapMs, int limitS, const CrowdFiles& files) {
  std::mt19937 rng(seed);
  const auto draw = [&rng](int64_t least, int64_t most) {
    return std::uniform_int_distribution<int64_t>(least, most)(rng);
  };
  const int64_t limitMs = int64_t{limitS} * 1000;
  // Two devices come back late at about the same time in the middle of the
  // crowd, while others wait for their own.
  const int lateA = count / 2, lateB = count / 2 + 1;
  std::vector<Device> crowd;
  int64_t at = 300;
  int64_t movedBy = 0;  // a device back with another address comes no sooner than this
  for (int i = 0; i < count; ++i) {
    Device d;
    d.address = Nth("127.1.", i);
    d.startMs = i == lateB ? crowd.back().startMs + 300 : at;
    at = d.startMs + draw(0, 2 * meanGapMs);
    const int64_t roll = i == lateA || i == lateB ? 52 : draw(0, 99);
    const auto reboot = [&d](int64_t ms) { d.options = {"--reboot-ms", Text(ms)}; };
    if (roll >= 89 && d.startMs < movedBy) {
      d.kind = "good";
      reboot(draw(0, 1500));
    } else if (roll < 40) {
      d.kind = "good";
      reboot(draw(0, 1500));
    } else if (roll < 50) {
      d.kind = "slow-reboot";  // back within the limit
      reboot(draw(limitMs - 1500, limitMs - 500));
    } else if (roll < 58) {
      d.kind = "late";  // back after its wait ran out: its connection must reach no one
      reboot(draw(limitMs + 1000, limitMs + 2500));
    } else if (roll < 64) {
      d.kind = "gone";
      d.options = {"--no-data-connect"};
    } else if (roll < 71) {
      d.kind = "closes-program";
      d.options = {"--close-program-after", Text(draw(files.program / 10, files.program * 9 / 10))};
    } else if (roll < 76) {
      d.kind = "stalls-program";  // past the limit, then it reads on: the end it sees must be a reset
      d.options = {"--stall-program-after", Text(draw(files.program / 10, files.program * 9 / 10)), "--stall-seconds",
                   Text(limitS + 2), "--read-after-stall"};
    } else if (roll < 81) {
      d.kind = "drops-loader";
      d.options = {"--close-loader-after", Text(draw(1000, files.loader - 1000))};
    } else if (roll < 89) {
      d.kind = "twice";
      d.options = {"--updates", "2", "--reboot-ms", Text(draw(0, 1500))};
    } else {
      d.kind = "moved";  // back from its reboot with another address
      d.dataFrom = Nth("127.2.", i);
      reboot(draw(300, 1500));
      movedBy = d.startMs + 15000;
    }
    crowd.push_back(d);
  }
  return crowd;
}

CrowdOutcome RunCrowd(int base, const std::vector<Device>& devices, const Strings& moxtilArgs,
                      const std::string& record, int deviceLimitS) {
  CrowdOutcome outcome;
  outcome.devices = devices;
  outcome.record = record;
  const Millis limit(int64_t{deviceLimitS} * 1000);
  std::vector<std::unique_ptr<Process>> sims(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].startMs >= 0) continue;
    sims[i] = StartDevice(base, devices[i], deviceLimitS);  // listening once started
  }
  std::unique_ptr<Process> moxtil = StartMoxtil(base, moxtilArgs, false);
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < devices.size(); ++i) {
    const Device& d = devices[i];
    if (d.startMs < 0) continue;
    auto from = start;
    for (const std::string& line : d.after) {
      EXPECT_TRUE(WaitForLogLine(*moxtil, line, limit)) << d.address << " waited in vain for " << line;
      from = std::chrono::steady_clock::now();
    }
    std::this_thread::sleep_until(from + Millis(d.startMs));
    sims[i] = StartDevice(base, d, deviceLimitS);
  }
  for (auto& sim : sims) sim->WaitExit(limit + Millis(5000));
  // Every device is done: the stop signal ends the run (none is served by
  // now), unless the run ended by itself (-E).
  if (moxtil->ExitMs() < 0) moxtil->Signal(SIGINT);
  outcome.exit = moxtil->WaitExit(Millis(60000)).value_or(-1);
  for (auto& sim : sims) {
    for (Report& update : SimReports(*sim, "update")) outcome.updates.push_back(std::move(update));
  }
  outcome.log = LogLines(*moxtil);
  return outcome;
}

namespace {

using Json = nlohmann::json;

std::vector<Json> ReadRecord(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<Json> lines;
  for (std::string line; std::getline(in, line);) {
    Json j = Json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
    if (!j.is_discarded()) lines.push_back(std::move(j));
  }
  return lines;
}

std::string Escaped(const std::string& address) { return std::regex_replace(address, std::regex("\\."), "\\."); }

int Matching(const Strings& log, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&re](const std::string& l) {
    return std::regex_search(l, re);
  }));
}

std::string DataAddressOf(const Report& update) {
  return update.count("data_from") != 0 ? Field(update, "data_from") : Field(update, "target");
}

/// A time as the summary tells it: ms under a second, else s to 10 ms.
std::string Told(int64_t ms) {
  char text[32];
  if (ms < 1000) {
    snprintf(text, sizeof text, "%lld ms", static_cast<long long>(ms));
  } else {
    snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000.0);
  }
  return text;
}

/// The one log line that begins with prefix, without it; "" (a failure) when
/// there is not exactly one.
std::string OnlyLine(const Strings& log, const std::string& prefix) {
  std::string found;
  int n = 0;
  for (const std::string& line : log) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      found = line.substr(prefix.size());
      ++n;
    }
  }
  EXPECT_EQ(n, 1) << "lines beginning \"" << prefix << "\"";
  return found;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

/// The summary's tally and run_end's, against the per-target lines, the
/// record's targets and the devices' own accounts: failures by status line,
/// devices (first try, after a retry, never finished), times of the finished
/// programs; and every record line of the run carries its run and station.
void CheckTally(CrowdOutcome& o, const std::vector<Json>& record, const std::map<std::string, int>& whole) {
  std::map<std::string, int>& fig = o.figures;
  // Failures: the tagged "-1 " lines, by their text.
  std::map<std::string, int> byLine;
  for (const std::string& line : o.log) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || line.compare(0, 4, "127.") != 0) continue;
    if (line.compare(blank + 1, 3, "-1 ") == 0) ++byLine[Trimmed(line.substr(blank + 1))];
  }
  std::map<std::string, int> told;
  const std::string failures = OnlyLine(o.log, "failures: ");
  int last = INT32_MAX;
  if (failures != "none") {
    const std::regex entry("(\\d+) x (.*?)(, (?=\\d+ x )|$)");
    for (auto it = std::sregex_iterator(failures.begin(), failures.end(), entry); it != std::sregex_iterator(); ++it) {
      const int n = std::stoi((*it)[1]);
      EXPECT_LE(n, last) << "failures not most frequent first: " << failures;
      last = n;
      told[(*it)[2]] = n;
    }
  }
  EXPECT_EQ(told, byLine) << "the summary's failures against the -1 lines: " << failures;
  const auto end = std::find_if(record.rbegin(), record.rend(), [](const Json& j) { return j["type"] == "run_end"; });
  if (end == record.rend()) return;
  std::map<std::string, int> recorded;
  for (const auto& [line, n] : (*end)["failures"].items()) recorded[line] = n.get<int>();
  EXPECT_EQ(recorded, byLine) << "run_end's failures against the -1 lines";

  // Devices: by hardware address where the record has one, else by address,
  // in the order their targets ended.
  struct Tries {
    int tries = 0, finishedAt = 0;
  };
  std::map<std::string, Tries> devices;
  for (const Json& j : record) {
    if (j.value("type", "") != "target_end") continue;
    Tries& d = devices[j["mac"].is_string() ? j["mac"].get<std::string>() : j["target"].get<std::string>()];
    ++d.tries;
    if (j["result"] == "finished" && d.finishedAt == 0) d.finishedAt = d.tries;
  }
  int first = 0, retry = 0, never = 0;
  for (const auto& [key, d] : devices) {
    first += d.finishedAt == 1 ? 1 : 0;
    retry += d.finishedAt > 1 ? 1 : 0;
    never += d.finishedAt == 0 ? 1 : 0;
  }
  const int seen = static_cast<int>(devices.size());
  fig["devices first try"] = first;
  fig["devices after a retry"] = retry;
  EXPECT_EQ(OnlyLine(o.log, "devices: "), Text(seen) + " (" + Text(first) + " first try, " + Text(retry) +
                                              " after a retry, " + Text(never) + " never finished)");
  const Json& d = (*end)["devices"];
  EXPECT_EQ(d["seen"], seen);
  EXPECT_EQ(d["first_try"], first);
  EXPECT_EQ(d["after_retry"], retry);
  EXPECT_EQ(d["never_finished"], never);
  // The devices' own accounts: those that hold the whole program at least once.
  std::set<std::string> holding;
  for (const auto& [address, n] : whole) {
    std::string device = address;
    for (const Device& x : o.devices) {
      if (x.dataFrom == address) device = x.address;
    }
    if (n > 0) holding.insert(device);
  }
  EXPECT_EQ(first + retry, static_cast<int>(holding.size())) << "devices that finished, against those holding it";

  // Times: the finished targets' summary lines, as the summary gives them.
  std::vector<int64_t> ms;
  const std::regex figures("^summary: 127\\.[^:]*: program [^,]*, \\d+ bytes in (\\d+) ms.*: 100 % finish$|"
                           "^summary: 127\\.[^:]*: program [^,]*, \\d+ bytes in (\\d+)\\.(\\d\\d) s .*: 100 % finish$");
  for (const std::string& line : o.log) {
    std::smatch m;
    if (!std::regex_search(line, m, figures)) continue;
    ms.push_back(m[1].matched ? std::stoll(m[1]) : std::stoll(m[2]) * 1000 + std::stoll(m[3]) * 10);
  }
  const Json& t = (*end)["program_ms"];
  const std::string times = OnlyLine(o.log, "programs finished in: ");
  const int finished = fig["finished"];
  if (fig["targets"] > 1000) return;  // the summary lists the first 1000 targets only
  EXPECT_EQ(static_cast<int>(ms.size()), finished) << "finished targets' summary lines";
  if (ms.empty()) {
    EXPECT_EQ(times, "none finished");  // "programs finished in: none finished"
    EXPECT_TRUE(t["median"].is_null());
    return;
  }
  std::sort(ms.begin(), ms.end());
  const int64_t median = ms[(ms.size() - 1) / 2];
  EXPECT_EQ(times, "fastest " + Told(ms.front()) + ", median " + Told(median) + ", slowest " + Told(ms.back()));
  EXPECT_EQ(Told(t["fastest"].get<int64_t>()), Told(ms.front()));
  EXPECT_EQ(Told(t["median"].get<int64_t>()), Told(median));
  EXPECT_EQ(Told(t["slowest"].get<int64_t>()), Told(ms.back()));
  fig["median ms"] = static_cast<int>(median);
}

/// Every line of the record belongs to one run, named by run_begin, of this
/// station.
void CheckRunAndStation(const std::vector<Json>& record) {
  ASSERT_FALSE(record.empty());
  ASSERT_EQ(record[0]["type"], "run_begin");
  const Json run = record[0]["run"];
  ASSERT_TRUE(run.is_string() && !run.get<std::string>().empty()) << record[0].dump();
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(record[0]["station"], host);
  for (const Json& j : record) EXPECT_EQ(j["run"], run) << j.dump();
}

}  // namespace

void CheckCrowd(CrowdOutcome& o, const FileSet& files) {
  const std::string program = Text(static_cast<int64_t>(std::filesystem::file_size(files.program)));
  const std::string loader = Text(static_cast<int64_t>(std::filesystem::file_size(files.loader)));
  const std::string programSha = Sha256Of(files.program), loaderSha = Sha256Of(files.loader);
  std::map<std::string, int>& fig = o.figures;
  fig["devices"] = static_cast<int>(o.devices.size());

  // The devices' own accounts: who holds the whole program with a normal
  // end (by the address it came back with), and no cut stream ended normally.
  std::map<std::string, int> whole, resetBeforeId;
  for (const Report& u : o.updates) {
    SCOPED_TRACE("device " + Field(u, "target") + " update " + Field(u, "n"));
    ++fig["updates"];
    ++fig["result " + Field(u, "result")];
    const bool programWhole = Field(u, "program_bytes") == program && Field(u, "program_sha256") == programSha;
    const bool loaderWhole = Field(u, "loader_bytes") == loader && Field(u, "loader_sha256") == loaderSha;
    if (programWhole && Field(u, "id_bytes") == "10" && Field(u, "program_end") == "eof") {
      ++whole[DataAddressOf(u)];
      ++fig["whole"];
    }
    if (!programWhole) {
      EXPECT_NE(Field(u, "program_end"), "eof") << "a program cut short ended normally";
    }
    if (!loaderWhole) {
      EXPECT_NE(Field(u, "loader_end"), "eof") << "a loader cut short ended normally";
    }
    if (Field(u, "id_bytes") == "0" && Field(u, "program_end") == "reset") ++resetBeforeId[DataAddressOf(u)];
  }

  // The record: a finish exactly for the devices that hold the program.
  const std::vector<Json> record = ReadRecord(o.record);
  CheckRunAndStation(record);
  std::map<std::string, int> finishedFor, finishedRec, failedRec;
  std::set<std::string> served;  // addresses this run served a loader to
  for (const Json& j : record) {
    if (j.value("type", "") == "target_begin") served.insert(j["target"].get<std::string>());
  }
  int targets = 0, begins = 0;
  for (const Json& j : record) {
    if (j.value("type", "") == "target_begin") ++begins;
    if (j.value("type", "") != "target_end") continue;
    ++targets;
    SCOPED_TRACE(j.dump());
    const std::string target = j["target"];
    const std::string data = j["data_address"].is_string() ? j["data_address"].get<std::string>() : "";
    const std::string by = j["paired_by"].is_string() ? j["paired_by"].get<std::string>() : "";
    if (j["result"] == "finished") {
      ++finishedFor[data];
      ++finishedRec[target];
    } else {
      ++failedRec[target];
    }
    // Another address's connection only by hardware address, or by order and said so.
    if (by == "address") {
      EXPECT_EQ(data, target);
    }
    if (!data.empty() && data != target) {
      EXPECT_TRUE(by == "mac" || by == "order") << "another address's data connection, paired by " << by;
      // A late device, or one served twice, never takes another's place.
      EXPECT_EQ(served.count(data), 0u) << "handed a data connection from " << data << ", an address this run served";
      if (by == "order") {
        ++fig["paired_by_order"];
        EXPECT_EQ(Matching(o.log, "^" + Escaped(target) + " data connection from " + Escaped(data) +
                                      ":\\d+, not from the loader connection's address " + Escaped(target) +
                                      ": paired by order only"),
                  std::count_if(record.begin(), record.end(), [&](const Json& e) {
                    return e.value("type", "") == "target_end" && e["target"] == target && e["data_address"] == data;
                  })) << "paired by order without saying so";
      }
    }
  }
  std::map<std::string, int> all = whole;
  all.insert(finishedFor.begin(), finishedFor.end());
  for (const auto& [address, n] : all) {
    EXPECT_EQ(finishedFor[address], whole[address])
        << "device back as " << address << ": finished in the record " << finishedFor[address]
        << " times, holds the whole program " << whole[address] << " times";
  }

  // The lines say what the record says, target by target.
  std::map<std::string, int> finishLines, failLines;
  for (const std::string& line : o.log) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || line.compare(0, 4, "127.") != 0) continue;
    const std::string rest = line.substr(blank + 1);
    if (rest == "100 % finish") ++finishLines[line.substr(0, blank)];
    if (rest.compare(0, 3, "-1 ") == 0) ++failLines[line.substr(0, blank)];
  }
  EXPECT_EQ(finishLines, finishedRec) << "finish lines against the record";
  EXPECT_EQ(failLines, failedRec) << "-1 lines against the record";
  int finished = 0;
  for (const auto& [address, n] : finishedRec) finished += n;
  fig["targets"] = targets;
  fig["finished"] = finished;
  fig["failed"] = targets - finished;
  EXPECT_EQ(begins, targets) << "a target begun and never ended";
  EXPECT_EQ(Matching(o.log, "^" + Text(targets) + " targets?: " + Text(finished) + " finished, " +
                                Text(targets - finished) + " failed$"),
            1) << "the summary's counts";
  EXPECT_EQ(Matching(o.log, "^summary: 127\\."), std::min(targets, 1000)) << "a summary line per target";
  EXPECT_EQ(o.exit, targets > 0 && finished == targets ? 0 : 1) << "the exit value";
  const auto end = std::find_if(record.rbegin(), record.rend(), [](const Json& j) { return j["type"] == "run_end"; });
  if (end != record.rend()) {
    ++fig["ended_by " + (*end)["ended_by"].get<std::string>()];
    EXPECT_EQ((*end)["targets"], targets);
    EXPECT_EQ((*end)["finished"], finished);
    EXPECT_EQ((*end)["exit"], o.exit);
  } else {
    ADD_FAILURE() << "no run_end";
  }

  CheckTally(o, record, whole);

  // Every data connection reset before its ID code is explained: refused by
  // the acceptor, or handed to a transfer that ended before it took it.
  for (const auto& [address, n] : resetBeforeId) {
    const int told = Matching(o.log, "^(127[0-9.]+ )?data connection from " + Escaped(address) + ":\\d+ reset: ");
    EXPECT_EQ(told, n) << "data connections of " << address << " reset before the ID code";
    fig["refused"] += told;
  }
  for (const Device& d : o.devices) ++fig["kind " + d.kind];
}

}  // namespace testkit
