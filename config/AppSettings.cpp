#include "AppSettings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FileAccess.h"
#include "IntegerText.h"
#include "SettingsDocument.h"
#include "core/DataFolder.h"
#include "core/DirectoryTree.h"
#include "core/EventArgs.h"

namespace
{
constexpr const char* kSettingsFileName = "settings.xml";

// Element names of the file; each is also the name of the field it stores.
constexpr const char* kSettings = "Settings";
constexpr const char* kComPort = "ComPort";
constexpr const char* kStatusPollIntervalInMinutes = "StatusPollIntervalInMinutes";
constexpr const char* kLogLevel = "LogLevel";
constexpr const char* kEnableMemoryCheck = "EnableMemoryCheck";
constexpr const char* kMaxMemorySizeInBytes = "MaxMemorySizeInBytes";
constexpr const char* kRelays = "Relays";
constexpr const char* kRelay = "Relay";
constexpr const char* kIndex = "Index";
constexpr const char* kName = "Name";
constexpr const char* kPermission = "Permission";
constexpr const char* kNetworkMonitors = "NetworkMonitors";
constexpr const char* kNetworkMonitor = "NetworkMonitor";
constexpr const char* kEventName = "EventName";
constexpr const char* kTarget = "Target";
constexpr const char* kPollIntervalInMinutes = "PollIntervalInMinutes";
constexpr const char* kRelayIndex = "RelayIndex";
constexpr const char* kThreshold = "Threshold";
constexpr const char* kAction = "Action";
constexpr const char* kCycleEveryErrorCount = "CycleEveryErrorCount";
constexpr const char* kGraceMinutes = "GraceMinutes";
constexpr const char* kAutoResetLimit = "AutoResetLimit";
constexpr const char* kCurrentResetCount = "CurrentResetCount";

bool IsNamed(pugi::xml_node node, const char* name)
{
    return std::strcmp(node.name(), name) == 0;
}

bool AppendInteger(pugi::xml_node parent, const char* name, std::int32_t value)
{
    return CSettingsDocument::AppendTextElement(parent, name, WriteInteger(value));
}

// Elements only; text, comments and anything else between them are not entries.
template <typename Visit>
void ForEachChildElement(pugi::xml_node parent, Visit visit)
{
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element)
            visit(child);
}
}

CAppSettings::CAppSettings()
{
    AppendRelay(1, "ISP Equipment", RelayPermissionCycle);
    AppendRelay(2, "Player", RelayPermissionCycle);
    AppendRelay(3, "Digital Display", RelayPermissionOnOff);
    AppendRelay(4, "Aux. Power Control", RelayPermissionOnOff);

    AppendMonitor("ISP Equipment", CNetworkMonitor::DefaultTarget, 15, 1, 4, MonitorActionCyclePower, 1, 8);
    AppendMonitor("Player", "192.168.0.111", 5, 2, 4, MonitorActionCyclePower, 1, 3);
    AppendMonitor("VIP", "192.168.0.112", 5, 2, 4, MonitorActionCyclePower, 1, 3);
    AppendMonitor("Web cam", "192.168.0.249", 5, 1, 4, MonitorActionCyclePower, 1, 3);
}

CAppSettings::~CAppSettings()
{
    ClearRelays();
    ClearNetworkMonitors();
}

void CAppSettings::AppendRelay(std::int32_t index, const char* name, RelayPermission permission)
{
    // Filled before this object observes it, so building the defaults raises nothing.
    auto relay = std::make_unique<CRelaySetting>();
    relay->SetIndex(index);
    relay->SetName(name);
    relay->SetPermission(permission);
    relay->Attach(this);
    m_relaySettings.push_back(std::move(relay));
}

void CAppSettings::AppendMonitor(const char* eventName, const char* target, std::int32_t pollIntervalInMinutes,
                                 std::int32_t relayIndex, std::int32_t threshold, MonitorAction action,
                                 std::int32_t cycleEveryErrorCount, std::int32_t autoResetLimit)
{
    auto monitor = std::make_shared<CNetworkMonitor>();
    monitor->SetEventName(eventName);
    monitor->SetTarget(target);
    monitor->SetPollIntervalInMinutes(pollIntervalInMinutes);
    monitor->SetRelayIndex(relayIndex);
    monitor->SetThreshold(threshold);
    monitor->SetAction(action);
    monitor->SetCycleEveryErrorCount(cycleEveryErrorCount);
    monitor->SetAutoResetLimit(autoResetLimit);
    monitor->Attach(this);
    m_networkMonitors.push_back(std::move(monitor));
}

void CAppSettings::ClearRelays()
{
    for (auto& relay : m_relaySettings)
        relay->Detach(this);
    m_relaySettings.clear();
}

void CAppSettings::ClearNetworkMonitors()
{
    // Detached first: a ping under way may keep a monitor alive past this point, and its
    // records must not reach an object that no longer holds it.
    for (auto& monitor : m_networkMonitors)
        monitor->Detach(this);
    m_networkMonitors.clear();
}

void CAppSettings::NotifySettingsChanged()
{
    if (m_suppressNotifications)
        return;
    CSettingsChangedEventArgs args;
    Notify(&args);
}

void CAppSettings::SetComPort(std::int32_t comPort)
{
    m_comPort = comPort;
    NotifySettingsChanged();
}

void CAppSettings::SetStatusPollIntervalInMinutes(std::int32_t minutes)
{
    m_statusPollIntervalInMinutes = minutes;
    NotifySettingsChanged();
}

void CAppSettings::SetLogLevel(LogLevelValue level)
{
    m_logLevel = level;
    NotifySettingsChanged();
}

std::vector<CRelaySetting*> CAppSettings::GetRelaySettings() const
{
    std::vector<CRelaySetting*> relays;
    relays.reserve(m_relaySettings.size());
    for (const auto& relay : m_relaySettings)
        relays.push_back(relay.get());
    return relays;
}

CRelaySetting* CAppSettings::FindRelaySetting(std::int32_t index) const
{
    for (const auto& relay : m_relaySettings)
        if (relay->GetIndex() == index)
            return relay.get();
    return nullptr;
}

CNetworkMonitor* CAppSettings::AddNetworkMonitor()
{
    auto monitor = std::make_shared<CNetworkMonitor>();
    CNetworkMonitor* added = monitor.get();
    m_networkMonitors.push_back(std::move(monitor));
    added->Attach(this);
    NotifySettingsChanged();
    return added;
}

void CAppSettings::RemoveNetworkMonitor(CNetworkMonitor* monitor)
{
    if (monitor == nullptr)
        return;
    // Only a monitor of this list is ours to release; anything else is left alone rather
    // than destroyed under its real owner.
    std::shared_ptr<CNetworkMonitor> removed;
    std::erase_if(m_networkMonitors, [&](const std::shared_ptr<CNetworkMonitor>& held) {
        if (held.get() != monitor)
            return false;
        removed = held;
        return true;
    });
    if (!removed)
        return;
    removed->Detach(this);
    removed.reset();
    NotifySettingsChanged();
}

void CAppSettings::Update(CEventArgs* args)
{
    Notify(args);
}

std::string CAppSettings::GetSettingsFilePath()
{
    return JoinPath(GetDataFolder(), kSettingsFileName);
}

bool CAppSettings::Load(std::string* why)
{
    // A folder that cannot be made shows up as a file that cannot be read.
    CreateDirectoryTree(GetDataFolder());
    return LoadFromFile(GetSettingsFilePath(), why);
}

bool CAppSettings::LoadFromFile(const std::string& path, std::string* why, std::vector<std::string>* notes)
{
    std::string content;
    std::string error;
    if (!ReadRegularFile(path, MaxFileBytes, content, &error))
    {
        if (why != nullptr)
        {
            struct stat info{};
            *why = ::lstat(path.c_str(), &info) != 0 && errno == ENOENT
                       ? std::string()
                       : "not a readable settings file (" + error + ")";
        }
        return false;
    }
    return LoadFromMemory(content.data(), content.size(), why, notes);
}

bool CAppSettings::LoadFromMemory(const void* data, std::size_t size, std::string* why,
                                  std::vector<std::string>* notes)
{
    // Parsed whole before anything is applied: a damaged or cut-off file changes nothing.
    const std::unique_ptr<CSettingsDocument> document = CSettingsDocument::Parse(data, size, why);
    if (!document)
        return false;
    // Another program's document, or a file cut before its root, is not read as a settings
    // file with everything missing: that would run the defaults under the operator's name.
    if (!IsNamed(document->GetRoot(), kSettings))
    {
        if (why != nullptr)
            *why = "the root element is <" + std::string(document->GetRoot().name()) + ">, not <" + kSettings + ">";
        return false;
    }
    ApplyDocument(*document, notes);
    return true;
}

namespace
{
// Says what a reading did not take as written; says nothing when nobody asked.
class CReadingNotes
{
public:
    CReadingNotes(const CSettingsDocument& document, std::vector<std::string>* notes)
        : m_document(document), m_notes(notes)
    {
    }

    void Add(pugi::xml_node node, const std::string& text) const
    {
        if (m_notes == nullptr)
            return;
        const int line = m_document.LineOf(node);
        m_notes->push_back((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + text);
    }
    void Unknown(pugi::xml_node element) const { Add(element, "unknown element <" + std::string(element.name()) + ">"); }

    std::int32_t Integer(pugi::xml_node element) const
    {
        const std::string text = CSettingsDocument::GetText(element);
        const std::int32_t value = ReadInteger(text);
        if (m_notes != nullptr && Trimmed(text) != WriteInteger(value))
            Taken(element, text, WriteInteger(value));
        return value;
    }
    // An enumeration read from its text: anything but one of its own texts is read as some value.
    template <typename FromText, typename ToText>
    auto Choice(pugi::xml_node element, FromText fromText, ToText toText) const
    {
        const std::string text = CSettingsDocument::GetText(element);
        const auto value = fromText(text);
        if (m_notes != nullptr && toText(value) != text)
            Taken(element, text, "\"" + toText(value) + "\"");
        return value;
    }
    void Taken(pugi::xml_node element, const std::string& text, const std::string& as) const
    {
        Add(element, std::string(element.name()) + " \"" + text + "\" read as " + as);
    }

private:
    static std::string Trimmed(const std::string& text)
    {
        const auto first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos)
            return {};
        return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    }

    const CSettingsDocument& m_document;
    std::vector<std::string>* m_notes;
};

bool IsOneOf(pugi::xml_node element, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return IsNamed(element, name); });
}
}

void CAppSettings::ApplyDocument(const CSettingsDocument& document, std::vector<std::string>* notes)
{
    const CReadingNotes said(document, notes);
    // Each element acts when it is met, so a later element of the same name wins. Scalars are
    // assigned without their setters: loading raises nothing.
    ForEachChildElement(document.GetRoot(), [&](pugi::xml_node element) {
        if (IsNamed(element, kComPort))
            m_comPort = said.Integer(element);
        else if (IsNamed(element, kStatusPollIntervalInMinutes))
            m_statusPollIntervalInMinutes = said.Integer(element);
        else if (IsNamed(element, kMaxMemorySizeInBytes))
            m_maxMemorySizeInBytes = said.Integer(element);
        else if (IsNamed(element, kLogLevel))
            m_logLevel = said.Choice(element, LogLevelValueFromText, LogLevelValueToText);
        else if (IsNamed(element, kEnableMemoryCheck))
            m_enableMemoryCheck = said.Integer(element) != 0;
        else if (IsNamed(element, kRelays))
        {
            ClearRelays();
            std::int32_t position = 0;
            ForEachChildElement(element, [&](pugi::xml_node entry) {
                if (m_relaySettings.size() >= MaxListEntries)
                    return said.Add(entry, "more than " + std::to_string(MaxListEntries) + " relays: skipped");
                if (!IsNamed(entry, kRelay))
                    said.Add(entry, "<" + std::string(entry.name()) + "> read as a <Relay>");
                ++position;
                auto relay = std::make_unique<CRelaySetting>();
                // An entry without an Index takes its place in the list, which is how the
                // device numbers its relays; one without a Permission reads like one with
                // an unknown text.
                relay->SetIndex(position);
                ForEachChildElement(entry, [&](pugi::xml_node field) {
                    if (!IsOneOf(field, {kIndex, kName, kPermission}))
                        said.Unknown(field);
                });
                if (pugi::xml_node index = CSettingsDocument::FindChildElement(entry, kIndex))
                    relay->SetIndex(said.Integer(index));
                if (pugi::xml_node name = CSettingsDocument::FindChildElement(entry, kName))
                    relay->SetName(CSettingsDocument::GetText(name));
                if (pugi::xml_node permission = CSettingsDocument::FindChildElement(entry, kPermission))
                    relay->SetPermission(said.Choice(permission, RelayPermissionFromText, RelayPermissionToText));
                relay->Attach(this);
                m_relaySettings.push_back(std::move(relay));
            });
        }
        else if (IsNamed(element, kNetworkMonitors))
        {
            ClearNetworkMonitors();
            ForEachChildElement(element, [&](pugi::xml_node entry) {
                if (m_networkMonitors.size() >= MaxListEntries)
                    return said.Add(entry, "more than " + std::to_string(MaxListEntries) + " monitors: skipped");
                if (!IsNamed(entry, kNetworkMonitor))
                    said.Add(entry, "<" + std::string(entry.name()) + "> read as a <NetworkMonitor>");
                ForEachChildElement(entry, [&](pugi::xml_node field) {
                    if (!IsOneOf(field, {kEventName, kTarget, kPollIntervalInMinutes, kRelayIndex, kThreshold, kAction,
                                         kCycleEveryErrorCount, kAutoResetLimit, kGraceMinutes, kCurrentResetCount}))
                        said.Unknown(field);
                });
                auto monitor = std::make_shared<CNetworkMonitor>();
                auto child = [&](const char* name) { return CSettingsDocument::FindChildElement(entry, name); };
                if (pugi::xml_node e = child(kEventName))
                    monitor->SetEventName(CSettingsDocument::GetText(e));
                if (pugi::xml_node e = child(kTarget))
                    monitor->SetTarget(CSettingsDocument::GetText(e));
                if (pugi::xml_node e = child(kPollIntervalInMinutes))
                    monitor->SetPollIntervalInMinutes(said.Integer(e));
                if (pugi::xml_node e = child(kRelayIndex))
                    monitor->SetRelayIndex(said.Integer(e));
                if (pugi::xml_node e = child(kThreshold))
                    monitor->SetThreshold(said.Integer(e));
                if (pugi::xml_node e = child(kAction))
                    monitor->SetAction(said.Choice(e, MonitorActionFromText, MonitorActionToText));
                if (pugi::xml_node e = child(kCycleEveryErrorCount))
                    monitor->SetCycleEveryErrorCount(said.Integer(e));
                if (pugi::xml_node e = child(kAutoResetLimit))
                    monitor->SetAutoResetLimit(said.Integer(e));
                if (pugi::xml_node e = child(kGraceMinutes))
                {
                    const std::int32_t minutes = said.Integer(e);
                    monitor->SetGraceMinutes(std::clamp(minutes, 0, 60));
                    if (monitor->GetGraceMinutes() != minutes)
                        said.Taken(e, CSettingsDocument::GetText(e), WriteInteger(monitor->GetGraceMinutes()));
                }
                // Last: every other setter clears the count, and it must outlive a restart.
                if (pugi::xml_node e = child(kCurrentResetCount))
                    monitor->SetCurrentResetCount(said.Integer(e));
                monitor->Attach(this);
                m_networkMonitors.push_back(std::move(monitor));
            });
        }
        else
            said.Unknown(element);
    });
}

std::unique_ptr<CSettingsDocument> CAppSettings::BuildDocument() const
{
    std::unique_ptr<CSettingsDocument> document = CSettingsDocument::Create();
    if (!document)
        return nullptr;
    pugi::xml_node root = document->GetRoot();

    bool ok = AppendInteger(root, kComPort, m_comPort);
    ok = ok && AppendInteger(root, kStatusPollIntervalInMinutes, m_statusPollIntervalInMinutes);
    ok = ok && CSettingsDocument::AppendTextElement(root, kLogLevel, LogLevelValueToText(m_logLevel));
    ok = ok && CSettingsDocument::AppendTextElement(root, kEnableMemoryCheck, m_enableMemoryCheck ? "1" : "0");
    ok = ok && AppendInteger(root, kMaxMemorySizeInBytes, m_maxMemorySizeInBytes);

    pugi::xml_node relays = root.append_child(kRelays);
    ok = ok && relays;
    for (const auto& relay : m_relaySettings)
    {
        pugi::xml_node entry = relays.append_child(kRelay);
        ok = ok && entry;
        ok = ok && AppendInteger(entry, kIndex, relay->GetIndex());
        ok = ok && CSettingsDocument::AppendTextElement(entry, kName, relay->GetName());
        ok = ok && CSettingsDocument::AppendTextElement(entry, kPermission, RelayPermissionToText(relay->GetPermission()));
    }

    pugi::xml_node monitors = root.append_child(kNetworkMonitors);
    ok = ok && monitors;
    for (const auto& monitor : m_networkMonitors)
    {
        pugi::xml_node entry = monitors.append_child(kNetworkMonitor);
        ok = ok && entry;
        ok = ok && CSettingsDocument::AppendTextElement(entry, kEventName, monitor->GetEventName());
        ok = ok && CSettingsDocument::AppendTextElement(entry, kTarget, monitor->GetTarget());
        ok = ok && AppendInteger(entry, kPollIntervalInMinutes, monitor->GetPollIntervalInMinutes());
        ok = ok && AppendInteger(entry, kRelayIndex, monitor->GetRelayIndex());
        ok = ok && AppendInteger(entry, kThreshold, monitor->GetThreshold());
        ok = ok && CSettingsDocument::AppendTextElement(entry, kAction, MonitorActionToText(monitor->GetAction()));
        ok = ok && AppendInteger(entry, kCycleEveryErrorCount, monitor->GetCycleEveryErrorCount());
        ok = ok && AppendInteger(entry, kAutoResetLimit, monitor->GetAutoResetLimit());
        ok = ok && AppendInteger(entry, kCurrentResetCount, monitor->GetCurrentResetCount());
        // Written only when set, so a file from before the grace period saves unchanged.
        if (monitor->GetGraceMinutes() != 0)
            ok = ok && AppendInteger(entry, kGraceMinutes, monitor->GetGraceMinutes());
    }

    // A document missing part of the model would be saved over a good file: none at all.
    if (!ok)
        return nullptr;
    return document;
}

bool CAppSettings::Save() const
{
    // Built before the folder is touched: with no document nothing is written.
    const std::unique_ptr<CSettingsDocument> document = BuildDocument();
    if (!document)
        return false;
    if (!CreateDirectoryTree(GetDataFolder()))
        return false;
    return document->SaveToFile(GetSettingsFilePath());
}

bool CAppSettings::SaveToFile(const std::string& path) const
{
    const std::unique_ptr<CSettingsDocument> document = BuildDocument();
    return document && document->SaveToFile(path);
}

std::string CAppSettings::GetSettingsXml() const
{
    const std::unique_ptr<CSettingsDocument> document = BuildDocument();
    if (!document)
        return {};
    std::string xml = document->GetXml();
    std::replace_if(xml.begin(), xml.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return xml;
}
