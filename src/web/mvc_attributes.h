#pragma once
// Route declarations. Controllers describe their class paths and actions with these
// in a static table next to the class (there is no run-time attribute reflection).
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace ostrivan::web {

enum TMVCHTTPMethodType : std::uint8_t {
  httpGET = 0,
  httpPOST = 1,
  httpPUT = 2,
  httpDELETE = 3,
  httpPATCH = 4,
  httpHEAD = 5,
  httpOPTIONS = 6,
  httpTRACE = 7,
};

inline constexpr int kHTTPMethodTypeCount = 8;
const char* HTTPMethodTypeName(TMVCHTTPMethodType method);  // "httpGET", ...

// A set of HTTP methods, one bit per ordinal.
class TMVCHTTPMethods {
 public:
  constexpr TMVCHTTPMethods() = default;
  constexpr TMVCHTTPMethods(std::initializer_list<TMVCHTTPMethodType> methods) {
    for (auto m : methods) bits_ |= static_cast<std::uint8_t>(1u << m);
  }
  constexpr bool Contains(TMVCHTTPMethodType m) const { return (bits_ >> m) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }

 private:
  std::uint8_t bits_ = 0;
};

enum class TMVCAttributeKind { Path, HTTPMethods, Produces, Consumes, Doc };

// One declaration on a controller class or action. `value` is the path, media type or
// description; `charset` is used by Produces; `methods` by HTTPMethods.
struct TMVCAttribute {
  TMVCAttributeKind kind;
  std::string value;
  std::string charset;
  TMVCHTTPMethods methods;
};

inline TMVCAttribute MVCPath(std::string path) { return {TMVCAttributeKind::Path, std::move(path), {}, {}}; }
inline TMVCAttribute MVCHTTPMethods(TMVCHTTPMethods methods) {
  return {TMVCAttributeKind::HTTPMethods, {}, {}, methods};
}
inline TMVCAttribute MVCProduces(std::string media_type, std::string charset = "UTF-8") {
  return {TMVCAttributeKind::Produces, std::move(media_type), std::move(charset), {}};
}
inline TMVCAttribute MVCConsumes(std::string media_type) {
  return {TMVCAttributeKind::Consumes, std::move(media_type), {}, {}};
}
inline TMVCAttribute MVCDoc(std::string text) { return {TMVCAttributeKind::Doc, std::move(text), {}, {}}; }

}  // namespace ostrivan::web
