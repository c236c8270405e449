#pragma once

#include <QPointer>
#include <QScrollArea>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QAbstractButton;
class QPainter;

// The group panel of the status and settings pages: named groups, each a caption that
// collapses or expands the group on a click, holding child windows of a fixed height one
// below the other. A vertical scroll bar appears when the groups are taller than the pane.
//
// Task indices count from 0 within their group and are positions: removing a task moves
// the ones below it up by one, as the pages that number their editors by position expect.
// The visual style overrides the painting hooks; the layout does not depend on them.
class CTasksPane : public QScrollArea
{
    Q_OBJECT
public:
    static constexpr int kCaptionHeight = 22;
    static constexpr int kMargin = 4;       // around the groups and between a caption and its tasks
    static constexpr int kGroupSpacing = 8;
    static constexpr int kCommandTaskHeight = 20;

    explicit CTasksPane(QWidget* parent = nullptr);
    ~CTasksPane() override;

    void SetCaption(const QString& caption);
    // The size the pane asks for; it may be given less (a small screen, a large font), and
    // then scrolls, its tasks following the width it has.
    void SetPreferredSize(const QSize& size);
    QSize sizeHint() const override { return m_preferred.isValid() ? m_preferred : QScrollArea::sizeHint(); }
    const QString& GetCaption() const { return m_caption; }

    // Returns the new group's index.
    int AddGroup(const QString& name);
    // Takes the window into the group with the given height; it is deleted with the pane or
    // by RemoveTask. Returns the task index, or -1 for an unknown group or a null window, in
    // which case the window stays the caller's.
    int AddWindow(int group, QWidget* window, int height);
    // Reserves the height now and makes the window only when its place first comes within
    // sight (scrolled to, or its group expanded), so a group of a thousand editors costs
    // only the ones looked at. The factory's window is then owned as AddWindow's is.
    int AddLazyWindow(int group, int height, std::function<QWidget*()> factory);
    // A clickable text line that runs the callback on the UI thread.
    int AddCommandTask(int group, const QString& text, std::function<void()> callback);
    // Deletes the task's window. False when the group or the task does not exist.
    bool RemoveTask(int group, int task);
    void RemoveAllTasks(int group);

    void SetGroupCollapsed(int group, bool collapsed);
    bool IsGroupCollapsed(int group) const;

    int GetGroupCount() const { return static_cast<int>(m_groups.size()); }
    int GetTaskCount(int group) const;
    QString GetGroupName(int group) const;
    // Null for a lazy task not made yet.
    QWidget* GetTaskWindow(int group, int task) const;
    // The task that holds the window, or -1.
    int FindTask(int group, const QWidget* window) const;
    // Makes a lazy task's window now (for a task the operator is sent to).
    QWidget* MakeTaskWindow(int group, int task);
    // Where the group's caption is, in the coordinates of the scrolled content.
    QRect GetCaptionRect(int group) const;

protected:
    // Painting hooks; by default they draw through the program's visual manager. The
    // background covers the whole content; a caption is painted over it once per visible
    // group, highlighted while the mouse is over it.
    virtual void PaintBackground(QPainter& painter, const QRect& rect);
    virtual void PaintGroupCaption(QPainter& painter, const QRect& rect, const QString& name, bool collapsed);

    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    class CContent;
    struct Task
    {
        QPointer<QWidget> window;
        std::function<QWidget*()> factory;   // set until a lazy task's window is made
        int height = 0;
        int top = 0;                         // in the content, when its group is expanded
    };
    struct Group
    {
        QString name;
        bool collapsed = false;
        std::vector<Task> tasks;
        QRect caption;
    };

    bool IsValidGroup(int group) const { return group >= 0 && group < GetGroupCount(); }
    void Relayout();
    void MakeVisibleWindows();
    void OnContentClicked(const QPoint& position);

    QString m_caption;
    QSize m_preferred;
    CContent* m_content = nullptr;    // owned by the scroll area
    int m_hotGroup = -1;              // the group whose caption is under the mouse
    std::vector<Group> m_groups;
};
