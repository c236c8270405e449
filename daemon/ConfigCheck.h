#pragma once

#include <iosfwd>
#include <string>

struct CRemoteConfigResult;
struct CSettingsReading;

// Whether the service may run on what it read: empty when it may, else the one Error line that
// says why not (an unreadable or missing settings.xml, an unreadable mqtt.conf). The service
// and --check both decide with it.
std::string ServiceRefusal(const CSettingsReading& settings, const CRemoteConfigResult& remote);

// --check: reads settings.xml and mqtt.conf from the data folder as a start of the service
// would and prints what would run to out, or the service's refusal to err. Every element not
// known and every value not taken as written goes to err too, one line each, with its line;
// the service still runs on such a file. 0 when the service would start, else 1. Opens no
// port and no connection, and writes nothing.
int CheckConfiguration(std::ostream& out, std::ostream& err);

// --write-settings: the default document as settings.xml, only when there is none. 0 when
// written, else 1 with the reason on err.
int WriteDefaultSettings(std::ostream& out, std::ostream& err);
