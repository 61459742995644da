#include "web/system_controller.h"

#include "common/text.h"
#include "http/date_time.h"
#include "json/json_data_objects.h"
#include "platform/process.h"
#include "web/engine.h"
#include "web/string_utils.h"

namespace ostrivan::web {

using json::TJsonArray;
using json::TJsonDataValue;
using json::TJsonObject;
using json::TObject;

namespace {
const char* kAllMethods = "httpGET,httpPOST,httpPUT,httpDELETE,httpHEAD,httpOPTIONS,httpPATCH,httpTRACE";

std::string MethodsText(const TMVCHTTPMethods& methods) {
  if (methods.Empty()) return "any";
  std::string text;
  for (int m = 0; m < kHTTPMethodTypeCount; ++m) {
    auto method = static_cast<TMVCHTTPMethodType>(m);
    if (!methods.Contains(method)) continue;
    if (!text.empty()) text += ",";
    text += HTTPMethodTypeName(method);
  }
  return text;
}

const char* Architecture() {
  switch (platform::Architecture()) {
    case platform::TArchitecture::kX64: return "arIntelX64";
    case platform::TArchitecture::kArm64: return "arARM64";
    case platform::TArchitecture::kX86: return "arIntelX86";
    case platform::TArchitecture::kArm32: return "arARM32";
  }
  return "arARM32";
}
}  // namespace

const TMVCControllerClass& TMVCSystemController::ClassInfo() {
  static const TMVCControllerClass info{
      "TornioMVC.SysControllers",
      "TMVCSystemController",
      {MVCPath("/system"), MVCDoc("Built-in TornioMVC System Controller")},
      {
          {"DescribeServer",
           {MVCPath("/describeserver.info"), MVCHTTPMethods({httpGET}),
            MVCDoc("Describe controllers and actions published by the RESTful server per resources")},
           [](TMVCController& c) { static_cast<TMVCSystemController&>(c).DescribeServer(); }},
          {"DescribePlatform",
           {MVCPath("/describeplatform.info"), MVCHTTPMethods({httpGET}),
            MVCDoc("Describe the system where server is running")},
           [](TMVCController& c) { static_cast<TMVCSystemController&>(c).DescribePlatform(); }},
          {"ServerConfig",
           {MVCPath("/serverconfig.info"), MVCHTTPMethods({httpGET}), MVCDoc("Server configuration")},
           [](TMVCController& c) { static_cast<TMVCSystemController&>(c).ServerConfig(); }},
      },
      nullptr,
      [] { return std::unique_ptr<TMVCController>(std::make_unique<TMVCSystemController>()); }};
  return info;
}

bool IsLocalClientAddress(const std::string& address) {
  return address == "::1" || address == "127.0.0.1" || address == "0:0:0:0:0:0:0:1" || SameText(address, "localhost");
}

void TMVCSystemController::ActionStarting(TWebContext& context, const std::string& action_name, bool& handled) {
  TMVCController::ActionStarting(context, action_name, handled);
  // Both must be local: the client address (forwarding headers such as HTTP_CLIENT_IP
  // first), so a local relay does not open the description to a remote client, and the
  // connection's own peer, since those headers are written by the client and would let
  // any remote caller claim to be local.
  if (!IsLocalClientAddress(context.Request().RawWebRequest().RemoteIP()) ||
      !IsLocalClientAddress(context.Request().ClientIp())) {
    handled = true;
    SetStatusCode(403);
  }
}

void TMVCSystemController::DescribeServer() {
  TJsonObject document;
  for (const auto& delegate : Engine().Controllers()) {
    const TMVCControllerClass& clazz = *delegate->Clazz;
    // One member per registration, so a class registered twice is described twice
    // rather than having its actions merged into one list.
    auto entry_object = std::make_unique<TJsonObject>();
    TJsonObject& entry = *entry_object;
    for (const auto& attribute : clazz.attributes) {
      if (attribute.kind == TMVCAttributeKind::Path) {
        entry.SetString("resource_path", attribute.value);
      } else if (attribute.kind == TMVCAttributeKind::Doc) {
        entry.SetString("description", attribute.value);
      }
    }
    // A registration's own segment replaces the declared path where it stands.
    if (!delegate->URLSegment.empty()) entry.SetString("resource_path", delegate->URLSegment);
    TJsonArray& actions = entry.EnsureArray("actions");
    clazz.ForEachAction([&](const TMVCActionDescriptor& action) {
      if (action.attributes.empty()) return;
      std::string path, consumes, produces, methods = kAllMethods, description;
      for (const auto& attribute : action.attributes) {
        switch (attribute.kind) {
          case TMVCAttributeKind::Path: path = attribute.value; break;
          case TMVCAttributeKind::Consumes: consumes = attribute.value; break;
          case TMVCAttributeKind::Produces: produces = attribute.value; break;
          case TMVCAttributeKind::HTTPMethods: methods = MethodsText(attribute.methods); break;
          case TMVCAttributeKind::Doc: description = attribute.value; break;
        }
      }
      TJsonObject& item = actions.AddObject();
      item.SetString("action_name", action.name);
      item.SetString("relative_path", path);
      item.SetString("consumes", consumes);
      item.SetString("produces", produces);
      item.SetString("http_methods", methods);
      item.SetString("description", description);
    });
    document.AddMember(clazz.QualifiedClassName(), TJsonDataValue::Object(std::move(entry_object)));
  }
  SetContentType("application/json");
  TMVCRenderer::Render(static_cast<const TObject&>(document));
}

void TMVCSystemController::DescribePlatform() {
  TJsonObject document;
  document.SetString("OS", platform::OsDescription());
  document.SetInt("CPU_count", static_cast<std::int32_t>(platform::ProcessorCount()));
  document.SetString("CPU_architecture", Architecture());
  document.SetUtcDateTime("system_time", http::LocalToUTC(http::NowLocal()));
  SetContentType("application/json");
  TMVCRenderer::Render(static_cast<const TObject&>(document));
}

void TMVCSystemController::ServerConfig() {
  TJsonObject document;
  for (const auto& key : Config().Keys()) document.SetString(key, Config().GetValue(key));
  SetContentType("application/json");
  TMVCRenderer::Render(static_cast<const TObject&>(document));
}

}  // namespace ostrivan::web
