#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>

#include "ui/TasksPane.h"

namespace
{
void DeleteDeferred()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ClickAt(QWidget* target, QPoint position)
{
    QMouseEvent press(QEvent::MouseButtonPress, position, target->mapToGlobal(position), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &press);
}
}

TEST(TasksPane, StacksTasksOfTheirOwnHeightBelowTheGroupCaption)
{
    CTasksPane pane;
    pane.resize(400, 300);
    const int relays = pane.AddGroup("Relays");
    EXPECT_EQ(relays, 0);
    EXPECT_EQ(pane.AddWindow(relays, new QLabel("one"), 38), 0);
    EXPECT_EQ(pane.AddWindow(relays, new QLabel("two"), 50), 1);
    QWidget* one = pane.GetTaskWindow(relays, 0);
    QWidget* two = pane.GetTaskWindow(relays, 1);
    EXPECT_EQ(one->height(), 38);
    EXPECT_EQ(two->height(), 50);
    EXPECT_EQ(two->y(), one->y() + 38);
    EXPECT_GE(one->y(), pane.GetCaptionRect(relays).bottom());
}

TEST(TasksPane, RejectsUnknownGroupsAndNullWindows)
{
    CTasksPane pane;
    QLabel stray;
    EXPECT_EQ(pane.AddWindow(0, &stray, 20), -1);   // no group yet: the caller keeps its window
    EXPECT_EQ(stray.parent(), nullptr);
    const int group = pane.AddGroup("A");
    EXPECT_EQ(pane.AddWindow(group, nullptr, 20), -1);
    EXPECT_FALSE(pane.RemoveTask(group, 0));
    EXPECT_FALSE(pane.RemoveTask(5, 0));
    EXPECT_EQ(pane.GetTaskCount(5), 0);
    EXPECT_EQ(pane.GetTaskWindow(group, 0), nullptr);
}

TEST(TasksPane, RemovingATaskDeletesItsWindowAndMovesTheLaterOnesUp)
{
    CTasksPane pane;
    pane.resize(400, 300);
    const int group = pane.AddGroup("Monitors");
    QPointer<QWidget> first = new QLabel("first");
    pane.AddWindow(group, first, 30);
    QPointer<QWidget> second = new QLabel("second");
    pane.AddWindow(group, second, 30);
    const int firstTop = first->y();

    EXPECT_TRUE(pane.RemoveTask(group, 0));
    DeleteDeferred();
    EXPECT_TRUE(first.isNull());
    ASSERT_EQ(pane.GetTaskCount(group), 1);
    EXPECT_EQ(pane.GetTaskWindow(group, 0), second.data());
    EXPECT_EQ(second->y(), firstTop);
}

TEST(TasksPane, CollapsingAGroupHidesItsTasksAndMovesTheNextGroupUp)
{
    CTasksPane pane;
    pane.resize(400, 300);
    pane.show();
    const int a = pane.AddGroup("A");
    const int b = pane.AddGroup("B");
    QWidget* inA = pane.GetTaskWindow(a, pane.AddWindow(a, new QLabel("a"), 60));
    QWidget* inB = pane.GetTaskWindow(b, pane.AddWindow(b, new QLabel("b"), 20));
    const int bTop = pane.GetCaptionRect(b).top();

    pane.SetGroupCollapsed(a, true);
    EXPECT_TRUE(pane.IsGroupCollapsed(a));
    EXPECT_FALSE(inA->isVisible());
    EXPECT_TRUE(inB->isVisible());
    EXPECT_LE(pane.GetCaptionRect(b).top(), bTop - 60);

    // A click on the caption opens it again.
    ClickAt(pane.widget(), pane.GetCaptionRect(a).center());
    EXPECT_FALSE(pane.IsGroupCollapsed(a));
    EXPECT_TRUE(inA->isVisible());
}

TEST(TasksPane, ScrollsWhenTheTasksDoNotFit)
{
    CTasksPane pane;
    pane.resize(300, 200);
    pane.show();
    const int group = pane.AddGroup("Relays");
    pane.AddWindow(group, new QLabel, 38);
    EXPECT_EQ(pane.verticalScrollBar()->maximum(), 0);
    for (int n = 0; n < 10; ++n)
        pane.AddWindow(group, new QLabel, 38);
    EXPECT_GT(pane.verticalScrollBar()->maximum(), 0);
    // The tasks narrow to leave the bar its room.
    EXPECT_LE(pane.GetTaskWindow(group, 0)->geometry().right(), pane.viewport()->width());
}

TEST(TasksPane, RunsACommandTasksCallbackOnClick)
{
    CTasksPane pane;
    const int group = pane.AddGroup("Tasks");
    int runs = 0;
    const int task = pane.AddCommandTask(group, "Add monitor", [&runs] { ++runs; });
    auto* button = qobject_cast<QPushButton*>(pane.GetTaskWindow(group, task));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Add monitor");
    button->click();
    button->click();
    EXPECT_EQ(runs, 2);
}
