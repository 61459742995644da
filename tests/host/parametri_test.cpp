#include "host/parametri.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using ostrivan::host::ParseInteger;
using ostrivan::host::ReadProfileString;
using ostrivan::host::TParametri;

namespace {

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ostrivan-ini-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "ParametrOstrivan.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  fs::path dir_;
  std::string path_;
};

}  // namespace

TEST(ParseInteger, AcceptsOnlyWholeIntegers) {
  struct Case {
    const char* text;
    std::optional<int32_t> expected;
  };
  const Case cases[] = {
      {"9000", 9000},
      {"  12", 12},
      {"+7", 7},
      {"-3", -3},
      {"$1F90", 8080},
      {"0x1F90", 8080},
      {"0X1f90", 8080},
      {"x10", 16},
      {"X10", 16},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"$7FFFFFFF", 2147483647},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"$100000000", std::nullopt},
      {"80a", std::nullopt},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"12 ", std::nullopt},
      {"1.5", std::nullopt},
      {"$G1", std::nullopt},
      {"--1", std::nullopt},
      {"\t5", std::nullopt},
      {"0", 0},
      // At most eight hexadecimal digits, leading zeros included; decimal has no such cap.
      {"$00000001", 1},
      {"$000000001", std::nullopt},
      {"0x0000052D2", std::nullopt},
      {"-X000000010", std::nullopt},
      {"000000000012", 12},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.expected) << '"' << c.text << '"';
}

TEST_F(IniFile, NoFileGivesDefaults) {
  EXPECT_EQ(TParametri::GetPorta(path_), 8080);
  EXPECT_EQ(TParametri::GetExportLavoroDir(path_), "");
  EXPECT_EQ(TParametri::GetImportLavoroDir(path_), "");
  EXPECT_EQ(TParametri::GetNrMacchina(path_), 0);
}

TEST_F(IniFile, PortValues) {
  struct Case {
    const char* value;
    uint16_t port;
  };
  const Case cases[] = {{"  9000  ", 9000}, {"$1F90", 8080},       {"0x1F90", 8080},     {"80a", 8080},
                        {"70000", 4464},    {"65536", 0},          {"-1", 65535},        {"", 8080},
                        {"\"9001\"", 9001}, {"99999999999", 8080}, {"0x0000052D2", 8080}};
  for (const auto& c : cases) {
    Write(std::string("[CONFIG]\nPorta=") + c.value + "\n");
    EXPECT_EQ(TParametri::GetPorta(path_), c.port) << c.value;
  }
}

TEST_F(IniFile, MachineNumberValues) {
  struct Case {
    const char* value;
    int32_t nr;
  };
  const Case cases[] = {{"12", 12}, {"abc", 0}, {"-3", -3}, {"$FFFFFFFF", -1}};
  for (const auto& c : cases) {
    Write(std::string("[CONFIG]\r\nNr_Macchina=") + c.value + "\r\n");
    EXPECT_EQ(TParametri::GetNrMacchina(path_), c.nr) << c.value;
  }
}

TEST_F(IniFile, WaitsInSeconds) {
  struct Case {
    const char* value;
    int32_t seconds;
  };
  // Outside 0..3600, or no number: the default.
  const Case cases[] = {{"0", 0}, {"30", 30}, {"3600", 3600}, {"3601", 2}, {"-1", 2}, {"abc", 2}, {"", 2}};
  for (const auto& c : cases) {
    Write(std::string("[CONFIG]\nAttesaScrittura=") + c.value + "\n");
    EXPECT_EQ(TParametri::GetAttesaScrittura(path_), c.seconds) << c.value;
  }
  const Case ack_cases[] = {{"1", 1}, {"86400", 86400}, {"0", 600}, {"86401", 600}, {"x", 600}};
  for (const auto& c : ack_cases) {
    Write(std::string("[CONFIG]\nAttesaConferma=") + c.value + "\n");
    EXPECT_EQ(TParametri::GetAttesaConferma(path_), c.seconds) << c.value;
  }
}

TEST_F(IniFile, ReaderRules) {
  struct Case {
    const char* file;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      // section and key without regard to case
      {"[config]\nporta=9000\n", "Porta", "9000"},
      // blanks around names and values; one pair of matching quotes removed
      {"  [ CONFIG ]  \n  ExportLavoroDir =  /tmp/a b  \n", "ExportLavoroDir", "/tmp/a b"},
      {"[CONFIG]\nExportLavoroDir=\"/tmp/q\"\n", "ExportLavoroDir", "/tmp/q"},
      {"[CONFIG]\nExportLavoroDir='/tmp/q'\n", "ExportLavoroDir", "/tmp/q"},
      {"[CONFIG]\nExportLavoroDir=\"/tmp/q'\n", "ExportLavoroDir", "\"/tmp/q'"},
      // comments, duplicates (first wins), other sections, lines without '='
      {"[CONFIG]\n;Porta=1\nPorta=2\nPorta=3\n", "Porta", "2"},
      {"[OTHER]\nPorta=1\n[CONFIG]\nnoise\nPorta=2\n[MORE]\nPorta=3\n", "Porta", "2"},
      {"[OTHER]\nPorta=1\n", "Porta", ""},
      {"Porta=1\n", "Porta", ""},
      {"[CONFIG]\nPorta=\n", "Porta", ""},
      // encodings: UTF-8 with BOM, Latin-1 bytes, UTF-16LE with BOM
      {"\xEF\xBB\xBF[CONFIG]\nExportLavoroDir=/tmp/\xC3\xA0\n", "ExportLavoroDir", "/tmp/\xC3\xA0"},
      {"[CONFIG]\nExportLavoroDir=/tmp/\xE0\n", "ExportLavoroDir", "/tmp/\xC3\xA0"},
  };
  for (const auto& c : cases) {
    Write(c.file);
    EXPECT_EQ(ReadProfileString(path_, "CONFIG", c.key), c.expected) << c.file;
  }
}

TEST_F(IniFile, Utf16WithBomAndLongValues) {
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[CONFIG]\r\nImportLavoroDir=/srv/imp\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  Write(utf16);
  EXPECT_EQ(TParametri::GetImportLavoroDir(path_), "/srv/imp");

  Write("[CONFIG]\nImportLavoroDir=" + std::string(3000, 'a') + "\n");
  EXPECT_EQ(TParametri::GetImportLavoroDir(path_), std::string(2047, 'a'));
}

TEST_F(IniFile, EditsCountFromTheNextRead) {
  Write("[CONFIG]\nExportLavoroDir=/one\n");
  EXPECT_EQ(TParametri::GetExportLavoroDir(path_), "/one");
  Write("[CONFIG]\nExportLavoroDir=/two\n");
  EXPECT_EQ(TParametri::GetExportLavoroDir(path_), "/two");
  fs::remove(path_);
  EXPECT_EQ(TParametri::GetExportLavoroDir(path_), "");
}

TEST(Parametri, FileLiesBesideTheExecutable) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  ASSERT_GT(n, 0);
  std::string exe(buf, static_cast<size_t>(n));
  EXPECT_EQ(TParametri::GetIniFile(), exe.substr(0, exe.rfind('/') + 1) + "ParametrOstrivan.ini");
}

TEST_F(IniFile, SectionKeysInFileOrderWithDuplicatesAsTheyStand) {
  Write(
      "; comment\n[OTHER]\nPorta=1\n[config]\n porta = \"9000\" \nExportLavoroDir=/a\nColore=blu\n"
      "Porta=9001\nno equals sign\n[CONFIG]\nNr_Macchina=3\n");
  const auto keys = ostrivan::host::ReadProfileSection(path_, "CONFIG");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"porta", "9000"}, {"ExportLavoroDir", "/a"}, {"Colore", "blu"}, {"Porta", "9001"}};
  EXPECT_EQ(keys, expected);
  // The first of duplicate keys wins, as before.
  EXPECT_EQ(TParametri::GetPorta(path_), 9000);
  EXPECT_EQ(TParametri::GetNrMacchina(path_), 0);  // only the first [CONFIG] is read
  EXPECT_TRUE(ostrivan::host::ReadProfileSection(path_ + ".missing", "CONFIG").empty());
}

TEST_F(IniFile, ClientAmmessiIsReadLikeTheOtherKeys) {
  Write("[CONFIG]\nClientAmmessi = \"192.168.10.0/24, ::1\"\n");
  EXPECT_EQ(TParametri::GetClientAmmessi(path_), "192.168.10.0/24, ::1");
  Write("[CONFIG]\nPorta=1\n");
  EXPECT_EQ(TParametri::GetClientAmmessi(path_), "");
}
