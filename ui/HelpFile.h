#pragma once

#include <QString>

// The operator's help document ships as Quillmere_Help.html, beside the executable in the
// build tree and under share/quillmere-monitor once installed. Returns the first of these
// that exists, else the one beside the executable (opening it then fails quietly).
QString FindHelpFile(const QString& executableDir);

inline constexpr const char* kHelpFileName = "Quillmere_Help.html";
