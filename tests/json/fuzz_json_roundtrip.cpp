// Any bytes: the reader either refuses them with its exception or gives a document whose
// written text reads back, and from the second writing on the text no longer changes.
// The first writing may differ from what it reads back: the reader caps exponents at
// 308, so a subnormal the writer prints as 4e-309 reads back as 4e-308.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "json/json_data_objects.h"

using ostrivan::json::EJsonParserException;
using ostrivan::json::TJsonBaseObject;

namespace {

// Reads text the writer wrote: it must be accepted.
std::unique_ptr<TJsonBaseObject> ReadWritten(const std::string& text) {
  std::unique_ptr<TJsonBaseObject> document;
  try {
    document = TJsonBaseObject::Parse(text);
  } catch (const EJsonParserException&) {
    std::abort();  // written text must always read back
  }
  if (!document) std::abort();
  return document;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<TJsonBaseObject> document;
  try {
    document = TJsonBaseObject::Parse(text);
  } catch (const EJsonParserException&) {
    return 0;
  }
  if (!document) return 0;
  const std::string once = document->ToJSON();
  if (document->Clone()->ToJSON() != once) std::abort();
  const std::string twice = ReadWritten(once)->ToJSON();
  if (ReadWritten(twice)->ToJSON() != twice) std::abort();
  return 0;
}
