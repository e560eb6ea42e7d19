// The record's JSON strings, a row each: quotes, backslashes and control characters escaped, well-formed UTF-8 kept,
// and every byte that is no part of it (a path may hold any) one U+FFFD.
#include "moxtil/engine/Record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/testkit.h"

namespace {

using namespace testkit;

// The last line of the file at path.
std::string LastLine(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  return last;
}

TEST(RecordStrings, BrokenUtf8BecomesReplacementCharacters) {
  struct Row { const char* text; const char* quoted; };
#define FFFD "\xEF\xBF\xBD"
  const Row rows[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"tab\there\n", "\"tab\\u0009here\\u000a\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                      // two bytes
      {"\xE2\x82\xAC 5", "\"\xE2\x82\xAC 5\""},                 // three
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},             // four
      {"end\xC3", "\"end" FFFD "\""},                           // cut at the end
      {"\xE2\x82x", "\"" FFFD FFFD "x\""},                      // cut before a letter
      {"\xC0\xAF", "\"" FFFD FFFD "\""},                        // overlong
      {"\xE0\x80\xAF", "\"" FFFD FFFD FFFD "\""},               // overlong in three
      {"\xED\xA0\x80", "\"" FFFD FFFD FFFD "\""},               // a surrogate
      {"\xF4\x90\x80\x80", "\"" FFFD FFFD FFFD FFFD "\""},      // above U+10FFFF
      {"\xFF" "a\x80", "\"" FFFD "a" FFFD "\""},                // never in UTF-8; a lone continuation
  };
#undef FFFD
  TempDir dir;
  const std::string path = dir.File("record.jsonl");
  ASSERT_EQ(RecordOpen(path.c_str()), 0);
  for (const Row& r : rows) {
    RecordWarning("test", r.text);
    const std::string line = LastLine(path);
    const std::string key = "\"explanation\":";
    const size_t at = line.find(key);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(line.substr(at + key.size()), std::string(r.quoted) + "}") << "from \"" << r.text << "\"";
  }
  RecordClose();
}

// A line longer than a record line may be is left out whole, told at once; the count of all left out comes at the
// end, and the record stays whole lines.
TEST(RecordLines, ALineTooLongIsLeftOutWhole) {
  TempDir dir;
  const std::string path = dir.File("record.jsonl");
  ASSERT_EQ(RecordOpen(path.c_str()), 0);
  testing::internal::CaptureStdout();
  for (const char* text : {"before", "", "", "after"}) RecordWarning("test", *text ? text : std::string(30 << 10, 'x').c_str());
  RecordClose();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "D/moxtil: record: a warning line is left out (longer than a record line may be); the updates go on, the "
            "record is incomplete\nD/moxtil: record: 2 lines in all are left out of it\n");
  std::ifstream in(path);
  std::string first, second, more;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_TRUE(first.find("\"before\"") != std::string::npos && second.find("\"after\"") != std::string::npos &&
              !std::getline(in, more)) << first << "\n" << second;
}

// A line written in part (a full disk, the file size limit): taken back
// where nothing followed it; never continued after another writer's line,
// which stays whole, and ended so that the next line parses.
TEST(RecordParts, TakenBackOrEndedNeverGlued) {
  TempDir dir;
  const std::string path = dir.File("record.jsonl");
  const auto file = [&path] {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const int ours = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  const int theirs = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_TRUE(ours >= 0 && theirs >= 0);
  const std::string whole = "{\"v\":2}\n", part = "{\"v\":2,\"type\":\"tar";
  ASSERT_EQ(write(ours, whole.data(), whole.size()), static_cast<ssize_t>(whole.size()));
  ASSERT_EQ(write(ours, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  EXPECT_EQ(TakeBackPart(ours, part.size()), RecordPart::kTakenBack);
  EXPECT_EQ(file(), whole);
  ASSERT_EQ(write(ours, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  const std::string other = "{\"v\":2,\"type\":\"other\"}\n";
  ASSERT_EQ(write(theirs, other.data(), other.size()), static_cast<ssize_t>(other.size()));
  EXPECT_EQ(TakeBackPart(ours, part.size()), RecordPart::kOvertaken);
  EXPECT_TRUE(EndTheLastLine(ours));
  EXPECT_EQ(file(), whole + part + other) << "their line kept, nothing of ours after it";
  ASSERT_EQ(write(theirs, part.data(), part.size()), static_cast<ssize_t>(part.size()));
  EXPECT_TRUE(EndTheLastLine(ours));
  EXPECT_EQ(file(), whole + part + other + part + "\n") << "a part at the end is ended";
  close(ours);
  close(theirs);
}

}  // namespace
