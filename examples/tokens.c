/* Finds the tokens a PKCS#11 URI names, in the Cryptoki manner (count, then list), and gives one
 * its own URI back. usage: tokens URI */
#include <ckhelper.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s URI\n", argv[0]);
        return 2;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == NULL || p11->C_Initialize(NULL) != CKR_OK) { /* the caller initialises */
        return 1;
    }
    CK_ULONG count = 0;
    CK_RV rv = FindSlotsByUri(argv[1], NULL, &count); /* how many */
    CK_SLOT_ID *slots = calloc(count + 1, sizeof *slots);
    if (rv == CKR_OK && slots != NULL) {
        rv = FindSlotsByUri(argv[1], slots, &count); /* which, in the provider's order */
    }
    printf("tokens matching: %lu\n", count); /* prints: tokens matching: 1 */

    char *uri = NULL;
    CK_ULONG size = 0;
    if (rv == CKR_OK && count == 1 && GetTokenUri(slots[0], NULL, &size) == CKR_OK) {
        uri = malloc(size);
        if (uri != NULL && GetTokenUri(slots[0], uri, &size) == CKR_OK) {
            CK_SLOT_ID again = 0;
            CK_ULONG one = 1;
            rv = FindSlotsByUri(uri, &again, &one); /* a token's own URI names it alone */
            printf("its own URI finds it again: %s\n",
                   rv == CKR_OK && one == 1 && again == slots[0]
                       ? "yes"
                       : "no"); /* prints: its own URI finds it again: yes */
        }
    }
    free(uri);
    free(slots);
    p11->C_Finalize(NULL);
    return rv == CKR_OK ? 0 : 1;
}
