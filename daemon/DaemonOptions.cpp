#include "DaemonOptions.h"

#include <cstdlib>
#include <filesystem>

CDaemonOptions CDaemonOptions::Parse(const std::vector<std::string>& arguments)
{
    CDaemonOptions options;
    bool check = false;
    bool writeSettings = false;
    auto fail = [&options](std::string message) {
        options.What = Action::Error;
        options.Message = std::move(message);
        return options;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h")
        {
            options.What = Action::Help;
            return options;
        }
        if (argument == "--version")
        {
            options.What = Action::Version;
            return options;
        }
        if (argument == "--check")
            check = true;
        else if (argument == "--write-settings")
            writeSettings = true;
        else if (argument == "--data-dir" || argument.rfind("--data-dir=", 0) == 0)
        {
            std::string folder;
            if (argument == "--data-dir")
            {
                if (i + 1 >= arguments.size())
                    return fail("--data-dir needs a folder");
                folder = arguments[++i];
            }
            else
                folder = argument.substr(std::string("--data-dir=").size());
            if (folder.empty())
                return fail("--data-dir needs a folder");
            options.DataDir = folder;
        }
        else
            return fail("unknown option '" + argument + "'");
    }
    if (check && writeSettings)
        return fail("--check and --write-settings do not go together");
    options.What = check ? Action::Check : writeSettings ? Action::WriteSettings : Action::Run;
    return options;
}

std::string CDaemonOptions::HelpText()
{
    return std::string(kUsage) +
           "\n\n"
           "Supervises the unit on the serial port named in settings.xml without any window,\n"
           "for a site PC with no desktop session: polls it, runs the network monitors, keeps\n"
           "the event log and, with mqtt.conf, reaches the fleet's broker.\n\n"
           "  --data-dir DIR  keep settings.xml, mqtt.conf, the log and ports/ in DIR\n"
           "                  (default: $STATE_DIRECTORY, else the window program's folder)\n"
           "  --check         read settings.xml and mqtt.conf, print what would run or the\n"
           "                  first error with its file and line; exit 0 or 1. Also names\n"
           "                  every element it does not know and every value it did not\n"
           "                  take as written\n"
           "  --write-settings write the default settings.xml to edit, when there is none;\n"
           "                  the service does not start without one\n"
           "  --version       print the version\n"
           "  --help          print this text\n\n"
           "SIGTERM or SIGINT ends it normally (reset counts saved; an edit made on disk\n"
           "meanwhile is kept); SIGHUP reads settings.xml and mqtt.conf again.\n"
           "Under the service manager: systemctl enable --now quillmere-monitord\n\n"
           "quillmere-monitorctl shows the unit and gives it orders through the socket\n"
           "$RUNTIME_DIRECTORY/control (/run/quillmere-monitord/control), which root and the\n"
           "members of the group quillmere may use (adduser NAME quillmere): status, monitors,\n"
           "relay N on|off|cycle, reset, poll, log and reload, under the relays' permissions.\n\n"
           "Exit status: 0 ended normally; 2 bad command line, 3 data folder in use by another\n"
           "program and 78 settings it will not run on (an unreadable or missing settings.xml,\n"
           "an unreadable mqtt.conf), all final (the unit does not restart on them); 75 a\n"
           "restart the memory watchdog asked for (the unit restarts at once); anything else is\n"
           "a failure the unit retries.\n";
}

std::string ChooseDataFolder(const std::string& option)
{
    std::string folder = option;
    if (folder.empty())
    {
        if (const char* state = std::getenv("STATE_DIRECTORY"); state != nullptr)
        {
            folder = state;
            folder = folder.substr(0, folder.find(':'));
        }
    }
    if (folder.empty())
        return {};
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    return error ? folder : absolute.lexically_normal().string();
}
