#include "web/mvc_attributes.h"

namespace ostrivan::web {

const char* HTTPMethodTypeName(TMVCHTTPMethodType method) {
  static constexpr const char* kNames[kHTTPMethodTypeCount] = {"httpGET",   "httpPOST", "httpPUT",     "httpDELETE",
                                                               "httpPATCH", "httpHEAD", "httpOPTIONS", "httpTRACE"};
  return method < kHTTPMethodTypeCount ? kNames[method] : "";
}

}  // namespace ostrivan::web
