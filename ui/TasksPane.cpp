#include "TasksPane.h"

#include <algorithm>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>

#include "FontUnits.h"
#include "QuillmereVisualManager.h"

// The scrolled surface. It paints through the pane's hooks and reports caption clicks, so a
// style only ever overrides the pane.
class CTasksPane::CContent : public QWidget
{
public:
    explicit CContent(CTasksPane* pane) : QWidget(nullptr), m_pane(pane) {}

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter painter(this);
        painter.setClipRegion(event->region());
        m_pane->PaintBackground(painter, rect());
        for (const Group& group : m_pane->m_groups)
        {
            // The visual style fills an expanded group's task area, the gaps between its
            // windows included, and may draw a border around it.
            int bottom = group.caption.bottom();
            for (const Task& task : group.tasks)
            {
                if (!group.collapsed && task.window != nullptr)
                    bottom = std::max(bottom, task.window->geometry().bottom());
            }
            if (bottom > group.caption.bottom())
            {
                const QRect interior(group.caption.left(), group.caption.bottom() + 1, group.caption.width(),
                                     bottom - group.caption.bottom());
                CQuillmereVisualManager::GetInstance().OnFillTasksGroupInterior(painter, interior, false);
                CQuillmereVisualManager::GetInstance().OnDrawTasksGroupAreaBorder(painter, interior, false, false);
            }
            m_pane->PaintGroupCaption(painter, group.caption, group.name, group.collapsed);
        }
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton)
            m_pane->OnContentClicked(event->position().toPoint());
        QWidget::mousePressEvent(event);
    }

    // The caption under the mouse is drawn highlighted.
    void mouseMoveEvent(QMouseEvent* event) override
    {
        SetHotGroup(GroupAt(event->position().toPoint()));
        QWidget::mouseMoveEvent(event);
    }

    void leaveEvent(QEvent* event) override
    {
        SetHotGroup(-1);
        QWidget::leaveEvent(event);
    }

    int GroupAt(const QPoint& position) const
    {
        for (std::size_t group = 0; group < m_pane->m_groups.size(); ++group)
        {
            if (m_pane->m_groups[group].caption.contains(position))
                return static_cast<int>(group);
        }
        return -1;
    }

    void SetHotGroup(int group)
    {
        if (group == m_pane->m_hotGroup)
            return;
        m_pane->m_hotGroup = group;
        update();
    }

private:
    CTasksPane* m_pane;
};

CTasksPane::CTasksPane(QWidget* parent) : QScrollArea(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Tasks follow the pane's width down to what their texts need; below that the pane
    // scrolls across rather than cut them.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidgetResizable(false);
    m_content = new CContent(this);
    m_content->setMouseTracking(true);
    setWidget(m_content);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { MakeVisibleWindows(); });
    Relayout();
}

CTasksPane::~CTasksPane() = default;

void CTasksPane::SetCaption(const QString& caption)
{
    m_caption = caption;
    setAccessibleName(caption);
}

void CTasksPane::SetPreferredSize(const QSize& size)
{
    m_preferred = size;
    updateGeometry();
}

int CTasksPane::AddGroup(const QString& name)
{
    Group group;
    group.name = name;
    m_groups.push_back(std::move(group));
    Relayout();
    return GetGroupCount() - 1;
}

int CTasksPane::AddWindow(int group, QWidget* window, int height)
{
    if (!IsValidGroup(group) || window == nullptr)
        return -1;
    window->setParent(m_content);
    Task task;
    task.window = window;
    task.height = height < 0 ? 0 : height;
    m_groups[static_cast<std::size_t>(group)].tasks.push_back(task);
    Relayout();
    return static_cast<int>(m_groups[static_cast<std::size_t>(group)].tasks.size()) - 1;
}

int CTasksPane::AddLazyWindow(int group, int height, std::function<QWidget*()> factory)
{
    if (!IsValidGroup(group) || !factory)
        return -1;
    Task task;
    task.factory = std::move(factory);
    task.height = height < 0 ? 0 : height;
    m_groups[static_cast<std::size_t>(group)].tasks.push_back(std::move(task));
    Relayout();
    return static_cast<int>(m_groups[static_cast<std::size_t>(group)].tasks.size()) - 1;
}

QWidget* CTasksPane::MakeTaskWindow(int group, int task)
{
    if (!IsValidGroup(group) || task < 0 || task >= GetTaskCount(group))
        return nullptr;
    Task& entry = m_groups[static_cast<std::size_t>(group)].tasks[static_cast<std::size_t>(task)];
    if (entry.window != nullptr || !entry.factory)
        return entry.window;
    {
        std::function<QWidget*()> factory = std::move(entry.factory);
        entry.factory = nullptr;
        QWidget* window = factory();
        if (window != nullptr)
        {
            window->setParent(m_content);
            // The factory may have added or removed tasks; find this one again by position.
            Task& again = m_groups[static_cast<std::size_t>(group)].tasks[static_cast<std::size_t>(task)];
            again.window = window;
            const bool collapsed = m_groups[static_cast<std::size_t>(group)].collapsed;
            window->setGeometry(kMargin, again.top, m_content->width() - 2 * kMargin, again.height);
            window->setVisible(!collapsed);
        }
        return window;
    }
}

void CTasksPane::MakeVisibleWindows()
{
    bool wider = false;
    // A screen's worth above and below is made ahead, so scrolling shows no empty rows.
    const int from = verticalScrollBar()->value() - viewport()->height();
    const int to = verticalScrollBar()->value() + 2 * viewport()->height();
    for (int group = 0; group < GetGroupCount(); ++group)
    {
        if (m_groups[static_cast<std::size_t>(group)].collapsed)
            continue;
        for (int task = 0; task < GetTaskCount(group); ++task)
        {
            const Task& entry = m_groups[static_cast<std::size_t>(group)].tasks[static_cast<std::size_t>(task)];
            if (entry.window == nullptr && entry.factory && entry.top + entry.height >= from && entry.top <= to)
            {
                const QWidget* made = MakeTaskWindow(group, task);
                wider = wider || (made != nullptr && made->minimumSizeHint().width() + 2 * kMargin > m_content->width());
            }
        }
    }
    if (wider)
        Relayout();   // makes nothing more: what is in sight has been made
}

int CTasksPane::FindTask(int group, const QWidget* window) const
{
    for (int task = 0; window != nullptr && task < GetTaskCount(group); ++task)
    {
        if (m_groups[static_cast<std::size_t>(group)].tasks[static_cast<std::size_t>(task)].window == window)
            return task;
    }
    return -1;
}

int CTasksPane::AddCommandTask(int group, const QString& text, std::function<void()> callback)
{
    if (!IsValidGroup(group))
        return -1;
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    // Drawn as a link, indented as far as the editors' fields, so it reads as a command and
    // not as a caption against the group's edge.
    button->setStyleSheet(QStringLiteral("text-align: left; padding: 2px 6px; color: palette(link);"));
    connect(button, &QPushButton::clicked, this, [callback = std::move(callback)] {
        if (callback)
            callback();
    });
    return AddWindow(group, button, std::max(FontUnits::Down(button, kCommandTaskHeight), button->sizeHint().height()));
}

bool CTasksPane::RemoveTask(int group, int task)
{
    if (!IsValidGroup(group))
        return false;
    std::vector<Task>& tasks = m_groups[static_cast<std::size_t>(group)].tasks;
    if (task < 0 || task >= static_cast<int>(tasks.size()))
        return false;
    // Deferred: the task may be the very window whose handler asked for its removal.
    if (QWidget* window = tasks[static_cast<std::size_t>(task)].window)
    {
        window->hide();
        window->deleteLater();
    }
    tasks.erase(tasks.begin() + task);
    Relayout();
    return true;
}

void CTasksPane::RemoveAllTasks(int group)
{
    while (GetTaskCount(group) > 0)
        RemoveTask(group, GetTaskCount(group) - 1);
}

void CTasksPane::SetGroupCollapsed(int group, bool collapsed)
{
    if (!IsValidGroup(group))
        return;
    m_groups[static_cast<std::size_t>(group)].collapsed = collapsed;
    Relayout();
}

bool CTasksPane::IsGroupCollapsed(int group) const
{
    return IsValidGroup(group) && m_groups[static_cast<std::size_t>(group)].collapsed;
}

int CTasksPane::GetTaskCount(int group) const
{
    return IsValidGroup(group) ? static_cast<int>(m_groups[static_cast<std::size_t>(group)].tasks.size()) : 0;
}

QString CTasksPane::GetGroupName(int group) const
{
    return IsValidGroup(group) ? m_groups[static_cast<std::size_t>(group)].name : QString();
}

QWidget* CTasksPane::GetTaskWindow(int group, int task) const
{
    if (!IsValidGroup(group) || task < 0 || task >= GetTaskCount(group))
        return nullptr;
    return m_groups[static_cast<std::size_t>(group)].tasks[static_cast<std::size_t>(task)].window;
}

QRect CTasksPane::GetCaptionRect(int group) const
{
    return IsValidGroup(group) ? m_groups[static_cast<std::size_t>(group)].caption : QRect();
}

void CTasksPane::PaintBackground(QPainter& painter, const QRect& rect)
{
    CQuillmereVisualManager::GetInstance().OnFillTasksPaneBackground(painter, rect);
}

void CTasksPane::PaintGroupCaption(QPainter& painter, const QRect& rect, const QString& name, bool collapsed)
{
    CQuillmereVisualManager::TasksGroup group;
    group.name = name;
    group.caption = rect;
    group.collapsed = collapsed;
    const bool hot = IsValidGroup(m_hotGroup) && m_groups[static_cast<std::size_t>(m_hotGroup)].caption == rect;
    CQuillmereVisualManager::GetInstance().OnDrawTasksGroupCaption(painter, group, hot, false, true);
}

void CTasksPane::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    Relayout();
}

bool CTasksPane::viewportEvent(QEvent* event)
{
    // The viewport narrows when the scroll bar appears; the tasks follow it.
    if (event->type() == QEvent::Resize)
        Relayout();
    return QScrollArea::viewportEvent(event);
}

void CTasksPane::Relayout()
{
    // Widths follow the viewport, which already leaves room for a shown scroll bar, but
    // never go below the widest task's minimum.
    int needed = 0;
    for (const Group& group : m_groups)
    {
        for (const Task& task : group.tasks)
        {
            if (task.window != nullptr)
                needed = std::max(needed, task.window->minimumSizeHint().width());
        }
    }
    const int width = std::max(viewport()->width(), needed + 2 * kMargin);
    const int taskWidth = width - 2 * kMargin;
    int y = kMargin;
    for (Group& group : m_groups)
    {
        group.caption = QRect(kMargin, y, taskWidth, kCaptionHeight);
        y += kCaptionHeight;
        if (!group.collapsed)
            y += kMargin;
        for (Task& task : group.tasks)
        {
            if (task.window == nullptr && !task.factory)
                continue;   // its window was deleted from outside
            task.top = y;
            if (task.window == nullptr)
            {
                if (!group.collapsed)
                    y += task.height;
                continue;
            }
            if (group.collapsed)
            {
                task.window->hide();
                continue;
            }
            task.window->setGeometry(kMargin, y, taskWidth, task.height);
            task.window->show();
            y += task.height;
        }
        y += kGroupSpacing;
    }
    // At least as tall as the view, so the panel colour fills it below the last group.
    m_content->resize(width, std::max(y, viewport()->height()));
    m_content->update();
    MakeVisibleWindows();
}

void CTasksPane::OnContentClicked(const QPoint& position)
{
    for (int group = 0; group < GetGroupCount(); ++group)
    {
        if (m_groups[static_cast<std::size_t>(group)].caption.contains(position))
        {
            SetGroupCollapsed(group, !IsGroupCollapsed(group));
            return;
        }
    }
}
