#include "jobs/riz_ozudo_messages.h"

#include <array>

#include "common/error.h"
#include "common/file_system.h"
#include "common/paths.h"
#include "logging/framework_log.h"

namespace ostrivan::jobs {

using json::MVCProperty;
using json::TMVCClassInfo;

namespace {

const std::array<std::string, 3>& ModeTexts() {
  static const std::array<std::string, 3> texts{"", "NEWEN", "ROTTLER"};
  return texts;
}

void LoadPayload(const std::string& file_name, std::string& nome_file, std::string& stream) {
  nome_file = FileNameOf(file_name);
  stream = EncodeBase64(ReadWholeFile(file_name));
}

void WritePayload(const std::string& stream, std::ostream& out) {
  const std::string bytes = DecodeBase64(stream);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw EWriteError("Stream write error");
}

}  // namespace

const std::string& ModoGestionefileText(TModoGestionefile mode) {
  const auto index = static_cast<std::size_t>(mode);
  return ModeTexts().at(index < ModeTexts().size() ? index : 0);
}

TModoGestionefile TRizOzudoExportLavoroRequest::GetModoGestioneFile() const {
  const auto& texts = ModeTexts();
  for (std::size_t i = texts.size(); i-- > 0;) {
    if (texts[i] == FModoGestioneFile) return static_cast<TModoGestionefile>(i);
  }
  return TModoGestionefile::mNonDefinito;
}

void TRizOzudoExportLavoroRequest::SetModoGestioneFile(TModoGestionefile mode) {
  FModoGestioneFile = ModoGestionefileText(mode);
}

const TMVCClassInfo& TRizOzudoExportLavoroRequest::StaticClassInfo() {
  using T = TRizOzudoExportLavoroRequest;
  static const TMVCClassInfo info = TMVCClassInfo::Make<T>(
      "TRizOzudoExportLavoroRequest", nullptr,
      {MVCProperty("CodiceCommessa", &T::FCodiceCommessa), MVCProperty("ModoGestioneFile", &T::FModoGestioneFile)});
  return info;
}

void TRizOzudoExportLavoroResponse::LoadFile(const std::string& file_name) {
  LoadPayload(file_name, FNomeFile, FStream);
}

void TRizOzudoExportLavoroResponse::SetPayload(const std::string& name, const void* data, std::size_t size) {
  FNomeFile = name;
  FStream = EncodeBase64(data, size);
}

void TRizOzudoExportLavoroResponse::SaveToStream(std::ostream& out) const { WritePayload(FStream, out); }

const TMVCClassInfo& TRizOzudoExportLavoroResponse::StaticClassInfo() {
  using T = TRizOzudoExportLavoroResponse;
  static const TMVCClassInfo info =
      TMVCClassInfo::Make<T>("TRizOzudoExportLavoroResponse", nullptr,
                             {MVCProperty("Errore", &T::FErrore), MVCProperty("Messaggio", &T::FMessaggio),
                              MVCProperty("NomeFile", &T::FNomeFile), MVCProperty("Stream", &T::FStream),
                              MVCProperty("NrMacchina", &T::FNrMacchina)});
  return info;
}

void TRizOzudoImportLavoroRequest::LoadFile(const std::string& file_name) {
  LoadPayload(file_name, FNomeFile, FStream);
}

void TRizOzudoImportLavoroRequest::SaveToStream(std::ostream& out) const { WritePayload(FStream, out); }

std::size_t TRizOzudoImportLavoroRequest::SaveFile(const std::string& file_name) const {
  return SaveArchive(file_name, DecodeBase64(FStream));
}

std::string TRizOzudoImportLavoroRequest::TakeArchive() {
  DecodeBase64InPlace(FStream);
  return std::move(FStream);
}

std::size_t TRizOzudoImportLavoroRequest::SaveArchive(const std::string& file_name, std::string_view bytes) {
  const auto write_failed = [&](int code) {
    logging::FrameworkLogError("Cannot write \"" + file_name + "\": " + SysErrorMessageText(code));
    return EWriteError(kStreamWriteError, file_name, code);
  };
  // A read-only job file (owner write bit clear) is never replaced, also when the service
  // runs as root, whom the permission check alone would let write it.
  if (IsReadOnlyFile(file_name)) {
    throw CannotCreateFile(file_name, EACCES);
  }
  TWriteStep failed = TWriteStep::kCreate;
  const TStatus written = TryWriteWholeFile(file_name, bytes, TWriteOptions{}, failed);
  if (written) return bytes.size();
  if (failed == TWriteStep::kCreate) throw CannotCreateFile(file_name, written.Code());
  throw write_failed(written.Code());
}

const TMVCClassInfo& TRizOzudoImportLavoroRequest::StaticClassInfo() {
  using T = TRizOzudoImportLavoroRequest;
  static const TMVCClassInfo info =
      TMVCClassInfo::Make<T>("TRizOzudoImportLavoroRequest", nullptr,
                             {MVCProperty("NomeFile", &T::FNomeFile), MVCProperty("Stream", &T::FStream)});
  return info;
}

const TMVCClassInfo& TRizOzudoImportLavoroResponse::StaticClassInfo() {
  using T = TRizOzudoImportLavoroResponse;
  static const TMVCClassInfo info =
      TMVCClassInfo::Make<T>("TRizOzudoImportLavoroResponse", nullptr,
                             {MVCProperty("Errore", &T::FErrore), MVCProperty("Messaggio", &T::FMessaggio)});
  return info;
}

}  // namespace ostrivan::jobs
