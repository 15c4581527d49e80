/* Result texts, constant names, and the version of the library against its header. */
#include <ckhelper.h>
#include <stdio.h>
#include <string.h>

/* The version macros are plain numbers, for the preprocessor too. */
#if CKHELPER_VERSION_MAJOR * 10000 + CKHELPER_VERSION_MINOR * 100 + CKHELPER_VERSION_PATCH < 10000
#error "needs ckhelper 1.0.0 or later"
#endif

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

    /* A program run with another library than it was built with can tell. */
    char header[32];
    snprintf(header, sizeof header, "%d.%d.%d", CKHELPER_VERSION_MAJOR, CKHELPER_VERSION_MINOR,
             CKHELPER_VERSION_PATCH);
    int same = strcmp(header, CkhelperVersion()) == 0;
    printf("library %s header\n",
           same ? "matches its" : "differs from its"); /* prints: library matches its header */
    return 0;
}
