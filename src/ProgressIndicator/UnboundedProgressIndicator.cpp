#include "ProgressIndicator/UnboundedProgressIndicator.h"

#include <stdexcept>

namespace {

constexpr uint64_t FULL_RANGE = 0xFFFFFFFFu;

}  // namespace

UnboundedProgressIndicator::UnboundedProgressIndicator(BaseProgressIndicator& parent, DWORD share)
    : BaseProgressIndicator(parent.GetMultiplier() * share), m_Parent(parent) {}

void UnboundedProgressIndicator::Begin(DWORD k) {
    if (k == 0) {
        throw std::runtime_error("Can't be zero");
    }
    m_K = k;
    BaseProgressIndicator::Begin(0xFFFFFFFFu);
}

void UnboundedProgressIndicator::Step(DWORD count) {
    const uint64_t steps = uint64_t{m_Count} + count;
    const uint64_t position = FULL_RANGE - (uint64_t{m_K} * FULL_RANGE) / (steps + m_K);
    if (position <= m_Last) {
        return;
    }
    BaseProgressIndicator::Step(static_cast<DWORD>(position - m_Last));
    m_Count = static_cast<DWORD>(steps);
    m_Last = static_cast<DWORD>(position);
}

void UnboundedProgressIndicator::OnProgress(DWORD delta, DWORD value) {
    m_Parent.AddRaw(delta);
}
