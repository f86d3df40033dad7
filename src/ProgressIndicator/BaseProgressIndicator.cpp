#include "ProgressIndicator/BaseProgressIndicator.h"

#include <stdexcept>

#include "Util/Assert.h"

void BaseProgressIndicator::Begin(DWORD total) {
    if (m_Reported != 0 || m_Current != 0) {
        throw std::runtime_error("Can't begin twice");
    }
    m_Multiplier = total != 0 ? 0xFFFFFFFFu / total : 1;
    QV_ASSERT(m_Multiplier != 0);
    m_Maximum = total * m_Multiplier;
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

void BaseProgressIndicator::Update(uint64_t current) {
    if (current > m_Maximum) {
        throw std::runtime_error("Invalid current value");
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
    }
}
