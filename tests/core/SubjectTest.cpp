#include <gtest/gtest.h>

#include <vector>

#include "core/EventArgs.h"
#include "core/Subject.h"

namespace
{
class TestSubject : public CSubject {};

class RecordingObserver : public CObserver
{
public:
    explicit RecordingObserver(int tag, std::vector<int>* order = nullptr) : m_tag(tag), m_order(order) {}
    void Update(CEventArgs* args) override
    {
        received.push_back(args);
        if (m_order)
            m_order->push_back(m_tag);
    }
    std::vector<CEventArgs*> received;

private:
    int m_tag;
    std::vector<int>* m_order;
};
}

TEST(Subject, NotifiesObserversInOrderOfAttachment)
{
    TestSubject subject;
    std::vector<int> order;
    RecordingObserver first(1, &order), second(2, &order), third(3, &order);
    subject.Attach(&second);
    subject.Attach(&first);
    subject.Attach(&third);
    CStatusChangedEventArgs args;
    subject.Notify(&args);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 3}));
    EXPECT_EQ(first.received.at(0), &args);
}

TEST(Subject, ObserverAttachedTwiceIsCalledTwiceAndOneDetachRemovesBoth)
{
    TestSubject subject;
    RecordingObserver twice(1), other(2);
    subject.Attach(&twice);
    subject.Attach(&other);
    subject.Attach(&twice);
    CSettingsChangedEventArgs args;
    subject.Notify(&args);
    EXPECT_EQ(twice.received.size(), 2u);

    subject.Detach(&twice);
    subject.Notify(&args);
    EXPECT_EQ(twice.received.size(), 2u);
    EXPECT_EQ(other.received.size(), 2u);
    EXPECT_EQ(subject.GetObserverCount(), 1u);
}

TEST(Subject, PlainNotifyDeliversNullAndDetachOnEmptyListIsHarmless)
{
    TestSubject subject;
    RecordingObserver observer(1);
    subject.Detach(&observer);
    subject.Notify();   // no observers: returns at once
    subject.Attach(&observer);
    subject.Notify();
    ASSERT_EQ(observer.received.size(), 1u);
    EXPECT_EQ(observer.received[0], nullptr);
}

TEST(EventArgs, MonitorErrorConstructorTakesLimitBeforeCount)
{
    CNetworkMonitorErrorEventArgs args(2, 1, "host.example", 8, 3);
    EXPECT_EQ(args.RelayIndex, 2);
    EXPECT_EQ(args.Action, 1);
    EXPECT_EQ(args.Target, "host.example");
    EXPECT_EQ(args.AutoResetLimit, 8);
    EXPECT_EQ(args.CurrentResetCount, 3);
}

TEST(EventArgs, RecordsAreRecognisedByTheirClassThroughTheBase)
{
    CEventArgs* args = new CWriteLogEventArgs("line\r\n");
    auto* line = dynamic_cast<CWriteLogEventArgs*>(args);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->Line, "line\r\n");
    EXPECT_EQ(dynamic_cast<CProgressChangedEventArgs*>(args), nullptr);
    delete args;
}
