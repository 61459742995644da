#include "web/html_serializer.h"

#include "common/text.h"
#include "web/mvc_exceptions.h"

namespace ostrivan::web {

using json::TObject;

namespace {
constexpr const char* kStyle =
    "body{\t\tfont-family: Arial, Helvetica, sans-serif;\t\tfont-size: 200%;\t}\t.info, .success, .warning, "
    ".error, .validation {\t\tborder: 1px solid;\t\tmargin: 10px 0px;\t\tpadding: 15px 10px 15px 25px;\t\t"
    "background-repeat: no-repeat;\t\tbackground-position: 10px center;\t}\t.info {\t\tcolor: #00529B;\t\t"
    "background-color: #BDE5F8;\t\tfont-size: 50%;\t}\t.success {\t\tcolor: #4F8A10;\t\tbackground-color: "
    "#DFF2BF;\t}\t.warning {\t\tcolor: #9F6000;\t\tbackground-color: #FEEFB3;\t\tfont-size: 70%;\t}\t.error{\t\t"
    "color: #D8000C;\t\tbackground-color: #FFBABA;\t}.container {max-width: 1000px; margin: auto; margin-top: "
    "3rem;}";
}  // namespace

std::string ErrorHTMLPage(const std::string& server_name, const TMVCErrorResponse& error) {
  std::string page = "<!DOCTYPE html><html><head><title>TornioMVC Exception</title><style>";
  page += kStyle;
  page += "</style></head><body><div class=\"container\">";
  page += "<h1>" + server_name + "</h1>";
  page += "<div class=\"error\"><p>HTTP " + std::to_string(error.FStatusCode) + "</p><p>" + HtmlEscape(error.FMessage) +
          "</p></div>\r\n";
  page += "<div class=\"warning\">Exception Class Name: " + HtmlEscape(error.FClassname) + "</div>\r\n";
  page += "<div class=\"info\"><p>" + HtmlEscape(error.FDetailedMessage) +
          "</p>\r\n<p>Application Error Code: " + std::to_string(error.FAppErrorCode) +
          "</p>\r\n<p>Error Items: <ul>\r\n";
  for (std::size_t i = 0; error.FItems && i < error.FItems->Count(); ++i) {
    const TMVCErrorResponseItem* item = (*error.FItems)[i];
    page += "<li>" + HtmlEscape(item != nullptr ? item->Fmessage : std::string()) + "</li>";
  }
  page += "<ul></p></div></div></body></html>";
  return page;
}

std::string TMVCHTMLSerializer::SerializeObject(const TObject* object, TMVCSerializationType,
                                                const std::vector<std::string>&, const TMVCSerializationAction&) {
  if (const auto* error = dynamic_cast<const TMVCErrorResponse*>(object)) {
    return ErrorHTMLPage(config_.GetValue(config_keys::kServerName), *error);
  }
  throw EMVCException("Not Implemented");
}

void TMVCHTMLSerializer::DeserializeObject(std::string_view, TObject*, TMVCSerializationType,
                                           const std::vector<std::string>&, std::string_view) {
  throw EMVCException("Not Implemented");
}

void TMVCHTMLSerializer::RegisterTypeSerializer(std::type_index, const std::string&,
                                                std::shared_ptr<IMVCTypeSerializer>) {
  throw EMVCException("Not Implemented");
}

}  // namespace ostrivan::web
