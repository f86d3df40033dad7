#include <gtest/gtest.h>

#include <thread>

#include "Controller/EventQueue.h"

using namespace Controller;

namespace {

constexpr DWORD kGenerousMs = 30000;

ControllerEvent Event(EventKind kind, uint32_t value = 0) {
    ControllerEvent event;
    event.kind = kind;
    event.value = value;
    return event;
}

}  // namespace

TEST(EventQueue, WaitForTakesOneKindAndLeavesTheRestInOrder) {
    EventQueue queue;
    queue.Push(Event(EventKind::OperationProgress, 1));
    queue.Push(Event(EventKind::Stopped));
    queue.Push(Event(EventKind::OperationProgress, 2));

    EXPECT_EQ(EventKind::Stopped, queue.WaitFor(EventKind::Stopped, 0)->kind);
    EXPECT_FALSE(queue.WaitFor(EventKind::Stopped, 0).has_value());
    EXPECT_FALSE(queue.WaitFor({EventKind::Error, EventKind::Disconnected}, 0).has_value());
    EXPECT_EQ(1u, queue.WaitNext(0)->value);
    EXPECT_EQ(2u, queue.WaitFor({EventKind::Error, EventKind::OperationProgress}, 0)->value);
    EXPECT_FALSE(queue.WaitNext(10).has_value());
}

TEST(EventQueue, APushFromAnotherThreadEndsTheWait) {
    EventQueue queue;
    std::thread pusher([&queue] {
        queue.Push(Event(EventKind::OperationProgress));
        queue.Push(Event(EventKind::Disconnected));
    });
    const auto event = queue.WaitFor(EventKind::Disconnected, kGenerousMs);
    pusher.join();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(1u, queue.GetSize());
}
