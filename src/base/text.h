// Text fit for the user's terminal.
#pragma once

#include <string>
#include <string_view>

// What another process said, fit for the terminal: every byte outside
// printable ASCII becomes '?'.
std::string printable(std::string_view text);
