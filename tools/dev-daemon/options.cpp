#include "options.hpp"

#include <charconv>

namespace devd {

const char* const kUsage =
    "usage: ombru-dev-daemon [--port N] [--scenario FILE] [--log FILE] [--slow MS]\n"
    "                        [--silent] [--garbage] [--drip MS] [--status CODE] [--help]\n"
    "\n"
    "A stand-in for the Ombru voice daemon on 127.0.0.1, for the menu and its tests.\n"
    "\n"
    "  --port N         listen on port N (default 8765; 0 picks a free port)\n"
    "  --scenario FILE  serve FILE, a JSON document, as the initial state\n"
    "                   (default: the built-in demo)\n"
    "  --log FILE       append one JSON line per request to FILE (default: stdout)\n"
    "  --slow MS        wait MS milliseconds before sending any response\n"
    "  --silent         accept requests but never answer them\n"
    "  --garbage        answer /state with status 200 and a body that is not JSON\n"
    "  --drip MS        send the /state body one byte every MS milliseconds\n"
    "  --status CODE    answer /state with status CODE (200-599) and the state body\n"
    "  --help           print this text\n"
    "\n"
    "Once listening it prints \"ombru-dev-daemon listening on 127.0.0.1:PORT\" on\n"
    "standard error. SIGTERM or SIGINT stops it with status 0.\n";

namespace {

bool toInt(std::string_view s, int lo, int hi, int& out) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string_view>& args) {
  ParsedOptions r;
  Options& o = r.options;
  auto fail = [&](std::string msg) {
    r.error = std::move(msg);
    return r;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    std::string_view name = a;
    std::optional<std::string_view> inlineValue;
    if (auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      name = a.substr(0, eq);
      inlineValue = a.substr(eq + 1);
    }
    auto value = [&](std::string_view& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto flag = [&]() { return !inlineValue; };
    std::string_view v;
    std::string n(name);

    if (name == "--help" || name == "-h") {
      if (!flag()) return fail(n + " takes no value");
      o.help = true;
    } else if (name == "--silent") {
      if (!flag()) return fail(n + " takes no value");
      o.silent = true;
    } else if (name == "--garbage") {
      if (!flag()) return fail(n + " takes no value");
      o.garbage = true;
    } else if (name == "--port") {
      if (!value(v) || !toInt(v, 0, 65535, o.port)) return fail("--port needs a number 0-65535");
    } else if (name == "--scenario") {
      if (!value(v) || v.empty()) return fail("--scenario needs a file");
      o.scenario = v;
    } else if (name == "--log") {
      if (!value(v) || v.empty()) return fail("--log needs a file");
      o.log = v;
    } else if (name == "--slow") {
      if (!value(v) || !toInt(v, 0, 3600000, o.slowMs))
        return fail("--slow needs milliseconds 0-3600000");
    } else if (name == "--drip") {
      int ms = 0;
      if (!value(v) || !toInt(v, 0, 3600000, ms))
        return fail("--drip needs milliseconds 0-3600000");
      o.dripMs = ms;
    } else if (name == "--status") {
      int code = 0;
      if (!value(v) || !toInt(v, 200, 599, code)) return fail("--status needs a code 200-599");
      o.status = code;
    } else {
      return fail("unknown argument \"" + std::string(a) + "\"");
    }
  }
  // A silent daemon sends nothing, so the flags that shape its answer would
  // silently do nothing; say so instead.
  if (o.silent && (o.garbage || o.dripMs || o.status))
    return fail("--silent cannot be combined with --garbage, --drip or --status");
  return r;
}

}  // namespace devd
