#include "ProgressIndicator/BaseProgressIndicator.h"

#include <cstdint>
#include <stdexcept>

#include "Util/Assert.h"

void BaseProgressIndicator::Begin(DWORD total) {
    if (m_Reported != 0 || m_Current != 0) {
        throw std::runtime_error("Can't begin twice");
    }
    m_Multiplier = total != 0 ? 0xFFFFFFFFu / total : 1;
    QV_ASSERT(m_Multiplier != 0);
    m_Maximum = total * m_Multiplier;
    m_Next = NextReport();
}

void BaseProgressIndicator::AddRaw(DWORD units) {
    Update(uint64_t{m_Current} + units);
}

void BaseProgressIndicator::Step(DWORD count) {
    Update(uint64_t{m_Current} + uint64_t{count} * m_Multiplier);
}

void BaseProgressIndicator::End() {
    if (m_Current > m_Maximum) {
        throw std::runtime_error("Invalid current value");
    }
    Update(m_Maximum);
}

uint64_t BaseProgressIndicator::NextReport() const {
    if (m_Maximum == 0 || m_Scale == 0) {
        return UINT64_MAX;
    }
    // The least c with scale * c / maximum > reported. Cannot overflow: (reported + 1) <= 2^32
    // and maximum < 2^32.
    return ((uint64_t{m_Reported} + 1) * m_Maximum + m_Scale - 1) / m_Scale;
}

void BaseProgressIndicator::Update(uint64_t current) {
    if (current > m_Maximum) {
        throw std::runtime_error("Invalid current value");
    }
    if (current < m_Next) {
        // Work only moves forward, so the value stays the reported one: nothing to pass on.
        m_Current = static_cast<DWORD>(current);
        return;
    }
    const uint64_t value = m_Maximum != 0 ? (uint64_t{m_Scale} * current) / m_Maximum : 0;
    if (value < m_Reported) {
        throw std::runtime_error("Invalid parent current value");
    }
    m_Current = static_cast<DWORD>(current);
    if (value > m_Reported) {
        const DWORD reached = static_cast<DWORD>(value);
        OnProgress(reached - m_Reported, reached);
        m_Reported = reached;
        m_Next = NextReport();
    }
}
