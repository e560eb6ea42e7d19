// The file list, a row each: what separates fields, where a row and the list end, and why a row cannot be loaded.
#include "moxtil/config/FileList.h"

#include <gtest/gtest.h>

#include <regex>

#include "moxtil/config/Options.h"
#include "tests/testkit.h"

namespace {

std::string Padded(std::string text, size_t width) {
  text.resize(std::max(width, text.size()), ' ');
  return text;
}
std::string Name(const char* path) { return strrchr(path, '/') == nullptr ? path : strrchr(path, '/') + 1; }

TEST(FileList, RowsFieldsAndRefusals) {
  testkit::TempDir dir;
  for (const char* name : {"a", "b", "c", "d"}) testkit::WriteFile(dir.File(name), "x");
  const auto in = [&dir](const std::string& text) { return std::regex_replace(text, std::regex("%"), dir.path + "/"); };
  // Rows are reads of at most 1022 characters: a longer line is several rows, and one of exactly 1022 is a row and
  // then an empty one, the end.
  const std::string longRows = Padded(in("%a %b %c"), 1021) + "\n" + Padded(in("%a,%b,%c"), 1022) + in("%b\t%c\t%a\n") +
                               Padded(in("%c %b %a"), 1022) + "\n%a %b %c\n";
  struct Row {
    std::string list;
    int rows, row;
    std::string loaded;  // the names of the files loaded, or a regular expression of why not
  };
  const Row rows[] = {
      // Blanks, commas, quotes, tabs and CR LF all separate fields; a fourth is the second program, a fifth is
      // ignored; an empty line ends the list.
      {"\"%a\",\"%b\",\"%c\"\r\n", 1, 1, "a b c"},
      {"\t  %a , %b\t%c  %d %x\r\n\r\n%a %b %c\n", 1, 1, "a b c d"},
      {longRows, 4, 2, "a b c"},
      {longRows, 4, 3, "b c a"},
      {longRows, 4, 4, "c b a"},
      {"", 0, 1, "the list has no such row"},
      {"\n%a %b %c\n", 0, 1, "fewer than three file names"},
      {"%a %b\n%a %b %c\n", 2, 1, "fewer than three file names"},
      {"%x %b %c\n", 1, 1, ".*/x is missing or not a regular file"},
      {"%a,%b,%x\n", 1, 1, ".*/x is missing or not a regular file"},
      {"%a %b %c %x\n", 1, 1, ".*/x is missing or not a regular file"},
  };
  const std::string list = dir.File("list");
  for (const Row& r : rows) {
    testkit::WriteFile(list, in(r.list));
    SCOPED_TRACE(r.list.substr(0, 40) + " row " + std::to_string(r.row));
    EXPECT_EQ(GetTotalLine(list.c_str()), r.rows);
    testing::internal::CaptureStdout();
    const int loaded = SetFilenameInFilelist(list.c_str(), r.row);
    const std::string log = testing::internal::GetCapturedStdout();
    const std::string names = Name(_loaderFile) + " " + Name(_idFile) + " " + Name(_targetFile[0]) +
                              (_targetFile[1][0] != '\0' ? " " + Name(_targetFile[1]) : "");
    const std::string got = loaded == 0 ? names : FileListProblem();
    EXPECT_TRUE(std::regex_match(got, std::regex(r.loaded))) << got;
    // A file missing is told with its reason, then the status line.
    EXPECT_EQ(std::regex_search(log, std::regex("row 1: .*/x: No such file or directory\nD/moxtil: -1 error file not found \n$")),
              r.loaded.find("missing") != std::string::npos) << log;
  }
  ResetOptions();
}

}  // namespace
