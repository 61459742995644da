#pragma once
// Static description of a controller class: what the router and the server description
// read instead of run-time type information. Each controller keeps its table next to
// its class and hands it out through a static ClassInfo().
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/mvc_attributes.h"

namespace ostrivan::web {

class TMVCController;

// A public procedure of the controller that carries declarations.
struct TMVCActionDescriptor {
  std::string name;
  std::vector<TMVCAttribute> attributes;
  // Calls the action on an instance of the describing class.
  void (*invoke)(TMVCController& controller) = nullptr;
};

struct TMVCControllerClass {
  std::string unit_name;   // e.g. "RizOzudo.Controller"
  std::string class_name;  // e.g. "TRizOzudoController"
  std::vector<TMVCAttribute> attributes;
  // The class's own actions in declaration order; inherited ones come from `parent`.
  std::vector<TMVCActionDescriptor> actions;
  const TMVCControllerClass* parent = nullptr;
  std::unique_ptr<TMVCController> (*create)() = nullptr;

  std::string QualifiedClassName() const { return unit_name.empty() ? class_name : unit_name + "." + class_name; }
  // Own actions first, then those of each base class towards the root.
  template <typename F>
  void ForEachAction(F&& f) const {
    for (const TMVCControllerClass* c = this; c != nullptr; c = c->parent) {
      for (const auto& action : c->actions) f(action);
    }
  }
};

using TMVCControllerClazz = const TMVCControllerClass*;
using TMVCControllerCreateAction = std::function<std::unique_ptr<TMVCController>()>;

// One registration in the engine's controller list.
struct TMVCControllerDelegate {
  TMVCControllerClazz Clazz = nullptr;
  TMVCControllerCreateAction CreateAction;  // optional factory
  std::string URLSegment;                   // optional path replacing the class paths
};

}  // namespace ostrivan::web
