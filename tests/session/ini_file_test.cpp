#include "session/ini_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace brevalon {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "ini_file_test.XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file as it may come out of a text editor on another system.
const char kMessyFile[] =
    "\xEF\xBB\xBF; settings of the gateway\r\n"
    "orphan=before any section\r\n"
    "[General]\r\n"
    "  ConnectionType =  SOCKET  \r\n"
    "# a comment=with an equals sign\r\n"
    "just some words\r\n"
    "=no key\r\n"
    "Title = Report for  Q1 = draft\r\n"
    "Empty=\r\n"
    "ConnectionType=DCOM\r\n"
    "\r\n"
    "[ Socket ]  \r\n"
    "ServerName=Host.Example\r\n"
    "[general]\n"
    "Late=yes\n"
    "[DCOM]\n"
    "ServerName=last line without line end";

TEST(IniFileTest, ReadsValuesOfAMessyFile) {
  IniFile ini = IniFile::FromText(kMessyFile);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"General", "ConnectionType", "SOCKET"},   // blanks around key and value dropped
      {"GENERAL", "connectiontype", "SOCKET"},   // names without regard to case; first key wins
      {"General", "Title", "Report for  Q1 = draft"},  // inner text and later "=" kept
      {"General", "Empty", ""},
      {"General", "Late", "yes"},                // a section written twice reads as one
      {"SOCKET", "servername", "Host.Example"},  // blanks inside the brackets dropped
      {"socket", "SERVERNAME", "Host.Example"},
      {"DCOM", "ServerName", "last line without line end"},
      {"General", "# a comment", "<none>"},
      {"General", "just some words", "<none>"},
      {"General", "", "<none>"},
      {"", "orphan", "<none>"},                  // values before any section are not reachable
      {"Missing", "ServerName", "<none>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<none>"), c.expected)
        << "[" << c.section << "] " << c.key;
  }
  EXPECT_EQ(ini.Sections(),
            (std::vector<std::string>{"General", "Socket", "general", "DCOM"}));
  // Values are compared as written: the reader does not fold their case.
  EXPECT_NE(ini.ReadString("Socket", "ServerName", ""), "host.example");
}

TEST(IniFileTest, ReadIntegerIsStrict) {
  struct Case {
    const char* value;
    int expected;
  } cases[] = {
      {"4804", 4804},        {" 5000 ", 5000},     {"+12", 12},        {"-7", -7},
      {"0", 0},              {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"", -1},              {"12abc", -1},        {"1 2", -1},        {"0x10", -1},
      {"$10", -1},           {"2147483648", -1},   {"-2147483649", -1}, {"+", -1},
      {"-", -1},             {"+-1", -1},          {"1.0", -1},        {"١٢", -1},
  };
  for (const Case& c : cases) {
    IniFile ini = IniFile::FromText(std::string("[S]\nPort=") + c.value + "\n");
    EXPECT_EQ(ini.ReadInteger("s", "port", -1), c.expected) << "value '" << c.value << "'";
  }
  EXPECT_EQ(IniFile::FromText("[S]\n").ReadInteger("S", "Port", 4804), 4804);
}

TEST(IniFileTest, WriteStringKeepsTheRestOfTheFile) {
  IniFile ini = IniFile::FromText(
      "; head comment\n"
      "[General]\n"
      "ConnectionType=DCOM ; not a comment, part of the value\n"
      "\n"
      "[DCOM]\n"
      "servername=old\n");
  ini.WriteString("GENERAL", "NewKey", "  padded value  ");
  ini.WriteString("dcom", "ServerName", "new host");
  ini.WriteInteger("SOCKET", "ServerPort", 4804);
  EXPECT_EQ(ini.ToText(),
            "; head comment\n"
            "[General]\n"
            "ConnectionType=DCOM ; not a comment, part of the value\n"
            "NewKey=padded value\n"
            "\n"
            "[DCOM]\n"
            "servername=new host\n"
            "\n"
            "[SOCKET]\n"
            "ServerPort=4804\n");

  // What was written reads back the same after a round trip through text.
  IniFile again = IniFile::FromText(ini.ToText());
  EXPECT_EQ(again.ReadString("General", "NewKey", ""), "padded value");
  EXPECT_EQ(again.ReadString("DCOM", "ServerName", ""), "new host");
  EXPECT_EQ(again.ReadInteger("Socket", "ServerPort", 0), 4804);
}

TEST(IniFileTest, WriteRefusesWhatWouldNotReadBack) {
  IniFile ini;
  EXPECT_THROW(ini.WriteString("S", "a=b", "v"), Exception);
  EXPECT_THROW(ini.WriteString("S", "", "v"), Exception);
  EXPECT_THROW(ini.WriteString("S", "[k", "v"), Exception);
  EXPECT_THROW(ini.WriteString("S", ";k", "v"), Exception);
  EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), Exception);
  EXPECT_THROW(ini.WriteString("S]x", "k", "v"), Exception);
  EXPECT_EQ(ini.ToText(), "");
}

TEST(IniFileTest, SaveToFileReplacesTheFileAndLeavesNoTemporaryFile) {
  TempDir dir;
  const fs::path path = dir.path() / "a.ini";
  { std::ofstream(path) << "[Old]\nKey=1\n"; }

  IniFile ini = IniFile::LoadFromFile(path.string());
  ini.WriteString("New", "Key", "2");
  ini.SaveToFile(path.string());

  EXPECT_EQ(ReadAll(path), "[Old]\nKey=1\n\n[New]\nKey=2\n");
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    ++files;
    EXPECT_EQ(e.path().filename(), "a.ini");
  }
  EXPECT_EQ(files, 1);
}

TEST(IniFileTest, SaveToFileInAMissingDirectoryFails) {
  TempDir dir;
  IniFile ini = IniFile::FromText("[S]\nk=v\n");
  EXPECT_THROW(ini.SaveToFile((dir.path() / "no" / "a.ini").string()), Exception);
}

TEST(IniFileTest, LoadRefusesMissingOversizedAndNonRegularFiles) {
  TempDir dir;
  const fs::path big = dir.path() / "big.ini";
  {
    std::ofstream out(big, std::ios::binary);
    std::string line = "[S]\n";
    line.resize(1024, ' ');
    for (std::size_t n = 0; n <= kMaxIniFileSize; n += line.size()) out << line;
  }
  struct Case {
    fs::path path;
    const char* message_part;
  } cases[] = {
      {dir.path() / "missing.ini", "Can not open ini file"},
      {big, "is larger than"},
      {dir.path(), "not a regular file"},
  };
  for (const Case& c : cases) {
    try {
      IniFile::LoadFromFile(c.path.string());
      ADD_FAILURE() << c.path << " loaded";
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.path.string()), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(IniFile::FromText(std::string(kMaxIniFileSize + 1, 'x')), Exception);

  // Exactly at the limit is still read.
  const fs::path edge = dir.path() / "edge.ini";
  {
    std::ofstream out(edge, std::ios::binary);
    out << "[S]\nk=v\n" << std::string(kMaxIniFileSize - 8, ';');
  }
  EXPECT_EQ(IniFile::LoadFromFile(edge.string()).ReadString("S", "K", ""), "v");
}

}  // namespace
}  // namespace brevalon
