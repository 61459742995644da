#pragma once
// Controller bases: TMVCBase <- TMVCRenderer <- TMVCController. A controller instance is
// created for one request, gets the engine and the context, and renders its reply.
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "web/controller_class.h"
#include "web/mvc_config.h"
#include "web/mvc_response.h"
#include "web/serializer_intf.h"
#include "web/web_context.h"

namespace ostrivan::web {

class TMVCEngine;

class TMVCBase {
 public:
  virtual ~TMVCBase() = default;
  TMVCEngine& Engine() const { return *engine_; }
  void SetEngine(TMVCEngine* engine) { engine_ = engine; }
  const TMVCConfig& Config() const;
  // Sessions are never started by this service.
  void* ApplicationSession() const { return nullptr; }

 private:
  TMVCEngine* engine_ = nullptr;
};

class TMVCRenderer : public TMVCBase {
 public:
  TWebContext& GetContext() const { return *context_; }
  void SetContext(TWebContext* context) { context_ = context; }

  // The reply's content type, trimmed; an empty one becomes default_content_type first.
  std::string ContentType();
  void SetContentType(const std::string& content_type);
  int StatusCode();
  void SetStatusCode(int code);
  virtual void ResponseStatus(int status_code, const std::string& reason_string = "");

  // The engine's serializer for the media type of content_type (lower-cased); with
  // raise_if_not_exists EMVCException "The serializer for <type> could not be found.".
  std::shared_ptr<IMVCSerializer> Serializer(const std::string& content_type, bool raise_if_not_exists);

  // Writes the object as the reply body with the serializer of ContentType.
  void Render(const json::TObject& object);
  // Same, and the object is freed afterwards, also when rendering fails.
  void Render(std::unique_ptr<json::TObject> object) { Render(*object); }
  // The text as the reply body, UTF-8 without a byte-order mark.
  void Render(const std::string& content);
  // The same, taking over the text: a large body is not copied once more.
  void Render(std::string&& content);
  void Render(const char* content) { Render(std::string(content)); }
  // The error reply for a failure while a controller exists: status from the failure,
  // body the error object written by the serializer of the reply's content type.
  // extra_items are added as further items; the caller keeps them.
  void Render(const std::exception& error, const std::vector<std::string>* extra_items = nullptr);
  // Sets the status code to the response's, then writes it as the body (all properties).
  void Render(const TMVCResponse& response);

  // Text builder some actions write into before rendering it.
  std::string& ResponseStream() { return response_stream_; }

 private:
  TWebContext* context_ = nullptr;
  std::string response_stream_;
};

class TMVCController : public TMVCRenderer {
 public:
  virtual void ControllerCreated() {}
  virtual void ControllerReleasing() {}
  // Base: handled := false; an empty content type becomes default_content_type.
  virtual void ActionStarting(TWebContext& context, const std::string& action_name, bool& handled);
  virtual void ActionFinished(TWebContext& /*context*/, const std::string& /*action_name*/) {}
};

}  // namespace ostrivan::web
