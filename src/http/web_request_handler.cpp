#include "http/web_request_handler.h"

#include <algorithm>
#include <iostream>

#include "http/http_app_request.h"
#include "http/http_exceptions.h"

namespace ostrivan::http {

namespace {

// The process-wide handling of an error a web module reports.
void HandleModuleException(TWebModule& module, const std::exception& error) {
  bool handled = false;
  try {
    handled = module.HandleException(error);
  } catch (const std::exception& nested) {
    handled = true;
    ReportExceptionToStdErr(nested);
  } catch (...) {
    handled = true;
    ReportUnknownExceptionToStdErr("handling an error");
  }
  if (!handled) ReportExceptionToStdErr(error);
}

void DestroyModule(std::unique_ptr<TWebModule> module) {
  try {
    module->DoDestroy();
  } catch (const std::exception& error) {
    ReportExceptionToStdErr(error);
  } catch (...) {
    ReportUnknownExceptionToStdErr("its destruction");
  }
}

}  // namespace

THTTPWebBridgeRequestHandler::~THTTPWebBridgeRequestHandler() { FreeModules(); }

void THTTPWebBridgeRequestHandler::SetWebModuleClass(TWebModuleClass factory) {
  std::lock_guard<std::mutex> guard(lock_);
  factory_ = std::move(factory);
}

bool THTTPWebBridgeRequestHandler::HasWebModuleClass() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<bool>(factory_);
}

void THTTPWebBridgeRequestHandler::SetCacheConnections(bool value) {
  cache_connections_.store(value);
  if (value) return;
  std::deque<std::unique_ptr<TWebModule>> kept;
  {
    std::lock_guard<std::mutex> guard(lock_);
    kept.swap(inactive_);
  }
  for (auto& module : kept) DestroyModule(std::move(module));
}

int THTTPWebBridgeRequestHandler::ActiveCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(active_.size());
}

int THTTPWebBridgeRequestHandler::InactiveCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(inactive_.size());
}

void THTTPWebBridgeRequestHandler::FreeModules() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& module : active_) DestroyModule(std::move(module));
  for (auto& module : inactive_) DestroyModule(std::move(module));
  active_.clear();
  inactive_.clear();
}

TWebModule& THTTPWebBridgeRequestHandler::CheckOutWebModule() {
  int limit = max_connections_.load();
  if (limit > 0 && adding_count_.load() >= limit) throw EWebBridgeException(kMaxConcurrentConnections);
  std::unique_lock<std::mutex> guard(lock_);
  adding_count_ = static_cast<int>(active_.size()) + 1;
  limit = max_connections_.load();
  if (limit > 0 && static_cast<int>(active_.size()) >= limit) {
    adding_count_ = 0;
    throw EWebBridgeException(kMaxConcurrentConnections);
  }
  TWebModule* result;
  if (inactive_.empty()) {
    if (!factory_) {
      adding_count_ = 0;
      throw EWebBridgeException(kNoDataModulesRegistered);
    }
    std::unique_ptr<TWebModule> module;
    try {
      // Built under the lock: concurrent first requests wait for each other's module.
      module = factory_();
    } catch (...) {
      adding_count_ = 0;
      throw;
    }
    try {
      module->DoCreate();
    } catch (const std::exception& error) {
      HandleModuleException(*module, error);
    } catch (...) {
      ReportUnknownExceptionToStdErr("its creation");
    }
    result = module.get();
    active_.push_back(std::move(module));
  } else {
    result = inactive_.front().get();
    active_.push_back(std::move(inactive_.front()));
    inactive_.pop_front();
  }
  adding_count_ = 0;
  return *result;
}

void THTTPWebBridgeRequestHandler::ReturnWebModule(TWebModule& module) {
  std::unique_ptr<TWebModule> doomed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(active_.begin(), active_.end(), [&](const auto& m) { return m.get() == &module; });
    if (it == active_.end()) return;
    module.ClearCurrent();
    if (cache_connections_.load()) {
      inactive_.push_back(std::move(*it));
    } else {
      doomed = std::move(*it);
    }
    active_.erase(it);
  }
  if (doomed) DestroyModule(std::move(doomed));
}

bool THTTPWebBridgeRequestHandler::ServeWebRequest(TWebRequest& request, TWebResponse& response) {
  TWebModule& module = CheckOutWebModule();
  bool handled = false;
  try {
    try {
      handled = module.DispatchAction(request, response);
    } catch (const std::exception& error) {
      HandleModuleException(module, error);
      handled = false;
    }
    if (handled && !response.Sent() && !response.Abandoned()) {
      try {
        response.SendResponse();
      } catch (const std::exception& error) {
        HandleModuleException(module, error);
      }
    }
  } catch (...) {
    ReturnWebModule(module);
    throw;
  }
  ReturnWebModule(module);
  return handled;
}

THTTPWebBridgeRequestHandler::TOutcome THTTPWebBridgeRequestHandler::Run(TIOHandler& connection,
                                                                         THTTPRequestInfo& request_info,
                                                                         THTTPResponseInfo& response_info) {
  THTTPAppRequest request(connection, request_info, response_info);
  THTTPAppResponse response(request, connection, request_info, response_info);
  response_info.SetFreeContentStream(false);
  ServeWebRequest(request, response);
  return response.Abandoned() ? TOutcome::kAbandoned : TOutcome::kAnswered;
}

THTTPWebBridgeRequestHandler& TWebRequestHandler() {
  static THTTPWebBridgeRequestHandler handler;
  return handler;
}

}  // namespace ostrivan::http
