#pragma once

#include <string>
#include <vector>

// The service's command line. The window program takes no option; the service is started
// by a unit file or by hand on a site PC, where a folder and a dry run are worth having.
struct CDaemonOptions
{
    enum class Action
    {
        Run,
        Check,
        WriteSettings,   // the default settings.xml, for the operator to edit
        Version,
        Help,
        Error,   // Message says what was wrong; the caller prints it with the usage line
    };

    static constexpr const char* kProgram = "quillmere-monitord";
    static constexpr const char* kUsage = "usage: quillmere-monitord [--data-dir DIR] [--check | --write-settings] [--version] [--help]";

    Action What = Action::Run;
    std::string DataDir;   // as given; empty when not given
    std::string Message;

    static CDaemonOptions Parse(const std::vector<std::string>& arguments);
    static std::string HelpText();
};

// The folder the service keeps its settings, log and ports/ in: the option, else the first
// folder the service manager made for StateDirectory= ($STATE_DIRECTORY may list several,
// separated by colons), else the window program's own folder. Made absolute against the
// working folder, so that what is logged and locked names one place. Empty: the XDG folder.
std::string ChooseDataFolder(const std::string& option);
