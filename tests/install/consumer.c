/* A C program that links the installed ckhelper. */
#include <stdio.h>
#include <string.h>

#include <ckhelper.h>

int main(void)
{
    const char *label = AttributeName(0x3);
    CK_ULONG hostMemory = ResultValue("CKR_host memory");
    if (strcmp(label, "LABEL") != 0 || hostMemory != CKR_HOST_MEMORY) {
        fprintf(stderr, "unexpected: AttributeName(0x3) = %s, ResultValue = 0x%lx\n", label,
                hostMemory);
        return 1;
    }
    puts("ckhelper consumer: ok");
    return 0;
}
