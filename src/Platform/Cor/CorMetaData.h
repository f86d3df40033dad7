// Our declaration of the runtime's published metadata import interface and the metadata
// vocabulary around it: token types, element types, attribute flags and metadata status codes.
// Slot order and widths match the runtime's own definitions; the profiler reads module metadata
// through these calls.
#pragma once

#include "Platform/Types.h"

// Tokens: a table tag in the top byte, the row id in the low 24 bits.
using mdToken = uint32_t;
using RID = uint32_t;
using mdModule = mdToken;
using mdTypeRef = mdToken;
using mdTypeDef = mdToken;
using mdFieldDef = mdToken;
using mdMethodDef = mdToken;
using mdParamDef = mdToken;
using mdInterfaceImpl = mdToken;
using mdMemberRef = mdToken;
using mdCustomAttribute = mdToken;
using mdPermission = mdToken;
using mdSignature = mdToken;
using mdEvent = mdToken;
using mdProperty = mdToken;
using mdModuleRef = mdToken;
using mdAssembly = mdToken;
using mdAssemblyRef = mdToken;
using mdFile = mdToken;
using mdExportedType = mdToken;
using mdManifestResource = mdToken;
using mdTypeSpec = mdToken;
using mdGenericParam = mdToken;
using mdMethodSpec = mdToken;
using mdGenericParamConstraint = mdToken;
using mdString = mdToken;
using mdCPToken = mdToken;

using COR_SIGNATURE = uint8_t;
using PCOR_SIGNATURE = COR_SIGNATURE*;
using PCCOR_SIGNATURE = const COR_SIGNATURE*;

// An enumeration in progress: start with null, close with CloseEnum.
using HCORENUM = void*;
using MDUTF8CSTR = const char*;
using UVCP_CONSTANT = const void*;

enum CorTokenType : uint32_t {
    mdtModule = 0x00000000,
    mdtTypeRef = 0x01000000,
    mdtTypeDef = 0x02000000,
    mdtFieldDef = 0x04000000,
    mdtMethodDef = 0x06000000,
    mdtParamDef = 0x08000000,
    mdtInterfaceImpl = 0x09000000,
    mdtMemberRef = 0x0a000000,
    mdtCustomAttribute = 0x0c000000,
    mdtPermission = 0x0e000000,
    mdtSignature = 0x11000000,
    mdtEvent = 0x14000000,
    mdtProperty = 0x17000000,
    mdtMethodImpl = 0x19000000,
    mdtModuleRef = 0x1a000000,
    mdtTypeSpec = 0x1b000000,
    mdtAssembly = 0x20000000,
    mdtAssemblyRef = 0x23000000,
    mdtFile = 0x26000000,
    mdtExportedType = 0x27000000,
    mdtManifestResource = 0x28000000,
    mdtGenericParam = 0x2a000000,
    mdtMethodSpec = 0x2b000000,
    mdtGenericParamConstraint = 0x2c000000,
    mdtString = 0x70000000,
    mdtName = 0x71000000,
    mdtBaseType = 0x72000000,
};

constexpr RID RidFromToken(mdToken tk) {
    return tk & 0x00ffffff;
}
constexpr mdToken TypeFromToken(mdToken tk) {
    return tk & 0xff000000;
}
constexpr mdToken TokenFromRid(RID rid, mdToken type) {
    return rid | type;
}
// A token is nil when its row id is 0, whatever its table.
constexpr bool IsNilToken(mdToken tk) {
    return RidFromToken(tk) == 0;
}

constexpr mdToken mdTokenNil = 0;
constexpr mdModule mdModuleNil = mdtModule;
constexpr mdTypeRef mdTypeRefNil = mdtTypeRef;
constexpr mdTypeDef mdTypeDefNil = mdtTypeDef;
constexpr mdFieldDef mdFieldDefNil = mdtFieldDef;
constexpr mdMethodDef mdMethodDefNil = mdtMethodDef;
constexpr mdParamDef mdParamDefNil = mdtParamDef;
constexpr mdMemberRef mdMemberRefNil = mdtMemberRef;
constexpr mdModuleRef mdModuleRefNil = mdtModuleRef;
constexpr mdTypeSpec mdTypeSpecNil = mdtTypeSpec;
constexpr mdString mdStringNil = mdtString;

// Element types of signatures (4 bytes wide wherever the runtime passes one).
enum CorElementType : uint32_t {
    ELEMENT_TYPE_END = 0x00,
    ELEMENT_TYPE_VOID = 0x01,
    ELEMENT_TYPE_BOOLEAN = 0x02,
    ELEMENT_TYPE_CHAR = 0x03,
    ELEMENT_TYPE_I1 = 0x04,
    ELEMENT_TYPE_U1 = 0x05,
    ELEMENT_TYPE_I2 = 0x06,
    ELEMENT_TYPE_U2 = 0x07,
    ELEMENT_TYPE_I4 = 0x08,
    ELEMENT_TYPE_U4 = 0x09,
    ELEMENT_TYPE_I8 = 0x0a,
    ELEMENT_TYPE_U8 = 0x0b,
    ELEMENT_TYPE_R4 = 0x0c,
    ELEMENT_TYPE_R8 = 0x0d,
    ELEMENT_TYPE_STRING = 0x0e,
    ELEMENT_TYPE_PTR = 0x0f,
    ELEMENT_TYPE_BYREF = 0x10,
    ELEMENT_TYPE_VALUETYPE = 0x11,
    ELEMENT_TYPE_CLASS = 0x12,
    ELEMENT_TYPE_VAR = 0x13,
    ELEMENT_TYPE_ARRAY = 0x14,
    ELEMENT_TYPE_GENERICINST = 0x15,
    ELEMENT_TYPE_TYPEDBYREF = 0x16,
    ELEMENT_TYPE_I = 0x18,
    ELEMENT_TYPE_U = 0x19,
    ELEMENT_TYPE_FNPTR = 0x1b,
    ELEMENT_TYPE_OBJECT = 0x1c,
    ELEMENT_TYPE_SZARRAY = 0x1d,
    ELEMENT_TYPE_MVAR = 0x1e,
    ELEMENT_TYPE_CMOD_REQD = 0x1f,
    ELEMENT_TYPE_CMOD_OPT = 0x20,
    ELEMENT_TYPE_INTERNAL = 0x21,  // runtime-internal, never in stored signatures
    ELEMENT_TYPE_MAX = 0x22,       // first invalid value in the older runtimes
    ELEMENT_TYPE_MODIFIER = 0x40,
    ELEMENT_TYPE_SENTINEL = 0x41,
    ELEMENT_TYPE_PINNED = 0x45,
};

// First byte of a signature blob.
enum CorCallingConvention : uint32_t {
    IMAGE_CEE_CS_CALLCONV_DEFAULT = 0x0,
    IMAGE_CEE_CS_CALLCONV_C = 0x1,
    IMAGE_CEE_CS_CALLCONV_STDCALL = 0x2,
    IMAGE_CEE_CS_CALLCONV_THISCALL = 0x3,
    IMAGE_CEE_CS_CALLCONV_FASTCALL = 0x4,
    IMAGE_CEE_CS_CALLCONV_VARARG = 0x5,
    IMAGE_CEE_CS_CALLCONV_FIELD = 0x6,
    IMAGE_CEE_CS_CALLCONV_LOCAL_SIG = 0x7,
    IMAGE_CEE_CS_CALLCONV_PROPERTY = 0x8,
    IMAGE_CEE_CS_CALLCONV_UNMANAGED = 0x9,
    IMAGE_CEE_CS_CALLCONV_GENERICINST = 0xa,
    IMAGE_CEE_CS_CALLCONV_NATIVEVARARG = 0xb,
    IMAGE_CEE_CS_CALLCONV_MAX = 0xc,
    IMAGE_CEE_CS_CALLCONV_MASK = 0x0f,
    IMAGE_CEE_CS_CALLCONV_GENERIC = 0x10,
    IMAGE_CEE_CS_CALLCONV_HASTHIS = 0x20,
    IMAGE_CEE_CS_CALLCONV_EXPLICITTHIS = 0x40,
};

// How GetModuleMetaData opens a module's metadata.
enum CorOpenFlags : DWORD {
    ofRead = 0x0,
    ofWrite = 0x1,
    ofReadWriteMask = 0x1,
    ofCopyMemory = 0x2,
    ofReadOnly = 0x10,
    ofTakeOwnership = 0x20,
    ofNoTypeLib = 0x80,
    ofNoTransform = 0x1000,
};

enum CorTypeAttr : DWORD {
    tdVisibilityMask = 0x7,
    tdNotPublic = 0x0,
    tdPublic = 0x1,
    tdNestedPublic = 0x2,  // this and every higher visibility mark a nested type
    tdNestedPrivate = 0x3,
    tdNestedFamily = 0x4,
    tdNestedAssembly = 0x5,
    tdNestedFamANDAssem = 0x6,
    tdNestedFamORAssem = 0x7,
    tdLayoutMask = 0x18,
    tdAutoLayout = 0x0,
    tdSequentialLayout = 0x8,
    tdExplicitLayout = 0x10,
    tdInterface = 0x20,
    tdAbstract = 0x80,
    tdSealed = 0x100,
    tdSpecialName = 0x400,
    tdRTSpecialName = 0x800,
    tdImport = 0x1000,
    tdSerializable = 0x2000,
    tdBeforeFieldInit = 0x100000,
};

enum CorMethodAttr : DWORD {
    mdMemberAccessMask = 0x7,
    mdPrivateScope = 0x0,
    mdPrivate = 0x1,
    mdFamANDAssem = 0x2,
    mdAssem = 0x3,
    mdFamily = 0x4,
    mdFamORAssem = 0x5,
    mdPublic = 0x6,
    mdStatic = 0x10,
    mdFinal = 0x20,
    mdVirtual = 0x40,
    mdHideBySig = 0x80,
    mdNewSlot = 0x100,
    mdAbstract = 0x400,
    mdSpecialName = 0x800,
    mdRTSpecialName = 0x1000,
    mdPinvokeImpl = 0x2000,
};

enum CorFieldAttr : DWORD {
    fdFieldAccessMask = 0x7,
    fdStatic = 0x10,
    fdInitOnly = 0x20,
    fdLiteral = 0x40,
    fdNotSerialized = 0x80,
    fdHasFieldRVA = 0x100,
    fdSpecialName = 0x200,
    fdRTSpecialName = 0x400,
    fdHasFieldMarshal = 0x1000,
    fdPinvokeImpl = 0x2000,
    fdHasDefault = 0x8000,
};

enum CorMethodImpl : DWORD {
    miCodeTypeMask = 0x3,
    miIL = 0x0,
    miNative = 0x1,
    miOPTIL = 0x2,
    miRuntime = 0x3,
    miUnmanaged = 0x4,
    miNoInlining = 0x8,
    miSynchronized = 0x20,
    miNoOptimization = 0x40,
    miPreserveSig = 0x80,
    miAggressiveInlining = 0x100,
    miInternalCall = 0x1000,
};

// One field of a class layout: the field's token and its byte offset from the object id.
struct COR_FIELD_OFFSET {
    mdFieldDef ridOfField;
    ULONG ulOffset;
};
static_assert(sizeof(COR_FIELD_OFFSET) == 8, "COR_FIELD_OFFSET is two 32-bit fields");

// Metadata status codes.
constexpr HRESULT CLDB_E_FILE_BADREAD = MakeHResult(0x80131100);
constexpr HRESULT CLDB_E_FILE_CORRUPT = MakeHResult(0x8013110E);
constexpr HRESULT CLDB_E_INDEX_NOTFOUND = MakeHResult(0x80131124);
constexpr HRESULT CLDB_E_RECORD_NOTFOUND = MakeHResult(0x80131130);
constexpr HRESULT CLDB_E_INTERNALERROR = MakeHResult(0x80131FFF);
// A success code: the name did not fit the buffer and was cut.
constexpr HRESULT CLDB_S_TRUNCATION = MakeHResult(0x00131106);
constexpr HRESULT META_E_INVALID_TOKEN_TYPE = MakeHResult(0x8013115F);
constexpr HRESULT META_E_BADMETADATA = MakeHResult(0x8013118A);
constexpr HRESULT META_E_BAD_SIGNATURE = MakeHResult(0x80131192);
constexpr HRESULT META_E_BAD_INPUT_PARAMETER = MakeHResult(0x80131193);
constexpr HRESULT META_S_DUPLICATE = MakeHResult(0x00131197);

// Read access to one module's metadata: 62 methods after IUnknown, each marked with its published
// slot. Enum* calls return S_FALSE when nothing more is returned; Get*Props calls take a buffer
// capacity in 16-bit units, report the needed length including the NUL, and answer
// CLDB_S_TRUNCATION when the buffer was too small.
struct IMetaDataImport : IUnknown {
    /* 3 */ virtual void STDMETHODCALLTYPE CloseEnum(HCORENUM hEnum) = 0;
    /* 4 */ virtual HRESULT STDMETHODCALLTYPE CountEnum(HCORENUM hEnum, ULONG* pulCount) = 0;
    /* 5 */ virtual HRESULT STDMETHODCALLTYPE ResetEnum(HCORENUM hEnum, ULONG ulPos) = 0;
    /* 6 */ virtual HRESULT STDMETHODCALLTYPE EnumTypeDefs(HCORENUM* phEnum, mdTypeDef rTypeDefs[],
                                                           ULONG cMax, ULONG* pcTypeDefs) = 0;
    /* 7 */ virtual HRESULT STDMETHODCALLTYPE EnumInterfaceImpls(HCORENUM* phEnum, mdTypeDef td,
                                                                 mdInterfaceImpl rImpls[],
                                                                 ULONG cMax, ULONG* pcImpls) = 0;
    /* 8 */ virtual HRESULT STDMETHODCALLTYPE EnumTypeRefs(HCORENUM* phEnum, mdTypeRef rTypeRefs[],
                                                           ULONG cMax, ULONG* pcTypeRefs) = 0;
    /* 9 */ virtual HRESULT STDMETHODCALLTYPE FindTypeDefByName(LPCWSTR szTypeDef,
                                                                mdToken tkEnclosingClass,
                                                                mdTypeDef* ptd) = 0;
    /* 10 */ virtual HRESULT STDMETHODCALLTYPE GetScopeProps(LPWSTR szName, ULONG cchName,
                                                             ULONG* pchName, GUID* pmvid) = 0;
    /* 11 */ virtual HRESULT STDMETHODCALLTYPE GetModuleFromScope(mdModule* pmd) = 0;
    /* 12 */ virtual HRESULT STDMETHODCALLTYPE GetTypeDefProps(mdTypeDef td, LPWSTR szTypeDef,
                                                               ULONG cchTypeDef, ULONG* pchTypeDef,
                                                               DWORD* pdwTypeDefFlags,
                                                               mdToken* ptkExtends) = 0;
    /* 13 */ virtual HRESULT STDMETHODCALLTYPE GetInterfaceImplProps(mdInterfaceImpl iiImpl,
                                                                     mdTypeDef* pClass,
                                                                     mdToken* ptkIface) = 0;
    /* 14 */ virtual HRESULT STDMETHODCALLTYPE GetTypeRefProps(mdTypeRef tr,
                                                               mdToken* ptkResolutionScope,
                                                               LPWSTR szName, ULONG cchName,
                                                               ULONG* pchName) = 0;
    /* 15 */ virtual HRESULT STDMETHODCALLTYPE ResolveTypeRef(mdTypeRef tr, REFIID riid,
                                                              IUnknown** ppIScope,
                                                              mdTypeDef* ptd) = 0;
    /* 16 */ virtual HRESULT STDMETHODCALLTYPE EnumMembers(HCORENUM* phEnum, mdTypeDef cl,
                                                           mdToken rMembers[], ULONG cMax,
                                                           ULONG* pcTokens) = 0;
    /* 17 */ virtual HRESULT STDMETHODCALLTYPE EnumMembersWithName(HCORENUM* phEnum, mdTypeDef cl,
                                                                   LPCWSTR szName,
                                                                   mdToken rMembers[], ULONG cMax,
                                                                   ULONG* pcTokens) = 0;
    /* 18 */ virtual HRESULT STDMETHODCALLTYPE EnumMethods(HCORENUM* phEnum, mdTypeDef cl,
                                                           mdMethodDef rMethods[], ULONG cMax,
                                                           ULONG* pcTokens) = 0;
    /* 19 */ virtual HRESULT STDMETHODCALLTYPE EnumMethodsWithName(HCORENUM* phEnum, mdTypeDef cl,
                                                                   LPCWSTR szName,
                                                                   mdMethodDef rMethods[],
                                                                   ULONG cMax, ULONG* pcTokens) = 0;
    /* 20 */ virtual HRESULT STDMETHODCALLTYPE EnumFields(HCORENUM* phEnum, mdTypeDef cl,
                                                          mdFieldDef rFields[], ULONG cMax,
                                                          ULONG* pcTokens) = 0;
    /* 21 */ virtual HRESULT STDMETHODCALLTYPE EnumFieldsWithName(HCORENUM* phEnum, mdTypeDef cl,
                                                                  LPCWSTR szName,
                                                                  mdFieldDef rFields[], ULONG cMax,
                                                                  ULONG* pcTokens) = 0;
    /* 22 */ virtual HRESULT STDMETHODCALLTYPE EnumParams(HCORENUM* phEnum, mdMethodDef mb,
                                                          mdParamDef rParams[], ULONG cMax,
                                                          ULONG* pcTokens) = 0;
    /* 23 */ virtual HRESULT STDMETHODCALLTYPE EnumMemberRefs(HCORENUM* phEnum, mdToken tkParent,
                                                              mdMemberRef rMemberRefs[], ULONG cMax,
                                                              ULONG* pcTokens) = 0;
    /* 24 */ virtual HRESULT STDMETHODCALLTYPE EnumMethodImpls(HCORENUM* phEnum, mdTypeDef td,
                                                               mdToken rMethodBody[],
                                                               mdToken rMethodDecl[], ULONG cMax,
                                                               ULONG* pcTokens) = 0;
    /* 25 */ virtual HRESULT STDMETHODCALLTYPE EnumPermissionSets(HCORENUM* phEnum, mdToken tk,
                                                                  DWORD dwActions,
                                                                  mdPermission rPermission[],
                                                                  ULONG cMax, ULONG* pcTokens) = 0;
    /* 26 */ virtual HRESULT STDMETHODCALLTYPE FindMember(mdTypeDef td, LPCWSTR szName,
                                                          PCCOR_SIGNATURE pvSigBlob,
                                                          ULONG cbSigBlob, mdToken* pmb) = 0;
    /* 27 */ virtual HRESULT STDMETHODCALLTYPE FindMethod(mdTypeDef td, LPCWSTR szName,
                                                          PCCOR_SIGNATURE pvSigBlob,
                                                          ULONG cbSigBlob, mdMethodDef* pmb) = 0;
    /* 28 */ virtual HRESULT STDMETHODCALLTYPE FindField(mdTypeDef td, LPCWSTR szName,
                                                         PCCOR_SIGNATURE pvSigBlob, ULONG cbSigBlob,
                                                         mdFieldDef* pmb) = 0;
    /* 29 */ virtual HRESULT STDMETHODCALLTYPE FindMemberRef(mdTypeRef td, LPCWSTR szName,
                                                             PCCOR_SIGNATURE pvSigBlob,
                                                             ULONG cbSigBlob, mdMemberRef* pmr) = 0;
    /* 30 */ virtual HRESULT STDMETHODCALLTYPE GetMethodProps(mdMethodDef mb, mdTypeDef* pClass,
                                                              LPWSTR szMethod, ULONG cchMethod,
                                                              ULONG* pchMethod, DWORD* pdwAttr,
                                                              PCCOR_SIGNATURE* ppvSigBlob,
                                                              ULONG* pcbSigBlob, ULONG* pulCodeRVA,
                                                              DWORD* pdwImplFlags) = 0;
    /* 31 */ virtual HRESULT STDMETHODCALLTYPE GetMemberRefProps(mdMemberRef mr, mdToken* ptk,
                                                                 LPWSTR szMember, ULONG cchMember,
                                                                 ULONG* pchMember,
                                                                 PCCOR_SIGNATURE* ppvSigBlob,
                                                                 ULONG* pbSig) = 0;
    /* 32 */ virtual HRESULT STDMETHODCALLTYPE EnumProperties(HCORENUM* phEnum, mdTypeDef td,
                                                              mdProperty rProperties[], ULONG cMax,
                                                              ULONG* pcProperties) = 0;
    /* 33 */ virtual HRESULT STDMETHODCALLTYPE EnumEvents(HCORENUM* phEnum, mdTypeDef td,
                                                          mdEvent rEvents[], ULONG cMax,
                                                          ULONG* pcEvents) = 0;
    /* 34 */ virtual HRESULT STDMETHODCALLTYPE
    GetEventProps(mdEvent ev, mdTypeDef* pClass, LPCWSTR szEvent /* written */, ULONG cchEvent,
                  ULONG* pchEvent, DWORD* pdwEventFlags, mdToken* ptkEventType,
                  mdMethodDef* pmdAddOn, mdMethodDef* pmdRemoveOn, mdMethodDef* pmdFire,
                  mdMethodDef rmdOtherMethod[], ULONG cMax, ULONG* pcOtherMethod) = 0;
    /* 35 */ virtual HRESULT STDMETHODCALLTYPE EnumMethodSemantics(HCORENUM* phEnum, mdMethodDef mb,
                                                                   mdToken rEventProp[], ULONG cMax,
                                                                   ULONG* pcEventProp) = 0;
    /* 36 */ virtual HRESULT STDMETHODCALLTYPE GetMethodSemantics(mdMethodDef mb,
                                                                  mdToken tkEventProp,
                                                                  DWORD* pdwSemanticsFlags) = 0;
    /* 37 */ virtual HRESULT STDMETHODCALLTYPE GetClassLayout(mdTypeDef td, DWORD* pdwPackSize,
                                                              COR_FIELD_OFFSET rFieldOffset[],
                                                              ULONG cMax, ULONG* pcFieldOffset,
                                                              ULONG* pulClassSize) = 0;
    /* 38 */ virtual HRESULT STDMETHODCALLTYPE GetFieldMarshal(mdToken tk,
                                                               PCCOR_SIGNATURE* ppvNativeType,
                                                               ULONG* pcbNativeType) = 0;
    /* 39 */ virtual HRESULT STDMETHODCALLTYPE GetRVA(mdToken tk, ULONG* pulCodeRVA,
                                                      DWORD* pdwImplFlags) = 0;
    /* 40 */ virtual HRESULT STDMETHODCALLTYPE GetPermissionSetProps(mdPermission pm,
                                                                     DWORD* pdwAction,
                                                                     void const** ppvPermission,
                                                                     ULONG* pcbPermission) = 0;
    /* 41 */ virtual HRESULT STDMETHODCALLTYPE GetSigFromToken(mdSignature mdSig,
                                                               PCCOR_SIGNATURE* ppvSig,
                                                               ULONG* pcbSig) = 0;
    /* 42 */ virtual HRESULT STDMETHODCALLTYPE GetModuleRefProps(mdModuleRef mur, LPWSTR szName,
                                                                 ULONG cchName, ULONG* pchName) = 0;
    /* 43 */ virtual HRESULT STDMETHODCALLTYPE EnumModuleRefs(HCORENUM* phEnum,
                                                              mdModuleRef rModuleRefs[], ULONG cmax,
                                                              ULONG* pcModuleRefs) = 0;
    /* 44 */ virtual HRESULT STDMETHODCALLTYPE GetTypeSpecFromToken(mdTypeSpec typespec,
                                                                    PCCOR_SIGNATURE* ppvSig,
                                                                    ULONG* pcbSig) = 0;
    /* 45 */ virtual HRESULT STDMETHODCALLTYPE GetNameFromToken(mdToken tk,
                                                                MDUTF8CSTR* pszUtf8NamePtr) = 0;
    /* 46 */ virtual HRESULT STDMETHODCALLTYPE EnumUnresolvedMethods(HCORENUM* phEnum,
                                                                     mdToken rMethods[], ULONG cMax,
                                                                     ULONG* pcTokens) = 0;
    /* 47 */ virtual HRESULT STDMETHODCALLTYPE GetUserString(mdString stk, LPWSTR szString,
                                                             ULONG cchString, ULONG* pchString) = 0;
    /* 48 */ virtual HRESULT STDMETHODCALLTYPE GetPinvokeMap(mdToken tk, DWORD* pdwMappingFlags,
                                                             LPWSTR szImportName,
                                                             ULONG cchImportName,
                                                             ULONG* pchImportName,
                                                             mdModuleRef* pmrImportDLL) = 0;
    /* 49 */ virtual HRESULT STDMETHODCALLTYPE EnumSignatures(HCORENUM* phEnum,
                                                              mdSignature rSignatures[], ULONG cmax,
                                                              ULONG* pcSignatures) = 0;
    /* 50 */ virtual HRESULT STDMETHODCALLTYPE EnumTypeSpecs(HCORENUM* phEnum,
                                                             mdTypeSpec rTypeSpecs[], ULONG cmax,
                                                             ULONG* pcTypeSpecs) = 0;
    /* 51 */ virtual HRESULT STDMETHODCALLTYPE EnumUserStrings(HCORENUM* phEnum,
                                                               mdString rStrings[], ULONG cmax,
                                                               ULONG* pcStrings) = 0;
    /* 52 */ virtual HRESULT STDMETHODCALLTYPE GetParamForMethodIndex(mdMethodDef md,
                                                                      ULONG ulParamSeq,
                                                                      mdParamDef* ppd) = 0;
    /* 53 */ virtual HRESULT STDMETHODCALLTYPE EnumCustomAttributes(
        HCORENUM* phEnum, mdToken tk, mdToken tkType, mdCustomAttribute rCustomAttributes[],
        ULONG cMax, ULONG* pcCustomAttributes) = 0;
    /* 54 */ virtual HRESULT STDMETHODCALLTYPE GetCustomAttributeProps(mdCustomAttribute cv,
                                                                       mdToken* ptkObj,
                                                                       mdToken* ptkType,
                                                                       void const** ppBlob,
                                                                       ULONG* pcbSize) = 0;
    /* 55 */ virtual HRESULT STDMETHODCALLTYPE FindTypeRef(mdToken tkResolutionScope,
                                                           LPCWSTR szName, mdTypeRef* ptr) = 0;
    /* 56 */ virtual HRESULT STDMETHODCALLTYPE GetMemberProps(
        mdToken mb, mdTypeDef* pClass, LPWSTR szMember, ULONG cchMember, ULONG* pchMember,
        DWORD* pdwAttr, PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob, ULONG* pulCodeRVA,
        DWORD* pdwImplFlags, DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue, ULONG* pcchValue) = 0;
    /* 57 */ virtual HRESULT STDMETHODCALLTYPE
    GetFieldProps(mdFieldDef mb, mdTypeDef* pClass, LPWSTR szField, ULONG cchField, ULONG* pchField,
                  DWORD* pdwAttr, PCCOR_SIGNATURE* ppvSigBlob, ULONG* pcbSigBlob,
                  DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue, ULONG* pcchValue) = 0;
    /* 58 */ virtual HRESULT STDMETHODCALLTYPE GetPropertyProps(
        mdProperty prop, mdTypeDef* pClass, LPCWSTR szProperty /* written */, ULONG cchProperty,
        ULONG* pchProperty, DWORD* pdwPropFlags, PCCOR_SIGNATURE* ppvSig, ULONG* pbSig,
        DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppDefaultValue, ULONG* pcchDefaultValue,
        mdMethodDef* pmdSetter, mdMethodDef* pmdGetter, mdMethodDef rmdOtherMethod[], ULONG cMax,
        ULONG* pcOtherMethod) = 0;
    /* 59 */ virtual HRESULT STDMETHODCALLTYPE
    GetParamProps(mdParamDef tk, mdMethodDef* pmd, ULONG* pulSequence, LPWSTR szName, ULONG cchName,
                  ULONG* pchName, DWORD* pdwAttr, DWORD* pdwCPlusTypeFlag, UVCP_CONSTANT* ppValue,
                  ULONG* pcchValue) = 0;
    /* 60 */ virtual HRESULT STDMETHODCALLTYPE GetCustomAttributeByName(mdToken tkObj,
                                                                        LPCWSTR szName,
                                                                        const void** ppData,
                                                                        ULONG* pcbData) = 0;
    /* 61 */ virtual BOOL STDMETHODCALLTYPE IsValidToken(mdToken tk) = 0;
    /* 62 */ virtual HRESULT STDMETHODCALLTYPE
    GetNestedClassProps(mdTypeDef tdNestedClass, mdTypeDef* ptdEnclosingClass) = 0;
    /* 63 */ virtual HRESULT STDMETHODCALLTYPE GetNativeCallConvFromSig(void const* pvSig,
                                                                        ULONG cbSig,
                                                                        ULONG* pCallConv) = 0;
    /* 64 */ virtual HRESULT STDMETHODCALLTYPE IsGlobal(mdToken pd, int* pbGlobal) = 0;
};

constexpr IID IID_IMetaDataImport = {
    0x7DAC8207, 0xD3AE, 0x4C75, {0x9B, 0x67, 0x92, 0x80, 0x1A, 0x49, 0x7D, 0x44}};
constexpr IID IID_IMetaDataImport2 = {
    0xFCE5EFA0, 0x8BBA, 0x4F8E, {0xA0, 0x36, 0x8F, 0x20, 0x22, 0xB0, 0x84, 0x66}};
constexpr IID IID_IMetaDataAssemblyImport = {
    0xEE62470B, 0xE94B, 0x424E, {0x9B, 0x7C, 0x2F, 0x00, 0xC9, 0x24, 0x9F, 0x93}};
