// Any bytes: the reader either refuses them with its exception or gives a document whose
// written text reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/json_data_objects.h"

using ostrivan::web::EJsonParserException;
using ostrivan::web::TJsonBaseObject;

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
  std::unique_ptr<TJsonBaseObject> again;
  try {
    again = TJsonBaseObject::Parse(once);
  } catch (const EJsonParserException&) {
    std::abort();  // written text must always read back
  }
  if (!again || again->ToJSON() != once) std::abort();
  if (document->Clone()->ToJSON() != once) std::abort();
  return 0;
}
