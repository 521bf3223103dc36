#pragma once
// Names table-driven cases by one of their fields in test output and CTest names, in
// place of a dump of the parameter's bytes.

#include <ostream>

#define TESSALY_PRINT_PARAM(Type, field) \
  [[maybe_unused]] inline void PrintTo(const Type& value, std::ostream* os) { *os << value.field; }
