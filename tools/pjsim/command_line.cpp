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

std::optional<std::uint16_t> ParsePort(std::string_view text, long low) {
  const std::optional<long> port = ParseNumber(text, low, 65535);
  if (!port) return std::nullopt;
  return static_cast<std::uint16_t>(*port);
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
    } else if (name == "--close-with-reset") {
      if (!flag()) return Fail(out.error);
      o.close_with_reset = true;
    } else if (name == "--repeat-ud-ack") {
      if (!flag()) return Fail(out.error);
      o.repeat_ud_ack = true;
    } else if (name == "--skip-bootp") {
      if (!flag()) return Fail(out.error);
      o.skip_bootp = true;
    } else if (name == "--duplicate-acks") {
      if (!flag()) return Fail(out.error);
      o.duplicate_acks = true;
    } else if (name == "--sub-split-ack") {
      if (!flag()) return Fail(out.error);
      o.sub_split_ack = true;
    } else if (name == "--sub-split-burn-report") {
      if (!flag()) return Fail(out.error);
      o.sub_split_burn_report = true;
    } else if (name == "--sub-wrong-checksum") {
      if (!flag()) return Fail(out.error);
      o.sub_wrong_checksum = true;
    } else if (name == "--sub-close-upper") {
      if (!flag()) return Fail(out.error);
      o.sub_close_upper = true;
    } else if (name == "--sub-image") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      if (v->empty()) return Fail("--sub-image needs a file name");
      o.sub_image_path = std::string(*v);
    } else if (name == "--burn-ms" || name == "--sub-ack-gap-ms" || name == "--sub-burn-report-gap-ms") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      const long high = name == "--burn-ms" ? 600000 : 60000;
      const std::optional<long> ms = ParseNumber(*v, 0, high);
      if (!ms) {
        return Fail(std::string(name) + " must be a number from 0 to " + std::to_string(high) + ", got \"" +
                    std::string(*v) + "\"");
      }
      const std::chrono::milliseconds d(*ms);
      if (name == "--burn-ms") {
        o.burn_time = d;
      } else if (name == "--sub-ack-gap-ms") {
        o.sub_ack_split_gap = d;
      } else {
        o.sub_burn_report_split_gap = d;
      }
    } else if (name == "--sub-bad-ack-at" || name == "--sub-close-mid-block") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      const std::optional<long> k = ParseNumber(*v, 1, 100000000);
      if (!k)
        return Fail(std::string(name) + " must be a block number from 1 to 100000000, got \"" + std::string(*v) + "\"");
      if (name == "--sub-bad-ack-at") {
        o.sub_bad_ack_at = static_cast<std::size_t>(*k);
      } else {
        o.sub_close_mid_block = static_cast<std::size_t>(*k);
      }
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
    } else if (name == "--mac" || name == "--bootp-mac") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      const std::optional<MacAddress> mac = ParseMacAddress(*v);
      if (!mac) return Fail(std::string(name) + " must look like AA:BB:CC:DD:EE:FF, got \"" + std::string(*v) + "\"");
      if (name == "--mac") {
        o.mac = *mac;
      } else {
        o.bootp_mac = *mac;
      }
    } else if (name == "--bootp-sname" || name == "--tftp-server" || name == "--broadcast" ||
               name == "--broadcast-bind" || name == "--image") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      std::string text(*v);
      if (name == "--bootp-sname") {
        o.bootp_sname = text;
      } else if (name == "--tftp-server") {
        o.tftp_server = text;
      } else if (name == "--broadcast") {
        o.broadcast_address = text;
      } else if (name == "--broadcast-bind") {
        o.broadcast_bind_address = text;
      } else {
        if (text.empty()) return Fail("--image needs a file name");
        o.expected_image_path = text;
      }
    } else if (name == "--magic-port" || name == "--bootp-client-port" || name == "--bootp-server-port" ||
               name == "--tftp-port") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      // The ports this side receives on may be 0 (any free one); the targets may not.
      const bool received = name == "--magic-port" || name == "--bootp-client-port";
      const std::optional<std::uint16_t> port = ParsePort(*v, received ? 0 : 1);
      if (!port) {
        return Fail(std::string(name) + " must be a number from " + (received ? "0" : "1") + " to 65535, got \"" +
                    std::string(*v) + "\"");
      }
      if (name == "--magic-port") {
        o.magic_port = *port;
      } else if (name == "--bootp-client-port") {
        o.bootp_client_port = *port;
      } else if (name == "--bootp-server-port") {
        o.bootp_server_port = *port;
      } else {
        o.tftp_port = *port;
      }
    } else if (name == "--restart-delay-ms" || name == "--bootp-retry-ms" || name == "--tftp-timeout-ms" ||
               name == "--start-without-magic-ms") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      const long low = (name == "--bootp-retry-ms" || name == "--tftp-timeout-ms") ? 1 : 0;
      const std::optional<long> ms = ParseNumber(*v, low, 60000);
      if (!ms) {
        return Fail(std::string(name) + " must be a number from " + std::to_string(low) + " to 60000, got \"" +
                    std::string(*v) + "\"");
      }
      const std::chrono::milliseconds d(*ms);
      if (name == "--restart-delay-ms") {
        o.restart_delay = d;
      } else if (name == "--bootp-retry-ms") {
        o.bootp_retry = d;
      } else if (name == "--tftp-timeout-ms") {
        o.tftp_timeout = d;
      } else {
        o.start_without_magic = d;
      }
    } else if (name == "--bootp-tries" || name == "--tftp-tries" || name == "--drop-acks" ||
               name == "--stop-at-block") {
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(name) + " needs a value");
      const bool tries = name == "--bootp-tries" || name == "--tftp-tries";
      const long low = name == "--drop-acks" ? 0 : 1;
      const long high = tries ? 1000 : 100000000;
      const std::optional<long> n = ParseNumber(*v, low, high);
      if (!n) {
        return Fail(std::string(name) + " must be a number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", got \"" + std::string(*v) + "\"");
      }
      if (name == "--bootp-tries") {
        o.bootp_tries = static_cast<int>(*n);
      } else if (name == "--tftp-tries") {
        o.tftp_tries = static_cast<int>(*n);
      } else if (name == "--drop-acks") {
        o.drop_acks = static_cast<int>(*n);
      } else {
        o.stop_at_block = static_cast<std::size_t>(*n);
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
  return "Usage: " + p +
         " [options]\n"
         "Plays a projector for the updater: its TCP control service greets, checks every byte it\n"
         "receives and answers the download-mode exchange; after the Main download-mode command\n"
         "its boot loader wakes on the Magic packet, asks by BOOTP and reads the Main image by\n"
         "TFTP, then the projector restarts. After \"sc\" its video processor takes the Sub\n"
         "firmware stream block by block, burns it and reports the checksum. Prints what it saw.\n"
         "\n"
         "  --listen ADDR          IPv4 address to listen on (default " +
         defaults.listen_address +
         ")\n"
         "  --port N               TCP port, 0 for any free one (default " +
         std::to_string(defaults.port) +
         ")\n"
         "  --model CODE           model code in the model answer (default " +
         defaults.model_code +
         ")\n"
         "  --no-greeting          accept connections and stay silent\n"
         "  --greeting-extra       greet with \"PJ_OK\\r\\n\" in one write\n"
         "  --split-model-answer   send the model answer as 6 then 20 bytes, " +
         std::to_string(defaults.split_gap.count()) +
         " ms apart\n"
         "  --close-at STEP        drop the connection after STEP: " +
         CloseAtNames() +
         "\n"
         "  --close-with-reset     end every connection the projector drops itself (--close-at,\n"
         "                         --sub-close-mid-block, the restart after the Main image) with\n"
         "                         a reset instead of a FIN\n"
         "  --repeat-ud-ack        acknowledge the Main download-mode command twice, " +
         std::to_string(defaults.split_gap.count()) +
         " ms apart,\n"
         "                         before restarting into the boot loader\n"
         "  --answer-delay-ms N    wait N ms before every answer, the greeting included\n"
         "  --help                 show this text\n"
         "\n"
         "Boot loader (started by the Main download-mode command; it binds the Magic and\n"
         "BOOTP ports on the broadcast-bind address and reads by TFTP from the listen address):\n"
         "  --mac MAC              the projector's MAC: the Magic packet must name it and the\n"
         "                         BOOTP request carries it (default " +
         MacAddressText(defaults.mac) +
         ")\n"
         "  --magic-port N         UDP port of the Magic packet, 0 for any (default " +
         std::to_string(defaults.magic_port) +
         ")\n"
         "  --bootp-client-port N  UDP port the BOOTP request leaves from and the reply comes to,\n"
         "                         0 for any (default " +
         std::to_string(defaults.bootp_client_port) +
         ")\n"
         "  --bootp-server-port N  UDP port the BOOTP request goes to (default " +
         std::to_string(defaults.bootp_server_port) +
         ")\n"
         "  --broadcast ADDR       where the BOOTP request goes (default " +
         defaults.broadcast_address +
         ");\n"
         "                         on loopback give a unicast address such as 127.0.0.1\n"
         "  --broadcast-bind ADDR  address the Magic and BOOTP sockets bind to (default " +
         defaults.broadcast_bind_address +
         ");\n"
         "                         255.255.255.255 takes broadcasts only, so an updater on the same\n"
         "                         host can bind the same ports on its own address\n"
         "  --tftp-port N          UDP port the read request goes to (default " +
         std::to_string(defaults.tftp_port) +
         ")\n"
         "  --tftp-server ADDR     the updater's address, where the read request goes without BOOTP\n"
         "                         and what siaddr must hold (default: the control connection's peer)\n"
         "  --image FILE           the Main image the updater should serve; compared byte for byte\n"
         "  --start-without-magic-ms N  start N ms after entering the boot loader even without a\n"
         "                         Magic packet (default: wait for it)\n"
         "  --bootp-retry-ms N     resend the BOOTP request after N ms without a reply (default " +
         std::to_string(defaults.bootp_retry.count()) +
         ")\n"
         "  --bootp-tries N        give up after N requests (default " +
         std::to_string(defaults.bootp_tries) +
         ")\n"
         "  --tftp-timeout-ms N    resend the read request or the last ACK after N ms without DATA\n"
         "                         (default " +
         std::to_string(defaults.tftp_timeout.count()) +
         ")\n"
         "  --tftp-tries N         give up after N time-outs in a row (default " +
         std::to_string(defaults.tftp_tries) +
         ")\n"
         "  --restart-delay-ms N   after the last block the control service accepts nothing for N ms\n"
         "                         (default " +
         std::to_string(defaults.restart_delay.count()) +
         ")\n"
         "Boot-loader faults:\n"
         "  --drop-acks N          withhold the ACKs of the first N DATA datagrams\n"
         "  --duplicate-acks       send every ACK twice\n"
         "  --stop-at-block K      go silent from the K-th block on (no ACK for it or later)\n"
         "  --bootp-mac MAC        put another MAC in the BOOTP request's chaddr\n"
         "  --bootp-sname TEXT     another sname in the BOOTP request (default \"" +
         defaults.bootp_sname +
         "\")\n"
         "  --skip-bootp           send the read request without any BOOTP exchange\n"
         "\n"
         "Sub firmware receiver (the video processor, on the control connection after \"sc\"):\n"
         "  --burn-ms N            burn time from the last block's acknowledgement to the burn\n"
         "                         report, 0 to 600000 (default " +
         std::to_string(defaults.burn_time.count()) +
         ")\n"
         "  --sub-image FILE       the Sub image the updater should stream; its payload (the bytes\n"
         "                         after the 32-byte header) is compared byte for byte\n"
         "  --sub-ack-gap-ms N     the gap inside a split acknowledgement (default " +
         std::to_string(defaults.sub_ack_split_gap.count()) +
         ")\n"
         "  --sub-burn-report-gap-ms N  the gap inside a split burn report (default " +
         std::to_string(defaults.sub_burn_report_split_gap.count()) +
         ")\n"
         "Sub receiver faults (blocks count from 1; the last, short block counts too):\n"
         "  --sub-bad-ack-at K     a wrong byte (byte 1) in block K's acknowledgement\n"
         "  --sub-split-ack        send each 48-byte acknowledgement as 16 then 32 bytes\n"
         "  --sub-split-burn-report  send the burn report as 16 then 16 bytes\n"
         "  --sub-wrong-checksum   report the payload's checksum plus one after burning\n"
         "  --sub-close-upper      answer the close record with \"SD\" instead of \"sd\"\n"
         "  --sub-close-mid-block K  drop the connection once half of block K's payload arrived\n"
         "\n"
         "Runs until SIGINT or SIGTERM, then prints its timeline and the verdict. The timeline's\n"
         "times T are seconds of CLOCK_MONOTONIC (\"12345.678901234\"), one clock for every network\n"
         "namespace of the machine, so several simulators' timelines compare:\n"
         "  timeline: boot loader awake run R from T to T (PHASE)\n"
         "      a boot-loader run, from its start (listening for the Magic packet) until it took\n"
         "      the last block (restarting: it burns and restarts, deaf to broadcasts) or was over\n"
         "      otherwise: silent (fault), gave up, stopped, failed to start\n"
         "  timeline: sub firmware received run R connection C from T to T (PHASE)\n"
         "      a Sub firmware stream, from its first byte to its last (PHASE closed), else to the\n"
         "      end of its connection\n"
         "  timeline: heard Magic packet at T from ADDR:PORT, N bytes\n"
         "  timeline: heard BOOTP reply at T from ADDR:PORT, N bytes\n"
         "      every datagram that reached the Magic port or the BOOTP client port, boot loader\n"
         "      awake or not (a raw socket's copies: needs CAP_NET_RAW; a port of 0 is not heard)\n"
         "  timeline: listener not listening: REASON\n"
         "Each kind in order of time; an interval still open at the end shows \"to open\".\n"
         "Exit status: 0 no violation, 1 violations seen or a Main or Sub image that did not\n"
         "arrive intact once its transfer began, 2 bad options, an image file that cannot be\n"
         "read, cannot listen, or the boot loader could not bind its ports.\n";
}

}  // namespace tessaly::pjsim
