// Text from the wire made safe for where the collector writes it: JSON
// (valid UTF-8), a terminal (no control characters) and a spreadsheet (no
// formulas). Pure functions; any thread.
#pragma once

#include <string>

// `text` with every byte that does not begin or continue a well-formed
// UTF-8 sequence replaced by U+FFFD, one for one; everything else as it is.
std::string validUtf8(const std::string& text);

// validUtf8(text) with control characters written out: \n, \r, \t, and
// \xHH for the others (C0, DEL and the C1 range), so that a name cannot
// start a line of its own or steer the terminal.
std::string terminalText(const std::string& text);

// Appends `text` as a CSV cell: in double quotes, quotes doubled; a cell
// that starts with =, +, - or @ gets a leading apostrophe, so that a
// spreadsheet shows it as text instead of running it as a formula.
void appendCsvCell(const std::string& text, std::string& out);
