#include "cli/json_events.h"

#include <nlohmann/json.hpp>

namespace tessaly::cli {

namespace {

// Objects keep their fields in the order written: "event" first.
using json = nlohmann::ordered_json;

// File names and addresses come from the command line and the disk as bytes, in no
// promised encoding: replace what is not UTF-8 rather than let dump() throw.
std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void Emit(std::FILE* out, const json& e) {
  const std::string line = Dump(e) + "\n";
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

// A text field, with its exact bytes beside it when they are not UTF-8.
void PutText(json& object, const std::string& name, const std::string& bytes) {
  object[name] = bytes;
  if (!IsValidUtf8(bytes)) object[name + "_hex"] = HexBytes(bytes);
}

// A file that is not sent is null.
void PutFile(json& object, const std::string& name, const std::string& file) {
  if (file.empty()) {
    object[name] = nullptr;
  } else {
    PutText(object, name, file);
  }
}

json Event(const char* kind, int unit) {
  json e = json::object();
  e["event"] = kind;
  if (unit > 0) e["unit"] = unit;
  return e;
}

double Seconds(std::chrono::milliseconds d) { return static_cast<double>(d.count()) / 1000.0; }

json UnitFields(json e, const UnitResult& r) {
  PutText(e, "address", r.address);
  e["outcome"] = UnitOutcomeName(r.outcome);
  e["main"] = StageVerdictName(r.Main());
  e["sub"] = StageVerdictName(r.Sub());
  return e;
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
  // The replacing and the ignoring dump differ exactly where a byte is invalid.
  const json value = bytes;
  return value.dump(-1, ' ', false, json::error_handler_t::replace) ==
         value.dump(-1, ' ', false, json::error_handler_t::ignore);
}

std::string JsonText(const std::string& bytes) { return Dump(json(bytes)); }

std::string HexBytes(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

void JsonEvents::UnitStart(int unit, int units, const std::string& address, const std::string& mainFile,
                           const std::string& subFile) {
  json e = Event("unit_start", unit);
  e["units"] = units;
  PutText(e, "address", address);
  PutFile(e, "main", mainFile);
  PutFile(e, "sub", subFile);
  Emit(out_, e);
}

void JsonEvents::Log(int unit, const std::string& text, LogLevel level) {
  json e = Event("log", unit);
  e["level"] = level == LogLevel::Error ? "error" : "info";
  e["text"] = text;
  Emit(out_, e);
}

void JsonEvents::Progress(int unit, int percent) {
  json e = Event("progress", unit);
  e["percent"] = percent;
  Emit(out_, e);
}

void JsonEvents::Session(int unit, bool began) {
  json e = Event("session", unit);
  e["state"] = began ? "began" : "ended";
  Emit(out_, e);
}

void JsonEvents::Stage(int unit, FirmwareStage stage, bool succeeded) {
  json e = Event("stage", unit);
  e["stage"] = stage == FirmwareStage::Main ? "main" : "sub";
  e["result"] = succeeded ? "succeeded" : "failed";
  Emit(out_, e);
}

void JsonEvents::Question(int unit, const std::string& text) {
  json e = Event("question", unit);
  e["text"] = text;
  Emit(out_, e);
}

void JsonEvents::Answered(int unit, Answer answer, bool lapsed) {
  json e = Event("answer", unit);
  e["answer"] = answer == Answer::Yes ? "yes" : "no";
  e["lapsed"] = lapsed;
  Emit(out_, e);
}

void JsonEvents::UnitEnd(int unit, const UnitResult& result) {
  json e = UnitFields(Event("unit_end", unit), result);
  e["exit_status"] = result.ExitStatus();
  e["seconds"] = Seconds(result.taken);
  PutFile(e, "log", result.logPath);
  Emit(out_, e);
}

void JsonEvents::Summary(const std::vector<UnitResult>& units, int exitStatus, const std::string& stopped) {
  json e = Event("summary", 0);
  e["exit_status"] = exitStatus;
  if (!stopped.empty()) PutText(e, "stopped", stopped);
  json list = json::array();
  for (std::size_t i = 0; i < units.size(); ++i) {
    json u = UnitFields(json::object(), units[i]);
    u["unit"] = static_cast<int>(i + 1);
    u["seconds"] = Seconds(units[i].taken);
    list.push_back(std::move(u));
  }
  e["units"] = std::move(list);
  Emit(out_, e);
}

}  // namespace tessaly::cli
