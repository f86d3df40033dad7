#include "support/TestMetaDataImport.h"

#include <algorithm>

HRESULT TestMetaDataImport::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (!IsEqualGUID(riid, IID_IMetaDataImport) && !IsEqualGUID(riid, IID_IUnknown)) {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    *ppvObject = static_cast<IMetaDataImport*>(this);
    AddRef();
    return S_OK;
}

HRESULT TestMetaDataImport::GetTypeDefProps(mdTypeDef td, LPWSTR szTypeDef, ULONG cchTypeDef,
                                            ULONG* pchTypeDef, DWORD* pdwTypeDefFlags,
                                            mdToken* ptkExtends) {
    auto it = m_TypeDefs.find(td);
    if (it == m_TypeDefs.end()) {
        return CLDB_E_RECORD_NOTFOUND;
    }
    const WString& name = it->second.name;
    if (pchTypeDef != nullptr) {
        *pchTypeDef = static_cast<ULONG>(name.size() + 1);
    }
    if (pdwTypeDefFlags != nullptr) {
        *pdwTypeDefFlags = 0;
    }
    if (ptkExtends != nullptr) {
        *ptkExtends = it->second.extends;
    }
    if (szTypeDef != nullptr && cchTypeDef > 0) {
        const size_t copied = std::min<size_t>(name.size(), cchTypeDef - 1);
        std::copy_n(name.data(), copied, szTypeDef);
        szTypeDef[copied] = u'\0';
        return copied < name.size() ? CLDB_S_TRUNCATION : S_OK;
    }
    return S_OK;
}

HRESULT TestMetaDataImport::GetFieldProps(mdFieldDef mb, mdTypeDef* pClass, LPWSTR szField,
                                          ULONG cchField, ULONG* pchField, DWORD* pdwAttr,
                                          PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob,
                                          DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue,
                                          ULONG* pcchValue) {
    auto it = m_FieldSignatures.find(mb);
    if (it == m_FieldSignatures.end()) {
        return CLDB_E_RECORD_NOTFOUND;
    }
    if (ppvSigBlob != nullptr) {
        *ppvSigBlob = it->second.data();
    }
    if (pcbSigBlob != nullptr) {
        *pcbSigBlob = static_cast<ULONG>(it->second.size());
    }
    if (pchField != nullptr) {
        *pchField = 1;
    }
    if (szField != nullptr && cchField > 0) {
        szField[0] = u'\0';
    }
    return S_OK;
}
