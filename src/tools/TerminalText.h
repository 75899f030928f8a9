#pragma once

#include <string>
#include <string_view>

// Text from the service (names, messages) as a terminal may show it: nothing in it can move
// the cursor, start a new line, set the window title or reorder what follows. Control
// characters (C0, DEL, C1), line and paragraph separators and the bidirectional controls
// become \n, \r, \t, \e, \xNN or \u{XXXX}; bytes that are not UTF-8 become \xNN; a backslash
// becomes \\, so no name can pass for an escape. Everything else is kept as it is.
std::string terminalSafe(std::string_view text);
