// The real moxtil from end to end against simulated devices, as one table. A row is data: the files, moxtil's
// arguments, the devices (the simulator's options; each there before moxtil or started on an event), steps on events,
// and what must hold. One runner runs every row, a seeded crowd included; one oracle holds each run's lines, exit
// value and record against the devices' own accounts of what they received and how each of their streams ended.
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <iomanip>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "tests/testkit.h"

namespace testkit {
namespace {

using Json = nlohmann::json;
const int kRecordVersion = 2;  // "v" of every record line
const std::string kBanner = std::string("Network program loading(MOXTIL) version ") + MOXTIL_VERSION;
const char kConnect[] = "000 % connect", kErasing[] = "000 % Now erasing", kFinish[] = "100 % finish";
const char kRebootError[] = "-1 _reboot data error", kProgramError[] = "-1 *****ERROR*****";
const char kIdError[] = "-1 id data error", kTargetNotFound[] = "-1 target PG file not found";
const char kTimeOut[] = "-1 time out", kUnreadable[] = "-1 error can not read the filelist";
const char kNotFound[] = "-1 error file not found ";
constexpr int64_t kFits = 48 << 10, kBeyond = 1 << 20, kHuge = int64_t{64} << 20;  // against a small device's buffers

bool Has(const Strings& words, const std::string& word) { return std::count(words.begin(), words.end(), word) > 0; }
Strings Plus(Strings a, const Strings& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
int64_t Number(const Report& r, const std::string& key) { return std::strtoll(Field(r, key).c_str(), nullptr, 10); }
int Matching(const Strings& log, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&re](auto& l) { return std::regex_search(l, re); }));
}
std::string Escaped(const std::string& text) { return std::regex_replace(text, std::regex("[.*()]"), "\\$&"); }
bool Failure(const std::string& line) { return line.rfind("-1 ", 0) == 0; }

// ---- a row

struct Sizes {
  int64_t loader, id, program, program2 = -1;  // an ID code of -1 bytes is missing
  bool sparse = false;                          // loader and program all zero, quick to make
};
struct Trial;
using Action = std::function<void(Trial&)>;
// The nth line of moxtil (kMoxtil) or of device `who` that begins with text; for a crowd a time from moxtil's start
// (kClock), or every device done (kAllDone).
constexpr int kMoxtil = -1, kClock = -2, kAllDone = -3, kDerived = -1;
struct Event { int who = kMoxtil; std::string text; int nth = 1; int64_t ms = 0; };
Event Said(std::string text, int nth = 1) { return {kMoxtil, std::move(text), nth}; }
Event By(int device, std::string text) { return {device, std::move(text)}; }
struct Step { Event on; Action act; };
struct Device { Strings options; bool later = false; };  // later: a step starts it
// Expected values by name: "x", "!x", ">=n", "<n".
using Expect = std::map<std::string, std::string>;
bool Holds(const std::string& actual, const std::string& want) {
  const double number = std::strtod(actual.c_str(), nullptr);
  if (want.rfind(">=", 0) == 0) return number >= std::stod(want.substr(2));
  if (want.rfind("<", 0) == 0) return number < std::stod(want.substr(1));
  return want.rfind("!", 0) == 0 ? actual != want.substr(1) : actual == want;
}

struct Case {
  explicit Case(std::string n) : name(std::move(n)) {}
  std::string name;
  std::vector<Sizes> sets = {{2500, 10, 3000}};
  Strings args = {"-T20"};             // "-J" alone: the row's record
  std::vector<Device> devices = {{}};  // on 127.0.0.2, waiting for the announce
  std::vector<Step> steps;
  std::string list;  // file-list mode: {A} the files of set A, {L} {I} {P} one of the first's, {X} none
  Strings prefix;    // words before moxtil's (prlimit ...)
  bool small = false, wholeRecord = true;  // small: a device's socket buffers; !wholeRecord: lines may be missing
  int runs = 1, exit = 0;                  // exit kDerived: from the lines, as a crowd's
  // Status lines ("*": progress lines), for each target with -M unless `each` says other.
  Strings status;
  std::map<std::string, Strings> each;
  std::string why;          // the explanation before the last status line
  std::vector<int> served;  // per update of device 0: the program (1 or 2) it holds whole
  // Device k's first update "k:field" (k 0: "field"), its datagrams "k:heard kind", the last record line of a type
  // "type.field"; and how many log lines match each regular expression.
  Expect expect, lines;
  Action before, check;

  Case& Files(std::vector<Sizes> v) { sets = std::move(v); return *this; }
  Case& Args(Strings v) { args = std::move(v); return *this; }
  Case& Sim(Strings v) { devices.at(0).options = std::move(v); return *this; }
  Case& NoTarget() { return Sim({"--listen-only"}); }
  Case& Later() { devices.at(0).later = true; return *this; }
  Case& Devices(std::vector<Device> v) { devices = std::move(v); return *this; }
  Case& Also(Device d) { devices.push_back(std::move(d)); return *this; }
  Case& On(Event e, Action a) { steps.push_back({std::move(e), std::move(a)}); return *this; }
  Case& List(std::string v) { list = std::move(v); return *this; }
  Case& Prefix(Strings v) { prefix = std::move(v); return *this; }
  Case& Small() { small = true; return *this; }
  Case& PartRecord() { wholeRecord = false; return *this; }
  Case& Runs(int v) { runs = v; return *this; }
  Case& Exit(int v) { exit = v; return *this; }
  Case& Status(Strings v, std::vector<int> programs = {}) { status = std::move(v); served = std::move(programs); return *this; }
  Case& Each(const std::string& target, Strings v) { each[target] = std::move(v); return *this; }
  Case& Finishes(Strings progress, int program = 1) {
    return Status(Plus(Plus({kConnect, kErasing}, progress), {kFinish}), {program});
  }
  Case& FailsInLoader(std::string v) { return Status({kConnect, kRebootError}).Why(std::move(v)); }
  Case& FailsInProgram(std::string v) { return Status({kConnect, kErasing, "*", kProgramError}).Why(std::move(v)); }
  Case& Why(std::string v) { why = std::move(v); return *this; }
  Case& Expects(Expect v) { expect = std::move(v); return *this; }
  Case& Lines(Expect v) { lines = std::move(v); return *this; }
  Case& Before(Action a) { before = std::move(a); return *this; }
  Case& Check(Action a) { check = std::move(a); return *this; }
  bool Several() const { return std::any_of(args.begin(), args.end(), [](auto& a) { return a.rfind("-M", 0) == 0; }); }
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// ---- the runner

struct Trial {
  TempDir dir;
  int base = PortBase(), held = -1;  // held: a port another program holds
  std::vector<FileSet> files;
  Strings args;
  std::vector<Device> given;  // the row's devices
  std::unique_ptr<Process> moxtil;
  std::vector<std::unique_ptr<Process>> devices, others;  // others: outside the oracle
  int exit = -1, runsRecorded = 0;
  std::string Record() const { return dir.File("record.jsonl"); }
  ~Trial() { close(held); }
};

Action Start(int k) { return [k](Trial& t) { t.devices.at(k) = StartSim(t.base, t.given.at(k).options); }; }
Action Signal(int sig) { return [sig](Trial& t) { t.moxtil->Signal(sig); }; }
Action Release(int k) { return [k](Trial& t) { t.devices.at(k)->Signal(SIGUSR1); }; }
Action FreePort() { return [](Trial& t) { close(t.held), t.held = -1; }; }
Action Hold(int type, const char* address, int offset) {
  return [=](Trial& t) { t.held = HoldPort(type, address, static_cast<uint16_t>(t.base + offset)); };
}
Action OnFile(std::string FileSet::*which, std::function<void(const std::string&)> change) {
  return [which, change](Trial& t) { change(t.files[0].*which); };
}
Action Seen(std::string line) {  // moxtil has written it by now
  return [line](Trial& t) { EXPECT_TRUE(Has(LogLines(*t.moxtil), line)) << "not yet written: " << line; };
}

void Await(Trial& t, const Event& e, std::chrono::steady_clock::time_point start) {
  if (e.who == kClock) return std::this_thread::sleep_until(start + Millis(e.ms));
  for (auto& d : t.devices) {
    if (e.who == kAllDone && d) d->WaitExit(Millis(600000));
  }
  Process* p = e.who == kMoxtil ? t.moxtil.get() : e.who >= 0 ? t.devices.at(static_cast<size_t>(e.who)).get() : nullptr;
  for (int i = 0, at = -1; p != nullptr && i < e.nth; ++i) {
    at = p->WaitForLine((e.who == kMoxtil ? "D/moxtil: " : "") + e.text, Millis(120000), static_cast<size_t>(at + 1));
    ASSERT_GE(at, 0) << "never came: " << e.text;
  }
}

void Prepare(const Case& c, Trial& t) {
  std::string list = c.list;
  const auto mark = [&list](const std::string& m, const std::string& paths) {
    for (size_t at; (at = list.find(m)) != std::string::npos;) list.replace(at, m.size(), paths);
  };
  for (size_t i = 0; i < c.sets.size(); ++i) {
    const Sizes& s = c.sets[i];
    const std::string tag = t.dir.File(std::to_string(i));
    const auto seed = static_cast<uint32_t>(i * 10);
    const FileSet& f = t.files.emplace_back(FileSet{MakeFile(tag + "loader.b", s.loader, seed, s.sparse),
        s.id < 0 ? tag + "id" : MakeFile(tag + "id", s.id, seed + 1), MakeFile(tag + "target.bin", s.program, seed + 2, s.sparse),
        s.program2 < 0 ? "" : MakeFile(tag + "second.bin", s.program2, seed + 3)});
    mark(std::string("{") + static_cast<char>('A' + i) + "}", f.loader + " " + f.id + " " + f.program + " " + f.program2);
  }
  if (!t.files.empty()) {
    for (auto [m, path] : {std::pair("{L}", t.files[0].loader), {"{I}", t.files[0].id}, {"{P}", t.files[0].program}}) {
      mark(m, path);
    }
    t.args = {t.files[0].loader, t.files[0].id, t.files[0].program};
    if (!t.files[0].program2.empty()) t.args.push_back(t.files[0].program2);
  }
  mark("{X}", t.dir.File("none"));
  if (!c.list.empty()) t.args = {WriteFile(t.dir.File("filelist"), list), "dummy", "dummy", "-L"};
  for (const std::string& a : c.args) t.args.push_back(a == "-J" ? "-J" + t.Record() : a);
  t.given = c.devices;
}

void CheckRun(const Case& c, Trial& t);

void RunOnce(const Case& c, Trial& t) {
  t.devices.clear();
  t.devices.resize(c.devices.size());
  for (size_t k = 0; k < c.devices.size(); ++k) {
    if (!c.devices[k].later) Start(static_cast<int>(k))(t);
  }
  if (c.before) c.before(t);
  t.moxtil = StartMoxtil(t.base, t.args, !c.Several(), c.prefix);
  const auto start = std::chrono::steady_clock::now();
  for (const Step& s : c.steps) {
    Await(t, s.on, start);
    if (::testing::Test::HasFatalFailure()) return;
    if (s.act) s.act(t);
  }
  const std::optional<int> status = t.moxtil->WaitExit(Millis(900000));  // CTest's own limit is shorter
  ASSERT_TRUE(status.has_value()) << "moxtil still running";
  t.exit = *status;
  for (size_t k = 0; k < t.devices.size(); ++k) {  // a listener hears datagrams until its time limit
    if (t.devices[k]) t.devices[k]->WaitExit(Millis(Has(t.given[k].options, "--listen-only") ? 200 : 60000));
  }
  t.runsRecorded += Has(c.args, "-J");
  CheckRun(c, t);
  if (c.check) c.check(t);
}

void RunRow(const Case& c) {
  REQUIRE_SIM();
  std::string why;
  if ((c.small || c.Several()) && !UsePrivateNetwork(c.small, &why)) GTEST_SKIP() << why;
  Trial t;
  ASSERT_GT(t.base, 0);
  Prepare(c, t);
  for (int r = 0; r < c.runs && !::testing::Test::HasFailure(); ++r) {
    SCOPED_TRACE("run " + std::to_string(r + 1));
    RunOnce(c, t);
  }
}

// ---- the oracle

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

int64_t SizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}
std::string Sha(const std::string& path, int64_t length = -1) {  // of a regular file only, kept while it is the same
  static std::map<std::string, std::string> known;
  struct stat st {};
  if (SizeOf(path) < 0 || stat(path.c_str(), &st) != 0) return "(not a file)";
  const std::string key = path + ":" + std::to_string(length) + ":" + std::to_string(st.st_mtim.tv_nsec);
  return known.count(key) ? known[key] : known[key] = Sha256Of(path, length);
}
// Whether a stream of an update has what the file has: its bytes, and its digest where the device took one.
bool Same(const Report& u, const std::string& stream, const std::string& path, int64_t length = -1) {
  return Number(u, stream + "_bytes") == (length < 0 ? SizeOf(path) : length) &&
         (Field(u, stream + "_sha256") == "-" || Field(u, stream + "_sha256") == Sha(path, length));
}
const FileSet& SetOf(const Trial& t, const Report& u) {  // a file list's update n is its row n
  return t.files.at(static_cast<size_t>(Number(u, "n") - 1) % t.files.size());
}
int ProgramOf(const FileSet& f, const Report& u) {
  return Same(u, "program", f.program) ? 1 : !f.program2.empty() && Same(u, "program", f.program2) ? 2 : 0;
}
// The program (1 or 2) a device holds whole with the loader, reboot byte and ID code of its file set, neither stream
// reset; 0 none.
int HeldProgram(const Trial& t, const Report& u) {
  const FileSet& f = SetOf(t, u);
  const std::string reboot = Has(t.args, "-R") ? "52" : Has(t.args, "-r") ? "72" : "00";
  const bool whole = Same(u, "loader", f.loader) && Field(u, "reboot") == reboot && Same(u, "id", f.id, 10);
  return whole && Field(u, "loader_end") != "reset" && Field(u, "program_end") != "reset" ? ProgramOf(f, u) : 0;
}
Expect Of(const Expect& all, size_t k) {  // the expectations of device k's
  Expect mine;
  for (const auto& [key, want] : all) {
    const size_t colon = key.find(':');
    if (key.find('.') == std::string::npos && (colon == std::string::npos ? 0 : std::stoul(key)) == k) {
      mine[key.substr(colon + 1)] = want;
    }
  }
  return mine;
}

// The devices' accounts: no stream cut short ended normally, the protocol's waits as their TCP saw them, no announce
// while a target is served alone, every datagram from the announce port (a restart right after an announce); a finish
// line exactly for each device that holds its program, and its transfer summed up.
void CheckDevices(const Case& c, const Trial& t, const std::map<std::string, int>& finishes) {
  std::map<std::string, int> held = finishes;  // by the loader connection's address
  for (auto& [address, n] : held) n = 0;
  int holding = 0;
  for (size_t k = 0; k < t.devices.size(); ++k) {
    const std::vector<Report> updates = t.devices[k] ? SimReports(*t.devices[k], "update") : std::vector<Report>();
    for (size_t i = 0; i < updates.size(); ++i) {
      const Report& u = updates[i];
      SCOPED_TRACE("device " + std::to_string(k) + " update " + Field(u, "n") + ": " + Field(u, "result"));
      const int program = HeldProgram(t, u);
      EXPECT_TRUE(k > 0 || i >= c.served.size() || program == c.served[i]) << "holds program " << program;
      EXPECT_FALSE(!Same(u, "loader", SetOf(t, u).loader) && Field(u, "loader_end") == "eof") << "a cut loader ended normally";
      EXPECT_FALSE(ProgramOf(SetOf(t, u), u) == 0 && Field(u, "program_end") == "eof") << "a cut program ended normally";
      EXPECT_TRUE(Number(u, "program_bytes") == 0 || Number(u, "id_to_program_ms") >= 950) << "1 s after the ID code";
      EXPECT_TRUE(program == 0 || Field(u, "program_end") != "eof" || Number(u, "end_wait_ms") >= 4900)
          << "5 s before the close: " << Field(u, "end_wait_ms");
      EXPECT_TRUE(c.Several() || Field(u, "announces_while_served") == "0") << "announced while it was served";
      holding += program > 0;
      const std::string from = u.count("data_from") ? Field(u, "data_from") : Field(u, u.count("loader_from") ? "loader_from" : "target");
      held[c.Several() ? from : ""] += program > 0;
    }
    const std::vector<Report> heard = t.devices[k] ? SimReports(*t.devices[k], "datagram") : std::vector<Report>();
    std::map<std::string, int> kinds = {{"heard all", static_cast<int>(heard.size())}};
    for (const Report& d : heard) ++kinds["heard " + Field(d, "kind")];
    for (size_t i = 0; i < heard.size(); ++i) {
      EXPECT_EQ(Field(heard[i], "from") + " " + Field(heard[i], "bytes"), "127.0.0.1:" + std::to_string(t.base + 10) + " 16");
      EXPECT_TRUE(kinds["heard announce"] == 0 || Field(heard[i], "kind") == "announce" ||
                  (i > 0 && Field(heard[i - 1], "kind") == "announce")) << "datagram " << i;
    }
    for (const auto& [field, want] : Of(c.expect, k)) {
      const std::string got = kinds.count(field) ? std::to_string(kinds[field]) : updates.empty() ? "" : Field(updates[0], field);
      EXPECT_TRUE(Holds(got, want)) << "device " << k << ": " << field << " is " << got;
    }
  }
  for (const auto& [address, n] : held) {
    EXPECT_TRUE(!c.list.empty() || (finishes.count(address) ? finishes.at(address) : 0) == n)
        << "finish lines for " << address << " against the devices that hold their program: " << n;
  }
  EXPECT_EQ(Matching(LogLines(*t.moxtil), "program to [0-9.]+:\\d+: \\d+ bytes in (\\d+ ms|\\d+\\.\\d\\d s)"), holding)
      << "transfers summed up";
}

std::string Told(int64_t ms) {  // a time as the summary tells it
  char text[32];
  snprintf(text, sizeof text, ms < 1000 ? "%.0f ms" : "%.2f s", static_cast<double>(ms) / (ms < 1000 ? 1 : 1000.0));
  return text;
}
std::string OnlyLine(const Strings& log, const std::string& prefix) {  // without its prefix
  const auto begins = [&prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; };
  EXPECT_EQ(std::count_if(log.begin(), log.end(), begins), 1) << "lines beginning " << prefix;
  const auto at = std::find_if(log.begin(), log.end(), begins);
  return at == log.end() ? "" : at->substr(prefix.size());
}

// The run's figures as the tagged lines give them: failures by line, devices (by address on loopback) by how they
// came through, the times of the finished programs.
struct Tally {
  std::map<std::string, int> failures;
  int targets = 0, finished = 0, first = 0, retry = 0, never = 0;
  std::vector<int64_t> ms;
  std::string Devices() const {
    return std::to_string(first + retry + never) + " (" + std::to_string(first) + " first try, " +
           std::to_string(retry) + " after a retry, " + std::to_string(never) + " never finished)";
  }
};
Tally TallyOf(const Strings& log, const std::map<std::string, Strings>& status) {
  Tally y;
  for (const auto& [tag, lines] : status) {
    int ends = 0, finishedAt = 0;
    for (const std::string& line : lines) {
      y.targets += line == kConnect;
      if (Failure(line)) ++y.failures[line.substr(0, line.find_last_not_of(' ') + 1)];
      ends += line == kFinish || Failure(line);
      if (line == kFinish && finishedAt == 0) finishedAt = ends;
      y.finished += line == kFinish;
    }
    EXPECT_EQ(ends, static_cast<int>(std::count(lines.begin(), lines.end(), kConnect))) << tag << ": a target never ended";
    (finishedAt == 1 ? y.first : finishedAt > 1 ? y.retry : y.never) += 1;
  }
  const std::regex figures("^summary: 127\\.[^:]*: program [^,]*, \\d+ bytes in (\\d+)(\\.\\d\\d s| ms).*: 100 % finish$");
  std::smatch m;
  for (const std::string& line : log) {
    if (!std::regex_search(line, m, figures)) continue;
    const bool inMs = m[2] == " ms";
    y.ms.push_back(std::stoll(m[1]) * (inMs ? 1 : 1000) + (inMs ? 0 : std::stoll(m[2].str().substr(1, 2)) * 10));
  }
  std::sort(y.ms.begin(), y.ms.end());
  return y;
}
std::string Times(const std::vector<int64_t>& ms) {
  return ms.empty() ? "none finished"
                    : "fastest " + Told(ms.front()) + ", median " + Told(ms[(ms.size() - 1) / 2]) + ", slowest " + Told(ms.back());
}

// With -M: a summary line for each target, its counts and tally true of the lines, and every data connection a device
// had refused explained.
void CheckSeveral(const Trial& t, const Strings& log, const Tally& y) {
  EXPECT_EQ(Matching(log, "^summary: 127\\."), std::min(y.targets, 1000)) << "a summary line per target";
  EXPECT_EQ(Matching(log, "^" + std::to_string(y.targets) + " targets?: " + std::to_string(y.finished) + " finished, " +
                              std::to_string(y.targets - y.finished) + " failed$"), 1);
  std::map<std::string, int> told;
  int last = INT32_MAX;
  const std::string failures = OnlyLine(log, "failures: ");
  const std::regex entry("(\\d+) x (.*?)(, (?=\\d+ x )|$)");
  for (auto it = std::sregex_iterator(failures.begin(), failures.end(), entry); it != std::sregex_iterator(); ++it) {
    EXPECT_LE(std::stoi((*it)[1]), last) << "not most frequent first: " << failures;
    told[(*it)[2]] = last = std::stoi((*it)[1]);
  }
  EXPECT_EQ(told, y.failures) << "the summary's failures against the -1 lines: " << failures;
  EXPECT_EQ(OnlyLine(log, "devices: "), y.Devices());
  const std::string times = OnlyLine(log, "programs finished in: ");
  EXPECT_TRUE(y.targets > 1000 || times == Times(y.ms)) << times;  // the summary lists the first 1000 targets only
  std::map<std::string, int> refused;  // by the data connection's address
  for (const auto& device : t.devices) {
    for (const Report& u : device ? SimReports(*device, "update") : std::vector<Report>()) {
      refused[u.count("data_from") ? Field(u, "data_from") : Field(u, "target")] +=
          Field(u, "id_bytes") == "0" && Field(u, "program_end") == "reset";
    }
  }
  for (const auto& [address, n] : refused) {
    EXPECT_EQ(Matching(log, "^(127[0-9.]+ )?data connection from " + Escaped(address) + ":\\d+ reset: "), n)
        << "data connections of " << address << " reset before the ID code, explained";
  }
}

std::vector<Json> RecordLines(const Trial& t) {
  std::ifstream in(t.Record(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the record ends inside a line";
  std::vector<Json> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) lines.push_back(Json::parse(line, nullptr, false));
  EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const Json& j) { return j.is_discarded(); })) << text;
  return lines;
}
std::vector<Json> OfType(const std::vector<Json>& lines, const std::string& type) {
  std::vector<Json> out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [&](const Json& j) { return j["type"] == type; });
  return out;
}
int64_t WallMs(const std::string& rfc3339) {  // "2026-12-08T10:15:02.123Z"
  std::tm utc{};
  std::istringstream(rfc3339) >> std::get_time(&utc, "%Y-%m-%dT%H:%M:%S");
  return int64_t{timegm(&utc)} * 1000 + std::stoll(rfc3339.substr(20, 3));
}
std::string Text(const Json& j) { return j.is_string() ? j.get<std::string>() : j.dump(); }

// The record claims no more than the lines and the devices: every line typed, dated and of a run of this station;
// each target of the last run finished exactly where its finish line was, with the files' digests; a failure with its
// status line and explanation as the log has them and no digest of a part; another address's data connection only
// paired by order, said so, and of no address served; run_end's counts and tally those of the lines.
void CheckRecord(const Case& c, const Trial& t, const Strings& log, const std::map<std::string, Strings>& status,
                 const Tally& y) {
  const std::vector<Json> all = RecordLines(t);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  std::set<std::string> runs;
  for (const Json& b : OfType(all, "run_begin")) {
    EXPECT_EQ(b["station"], host);
    runs.insert(b["run"].get<std::string>());
  }
  for (const Json& j : all) {
    EXPECT_EQ(j.value("v", 0), kRecordVersion);
    EXPECT_TRUE(std::regex_match(j.value("ts", ""), std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$")));
    EXPECT_TRUE(!c.wholeRecord || runs.count(j.value("run", ""))) << "a line of no run begun: " << j.dump();
  }
  if (!c.wholeRecord) return;
  ASSERT_EQ(runs.size(), static_cast<size_t>(t.runsRecorded)) << "runs, each with an identifier of its own";
  ASSERT_EQ(OfType(all, "run_end").size(), runs.size());
  std::vector<Json> lines;  // the last run's
  const Json run = OfType(all, "run_end").back()["run"];
  std::copy_if(all.begin(), all.end(), std::back_inserter(lines), [&](const Json& j) { return j["run"] == run; });
  for (const auto& [key, want] : c.expect) {
    const std::vector<Json> of = OfType(lines, key.substr(0, key.find('.')));
    EXPECT_TRUE(key.find('.') == std::string::npos ||
                (!of.empty() && Holds(Text(of.back()[key.substr(key.find('.') + 1)]), want))) << key;
  }
  std::map<std::string, int64_t> acknowledged;
  std::map<std::string, int> finished, failed;
  std::set<std::string> served;
  for (const Json& b : OfType(lines, "target_begin")) served.insert(b["target"].get<std::string>());
  for (const Json& e : OfType(lines, "target_end")) {
    SCOPED_TRACE(e.dump());
    const std::string target = e["target"], tag = c.Several() ? target : "", data = Text(e["data_address"]);
    if (e["bytes_acknowledged"].is_number()) acknowledged[target] = e["bytes_acknowledged"];
    EXPECT_TRUE(e["mac"].is_null()) << "loopback has no hardware address";
    ++(e["result"] == "finished" ? finished : failed)[tag];
    if (e["result"] == "finished") {
      EXPECT_EQ(e["program_sha256"], Sha(e["program"]));
      EXPECT_TRUE(!c.list.empty() || e["loader_sha256"] == Sha(t.files[0].loader));
      EXPECT_TRUE(e["bytes_acknowledged"] == e["bytes_due"] && e["bytes_due"] == SizeOf(e["program"]));
      EXPECT_TRUE(e["explanation"].is_null());
    } else {
      EXPECT_TRUE(e["program_sha256"].is_null()) << "a digest of part of a program";
      EXPECT_TRUE(Failure(Text(e["status_line"])));
      EXPECT_TRUE(Has(log, (c.Several() ? target + " " : "") + Text(e["explanation"]))) << "an explanation not logged";
      EXPECT_FALSE(e["bytes_acknowledged"].is_number() && e["bytes_acknowledged"] >= e["bytes_due"]);
    }
    EXPECT_TRUE(e["paired_by"] != "address" || data == target);
    if (data != target && data != "null" && c.Several()) {
      EXPECT_TRUE(e["paired_by"] == "order" && served.count(data) == 0);
      EXPECT_GE(Matching(log, "^" + Escaped(target) + " data connection from " + Escaped(data) +
                                  ":\\d+, not from the loader connection's address " + Escaped(target) +
                                  ": paired by order only"), 1) << "paired by order without saying so";
    }
  }
  for (const Json& p : OfType(lines, "progress")) {  // not even after a failure, its connection gone
    EXPECT_LE(p["bytes_acknowledged"], acknowledged.count(p["target"]) ? acknowledged[p["target"]] : INT64_MAX);
  }
  EXPECT_EQ(OfType(lines, "target_begin").size(), OfType(lines, "target_end").size()) << "a target never ended";
  for (const auto& [tag, got] : status) {
    EXPECT_TRUE(!c.list.empty() || std::count(got.begin(), got.end(), kFinish) == finished[tag]) << tag << " finished";
    EXPECT_TRUE(!c.Several() || std::count_if(got.begin(), got.end(), Failure) == failed[tag]) << tag << " failed";
  }
  const Json end = OfType(lines, "run_end").at(0);
  EXPECT_EQ(end["exit"], t.exit);
  EXPECT_EQ(end["targets"], OfType(lines, "target_end").size());
  EXPECT_EQ(end["finished"].get<int>() + end["failed"].get<int>(), end["targets"].get<int>());
  if (!c.Several()) return;
  EXPECT_EQ(end["failures"], Json(y.failures));
  EXPECT_EQ(std::to_string(end["devices"]["seen"].get<int>()) + " (" + Text(end["devices"]["first_try"]) +
                " first try, " + Text(end["devices"]["after_retry"]) + " after a retry, " +
                Text(end["devices"]["never_finished"]) + " never finished)", y.Devices());
  const Json& ms = end["program_ms"];
  EXPECT_EQ(y.ms.empty() ? "none finished" : Times({ms["fastest"], ms["median"], ms["slowest"]}), Times(y.ms));
}

// Every run: only log lines, the banner first; each target's status lines as the row says, each "-1 " line after its
// explanation; the exit value; then what the devices say, the summary and the record.
void CheckRun(const Case& c, Trial& t) {
  for (const std::string& line : t.moxtil->Stdout()) ASSERT_EQ(line.rfind("D/moxtil: ", 0), 0u) << line;
  const Strings log = LogLines(*t.moxtil);
  EXPECT_TRUE(t.files.empty() || (!log.empty() && log[0] == kBanner)) << "the banner first";
  const bool several = c.Several();
  std::map<std::string, Strings> status;
  std::map<std::string, std::string> before;  // each target's line before this one
  for (const std::string& line : log) {
    const size_t blank = line.find(' ');  // with -M a target's lines begin with its address
    const bool tagged = several && line.rfind("127.", 0) == 0 && blank != std::string::npos;
    const std::string tag = tagged ? line.substr(0, blank) : "", text = tagged ? line.substr(blank + 1) : line;
    if (IsStatusLine(text)) {
      EXPECT_FALSE(several && !tagged) << "untagged: " << line;
      EXPECT_FALSE(Failure(text) && (before[tag].empty() || IsStatusLine(before[tag]))) << "unexplained: " << line;
      status[tag].push_back(text);
    }
    before[tag] = text;
  }
  EXPECT_TRUE(several || StatusMatches(status[""], c.status)) << ::testing::PrintToString(status[""]);
  std::map<std::string, int> finishes;
  for (const auto& [tag, got] : status) {
    const Strings& want = c.each.count(tag) ? c.each.at(tag) : c.status;
    EXPECT_TRUE(!several || want.empty() || StatusMatches(got, want)) << tag << ": " << ::testing::PrintToString(got);
    finishes[tag] = static_cast<int>(std::count(got.begin(), got.end(), kFinish));
  }
  if (several && t.runsRecorded > 0) {  // by the device whose data connection the transfer took (paired by order too)
    finishes.clear();
    for (const Json& e : OfType(RecordLines(t), "target_end")) finishes[Text(e["data_address"])] += e["result"] == "finished";
  }
  const auto last = c.why.empty() ? log.rend() : std::find(log.rbegin(), log.rend(), c.status.back());
  EXPECT_TRUE(c.why.empty() || (last != log.rend() && last + 1 != log.rend() && std::regex_search(*(last + 1), std::regex(c.why))))
      << "not explained by " << c.why;
  const Tally y = several ? TallyOf(log, status) : Tally();
  EXPECT_EQ(t.exit, c.exit != kDerived ? c.exit : y.targets > 0 && y.finished == y.targets ? 0 : 1) << "exit value";
  for (const auto& [pattern, n] : c.lines) EXPECT_TRUE(Holds(std::to_string(Matching(log, pattern)), n)) << pattern;
  CheckDevices(c, t, finishes);
  if (several) CheckSeveral(t, log, y);
  if (t.runsRecorded > 0) CheckRecord(c, t, log, status, y);
  for (const std::string& line : log) {  // a crowd's figures, for bench/crowd.sh
    if (c.exit == kDerived && std::regex_search(line, std::regex("^(\\d+ targets?|failures|devices): "))) {
      std::cout << "crowd: " << c.name << ": " << line << std::endl;
    }
  }
}

// ---- the rows

const Strings kServed = {kConnect, kErasing, "*", kFinish}, kCutShort = {kConnect, kErasing, "*", kProgramError};
const Strings kStall = {"--stall-seconds", "8"};  // longer than any limit here
const Sizes kTwo = {1000, 10, 3000, 5000};
const char kMyAddress[] = ">>my IPaddress=127.0.0.1";
// A stream given up on is reset, and said so; one the target reset or closed itself is not.
const std::string kAt = "^(loader|reboot byte|program) to 127\\.0\\.0\\.2:\\d+: .*: ";
const std::string kResetNote = "; the connection was reset, so that the target cannot take the part it got for the whole$";
const std::string kTimedOut = kAt + "nothing moved within the time limit" + kResetNote;
const std::string kReset = kAt + "(Connection reset by peer|Broken pipe)$";
const std::string kNoTarget = "^no target connected to the loader port \\d+ within ";
const std::string kResetAfterTheLoader = "^loader to 127\\.0\\.0\\.2:\\d+: the target reset the connection after "
    "acknowledging the loader and the reboot byte \\(65536 bytes and 1\\), before the close was over \\(Connection reset "
    "by peer\\); its data connection tells whether it took them$";

void Unlink(const std::string& f) { ASSERT_EQ(unlink(f.c_str()), 0); }
void DevZero(const std::string& f) { ASSERT_TRUE(unlink(f.c_str()) == 0 && symlink("/dev/zero", f.c_str()) == 0); }
Device At(const std::string& address, Strings options, bool later = false) {  // connecting at once
  return {Plus({"--address", address, "--host", "127.0.0.1", "--time-limit", "30", "--connect-retry", "30"}, options), later};
}
const Event kEveryDeviceDone = {kAllDone, "", 1, 0};
void StopIfRunning(Trial& t) {
  if (t.moxtil->Running()) t.moxtil->Signal(SIGINT);
}

// The same update again without -J: the same log, line for line (times, ports, paths, rates masked).
void SameLogWithoutTheRecord(Trial& t) {
  const auto masked = [](const Strings& log) {
    const std::regex rate(" \\([0-9.]+ MiB/s\\)"), changing("[0-9]+(\\.[0-9]+)? ?(ms|s)\\b|:[0-9]+|/tmp/[^ ]*");
    Strings out;
    for (const std::string& line : log) out.push_back(std::regex_replace(std::regex_replace(line, rate, ""), changing, "#"));
    return out;
  };
  Strings args;
  std::copy_if(t.args.begin(), t.args.end(), std::back_inserter(args), [](auto& a) { return a.rfind("-J", 0) != 0; });
  const auto sim = StartSim(t.base, {});
  const auto plain = StartMoxtil(t.base, args);
  ExpectExit(*plain, 0, Millis(60000));
  EXPECT_EQ(masked(LogLines(*plain)), masked(LogLines(*t.moxtil)));
}

// Once all ten slots are busy no announce goes out until one frees (the devices' stamps against the record's, one
// wall clock), and the eleventh is taken only after that.
void AnEleventhWaits(Trial& t) {
  std::vector<Json> ends = OfType(RecordLines(t), "target_end");
  ASSERT_EQ(ends.size(), 11u);
  std::sort(ends.begin(), ends.end(), [](const Json& a, const Json& b) { return a["started"] < b["started"]; });
  std::string freed = ends[0]["ended"];
  for (const Json& e : ends) freed = std::min(freed, e["ended"].get<std::string>());
  EXPECT_GE(ends[10]["started"].get<std::string>(), freed) << "the eleventh was taken before a slot was free";
  for (const Report& d : SimReports(*t.devices[0], "datagram")) {
    EXPECT_FALSE(WallMs(Field(d, "at")) > WallMs(ends[9]["started"]) + 100 && Field(d, "at") < freed)
        << "announced at " << Field(d, "at") << " while all ten slots were busy";
  }
}

std::vector<Case> Rows() {
  return {
    // A line after the 1st, 11th ... piece of 1024 bytes and the last (and after the empty read at the end of a
    // multiple of 1024); under 100 bytes count against 100; the ID code's first 10 bytes; ports wrap.
    Case{"NoRebootByteManyPieces"}.Files({{2500, 12, 600000}}).Finishes({"*"}).Lines({{"^\\d{3} %$", "60"}}),
    Case{"FullReboot"}.Small().Files({{2500, 10, 10240}}).Args({"-T20", "-R"}).Finishes({"010 %", "099 %", "099 %"}),
    Case{"SemiRebootEmptyLoaderAndThePortBaseWrapped"}.Files({{0, 10, 50}}).Args({"-T20", "-r", "-B+65536"})
        .Finishes({"050 %"}),
    // Into a pipe a run's lines go out once it is sent: as the program goes, not held to its end.
    Case{"ProgressLinesComeAsTheProgramGoes"}.Small().Files({{1000, 10, 4 << 20}})
        .Sim({"--stall-program-after", "3145728", "--stall-seconds", "4", "--read-after-stall"}).Finishes({"*"})
        .On(By(0, "resumed"), Seen("050 %")),
    // -N: a pause around every piece (0.8 s for 5); the digest of a program passed in pieces, after a long loader.
    Case{"PacedProgramAfterALongLoader"}.Files({{262145, 10, 5000}}).Args({"-T20", "-N100", "-r", "-J"})
        .Finishes({"020 %", "099 %"}).Expects({{"stream_seconds", ">=0.75"}}),
    // The next run binds the same ports at once; the record appends; the log is the same without it.
    Case{"RecordAppendsOnTheSamePorts"}.Files({{2500, 12, 524289}}).Args({"-T20", "-J"}).Runs(2).Finishes({"*"})
        .Lines({{"bind failed", "0"}}).Check([](Trial& t) { if (t.runsRecorded == 2) SameLogWithoutTheRecord(t); }),
    // Only a whole "P1" in the one receive 1 s after the ID code picks the second program, not its "P" alone.
    Case{"ReplyP1PicksTheSecondProgram"}.Files({kTwo}).Sim({"--reply", "P1"}).Finishes({"020 %", "099 %"}, 2),
    Case{"ReplySplitOverTwoReceives"}.Files({kTwo}).Sim({"--reply", "P1", "--reply-split", "--reply-rest-with-program"})
        .Finishes({"034 %", "099 %"}),
    // A loader connection from another address than -D is reset unserved; one that keeps connecting does not start
    // the limit again.
    Case{"UnicastDropsAForeignTarget"}.Files({{3000, 10, 50}}).Later().Also(At("127.0.0.3", {"--no-data-connect"}))
        .On(Said("loader connection from 127.0.0.3"), Start(0)).Finishes({"050 %"})
        .Expects({{"1:loader_bytes", "0"}, {"1:result", "host-reset-loader"}})
        .Lines({{"^loader connection from 127\\.0\\.0\\.3:\\d+ dropped: only 127\\.0\\.0\\.2 is served \\(-D\\)$", "1"}}),
    Case{"AForeignHostDoesNotRestartTheLimit"}.Args({"-T4"}).NoTarget().Status({kTimeOut}).Why(kNoTarget + "4 s$")
        .Also(At("127.0.0.3", {"--no-data-connect", "--updates", "20", "--loader-connect-delay", "500", "--connect-retry", "0"},
                 true)).On(By(0, "datagram kind=announce"), Start(1))  // once the ports listen: no refused connect first
        .Expects({{"1:result", "host-reset-loader"}}).Lines({{"^loader connection from 127\\.0\\.0\\.3:", "<20"}}),
    // Success only for what the target's TCP acknowledged, no wait beyond -T; once all is, a device may end as it
    // likes (its buffers take the 4 KiB it leaves unread), and only its return tells whether it took it.
    Case{"LoaderStallsWithinTheBuffers"}.Small().Files({{40000, 10, 100}}).Args({"-T2", "-R"})
        .Sim(Plus({"--stall-loader-after", "16384", "--read-after-stall"}, kStall)).FailsInLoader(kTimedOut)
        .Expects({{"result", "stalled-loader"}, {"loader_end", "reset"}}),
    Case{"LoaderStallsBeyondTheBuffers"}.Small().Files({{kHuge, 10, 100, -1, true}}).Args({"-T2", "-R"})
        .Sim(Plus({"--stall-loader-after", "100000", "--read-after-stall"}, kStall)).FailsInLoader(kTimedOut)
        .Expects({{"result", "stalled-loader"}, {"reboot", "none"}, {"loader_end", "reset"}}),
    Case{"LoaderResetAtItsEnd"}.Small().Files({{64 << 10, 10, 3000}}).Args({"-T5", "-R"}).Sim({"--reset-loader-at-end"})
        .Finishes({"034 %", "099 %"}).Lines({{kResetAfterTheLoader, "1"}}),
    Case{"LoaderResetOnceAcknowledgedThenNoReturn"}.Small().Files({{64 << 10, 10, 100}}).Args({"-T2", "-R"})
        .Sim({"--reset-loader-after", "61440", "--reset-after-host-end"}).Status({kConnect, kIdError})
        .Why("^ID code: no data connection on port \\d+ within 2 s; the loader connection had ended with a reset$")
        .Expects({{"result", "reset-loader"}}).Lines({{kResetAfterTheLoader, "1"}}),
    Case{"LoaderCutByTheDevice"}.Small().Files({{kBeyond, 10, 100}}).Args({"-R"}).Sim({"--kill-loader-after", "32768"})
        .FailsInLoader(kReset).Expects({{"result", "killed-loader"}}),
    Case{"ProgramStallsWithinTheBuffers"}.Small().Files({{1000, 10, kFits}}).Args({"-T2"})
        .Sim(Plus({"--stall-program-after", "16384", "--read-after-stall"}, kStall)).FailsInProgram(kTimedOut)
        .Expects({{"result", "stalled-program"}, {"program_end", "reset"}}),
    Case{"ProgramStallsBeyondTheBuffers"}.Small().Files({{1000, 10, kHuge, -1, true}}).Args({"-T3", "-J"})
        .Sim(Plus({"--stall-program-after", "100000", "--count-only", "--read-after-stall"}, kStall))
        .FailsInProgram(kTimedOut).Expects({{"result", "stalled-program"}, {"program_end", "reset"},
            {"target_end.status_line", kProgramError}, {"target_end.bytes_acknowledged", ">=100000"}}),
    Case{"ProgramPausesWithinTheLimit"}.Small().Files({{1000, 10, kBeyond}}).Args({"-T6"})
        .Sim({"--stall-program-after", "100000", "--stall-seconds", "3", "--read-after-stall"}).Finishes({"*"}),
    // Killed, moxtil closes nothing: the kernel's close resets.
    Case{"ProgramKilledWhileSent"}.Small().Files({{1000, 10, kBeyond}}).Args({}).Exit(128 + SIGKILL)
        .Sim({"--stall-program-after", "100000", "--stall-seconds", "4", "--read-after-stall"})
        .On(By(0, "stalled"), Signal(SIGKILL)).Status({kConnect, kErasing, "*"}).Expects({{"program_end", "reset"}}),
    Case{"ProgramResetWithinTheBuffers"}.Small().Files({{1000, 10, kFits}}).Args({})
        .Sim({"--reset-program-after", "16384"}).FailsInProgram(kReset).Expects({{"result", "reset-program"}}),
    Case{"ProgramResetBeyondTheBuffers"}.Small().Files({{1000, 10, kBeyond}}).Args({"-T2"})
        .Sim({"--reset-program-after", "102400"}).FailsInProgram(kReset).Expects({{"result", "reset-program"}}),
    // A reset in the 5 s wait before the close is told after the finish line, which stands.
    Case{"ProgramResetInTheWaitBeforeTheClose"}.Small().Files({{1000, 10, kFits}}).Args({"-T2"})
        .Sim({"--reset-program-after", std::to_string(kFits), "--reset-on-release"}).On(Said(kFinish), Release(0))
        .Finishes({"*"}).Lines({{"^program to 127\\.0\\.0\\.2:\\d+: the target reset the connection after acknowledging "
                                 "all 49152 bytes, before the close: it may not have stored the program", "1"}}),
    // Bytes the protocol never reads: the streams still end normally.
    Case{"StrayBytesOnTheLoaderConnection"}.Small().Files({{8 << 20, 10, 1000}}).Args({"-T5", "-R"})
        .Sim({"--stray-loader", "100"}).Finishes({"*"}),
    Case{"FloodOnTheDataConnection"}.Small().Files({{1000, 10, 4 << 20}}).Args({"-T5"})
        .Sim({"--flood-data", "--reply", "P1"}).Finishes({"*"}),
    Case{"IdCodeMissing"}.Files({{2000, -1, 3000}}).Args({"-T10", "-R"}).Status({kConnect, "-1 file not found"})
        .Why("^ID code .*id: cannot open: No such file or directory$").Expects({{"loader_bytes", "2000"}}),
    Case{"IdCodeShort"}.Files({{2000, 9, 3000}}).Args({"-T10"}).Status({kConnect, "-1 file read error"})
        .Why("^ID code .*id: only 9 of the 10 bytes$").Expects({{"id_bytes", "0"}}),
    Case{"IdCodeEmpty"}.Files({{2000, 0, 3000}}).Args({"-T10"}).Status({kConnect, "-1 file  no id"})
        .Why("^ID code .*id: the file is empty$"),
    // Files changed under a run: gone, no regular file any more, cut to 1 MiB while the kernel sends it, written over.
    Case{"LoaderGoneBeforeTheTargetCame"}.Args({"-T10"}).Later().On(Said(kMyAddress), OnFile(&FileSet::loader, Unlink))
        .On(Said(kMyAddress), Start(0)).Status({kConnect, "-1 loader file not found"})
        .Why("^loader .*loader\\.b: cannot open: No such file or directory" + kResetNote)
        .Expects({{"loader_bytes", "0"}, {"result", "host-reset-loader"}}),
    Case{"ProgramBecameEndless"}.Args({"-T10"}).Later().On(Said(kMyAddress), OnFile(&FileSet::program, DevZero))
        .On(Said(kMyAddress), Start(0)).Status({kConnect, kErasing, kTargetNotFound})
        .Why("^program .*target\\.bin: cannot open: not a regular file" + kResetNote)
        .Expects({{"id_bytes", "10"}, {"program_bytes", "0"}, {"program_end", "reset"}}),
    Case{"ProgramCutShortWhileSent"}.Files({{1000, 10, 16 << 20}}).Args({"-T10", "-J"})
        .Sim({"--read-size", "4096", "--read-delay", "1", "--count-only"})
        .On(Said("001 %"), OnFile(&FileSet::program, [](auto& f) { ASSERT_EQ(truncate(f.c_str(), 1 << 20), 0); }))
        .Status({kConnect, kErasing, "*", kTargetNotFound}).Expects({{"program_end", "reset"}})
        .Why("^program .*: ran out after \\d+ of 16777216 bytes \\(the file shrank while it was sent\\)" + kResetNote),
    Case{"ProgramWrittenOverInPlace"}.Files({{1000, 10, 16 << 20}}).Args({"-T10", "-J"})
        .Sim({"--read-size", "4096", "--read-delay", "1", "--count-only"})
        .On(Said("001 %"), OnFile(&FileSet::program, [](auto& f) {  // as dd conv=notrunc: same file, same length
          const int fd = open(f.c_str(), O_WRONLY);
          ASSERT_EQ(pwrite(fd, std::string(4096, 'x').data(), 4096, 8 << 20), 4096);
          close(fd);
        })).Status({kConnect, kErasing, "*", kTargetNotFound})
        .Expects({{"program_end", "reset"}, {"target_end.changed_while_sent", "program"}})
        .Why("^program .*: changed while it was sent \\(written to or replaced since it was opened\\)"),
    // File lists: row k of n covers k/n to (k+1)/n; a restart datagram a cycle; "P1" picks row 2's second program. A
    // row that cannot be loaded ends the run, after the rows before it.
    Case{"ListProgressAndARestartPerCycle"}.Files({{2000, 10, 10000}, {2000, 10, 10000, 5000}, {2000, 10, 10000}})
        .Args({"-I127.0.0.3", "-T20", "-J"}).Sim({"--updates", "3", "--loader-connect-delay", "300", "--reply", "P1"})
        .Also({{"--listen-only", "--address=127.0.0.3"}}).List("{A}\n{B}\n{C}\n")
        .Status({kConnect, "003 %", "033 %", "040 %", "067 %", "070 %", "099 %", kFinish}, {1, 2, 1})
        .Expects({{"1:heard restart", "3"}, {"run_begin.mode", "file_list"}, {"row_begin.row", "3"}, {"run_end.ended_by", "done"}}),
    Case{"ListRowWithAMissingFileEndsTheRun"}.Files({{500, 10, 50}}).Exit(255).List("{A}\n{L} {X} {P}\n")
        .Status({kConnect, "025 %", kNotFound, kUnreadable}, {1})
        .Why("^file list .*: row 2 cannot be loaded: .*/none is missing or not a regular file$"),
    Case{"ListRefusedBeforeAnyCycle"}.List("{X} {I} {P}\n").NoTarget().Exit(255).Status({kNotFound, kUnreadable})
        .Why("^file list .*filelist: row 1 cannot be loaded: .*none is missing").Expects({{"heard all", "0"}}),
    Case{"ListMissing"}.List("{A}\n").Before([](Trial& t) { Unlink(t.dir.File("filelist")); }).NoTarget().Exit(255)
        .Lines({{"^loader filelist not found!$", "1"}}),
    Case{"TimeOutInAFileListsFirstRow"}.Args({"-T1"}).List("{A}\n{A}\n").NoTarget().Status({kTimeOut}).Why(kNoTarget + "1 s$"),
    // -T counts from when a target can be invited, not through the bind retries of a busy port.
    Case{"TheLimitStartsOnceThePortsListen"}.Files({{1000, 10, 50}}).Args({"-T3"}).Finishes({"050 %"})
        .Before(Hold(SOCK_STREAM, "0.0.0.0", 11)).On(Said("data port", 2), FreePort())
        .Lines({{"^data port \\d+: bind failed: Address (already )?in use \\(attempt [12] of 16, next in 5 s\\)$", "2"}}),
    Case{"AnnouncePortTaken"}.Args({"-T5", "-b"}).Before(Hold(SOCK_DGRAM, "127.0.0.1", 10)).NoTarget()
        .Status({"-1 failed to open the UDP endpoint"}).Why("Address (already )?in use.*the update ends$")
        .Expects({{"heard all", "0"}})
        .Lines({{"^announce port \\d+ on 127\\.0\\.0\\.1: cannot open the UDP endpoint: bind: Address (already )?in use", "1"},
                {"^announce port \\d+: the program that holds it does not share it, even with -b$", "1"}}),
    // The record: a program replaced after the run read it is hashed as sent (two writers: Record_test).
    Case{"RecordOfAProgramReplacedAfterTheStart"}.Files({{1000, 10, 100000}}).Args({"-T20", "-J"}).Finishes({"*"})
        .Sim({"--hold-data"}).On(By(0, "holding"), [](Trial& t) {
          MakeFile(t.files[0].program + ".new", 100000, 99);  // whole, then in its place: never read half-written
          ASSERT_EQ(rename((t.files[0].program + ".new").c_str(), t.files[0].program.c_str()), 0);
          Release(0)(t);
        }).Check([](Trial& t) {
          EXPECT_NE(OfType(RecordLines(t), "run_begin").at(0)["files"]["program_0"]["sha256"], Sha(t.files[0].program));
        }),
    // A record that cannot be opened or written, or a file size limit inside a line.
    Case{"RecordCannotBeOpened"}.Args({"-T3", "-J/nonexistent-moxtil-folder/r.jsonl"}).NoTarget().Exit(255)
        .Expects({{"heard all", "0"}}).Lines({{"^record /nonexistent-moxtil-folder/r\\.jsonl: cannot open it for "
                                               "appending: No such file or directory$", "1"}}),
    Case{"RecordOnAFullDisk"}.Files({{2500, 12, 30000}}).Args({"-T20", "-J/dev/full"}).Finishes({"*"})
        .Lines({{"^record: a run_begin line is left out \\(No space left on device\\); the updates go on", "1"},
                {"^record: [0-9]+ lines in all are left out of it$", "1"}}),
    Case{"RecordAtTheFileSizeLimit"}.Args({"-T20", "-J"}).PartRecord().Prefix({"prlimit", "--fsize=2600"}).Finishes({"*"})
        .Before([](Trial& t) {
          WriteFile(t.Record(), "{\"v\":" + std::to_string(kRecordVersion) + ",\"ts\":\"2026-12-08T10:00:00.000Z\","
                                "\"type\":\"note\",\"text\":\"" + std::string(1900, 'x') + "\"}\n");
        }).Lines({{"^record: a run_begin line is left out \\(written in part and taken back: the file could take no "
                   "more\\); the updates go on, the record is incomplete$", "1"}})
        .Check([](Trial& t) { EXPECT_LE(SizeOf(t.Record()), 2600); }),
    // Announces and one restart; the time-out told once, whichever of two threads wins the flags.
    Case{"AnnouncesAndOneRestart"}.Args({"-I127.0.0.2", "-T3"}).NoTarget().Status({kTimeOut}).Why(kNoTarget + "3 s$")
        .Expects({{"heard restart", "1"}, {"heard announce", ">=5"}, {"heard all", "<40"}})
        .Lines({{"^reuse addr$", "0"}, {"^Update Request has been canceled \\(_timeout\\)\\.$", "1"}, {"^>>my IPaddress", "1"}}),
    Case{"TimeOutEveryTime"}.Args({"-T1"}).NoTarget().Runs(10).Status({kTimeOut}).Why(kNoTarget + "1 s$")
        .Lines({{"canceled \\(_timeout\\)", "1"}}),
    // The command line (every bad value has its row in Options_test; the exit 255 the list rows).
    Case{"Version"}.Files({}).Devices({}).Args({"--version"}).Lines({{"^", "1"}, {"^" + Escaped(kBanner) + "$", "1"}}),
    // -M: devices in a network of the row's own, announced by broadcast. Ten at once and an eleventh; failures alone;
    // a data connection from another address; a device that starts over; a late one.
    Case{"TenAtOnceAndAnEleventhWaits"}.Files({{20000, 10, 300000}}).Args({"-M11", "-T20", "-b", "-R", "-J"})
        .Sim({"--targets", "11", "--listen-any"}).Status(kServed).Expects({{"heard announce", ">=1"}})
        .Lines({{"^11 targets: 11 finished, 0 failed$", "1"}}).Check(AnEleventhWaits),
    Case{"OneResetsOneStallsTheOthersFinish"}.Small().Files({{20000, 10, kBeyond}}).Args({"-M5", "-T2"}).Exit(1)
        .Sim({"--targets", "3", "--host", "127.0.0.1"}).Also(At("127.0.0.5", {"--reset-program-after", "100000"}))
        .Also(At("127.0.0.6", Plus({"--stall-program-after", "100000", "--read-after-stall"}, kStall)))
        .Status(kServed).Each("127.0.0.5", kCutShort).Each("127.0.0.6", kCutShort)
        .Lines({{"^127\\.0\\.0\\.5 program to 127\\.0\\.0\\.5:\\d+: .*(Connection reset by peer|Broken pipe)$", "1"},
                {"^127\\.0\\.0\\.6 program to 127\\.0\\.0\\.6:\\d+: .*nothing moved within the time limit" + kResetNote, "1"}}),
    Case{"DataFromAnotherAddressAndEachItsProgram"}.Files({kTwo}).Args({"-M2", "-T20", "-J"})
        .Sim({"--host", "127.0.0.1", "--reply", "P0", "--data-from", "127.0.0.9", "--hold-data"})
        .Also(At("127.0.0.3", {"--reply", "P1"})).On(Said("127.0.0.3 data connection from"), Release(0)).Status(kServed)
        .Lines({{"^127\\.0\\.0\\.2 data connection from 127\\.0\\.0\\.9:\\d+, not from the loader connection's address "
                 "127\\.0\\.0\\.2: paired by order only \\(no hardware address can be read\\), as the target that had "
                 "waited longest$", "1"},
                {"^summary: 127\\.0\\.0\\.2 \\(data from 127\\.0\\.0\\.9, paired by order\\): program .*target\\.bin, 3000 ", "1"},
                {"^summary: 127\\.0\\.0\\.3: program .*second\\.bin, 5000 bytes in ", "1"}}),
    Case{"ADeviceThatStartsOver"}.Files({{64 << 10, 10, 3000}}).Args({"-M2", "-T5", "-R", "-J"}).Exit(1)
        .Sim({"--host", "127.0.0.1", "--stall-loader-after", "1000", "--stall-seconds", "8"})
        .Also(At("127.0.0.3", {"--connect-from", "127.0.0.2", "--loader-connect-delay", "1000"}, true))
        .On(Said("127.0.0.2 loader connection from"), Start(1)).Status({kConnect, kRebootError, kConnect, kErasing, "*", kFinish})
        .Lines({{"^127\\.0\\.0\\.2 the target started over \\(a new loader connection came from it\\): loader ", "1"},
                {"^failures: 1 x -1 _reboot data error$", "1"}}),
    Case{"ALateDeviceWhileAnotherWaits"}.Args({"-M2", "-T5"}).Exit(1).Sim({"--host", "127.0.0.1", "--hold-data"})
        .Also(At("127.0.0.3", {"--hold-data"}, true)).On(Said("127.0.0.2 -1 id data error"), Start(1))
        .On(By(1, "holding"), Release(0)).On(Said("data connection from 127.0.0.2"), Release(1))
        .Status(kServed).Each("127.0.0.2", {kConnect, kIdError}).Expects({{"result", "short-id"}, {"id_bytes", "0"}})
        .Lines({{"^data connection from 127\\.0\\.0\\.2:\\d+ reset: its address is that of target 127\\.0\\.0\\.2 of this "
                 "run, whose own wait ended [0-9.]+ s ago$", "1"}, {" reset: ", "1"}}),
    Case{"EndsWhenIdleForT"}.Args({"-M", "-T3", "-J"}).Sim({"--targets", "2", "--host", "127.0.0.1"}).Status(kServed)
        .Expects({{"run_end.ended_by", "idle"}}).Lines({{"^no target connected for 3 s and none is being served", "1"}})
        .Check([](Trial& t) {
          const std::vector<Json> lines = RecordLines(t);
          int64_t last = 0;
          for (const Json& e : OfType(lines, "target_end")) last = std::max(last, WallMs(e["ended"]));
          EXPECT_GE(WallMs(OfType(lines, "run_end").at(0)["ts"]) - last, 2990);
        }),
    // The end: idle for -T; a signal lets them finish, a second ends them at once (also in the second after the ID
    // code, once the device has it: both signals at once, taken in their order).
    Case{"OneSignalLetsThemFinish"}.Files({{20000, 10, 1 << 20}}).Args({"-M"})
        .Sim({"--targets", "2", "--host", "127.0.0.1", "--program-rate", "500000"})
        .On(Said("127.0.0.2 000 % Now erasing"), {}).On(Said("127.0.0.3 000 % Now erasing"), Signal(SIGINT))
        .Status(kServed).Lines({{"^Interrupt: no more targets are taken; the 2 being served finish first", "1"}}),
    // The transfers a second signal ends are no failures of the devices: no guard.
    Case{"ASecondSignalEndsThemAtOnce"}.Small().Files({{20000, 10, 4 << 20}}).Args({"-M", "-E2", "-J"}).Exit(1)
        .Sim({"--targets", "3", "--host", "127.0.0.1", "--program-rate", "500000"})
        .On(Said("127.0.0.2 000 % Now erasing"), {}).On(Said("127.0.0.3 000 % Now erasing"), {})
        .On(Said("127.0.0.4 000 % Now erasing"), Signal(SIGINT)).On(Said("Interrupt: "), Signal(SIGTERM))
        .Status(kCutShort).Expects({{"run_end.ended_by", "signal"}})
        .Lines({{"^127\\.0\\.0\\.2 ended at once by a second signal: program to ", "1"}, {"^second signal \\(Terminated\\): "
                 "the run ends at once; the connections of the 3 targets being served are closed$", "1"},
                {"failures in a row", "0"}}),
    Case{"ASecondSignalAfterTheIdCode"}.Args({"-M"}).Exit(1).Sim({"--host", "127.0.0.1"})
        .On(By(0, "id-code"), [](Trial& t) { Signal(SIGINT)(t), Signal(SIGTERM)(t); }).Status({kConnect, kIdError})
        .Expects({{"id_bytes", "10"}, {"program_bytes", "0"}, {"program_end", "reset"}})
        .Lines({{"^127\\.0\\.0\\.2 ended at once by a second signal: ID code to 127\\.0\\.0\\.2:\\d+: sent; the program was "
                 "not begun; the connection was reset", "1"}}),
    // -E3: the third failure in a row stops the run; the one being served finishes, a later one is never taken. A
    // finish between: no guard.
    Case{"GuardTripsAtTheThird"}.Small().Files({{20000, 10, 200000}}).Args({"-M", "-E3", "-T2", "-R", "-J"}).Exit(1)
        .Devices({At("127.1.0.2", {"--no-data-connect"}), At("127.1.0.3", {"--no-data-connect"}),
                  At("127.1.0.4", {"--no-data-connect"}), At("127.1.0.5", {"--loader-connect-delay", "500", "--program-rate",
                  "50000"}), At("127.1.0.6", {}, true)})
        .On(Said("3 failures in a row"), Start(4)).On(kEveryDeviceDone, StopIfRunning)
        .Expects({{"run_end.ended_by", "failure_guard"}, {"4:result", "host-reset-loader"}})
        .Lines({{"^3 failures in a row \\(3 x \"-1 id data error\"\\): no more targets are taken; check the files and the "
                 "network$", "1"}, {"^127\\.1\\.0\\.5 100 % finish$", "1"}, {"^127\\.1\\.0\\.6 ", "0"}}),
    Case{"GuardNotWithAFinishBetween"}.Small().Files({{20000, 10, 200000}}).Args({"-M", "-E3", "-T2", "-R", "-J"}).Exit(1)
        .Devices({At("127.1.0.2", {"--no-data-connect"}), At("127.1.0.3", {"--no-data-connect"}), At("127.1.0.4",
                  {"--loader-connect-delay", "500", "--program-rate", "50000"}), At("127.1.0.5", {"--no-data-connect"}, true)})
        .On(Said("127.1.0.4 100 % finish"), Start(3)).On(kEveryDeviceDone, StopIfRunning)
        .Expects({{"run_end.ended_by", "signal"}}).Lines({{"failures in a row", "0"}}),
  };
}
// A busy line: a seeded mix of `count` devices on 127.1.x.y arriving within about count * gapMs against moxtil -M
// -T4, with the buffers of a small device: good ones, slow and too-late reboots (two of these back late at about the
// same time while others wait), devices gone after the loader, closing mid-program, stalling past the limit and
// reading on, dropping the loader, updating twice, and back from their reboot with another address, one at a time.
// Once every device is done a stop signal ends the run.
Case Crowd(uint32_t seed, int count, int gapMs) {
  std::mt19937 rng(seed);
  const auto draw = [&rng](int64_t least, int64_t most) { return std::uniform_int_distribution<int64_t>(least, most)(rng); };
  const int64_t limitMs = 4000, loader = 20000, program = 200000;
  const auto nth = [](const char* prefix, int i) { return prefix + std::to_string(i / 200) + "." + std::to_string(i % 200 + 2); };
  Case c("Crowd" + std::to_string(seed));
  c.Small().Files({{loader, 10, program}}).Args({"-M", "-T4", "-R", "-J"}).Exit(kDerived).Devices({});
  const int lateA = count / 2, lateB = count / 2 + 1;
  int64_t at = 300, startMs = 0, movedBy = 0;  // a device back with another address comes no sooner than movedBy
  for (int i = 0; i < count; ++i) {
    startMs = i == lateB ? startMs + 300 : at;
    at = startMs + draw(0, 2 * gapMs);
    const int64_t roll = i == lateA || i == lateB ? 52 : draw(0, 99);
    Strings o;
    if (roll < 40 || (roll >= 89 && startMs < movedBy)) {
      o = {"--reboot-ms", std::to_string(draw(0, 1500))};  // good
    } else if (roll < 50) {
      o = {"--reboot-ms", std::to_string(draw(limitMs - 1500, limitMs - 500))};  // back within the limit
    } else if (roll < 58) {
      o = {"--reboot-ms", std::to_string(draw(limitMs + 1000, limitMs + 2500))};  // too late: it must reach no one
    } else if (roll < 64) {
      o = {"--no-data-connect"};
    } else if (roll < 71) {
      o = {"--close-program-after", std::to_string(draw(program / 10, program * 9 / 10))};
    } else if (roll < 76) {  // past the limit, then it reads on: the end it sees must be a reset
      o = {"--stall-program-after", std::to_string(draw(program / 10, program * 9 / 10)), "--stall-seconds", "6",
           "--read-after-stall"};
    } else if (roll < 81) {
      o = {"--close-loader-after", std::to_string(draw(1000, loader - 1000))};
    } else if (roll < 89) {
      o = {"--updates", "2", "--reboot-ms", std::to_string(draw(0, 1500))};
    } else {
      o = {"--data-from", nth("127.2.", i), "--reboot-ms", std::to_string(draw(300, 1500))};
      movedBy = startMs + 15000;
    }
    c.Also(At(nth("127.1.", i), Plus(o, {"--time-limit", std::to_string(count * gapMs / 1000 + 120)}), true));
    c.On({kClock, "", 1, startMs}, Start(i));
  }
  return c.On(kEveryDeviceDone, StopIfRunning);
}

class E2E : public ::testing::TestWithParam<Case> {};
TEST_P(E2E, WhatTheDevicesGetAndWhatTheLogSays) { RunRow(GetParam()); }
std::string Name(const ::testing::TestParamInfo<Case>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(Rows, E2E, ::testing::ValuesIn(Rows()), Name);
// About a minute: 36 devices within about 40 s (bench/crowd.sh runs other seeds and more).
INSTANTIATE_TEST_SUITE_P(Long, E2E, ::testing::Values(Crowd(1, 36, 1100)), Name);
// Volume, the normal build only (and the ARM one, for its 32-bit lengths): counts beyond 32 bits, 4 194 305 pieces
// with a line after every tenth (419 431) and after the last; the byte counts are the proof (the program is zeros).
INSTANTIATE_TEST_SUITE_P(Volume, E2E, ::testing::Values(
    Case{"BeyondFourGibibytes"}.Files({{1000, 10, (int64_t{1} << 32) + 1000, -1, true}}).Args({"-T60"})
        .Sim({"--count-only", "--time-limit", "900"}).Finishes({"*"}).Lines({{"^\\d{3} %$", "419432"}})
        .Check([](Trial& run) {
          Strings status;  // the middle one
          for (const std::string& line : LogLines(*run.moxtil)) {
            if (IsStatusLine(line)) status.push_back(line);
          }
          EXPECT_EQ(status.at(2 + 419432 / 2), "050 %");
        })), Name);
// A list longer than the 50 endpoint IDs of a kind: 55 rows of the protocol's waits, two progress lines a row (the
// normal build only).
INSTANTIATE_TEST_SUITE_P(Waits, E2E, ::testing::Values(
    Case{"FiftyFiveRows"}.Files({{300, 10, 2000}}).Args({"-T30"}).Sim({"--updates", "55", "--time-limit", "900"})
        .List([] { std::string rows; for (int i = 0; i < 55; ++i) rows += "{A}\n"; return rows; }())
        .Status({kConnect, "*", kFinish}, std::vector<int>(55, 1)).Lines({{"^\\d{3} %$", "110"}})), Name);

// bench/crowd.sh: CROWD_DEVICES devices (default 1000) from CROWD_SEED (default 1), CROWD_GAP_MS apart on average
// (default 900).
int EnvOr(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}
TEST(Bench, Crowd) {
  RunRow(Crowd(static_cast<uint32_t>(EnvOr("CROWD_SEED", 1)), EnvOr("CROWD_DEVICES", 1000), EnvOr("CROWD_GAP_MS", 900)));
}

}  // namespace
}  // namespace testkit
