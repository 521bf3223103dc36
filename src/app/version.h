#pragma once
// The program's version, as the build names it (the project's version in CMake).

namespace tessaly {

const char* ProgramVersion();

}  // namespace tessaly
