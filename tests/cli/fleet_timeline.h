#pragma once
// The projectors' side of a fleet run, read from the simulators' "timeline: " lines (see
// `tessaly-pjsim --help`), and the rules every fleet run keeps on a shared segment,
// however its Sub stages are ordered: one boot loader awake at a time, and no Magic packet
// or BOOTP reply on the segment while any Sub firmware is being received.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaly::testing {

// Nanoseconds of CLOCK_MONOTONIC, shared by every simulator on the machine.
using MonoNs = std::int64_t;
constexpr MonoNs kStillOpen = std::numeric_limits<MonoNs>::max();

struct TimelineInterval {
  MonoNs from = 0;
  MonoNs to = kStillOpen;  // kStillOpen for "to open"
  std::string end;         // how it ended: "restarting", "silent (fault)", "closed", ...
};

struct TimelineDatagram {
  MonoNs at = 0;
  std::string source;  // "10.75.0.1:9"
};

struct ProjectorTimeline {
  std::string name;  // for messages: the projector's address
  std::vector<TimelineInterval> awake;
  std::vector<TimelineInterval> sub;
  std::vector<TimelineDatagram> magic;
  std::vector<TimelineDatagram> bootp_replies;
  std::vector<std::string> listener_errors;
  std::vector<std::string> unreadable;  // timeline lines that did not parse
};

// "12345.678901234" to nanoseconds; "open" to kStillOpen.
inline std::optional<MonoNs> ParseMonoTime(const std::string& text) {
  if (text == "open") return kStillOpen;
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || text.size() - dot - 1 != 9) return std::nullopt;
  MonoNs seconds = 0, nanos = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == dot) continue;
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    MonoNs& into = i < dot ? seconds : nanos;
    into = into * 10 + (text[i] - '0');
  }
  return seconds * 1000000000 + nanos;
}

namespace timeline_detail {

// "... from T to T (END)" after `head`.
inline bool ParseInterval(const std::string& rest, TimelineInterval& out) {
  const std::size_t from = rest.find(" from ");
  const std::size_t to = rest.find(" to ", from == std::string::npos ? 0 : from);
  const std::size_t open = rest.find(" (", to == std::string::npos ? 0 : to);
  if (from == std::string::npos || to == std::string::npos || open == std::string::npos || rest.back() != ')') {
    return false;
  }
  const auto begin = ParseMonoTime(rest.substr(from + 6, to - from - 6));
  const auto end = ParseMonoTime(rest.substr(to + 4, open - to - 4));
  if (!begin || !end || *begin == kStillOpen) return false;
  out.from = *begin;
  out.to = *end;
  out.end = rest.substr(open + 2, rest.size() - open - 3);
  return true;
}

// "at T from ADDR:PORT, N bytes"
inline bool ParseDatagram(const std::string& rest, TimelineDatagram& out) {
  if (rest.rfind("at ", 0) != 0) return false;
  const std::size_t from = rest.find(" from ");
  const std::size_t comma = rest.find(", ", from == std::string::npos ? 0 : from);
  if (from == std::string::npos || comma == std::string::npos) return false;
  const auto at = ParseMonoTime(rest.substr(3, from - 3));
  if (!at || *at == kStillOpen) return false;
  out.at = *at;
  out.source = rest.substr(from + 6, comma - from - 6);
  return true;
}

}  // namespace timeline_detail

// The timeline from a simulator's whole output (it prints it at exit).
inline ProjectorTimeline ParseTimeline(const std::string& name, const std::vector<std::string>& lines) {
  ProjectorTimeline t;
  t.name = name;
  const std::string tag = "timeline: ";
  const std::string awake = "boot loader awake run ", sub = "sub firmware received run ", magic = "heard Magic packet ",
                    bootp = "heard BOOTP reply ", listener = "listener not listening: ";
  for (const std::string& line : lines) {
    if (line.rfind(tag, 0) != 0) continue;
    const std::string rest = line.substr(tag.size());
    bool read = false;
    if (rest.rfind(awake, 0) == 0) {
      TimelineInterval i;
      read = timeline_detail::ParseInterval(rest, i);
      if (read) t.awake.push_back(i);
    } else if (rest.rfind(sub, 0) == 0) {
      TimelineInterval i;
      read = timeline_detail::ParseInterval(rest, i);
      if (read) t.sub.push_back(i);
    } else if (rest.rfind(magic, 0) == 0) {
      TimelineDatagram d;
      read = timeline_detail::ParseDatagram(rest.substr(magic.size()), d);
      if (read) t.magic.push_back(d);
    } else if (rest.rfind(bootp, 0) == 0) {
      TimelineDatagram d;
      read = timeline_detail::ParseDatagram(rest.substr(bootp.size()), d);
      if (read) t.bootp_replies.push_back(d);
    } else if (rest.rfind(listener, 0) == 0) {
      t.listener_errors.push_back(rest.substr(listener.size()));
      read = true;
    }
    if (!read) t.unreadable.push_back(line);
  }
  return t;
}

inline std::string MonoText(MonoNs t) {
  if (t == kStillOpen) return "open";
  std::string nanos = std::to_string(t % 1000000000);
  return std::to_string(t / 1000000000) + "." + std::string(9 - nanos.size(), '0') + nanos;
}

// What broke the fleet's rules on the shared segment; empty when none did. Also refuses a
// timeline that could not show a breach: a listener that did not listen, or a line that
// did not parse.
inline std::vector<std::string> FleetTimelineProblems(const std::vector<ProjectorTimeline>& fleet) {
  std::vector<std::string> problems;
  for (const ProjectorTimeline& p : fleet) {
    for (const std::string& e : p.listener_errors) problems.push_back(p.name + ": listener not listening: " + e);
    for (const std::string& l : p.unreadable) problems.push_back(p.name + ": unreadable timeline line: " + l);
    for (const auto* intervals : {&p.awake, &p.sub}) {
      for (const TimelineInterval& i : *intervals) {
        if (i.to < i.from) problems.push_back(p.name + ": interval ends before it begins: " + MonoText(i.from));
      }
    }
  }
  // One boot loader awake at a time: they all answer to one MAC, and the Magic packet and
  // the BOOTP reply are broadcasts.
  for (std::size_t a = 0; a < fleet.size(); ++a) {
    for (std::size_t b = a + 1; b < fleet.size(); ++b) {
      for (const TimelineInterval& x : fleet[a].awake) {
        for (const TimelineInterval& y : fleet[b].awake) {
          if (x.from < y.to && y.from < x.to) {
            problems.push_back("boot loaders awake at once: " + fleet[a].name + " " + MonoText(x.from) + ".." +
                               MonoText(x.to) + " and " + fleet[b].name + " " + MonoText(y.from) + ".." +
                               MonoText(y.to));
          }
        }
      }
    }
  }
  // No Magic packet or BOOTP reply while any projector receives its Sub firmware: a boot
  // loader woken there would take the next Main image.
  for (const ProjectorTimeline& heard : fleet) {
    for (const auto& [kind, datagrams] : {std::pair{"Magic packet", &heard.magic},
                                         std::pair{"BOOTP reply", &heard.bootp_replies}}) {
      for (const TimelineDatagram& d : *datagrams) {
        for (const ProjectorTimeline& receiving : fleet) {
          for (const TimelineInterval& s : receiving.sub) {
            if (s.from <= d.at && d.at <= s.to) {
              problems.push_back(std::string(kind) + " from " + d.source + " reached " + heard.name + " at " +
                                 MonoText(d.at) + " while " + receiving.name + " received its Sub firmware (" +
                                 MonoText(s.from) + ".." + MonoText(s.to) + ")");
            }
          }
        }
      }
    }
  }
  return problems;
}

}  // namespace tessaly::testing
