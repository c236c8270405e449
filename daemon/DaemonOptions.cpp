#include "DaemonOptions.h"

#include <cstdlib>
#include <filesystem>

CDaemonOptions CDaemonOptions::Parse(const std::vector<std::string>& arguments)
{
    CDaemonOptions options;
    bool check = false;
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
    options.What = check ? Action::Check : Action::Run;
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
           "                  first error with its file and line; exit 0 or 1\n"
           "  --version       print the version\n"
           "  --help          print this text\n\n"
           "SIGTERM or SIGINT ends it normally (settings saved); SIGHUP reads settings.xml and\n"
           "mqtt.conf again. Under the service manager: systemctl enable --now quillmere-monitord\n\n"
           "quillmere-monitorctl shows the unit and gives it orders through the socket\n"
           "$RUNTIME_DIRECTORY/control (/run/quillmere-monitord/control), which root and the\n"
           "members of the group quillmere may use (adduser NAME quillmere): status, monitors,\n"
           "relay N on|off|cycle, reset, poll, log and reload, under the relays' permissions.\n\n"
           "Exit status: 0 ended normally; 2 bad command line and 3 data folder in use by\n"
           "another program, both final (the unit does not restart on them); 75 a restart the\n"
           "memory watchdog asked for (the unit restarts at once); anything else is a failure\n"
           "the unit retries.\n";
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
