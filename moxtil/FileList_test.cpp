#include "moxtil/FileList.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "moxtil/Options.h"

namespace {

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetOptions();
    char tmpl[] = "/tmp/moxtil-filelist-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (const char* name : {"loader.b", "idcode.sys", "target.bin", "second.bin"}) Write(name, "x");
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string Write(const std::string& name, const std::string& text) {
    std::string path = Path(name);
    FILE* fp = fopen(path.c_str(), "wb");
    EXPECT_NE(fp, nullptr);
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);
    return path;
  }

  // A row naming the fixture's files in the given separators.
  std::string Row(const char* sep, bool second = false) const {
    std::string row = Path("loader.b") + sep + Path("idcode.sys") + sep + Path("target.bin");
    if (second) row += sep + Path("second.bin");
    return row;
  }

  std::string dir_;
};

TEST_F(FileListTest, CountsRowsUpToTheFirstEmptyLine) {
  std::string row = Row(" ");
  EXPECT_EQ(GetTotalLine(Write("a", row + "\n" + row + "\n" + row + "\n\n" + row + "\n" + row + "\n").c_str()), 3);
  EXPECT_EQ(GetTotalLine(Write("b", "").c_str()), 0);
  EXPECT_EQ(GetTotalLine(Write("c", "\n" + row + "\n").c_str()), 0);
  EXPECT_EQ(GetTotalLine(Write("d", row + "\r\n\r\n" + row + "\r\n").c_str()), 1);
  EXPECT_EQ(GetTotalLine(Write("e", row).c_str()), 1);  // no final line feed
  EXPECT_EQ(GetTotalLine(Write("f", "  " + row + "\n").c_str()), 1);
  EXPECT_EQ(GetTotalLine(Write("g", std::string("\0abc\n", 5) + row + "\n").c_str()), 0);
  EXPECT_EQ(GetTotalLine(Path("missing").c_str()), -1);
}

TEST_F(FileListTest, LongLinesAreReadAsSeveralRows) {
  EXPECT_EQ(GetTotalLine(Write("a", std::string(1021, 'a') + "\nb\n").c_str()), 2);
  EXPECT_EQ(GetTotalLine(Write("b", std::string(2000, 'a') + "\n").c_str()), 2);
  // 1022 characters fill one read; the line feed alone is the next row, which ends the list.
  EXPECT_EQ(GetTotalLine(Write("c", std::string(1022, 'a') + "\nb\n").c_str()), 1);
}

TEST_F(FileListTest, LoadsRowsWithAnySeparators) {
  for (const char* sep : {" ", ",", "\t", " , ", "\"\t\""}) {
    std::string list = Write("list", "\"" + Row(sep) + "\"\r\n" + Row(sep, true) + ",extra,fields\n");
    ASSERT_EQ(SetFilenameInFilelist(list.c_str(), 1), 0) << sep;
    EXPECT_EQ(std::string(_loaderFile), Path("loader.b"));
    EXPECT_EQ(std::string(_idFile), Path("idcode.sys"));
    EXPECT_EQ(std::string(_targetFile[0]), Path("target.bin"));  // no CR at its end
    EXPECT_EQ(std::string(_targetFile[1]), "");
    ASSERT_EQ(SetFilenameInFilelist(list.c_str(), 2), 0) << sep;
    EXPECT_EQ(std::string(_targetFile[1]), Path("second.bin"));
  }
}

TEST_F(FileListTest, RowsThatCannotBeLoaded) {
  std::string list = Write("list", Row(" ") + "\n" + Path("loader.b") + " " + Path("idcode.sys") + "\n\n");
  EXPECT_EQ(SetFilenameInFilelist(list.c_str(), 2), -1);  // two fields
  EXPECT_EQ(SetFilenameInFilelist(list.c_str(), 3), -1);  // empty row
  EXPECT_EQ(SetFilenameInFilelist(list.c_str(), 4), -1);  // past the end
  EXPECT_EQ(SetFilenameInFilelist(list.c_str(), 0), -1);
  EXPECT_EQ(SetFilenameInFilelist(Path("missing").c_str(), 1), -1);

  // A missing file, the ID code file included, fails the row after loading it.
  std::string missingId = Write("m", Path("loader.b") + " " + Path("none.sys") + " " + Path("target.bin") + "\n");
  EXPECT_EQ(SetFilenameInFilelist(missingId.c_str(), 1), -1);
  EXPECT_EQ(std::string(_idFile), Path("none.sys"));
  std::string missingSecond = Write("n", Row(" ") + " " + Path("none.bin") + "\n");
  EXPECT_EQ(SetFilenameInFilelist(missingSecond.c_str(), 1), -1);
  // Only regular files: a directory or a device is no program.
  std::string directory = Write("o", Path("loader.b") + " " + Path("idcode.sys") + " " + dir_ + "\n");
  EXPECT_EQ(SetFilenameInFilelist(directory.c_str(), 1), -1);
  std::string device = Write("p", "/dev/zero " + Path("idcode.sys") + " " + Path("target.bin") + "\n");
  EXPECT_EQ(SetFilenameInFilelist(device.c_str(), 1), -1);
}

TEST_F(FileListTest, LongFieldsAreCutAndTerminated) {
  std::string list = Write("list", std::string(1021, 'a') + "\n");
  EXPECT_EQ(SetFilenameInFilelist(list.c_str(), 1), -1);
  EXPECT_EQ(std::string(_loaderFile), std::string(1021, 'a'));
  EXPECT_EQ(_idFile[0], '\0');
}

}  // namespace
