// File lists served end to end: how rows are split into fields and lines into
// rows, where the list ends, the progress across the rows, and a row whose
// files are missing after others were served.
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace e2e {
namespace {

using Strings = std::vector<std::string>;

constexpr char kMyAddressLine[] = ">>my IPaddress=127.0.0.1";

/// text padded with blanks to exactly width characters.
std::string Pad(const std::string& text, size_t width) {
  EXPECT_LE(text.size(), width) << "paths too long for the row";
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

void ExpectNoFailureLines(const Process& moxtil) {
  for (const std::string& line : StatusLines(moxtil)) EXPECT_NE(line.compare(0, 3, "-1 "), 0) << line;
}

// Blanks, commas, double quotes, tabs and CR LF all separate fields; a fourth
// field is the second program, a fifth is ignored; the first empty line ends
// the list, so the rows after it are never loaded.
TEST(FileList, FieldsAreSplitAtEveryDelimiterAndAnEmptyLineEndsTheList) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotFileListFields);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet one = MakeFileSet(dir, "1", 1500, 12, 3000, 100);
  FileSet two = MakeFileSet(dir, "2", 700, 10, 2000, 200);
  two.program2 = MakeRandomFile(dir.File("2second.bin"), 4000, 300);
  const std::string missing = dir.File("missing");
  const std::string list = WriteFile(
      dir.File("filelist"),
      "\"" + one.loader + "\",\"" + one.id + "\",\"" + one.program + "\"\r\n" +
          "\t  " + two.loader + " , " + two.id + "\t" + two.program + "  " + two.program2 + " " + missing + "\r\n" +
          "\r\n" + missing + " " + missing + " " + missing + "\n");

  // The target asks for the second program; the first row has none, so its
  // only program is sent and the reply is never read.
  auto sim = StartSim(base, {"--updates", "2", "--reply", "P1", "--time-limit", "60"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-b", "-T20"});
  ExpectExit(*moxtil, 0, Millis(60000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 2u);
  ExpectServed(updates[0], one, "00", one.program);
  ExpectServed(updates[1], two, "00", two.program2);

  const Strings status = StatusLines(*moxtil);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "000 % connect");
  EXPECT_EQ(status.back(), "100 % finish");
  EXPECT_EQ(CountLog(*moxtil, "000 % connect"), 1);
  EXPECT_EQ(CountLog(*moxtil, "100 % finish"), 1);
  EXPECT_EQ(CountLog(*moxtil, "000 % Now erasing"), 0);
  ExpectNoFailureLines(*moxtil);
  // First-cycle lines.
  EXPECT_EQ(CountLog(*moxtil, kMyAddressLine), 1);
  EXPECT_EQ(CountLog(*moxtil, "reuse addr"), 1);
}

// Rows are pieces of at most 1022 characters: a line of 1021 characters and
// its line feed is one row, a longer line is several rows, and a line of
// exactly 1022 characters is a row followed by an empty one, which ends the list.
TEST(FileList, LongLinesAreSplitIntoRows) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotFileListLongLines);
  ASSERT_GT(base, 0);
  TempDir dir;
  std::vector<FileSet> sets;
  for (int i = 0; i < 4; ++i) {
    sets.push_back(MakeFileSet(dir, std::to_string(i), 300 + 100 * i, 10, 1000 + 500 * i, 10u * static_cast<uint32_t>(i)));
  }
  auto row = [](const FileSet& f, const char* sep) { return f.loader + sep + f.id + sep + f.program; };
  const std::string missing = dir.File("missing");
  const std::string list = WriteFile(
      dir.File("filelist"),
      Pad(row(sets[0], " "), 1021) + "\n" +                          // row 1
          Pad(row(sets[1], ","), 1022) + row(sets[2], "\t") + "\n" +  // rows 2 and 3
          Pad(row(sets[3], " "), 1022) + "\n" +                      // row 4, then an empty row
          missing + " " + missing + " " + missing + "\n");

  auto sim = StartSim(base, {"--updates", "4", "--time-limit", "90"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-T20"});
  ExpectExit(*moxtil, 0, Millis(90000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    ExpectServed(updates[i], sets[i], "00", sets[i].program);
  }
  EXPECT_EQ(CountLog(*moxtil, "100 % finish"), 1);
  EXPECT_EQ(StatusLines(*moxtil).back(), "100 % finish");
  ExpectNoFailureLines(*moxtil);
}

// The progress runs over the whole list: row k of n covers k/n to (k+1)/n.
// Each cycle sends the restart datagram once.
TEST(FileList, ProgressRunsAcrossTheRowsAndEachCycleRestartsOnce) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotFileListProgress);
  ASSERT_GT(base, 0);
  TempDir dir;
  std::vector<FileSet> sets;
  std::string text;
  for (int i = 0; i < 3; ++i) {
    sets.push_back(MakeFileSet(dir, std::to_string(i), 2000, 10, 10000, 50u + 10u * static_cast<uint32_t>(i)));
    text += sets.back().loader + " " + sets.back().id + " " + sets.back().program + "\n";
  }
  const std::string list = WriteFile(dir.File("filelist"), text);
  // The simulator takes the announces on 127.0.0.2; the restarts go to 127.0.0.3.
  UdpReceiver restarts("127.0.0.3", static_cast<uint16_t>(base + 10));
  ASSERT_TRUE(restarts.ok());

  // The restart follows a cycle's first announce unless a target has taken
  // that announce already; the simulator waits a little, as a real device does.
  auto sim = StartSim(base, {"--updates", "3", "--loader-connect-delay", "300", "--time-limit", "90"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-I127.0.0.3", "-T20"});
  ExpectExit(*moxtil, 0, Millis(90000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 3u);
  for (size_t i = 0; i < 3; ++i) ExpectServed(updates[i], sets[i], "00", sets[i].program);

  // 10 000 bytes a row: a line after the first piece and after the last.
  EXPECT_EQ(StatusLines(*moxtil),
            (Strings{"000 % connect", "003 %", "033 %", "037 %", "067 %", "070 %", "099 %", "100 % finish"}));

  std::vector<Datagram> got = restarts.ReceiveFor(Millis(300));
  EXPECT_EQ(got.size(), 3u);
  for (const Datagram& d : got) EXPECT_EQ(Hex(d.bytes), Hex(RestartBytes()));
}

// A row that cannot be loaded after others were served ends the run with -1.
TEST(FileList, AMissingFileInALaterRowEndsTheRun) {
  E2E_REQUIRE_SIM();
  const int base = PortBase(kSlotFileListMissingLater);
  ASSERT_GT(base, 0);
  TempDir dir;
  FileSet one = MakeFileSet(dir, "1", 500, 10, 50, 400);
  FileSet two = MakeFileSet(dir, "2", 500, 10, 50, 500);
  const std::string list = WriteFile(dir.File("filelist"), one.loader + " " + one.id + " " + one.program + "\n" +
                                                               two.loader + " " + dir.File("missing") + " " +
                                                               two.program + "\n");

  auto sim = StartSim(base, {"--updates", "1", "--time-limit", "60"});
  ASSERT_TRUE(sim);
  auto moxtil = StartMoxtil(base, {list, "dummy", "dummy", "-L", "-T20"});
  ExpectExit(*moxtil, 255, Millis(60000));
  EXPECT_EQ(sim->WaitExit(Millis(10000)), 0);

  auto updates = SimReports(*sim, "update");
  ASSERT_EQ(updates.size(), 1u);
  ExpectServed(updates[0], one, "00", one.program);
  // 50 bytes of the first of two rows count as half of a hundred: 25 %.
  EXPECT_EQ(StatusLines(*moxtil), (Strings{"000 % connect", "025 %", "-1 error file not found ",
                                           "-1 error can not read the filelist"}));
  ExpectExplained(*moxtil, "-1 error file not found ", "^file list .* row 2: .*/missing: No such file or directory$");
  ExpectExplained(*moxtil, "-1 error can not read the filelist",
                  "^file list .*: row 2 cannot be loaded: .*/missing is missing or not a regular file$");
}

}  // namespace
}  // namespace e2e
