/*
 * ckhelper: plain Cryptoki helper functions over a PKCS#11 provider.
 *
 * Every function that talks to the provider returns a CK_RV: CKR_OK on success, otherwise the
 * provider's code unchanged or one of the library's own (CKR_GENERAL_ERROR, CKR_ARGUMENTS_BAD,
 * CKR_ATTRIBUTE_TYPE_INVALID, CKR_HOST_MEMORY). The library prints nothing.
 *
 * The provider module is bound on first use: the path in PKCS11_MODULE_PATH when that is set and
 * not empty, else the default chosen when the library was built. No set-up call is needed.
 */
#ifndef CKHELPER_H
#define CKHELPER_H

#include <stddef.h>

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Provider binding ---------------------------------------------------------------------- */

/* The bound provider's function list, binding the module on first use; null when it cannot be
 * bound. Programs call the provider through it (C_Initialize, C_OpenSession, ...). */
CK_FUNCTION_LIST_PTR ProviderFunctions(void);

/* The module path the library binds (or tried to bind). */
const char *ProviderModulePath(void);

/* Why the module could not be bound, as the loader said it; empty when it is bound. */
const char *ProviderBindError(void);

/* ---- Constant names and result texts ------------------------------------------------------- */

/* One row of a constant name table. */
typedef struct ConstNameEntry {
    CK_ULONG value;
    const char *name;
} ConstNameEntry;

/* Returned by the name-to-value searches for a name that no row holds. */
#define CKHELPER_NOT_FOUND ((CK_ULONG)-1)

/* Name of the first of `count` rows holding `value`; "Vendor defined" for an unknown value with
 * bit 31 set, else "UNKNOWN". Never null. */
const char *LookupName(CK_ULONG value, const ConstNameEntry *table, int count);

/* Value of the first of `count` rows whose name equals `name` exactly; CKHELPER_NOT_FOUND when
 * none does (or `name` is null). */
CK_ULONG LookupValue(const char *name, const ConstNameEntry *table, int count);

/* Result code texts ("general error"), and back; ResultValue accepts the "CKR_" prefix. */
const char *ResultName(CK_ULONG value);
CK_ULONG ResultValue(const char *name);

/* Writes the text for `rv` into `buffer`, always terminated within `size` bytes (a longer text is
 * cut), the rest of the `size` bytes zero-filled; writes nothing when `size` is 0. Returns CKR_OK.
 */
CK_RV GetErrorString(CK_RV rv, char *buffer, size_t size);

/* The other constant name tables, both ways. Value to name gives the first row with the value,
 * else "Vendor defined" or "UNKNOWN"; name to value accepts the name with or without its prefix
 * ("CKA_LABEL" or "LABEL"), else gives CKHELPER_NOT_FOUND. Session state names take the "CKM_"
 * prefix. */
const char *ObjectClassName(CK_ULONG value);
CK_ULONG ObjectClassValue(const char *name);
const char *KeyTypeName(CK_ULONG value);
CK_ULONG KeyTypeValue(const char *name);
const char *AttributeName(CK_ULONG value);
CK_ULONG AttributeValue(const char *name);
const char *MechanismName(CK_ULONG value);
CK_ULONG MechanismValue(const char *name);
const char *SessionStateName(CK_ULONG value);
CK_ULONG SessionStateValue(const char *name);

/* CKR_OK when the provider speaks Cryptoki major version `requiredMajor`, which must be 2;
 * CKR_GENERAL_ERROR for another version; C_GetInfo's failure unchanged. */
CK_RV CheckCryptokiVersion(int requiredMajor);

/* ---- Attribute templates ------------------------------------------------------------------ */

/* A template with its entry count. */
typedef struct AttrData {
    CK_ATTRIBUTE *pTemplate;
    CK_ULONG count;
} AttrData;

/* Matches any attribute type in FindAttr. */
#define CKHELPER_ANY_ATTRIBUTE ((CK_ATTRIBUTE_TYPE)0xFFFF)

/* The first of the `count` entries of `attr` with the given type (any entry for
 * CKHELPER_ANY_ATTRIBUTE), or null. A null `attr` with a count above 0 is a programming error:
 * the program stops with a message naming the expression and the module findattr. */
CK_ATTRIBUTE *FindAttr(CK_ATTRIBUTE_TYPE type, CK_ATTRIBUTE *attr, CK_ULONG count);

/* FindAttr over the template and count of `attrData`, which must not be null. */
CK_ATTRIBUTE *FindAttrInData(CK_ATTRIBUTE_TYPE type, AttrData *attrData);

/* ---- Tokens and objects by label --------------------------------------------------------- */

/* Strips trailing blanks in place from the text in the first `size` bytes of `text`, keeping the
 * first character: a text of blanks only keeps one. Does nothing for a size of 0 or less. */
void TrimTrailingSpaces(char *text, int size);

/* The slot of the first token (in the provider's slot order) whose label equals `label`. Labels
 * compare after cutting to 32 characters and stripping trailing blanks, byte for byte.
 * CKR_GENERAL_ERROR when no token matches; `*pSlot` is written only on success. */
CK_RV FindSlotByTokenLabel(const char *label, CK_SLOT_ID *pSlot);

/* The first object of the class with exactly this label (CKR_GENERAL_ERROR when none). The
 * search is always ended, so none stays active in the session. */
CK_RV FindObjectByLabel(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass, const char *label,
                        CK_OBJECT_HANDLE *phObject);

/* Opens the object named by a reference "token(pin)/label" or "token/label": finds the token's
 * slot, opens a read/write session, logs the user in when a PIN is given (an empty one too), and
 * finds the object of the class with the label (everything after the first "/"). The three
 * out-parameters may be null. A non-null `phSession` receives the open session, which the caller
 * then owns; with a null one, or on failure, the session is closed. CKR_ARGUMENTS_BAD for a
 * reference without "/". The copy of the reference, PIN included, is wiped before release. */
CK_RV OpenObjectByReference(const char *reference, CK_OBJECT_CLASS objectClass, CK_SLOT_ID *pSlot,
                            CK_SESSION_HANDLE *phSession, CK_OBJECT_HANDLE *phObject);

/* ---- Object and attribute helpers ---------------------------------------------------------- */

/* Creates a labelled token object, private (CKA_PRIVATE true) or public. */
CK_RV CreatePrivateObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                          const char *label, CK_OBJECT_HANDLE *phObject);
CK_RV CreatePublicObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass, const char *label,
                         CK_OBJECT_HANDLE *phObject);

/* Gives the first object of the class labelled `oldLabel` the label `newLabel`. */
CK_RV RelabelObject(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass, const char *oldLabel,
                    const char *newLabel);

/* Reads one attribute. The value's length is stored in `*pulLen` (when not null) first; a
 * `bufferLength` of 0 only asks for it. CKR_ATTRIBUTE_TYPE_INVALID when the value is longer
 * than the buffer. */
CK_RV GetObjectAttribute(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                         CK_ATTRIBUTE_TYPE type, void *buffer, CK_ULONG bufferLength,
                         CK_ULONG *pulLen);

/* Writes one attribute. */
CK_RV SetObjectAttribute(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                         CK_ATTRIBUTE_TYPE type, void *value, CK_ULONG length);

/* GetObjectAttribute for CKA_VALUE; when the length cannot be read, `*pulLen` gets
 * `bufferLength`. */
CK_RV GetObjectValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, void *buffer,
                     CK_ULONG bufferLength, CK_ULONG *pulLen);

/* SetObjectAttribute for CKA_VALUE; `*pulLen` gets `length` whatever the result. */
CK_RV SetObjectValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, void *value,
                     CK_ULONG length, CK_ULONG *pulLen);

#ifdef __cplusplus
}
#endif

#endif /* CKHELPER_H */
