// Words for the user: how names are shown, and the lines on standard error.
// Every line on standard error begins "vantrel: " and names the still or
// file it is about.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

// A name as a terminal may safely show it: control characters (C0, DEL and
// C1), invisible format characters (such as U+202E, which turns the rest of
// a line round), bytes that are not UTF-8 and the backslash are written as
// escapes (\n, \t, \033, \x9b, \xe2\x80\xae, \\); anything else stands as it is.
std::string escapedname(std::string_view name);

// Writes "vantrel: <message>" on err, after flushing log so that a terminal
// shows both in the order they happened.
void reportfailure(std::ostream& log, std::ostream& err, const std::string& message);

// What a worker wrote on its standard error while it made the still name,
// as lines "vantrel: <name>: <line>" (printable, each line once ended).
std::string workerlines(std::string_view name, const std::string& diagnostics);
