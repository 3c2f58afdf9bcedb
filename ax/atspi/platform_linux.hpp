// The core's platform over the Linux desktop: AT-SPI2 for the tree, XTest
// for input, Xlib for windows.
#pragma once

#include <string>
#include <vector>

#include "input_xtest.hpp"
#include "platform.hpp"
#include "tree_atspi.hpp"
#include "windows_x11.hpp"

namespace ombru::ax::desktop {

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform(int argc, char** argv);

  std::vector<std::string> arguments() override { return args_; }
  std::vector<RunningApp> runningApplications() override { return tree_.applications(); }
  std::vector<std::string> processNames() override;
  void activate(const RunningApp& app) override {
    tree_.invalidate();
    x11_.activate(app.processIdentifier);
  }
  Element applicationElement(std::int64_t pid) override { return tree_.applicationElement(pid); }
  bool settling(const Element& application) override { return tree_.settling(application); }

  std::optional<Value> copyAttribute(const Element& element, std::string_view name) override {
    return tree_.read(element, name);
  }
  bool setBoolAttribute(const Element& element, std::string_view name, bool value) override {
    return tree_.writeBool(element, name, value);
  }
  bool setNumberAttribute(const Element& element, std::string_view name, double value) override {
    return tree_.writeNumber(element, name, value);
  }
  std::optional<std::vector<std::string>> copyActionNames(const Element& element) override {
    return tree_.actions(element);
  }
  bool performAction(const Element& element, std::string_view action) override {
    return tree_.perform(element, action);
  }

  std::optional<Element> elementAtPoint(const Element& element, Point at) override {
    return tree_.atPoint(element, at);
  }
  std::vector<Area> screens() override { return x11_.screens(); }

  EventRef createMouseEvent(MouseEventType type, Point at) override {
    return input_.mouse(type, at);
  }
  EventRef createScrollWheelEvent(std::int32_t lines) override { return input_.wheel(lines); }
  void setLocation(Event& event, Point at) override { input_.place(event, at); }
  void post(Event& event) override {
    tree_.invalidate();
    input_.post(event);
  }

  std::optional<std::vector<WindowValue>> windowList() override;

  void writeOut(std::string_view bytes) override;
  void writeErr(std::string_view bytes) override;
  std::chrono::nanoseconds now() override;
  void sleepFor(std::chrono::microseconds duration) override;
  [[noreturn]] void exit(int status) override;

 private:
  std::vector<std::string> args_;
  X11 x11_;
  AtspiTree tree_;
  XTestInput input_;
};

}  // namespace ombru::ax::desktop
