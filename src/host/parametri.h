#pragma once
// Settings of the service from ParametrOstrivan.ini beside the executable. Nothing is
// cached: every read opens the file anew, so edits count from the next read.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrivan::host {

// A setting as the service takes it: the value in force, where it came from, and what
// needs saying about it (a value the file gives that is no number, say).
template <class T>
struct TSettingRead {
  T Value{};
  bool FromFile = false;  // false: the default
  bool Given = false;     // the key is in the file, usable or not
  std::string Written;    // its text there, as read
  std::string Note;
};

class TParametri {
 public:
  // The port listened on when the parameter file gives no number.
  static constexpr uint16_t kDefaultPorta = 8080;
  // The machine number when the parameter file gives no number.
  static constexpr int32_t kDefaultNrMacchina = 0;

  static std::string GetIniFile();
  static uint16_t GetPorta();               // default kDefaultPorta
  static std::string GetExportLavoroDir();  // default empty
  static std::string GetImportLavoroDir();  // default empty
  static int32_t GetNrMacchina();           // default kDefaultNrMacchina
  static std::string GetClientAmmessi();    // default empty: every address may call
  // Seconds a file must have been quiet to count as no longer written, where neither a
  // lease nor the export folder's watch can tell; default 2, at most kMaxSettleSeconds.
  static int32_t GetAttesaScrittura();
  static constexpr int32_t kDefaultSettleSeconds = 2;
  static constexpr int32_t kMaxSettleSeconds = 3600;
  // Seconds an export sent to a client that asked to acknowledge it stays held waiting
  // for that; default 600, from 1 to kMaxAckWaitSeconds.
  static int32_t GetAttesaConferma();
  static constexpr int32_t kDefaultAckWaitSeconds = 600;
  static constexpr int32_t kMaxAckWaitSeconds = 86400;
  // Archives "sent" and "received" keep each, newest first: how many, and in how many
  // megabytes; defaults 20 and 200.
  static int32_t GetTenutiNumero();
  static int32_t GetTenutiMB();
  static constexpr int32_t kDefaultKeepCount = 20;
  static constexpr int32_t kMaxKeepCount = 100000;
  static constexpr int32_t kDefaultKeepMegabytes = 200;
  static constexpr int32_t kMaxKeepMegabytes = 1000000;

  // Porta and Nr_Macchina with their source and note: the one place their defaults and
  // the reading of a value are decided. The port is the low 16 bits of the number
  // written (70000 gives 4464).
  static TSettingRead<uint16_t> ReadPorta(const std::string& ini_file);
  static TSettingRead<int32_t> ReadNrMacchina(const std::string& ini_file);

  // The same reads against an explicit file, for callers that know the path.
  static uint16_t GetPorta(const std::string& ini_file);
  static std::string GetExportLavoroDir(const std::string& ini_file);
  static std::string GetImportLavoroDir(const std::string& ini_file);
  static int32_t GetNrMacchina(const std::string& ini_file);
  static std::string GetClientAmmessi(const std::string& ini_file);
  static int32_t GetAttesaScrittura(const std::string& ini_file);
  static int32_t GetAttesaConferma(const std::string& ini_file);
  static int32_t GetTenutiNumero(const std::string& ini_file);
  static int32_t GetTenutiMB(const std::string& ini_file);
};

// Reads one value of an INI-style file the way the workstation's profile reader does:
// section and key without regard to case, value trimmed of blanks and of one pair of
// enclosing quotes, at most 2047 characters, ';' lines are comments, the first of
// duplicate keys wins. UTF-8 (BOM optional), UTF-16LE with BOM, else Latin-1.
// Missing file, section or key give the empty text.
std::string ReadProfileString(const std::string& file, const std::string& section, const std::string& key);

// Every key=value of the section's first occurrence, in file order and as written
// (duplicates included: ReadProfileString takes the first), values read as above.
std::vector<std::pair<std::string, std::string>> ReadProfileSection(const std::string& file,
                                                                    const std::string& section);

// Whole-text integer: leading spaces, optional sign, decimal or hexadecimal introduced
// by '$', 'x', 'X', "0x" or "0X" (a 32-bit pattern, so $FFFFFFFF is -1), nothing after.
std::optional<int32_t> ParseInteger(const std::string& text);

}  // namespace ostrivan::host
