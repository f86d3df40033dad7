// Covers `share` work units of its parent: whatever total the child is begun with, reaching its
// end adds exactly that share to the parent. The parent must have been begun.
#pragma once

#include "Platform/Types.h"
#include "ProgressIndicator/BaseProgressIndicator.h"

class ChildProgressIndicator : public BaseProgressIndicator {
public:
    ChildProgressIndicator(BaseProgressIndicator& parent, DWORD share);
    ~ChildProgressIndicator() = default;

protected:
    void OnProgress(DWORD delta, DWORD value) override;

private:
    BaseProgressIndicator& m_Parent;
};
