#include "TasksPane.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>

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
            m_pane->PaintGroupCaption(painter, group.caption, group.name, group.collapsed);
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton)
            m_pane->OnContentClicked(event->position().toPoint());
        QWidget::mousePressEvent(event);
    }

private:
    CTasksPane* m_pane;
};

CTasksPane::CTasksPane(QWidget* parent) : QScrollArea(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidgetResizable(false);
    m_content = new CContent(this);
    setWidget(m_content);
    Relayout();
}

CTasksPane::~CTasksPane() = default;

void CTasksPane::SetCaption(const QString& caption)
{
    m_caption = caption;
    setAccessibleName(caption);
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

int CTasksPane::AddCommandTask(int group, const QString& text, std::function<void()> callback)
{
    if (!IsValidGroup(group))
        return -1;
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("text-align: left;"));
    connect(button, &QPushButton::clicked, this, [callback = std::move(callback)] {
        if (callback)
            callback();
    });
    return AddWindow(group, button, kCommandTaskHeight);
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
    painter.fillRect(rect, palette().color(QPalette::Base));
}

void CTasksPane::PaintGroupCaption(QPainter& painter, const QRect& rect, const QString& name, bool collapsed)
{
    painter.fillRect(rect, palette().color(QPalette::Button));
    QRect text = rect.adjusted(kMargin, 0, -kMargin, 0);
    painter.setPen(palette().color(QPalette::ButtonText));
    QFont bold = painter.font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, name);
    painter.drawText(text, Qt::AlignRight | Qt::AlignVCenter,
                     collapsed ? QStringLiteral("\u25B8") : QStringLiteral("\u25BE"));
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
    // Widths follow the viewport, which already leaves room for a shown scroll bar; the
    // content height alone decides whether the bar is needed.
    const int width = viewport()->width();
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
            if (task.window == nullptr)
                continue;
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
    m_content->resize(width, y);
    m_content->update();
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
