/* Result texts and constant names. */
#include <ckhelper.h>
#include <stdio.h>

int main(void)
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions(); /* null: see ProviderBindError() */
    if (p11 == NULL) {
        fprintf(stderr, "cannot bind %s: %s\n", ProviderModulePath(), ProviderBindError());
        return 1;
    }
    char text[100];
    GetErrorString(p11->C_Initialize(NULL), text, sizeof text);
    printf("%s\n", text); /* prints: success */
    GetErrorString(p11->C_Initialize(NULL), text, sizeof text);
    printf("%s\n", text); /* prints: cryptoki already initialized */
    CK_ULONG mechanism = MechanismValue("CKM_AES_CBC");
    printf("%s %s\n", AttributeName(CKA_LABEL),
           MechanismName(mechanism)); /* prints: LABEL AES_CBC */
    p11->C_Finalize(NULL);
    return 0;
}
