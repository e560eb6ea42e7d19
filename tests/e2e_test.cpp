// The real moxtil from end to end, against the simulator on loopback: what
// each target receives, what goes out on the wire, the status lines in order
// with the explanation before a failure, and every way an update can fail.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <regex>
#include <set>

#include "tests/testkit.h"

namespace testkit {
namespace {

constexpr char kConnect[] = "000 % connect";
constexpr char kErasing[] = "000 % Now erasing";
constexpr char kFinish[] = "100 % finish";
constexpr char kRebootError[] = "-1 _reboot data error";
constexpr char kProgramError[] = "-1 *****ERROR*****";
constexpr char kTargetNotFound[] = "-1 target PG file not found";
constexpr char kTimeOut[] = "-1 time out";
constexpr char kUnreadable[] = "-1 error can not read the filelist";
constexpr char kNotFound[] = "-1 error file not found ";
constexpr int64_t kFits = 48 << 10;    // within the buffers of a small device
constexpr int64_t kBeyond = 1 << 20;  // beyond them
constexpr int64_t kHuge = int64_t{64} << 20;

Strings Plus(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Sizes {
  int64_t loader, id, program, program2 = -1;  // an ID code of -1 bytes is missing
  bool sparse = false;                          // loader and program all zero, quick to make
};

struct Trial {  // one row being run
  TempDir dir;
  int base = PortBase();
  int held = -1;  // a port another program holds
  std::vector<FileSet> files;
  Strings args;  // moxtil's
  std::unique_ptr<Process> moxtil, sim;
  std::vector<std::unique_ptr<Process>> others;  // more simulators
  int runsRecorded = 0;  // runs that wrote the record (-J)
  std::string Record() const { return dir.File("record.jsonl"); }
  ~Trial() { close(held); }
};

/// One row: the files, moxtil's options, the simulator's, and what comes of it.
struct Case {
  explicit Case(std::string n) : name(std::move(n)) {}
  std::string name;
  std::vector<Sizes> sets = {{2500, 10, 3000}};
  Strings args = {"-T20"}, sim;
  Strings status;           // "*" stands for any number of progress lines
  std::vector<int> served;  // per update: the program (1 or 2) the target got whole
  std::string why;          // the explanation before the last status line
  Report report;            // fields of the first update's report
  bool small = false;       // socket buffers of a small device
  bool record = false;      // -J: the record is checked against the log and the files
  Strings leftOut;          // types of record lines the row leaves out of it
  int padPaths = 0;         // the files' paths made this long with "./" (a path may be 4095 characters)
  Strings prefix;           // words before moxtil's command line (prlimit ...)
  // -M: targets at 127.0.0.2 and up served at once, announced by broadcast
  // in a private network; each target's tagged status lines are `status`
  // unless `each` says other, and `targets` addresses have lines.
  bool several = false;
  int targets = 0;
  std::map<std::string, Strings> each;
  int64_t minGap = 0, maxGap = 0;  // ms between the last two status lines
  std::function<std::string(const Trial&)> list;     // file-list mode with this list
  std::function<void(Trial&)> before, during, after;  // before moxtil starts, while it runs, after it
  int exit = 0, runs = 1;

  Case& Files(std::vector<Sizes> v) { sets = std::move(v); return *this; }
  Case& Args(Strings v) { args = std::move(v); return *this; }
  Case& Sim(Strings v) { sim = std::move(v); return *this; }
  Case& Status(Strings v, std::vector<int> programs = {}) {
    status = std::move(v);
    served = std::move(programs);
    return *this;
  }
  Case& Why(std::string v) { why = std::move(v); return *this; }
  // A target served whole, with these progress lines; one that fails on the way.
  Case& Finishes(Strings progress, int program = 1) {
    return Status(Plus(Plus({kConnect, kErasing}, progress), {kFinish}), {program});
  }
  Case& FailsInLoader(std::string v) { return Status({kConnect, kRebootError}).Why(std::move(v)); }
  Case& FailsInProgram(std::string v) { return Status({kConnect, kErasing, "*", kProgramError}).Why(std::move(v)); }
  Case& Reports(Report v) { report = std::move(v); return *this; }
  Case& Small() { small = true; return *this; }
  Case& Record() { record = true; return *this; }
  Case& LeftOut(Strings types) { leftOut = std::move(types); return *this; }
  Case& PadPaths(int length) { padPaths = length; return *this; }
  Case& Prefix(Strings words) { prefix = std::move(words); return *this; }
  Case& Several(int n) { several = true; targets = n; return *this; }
  Case& Each(const std::string& address, Strings v) { each[address] = std::move(v); return *this; }
  Case& NoTarget() { return Sim({"--listen-only"}); }
  Case& Gap(int64_t least, int64_t most) { minGap = least; maxGap = most; return *this; }
  Case& List(std::function<std::string(const Trial&)> f) { list = std::move(f); return *this; }
  Case& Before(std::function<void(Trial&)> f) { before = std::move(f); return *this; }
  Case& During(std::function<void(Trial&)> f) { during = std::move(f); return *this; }
  Case& After(std::function<void(Trial&)> f) { after = std::move(f); return *this; }
  Case& Exit(int v) { exit = v; return *this; }
  Case& Runs(int v) { runs = v; return *this; }
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

bool Has(const Strings& words, const std::string& word) { return std::count(words.begin(), words.end(), word) > 0; }

bool StatusMatches(const Strings& got, const Strings& want) {
  size_t g = 0;
  for (const std::string& w : want) {
    if (w == "*") {
      while (g < got.size() && got[g].size() == 5) ++g;
    } else if (g == got.size() || got[g++] != w) {
      return false;
    }
  }
  return g == got.size();
}

int64_t Number(const Report& r, const std::string& key) { return std::strtoll(Field(r, key).c_str(), nullptr, 10); }

// A finished transfer summed up: its time in ms under a second, and a rate
// only from 100 ms on.
const std::string kFigures = "\\d+ bytes in (\\d{1,2} ms|\\d{3} ms \\([0-9.]+ MiB/s\\)|\\d+\\.\\d\\d s \\([0-9.]+ MiB/s\\))";

// With several targets: each target's status lines, every one tagged with
// its address, as the row says; each target that finished got its files
// whole; the summary names each and counts them.
void CheckSeveral(const Case& c, Trial& run) {
  std::map<std::string, Strings> lines;
  for (const std::string& line : StatusLines(*run.moxtil)) ADD_FAILURE() << "untagged status line: " << line;
  for (const std::string& line : LogLines(*run.moxtil)) {
    const size_t blank = line.find(' ');
    if (blank != std::string::npos && line.compare(0, 8, "127.0.0.") == 0 && IsStatusLine(line.substr(blank + 1))) {
      lines[line.substr(0, blank)].push_back(line.substr(blank + 1));
    }
  }
  EXPECT_EQ(static_cast<int>(lines.size()), c.targets) << "targets with status lines";
  int finished = 0, served = 0;
  for (const auto& [address, got] : lines) {
    const auto own = c.each.find(address);
    const Strings& want = own != c.each.end() ? own->second : c.status;
    EXPECT_TRUE(StatusMatches(got, want)) << address << ": " << ::testing::PrintToString(got);
    for (const std::string& line : got) finished += line == kFinish ? 1 : 0;
    for (const std::string& line : got) served += line == kConnect ? 1 : 0;
  }
  // A target told finished got its files whole, and the protocol's waits (the
  // one before the close is seen from the last byte taken, which a device
  // that takes the program slowly takes late).
  const std::string reboot = Has(c.args, "-R") ? "52" : "00";
  std::vector<Process*> sims = {run.sim.get()};
  for (auto& other : run.others) sims.push_back(other.get());
  int whole = 0;
  for (Process* sim : sims) {
    for (const Report& update : SimReports(*sim, "update")) {
      const std::string from = update.count("loader_from") ? Field(update, "loader_from") : Field(update, "target");
      const Strings& got = lines[from];
      if (got.empty() || got.back() != kFinish || Field(update, "result") != "ok") continue;
      SCOPED_TRACE("target " + Field(update, "target"));
      const FileSet& f = run.files[0];
      ExpectServed(update, f, reboot, Field(update, "reply") == "P1" && !f.program2.empty() ? f.program2 : f.program);
      EXPECT_GE(Number(update, "id_to_program_ms"), 950);
      if (!Has(c.sim, "--program-rate")) {
        EXPECT_GE(Number(update, "end_wait_ms"), 4900);
      }
      ++whole;
    }
  }
  EXPECT_EQ(whole, finished) << "targets told finished that got their files whole";
  EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.\\d+( \\(data from [0-9.]+, paired by order\\))?: "
                                       "program "), served);
  EXPECT_EQ(CountMatching(*run.moxtil, "^" + std::to_string(served) + " targets?: " + std::to_string(finished) +
                                           " finished, " + std::to_string(served - finished) + " failed$"),
            1);
}

// What a run must have done, whatever the row.
void CheckRun(const Case& c, Trial& run) {
  EXPECT_EQ(LogLines(*run.moxtil).at(0), "Network program loading(MOXTIL) version 4.08");
  if (c.several) return CheckSeveral(c, run);
  const std::vector<Report> updates = SimReports(*run.sim, "update");
  const Strings status = StatusLines(*run.moxtil);
  EXPECT_TRUE(StatusMatches(status, c.status)) << ::testing::PrintToString(status);
  if (!c.why.empty()) ExpectExplained(*run.moxtil, c.status.back(), c.why);
  for (const auto& [key, value] : c.report) EXPECT_EQ(Field(updates.at(0), key), value) << key;
  if (!c.status.empty() && c.status.back() == kRebootError) {
    EXPECT_EQ(Field(updates.at(0), "id_bytes"), "0") << "an ID code after a broken loader";
  }
  const std::string reboot = Has(c.args, "-R") ? "52" : Has(c.args, "-r") ? "72" : "00";
  ASSERT_GE(updates.size(), c.served.size());
  for (size_t i = 0; i < c.served.size() && !::testing::Test::HasFailure(); ++i) {
    SCOPED_TRACE("update " + std::to_string(i + 1));
    const FileSet& f = run.files[i % run.files.size()];
    ExpectServed(updates[i], f, reboot, c.served[i] == 2 ? f.program2 : f.program, Has(c.sim, "--count-only"));
    // The protocol's waits, and no invitation while a target is served.
    EXPECT_GE(Number(updates[i], "id_to_program_ms"), 950);
    EXPECT_GE(Number(updates[i], "end_wait_ms"), 4900);
    EXPECT_EQ(Field(updates[i], "announces_while_served"), "0");
  }
  // A served target's connections are named, and its transfer summed up.
  const auto served = static_cast<int>(c.served.size());
  const std::string peer = "127\\.0\\.0\\.2:\\d+";
  if (served > 0) {
    EXPECT_EQ(CountMatching(*run.moxtil, "^loader connection from " + peer + "$"), served);
    EXPECT_EQ(CountMatching(*run.moxtil, "^data connection from " + peer + "$"), served);
    EXPECT_EQ(CountMatching(*run.moxtil, "^program to " + peer + ": " + kFigures + "$"), served);
  }
  std::vector<int64_t> at;  // when the status lines came
  for (const Line& line : run.moxtil->Stdout()) {
    if (IsStatusLine(line.text.substr(line.text.find(": ") + 2))) at.push_back(line.ms);
  }
  const int64_t gap = at.size() < 2 ? -1 : at.back() - at[at.size() - 2];
  EXPECT_TRUE(c.maxGap == 0 || (gap >= c.minGap && gap <= c.maxGap)) << gap << " ms before the last line";
}

// ---- the record (-J)

using Json = nlohmann::json;

/// Every line of the record, each parsed: whole lines only.
std::vector<Json> RecordLines(const Trial& run) {
  std::ifstream in(run.Record(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the record ends inside a line";
  std::vector<Json> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) {
    const Json j = Json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
    if (!j.is_discarded()) lines.push_back(j);
  }
  return lines;
}

std::vector<Json> OfType(const std::vector<Json>& lines, const std::string& type) {
  std::vector<Json> out;
  for (const Json& j : lines) {
    if (j.value("type", "") == type) out.push_back(j);
  }
  return out;
}

// What the record of any run must say: every object dated and typed, a
// begin and an end for every run, and for every target no more than its
// lines say: finished exactly where "100 % finish" (or a file list's counted
// row) was written, with the digest of the whole program as the file has it,
// a failure with its status line and its explanation as the log has them,
// and no digest of a part. The loader's digest is that of the file too.
void CheckRecord(const Case& c, Trial& run) {
  const std::vector<Json> lines = RecordLines(run);
  if (Has(c.leftOut, "*")) return;  // whole lines, and no more is known
  const std::regex rfc3339("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
  for (const Json& j : lines) {
    EXPECT_EQ(j.value("v", 0), 2);
    EXPECT_TRUE(std::regex_match(j.value("ts", ""), rfc3339)) << j.dump();
  }
  if (!Has(c.leftOut, "run_begin")) {
    EXPECT_EQ(OfType(lines, "run_begin").size(), static_cast<size_t>(run.runsRecorded));
    // Each run named once, by an identifier of its own that every line of
    // it carries; each of this station.
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    std::set<std::string> runs;
    for (const Json& b : OfType(lines, "run_begin")) {
      EXPECT_EQ(b["station"], host);
      runs.insert(b["run"].get<std::string>());
    }
    EXPECT_EQ(runs.size(), static_cast<size_t>(run.runsRecorded));
    for (const Json& j : lines) EXPECT_EQ(runs.count(j.value("run", "")), 1u) << j.dump();
  }
  const std::vector<Json> ends = OfType(lines, "run_end");
  ASSERT_EQ(ends.size(), static_cast<size_t>(run.runsRecorded));
  EXPECT_EQ(ends.back()["exit"], c.exit);
  const Strings log = LogLines(*run.moxtil);
  const Strings status = StatusLines(*run.moxtil);
  const auto inLog = [&log](const std::string& text) { return std::count(log.begin(), log.end(), text) > 0; };
  // No progress claims an acknowledgement the target's end does not: not
  // even after a failure, when its connection is gone.
  std::map<std::string, int64_t> acknowledged;
  for (const Json& t : OfType(lines, "target_end")) {
    if (t["bytes_acknowledged"].is_number()) acknowledged[t["target"]] = t["bytes_acknowledged"];
  }
  for (const Json& p : OfType(lines, "progress")) {
    const auto end = acknowledged.find(p["target"]);
    if (end != acknowledged.end()) {
      EXPECT_LE(p["bytes_acknowledged"].get<int64_t>(), end->second) << p.dump();
    }
  }
  int finished = 0;
  for (const Json& t : OfType(lines, "target_end")) {
    SCOPED_TRACE(t.dump());
    if (t["result"] == "finished") {
      ++finished;
      ASSERT_TRUE(t["program"].is_string());
      const std::string program = t["program"];
      EXPECT_EQ(t["program_sha256"], Sha256Of(program));
      if (!c.list) {
        EXPECT_EQ(t["loader_sha256"], Sha256Of(run.files[0].loader));
      }
      EXPECT_EQ(t["bytes_acknowledged"], t["bytes_due"]);
      EXPECT_EQ(t["bytes_due"], static_cast<int64_t>(std::filesystem::file_size(program)));
      EXPECT_TRUE(t["explanation"].is_null());
    } else {
      EXPECT_TRUE(t["program_sha256"].is_null()) << "a digest of part of a program";
      ASSERT_TRUE(t["status_line"].is_string() && t["explanation"].is_string());
      EXPECT_EQ(t["status_line"].get<std::string>().rfind("-1 ", 0), 0u);
      // With -M the log's lines about a target begin with its address.
      EXPECT_TRUE(inLog(t["explanation"]) || (c.several && inLog(t["target"].get<std::string>() + " " +
                                                                 t["explanation"].get<std::string>())))
          << "an explanation the log does not have";
      if (t["bytes_acknowledged"].is_number()) {
        EXPECT_LT(t["bytes_acknowledged"].get<int64_t>(), t["bytes_due"].get<int64_t>());
      }
    }
  }
  const int finishLines = c.several ? CountMatching(*run.moxtil, "^[0-9.]+ 100 % finish$")
                                    : static_cast<int>(std::count(status.begin(), status.end(), kFinish));
  if (!c.list) {
    EXPECT_EQ(finished, finishLines * run.runsRecorded) << "finished where no finish line was written";
  }
  EXPECT_EQ(ends.back()["finished"].get<int>() + ends.back()["failed"].get<int>(), ends.back()["targets"].get<int>());
}

// A log with what changes from run to run (times, ports, paths of the
// temporary files, rates) masked.
Strings Masked(const Strings& log) {
  Strings out;
  const std::regex rate(" \\([0-9.]+ MiB/s\\)");  // there or not by the time taken
  const std::regex changing("[0-9]+(\\.[0-9]+)? ?(ms|s)\\b|:[0-9]+|/tmp/[^ ]*");
  for (const std::string& line : log) {
    out.push_back(std::regex_replace(std::regex_replace(line, rate, ""), changing, "#"));
  }
  return out;
}

// The same update again without -J: the log is the same, line for line.
void SameLogWithoutTheRecord(Trial& run) {
  const Strings with = Masked(LogLines(*run.moxtil));
  Strings args = run.args;
  args.erase(std::remove_if(args.begin(), args.end(), [](const std::string& a) { return a.rfind("-J", 0) == 0; }),
             args.end());
  run.sim.reset();
  run.sim = StartSim(run.base, {});
  std::unique_ptr<Process> plain = StartMoxtil(run.base, args);
  ExpectExit(*plain, 0, Millis(60000));
  const Strings without = Masked(LogLines(*plain));
  EXPECT_EQ(without.size(), with.size());
  for (size_t i = 0; i < with.size() && i < without.size(); ++i) {
    if (with[i] != without[i]) {
      ADD_FAILURE() << "line " << i << " with -J: " << with[i] << "; without: " << without[i];
      break;
    }
  }
}

// Another moxtil on ports of its own appending to the same record at the
// same time: each line is one write, so the two never interleave.
void AnotherAppendsAtOnce(Trial& run) {
  run.others.push_back(StartSim(run.base + 5, {}));
  Strings args = run.args;
  args.push_back("-B+5");
  run.others.push_back(StartMoxtil(run.base, args));
  ++run.runsRecorded;
}

// The same file by a path `length` characters long: "./" after its folder.
std::string Padded(const std::string& path, int length) {
  const size_t slash = path.rfind('/') + 1;
  std::string padded = path.substr(0, slash);
  while (padded.size() + path.size() - slash + 2 <= static_cast<size_t>(length)) padded += "./";
  return padded + path.substr(slash);
}

class E2E : public ::testing::TestWithParam<Case> {};

TEST_P(E2E, WhatTheTargetGetsAndWhatTheLogSays) {
  REQUIRE_SIM();
  const Case& c = GetParam();
  std::string why;
  if ((c.small || c.several) && !UsePrivateNetwork(c.small, &why)) GTEST_SKIP() << why;
  Trial run;
  ASSERT_GT(run.base, 0);
  for (size_t i = 0; i < c.sets.size(); ++i) {
    const Sizes& s = c.sets[i];
    const std::string tag = run.dir.File(std::to_string(i));
    const auto seed = static_cast<uint32_t>(i * 10);
    run.files.push_back({MakeFile(tag + "loader.b", s.loader, seed, s.sparse),
                         s.id < 0 ? tag + "id" : MakeFile(tag + "id", s.id, seed + 1),
                         MakeFile(tag + "target.bin", s.program, seed + 2, s.sparse),
                         s.program2 < 0 ? "" : MakeFile(tag + "second.bin", s.program2, seed + 3)});
  }
  const FileSet& first = run.files[0];
  Strings args = {first.loader, first.id, first.program};
  if (!first.program2.empty()) args.push_back(first.program2);
  if (c.list) args = Strings{WriteFile(run.dir.File("filelist"), c.list(run)), "dummy", "dummy", "-L"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  if (c.record) args.push_back("-J" + run.Record());
  for (size_t i = 0; c.padPaths > 0 && i < 4 && args[i][0] == '/'; ++i) args[i] = Padded(args[i], c.padPaths);
  run.args = args;
  for (int r = 0; r < c.runs && !HasFailure(); ++r) {
    SCOPED_TRACE("run " + std::to_string(r + 1));
    run.sim.reset();  // the last run's, off its port first
    run.sim = StartSim(run.base, c.sim);
    if (c.before) c.before(run);
    run.moxtil = StartMoxtil(run.base, args, !c.several, c.prefix);
    if (c.during) c.during(run);
    ExpectExit(*run.moxtil, c.exit, Millis(900000));  // CTest's own limit is shorter but for long rows
    // The next run serves at once, though the ports of the last linger.
    if (r > 0) {
      EXPECT_LT(run.moxtil->ExitMs(), 15000);
    }
    run.sim->WaitExit(Millis(Has(c.sim, "--listen-only") ? 200 : 60000));  // a listener: datagrams under way
    CheckRun(c, run);
    if (c.record) {
      ++run.runsRecorded;
      CheckRecord(c, run);
    }
    if (c.after) c.after(run);
  }
}

// Changes what moxtil is to load once it writes `line`.
std::function<void(Trial&)> At(const std::string& line, std::function<void(const FileSet&)> change) {
  return [line, change](Trial& run) {
    ASSERT_TRUE(WaitForLogLine(*run.moxtil, line, Millis(10000))) << "no line " << line;
    change(run.files[0]);
  };
}

// A file list: {A}, {B}, {C} the three paths of the first, second, third
// file set, {L} {I} {P} one of the first's, {X} a file that does not exist.
std::function<std::string(const Trial&)> ListOf(std::string text) {
  return [text](const Trial& run) {
    const FileSet& first = run.files[0];
    std::vector<std::pair<std::string, std::string>> marks = {
        {"{L}", first.loader}, {"{I}", first.id}, {"{P}", first.program}, {"{X}", run.dir.File("none")}};
    for (size_t i = 0; i < run.files.size(); ++i) {
      const FileSet& f = run.files[i];
      marks.push_back({std::string("{") + static_cast<char>('A' + i) + "}", f.loader + " " + f.id + " " + f.program});
    }
    std::string out = text;
    for (const auto& [mark, path] : marks) {
      for (size_t at; (at = out.find(mark)) != std::string::npos;) out.replace(at, mark.size(), path);
    }
    return out;
  };
}

std::function<void(Trial&)> Hold(int type, const char* address, int offset) {
  return [=](Trial& run) { run.held = HoldPort(type, address, static_cast<uint16_t>(run.base + offset)); };
}

// More targets: a simulator on address with these options, connecting at once.
std::function<void(Trial&)> AlsoAt(const std::string& address, Strings options) {
  return [address, options](Trial& run) {
    run.others.push_back(StartSim(run.base, Plus({"--address", address, "--host", "127.0.0.1"}, options)));
  };
}

// More targets as above, once moxtil wrote a line that begins with `line`: an event, not a
// time, orders them, however slowly moxtil starts (qemu).
std::function<void(Trial&)> AlsoAfter(const std::string& line, const std::string& address, Strings options) {
  return [line, address, options](Trial& run) {
    ASSERT_TRUE(WaitForLogLine(*run.moxtil, line, Millis(20000))) << "no line " << line;
    AlsoAt(address, options)(run);
  };
}

// A host that -D does not serve, connecting ms after its start.
std::function<void(Trial&)> ForeignAt(int ms) {
  return AlsoAt("127.0.0.3", {"--no-data-connect", "--loader-connect-delay", std::to_string(ms)});
}

std::vector<Report> Datagrams(const Process& sim) { return SimReports(sim, "datagram"); }
int Count(const std::vector<Report>& all, const std::string& kind) {
  return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const Report& r) { return r.at("kind") == kind; }));
}

// 2 s of announcing at 100 ms: 20 datagrams of the announce's 16 bytes (fewer on
// a busy machine) from the announce port of -ilo; then the time-out, told once.
void Announced(Trial& run) {
  const std::vector<Report> datagrams = Datagrams(*run.sim);
  ASSERT_FALSE(datagrams.empty());
  int window = 0;
  for (const Report& d : datagrams) {
    window += Number(d, "ms") < Number(datagrams[0], "ms") + 2000;
    EXPECT_EQ(Field(d, "kind") + " " + Field(d, "from"), "announce 127.0.0.1:" + std::to_string(run.base + 10));
  }
  EXPECT_TRUE(window >= 10 && window <= 22) << window;
  EXPECT_EQ(CountMatching(*run.moxtil, "^reuse addr$"), 0);
  EXPECT_EQ(CountMatching(*run.moxtil, "^Update Request has been canceled \\(_timeout\\)\\.$"), 1);
  EXPECT_EQ(CountMatching(*run.moxtil, "^>>my IPaddress=127\\.0\\.0\\.1$"), 1);
}

void NoRestart(Trial& run) {
  EXPECT_GE(Count(Datagrams(*run.sim), "announce"), 5);
  EXPECT_EQ(Count(Datagrams(*run.sim), "restart"), 0);
}

// Refused before the first cycle: nothing announced.
void NothingAnnounced(Trial& run) {
  EXPECT_EQ(Datagrams(*run.sim).size(), 0u);
  EXPECT_EQ(CountMatching(*run.moxtil, "^>>my IPaddress"), 0);
}

void Fifo(const std::string& path) { ASSERT_TRUE(unlink(path.c_str()) == 0 && mkfifo(path.c_str(), 0644) == 0); }
void DevZero(const std::string& f) { ASSERT_TRUE(unlink(f.c_str()) == 0 && symlink("/dev/zero", f.c_str()) == 0); }

const std::string kAddress = "^(loader|reboot byte|program) to 127\\.0\\.0\\.2:\\d+: .*: ";
// A stream given up on is reset, and its explanation says so; one the
// target reset or closed itself is not reset again.
const std::string kResetNote = "; the connection was reset, so that the target cannot take the part it got for the whole$";
const std::string kTimedOut = kAddress + "nothing moved within the time limit" + kResetNote;
const std::string kReset = kAddress + "(Connection reset by peer|Broken pipe)$";
// A 16 MiB program cut to 1 MiB while it is sent, and what is said of it.
void CutProgramTo1MiB(const FileSet& f) { ASSERT_EQ(truncate(f.program.c_str(), 1 << 20), 0); }
const std::string kShrankWhileSent =
    "program .*: ran out after \\d+ of 16777216 bytes \\(the file shrank while it was sent\\)" + kResetNote;
// A reset once all of the loader was acknowledged is the target's own way to end.
const std::string kResetAfterTheLoader =
    "^loader to 127\\.0\\.0\\.2:\\d+: the target reset the connection after acknowledging the loader and the reboot "
    "byte \\(65536 bytes and 1\\), before the close was over \\(Connection reset by peer\\); its data connection tells "
    "whether it took them$";
// The rest of a served update's lines, and the proof that it got the program
// whole where its report does not say ok (it stalled on the way).
const Strings kServedWhole = {kConnect, kErasing, "*", kFinish};
void GotAll(Trial& run) {
  const Report update = SimReports(*run.sim, "update").at(0);
  EXPECT_EQ(Field(update, "program_sha256"), Sha256Of(run.files[0].program));
}

// The finish line, then the transfer summed up, then that the target reset
// the connection before the close.
void ResetAfterFinish(Trial& run) {
  const Strings log = LogLines(*run.moxtil);
  const auto finish = std::find(log.begin(), log.end(), kFinish);
  ASSERT_TRUE(finish != log.end() && log.end() - finish >= 3);
  EXPECT_TRUE(std::regex_search(*(finish + 2), std::regex("^program to 127\\.0\\.0\\.2:\\d+: the target reset the "
                                                          "connection after acknowledging all 49152 bytes, before the "
                                                          "close: it may not have stored the program \\(Connection "
                                                          "reset by peer\\)$")))
      << *(finish + 2);
}
const std::string kNoTarget = "^no target connected to the loader port \\d+ within ";
const Strings kStall = {"--stall-seconds", "8"};  // longer than any limit and close
const Sizes kTwo = {1000, 10, 3000, 5000};
const char kMyAddress[] = ">>my IPaddress=127.0.0.1";

// A file list refused before any cycle, with exit 255 and the reason for row 1.
Case Refused(std::string name, std::string list, Strings status, std::string why) {
  return Case{std::move(name)}.List(ListOf(std::move(list))).NoTarget().Exit(255).Status(std::move(status))
      .Why("^file list .*filelist: row 1 cannot be loaded: " + why);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, E2E,
    ::testing::Values(
        // Progress after the 1st, 11th, 21st ... piece of 1024 bytes and the one
        // that completes the file (the empty read at the end of a multiple of
        // 1024 too), rounded half up; files under 100 bytes count against 100.
        Case{"NoRebootByteOption"}.Files({{2500, 12, 10000}}).Finishes({"010 %", "099 %"}),
        Case{"FullReboot"}.Small().Files({{2500, 10, 10240}}).Args({"-T20", "-R"})
            .Finishes({"010 %", "099 %", "099 %"}),
        Case{"SemiRebootWithThePortBaseWrapped"}.Files({{2500, 10, 50}}).Args({"-T20", "-r", "-B+65536"})
            .Finishes({"050 %"}),
        Case{"EmptyLoaderIsTheRebootByteAlone"}.Files({{0, 10, 100}}).Args({"-T20", "-R"}).Finishes({"099 %"}),
        Case{"RunsOfManyPieces"}.Files({{1000, 10, 600000}}).Finishes({"*"})
            .After([](Trial& run) { EXPECT_EQ(StatusLines(*run.moxtil).size(), 63u) << "59 tenths and the last"; }),
        // Into a pipe the lines of a run go out together once it is sent: still
        // as the program goes, not held to its end (4 MiB at 1 MB/s).
        Case{"ProgressLinesComeAsTheProgramGoes"}.Small().Files({{1000, 10, 4 << 20}})
            .Sim({"--program-rate", "1000000"}).Finishes({"*"}).After([](Trial& run) {
              int64_t half = -1, last = -1;
              for (const Line& line : run.moxtil->Stdout()) {
                if (half < 0 && line.text == "D/moxtil: 050 %") half = line.ms;
                if (line.text == "D/moxtil: 099 %") last = line.ms;
              }
              EXPECT_TRUE(half >= 0 && last - half >= 1000) << half << " and " << last << " ms";
            }),
        // 5 pieces with 100 ms before and after each: 800 ms from the first byte to the last.
        Case{"DelayAroundEveryPiece"}.Files({{2500, 10, 5000}}).Args({"-T20", "-N100", "-r"})
            .Finishes({"020 %", "099 %"}).After([](Trial& run) {
              EXPECT_GE(std::stod(Field(SimReports(*run.sim, "update").at(0), "stream_seconds")), 0.75);
            }),
        Case{"NextRunOnTheSamePortsRoundsHalfUp"}.Files({{1000, 10, 2800}}).Runs(2).Finishes({"037 %", "099 %"}),
        // Two programs: only a whole "P1" in the one receive 1 s after the ID code
        // picks the second; another reply, or the "P" of "P1" alone, picks the first.
        Case{"ReplyP2"}.Files({kTwo}).Sim({"--reply", "P2"}).Finishes({"034 %", "099 %"}),
        Case{"ReplySplitOverTwoReceives"}.Files({kTwo})
            .Sim({"--reply", "P1", "--reply-split", "--reply-split-delay", "1500"}).Finishes({"034 %", "099 %"}),
        Case{"ReplySplitWithinTheWait"}.Files({kTwo})
            .Sim({"--reply", "P1", "--reply-split", "--reply-split-delay", "200"}).Finishes({"020 %", "099 %"}, 2),
        // A loader connection from another address than -D is reset unserved; it does not start
        // the limit again, or a host that kept connecting would keep the run from its end.
        Case{"UnicastDropsAForeignTarget"}.Files({{3000, 10, 50}}).Args({"-T6"}).Sim({"--loader-connect-delay", "4000"})
            .Finishes({"050 %"}).Before(ForeignAt(2000)).After([](Trial& run) {
              const Report foreign = SimReports(*run.others[0], "update").at(0);
              EXPECT_EQ(Field(foreign, "loader_bytes") + " " + Field(foreign, "result"), "0 host-reset-loader");
              EXPECT_EQ(CountMatching(*run.moxtil, "^loader connection from 127\\.0\\.0\\.3:\\d+ dropped"), 1);
            }),
        // Timed from the drop to the time-out line, not from the start nor to the exit: a slow
        // start or exit (qemu, sanitizers: a leak check takes seconds under load) moves those.
        Case{"AForeignTargetDoesNotRestartTheLimit"}.Args({"-T4"}).NoTarget().Before(ForeignAt(3500))
            .Status({kTimeOut}).Why(kNoTarget + "4 s$").After([](Trial& run) {
              const std::optional<int64_t> dropped = FirstLineMs(*run.moxtil, "loader connection from 127.0.0.3:");
              const std::optional<int64_t> timedOut = FirstLineMs(*run.moxtil, kTimeOut);
              ASSERT_TRUE(dropped.has_value() && timedOut.has_value());
              EXPECT_LT(*timedOut - *dropped, 3900) << "the foreign connection started the 4 s again";
            }),
        // Delivery: success only for what the target's TCP acknowledged, no
        // wait beyond -T, and a close that ends the stream normally.
        Case{"LoaderStallsWithinTheBuffers"}.Small().Files({{40000, 10, 100}}).Args({"-T2", "-R"})
            .Sim(Plus({"--stall-loader-after", "16384"}, kStall)).FailsInLoader(kTimedOut)
            .Reports({{"result", "stalled-loader"}}).Gap(1900, 4500),
        // What came before the stall and after it is the loader's beginning, with no reboot byte.
        Case{"LoaderStallsBeyondTheBuffers"}.Small().Files({{kHuge, 10, 100, -1, true}}).Args({"-T2", "-R"})
            .Sim({"--stall-loader-after", "100000", "--stall-seconds", "4", "--read-after-stall"})
            .FailsInLoader(kTimedOut)
            .Reports({{"result", "stalled-loader"}, {"reboot", "none"}, {"loader_end", "reset"}})
            .Gap(1900, 4500).After([](Trial& run) {
              const Report update = SimReports(*run.sim, "update").at(0);
              EXPECT_LT(Number(update, "loader_bytes"), kHuge);
              EXPECT_EQ(Field(update, "loader_sha256"), Sha256Of(run.files[0].loader, Number(update, "loader_bytes")));
            }),
        // Once its TCP has acknowledged all of the loader, a target may end the connection as it
        // likes, a reset included: only its return on the data port tells whether it took it.
        Case{"LoaderResetAtItsEnd"}.Small().Files({{64 << 10, 10, 3000}}).Args({"-T5", "-R"})
            .Sim({"--reset-loader-at-end"}).Finishes({"034 %", "099 %"}).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, kResetAfterTheLoader), 1);
            }),
        // It stops reading 4 KiB short of the end: the rest fits in a small device's buffers
        // however slowly it comes (a small window does not grow for a slow sender), so its TCP
        // acknowledges all before the reset.
        Case{"LoaderResetOnceAcknowledgedThenNoReturn"}.Small().Files({{64 << 10, 10, 100}}).Args({"-T2", "-R"})
            .Sim({"--reset-loader-after", "61440", "--reset-delay", "500"})
            .Status({kConnect, "-1 id data error"}).Reports({{"result", "reset-loader"}})
            .Why("^ID code: no data connection on port \\d+ within 2 s; the loader connection had ended with a reset$")
            .After([](Trial& run) { EXPECT_EQ(CountMatching(*run.moxtil, kResetAfterTheLoader), 1); }),
        // Before all of it was acknowledged a reset is a failure, without -T as with it.
        Case{"LoaderKilledWithUnreadBytes"}.Small().Files({{kBeyond, 10, 100}}).Args({"-R"})
            .Sim({"--kill-loader-after", "32768"}).FailsInLoader(kReset)
            .Reports({{"result", "killed-loader"}}).Gap(0, 1500),
        Case{"LoaderClosedEarly"}.Files({{kHuge, 10, 100, -1, true}}).Args({"-T10", "-R"})
            .Sim({"--close-loader-after", "100000", "--count-only"}).FailsInLoader(kReset)
            .Reports({{"result", "closed-loader"}}),
        // A device that reads on after its stall gets the rest it was sent and then a reset: it
        // must not take the part for all of the program. The same pause within -T is no failure.
        Case{"ProgramStallsWithinTheBuffers"}.Small().Files({{1000, 10, kFits}}).Args({"-T2"})
            .Sim(Plus({"--stall-program-after", "16384", "--read-after-stall"}, kStall)).FailsInProgram(kTimedOut)
            .Reports({{"result", "stalled-program"}, {"program_end", "reset"}}).Gap(1900, 4500),
        Case{"ProgramStallsBeyondTheBuffers"}.Small().Files({{1000, 10, kHuge, -1, true}}).Args({"-T3"})
            .Sim(Plus({"--stall-program-after", "100000", "--count-only", "--read-after-stall"}, kStall))
            .FailsInProgram(kTimedOut).Reports({{"result", "stalled-program"}, {"program_end", "reset"}})
            .Gap(2900, 5500),
        Case{"ProgramPausesWithinTheLimit"}.Small().Files({{1000, 10, kBeyond}}).Args({"-T6"})
            .Sim({"--stall-program-after", "100000", "--stall-seconds", "3", "--read-after-stall"})
            .Status(kServedWhole).Reports({{"result", "stalled-program"}, {"program_end", "eof"}}).After(GotAll),
        // Killed, the process closes nothing itself: the kernel's close resets.
        Case{"ProgramKilledWhileSent"}.Small().Files({{1000, 10, kBeyond}}).Args({}).Exit(128 + SIGKILL)
            .Sim({"--stall-program-after", "100000", "--stall-seconds", "4", "--read-after-stall"})
            .During([](Trial& run) {
              ASSERT_TRUE(WaitForLogLine(*run.moxtil, "000 % Now erasing", Millis(10000)));
              std::this_thread::sleep_for(Millis(1000));
              run.moxtil->Signal(SIGKILL);
            }).Status({kConnect, kErasing, "*"}).Reports({{"result", "stalled-program"}, {"program_end", "reset"}}),
        // Without -T the stall lasts until the target gives up: still no finish line.
        Case{"ProgramStallsWithoutALimit"}.Small().Files({{1000, 10, kFits}})
            .Sim({"--stall-program-after", "16384", "--stall-seconds", "3"}).FailsInProgram(kReset).Gap(2500, 5500),
        Case{"ProgramResetWithinTheBuffers"}.Small().Files({{1000, 10, kFits}}).Args({"-T2"})
            .Sim({"--reset-program-after", "16384"}).FailsInProgram(kReset)
            .Reports({{"result", "reset-program"}}).Gap(0, 1500),
        Case{"ProgramResetBeyondTheBuffers"}.Small().Files({{1000, 10, kBeyond}}).Args({"-T2"})
            .Sim({"--reset-program-after", "102400"}).FailsInProgram(kReset)
            .Reports({{"result", "reset-program"}}).Gap(0, 1500),
        // The target learns the program's end only from the close after the 5 s wait: a reset
        // in those seconds is told after the finish line, which stands.
        Case{"ProgramResetInTheWaitBeforeTheClose"}.Small().Files({{1000, 10, kFits}}).Args({"-T2"})
            .Sim({"--reset-program-after", std::to_string(kFits), "--reset-delay", "500"})
            .Status({kConnect, kErasing, "*", kFinish}).Reports({{"result", "reset-program"}}).After(ResetAfterFinish),
        Case{"ProgramResetInTheWaitWithoutALimit"}.Small().Files({{1000, 10, kFits}}).Args({})
            .Sim({"--reset-program-after", std::to_string(kFits), "--reset-delay", "3000"})
            .Status({kConnect, kErasing, "*", kFinish}).Reports({{"result", "reset-program"}}).After(ResetAfterFinish),
        Case{"ProgramClosedEarly"}.Files({{1000, 10, kHuge, -1, true}}).Args({"-T10"})
            .Sim({"--close-program-after", "100000", "--count-only"}).FailsInProgram(kReset)
            .Reports({{"result", "closed-program"}}),
        // Bytes the protocol never reads: every byte still arrives, and the
        // streams end normally, not with a reset.
        Case{"StrayBytesOnTheLoaderConnection"}.Small().Files({{8 << 20, 10, 1000}}).Args({"-T5", "-R"})
            .Sim({"--stray-loader", "100"}).Finishes({"*"}),
        Case{"UnaskedReplyToASlowTarget"}.Small().Files({{1000, 10, 4 << 20}}).Args({"-T5"})
            .Sim({"--reply", "P1", "--read-size", "4096", "--read-delay", "1"}).Finishes({"*"}),
        Case{"FloodOnTheDataConnection"}.Small().Files({{1000, 10, 4 << 20}}).Args({"-T5"})
            .Sim({"--flood-data", "--reply", "P0"}).Finishes({"*"}),
        Case{"IdCodeMissing"}.Files({{2000, -1, 3000}}).Args({"-T10", "-R"}).Status({kConnect, "-1 file not found"})
            .Why("^ID code .*id: cannot open: No such file or directory$")
            .Reports({{"loader_bytes", "2000"}, {"reboot", "52"}}),
        Case{"IdCodeShort"}.Files({{2000, 9, 3000}}).Args({"-T10"}).Status({kConnect, "-1 file read error"})
            .Why("^ID code .*id: only 9 of the 10 bytes$").Reports({{"id_bytes", "0"}}),
        Case{"IdCodeEmpty"}.Files({{2000, 0, 3000}}).Args({"-T10"}).Status({kConnect, "-1 file  no id"})
            .Why("^ID code .*id: the file is empty$"),
        Case{"NoDataConnection"}.Args({"-T3"}).Sim({"--no-data-connect"}).Status({kConnect, "-1 id data error"})
            .Why("^ID code: no data connection on port \\d+ within 3 s$").Reports({{"result", "no-data-connect"}}),
        Case{"LoaderGoneBeforeTheTargetCame"}.Args({"-T10"}).Sim({"--loader-connect-delay", "500"})
            .During(At(kMyAddress, [](const FileSet& f) { unlink(f.loader.c_str()); }))
            .Status({kConnect, "-1 loader file not found"})
            .Why("^loader .*loader\\.b: cannot open: No such file or directory" + kResetNote)
            .Reports({{"loader_bytes", "0"}, {"result", "host-reset-loader"}}),
        Case{"LoaderBecameAFifo"}.Args({"-T10"}).Sim({"--loader-connect-delay", "500"})
            .During(At(kMyAddress, [](const FileSet& f) { Fifo(f.loader); }))
            .Status({kConnect, "-1 loader file not found"})
            .Why("^loader .*loader\\.b: cannot open: not a regular file" + kResetNote),
        Case{"ProgramBecameEndless"}.Args({"-T10"}).Sim({"--loader-connect-delay", "500"})
            .During(At(kMyAddress, [](const FileSet& f) { DevZero(f.program); }))
            .Status({kConnect, kErasing, kTargetNotFound})
            .Why("^program .*target\\.bin: cannot open: not a regular file" + kResetNote)
            .Reports({{"id_bytes", "10"}, {"program_bytes", "0"}, {"program_end", "reset"}}),
        Case{"ProgramCutShortWhileSent"}.Files({{1000, 10, 16 << 20}}).Args({"-T10"})
            .Sim({"--read-size", "4096", "--read-delay", "1", "--count-only"})
            .During(At("001 %", CutProgramTo1MiB)).Status({kConnect, kErasing, "*", kTargetNotFound})
            .Reports({{"program_end", "reset"}}).Why("^" + kShrankWhileSent),
        // File lists: blanks, commas, quotes, tabs and CR LF all separate fields;
        // a fourth is the second program, a fifth is ignored; an empty line ends
        // the list. The first row has one program: its target's "P1" goes unread.
        Case{"ListFieldsAndItsEnd"}.Files({{1500, 12, 3000}, {700, 10, 2000, 4000}}).Args({"-b", "-T20"})
            .Sim({"--updates", "2", "--reply", "P1"}).List([](const Trial& run) {
              const FileSet &a = run.files[0], &b = run.files[1];
              const std::string none = run.dir.File("none");
              return "\"" + a.loader + "\",\"" + a.id + "\",\"" + a.program + "\"\r\n\t  " + b.loader + " , " + b.id +
                     "\t" + b.program + "  " + b.program2 + " " + none + "\r\n\r\n" + none + " " + none + " " + none +
                     "\n";
            }).Status({kConnect, "*", kFinish}, {1, 2}).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^>>my IPaddress=127\\.0\\.0\\.1$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^reuse addr$"), 1);
            }),
        // Rows are reads of at most 1022 characters: a longer line is several
        // rows, and one of exactly 1022 is a row and then an empty one, the end.
        Case{"ListLongLinesAreSeveralRows"}.Files({{300, 10, 1000}, {400, 10, 1500}, {500, 10, 2000}, {600, 10, 2500}})
            .Sim({"--updates", "4"}).List([](const Trial& run) {
              auto row = [&run](size_t i, const char* sep, size_t width) {
                const FileSet& f = run.files[i];
                const std::string text = f.loader + sep + f.id + sep + f.program;
                return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
              };
              const std::string none = run.dir.File("none");
              return row(0, " ", 1021) + "\n" + row(1, ",", 1022) + row(2, "\t", 0) + "\n" + row(3, " ", 1022) +
                     "\n" + none + " " + none + " " + none + "\n";
            }).Status({kConnect, "*", kFinish}, std::vector<int>(4, 1)),
        // The progress runs over the list: row k of n covers k/n to (k+1)/n. Each cycle sends the
        // restart datagram once, after its first announce (the target waits for it, as a device does).
        Case{"ListProgressAndARestartPerCycle"}.Files({{2000, 10, 10000}, {2000, 10, 10000}, {2000, 10, 10000}})
            .Args({"-I127.0.0.3", "-T20"}).Sim({"--updates", "3", "--loader-connect-delay", "300"})
            .List(ListOf("{A}\n{B}\n{C}\n"))
            .Status({kConnect, "003 %", "033 %", "037 %", "067 %", "070 %", "099 %", kFinish}, std::vector<int>(3, 1))
            .Before([](Trial& run) {
              run.others.push_back(StartSim(run.base, {"--listen-only", "--address=127.0.0.3"}));
            }).After([](Trial& run) { EXPECT_EQ(Count(Datagrams(*run.others[0]), "restart"), 3); }),
        // 50 bytes of the first of two rows are half of a hundred: 25 %.
        Case{"ListRowWithAMissingFileEndsTheRun"}.Files({{500, 10, 50}}).Exit(255)
            .List(ListOf("{A}\n{L} {X} {P}\n")).Status({kConnect, "025 %", kNotFound, kUnreadable}, {1})
            .Why("^file list .*: row 2 cannot be loaded: .*/none is missing or not a regular file$"),
        // -T counts from the moment a target can be invited: not through the bind retries of a
        // port that another program held for 7 s (attempts at 0, 5 and 10 s).
        Case{"TheLimitStartsOnceThePortsListen"}.Files({{1000, 10, 50}}).Args({"-T3"}).Finishes({"050 %"})
            .Before(Hold(SOCK_STREAM, "0.0.0.0", 11)).During([](Trial& run) {
              std::this_thread::sleep_for(Millis(7000));
              close(run.held);
              run.held = -1;
            }).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^data port \\d+: bind failed: Address (already )?in use"), 2);
            }),
        // The record (-J): a program a byte over the run, its digest taken as it was sent; a second
        // run appends; the log is the same without it; another process appends at once.
        Case{"RecordAppendsAndChangesNoLogLine"}.Record().Files({{2500, 12, 524289}}).Runs(2).Finishes({"*"})
            .After([](Trial& run) {
              if (run.runsRecorded == 2) SameLogWithoutTheRecord(run);
            }),
        Case{"RecordOfTwoProcessesAtOnce"}.Record().Files({{2500, 12, 262144}}).Finishes({"*"})
            .Before(AnotherAppendsAtOnce).During([](Trial& run) {
              // Both ends in the record before it is checked: the other may end last.
              ExpectExit(*run.others[1], 0, Millis(60000));
            }).After([](Trial& run) {
              const std::vector<Json> lines = RecordLines(run);
              EXPECT_EQ(OfType(lines, "target_end").size(), 2u);
              EXPECT_EQ(OfType(lines, "run_end").size(), 2u);
            }),
        Case{"RecordOfAFileList"}.Record().Files({{1000, 10, 262143}, {2000, 10, 10000, 262145}})
            .Sim({"--updates", "2", "--reply", "P1"}).List([](const Trial& run) {
              const FileSet& b = run.files[1];
              return ListOf("{A}\n")(run) + b.loader + " " + b.id + " " + b.program + " " + b.program2 + "\n";
            }).Status({kConnect, "*", kFinish}, {1, 2}).After([](Trial& run) {
              const std::vector<Json> lines = RecordLines(run);
              ASSERT_EQ(OfType(lines, "row_begin").size(), 2u);
              EXPECT_EQ(OfType(lines, "run_begin").at(0)["mode"], "file_list");
              EXPECT_EQ(OfType(lines, "target_end").size(), 2u);
              EXPECT_EQ(OfType(lines, "run_end").at(0)["ended_by"], "done");
            }),
        // The digests where the program passes through in pieces of 1024 bytes (-N), up to the
        // empty read at the end, after a loader a byte over the run.
        Case{"RecordOfAPacedProgramAfterALongLoader"}.Record().Files({{262145, 10, 10240}}).Args({"-T20", "-N1"})
            .Finishes({"010 %", "099 %", "099 %"}),
        // With a record the kernel sends a program that the record read unchanged: one cut short
        // while sent is told alike, and has no digest.
        Case{"ProgramCutShortWhileSentForTheRecord"}.Record().Files({{1000, 10, 16 << 20}}).Args({"-T10"})
            .Sim({"--read-size", "4096", "--read-delay", "1", "--count-only"})
            .During(At("001 %", CutProgramTo1MiB)).Status({kConnect, kErasing, "*", kTargetNotFound})
            .Reports({{"program_end", "reset"}}).Why("^" + kShrankWhileSent),
        // A program replaced after the record read it (same length, other bytes) is hashed as it is
        // sent: the target's digest is that of the bytes it got, not the one the run began with.
        Case{"RecordOfAProgramReplacedAfterTheStart"}.Record().Files({{1000, 10, 100000}}).Finishes({"*"})
            .Sim({"--reboot-ms", "2500"})  // time to replace it before the program stage, on a slow machine too
            .During(At("000 % connect", [](const FileSet& f) {
              MakeFile(f.program + ".new", 100000, 99);  // whole, then in its place: never read half-written
              ASSERT_EQ(rename((f.program + ".new").c_str(), f.program.c_str()), 0);
            }))
            .After([](Trial& run) {
              const std::vector<Json> lines = RecordLines(run);
              const std::string now = Sha256Of(run.files[0].program);
              EXPECT_NE(OfType(lines, "run_begin").at(0)["files"]["program_0"]["sha256"], now);
              EXPECT_EQ(OfType(lines, "target_end").at(0)["program_sha256"], now);
            }),
        Case{"RecordOfAFailedProgram"}.Record().Small().Files({{1000, 10, kBeyond}}).Args({"-T2"})
            .Sim(Plus({"--stall-program-after", "100000"}, kStall)).FailsInProgram(kTimedOut)
            .After([](Trial& run) {
              const Json end = OfType(RecordLines(run), "target_end").at(0);
              EXPECT_EQ(end["result"], "failed");
              EXPECT_EQ(end["status_line"], kProgramError);
              EXPECT_EQ(end["mac"], nullptr) << "loopback has no hardware address";
              EXPECT_GE(end["bytes_acknowledged"].get<int64_t>(), 100000);
            }),
        // A record that cannot be kept is refused before anything is announced.
        Case{"RecordInAMissingFolder"}.Args({"-T3", "-J/nonexistent-moxtil-folder/r.jsonl"}).NoTarget().Exit(255)
            .Status({}).After([](Trial& run) {
              NothingAnnounced(run);
              EXPECT_EQ(CountMatching(*run.moxtil, "^record /nonexistent-moxtil-folder/r\\.jsonl: cannot open it for "
                                                   "appending: No such file or directory$"), 1);
            }),
        // A record that cannot be written any more (a full disk) is told once; the update goes on.
        Case{"RecordOnAFullDisk"}.Files({{2500, 12, 30000}}).Args({"-T20", "-J/dev/full"}).Finishes({"*"})
            .After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: a run_begin line is left out \\(No space left on device\\); "
                                                   "the updates go on, the record is incomplete$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: [0-9]+ lines in all are left out of it$"), 1);
            }),
        // A line too long for a record line (four paths of 4000 characters, twice each) is left
        // out whole and told once; the record stays whole lines.
        Case{"RecordLineTooLong"}.Record().LeftOut({"run_begin"}).Files({{2500, 10, 3000, 2000}}).PadPaths(4000)
            .Finishes({"*"})
            .After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: a run_begin line is left out \\(longer than a record line "
                                                   "may be\\); the updates go on, the record is incomplete$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: "), 1);
              EXPECT_EQ(OfType(RecordLines(run), "target_end").size(), 1u);
            }),
        // The file size limit falls inside a line: the part is taken back, each line is whole or
        // absent, and the program goes on without being killed for it.
        Case{"RecordAtTheFileSizeLimit"}.Record().LeftOut({"*"}).Prefix({"prlimit", "--fsize=2600"})
            .Finishes({"*"}).Before([](Trial& run) {
              WriteFile(run.Record(), "{\"v\":1,\"ts\":\"2026-12-08T10:00:00.000Z\",\"type\":\"note\",\"text\":\"" +
                                          std::string(1900, 'x') + "\"}\n");
            }).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: a run_begin line is left out \\(written in part and taken "
                                                   "back: the file could take no more\\); the updates go on, the "
                                                   "record is incomplete$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^record: [0-9]+ lines in all are left out of it$"), 1);
              EXPECT_LE(std::filesystem::file_size(run.Record()), 2600u);
            }),
        Case{"RecordIsADirectory"}.Args({"-T3", "-J/tmp"}).NoTarget().Exit(255).Status({}).After([](Trial& run) {
              NothingAnnounced(run);
              EXPECT_EQ(CountMatching(*run.moxtil, "^record /tmp: cannot open it for appending: Is a directory$"), 1);
            }),
        Case{"AnnounceAsGiven"}.Args({"-T3"}).NoTarget().Status({kTimeOut}).Why(kNoTarget + "3 s$").After(Announced),
        // The restart datagram once in the cycle, right after its first announce.
        Case{"RestartOnce"}.Args({"-I127.0.0.2", "-T2"}).NoTarget().Status({kTimeOut}).After([](Trial& run) {
              const std::vector<Report> datagrams = Datagrams(*run.sim);
              ASSERT_GE(datagrams.size(), 5u);
              EXPECT_EQ(Count(datagrams, "restart"), 1);
              EXPECT_EQ(Field(datagrams[1], "kind") + " from " + Field(datagrams[1], "from"),
                        "restart from 127.0.0.1:" + std::to_string(run.base + 10));
            }),
        // -F voids -I though -I comes after it.
        Case{"RestartVoidedByFBeforeI"}.Args({"-F", "-I127.0.0.2", "-T2"}).NoTarget().Status({kTimeOut})
            .After(NoRestart),
        // The acceptor's time-out and the driver's loop race for the flags:
        // whichever wins, the time-out lines come once, in a file list too.
        Case{"TimeOutEveryTime"}.Args({"-T1"}).NoTarget().Runs(10).Status({kTimeOut}).Why(kNoTarget + "1 s$")
            .After([](Trial& run) { EXPECT_EQ(CountMatching(*run.moxtil, "canceled \\(_timeout\\)"), 1); }),
        Case{"TimeOutInAFileListsFirstRow"}.Args({"-T1"}).List(ListOf("{A}\n{A}\n")).NoTarget().Status({kTimeOut})
            .Why(kNoTarget + "1 s$"),
        // Another program holds the announce port without address reuse, so
        // -b cannot share it either: the run ends at once and says why.
        Case{"AnnouncePortTaken"}.Args({"-T5", "-b"}).Before(Hold(SOCK_DGRAM, "127.0.0.1", 10)).NoTarget()
            .Status({"-1 failed to open the UDP endpoint"}).Why("Address (already )?in use.*the update ends$")
            .After([](Trial& run) {
              const std::optional<int64_t> failed = FirstLineMs(*run.moxtil, "-1 failed to open the UDP endpoint");
              ASSERT_TRUE(failed.has_value());
              EXPECT_LT(*failed - run.moxtil->Stdout().at(0).ms, 4000) << "it waited for a target it cannot invite";
              NothingAnnounced(run);
              ExpectExplained(*run.moxtil, "--- error(udp_vcre_cep)",
                              "^announce port \\d+ on 127\\.0\\.0\\.1: cannot open the UDP endpoint: bind: Address (already )?in use");
              EXPECT_EQ(CountMatching(*run.moxtil, "^announce port \\d+: the program that holds it does not share "
                                                   "it, even with -b$"), 1);
            }),
        // Held by a program that shares it: -b is the remedy, and the line says so.
        Case{"AnnouncePortTakenWithoutB"}.Args({"-T5"}).Before(Hold(SOCK_DGRAM, "127.0.0.1", 10)).NoTarget()
            .Status({"-1 failed to open the UDP endpoint"}).Why("Address (already )?in use.*the update ends$")
            .After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^announce port \\d+: another program holds it; -b shares it "
                                                   "with a program that allows sharing$"), 1);
            }),
        Case{"ListMissing"}.List(ListOf("")).Before([](Trial& run) { unlink(run.dir.File("filelist").c_str()); })
            .NoTarget().Exit(255).Status({})
            .After([](Trial& run) { EXPECT_EQ(CountMatching(*run.moxtil, "^loader filelist not found!$"), 1); }),
        Refused("ListEmpty", "", {kUnreadable}, "the list has no such row$").After(NothingAnnounced),
        Refused("ListFirstLineEmpty", "\n{A}\n", {kUnreadable}, "fewer than three file names$"),
        Refused("ListTwoFields", "{L} {I}\n{A}\n", {kUnreadable}, "fewer than three"),
        Refused("ListLoaderMissing", "{X} {I} {P}\n", {kNotFound, kUnreadable}, ".*none is missing")
            .After(NothingAnnounced),
        Refused("ListProgramMissing", "{L},{I},{X}\n", {kNotFound, kUnreadable}, ".*none is missing")
            .After([](Trial& run) {
              ExpectExplained(*run.moxtil, kNotFound, "^file list .*filelist row 1: .*none: No such file or directory");
            }),
        Refused("ListSecondProgramMissing", "{A} {X}\n", {kNotFound, kUnreadable}, ".*none is missing")),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

// The command line as a person types it: the two questions answered with
// exit 0, and each mistyped option or bad value named in one line before
// the exit with 255. No simulator: nothing is announced or accepted.
struct CommandLine {
  std::string name;
  Strings args;
  int exit;
  Strings lines;  // regular expressions, the whole log (the usage text as "USAGE")
};
void PrintTo(const CommandLine& c, std::ostream* os) { *os << c.name; }

class CommandLineRows : public ::testing::TestWithParam<CommandLine> {};

TEST_P(CommandLineRows, AnsweredOrNamed) {
  const CommandLine& c = GetParam();
  std::unique_ptr<Process> moxtil = StartMoxtil(PortBase(), c.args);
  ExpectExit(*moxtil, c.exit, Millis(10000));
  Strings log = LogLines(*moxtil);
  EXPECT_TRUE(StatusLines(*moxtil).empty());
  if (!c.lines.empty() && c.lines[0] == "USAGE") {
    ASSERT_EQ(log.size(), 36u);  // its 35 lines and the pointer to the manual page
    EXPECT_EQ(log[0], "Usage : Moxtil <file-1> <file-2> <file-3> [-option] ");
    log.erase(log.begin(), log.begin() + 35);
  }
  const Strings want(c.lines.begin() + (!c.lines.empty() && c.lines[0] == "USAGE" ? 1 : 0), c.lines.end());
  ASSERT_EQ(log.size(), want.size()) << (log.empty() ? "" : log[0]);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(std::regex_search(log[i], std::regex(want[i]))) << log[i];
}

const Strings kNamedFiles = {"loader.b", "idcode.sys", "target.bin"};

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLineRows,
    ::testing::Values(
        CommandLine{"Version", {"--version"}, 0, {"^Network program loading\\(MOXTIL\\) version \\d+\\.\\d+$"}},
        CommandLine{"Help", {"--help"}, 0, {"USAGE", "^The options -M, -E and -J, .*: man moxtil$"}},
        CommandLine{"NoSuchOption", Plus(kNamedFiles, {"-X"}), 255, {"^option -X: no such option$"}},
        CommandLine{"TimeOutNotANumber", Plus(kNamedFiles, {"-T12x"}), 255,
                    {"^option -T12x: not a number of seconds$"}},
        CommandLine{"CountNotANumber", Plus(kNamedFiles, {"-M1o"}), 255, {"^option -M1o: not a number of targets$"}},
        CommandLine{"FailuresWithoutM", Plus(kNamedFiles, {"-E3"}), 255,
                    {"^option -E3: only with -M \\(several targets at once\\)$"}},
        CommandLine{"NoFailures", Plus(kNamedFiles, {"-M", "-E0"}), 255,
                    {"^option -E0: at least 1 failure in a row ends the run$"}},
        CommandLine{"FailuresNotANumber", Plus(kNamedFiles, {"-M", "-E3x"}), 255,
                    {"^option -E3x: not a number of failures$"}},
        CommandLine{"RecordUnnamed", Plus(kNamedFiles, {"-M", "-J"}), 255, {"^option -J: no record file named"}}),
    [](const ::testing::TestParamInfo<CommandLine>& p) { return p.param.name; });

// Several targets at once (-M): simulated targets on 127.0.0.2 and up, in a
// network namespace of the test's own, announced by broadcast.
const Strings kServed = {kConnect, kErasing, "*", kFinish};
const Strings kCutShort = {kConnect, kErasing, "*", kProgramError};


// ms on one clock for a line of either process.
int64_t OnOneClock(const Process& p, int64_t ms) {
  return std::chrono::duration_cast<Millis>(p.Started().time_since_epoch()).count() + ms;
}

// Once all ten slots are busy, no announce goes out until one frees: the
// eleventh target is taken only after a finish, and no announce reaches the
// targets between the tenth connect and the eleventh.
void AnEleventhWaits(Trial& run) {
  std::vector<int64_t> connects;
  int64_t firstFinish = -1;
  for (const Line& line : run.moxtil->Stdout()) {
    if (line.text.find(std::string(" ") + kConnect) != std::string::npos) connects.push_back(OnOneClock(*run.moxtil, line.ms));
    if (firstFinish < 0 && line.text.find(std::string(" ") + kFinish) != std::string::npos) {
      firstFinish = OnOneClock(*run.moxtil, line.ms);
    }
  }
  ASSERT_EQ(connects.size(), 11u);
  EXPECT_GT(connects[10], firstFinish) << "the eleventh target was taken before a slot was free";
  int announces = 0;
  for (const Report& d : Datagrams(*run.sim)) {
    const int64_t when = OnOneClock(*run.sim, Number(d, "ms"));
    announces += Field(d, "kind") == "announce" && when > connects[9] + 200 && when < connects[10] - 200;
  }
  EXPECT_EQ(announces, 0) << "announced while all ten slots were busy";
  EXPECT_GE(Count(Datagrams(*run.sim), "announce"), 1) << "no broadcast announce reached the targets";
}

// Sends sig once every target has started its program.
std::function<void(Trial&)> SignalWhenErasing(int targets, std::vector<int> signals) {
  return [targets, signals](Trial& run) {
    const auto deadline = std::chrono::steady_clock::now() + Millis(20000);
    while (CountMatching(*run.moxtil, " 000 % Now erasing$") < targets && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(Millis(50));
    }
    for (int sig : signals) {
      run.moxtil->Signal(sig);
      std::this_thread::sleep_for(Millis(300));
    }
  };
}

INSTANTIATE_TEST_SUITE_P(
    Several, E2E,
    ::testing::Values(
        // Ten at once, every line tagged; an eleventh waits for a slot. The
        // targets wait for the broadcast (-b shares the announce port with them).
        Case{"TenAtOnceAndAnEleventhWaits"}.Several(11).Files({{20000, 10, 300000}}).Args({"-M11", "-T20", "-b", "-R"})
            .Sim({"--targets", "11", "--listen-any"}).Status(kServed).After(AnEleventhWaits),
        // One target resets, one stalls: they fail alone, the others finish, and the exit value says so.
        Case{"OneResetsOneStallsTheOthersFinish"}.Several(5).Small().Files({{20000, 10, kBeyond}}).Args({"-M5", "-T2"})
            .Sim({"--targets", "3", "--host", "127.0.0.1"}).Status(kServed).Exit(1)
            .Each("127.0.0.5", kCutShort).Each("127.0.0.6", kCutShort)
            .Before([](Trial& run) {
              AlsoAt("127.0.0.5", {"--reset-program-after", "100000"})(run);
              AlsoAt("127.0.0.6", Plus({"--stall-program-after", "100000"}, kStall))(run);
            }).After([](Trial& run) {
              ExpectExplained(*run.moxtil, "127.0.0.5 -1 *****ERROR*****",
                           "^127\\.0\\.0\\.5 program to 127\\.0\\.0\\.5:\\d+: .*(Connection reset by peer|Broken pipe)$");
              ExpectExplained(*run.moxtil, "127.0.0.6 -1 *****ERROR*****",
                           "^127\\.0\\.0\\.6 program to 127\\.0\\.0\\.6:\\d+: .*nothing moved within the time limit" +
                               kResetNote);
              EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.[56]: .*-1 \\*\\*\\*\\*\\*ERROR\\*\\*\\*\\*\\*$"), 2);
            }),
        // A data connection from another address goes to the target that waits for one; each
        // target gets the program it chose. The first comes back late, the second's is paired first.
        Case{"DataFromAnotherAddressAndEachItsProgram"}.Several(2).Files({kTwo}).Args({"-M2", "-T20"})
            .Sim({"--host", "127.0.0.1", "--reply", "P0", "--data-from", "127.0.0.9", "--reboot-ms", "1500"})
            .Before(AlsoAt("127.0.0.3", {"--reply", "P1"})).Status(kServed).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^127\\.0\\.0\\.2 data connection from 127\\.0\\.0\\.9:\\d+, not from the "
                                                   "loader connection's address 127\\.0\\.0\\.2: paired by order only \\(no "
                                                   "hardware address can be read\\), as the target that had waited "
                                                   "longest$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.2 \\(data from 127\\.0\\.0\\.9, paired by order\\): "
                                                   "program "
                                                   ".*target\\.bin, 3000 bytes in "), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.3: program .*second\\.bin, 5000 bytes in "), 1);
            }),
        // A device that connects again while still served started over: its transfer ends, told
        // so, and the new connection is served. (The second connects from the first's address.)
        Case{"ADeviceThatStartsOver"}.Several(1).Files({{64 << 10, 10, 3000}}).Args({"-M2", "-T5", "-R"}).Exit(1).Record()
            .Sim({"--host", "127.0.0.1", "--stall-loader-after", "1000", "--stall-seconds", "8"})
            .During(AlsoAfter("127.0.0.2 loader connection from", "127.0.0.3",
                              {"--connect-from", "127.0.0.2", "--loader-connect-delay", "1000"}))
            .Status({kConnect, kRebootError, kConnect, kErasing, "*", kFinish}).After([](Trial& run) {
              ExpectExplained(*run.moxtil, "127.0.0.2 -1 _reboot data error",
                           "^127\\.0\\.0\\.2 the target started over \\(a new loader connection came from it\\): loader ");
              // One device (by its address: loopback has no hardware
              // address), finished after a retry.
              EXPECT_EQ(CountMatching(*run.moxtil, "^failures: 1 x -1 _reboot data error$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^devices: 1 \\(0 first try, 1 after a retry, 0 never finished\\)$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^programs finished in: fastest (\\d+ ms|\\d+\\.\\d\\d s), median "
                                                   "\\1, slowest \\1$"), 1);
              const Json end = OfType(RecordLines(run), "run_end").at(0);
              EXPECT_EQ(end["failures"], Json::parse(R"({"-1 _reboot data error": 1})"));
              EXPECT_EQ(end["devices"], Json::parse(R"({"seen": 1, "first_try": 0, "after_retry": 1,
                                                        "never_finished": 0, "not_told_apart": 0})"));
              EXPECT_EQ(end["program_ms"]["fastest"], end["program_ms"]["slowest"]);
            }),
        // A late device while another waits: the first's wait runs out (-T5), it comes back a second
        // later while the second waits for its own. The late one is refused, not handed to the
        // waiting transfer; the second gets its own program, and every line is true of its device.
        Case{"ALateDeviceWhileAnotherWaits"}.Several(2).Args({"-M2", "-T5"}).Exit(1)
            .Sim({"--host", "127.0.0.1", "--reboot-ms", "6000"})
            .Before(AlsoAt("127.0.0.3", {"--loader-connect-delay", "4000", "--reboot-ms", "3000"}))
            .Status(kServed).Each("127.0.0.2", {kConnect, "-1 id data error"}).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^data connection from 127\\.0\\.0\\.2:\\d+ reset: its address is that of "
                                                   "target 127\\.0\\.0\\.2 of this run, whose own wait ended [0-9]\\.[0-9] s "
                                                   "ago$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, " reset: "), 1) << "a device's own data connection was refused";
              const Report late = SimReports(*run.sim, "update").at(0);
              EXPECT_EQ(Field(late, "result") + " " + Field(late, "id_bytes") + " " + Field(late, "program_bytes"),
                        "short-id 0 0");
              EXPECT_EQ(CountMatching(*run.moxtil, "^127\\.0\\.0\\.3 data connection from 127\\.0\\.0\\.3:\\d+$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.3: program .*100 % finish$"), 1);
              EXPECT_EQ(CountMatching(*run.moxtil, "^summary: 127\\.0\\.0\\.2: program .*not reached: -1 id data "
                                                   "error$"), 1);
            }),
        // With -M too the kernel sends the program from the file: one cut short there is told alike.
        Case{"ProgramCutShortWhileTheKernelSendsIt"}.Several(1).Files({{1000, 10, 16 << 20}}).Args({"-M1", "-T10"})
            .Exit(1).Sim({"--host", "127.0.0.1", "--read-size", "4096", "--read-delay", "1", "--count-only"})
            .During(At("127.0.0.2 001 %", CutProgramTo1MiB)).Status({kConnect, kErasing, "*", kTargetNotFound})
            .After([](Trial& run) {
              ExpectExplained(*run.moxtil, std::string("127.0.0.2 ") + kTargetNotFound,
                              "^127\\.0\\.0\\.2 " + kShrankWhileSent);
              EXPECT_EQ(Field(SimReports(*run.sim, "update").at(0), "program_end"), "reset");
            }),
        // The run ends after -M<n> targets, or -T after the last one.
        Case{"EndsAfterThree"}.Several(3).Args({"-M3", "-T20"}).Sim({"--targets", "4", "--host", "127.0.0.1"})
            .Status(kServed),
        Case{"EndsWhenIdleForT"}.Several(2).Args({"-M", "-T3"}).Sim({"--targets", "2", "--host", "127.0.0.1"})
            .Status(kServed).After([](Trial& run) {
              const std::regex finish(std::string("^D/moxtil: 127\\.0\\.0\\.\\d+ ") + kFinish + "$");
              int64_t last = 0;
              for (const Line& line : run.moxtil->Stdout()) last = std::regex_search(line.text, finish) ? line.ms : last;
              // The 5 s wait and the close, then 3 s without a target (to its line: a
              // sanitizer's exit takes seconds under load).
              const std::optional<int64_t> idle =
                  FirstLineMs(*run.moxtil, "no target connected for 3 s and none is being served");
              ASSERT_TRUE(idle.has_value());
              EXPECT_GE(*idle - last, 7900);
              EXPECT_LE(*idle - last, 11000);
            }),
        // A signal: the targets being served finish, then the summary; a second ends them at once.
        Case{"OneSignalLetsThemFinish"}.Several(2).Files({{20000, 10, 1 << 20}}).Args({"-M"})
            .Sim({"--targets", "2", "--host", "127.0.0.1", "--program-rate", "500000"})
            .During(SignalWhenErasing(2, {SIGINT})).Status(kServed).After([](Trial& run) {
              EXPECT_EQ(CountMatching(*run.moxtil, "^Interrupt: no more targets are taken; the 2 being served finish "
                                                   "first"), 1);
            }),
        // Small buffers: what was already sent still arrives, so the cut must show in the bytes.
        Case{"ASecondSignalEndsThemAtOnce"}.Several(2).Small().Files({{20000, 10, 4 << 20}}).Args({"-M"}).Exit(1)
            .Sim({"--targets", "2", "--host", "127.0.0.1", "--program-rate", "500000"})
            .During(SignalWhenErasing(2, {SIGINT, SIGTERM})).Status(kCutShort).After([](Trial& run) {
              ExpectExplained(*run.moxtil, "127.0.0.2 -1 *****ERROR*****",
                           "^127\\.0\\.0\\.2 ended at once by a second signal: program to ");
              EXPECT_EQ(CountMatching(*run.moxtil, "^second signal \\(Terminated\\): the run ends at once; the "
                                                   "connections of the 2 targets being served are closed$"), 1);
              EXPECT_LT(run.moxtil->ExitMs(), 15000) << "4 MiB at 500 kB/s would take 8 s";
              for (const Report& update : SimReports(*run.sim, "update")) {
                EXPECT_LT(Number(update, "program_bytes"), 4 << 20) << "not cut short";
                EXPECT_EQ(Field(update, "program_end"), "reset") << "a cut-short program ended like a whole one";
              }
            }),
        // A second signal in the second after the ID code: no erasing is announced for a program
        // that will not be sent, and the device is told by a reset.
        Case{"ASecondSignalAfterTheIdCode"}.Several(1).Args({"-M"}).Exit(1).Sim({"--host", "127.0.0.1"})
            .During([](Trial& run) {
              ASSERT_TRUE(WaitForLogLine(*run.moxtil, "127.0.0.2 data connection from", Millis(10000)));
              std::this_thread::sleep_for(Millis(300));
              run.moxtil->Signal(SIGINT);
              std::this_thread::sleep_for(Millis(100));
              run.moxtil->Signal(SIGTERM);
            }).Status({kConnect, "-1 id data error"}).After([](Trial& run) {
              ExpectExplained(*run.moxtil, "127.0.0.2 -1 id data error",
                              "^127\\.0\\.0\\.2 ended at once by a second signal: ID code to 127\\.0\\.0\\.2:\\d+: "
                              "sent; the program was not begun; the connection was reset");
              const Report update = SimReports(*run.sim, "update").at(0);
              EXPECT_EQ(Field(update, "id_bytes") + " " + Field(update, "program_bytes") + " " +
                            Field(update, "program_end"), "10 0 reset");
              EXPECT_EQ(CountMatching(*run.moxtil, "^second signal \\(Terminated\\): the run ends at once; the "
                                                   "connection of the 1 target being served is closed$"), 1);
            })),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

// Too long for every local run (label long): 16 bind attempts 5 s apart on a
// port another program listens on (each attempt told at once, no target
// invited meanwhile).
void BusyPort(Trial& run) {
  EXPECT_GE(run.moxtil->ExitMs(), 74000);
  EXPECT_EQ(Datagrams(*run.sim).size(), 0u) << "announced while no target could connect";
  EXPECT_EQ(CountMatching(*run.moxtil, "^(loader|data) port \\d+: bind failed: Address (already )?in use \\(attempt \\d+ "
                                       "of 16, next in 5 s\\)$"),
            15);
}

INSTANTIATE_TEST_SUITE_P(
    Long, E2E,
    ::testing::Values(
        Case{"LoaderPortBusy"}.Args({"-T3"}).Before(Hold(SOCK_STREAM, "0.0.0.0", 10))
            .Sim({"--listen-only", "--time-limit", "100"})
            .Status({"-1 failed to open the TCP reception point"})
            .Why("^loader port \\d+: cannot listen: bind: Address (already )?in use$").After(BusyPort),
        Case{"DataPortBusy"}.Args({"-T3"}).Before(Hold(SOCK_STREAM, "0.0.0.0", 11))
            .Sim({"--listen-only", "--time-limit", "100"})
            .Status({"-1 failed to open the TCP reception point"})
            .Why("^data port \\d+: cannot listen: bind: Address (already )?in use$").After(BusyPort)),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

// Volume (labels long and volume; the normal build only, and the ARM one for
// its 32-bit lengths): counts beyond 32 bits, where the byte counts are the
// proof (the program is zeros, so its digest would prove nothing more).
INSTANTIATE_TEST_SUITE_P(
    Volume, E2E,
    ::testing::Values(
        // 4 194 305 pieces: a line after every tenth (419 431) and after the last.
        Case{"BeyondFourGibibytes"}.Files({{1000, 10, (int64_t{1} << 32) + 1000, -1, true}}).Args({"-T60"})
            .Sim({"--count-only", "--time-limit", "900"}).Finishes({"*"}).After([](Trial& run) {
              const Strings status = StatusLines(*run.moxtil);
              ASSERT_EQ(status.size(), 419432u + 3);
              EXPECT_EQ(status[2 + 419432 / 2], "050 %");
            })),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

// A list longer than the 50 endpoint IDs of a kind: 55 rows of the protocol's
// waits (labels long, volume and waits; the normal build only).
INSTANTIATE_TEST_SUITE_P(
    Waits, E2E,
    ::testing::Values(
        Case{"FiftyFiveRows"}.Files({{300, 10, 2000}}).Args({"-T30"}).Sim({"--updates", "55", "--time-limit", "900"})
            .List(ListOf([] { std::string rows; for (int i = 0; i < 55; ++i) rows += "{A}\n"; return rows; }()))
            .Status({kConnect, "*", kFinish}, std::vector<int>(55, 1))
            .After([](Trial& run) { EXPECT_EQ(StatusLines(*run.moxtil).size(), 112u) << "two progress lines a row"; })),
    [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
}  // namespace testkit
