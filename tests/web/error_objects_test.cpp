// The error objects as the mapping writes and reads them, the HTML error page, and the
// error guard's classification of failures.
#include <gtest/gtest.h>

#include <stdexcept>

#include "json/json_data_objects.h"
#include "web/error_guard.h"
#include "web/html_serializer.h"
#include "web/mvc_config.h"
#include "web/mvc_exceptions.h"
#include "web/mvc_response.h"
#include "web/serializer_json.h"

namespace ostrivan::web {

using json::TJsonObject;
using json::TObject;
namespace {

TMVCErrorResponse MakeError(std::int32_t status, std::string reason, std::string message, std::string class_name,
                            std::string detail, std::int32_t code, std::vector<std::string> items) {
  TMVCErrorResponse error;
  error.FStatusCode = status;
  error.FReasonString = std::move(reason);
  error.FMessage = std::move(message);
  error.FClassname = std::move(class_name);
  error.FDetailedMessage = std::move(detail);
  error.FAppErrorCode = code;
  for (auto& item : items) error.AddItem(std::move(item));
  return error;
}

TEST(ErrorResponseJson, KeysLowerCaseOwnMembersBeforeInheritedOnes) {
  struct Case {
    const char* name;
    TMVCErrorResponse error;
    const char* json;
  };
  Case cases[] = {
      {"fresh object", TMVCErrorResponse(),
       R"({"classname":"","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":0,"reasonstring":"",)"
       R"("message":"","data":null})"},
      {"empty body", MakeError(400, "error", "Invalid body", "EMVCException", "", 0, {}),
       R"({"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],"statuscode":400,)"
       R"("reasonstring":"error","message":"Invalid body","data":null})"},
      {"items, code, detail and escapes",
       MakeError(409, "error", "Body ContentType \"text/plain\" not supported", "EMVCDeserializationException",
                 "line1\r\nline2", -7, {"first", "sec\"ond", ""}),
       R"({"classname":"EMVCDeserializationException","detailedmessage":"line1\r\nline2","apperrorcode":-7,)"
       R"("items":[{"message":"first"},{"message":"sec\"ond"},{"message":""}],"statuscode":409,)"
       R"("reasonstring":"error","message":"Body ContentType \"text/plain\" not supported","data":null})"},
  };
  TMVCJsonSerializer serializer;
  for (auto& c : cases) {
    for (auto mode : {TMVCSerializationType::stProperties, TMVCSerializationType::stDefault}) {
      EXPECT_EQ(serializer.SerializeObject(&c.error, mode), c.json) << c.name;
    }
  }
}

TEST(ErrorResponseJson, PlainResponseHasOnlyTheInheritedMembers) {
  TMVCJsonSerializer serializer;
  TMVCResponse response(201, "Created", "made \u00e8");
  EXPECT_EQ(serializer.SerializeObject(&response, TMVCSerializationType::stProperties),
            "{\"statuscode\":201,\"reasonstring\":\"Created\",\"message\":\"made \u00e8\",\"data\":null}");
}

TEST(ErrorResponseJson, ReadsBackThroughTheListElementClass) {
  TMVCJsonSerializer serializer;
  TMVCErrorResponse error;
  error.AddItem("kept");
  serializer.DeserializeObject(
      R"({"classname":"EX","DetailedMessage":"ignored: keys are lower case","apperrorcode":3,)"
      R"("items":[{"message":"a"},{"message":"b"}],"statuscode":404,"message":"m","data":{"x":1}})",
      &error);
  EXPECT_EQ(error.FClassname, "EX");
  EXPECT_EQ(error.FDetailedMessage, "");
  EXPECT_EQ(error.FAppErrorCode, 3);
  EXPECT_EQ(error.FStatusCode, 404);
  EXPECT_EQ(error.FMessage, "m");
  EXPECT_EQ(error.FData, nullptr);
  ASSERT_EQ(error.FItems->Count(), 3u);  // appended, the list is not cleared
  EXPECT_EQ((*error.FItems)[0]->Fmessage, "kept");
  EXPECT_EQ((*error.FItems)[1]->Fmessage, "a");
  EXPECT_EQ((*error.FItems)[2]->Fmessage, "b");
  // Written again, the object gives the same text it was read from, plus the kept item.
  EXPECT_EQ(serializer.SerializeObject(&error, TMVCSerializationType::stProperties),
            R"({"classname":"EX","detailedmessage":"","apperrorcode":3,"items":[{"message":"kept"},)"
            R"({"message":"a"},{"message":"b"}],"statuscode":404,"reasonstring":"","message":"m","data":null})");
}

// The page the HTML serializer writes, spelled out piece by piece.
std::string ExpectedPage(const std::string& h1, const std::string& status, const std::string& message,
                         const std::string& class_name, const std::string& detail, const std::string& code,
                         const std::string& items) {
  const std::string style =
      "body{\t\tfont-family: Arial, Helvetica, sans-serif;\t\tfont-size: 200%;\t}\t"
      ".info, .success, .warning, .error, .validation {\t\tborder: 1px solid;\t\tmargin: 10px 0px;\t\t"
      "padding: 15px 10px 15px 25px;\t\tbackground-repeat: no-repeat;\t\tbackground-position: 10px center;\t}\t"
      ".info {\t\tcolor: #00529B;\t\tbackground-color: #BDE5F8;\t\tfont-size: 50%;\t}\t"
      ".success {\t\tcolor: #4F8A10;\t\tbackground-color: #DFF2BF;\t}\t"
      ".warning {\t\tcolor: #9F6000;\t\tbackground-color: #FEEFB3;\t\tfont-size: 70%;\t}\t"
      ".error{\t\tcolor: #D8000C;\t\tbackground-color: #FFBABA;\t}"
      ".container {max-width: 1000px; margin: auto; margin-top: 3rem;}";
  return "<!DOCTYPE html><html><head><title>TornioMVC Exception</title><style>" + style +
         "</style></head><body><div class=\"container\"><h1>" + h1 + "</h1><div class=\"error\"><p>HTTP " + status +
         "</p><p>" + message + "</p></div>\r\n<div class=\"warning\">Exception Class Name: " + class_name +
         "</div>\r\n<div class=\"info\"><p>" + detail + "</p>\r\n<p>Application Error Code: " + code +
         "</p>\r\n<p>Error Items: <ul>\r\n" + items + "<ul></p></div></div></body></html>";
}

TEST(ErrorHtmlPage, ExactPageWithEscapedTexts) {
  struct Case {
    const char* server_name;
    TMVCErrorResponse error;
    std::string page;
  };
  Case cases[] = {
      {"TornioMVC", MakeError(404, "", "[EMVCException] Not Found", "EMVCException", "", 0, {}),
       ExpectedPage("TornioMVC", "404", "[EMVCException] Not Found", "EMVCException", "", "0", "")},
      {"<b>Srv</b>", MakeError(500, "error", "a<b>&\"c\"'d", "E<x>", "GET /a&b", -12, {"<one>", "two & \"three\""}),
       ExpectedPage("<b>Srv</b>", "500", "a&lt;b&gt;&amp;&quot;c&quot;'d", "E&lt;x&gt;", "GET /a&amp;b", "-12",
                    "<li>&lt;one&gt;</li><li>two &amp; &quot;three&quot;</li>")},
  };
  for (auto& c : cases) {
    TMVCConfig config;
    config.SetValue(config_keys::kServerName, c.server_name);
    TMVCHTMLSerializer serializer(config);
    EXPECT_EQ(serializer.SerializeObject(&c.error), c.page) << c.server_name;
  }
}

TEST(ErrorHtmlPage, AnythingButAnErrorObjectIsRefused) {
  TMVCConfig config;
  config.SetValue(config_keys::kServerName, "TornioMVC");
  TMVCHTMLSerializer serializer(config);
  TMVCResponse response(400, "r", "m");
  TJsonObject document;
  TMVCErrorResponseItem item("x");
  const TObject* refused[] = {nullptr, &response, &document, &item};
  for (const TObject* object : refused) {
    try {
      serializer.SerializeObject(object);
      ADD_FAILURE() << "written";
    } catch (const EMVCException& e) {
      EXPECT_STREQ(e.what(), "Not Implemented");
      EXPECT_STREQ(e.ClassName(), "EMVCException");
      EXPECT_EQ(e.HttpErrorCode(), 500);
    }
  }
  TMVCErrorResponse target;
  try {
    serializer.DeserializeObject("{}", &target);
    ADD_FAILURE() << "read";
  } catch (const EMVCException& e) {
    EXPECT_STREQ(e.what(), "Not Implemented");
    EXPECT_EQ(e.HttpErrorCode(), 500);
  }
  EXPECT_EQ(target.FStatusCode, 0);
}

TEST(ErrorGuard, CustomTextAndStatusPerFailure) {
  struct Case {
    const char* name;
    std::exception_ptr error;
    const char* custom;
    int status;
  };
  const Case cases[] = {
      {"not found", std::make_exception_ptr(EMVCException("Not Found", "GET /x", 0, 404)), "GET /x", 404},
      {"engine failure without detail", std::make_exception_ptr(EMVCException(400, "Invalid body")), "", 400},
      {"engine subclass", std::make_exception_ptr(EMVCDeserializationException("Body ContentType")), "", 500},
      {"invalid floating-point operation", std::make_exception_ptr(EInvalidOp("Invalid floating point operation")),
       "Invalid Op", 500},
      {"charset", std::make_exception_ptr(EEncodingError("Invalid encoding name")), "Global Action Exception Handler",
       500},
      {"foreign", std::make_exception_ptr(std::runtime_error("boom")), "Global Action Exception Handler", 500},
  };
  for (const auto& c : cases) {
    try {
      std::rethrow_exception(c.error);
    } catch (const std::exception& e) {
      EXPECT_EQ(ErrorGuardCustomMessage(e), c.custom) << c.name;
      EXPECT_EQ(ErrorGuardStatus(e), c.status) << c.name;
    }
  }
}

TEST(ErrorGuard, LogLineLayout) {
  EXPECT_EQ(ErrorGuardLogLine("EMVCException", "Not Found", "GET /x?a=1", "GET /x"),
            "[EMVCException] Not Found [PathInfo \"GET /x?a=1\"] (Custom message: \"GET /x\")");
  EXPECT_EQ(ErrorGuardLogLine("Exception", "", "", ""), "[Exception]  [PathInfo \"\"] (Custom message: \"\")");
}

}  // namespace
}  // namespace ostrivan::web
