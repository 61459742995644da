#pragma once
// The four JSON messages of the export and import endpoints. Properties are backed
// directly by fields; the class tables list them in the order the JSON keys appear.
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "common/base64.h"
#include "json/serializer_object.h"

namespace ostrivan::jobs {

// A payload's base64 as the workstation writes it: whatever is not in the alphabet is
// skipped, "=" included ("QQ==\r\n" -> "A").
inline std::string DecodeBase64(std::string_view text) {
  return ostrivan::DecodeBase64(text, Base64Decoding::kSkipOutsideAlphabet);
}
inline void DecodeBase64InPlace(std::string& text) {
  ostrivan::DecodeBase64InPlace(text, Base64Decoding::kSkipOutsideAlphabet);
}

enum class TModoGestionefile { mNonDefinito = 0, mNewen = 1, mRottler = 2 };

// Text of each mode: "", "NEWEN", "ROTTLER".
const std::string& ModoGestionefileText(TModoGestionefile mode);

// Body of POST /RizOzudo/ExportLavoro.
class TRizOzudoExportLavoroRequest : public json::TObject {
 public:
  std::string FCodiceCommessa;
  std::string FModoGestioneFile;

  // Exact, case-sensitive match of the text, last table entry first; else mNonDefinito.
  TModoGestionefile GetModoGestioneFile() const;
  void SetModoGestioneFile(TModoGestionefile mode);

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// Reply of the export endpoint.
class TRizOzudoExportLavoroResponse : public json::TObject {
 public:
  bool FErrore = false;
  std::string FMessaggio;
  std::string FNomeFile;
  std::string FStream;
  std::int32_t FNrMacchina = 0;

  // NomeFile = file-name part of file_name, Stream = base64 of its bytes.
  // Raises EFOpenError "Cannot open file "%s". %s".
  void LoadFile(const std::string& file_name);
  // The same from bytes already in memory: NomeFile = name, Stream = base64 of data.
  void SetPayload(const std::string& name, const void* data, std::size_t size);
  // Writes the decoded Stream to out; raises EWriteError "Stream write error".
  void SaveToStream(std::ostream& out) const;

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// Body of POST /RizOzudo/ImportLavoro.
class TRizOzudoImportLavoroRequest : public json::TObject {
 public:
  std::string FNomeFile;
  std::string FStream;

  void LoadFile(const std::string& file_name);
  void SaveToStream(std::ostream& out) const;
  // Creates (or truncates) file_name and writes the decoded Stream into it; returns the
  // number of bytes written. Raises as SaveArchive.
  std::size_t SaveFile(const std::string& file_name) const;
  // The decoded Stream, decoded where it lies and moved out: Stream is left empty.
  std::string TakeArchive();
  // Creates (or truncates) file_name and writes bytes into it; returns their number.
  // Raises EFCreateError "Cannot create file "%s". %s" or EWriteError "Stream write error"
  // (whose real cause, such as a full disk, goes to the log).
  static std::size_t SaveArchive(const std::string& file_name, std::string_view bytes);

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// Reply of the import endpoint.
class TRizOzudoImportLavoroResponse : public json::TObject {
 public:
  bool FErrore = false;
  std::string FMessaggio;

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

}  // namespace ostrivan::jobs
