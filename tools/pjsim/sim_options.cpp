#include "sim_options.h"

#include <arpa/inet.h>

#include <array>
#include <fstream>
#include <iterator>

namespace tessaly::pjsim {
namespace {

struct CloseAtEntry {
  CloseAt value;
  std::string_view name;
};

constexpr std::array<CloseAtEntry, 8> kCloseAtEntries{{
    {CloseAt::kNever, "never"},
    {CloseAt::kAfterAccept, "accept"},
    {CloseAt::kAfterGreeting, "greeting"},
    {CloseAt::kAfterPjack, "pjack"},
    {CloseAt::kAfterUdAck, "ud-ack"},
    {CloseAt::kAfterModelAnswer, "model-answer"},
    {CloseAt::kAfterSq, "sq"},
    {CloseAt::kAfterSc, "sc"},
}};

constexpr std::chrono::milliseconds kMaxDelay{60000};
constexpr int kMaxTries = 1000;
// Longer than the updater waits for the burn report (about 100 s), so that wait can run out.
constexpr std::chrono::milliseconds kMaxBurnTime{600000};

bool IsIpv4(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DelayProblem(std::string_view what, std::chrono::milliseconds value, std::chrono::milliseconds low) {
  if (value < low || value > kMaxDelay) {
    return std::string(what) + " must be " + std::to_string(low.count()) + " to " + std::to_string(kMaxDelay.count()) +
           " ms";
  }
  return {};
}

}  // namespace

std::optional<MacAddress> ParseMacAddress(std::string_view text) {
  MacAddress mac{};
  // Six pairs of hex digits with one separator between pairs.
  if (text.size() != 17) return std::nullopt;
  const char separator = text[2];
  if (separator != ':' && separator != '-' && separator != '.') return std::nullopt;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const int high = HexDigit(text[i * 3]);
    const int low = HexDigit(text[i * 3 + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (i + 1 < mac.size() && text[i * 3 + 2] != separator) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return mac;
}

std::string MacAddressText(const MacAddress& mac) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : mac) {
    if (!out.empty()) out += ':';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::string LoadExpectedImage(SimOptions& options) {
  if (options.expected_image || options.expected_image_path.empty()) return {};
  std::ifstream file(options.expected_image_path, std::ios::binary);
  if (!file) return "cannot open the image file \"" + options.expected_image_path + "\"";
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return "cannot read the image file \"" + options.expected_image_path + "\"";
  options.expected_image = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  return {};
}

std::string LoadSubImage(SimOptions& options) {
  if (!options.sub_expected_image && !options.sub_image_path.empty()) {
    std::ifstream file(options.sub_image_path, std::ios::binary);
    if (!file) return "cannot open the Sub image file \"" + options.sub_image_path + "\"";
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return "cannot read the Sub image file \"" + options.sub_image_path + "\"";
    options.sub_expected_image = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  }
  if (options.sub_expected_image && options.sub_expected_image->size() < kSubImageHeaderLength) {
    return "the Sub image " + (options.sub_image_path.empty() ? std::string() : "\"" + options.sub_image_path + "\" ") +
           "has " + std::to_string(options.sub_expected_image->size()) + " bytes, fewer than its " +
           std::to_string(kSubImageHeaderLength) + "-byte header";
  }
  return {};
}

std::string_view CloseAtName(CloseAt closeAt) {
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (e.value == closeAt) return e.name;
  }
  return "?";
}

std::optional<CloseAt> ParseCloseAt(std::string_view name) {
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (e.name == name) return e.value;
  }
  return std::nullopt;
}

std::string CloseAtNames() {
  std::string out;
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (!out.empty()) out += '|';
    out += e.name;
  }
  return out;
}

std::string ValidateOptions(const SimOptions& options) {
  const std::string& code = options.model_code;
  if (code.empty() || code.size() > kMaxModelCodeLength) {
    return "model code must have 1 to " + std::to_string(kMaxModelCodeLength) + " characters";
  }
  for (char c : code) {
    if (c < 0x21 || c > 0x7E) return "model code must be printable ASCII without spaces";
  }
  if (options.answer_delay.count() < 0 || options.answer_delay > kMaxDelay) {
    return "answer delay must be 0 to " + std::to_string(kMaxDelay.count()) + " ms";
  }
  if (options.split_gap.count() < 0 || options.split_gap > kMaxDelay) {
    return "split gap must be 0 to " + std::to_string(kMaxDelay.count()) + " ms";
  }
  if (options.bootp_server_port == 0 || options.tftp_port == 0) {
    return "the BOOTP server and TFTP ports must be 1 to 65535";
  }
  if (!IsIpv4(options.broadcast_address)) {
    return "broadcast address \"" + options.broadcast_address + "\" is not a dotted IPv4 address";
  }
  if (!IsIpv4(options.broadcast_bind_address)) {
    return "broadcast bind address \"" + options.broadcast_bind_address + "\" is not a dotted IPv4 address";
  }
  if (!options.tftp_server.empty() && !IsIpv4(options.tftp_server)) {
    return "TFTP server \"" + options.tftp_server + "\" is not a dotted IPv4 address";
  }
  if (options.start_without_magic) {
    if (std::string p =
            DelayProblem("the start without Magic", *options.start_without_magic, std::chrono::milliseconds(0));
        !p.empty()) {
      return p;
    }
  }
  if (std::string p = DelayProblem("the BOOTP retry", options.bootp_retry, std::chrono::milliseconds(1)); !p.empty()) {
    return p;
  }
  if (std::string p = DelayProblem("the TFTP time-out", options.tftp_timeout, std::chrono::milliseconds(1));
      !p.empty()) {
    return p;
  }
  if (std::string p = DelayProblem("the restart delay", options.restart_delay, std::chrono::milliseconds(0));
      !p.empty()) {
    return p;
  }
  if (options.bootp_tries < 1 || options.bootp_tries > kMaxTries) {
    return "BOOTP tries must be 1 to " + std::to_string(kMaxTries);
  }
  if (options.tftp_tries < 1 || options.tftp_tries > kMaxTries) {
    return "TFTP tries must be 1 to " + std::to_string(kMaxTries);
  }
  if (options.bootp_sname.size() > kMaxServerNameLength || options.bootp_sname.find('\0') != std::string::npos) {
    return "the BOOTP server name must have at most " + std::to_string(kMaxServerNameLength) + " characters and no NUL";
  }
  if (options.drop_acks < 0) return "drop-acks must not be negative";
  if (options.burn_time.count() < 0 || options.burn_time > kMaxBurnTime) {
    return "the burn time must be 0 to " + std::to_string(kMaxBurnTime.count()) + " ms";
  }
  if (std::string p =
          DelayProblem("the Sub acknowledgement split gap", options.sub_ack_split_gap, std::chrono::milliseconds(0));
      !p.empty()) {
    return p;
  }
  if (std::string p =
          DelayProblem("the burn report split gap", options.sub_burn_report_split_gap, std::chrono::milliseconds(0));
      !p.empty()) {
    return p;
  }
  return {};
}

}  // namespace tessaly::pjsim
