// A metadata import whose every method notes its name and answers 0, for the slot order check
// and as the base of the tests' scripted import.
#pragma once

#include "Platform/Cor/CorMetaData.h"
#include "support/SlotRecorder.h"

class RecordingMetaDataImport : public IMetaDataImport, public SlotRecorder {
public:
    QV_RECORD_IUNKNOWN
    QV_RECORD(void, CloseEnum, (HCORENUM))
    QV_RECORD(HRESULT, CountEnum, (HCORENUM, ULONG*))
    QV_RECORD(HRESULT, EnumCustomAttributes,
              (HCORENUM*, mdToken, mdToken, mdCustomAttribute[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumEvents, (HCORENUM*, mdTypeDef, mdEvent[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumFields, (HCORENUM*, mdTypeDef, mdFieldDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumFieldsWithName,
              (HCORENUM*, mdTypeDef, LPCWSTR, mdFieldDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumInterfaceImpls, (HCORENUM*, mdTypeDef, mdInterfaceImpl[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMemberRefs, (HCORENUM*, mdToken, mdMemberRef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMembers, (HCORENUM*, mdTypeDef, mdToken[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMembersWithName,
              (HCORENUM*, mdTypeDef, LPCWSTR, mdToken[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMethodImpls, (HCORENUM*, mdTypeDef, mdToken[], mdToken[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMethodSemantics, (HCORENUM*, mdMethodDef, mdToken[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMethods, (HCORENUM*, mdTypeDef, mdMethodDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumMethodsWithName,
              (HCORENUM*, mdTypeDef, LPCWSTR, mdMethodDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumModuleRefs, (HCORENUM*, mdModuleRef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumParams, (HCORENUM*, mdMethodDef, mdParamDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumPermissionSets,
              (HCORENUM*, mdToken, DWORD, mdPermission[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumProperties, (HCORENUM*, mdTypeDef, mdProperty[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumSignatures, (HCORENUM*, mdSignature[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumTypeDefs, (HCORENUM*, mdTypeDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumTypeRefs, (HCORENUM*, mdTypeRef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumTypeSpecs, (HCORENUM*, mdTypeSpec[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumUnresolvedMethods, (HCORENUM*, mdToken[], ULONG, ULONG*))
    QV_RECORD(HRESULT, EnumUserStrings, (HCORENUM*, mdString[], ULONG, ULONG*))
    QV_RECORD(HRESULT, FindField, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdFieldDef*))
    QV_RECORD(HRESULT, FindMember, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdToken*))
    QV_RECORD(HRESULT, FindMemberRef, (mdTypeRef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdMemberRef*))
    QV_RECORD(HRESULT, FindMethod, (mdTypeDef, LPCWSTR, PCCOR_SIGNATURE, ULONG, mdMethodDef*))
    QV_RECORD(HRESULT, FindTypeDefByName, (LPCWSTR, mdToken, mdTypeDef*))
    QV_RECORD(HRESULT, FindTypeRef, (mdToken, LPCWSTR, mdTypeRef*))
    QV_RECORD(HRESULT, GetClassLayout,
              (mdTypeDef, DWORD*, COR_FIELD_OFFSET[], ULONG, ULONG*, ULONG*))
    QV_RECORD(HRESULT, GetCustomAttributeByName, (mdToken, LPCWSTR, const void**, ULONG*))
    QV_RECORD(HRESULT, GetCustomAttributeProps,
              (mdCustomAttribute, mdToken*, mdToken*, void const**, ULONG*))
    QV_RECORD(HRESULT, GetEventProps,
              (mdEvent, mdTypeDef*, LPCWSTR, ULONG, ULONG*, DWORD*, mdToken*, mdMethodDef*,
               mdMethodDef*, mdMethodDef*, mdMethodDef[], ULONG, ULONG*))
    QV_RECORD(HRESULT, GetFieldMarshal, (mdToken, PCCOR_SIGNATURE*, ULONG*))
    QV_RECORD(HRESULT, GetFieldProps,
              (mdFieldDef, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*, ULONG*,
               DWORD*, UVCP_CONSTANT*, ULONG*))
    QV_RECORD(HRESULT, GetInterfaceImplProps, (mdInterfaceImpl, mdTypeDef*, mdToken*))
    QV_RECORD(HRESULT, GetMemberProps,
              (mdToken, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*, ULONG*, ULONG*,
               DWORD*, DWORD*, UVCP_CONSTANT*, ULONG*))
    QV_RECORD(HRESULT, GetMemberRefProps,
              (mdMemberRef, mdToken*, LPWSTR, ULONG, ULONG*, PCCOR_SIGNATURE*, ULONG*))
    QV_RECORD(HRESULT, GetMethodProps,
              (mdMethodDef, mdTypeDef*, LPWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*, ULONG*,
               ULONG*, DWORD*))
    QV_RECORD(HRESULT, GetMethodSemantics, (mdMethodDef, mdToken, DWORD*))
    QV_RECORD(HRESULT, GetModuleFromScope, (mdModule*))
    QV_RECORD(HRESULT, GetModuleRefProps, (mdModuleRef, LPWSTR, ULONG, ULONG*))
    QV_RECORD(HRESULT, GetNameFromToken, (mdToken, MDUTF8CSTR*))
    QV_RECORD(HRESULT, GetNativeCallConvFromSig, (void const*, ULONG, ULONG*))
    QV_RECORD(HRESULT, GetNestedClassProps, (mdTypeDef, mdTypeDef*))
    QV_RECORD(HRESULT, GetParamForMethodIndex, (mdMethodDef, ULONG, mdParamDef*))
    QV_RECORD(HRESULT, GetParamProps,
              (mdParamDef, mdMethodDef*, ULONG*, LPWSTR, ULONG, ULONG*, DWORD*, DWORD*,
               UVCP_CONSTANT*, ULONG*))
    QV_RECORD(HRESULT, GetPermissionSetProps, (mdPermission, DWORD*, void const**, ULONG*))
    QV_RECORD(HRESULT, GetPinvokeMap, (mdToken, DWORD*, LPWSTR, ULONG, ULONG*, mdModuleRef*))
    QV_RECORD(HRESULT, GetPropertyProps,
              (mdProperty, mdTypeDef*, LPCWSTR, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*, ULONG*,
               DWORD*, UVCP_CONSTANT*, ULONG*, mdMethodDef*, mdMethodDef*, mdMethodDef[], ULONG,
               ULONG*))
    QV_RECORD(HRESULT, GetRVA, (mdToken, ULONG*, DWORD*))
    QV_RECORD(HRESULT, GetScopeProps, (LPWSTR, ULONG, ULONG*, GUID*))
    QV_RECORD(HRESULT, GetSigFromToken, (mdSignature, PCCOR_SIGNATURE*, ULONG*))
    QV_RECORD(HRESULT, GetTypeDefProps, (mdTypeDef, LPWSTR, ULONG, ULONG*, DWORD*, mdToken*))
    QV_RECORD(HRESULT, GetTypeRefProps, (mdTypeRef, mdToken*, LPWSTR, ULONG, ULONG*))
    QV_RECORD(HRESULT, GetTypeSpecFromToken, (mdTypeSpec, PCCOR_SIGNATURE*, ULONG*))
    QV_RECORD(HRESULT, GetUserString, (mdString, LPWSTR, ULONG, ULONG*))
    QV_RECORD(HRESULT, IsGlobal, (mdToken, int*))
    QV_RECORD(BOOL, IsValidToken, (mdToken))
    QV_RECORD(HRESULT, ResetEnum, (HCORENUM, ULONG))
    QV_RECORD(HRESULT, ResolveTypeRef, (mdTypeRef, REFIID, IUnknown**, mdTypeDef*))
};
