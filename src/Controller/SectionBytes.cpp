#include "Controller/SectionBytes.h"

#include <algorithm>
#include <cstdio>

namespace Controller {

std::vector<BYTE>& SectionBytes::Vector() {
    if (m_pOwner) {
        m_Owned.assign(m_pView, m_pView + m_ViewSize);
        m_pOwner.reset();
        m_pView = nullptr;
        m_ViewSize = 0;
    }
    return m_Owned;
}

void SectionBytes::assign(const BYTE* pFirst, const BYTE* pLast) {
    m_pOwner.reset();
    m_pView = nullptr;
    m_ViewSize = 0;
    m_Owned.assign(pFirst, pLast);
}

bool operator==(const SectionBytes& a, const SectionBytes& b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

std::ostream& operator<<(std::ostream& out, const SectionBytes& bytes) {
    // The first bytes in hex: enough to tell two sections apart in a failure message.
    constexpr size_t Shown = 64;
    out << bytes.size() << " bytes {";
    for (size_t i = 0; i < std::min(bytes.size(), Shown); ++i) {
        char text[4];
        std::snprintf(text, sizeof(text), i == 0 ? "%02X" : " %02X", bytes[i]);
        out << text;
    }
    return out << (bytes.size() > Shown ? " ...}" : "}");
}

}  // namespace Controller
