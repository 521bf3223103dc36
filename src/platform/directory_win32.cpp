#include <windows.h>

#include "platform/directory.h"

namespace tessaly {

namespace {

// FILETIME counts 100 ns from 1601; the entries count nanoseconds from 1970, as on Linux.
std::int64_t UnixNanoseconds(const FILETIME& t) {
  constexpr std::int64_t kFrom1601To1970 = 116444736000000000;  // in 100 ns
  const std::int64_t ticks =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  return (ticks - kFrom1601To1970) * 100;
}

}  // namespace

std::vector<DirEntry> WorkingDirectoryLister::List(const std::string& extension) {
  std::vector<DirEntry> out;
  const std::string pattern = "*" + extension;
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return out;
  do {
    // The pattern also matches by the short 8.3 name, so "*.bin" finds "a.bink": only
    // names that really end in the extension count.
    if (!EndsWithNoCase(found.cFileName, extension)) continue;
    out.push_back(DirEntry{found.cFileName, found.dwFileAttributes, UnixNanoseconds(found.ftLastWriteTime)});
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return out;
}

}  // namespace tessaly
