#pragma once

#include <optional>
#include <string>
#include <vector>

#include "BVFinderExtension/FinderSync.h"

// The line protocol through which file-manager plug-ins use a long-running extension.
// One request per line, fields separated by TAB, each field with "%", TAB, CR and LF
// written as %25, %09, %0D and %0A. Every request gets an answer:
//
//   observe-begin PATH | observe-end PATH        -> ok
//   menu KIND TARGET [PATH...]                   -> title Brimvault, one line per item, end
//   action NAME TARGET [PATH...]                 -> ok | error TEXT
//   root                                         -> root DRIVEPATH
//
// KIND is items, container, sidebar or toolbar; TARGET may be empty. Item lines are
// "item ACTION TITLE", "disabled  TITLE" (empty action) and "separator". Anything else
// answers "error TEXT". Once the extension is ready the agent first writes "ready DRIVEPATH".
class FinderAgent {
  public:
    explicit FinderAgent(FinderSync& finder) : finder_(finder) {}

    // The answer lines of one request line (without line ends).
    std::vector<std::string> handleLine(const std::string& line);

    static std::string escapeField(const std::string& text);
    static std::string unescapeField(const std::string& text);
    static std::vector<std::string> splitFields(const std::string& line);
    static std::string joinFields(const std::vector<std::string>& fields);
    static std::optional<FinderSync::MenuKind> kindNamed(const std::string& name);
    // The lines of a menu, as "menu" answers them (without "end").
    static std::vector<std::string> menuLines(const FinderMenu& menu);

  private:
    FinderSync& finder_;
};
