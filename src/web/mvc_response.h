#pragma once
// The engine's reply objects for failures. They are mapped like any other object, so the
// JSON error body is whatever the object mapping writes for them: every key lower case,
// the error's own members before the inherited ones, e.g.
//   {"classname":"EMVCException","detailedmessage":"","apperrorcode":0,"items":[],
//    "statuscode":400,"reasonstring":"error","message":"Invalid body","data":null}
#include <cstdint>
#include <memory>
#include <string>

#include "json/serializer_object.h"

namespace ostrivan::web {

// A reply with a status and a message. Data points at an object the response does not
// own; no path of this service sets it, so it is written as null.
class TMVCResponse : public json::TObject {
 public:
  TMVCResponse() = default;
  TMVCResponse(std::int32_t status_code, std::string reason_string, std::string message);

  std::int32_t FStatusCode = 0;
  std::string FReasonString;
  std::string FMessage;
  json::TObject* FData = nullptr;

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

// One entry of an error's item list.
class TMVCErrorResponseItem : public json::TObject {
 public:
  TMVCErrorResponseItem() = default;
  explicit TMVCErrorResponseItem(std::string message) : Fmessage(std::move(message)) {}

  std::string Fmessage;

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

using TMVCErrorResponseItems = json::TMVCObjectList<TMVCErrorResponseItem>;

// The error object of the engine's error replies (JSON and HTML).
class TMVCErrorResponse : public TMVCResponse {
 public:
  TMVCErrorResponse() : FItems(std::make_unique<TMVCErrorResponseItems>()) {}

  std::string FClassname;
  std::string FDetailedMessage;
  std::int32_t FAppErrorCode = 0;
  // Never null, so an error without items is written as [] rather than null.
  std::unique_ptr<TMVCErrorResponseItems> FItems;

  void AddItem(std::string message);

  static const json::TMVCClassInfo& StaticClassInfo();
  const json::TMVCClassInfo* ClassInfo() const override { return &StaticClassInfo(); }
};

}  // namespace ostrivan::web
