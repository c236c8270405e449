#include <unistd.h>

#include <clocale>
#include <cstdio>

#include "QuillmereUtilityToolApp.h"
#include "TerminationSignals.h"

int main(int argc, char** argv)
{
    // First of all: a signal from here on ends the run normally, and one that arrived while
    // the previous program replaced itself with this one is delivered now.
    CTerminationSignals::NoteFromNowOn();
    std::setlocale(LC_ALL, "");
    CQuillmereUtilityToolApp app(argc, argv);
    app.InitInstance();
    if (!app.IsRestartRequested())
        return 0;
    // A signal before this point cancels the restart; one after it stays pending across exec
    // and ends the new program as soon as it is up.
    CTerminationSignals::BlockInThisThread();
    if (CTerminationSignals::WasRequested())
        return 0;
    // The old program has shut down completely and let go of its instance locks, so the new
    // one cannot meet them; the same process id carries on.
    ::execv("/proc/self/exe", argv);
    std::perror("quillmere-monitor: restart failed");
    return 1;
}
