// Any request body read into an import request: either a mapping failure with a status,
// or a filled request whose payload decodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/base64.h"
#include "jobs/riz_ozudo_messages.h"
#include "web/serializer_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  static ostrivan::web::TMVCJsonSerializer serializer;
  ostrivan::jobs::TRizOzudoImportLavoroRequest request;
  try {
    serializer.DeserializeObject(body, &request);
  } catch (const ostrivan::web::EMVCException& e) {
    if (e.HttpErrorCode() != 400 && e.HttpErrorCode() != 500) std::abort();
    return 0;
  }
  const std::string bytes = ostrivan::jobs::DecodeBase64(request.FStream);
  if (bytes.size() > request.FStream.size()) std::abort();
  // Encoding what was decoded and decoding again is stable.
  if (ostrivan::jobs::DecodeBase64(ostrivan::EncodeBase64(bytes)) != bytes) std::abort();
  return 0;
}
