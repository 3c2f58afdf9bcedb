// A simulated desktop for ombru-ax: running applications, their accessibility
// trees, the window server's list and synthetic input, all read from a JSON
// scene. Time is virtual: pauses are recorded, never slept. Every effect on
// the desktop is written to a trace, one line each, in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform.hpp"

namespace ombru::ax::sim {

struct ElementDef;
struct Node;
struct SceneData;

// Loads a scene; on failure returns null and sets `error`. `maxCopies`
// bounds each "repeat" (a text repeats at most ten times as often).
std::shared_ptr<SceneData> loadScene(const std::string& json, std::string& error,
                                     std::int64_t maxCopies = 10000000);

class SimPlatform : public Platform {
 public:
  SimPlatform(std::shared_ptr<SceneData> scene, std::vector<std::string> args);
  ~SimPlatform() override;

  std::vector<std::string> arguments() override;
  std::vector<RunningApp> runningApplications() override;
  std::vector<std::string> processNames() override;
  void activate(const RunningApp& app) override;
  Element applicationElement(std::int64_t processIdentifier) override;
  bool settling(const Element& application) override;
  std::optional<Value> copyAttribute(const Element& element, std::string_view name) override;
  bool setBoolAttribute(const Element& element, std::string_view name, bool value) override;
  bool setNumberAttribute(const Element& element, std::string_view name, double value) override;
  std::optional<std::vector<std::string>> copyActionNames(const Element& element) override;
  bool performAction(const Element& element, std::string_view action) override;
  EventRef createMouseEvent(MouseEventType type, Point at) override;
  EventRef createScrollWheelEvent(std::int32_t wheel1Lines) override;
  void setLocation(Event& event, Point at) override;
  void post(Event& event) override;
  std::optional<Element> elementAtPoint(const Element& element, Point at) override;
  std::vector<Area> screens() override;
  std::optional<std::vector<WindowValue>> windowList() override;
  void writeOut(std::string_view bytes) override;
  void writeErr(std::string_view bytes) override;
  std::chrono::nanoseconds now() override;
  void sleepFor(std::chrono::microseconds duration) override;
  void exit(int status) override;

  // What the run did, for tests and for the program's trace file.
  const std::vector<std::string>& trace() const { return trace_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  std::optional<int> exitStatus() const { return exitStatus_; }
  // Attribute and action-name reads so far: each is a round trip on a real desktop.
  std::uint64_t reads() const { return reads_; }
  std::chrono::microseconds virtualTime() const { return clock_; }

  // Called with each trace line as it is made (the program streams them).
  std::function<void(const std::string&)> onTrace;
  // Called with output as it is made; when set, out()/err() stay empty.
  std::function<void(std::string_view)> onOut;
  std::function<void(std::string_view)> onErr;
  // Called once the virtual time limit is passed; a program ends there.
  std::function<void()> onTimeLimit;

 private:
  void record(std::string line);
  Element handle(const std::shared_ptr<Node>& n) const;
  std::vector<std::shared_ptr<Node>> childrenOf(const std::shared_ptr<Node>& n);
  std::optional<Value> read(const std::shared_ptr<Node>& n, std::string_view name);
  // Where the element is, as reads report it or (`reported` false) as it
  // really lies, for input.
  std::optional<std::pair<double, double>> position(const Node& n, bool reported = true) const;
  double offset(const ElementDef& list, bool reported) const;
  // How far the list can scroll: its content's height less its viewport's.
  double farthest(const Node& list) const;
  std::optional<std::pair<double, double>> size(const Node& n) const;
  bool visible(const std::shared_ptr<Node>& n) const;
  void reveal(const ElementDef& s);
  void click(Point at);
  // Whether a row of a list with a drawn bar lies in its viewport; one that
  // does not has no frame.
  bool inView(const Node& n) const;
  // The child (or, through elements without a frame, deeper element) at the point.
  std::shared_ptr<Node> hitAt(const std::shared_ptr<Node>& n, Point p);
  void wheel(Point at, std::int32_t lines);

  std::shared_ptr<SceneData> scene_;
  std::vector<std::string> args_;
  std::vector<std::string> trace_;
  std::string out_;
  std::string err_;
  std::optional<int> exitStatus_;
  std::chrono::microseconds clock_{0};
  bool limitHit_ = false;
  std::uint64_t reads_ = 0;
  std::uint64_t wakes_ = 0;
  std::set<const ElementDef*> revealed_;
  std::map<const ElementDef*, double> offsets_;  // scroll offset of each scrollable list
  // Offsets of lists that report late, with the virtual time each was reached.
  std::map<const ElementDef*, std::vector<std::pair<std::chrono::microseconds, double>>> history_;
  std::optional<Point> downAt_;
  // Elements made while reading: one node per element while any handle to it
  // lives, so two handles to one element share their identity.
  std::map<std::tuple<const Node*, std::size_t, std::int64_t>, std::weak_ptr<Node>> made_;
  std::size_t sweepAt_ = 100000;
  std::shared_ptr<Node> cached(const Node& parent, std::size_t slot, std::int64_t k);
  void remember(const Node& parent, std::size_t slot, std::int64_t k,
                const std::shared_ptr<Node>& n);
};

}  // namespace ombru::ax::sim
