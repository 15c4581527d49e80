// Short-cuts for common object operations: create a labelled token object, relabel one, read or
// write a single attribute or the value.
#include <array>

#include "ckhelper.h"
#include "entry.h"
#include "templates.h"

namespace {

CK_RV CreateTokenObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass, const char *label,
                        CK_BBOOL isPrivate, CK_OBJECT_HANDLE *phObject)
{
    if (label == nullptr || phObject == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    CK_BBOOL isToken = CK_TRUE;
    std::array<CK_ATTRIBUTE, 4> object{{{CKA_CLASS, nullptr, 0},
                                        {CKA_LABEL, nullptr, 0},
                                        {CKA_TOKEN, &isToken, sizeof isToken},
                                        {CKA_PRIVATE, &isPrivate, sizeof isPrivate}}};
    ckhelper::FillAttr(object, CKA_CLASS, &objectClass, sizeof objectClass);
    ckhelper::FillLabel(object, label);
    return provider::Entry(p11->C_CreateObject)(hSession, object.data(), object.size(), phObject);
}

// Sets a single-entry template through the provider.
CK_RV SetAttribute(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE entry)
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    return provider::Entry(p11->C_SetAttributeValue)(hSession, hObject, &entry, 1);
}

}  // namespace

extern "C" CK_RV CreatePrivateObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                                     const char *label, CK_OBJECT_HANDLE *phObject)
{
    return CreateTokenObject(hSession, objectClass, label, CK_TRUE, phObject);
}

extern "C" CK_RV CreatePublicObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                                    const char *label, CK_OBJECT_HANDLE *phObject)
{
    return CreateTokenObject(hSession, objectClass, label, CK_FALSE, phObject);
}

extern "C" CK_RV RelabelObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                               const char *oldLabel, const char *newLabel)
{
    if (newLabel == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
    const CK_RV rv = FindObjectByLabel(hSession, objectClass, oldLabel, &hObject);
    if (rv != CKR_OK) {
        return rv;
    }
    std::array<CK_ATTRIBUTE, 1> relabel{{{CKA_LABEL, nullptr, 0}}};
    ckhelper::FillLabel(relabel, newLabel);
    return SetAttribute(hSession, hObject, relabel[0]);
}

extern "C" CK_RV GetObjectAttribute(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_TYPE type, void *buffer, CK_ULONG bufferLength,
                                    CK_ULONG *pulLen)
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    CK_ATTRIBUTE entry{type, nullptr, 0};
    CK_RV rv = provider::Entry(p11->C_GetAttributeValue)(hSession, hObject, &entry, 1);
    if (rv != CKR_OK) {
        return rv;
    }
    if (pulLen != nullptr) {
        *pulLen = entry.ulValueLen;
    }
    if (bufferLength == 0) {
        return CKR_OK;
    }
    if (entry.ulValueLen > bufferLength) {
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (buffer == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    entry.pValue = buffer;
    return provider::Entry(p11->C_GetAttributeValue)(hSession, hObject, &entry, 1);
}

extern "C" CK_RV SetObjectAttribute(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                    CK_ATTRIBUTE_TYPE type, void *value, CK_ULONG length)
{
    return SetAttribute(hSession, hObject, CK_ATTRIBUTE{type, value, length});
}

extern "C" CK_RV GetObjectValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, void *buffer,
                                CK_ULONG bufferLength, CK_ULONG *pulLen)
{
    CK_ULONG length = bufferLength;
    const CK_RV rv =
        GetObjectAttribute(hSession, hObject, CKA_VALUE, buffer, bufferLength, &length);
    if (pulLen != nullptr) {
        *pulLen = length;
    }
    return rv;
}

extern "C" CK_RV SetObjectValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, void *value,
                                CK_ULONG length, CK_ULONG *pulLen)
{
    const CK_RV rv = SetObjectAttribute(hSession, hObject, CKA_VALUE, value, length);
    if (pulLen != nullptr) {
        *pulLen = length;
    }
    return rv;
}
