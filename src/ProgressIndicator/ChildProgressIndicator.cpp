#include "ProgressIndicator/ChildProgressIndicator.h"

// The child's scale is its share in the parent's internal steps, so its increases feed the parent
// as raw steps.
ChildProgressIndicator::ChildProgressIndicator(BaseProgressIndicator& parent, DWORD share)
    : BaseProgressIndicator(parent.GetMultiplier() * share), m_Parent(parent) {}

void ChildProgressIndicator::OnProgress(DWORD delta, DWORD value) {
    m_Parent.AddRaw(delta);
}
