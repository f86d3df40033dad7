// Progress of work whose total is unknown: after c steps it stands at c / (c + k) of its share,
// approaching the end without reaching it before End. Begin takes the constant k instead of a
// total. Steps too small to raise the value are dropped.
#pragma once

#include "Platform/Types.h"
#include "ProgressIndicator/BaseProgressIndicator.h"

class UnboundedProgressIndicator final : public BaseProgressIndicator {
public:
    UnboundedProgressIndicator(BaseProgressIndicator& parent, DWORD share);
    ~UnboundedProgressIndicator() = default;

    // k = 0 raises "Can't be zero".
    void Begin(DWORD k) override;
    void Step(DWORD count) override;

protected:
    void OnProgress(DWORD delta, DWORD value) override;

private:
    BaseProgressIndicator& m_Parent;
    DWORD m_Count = 0;  // steps that raised the value
    DWORD m_Last = 0;   // the internal position they reached
    DWORD m_K = 0;
};
