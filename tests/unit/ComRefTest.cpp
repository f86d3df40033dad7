#include <gtest/gtest.h>

#include <utility>

#include "Util/ComRef.h"

namespace {

// {0C1D2E3F-4A5B-6C7D-8E9F-A0B1C2D3E4F5}
constexpr IID IID_ITestWidget = {
    0x0C1D2E3F, 0x4A5B, 0x6C7D, {0x8E, 0x9F, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}};

struct ITestWidget : IUnknown {
    virtual int STDMETHODCALLTYPE Value() = 0;
};

// Counts its references and answers QueryInterface with a configurable status.
class Widget : public ITestWidget {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (FAILED(m_QueryResult)) {
            return m_QueryResult;
        }
        if (riid == IID_IUnknown || riid == IID_ITestWidget) {
            *ppv = static_cast<ITestWidget*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }
    int STDMETHODCALLTYPE Value() override { return 42; }

    ULONG m_References = 0;
    HRESULT m_QueryResult = S_OK;
};

}  // namespace

TEST(ComRef, CopiesAndMovesKeepTheCountBalanced) {
    Widget widget;
    {
        ComRef<ITestWidget> first(&widget);
        EXPECT_EQ(widget.m_References, 1u);
        ComRef<ITestWidget> copy(first);
        EXPECT_EQ(widget.m_References, 2u);
        ComRef<ITestWidget> moved(std::move(copy));
        EXPECT_EQ(widget.m_References, 2u);
        EXPECT_EQ(copy.Get(), nullptr);

        ComRef<ITestWidget> assigned;
        assigned = first;
        EXPECT_EQ(widget.m_References, 3u);
        assigned = assigned;  // self-assignment keeps the reference
        EXPECT_EQ(widget.m_References, 3u);
        assigned = std::move(moved);
        EXPECT_EQ(widget.m_References, 2u);
        assigned = nullptr;
        EXPECT_EQ(widget.m_References, 1u);
        EXPECT_EQ(first->Value(), 42);
    }
    EXPECT_EQ(widget.m_References, 0u);
}

TEST(ComRef, AttachAndDetachTransferOwnership) {
    Widget widget;
    widget.AddRef();  // the caller's own reference
    ComRef<ITestWidget> ref;
    ref.Attach(&widget);
    EXPECT_EQ(widget.m_References, 1u);
    ITestWidget* pRaw = ref.Detach();
    EXPECT_EQ(pRaw, &widget);
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 1u);
    pRaw->Release();

    ComRef<ITestWidget> holder(&widget);
    holder.Reset();
    EXPECT_EQ(widget.m_References, 0u);
    EXPECT_FALSE(holder);
}

TEST(ComRef, UseWhileNullRaisesInvalidPointer) {
    ComRef<ITestWidget> empty;
    try {
        empty->Value();
        FAIL() << "operator-> did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_POINTER);
    }
    try {
        (*empty).Value();
        FAIL() << "operator* did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.Error()), 0x80004003u);
    }
}

TEST(ComRef, QueryLeavesNullOnNoInterfaceAndRaisesOtherFailures) {
    Widget widget;
    ComRef<ITestWidget> ref;
    ref.QueryFrom(&widget, IID_ITestWidget);
    ASSERT_EQ(ref.Get(), &widget);
    EXPECT_EQ(widget.m_References, 1u);

    // A failed query drops what was held before.
    ref.QueryFrom(&widget, IID_IClassFactory);
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 0u);

    ref.QueryFrom(nullptr, IID_ITestWidget);
    EXPECT_EQ(ref.Get(), nullptr);

    widget.m_QueryResult = E_OUTOFMEMORY;
    try {
        ref.QueryFrom(&widget, IID_ITestWidget);
        FAIL() << "a failure other than no-such-interface did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    }
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 0u);
}
