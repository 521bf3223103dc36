#pragma once
// The user's own profile, where the window and the command line remember their settings:
// an INI file on Linux, the Windows profile on Windows.

#include <memory>

#include "platform/profile.h"

namespace tessaly {

std::unique_ptr<Profile> OpenUserProfile();

}  // namespace tessaly
