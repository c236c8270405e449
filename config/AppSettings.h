#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "LogLevelValue.h"
#include "RelaySetting.h"
#include "core/Observer.h"
#include "core/Subject.h"
#include "netmon/NetworkMonitor.h"

class CSettingsDocument;

// Everything the operator configures and everything that survives a restart. One object
// lives on the UI thread for the whole run; it owns its relay settings and monitors and
// passes every record they raise on to its own observers, so one subscription hears all.
class CAppSettings : public CSubject, public CObserver
{
public:
    CAppSettings();   // the defaults: four relays, four monitors
    ~CAppSettings();

    std::int32_t GetComPort() const { return m_comPort; }
    void SetComPort(std::int32_t comPort);
    std::int32_t GetBaudRate() const { return BaudRate; }
    std::int32_t GetStatusPollIntervalInMinutes() const { return m_statusPollIntervalInMinutes; }
    void SetStatusPollIntervalInMinutes(std::int32_t minutes);
    LogLevelValue GetLogLevel() const { return m_logLevel; }
    void SetLogLevel(LogLevelValue level);
    std::int32_t GetMaxMemorySizeInBytes() const { return m_maxMemorySizeInBytes; }
    bool IsMemoryCheckEnabled() const { return m_enableMemoryCheck; }

    // A copy of the list; the relay settings stay owned here, valid until the next Load.
    std::vector<CRelaySetting*> GetRelaySettings() const;
    // The first relay setting in list order with that Index, or null.
    CRelaySetting* FindRelaySetting(std::int32_t index) const;

    // Callers iterate the list and may copy a pointer to keep a monitor alive for a ping
    // under way; they never change the list.
    const std::vector<std::shared_ptr<CNetworkMonitor>>& GetNetworkMonitors() const { return m_networkMonitors; }
    CNetworkMonitor* AddNetworkMonitor();
    // Null, or a monitor this object does not hold, changes nothing and raises nothing.
    void RemoveNetworkMonitor(CNetworkMonitor* monitor);

    void SetSuppressNotifications(bool suppress) { m_suppressNotifications = suppress; }
    bool IsSuppressingNotifications() const { return m_suppressNotifications; }

    // Every record of a relay setting or monitor, whatever its class, goes on unchanged
    // and on the raising thread.
    void Update(CEventArgs* args) override;

    // settings.xml in the data folder, which is created when missing.
    static std::string GetSettingsFilePath();

    // Loading never fails loudly: what cannot be read keeps its value. The result says
    // only whether a document was read (false: missing, unreadable, not well-formed or
    // without a Settings root, and then nothing changed).
    // why, when given, receives the reason a document was not read ("line 3: ..."; empty
    // for a missing file). notes, when given, receives one line for every element not known
    // and every value not taken as written ("line 4: ComPort \"7x\" read as 7").
    bool Load(std::string* why = nullptr);
    bool LoadFromFile(const std::string& path, std::string* why = nullptr, std::vector<std::string>* notes = nullptr);
    bool LoadFromMemory(const void* data, std::size_t size, std::string* why = nullptr,
                        std::vector<std::string>* notes = nullptr);
    bool LoadFromText(std::string_view text) { return LoadFromMemory(text.data(), text.size()); }

    // False when nothing could be written; the old file is then left as it was.
    bool Save() const;
    bool SaveToFile(const std::string& path) const;

    // Null only when the document cannot be made.
    std::unique_ptr<CSettingsDocument> BuildDocument() const;
    // The document as one line (line breaks turned into blanks), for the event log.
    std::string GetSettingsXml() const;

    // The device's line speed; neither settable nor stored.
    static constexpr std::int32_t BaudRate = 115200;
    // Files larger than this are not settings files and are not read.
    static constexpr std::size_t MaxFileBytes = 64 * 1024 * 1024;
    // Entries of one list beyond this many are skipped when loading, so that a damaged
    // file cannot make millions of objects (and timers) out of a few bytes each.
    static constexpr std::size_t MaxListEntries = 65536;

    // One settings record for a change made without the setters, such as a whole new Load.
    void NotifySettingsChanged();

private:
    void AppendRelay(std::int32_t index, const char* name, RelayPermission permission);
    void AppendMonitor(const char* eventName, const char* target, std::int32_t pollIntervalInMinutes,
                       std::int32_t relayIndex, std::int32_t threshold, MonitorAction action,
                       std::int32_t cycleEveryErrorCount, std::int32_t autoResetLimit);
    void ClearRelays();
    void ClearNetworkMonitors();
    void ApplyDocument(const CSettingsDocument& document, std::vector<std::string>* notes);

    std::int32_t m_comPort = 5;
    std::int32_t m_statusPollIntervalInMinutes = 30;
    std::int32_t m_maxMemorySizeInBytes = 25 * 1024 * 1024;
    bool m_enableMemoryCheck = true;
    LogLevelValue m_logLevel = LogLevelEventsAndErrors;
    std::vector<std::unique_ptr<CRelaySetting>> m_relaySettings;
    std::vector<std::shared_ptr<CNetworkMonitor>> m_networkMonitors;
    bool m_suppressNotifications = false;
};
