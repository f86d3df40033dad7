// One entry of a thread's shadow stack: a call that is open right now. The function and the
// special mark are kept whether or not measuring is on, so that switching measuring on can attach
// the open calls to tree nodes; node, start and internal mean something only while measuring.
#pragma once

#include "Platform/Types.h"

struct CallNode;

struct CallFrame {
    DWORD m_Fuid;
    BYTE m_Special;  // 1 when pushed for a runtime suspension, else 0
    CallNode* m_pNode;
    UINT64 m_Start;  // when the frame was opened, or when measuring was switched on
    // Time inside this frame not charged to it: profiler overhead, callback time, flush time.
    UINT64 m_Internal;
};
