#pragma once

#include <iosfwd>

// --check: reads settings.xml and mqtt.conf from the data folder as a start would and prints
// what would run to out, or the first error, with its file and line, to err. 0 when both
// files are usable (a missing one is: the defaults, or no broker), else 1. Opens no port and
// no connection, and writes nothing.
int CheckConfiguration(std::ostream& out, std::ostream& err);
