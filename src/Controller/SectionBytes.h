// The bytes of one received section: owned in a vector, or a view of memory kept alive by an
// owner (a snapshot data file mapped into memory, read without copying it). Reading works the
// same on both; changing the bytes turns a view into owned bytes first.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <vector>

#include "Platform/Types.h"

namespace Controller {

class SectionBytes {
public:
    SectionBytes() = default;
    // Sections are built from vectors: implicit on purpose.
    SectionBytes(std::vector<BYTE> bytes) noexcept : m_Owned(std::move(bytes)) {}
    SectionBytes(std::initializer_list<BYTE> bytes) : m_Owned(bytes) {}
    // `size` bytes at `pData`, which stay valid as long as `pOwner` lives.
    SectionBytes(std::shared_ptr<const void> pOwner, const BYTE* pData, size_t size) noexcept
        : m_pOwner(std::move(pOwner)), m_pView(pData), m_ViewSize(size) {}

    const BYTE* data() const noexcept { return m_pOwner ? m_pView : m_Owned.data(); }
    size_t size() const noexcept { return m_pOwner ? m_ViewSize : m_Owned.size(); }
    bool empty() const noexcept { return size() == 0; }
    const BYTE* begin() const noexcept { return data(); }
    const BYTE* end() const noexcept { return data() + size(); }
    BYTE operator[](size_t index) const noexcept { return data()[index]; }
    bool IsView() const noexcept { return m_pOwner != nullptr; }

    // The bytes to change in place; a view is copied into owned bytes first.
    std::vector<BYTE>& Vector();
    void assign(const BYTE* pFirst, const BYTE* pLast);

    friend bool operator==(const SectionBytes& a, const SectionBytes& b) noexcept;
    friend std::ostream& operator<<(std::ostream& out, const SectionBytes& bytes);

private:
    std::vector<BYTE> m_Owned;
    std::shared_ptr<const void> m_pOwner;  // set for a view
    const BYTE* m_pView = nullptr;
    size_t m_ViewSize = 0;
};

}  // namespace Controller
