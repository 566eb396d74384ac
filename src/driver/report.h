// Words for the user: how names are shown, and the lines on standard error.
// Every line on standard error begins "vantrel: " and names the still or
// file it is about.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

// Names are shown as escapedname (base/text.h) writes them.
// Writes "vantrel: <message>" on err, after flushing log so that a terminal
// shows both in the order they happened.
void reportfailure(std::ostream& log, std::ostream& err, const std::string& message);

// What a worker wrote on its standard error while it made the still name,
// as lines "vantrel: <name>: <line>" (printable, each line once ended).
std::string workerlines(std::string_view name, const std::string& diagnostics);
