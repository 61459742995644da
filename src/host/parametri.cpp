#include "host/parametri.h"

#include <algorithm>
#include <sstream>
#include <string_view>

#include "common/file_system.h"
#include "common/numbers.h"
#include "common/text.h"

namespace ostrivan::host {
namespace {

constexpr const char* kIniName = "ParametrOstrivan.ini";
constexpr const char* kSection = "CONFIG";
// The workstation's reader returns at most this many characters of a value.
constexpr size_t kMaxValueUnits = 2047;

// The file as UTF-8 text, whatever encoding it was written in.
std::string DecodeFile(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
    return Utf16ToUtf8(std::string_view(bytes).substr(2), ByteOrder::kLittleEndian, Utf16OddByte::kDropped);
  std::string_view text(bytes);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  // Valid UTF-8 reads back unchanged; anything else is taken as Latin-1.
  if (IsValidUtf8(text)) return std::string(text);
  return Latin1ToUtf8(text);
}

}  // namespace

namespace {

// Each key=value line of the first section of that name, in file order, value trimmed
// of blanks and one pair of quotes; visit returns false to stop.
template <class Visit>
void ForEachProfileKey(const std::string& file, const std::string& section, Visit visit) {
  std::string bytes;
  if (!TryReadWholeFile(file, bytes)) return;  // unreadable: the defaults
  std::istringstream text(DecodeFile(bytes));
  std::string line;
  bool in_section = false;
  bool section_seen = false;
  while (std::getline(text, line)) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      std::string name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      // Only the first section of that name is searched.
      if (in_section) break;
      in_section = !section_seen && SameText(name, section);
      section_seen = section_seen || in_section;
      continue;
    }
    if (!in_section) continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (!visit(Trim(t.substr(0, eq)), std::string(TruncateUtf16(value, kMaxValueUnits)))) return;
  }
}

}  // namespace

std::string ReadProfileString(const std::string& file, const std::string& section, const std::string& key) {
  std::string found;
  ForEachProfileKey(file, section, [&](const std::string& name, std::string value) {
    if (!SameText(name, key)) return true;
    found = std::move(value);
    return false;
  });
  return found;
}

namespace {

// The first value of key in the section, absent when the key is not there.
std::optional<std::string> FindProfileValue(const std::string& file, const std::string& section,
                                            const std::string& key) {
  std::optional<std::string> found;
  ForEachProfileKey(file, section, [&](const std::string& name, std::string value) {
    if (!SameText(name, key)) return true;
    found = std::move(value);
    return false;
  });
  return found;
}

// An integer setting: the file's number when it gives one, else the default.
TSettingRead<int32_t> ReadIntegerSetting(const std::string& file, const char* key, int32_t fallback) {
  TSettingRead<int32_t> read;
  read.Value = fallback;
  const std::optional<std::string> written = FindProfileValue(file, kSection, key);
  if (!written) return read;
  read.Given = true;
  read.Written = *written;
  if (const auto number = ParseInteger(*written)) {
    read.Value = *number;
    read.FromFile = true;
  } else {
    read.Note = "\"" + *written + "\" is not a number";
  }
  return read;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& file,
                                                                    const std::string& section) {
  std::vector<std::pair<std::string, std::string>> keys;
  ForEachProfileKey(file, section, [&](const std::string& name, std::string value) {
    keys.emplace_back(name, std::move(value));
    return true;
  });
  return keys;
}

std::optional<int32_t> ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  const std::string_view digits = std::string_view(text).substr(i);
  // A hexadecimal number has at most eight digits, leading zeros counted.
  if (hex && digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  if (!ParseNumber(digits, value, hex ? 16 : 10)) return std::nullopt;
  if (hex) {
    // A 32-bit pattern: $FFFFFFFF is -1.
    uint32_t pattern = value;
    if (negative) pattern = 0u - pattern;
    return static_cast<int32_t>(pattern);
  }
  if (negative) {
    if (value > 2147483648ull) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(value));
  }
  if (value > 2147483647ull) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string TParametri::GetIniFile() { return ExecutableDirectory() + kIniName; }

TSettingRead<uint16_t> TParametri::ReadPorta(const std::string& ini_file) {
  const TSettingRead<int32_t> number = ReadIntegerSetting(ini_file, "Porta", kDefaultPorta);
  // The port is the low 16 bits of whatever number was written: 70000 gives 4464.
  return {static_cast<uint16_t>(static_cast<uint32_t>(number.Value) & 0xFFFFu), number.FromFile, number.Given,
          number.Written, number.Note};
}
TSettingRead<int32_t> TParametri::ReadNrMacchina(const std::string& ini_file) {
  return ReadIntegerSetting(ini_file, "Nr_Macchina", kDefaultNrMacchina);
}

uint16_t TParametri::GetPorta(const std::string& ini_file) { return ReadPorta(ini_file).Value; }
std::string TParametri::GetExportLavoroDir(const std::string& ini_file) {
  return ReadProfileString(ini_file, kSection, "ExportLavoroDir");
}
std::string TParametri::GetImportLavoroDir(const std::string& ini_file) {
  return ReadProfileString(ini_file, kSection, "ImportLavoroDir");
}
int32_t TParametri::GetNrMacchina(const std::string& ini_file) { return ReadNrMacchina(ini_file).Value; }
std::string TParametri::GetClientAmmessi(const std::string& ini_file) {
  return ReadProfileString(ini_file, kSection, "ClientAmmessi");
}
int32_t TParametri::GetAttesaScrittura(const std::string& ini_file) {
  const auto v = ParseInteger(ReadProfileString(ini_file, kSection, "AttesaScrittura"));
  return v && *v >= 0 && *v <= kMaxSettleSeconds ? *v : kDefaultSettleSeconds;
}
int32_t TParametri::GetAttesaConferma(const std::string& ini_file) {
  const auto v = ParseInteger(ReadProfileString(ini_file, kSection, "AttesaConferma"));
  return v && *v >= 1 && *v <= kMaxAckWaitSeconds ? *v : kDefaultAckWaitSeconds;
}
int32_t TParametri::GetTenutiNumero(const std::string& ini_file) {
  const auto v = ParseInteger(ReadProfileString(ini_file, kSection, "TenutiNumero"));
  return v && *v >= 1 && *v <= kMaxKeepCount ? *v : kDefaultKeepCount;
}
int32_t TParametri::GetTenutiMB(const std::string& ini_file) {
  const auto v = ParseInteger(ReadProfileString(ini_file, kSection, "TenutiMB"));
  return v && *v >= 1 && *v <= kMaxKeepMegabytes ? *v : kDefaultKeepMegabytes;
}

uint16_t TParametri::GetPorta() { return GetPorta(GetIniFile()); }
std::string TParametri::GetExportLavoroDir() { return GetExportLavoroDir(GetIniFile()); }
std::string TParametri::GetImportLavoroDir() { return GetImportLavoroDir(GetIniFile()); }
int32_t TParametri::GetNrMacchina() { return GetNrMacchina(GetIniFile()); }
std::string TParametri::GetClientAmmessi() { return GetClientAmmessi(GetIniFile()); }
int32_t TParametri::GetAttesaScrittura() { return GetAttesaScrittura(GetIniFile()); }
int32_t TParametri::GetAttesaConferma() { return GetAttesaConferma(GetIniFile()); }
int32_t TParametri::GetTenutiNumero() { return GetTenutiNumero(GetIniFile()); }
int32_t TParametri::GetTenutiMB() { return GetTenutiMB(GetIniFile()); }

}  // namespace ostrivan::host
