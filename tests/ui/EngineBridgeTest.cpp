#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <memory>
#include <thread>
#include <vector>

#include "core/EventArgs.h"
#include "core/PrivateMessages.h"
#include "core/Subject.h"
#include "ui/EngineBridge.h"

namespace
{
class TestSubject : public CSubject
{
};

// Counts the bridge's messages waiting for the window.
class PostCounter : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (static_cast<int>(event->type()) >= PrivateMessage::App)
            ++seen;
        return false;
    }
    int seen = 0;
};

void RaiseOnWorker(CSubject& subject, int count, const std::function<std::unique_ptr<CEventArgs>(int)>& make)
{
    std::thread worker([&] {
        for (int n = 0; n < count; ++n)
        {
            std::unique_ptr<CEventArgs> record = make(n);
            subject.Notify(record.get());
        }
    });
    worker.join();
}
}

TEST(EngineBridge, AFloodOfChangesIsOneRefreshAndAFloodOfRecordsKeepsTheNewest)
{
    QObject window;
    TestSubject subject;
    int refreshes = 0;
    std::vector<std::string> lines;
    {
        CEngineBridge bridge(&window);
        bridge.OnRefresh<CStatusChangedEventArgs>(PrivateMessage::StatusChanged, [&] { ++refreshes; });
        bridge.OnRecord<CWriteLogEventArgs>(
            PrivateMessage::LogLineWritten, [&](const CWriteLogEventArgs& written) { lines.push_back(written.Line); },
            3);
        bridge.Attach(&subject);

        RaiseOnWorker(subject, 10000, [](int) { return std::make_unique<CStatusChangedEventArgs>(); });
        RaiseOnWorker(subject, 100, [](int n) { return std::make_unique<CWriteLogEventArgs>(std::to_string(n)); });
        RaiseOnWorker(subject, 5, [](int) { return std::make_unique<CSettingsChangedEventArgs>(); });   // no route
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(refreshes, 1);
        EXPECT_EQ(lines, (std::vector<std::string>{"97", "98", "99"}));

        // Delivered, a route posts again.
        RaiseOnWorker(subject, 2, [](int) { return std::make_unique<CStatusChangedEventArgs>(); });
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(refreshes, 2);
        EXPECT_EQ(subject.GetObserverCount(), 1u);
    }
    EXPECT_EQ(subject.GetObserverCount(), 0u);
}

TEST(EngineBridge, APostStillQueuedWhenTheWindowGoesIsDroppedUnread)
{
    TestSubject subject;
    int refreshes = 0;
    PostCounter counter;
    {
        QObject window;
        CEngineBridge bridge(&window);
        bridge.OnRefresh<CStatusChangedEventArgs>(PrivateMessage::StatusChanged, [&] { ++refreshes; });
        bridge.Attach(&subject);
        for (QObject* receiver : window.children())
            receiver->installEventFilter(&counter);
        RaiseOnWorker(subject, 3, [](int) { return std::make_unique<CStatusChangedEventArgs>(); });
    }
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(counter.seen, 0);
    EXPECT_EQ(subject.GetObserverCount(), 0u);
}
