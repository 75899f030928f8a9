#pragma once

#include <string>

// Switches for diagnostics, kept in the preference store under "DBGKeys" as a dictionary
// of option name -> boolean. How the dictionary gets its values is left to the user.
class BVDebugOptions {
  public:
    // True when the dictionary holds "ALL" (whatever its value); otherwise the boolean
    // stored under name, false when absent or not a boolean.
    static bool checkDebugParam(const std::string& name);
};
