#include "NetworkMonitorEditControl.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>

#include "netmon/CheckTarget.h"
#include "netmon/MonitorAction.h"
#include "netmon/NetworkMonitor.h"
#include "config/AppSettings.h"
#include "config/RelaySetting.h"
#include "FontUnits.h"
#include "WheelGuard.h"
#include "SpinEdit.h"

static void InitSettingsResources()
{
    Q_INIT_RESOURCE(settings);
}

namespace
{
constexpr const char* kDeleteIcon = ":/settings/delete.svg";
constexpr int kDeleteIconSize = 16;
constexpr std::int32_t kActions[] = {MonitorActionDoNothing, MonitorActionCyclePower, MonitorActionCyclePowerEvery};

// The widgets of a layout that take the keyboard by Tab, row by row, left to right.
void ForEachFocusable(QLayout* layout, const std::function<void(QWidget*)>& visit)
{
    for (int index = 0; index < layout->count(); ++index)
    {
        QLayoutItem* item = layout->itemAt(index);
        if (QLayout* inner = item->layout())
            ForEachFocusable(inner, visit);
        else if (QWidget* widget = item->widget(); widget != nullptr && (widget->focusPolicy() & Qt::TabFocus))
            visit(widget);
    }
}

QLabel* MakeLabel(const char* text, QWidget* parent)
{
    return new QLabel(QString::fromUtf8(text), parent);
}

CSpinEdit* MakeSpin(const QString& name, int minimum, int maximum, QWidget* parent)
{
    auto* spin = new CSpinEdit(parent);
    spin->setObjectName(name);
    spin->setRange(minimum, maximum);
    spin->setMinimumWidth(FontUnits::Across(spin, 52));
    GuardAgainstWheel(spin);
    return spin;
}
}

CNetworkMonitorEditControl::CNetworkMonitorEditControl(QWidget* parent)
    : QWidget(parent), m_remove(new QToolButton(this)), m_eventName(new QLineEdit(this)),
      m_target(new QLineEdit(this)),
      m_interval(MakeSpin(QStringLiteral("intervalSpin"), kIntervalMin, kIntervalMax, this)),
      m_threshold(MakeSpin(QStringLiteral("thresholdSpin"), kCountMin, kCountMax, this)),
      m_action(new QComboBox(this)),
      m_cycleEvery(MakeSpin(QStringLiteral("cycleEverySpin"), kCountMin, kCountMax, this)),
      m_failEvents(MakeLabel("fail events", this)), m_relay(new QComboBox(this)),
      m_stopAfter(MakeLabel("stop action after", this)),
      m_resetLimit(MakeSpin(QStringLiteral("resetLimitSpin"), kCountMin, kCountMax, this)),
      m_occurrences(MakeLabel("occurrences.", this)),
      m_grace(MakeSpin(QStringLiteral("graceSpin"), 0, kGraceMax, this))
{
    InitSettingsResources();
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Base));
    setPalette(colours);

    m_remove->setObjectName(QStringLiteral("removeButton"));
    m_remove->setText(QStringLiteral("Remove"));
    m_remove->setAccessibleName(QStringLiteral("Remove"));
    m_remove->setToolTip(QStringLiteral("Remove"));   // the button shows only its icon
    m_remove->setIcon(QIcon(QString::fromUtf8(kDeleteIcon)));
    m_remove->setIconSize(QSize(kDeleteIconSize, kDeleteIconSize));
    m_remove->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_remove->setAutoRaise(true);
    m_remove->setFocusPolicy(Qt::StrongFocus);
    m_eventName->setObjectName(QStringLiteral("eventName"));
    m_target->setObjectName(QStringLiteral("target"));
    m_action->setObjectName(QStringLiteral("actionList"));
    m_relay->setObjectName(QStringLiteral("relayList"));
    m_failEvents->setObjectName(QStringLiteral("failEventsLabel"));
    m_stopAfter->setObjectName(QStringLiteral("stopAfterLabel"));
    m_occurrences->setObjectName(QStringLiteral("occurrencesLabel"));
    for (const std::int32_t action : kActions)
        m_action->addItem(QString::fromStdString(MonitorActionToText(action)));
    m_relay->setMinimumWidth(FontUnits::Across(m_relay, 120));
    GuardAgainstWheel(m_action);
    GuardAgainstWheel(m_relay);

    // The delete button has a row of its own above the sentence, so the keyboard meets it
    // first and never on its way from one field to the next.
    auto* top = new QHBoxLayout;
    top->addWidget(m_remove);
    top->addStretch(1);

    auto* first = new QHBoxLayout;
    first->addWidget(MakeLabel("Event", this));
    first->addWidget(m_eventName, 1);

    auto* second = new QHBoxLayout;
    second->addWidget(MakeLabel("Ping", this));
    second->addWidget(m_target, 1);
    second->addWidget(MakeLabel("every", this));
    second->addWidget(m_interval);
    second->addWidget(MakeLabel("minute(s).", this));

    auto* third = new QHBoxLayout;
    third->addWidget(MakeLabel("When", this));
    third->addWidget(m_threshold);
    third->addWidget(MakeLabel("failure(s)", this));
    third->addWidget(m_action);
    third->addWidget(m_cycleEvery);
    third->addWidget(m_failEvents);
    third->addStretch(1);

    auto* fourth = new QHBoxLayout;
    fourth->addWidget(MakeLabel("for", this));
    fourth->addWidget(m_relay);
    fourth->addWidget(m_stopAfter);
    fourth->addWidget(m_resetLimit);
    fourth->addWidget(m_occurrences);
    fourth->addStretch(1);

    // A row of its own: on the relay's row the sentence grew wider than the page.
    auto* fifth = new QHBoxLayout;
    fifth->addWidget(MakeLabel("wait", this));
    fifth->addWidget(m_grace);
    fifth->addWidget(MakeLabel("minute(s) after a power cycle.", this));
    fifth->addStretch(1);

    auto* sentence = new QVBoxLayout(this);
    sentence->setContentsMargins(6, 2, 6, 4);
    sentence->setSpacing(6);
    for (QHBoxLayout* row : {top, first, second, third, fourth, fifth})
        row->setSpacing(3);   // a field stays close to the words around it
    sentence->addLayout(top);
    sentence->addLayout(first);
    sentence->addLayout(second);
    sentence->addLayout(third);
    sentence->addLayout(fourth);
    sentence->addLayout(fifth);
    // The rows keep together at the top and the room left over falls below the last one, so
    // the gap sits between two monitors and each delete button is seen with its own monitor.
    sentence->addStretch(1);

    // The Tab order is the order of the rows as drawn, read from the layout, so a field
    // added to a row takes its place in it without a list to keep up.
    QWidget* previous = nullptr;
    ForEachFocusable(sentence, [&previous](QWidget* widget) {
        if (previous != nullptr)
            setTabOrder(previous, widget);
        previous = widget;
    });

    m_eventName->installEventFilter(this);
    m_target->installEventFilter(this);
    m_target->setToolTip(TargetFormsTip(QString()));
    connect(m_target, &QLineEdit::textChanged, this, [this] { ShowTargetVerdict(); });

    // The numbers apply at every change of their text, even to the same number; the value
    // is the position, which out-of-range text leaves where it was.
    connect(m_interval, &CSpinEdit::TextEdited, this, [this] {
        if (m_created && m_monitor != nullptr)
            m_monitor->SetPollIntervalInMinutes(m_interval->value());
    });
    connect(m_threshold, &CSpinEdit::TextEdited, this, [this] {
        if (m_created && m_monitor != nullptr)
            m_monitor->SetThreshold(m_threshold->value());
    });
    connect(m_cycleEvery, &CSpinEdit::TextEdited, this, [this] {
        if (m_created && m_monitor != nullptr)
            m_monitor->SetCycleEveryErrorCount(m_cycleEvery->value());
    });
    connect(m_resetLimit, &CSpinEdit::TextEdited, this, [this] {
        if (m_created && m_monitor != nullptr)
            m_monitor->SetAutoResetLimit(m_resetLimit->value());
    });
    connect(m_grace, &CSpinEdit::TextEdited, this, [this] {
        if (m_created && m_monitor != nullptr)
            m_monitor->SetGraceMinutes(m_grace->value());
    });
    connect(m_action, &QComboBox::currentIndexChanged, this, &CNetworkMonitorEditControl::OnActionChanged);
    connect(m_relay, &QComboBox::currentIndexChanged, this, &CNetworkMonitorEditControl::OnRelayChanged);
    connect(m_remove, &QToolButton::clicked, this, &CNetworkMonitorEditControl::OnRemoveClicked);
}

void CNetworkMonitorEditControl::Create()
{
    if (m_monitor == nullptr || m_created)
        return;
    m_monitor->SetSuppressNotifications(true);
    m_shownName = QString::fromStdString(m_monitor->GetEventName());
    m_shownTarget = QString::fromStdString(m_monitor->GetTarget());
    m_eventName->setText(m_shownName);
    m_target->setText(m_shownTarget);
    {
        const QSignalBlocker blockAction(m_action);
        m_action->setCurrentIndex(static_cast<int>(m_monitor->GetAction()));
    }
    // Setting a spin clamps a stored value into the range; only a value the field could not
    // show is stored again, at its bound. Storing unchanged values would clear the
    // monitor's counters, and with them the automatic-reset limit kept across restarts.
    m_interval->setValue(m_monitor->GetPollIntervalInMinutes());
    m_threshold->setValue(m_monitor->GetThreshold());
    m_resetLimit->setValue(m_monitor->GetAutoResetLimit());
    m_cycleEvery->setValue(m_monitor->GetCycleEveryErrorCount());
    m_grace->setValue(m_monitor->GetGraceMinutes());
    if (m_interval->value() != m_monitor->GetPollIntervalInMinutes())
        m_monitor->SetPollIntervalInMinutes(m_interval->value());
    if (m_threshold->value() != m_monitor->GetThreshold())
        m_monitor->SetThreshold(m_threshold->value());
    if (m_resetLimit->value() != m_monitor->GetAutoResetLimit())
        m_monitor->SetAutoResetLimit(m_resetLimit->value());
    if (m_cycleEvery->value() != m_monitor->GetCycleEveryErrorCount())
        m_monitor->SetCycleEveryErrorCount(m_cycleEvery->value());
    if (m_grace->value() != m_monitor->GetGraceMinutes())
        m_monitor->SetGraceMinutes(m_grace->value());
    FillRelayList();
    ApplyVisibility(m_monitor->GetAction());
    m_monitor->SetSuppressNotifications(false);
    m_created = true;
}

void CNetworkMonitorEditControl::FillRelayList()
{
    const QSignalBlocker block(m_relay);
    m_relay->clear();
    if (m_settings == nullptr)
        return;
    int selected = -1;
    int position = 0;
    for (const CRelaySetting* relay : m_settings->GetRelaySettings())
    {
        m_relay->addItem(QString::fromStdString(relay->GetName()));
        // The entry of the relay that has the monitor's index, wherever it sits: a file
        // edited by hand may number its relays in another order than the list.
        if (selected < 0 && m_monitor != nullptr && relay->GetIndex() == m_monitor->GetRelayIndex())
            selected = position;
        ++position;
    }
    m_relay->setCurrentIndex(selected);
}

void CNetworkMonitorEditControl::ApplyVisibility(std::int32_t action)
{
    const bool acts = action == MonitorActionCyclePower || action == MonitorActionCyclePowerEvery;
    const bool cyclesEvery = action == MonitorActionCyclePowerEvery;
    m_relay->setEnabled(acts);
    for (QWidget* control : {static_cast<QWidget*>(m_stopAfter), static_cast<QWidget*>(m_resetLimit),
                             static_cast<QWidget*>(m_occurrences)})
        control->setVisible(acts);
    m_cycleEvery->setVisible(cyclesEvery);
    m_failEvents->setVisible(cyclesEvery);
}

void CNetworkMonitorEditControl::SetRemoveAllowed(bool allowed)
{
    m_remove->setEnabled(allowed && !m_removed);
}

void CNetworkMonitorEditControl::ApplyTexts()
{
    if (!m_created || m_monitor == nullptr)
        return;
    if (m_eventName->text() != m_shownName)
    {
        m_shownName = m_eventName->text();
        m_monitor->SetEventName(m_shownName.toStdString());
    }
    // A refused target keeps the monitor on the last one it could check.
    if (m_target->text() != m_shownTarget && IsTargetAccepted())
    {
        m_shownTarget = m_target->text();
        m_monitor->SetTarget(m_shownTarget.toStdString());
    }
}

bool CNetworkMonitorEditControl::IsTargetAccepted() const
{
    return ParseCheckTarget(m_target->text().toStdString()).Kind != CheckKind::Invalid;
}

QString CNetworkMonitorEditControl::TargetFormsTip(const QString& refusal)
{
    // One form to a line: as one sentence the tip ran across the whole screen. The tip shows
    // the forms, never the target typed, so a password in it stays in the field.
    QString tip = refusal.isEmpty() ? QString() : QStringLiteral("Refused: ") + refusal + QStringLiteral("\n");
    tip += QStringLiteral("The target is one of:\n"
                          "\u2022 a host name or address, pinged: example.net, 192.0.2.10\n"
                          "\u2022 tcp://host:port, a TCP connect: tcp://192.0.2.10:22\n"
                          "\u2022 http(s)://host[:port][/path], one GET answered 200-399: http://192.0.2.10:8080/status\n"
                          "Options for http(s), after the path:\n"
                          "\u2022 user:password@ before the host: basic authentication (shown masked)\n"
                          "\u2022 #status=any: any status means alive (a login page answering 401)\n"
                          "\u2022 #sha256=AB:CD:\u2026 (https): accept only the certificate with this SHA-256 fingerprint\n"
                          "\u2022 both: #status=any&sha256=AB:CD:\u2026");
    // Unwrapped lines: wrapped, the tip broke the examples inside their addresses.
    return QStringLiteral("<p style=\"white-space:pre\">") + tip.toHtmlEscaped().replace(u'\n', QStringLiteral("<br>")) +
           QStringLiteral("</p>");
}

void CNetworkMonitorEditControl::ShowTargetVerdict()
{
    // The engine's own judge: what is framed red here is what the service would leave off.
    const CheckTarget target = ParseCheckTarget(m_target->text().toStdString());
    const bool accepted = target.Kind != CheckKind::Invalid;
    m_target->setProperty("refused", !accepted);
    m_target->setStyleSheet(accepted ? QString() : QStringLiteral("QLineEdit { border: 2px solid #d00000; }"));
    m_target->setToolTip(TargetFormsTip(QString::fromStdString(target.Problem)));
}

void CNetworkMonitorEditControl::FocusEventName()
{
    m_eventName->setFocus(Qt::OtherFocusReason);
}

bool CNetworkMonitorEditControl::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == m_eventName || watched == m_target) && event->type() == QEvent::FocusOut)
        ApplyTexts();
    return QWidget::eventFilter(watched, event);
}

void CNetworkMonitorEditControl::OnActionChanged(int position)
{
    if (!m_created || m_monitor == nullptr || position < 0)
        return;
    m_monitor->SetAction(static_cast<MonitorAction>(position));
    ApplyVisibility(position);
}

void CNetworkMonitorEditControl::OnRelayChanged(int position)
{
    if (!m_created || m_monitor == nullptr || m_settings == nullptr || position < 0)
        return;
    const std::vector<CRelaySetting*> relays = m_settings->GetRelaySettings();
    if (position >= static_cast<int>(relays.size()))
        return;
    m_monitor->SetRelayIndex(relays[static_cast<std::size_t>(position)]->GetIndex());
}

void CNetworkMonitorEditControl::OnRemoveClicked()
{
    // A second click before the page has taken the editor away must not reach a monitor
    // that no longer exists.
    if (m_removed || m_monitor == nullptr || m_settings == nullptr || !m_remove->isEnabled())
        return;
    CNetworkMonitor* monitor = m_monitor;
    m_monitor = nullptr;
    m_removed = true;
    m_remove->setEnabled(false);
    m_settings->RemoveNetworkMonitor(monitor);
    hide();
    emit RemoveRequested(this);
}
