#include <unistd.h>

#include <clocale>
#include <cstdio>

#include "QuillmereUtilityToolApp.h"

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    CQuillmereUtilityToolApp app(argc, argv);
    app.InitInstance();
    if (!app.IsRestartRequested())
        return 0;
    // The old program has shut down completely and let go of its instance lock, so the new
    // one cannot meet it; the same process id carries on.
    ::execv("/proc/self/exe", argv);
    std::perror("quillmere-monitor: restart failed");
    return 1;
}
