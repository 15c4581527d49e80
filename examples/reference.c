/* Stores a private data object on a token, then opens it again by reference: token(pin)/label.
 * usage: reference TOKEN PIN */
#include <ckhelper.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s TOKEN PIN\n", argv[0]);
        return 2;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == NULL || p11->C_Initialize(NULL) != CKR_OK) { /* the caller initialises */
        return 1;
    }
    CK_SLOT_ID slot;
    CK_SESSION_HANDLE hSession;
    CK_OBJECT_HANDLE hObject;
    CK_RV rv = FindSlotByTokenLabel(argv[1], &slot);
    if (rv == CKR_OK) {
        rv = p11->C_OpenSession(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, NULL, NULL, &hSession);
    }
    if (rv == CKR_OK) {
        rv = p11->C_Login(hSession, CKU_USER, (CK_UTF8CHAR_PTR)argv[2], strlen(argv[2]));
        if (rv == CKR_OK) {
            rv = CreatePrivateObject(hSession, CKO_DATA, "release notes", &hObject);
        }
        p11->C_CloseSession(hSession);
    }

    char reference[200];
    snprintf(reference, sizeof reference, "%s(%s)/release notes", argv[1], argv[2]);
    rv = OpenObjectByReference(reference, CKO_DATA, NULL, &hSession, &hObject);
    char text[100];
    GetErrorString(rv, text, sizeof text);
    printf("release notes: %s\n", text); /* prints: release notes: success */
    if (rv == CKR_OK) {
        CK_BBOOL isPrivate = CK_FALSE;
        GetObjectAttribute(hSession, hObject, CKA_PRIVATE, &isPrivate, sizeof isPrivate, NULL);
        printf("private: %s\n", isPrivate ? "yes" : "no"); /* prints: private: yes */
        p11->C_CloseSession(hSession);                     /* the session is the caller's */
    }
    p11->C_Finalize(NULL);
    return rv == CKR_OK ? 0 : 1;
}
