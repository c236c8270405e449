#pragma once

#include <QCoreApplication>
#include <QFocusEvent>
#include <QWidget>
#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/EventArgs.h"
#include "core/Observer.h"
#include "ui/NetworkMonitorEditControl.h"
#include "ui/ProgressDialog.h"
#include "ui/RelayEditControl.h"
#include "ui/SerialPortList.h"
#include "ui/TasksPane.h"

// Counts the records of one class that a subject raises.
template <typename T>
class CountingObserver : public CObserver
{
public:
    void Update(CEventArgs* args) override
    {
        ++total;
        if (dynamic_cast<T*>(args) != nullptr)
            ++matching;
    }

    std::size_t total = 0;
    std::size_t matching = 0;
};

// What the system sends a field when the operator tabs or clicks away from it.
// Entries that are only their names, for tests about the list's order and selection.
inline std::vector<CSerialPortList::Entry> PortEntries(const std::vector<std::string>& names)
{
    std::vector<CSerialPortList::Entry> entries;
    for (const std::string& name : names)
        entries.push_back({CSerialPortList::ComNumberForName(name), name, {}});
    return entries;
}

inline void LeaveField(QWidget* field)
{
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(field, &out);
}

template <typename T>
T* Child(const QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}

// The settings page's parts, found as an operator would see them: the group panel, and the
// editors in it in the order shown.
constexpr int kRelayGroup = 0;
constexpr int kMonitorGroup = 1;

inline CTasksPane* Pane(const QWidget& page)
{
    return page.findChild<CTasksPane*>();
}

template <typename Editor>
std::vector<Editor*> EditorsOf(const QWidget& page, int group)
{
    std::vector<Editor*> editors;
    CTasksPane* pane = Pane(page);
    for (int task = 0; pane != nullptr && task < pane->GetTaskCount(group); ++task)
    {
        // A monitor's editor is made when its row comes into sight; a test looks at all.
        if (auto* editor = qobject_cast<Editor*>(pane->MakeTaskWindow(group, task)))
            editors.push_back(editor);
    }
    return editors;
}

inline std::vector<CRelayEditControl*> RelayEditors(const QWidget& page)
{
    return EditorsOf<CRelayEditControl>(page, kRelayGroup);
}

inline std::vector<CNetworkMonitorEditControl*> MonitorEditors(const QWidget& page)
{
    return EditorsOf<CNetworkMonitorEditControl>(page, kMonitorGroup);
}

// The "Shutting down" dialog while it is shown, else null.
inline CProgressDialog* WaitDialog(const QWidget& page)
{
    auto* dialog = page.findChild<CProgressDialog*>(QStringLiteral("waitDialog"));
    return dialog != nullptr && dialog->isVisible() ? dialog : nullptr;
}
