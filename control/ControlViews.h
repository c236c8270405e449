#pragma once

#include <string>

class CQuillmereManager;

// What `status` and `monitors` answer, read from the manager's models on the thread that owns
// the settings (the UI thread or the service's loop): a table for people, or one JSON object
// for scripts. The table's words are the Status page's.
std::string StatusView(const CQuillmereManager& manager, bool json);
std::string MonitorsView(const CQuillmereManager& manager, bool json);
