#pragma once
// Built-in read-only endpoints under "/system" that describe the running server; they
// answer local callers only (judged by the connection's peer address), everyone else
// gets 403.
#include <string>

#include "web/mvc_controller.h"

namespace ostrivan::web {

class TMVCSystemController : public TMVCController {
 public:
  static const TMVCControllerClass& ClassInfo();

  void ActionStarting(TWebContext& context, const std::string& action_name, bool& handled) override;

  void DescribeServer();
  void DescribePlatform();
  void ServerConfig();
};

// "::1", "127.0.0.1", "0:0:0:0:0:0:0:1" or "localhost" in any letter case.
bool IsLocalClientAddress(const std::string& address);

}  // namespace ostrivan::web
