// Text fit for the user's terminal.
#pragma once

#include <string>
#include <string_view>

// What another process said, fit for the terminal: every byte outside
// printable ASCII becomes '?'.
std::string printable(std::string_view text);

// A name as a terminal may safely show it: control characters (C0, DEL and
// C1), invisible format characters (such as U+202E, which turns the rest of
// a line round), bytes that are not UTF-8 and the backslash are written as
// escapes (\n, \t, \033, \x9b, \xe2\x80\xae, \\); anything else stands as it is.
std::string escapedname(std::string_view name);
