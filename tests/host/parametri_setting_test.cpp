#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/config_check.h"
#include "host/parametri.h"
#include "platform/process.h"

namespace fs = std::filesystem;
using ostrivan::host::CheckConfiguration;
using ostrivan::host::PrintConfigReport;
using ostrivan::host::TParametri;

namespace {

class SettingRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ostrivan-setting-" + std::to_string(ostrivan::platform::ProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "ParametrOstrivan.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  // The line --check prints for key.
  std::string CheckLine(const std::string& key) {
    std::ostringstream out;
    (void)PrintConfigReport(CheckConfiguration(path_, false), out);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("  " + key + " ", 0) == 0) return line.substr(line.find(" = "));
    return "(no line for " + key + ")";
  }
  fs::path dir_;
  std::string path_;
};

}  // namespace

TEST_F(SettingRead, PortaWithItsSourceAndNote) {
  struct Case {
    const char* file;  // nullptr: no parameter file
    uint16_t value;
    bool from_file;
    bool given;
    const char* note;
    const char* check;  // what --check prints after the key
  };
  const Case cases[] = {
      {nullptr, 8080, false, false, "", " = 8080  (default)"},
      {"[CONFIG]\nNr_Macchina=3\n", 8080, false, false, "", " = 8080  (default)"},
      {"[CONFIG]\nPorta=9000\n", 9000, true, true, "", " = 9000  (file)"},
      {"[CONFIG]\nPorta=70000\n", 4464, true, true, "", " = 4464  (file)"},
      {"[CONFIG]\nPorta=abc\n", 8080, false, true, "\"abc\" is not a number",
       " = 8080  (default: \"abc\" is not a number)"},
      {"[CONFIG]\nPorta=\n", 8080, false, true, "\"\" is not a number", " = 8080  (default: \"\" is not a number)"},
      {"[CONFIG]\nporta = \"9001\"\nPorta=9002\n", 9001, true, true, "", " = 9001  (file)"},
      {"[OTHER]\nPorta=9003\n", 8080, false, false, "", " = 8080  (default)"},
  };
  for (const Case& c : cases) {
    fs::remove(path_);
    if (c.file) Write(c.file);
    const auto read = TParametri::ReadPorta(path_);
    const std::string label = c.file ? c.file : "(no file)";
    EXPECT_EQ(read.Value, c.value) << label;
    EXPECT_EQ(read.FromFile, c.from_file) << label;
    EXPECT_EQ(read.Given, c.given) << label;
    EXPECT_EQ(read.Note, c.note) << label;
    EXPECT_EQ(TParametri::GetPorta(path_), c.value) << label;
    EXPECT_EQ(CheckLine("Porta"), c.check) << label;
  }
  EXPECT_EQ(TParametri::kDefaultPorta, 8080);
}

TEST_F(SettingRead, MachineNumberWithItsSourceAndNote) {
  struct Case {
    const char* file;
    int32_t value;
    bool from_file;
    const char* note;
    const char* check;
  };
  const Case cases[] = {
      {nullptr, 0, false, "", " = 0  (default)"},
      {"[CONFIG]\nNr_Macchina=12\n", 12, true, "", " = 12  (file)"},
      {"[CONFIG]\nNr_Macchina=$FFFFFFFF\n", -1, true, "", " = -1  (file)"},
      {"[CONFIG]\nNr_Macchina=dodici\n", 0, false, "\"dodici\" is not a number",
       " = 0  (default: \"dodici\" is not a number)"},
  };
  for (const Case& c : cases) {
    fs::remove(path_);
    if (c.file) Write(c.file);
    const auto read = TParametri::ReadNrMacchina(path_);
    const std::string label = c.file ? c.file : "(no file)";
    EXPECT_EQ(read.Value, c.value) << label;
    EXPECT_EQ(read.FromFile, c.from_file) << label;
    EXPECT_EQ(read.Note, c.note) << label;
    EXPECT_EQ(TParametri::GetNrMacchina(path_), c.value) << label;
    EXPECT_EQ(CheckLine("Nr_Macchina"), c.check) << label;
  }
}

TEST_F(SettingRead, CheckWarnsOfAValueThatIsNoNumber) {
  Write("[CONFIG]\nPorta=abc\nNr_Macchina=x\n");
  const auto report = CheckConfiguration(path_, false);
  EXPECT_EQ(report.Port, 8080);
  bool porta = false, machine = false;
  for (const std::string& w : report.Warnings) {
    porta = porta || w == "Porta \"abc\" is not a number: the default 8080 is used";
    machine = machine || w == "Nr_Macchina \"x\" is not a number: the default 0 is used";
  }
  EXPECT_TRUE(porta);
  EXPECT_TRUE(machine);
}
