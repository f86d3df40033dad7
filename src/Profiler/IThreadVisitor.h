// Receives the records that the thread registry's DoAndDelete hands out: first how many there
// are, then each record. The records are deleted after the last call.
#pragma once

#include "Platform/Types.h"

class BaseThread;

class IThreadVisitor {
public:
    virtual void OnCount(DWORD count) = 0;
    virtual void OnThread(BaseThread& thread) = 0;

protected:
    ~IThreadVisitor() = default;
};
