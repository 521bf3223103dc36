#include "command_line.h"

#include <charconv>
#include <optional>

namespace tessaly::pjsim {
namespace {

std::optional<long> ParseNumber(std::string_view text, long low, long high) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

CommandLine Fail(std::string error) {
  CommandLine out;
  out.action = CommandLine::Action::kError;
  out.error = std::move(error);
  return out;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string_view> args) {
  CommandLine out;
  SimOptions& o = out.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::optional<std::string_view> inlineValue;
    if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto flag = [&]() {
      if (inlineValue) {
        out.error = std::string(name) + " takes no value";
        return false;
      }
      return true;
    };
    auto value = [&]() -> std::optional<std::string_view> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };

    if (name == "--help" || name == "-h") {
      if (!flag()) return Fail(out.error);
      out.action = CommandLine::Action::kHelp;
      return out;
    } else if (name == "--no-greeting") {
      if (!flag()) return Fail(out.error);
      o.no_greeting = true;
    } else if (name == "--greeting-extra") {
      if (!flag()) return Fail(out.error);
      o.greeting_extra = true;
    } else if (name == "--split-model-answer") {
      if (!flag()) return Fail(out.error);
      o.split_model_answer = true;
    } else if (name == "--listen" || name == "--port" || name == "--model" || name == "--close-at" ||
               name == "--answer-delay-ms") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      if (name == "--listen") {
        o.listen_address = std::string(*v);
      } else if (name == "--port") {
        const std::optional<long> port = ParseNumber(*v, 0, 65535);
        if (!port) return Fail("--port must be a number from 0 to 65535, got \"" + std::string(*v) + "\"");
        o.port = static_cast<std::uint16_t>(*port);
      } else if (name == "--model") {
        o.model_code = std::string(*v);
      } else if (name == "--close-at") {
        const std::optional<CloseAt> step = ParseCloseAt(*v);
        if (!step) return Fail("--close-at must be one of " + CloseAtNames() + ", got \"" + std::string(*v) + "\"");
        o.close_at = *step;
      } else {
        const std::optional<long> ms = ParseNumber(*v, 0, 60000);
        if (!ms) return Fail("--answer-delay-ms must be a number from 0 to 60000, got \"" + std::string(*v) + "\"");
        o.answer_delay = std::chrono::milliseconds(*ms);
      }
    } else {
      return Fail("unknown option \"" + std::string(args[i]) + "\"");
    }
  }
  if (std::string problem = ValidateOptions(o); !problem.empty()) return Fail(problem);
  return out;
}

std::string UsageText(std::string_view program) {
  const SimOptions defaults;
  std::string p(program);
  return "Usage: " + p + " [options]\n"
         "Plays a projector's TCP control service for the updater: greets, checks every byte it\n"
         "receives, answers the download-mode exchange and prints what it saw.\n"
         "\n"
         "  --listen ADDR          IPv4 address to listen on (default " + defaults.listen_address + ")\n"
         "  --port N               TCP port, 0 for any free one (default " + std::to_string(defaults.port) + ")\n"
         "  --model CODE           model code in the model answer (default " + defaults.model_code + ")\n"
         "  --no-greeting          accept connections and stay silent\n"
         "  --greeting-extra       greet with \"PJ_OK\\r\\n\" in one write\n"
         "  --split-model-answer   send the model answer as 6 then 20 bytes, " +
         std::to_string(defaults.split_gap.count()) + " ms apart\n"
         "  --close-at STEP        drop the connection after STEP: " + CloseAtNames() + "\n"
         "  --answer-delay-ms N    wait N ms before every answer, the greeting included\n"
         "  --help                 show this text\n"
         "\n"
         "Runs until SIGINT or SIGTERM, then prints the verdict.\n"
         "Exit status: 0 no violation, 1 violations seen, 2 bad options or cannot listen.\n";
}

}  // namespace tessaly::pjsim
