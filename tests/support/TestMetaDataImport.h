// A metadata import for tests: GetTypeDefProps answers the type definitions and GetFieldProps the
// field signatures a test declares; every other operation only notes its name and answers 0. It
// lives as long as the test runtime that hands it out; AddRef and Release only count.
#pragma once

#include <atomic>
#include <map>
#include <vector>

#include "Platform/Types.h"
#include "support/RecordingMetaDataImport.h"

class TestMetaDataImport final : public RecordingMetaDataImport {
public:
    struct TypeDef {
        WString name;
        mdToken extends = 0;
    };

    // Declared before the import is handed out; read-only afterwards.
    std::map<mdTypeDef, TypeDef> m_TypeDefs;
    std::map<mdFieldDef, std::vector<BYTE>> m_FieldSignatures;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }

    HRESULT STDMETHODCALLTYPE GetTypeDefProps(mdTypeDef td, LPWSTR szTypeDef, ULONG cchTypeDef,
                                              ULONG* pchTypeDef, DWORD* pdwTypeDefFlags,
                                              mdToken* ptkExtends) override;
    HRESULT STDMETHODCALLTYPE GetFieldProps(mdFieldDef mb, mdTypeDef* pClass, LPWSTR szField,
                                            ULONG cchField, ULONG* pchField, DWORD* pdwAttr,
                                            PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob,
                                            DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue,
                                            ULONG* pcchValue) override;

private:
    std::atomic<ULONG> m_References{0};
};
