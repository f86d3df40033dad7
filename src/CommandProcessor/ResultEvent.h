// The completion of one request that waits for the controller's reply: a manual-reset event, the
// replied value and how the wait ended. Shared by the requester and the queue record, so a reply
// that arrives after its requester has given up still writes into memory that exists.
#pragma once

#include <cstdint>

#include "Platform/Sync.h"
#include "Platform/Types.h"

class ResultEvent {
public:
    enum class Outcome {
        Pending,
        Completed,   // the reply arrived; the value is set
        Mismatched,  // a reply for another request arrived in this one's place
        Abandoned,   // nothing reads replies any more
    };

    // Raises "Can't create event".
    ResultEvent();
    ~ResultEvent();

    ResultEvent(const ResultEvent&) = delete;
    ResultEvent& operator=(const ResultEvent&) = delete;

    // Stores the value and wakes the requester. Raises "Can't set event".
    void Complete(int64_t value);
    // Wakes the requester without a value.
    void Fail(Outcome outcome);

    // Waits without limit; a wait that ends without the event set raises "Event waiting was
    // interrupted".
    Outcome Wait();
    // Valid once Wait has returned Completed.
    int64_t GetValue() const { return m_Value; }

private:
    void Signal();

    Platform::EventHandle m_hEvent;
    // Written by the reader before it sets the event, read by the requester after its wait.
    int64_t m_Value = 0;
    Outcome m_Outcome = Outcome::Pending;
};
