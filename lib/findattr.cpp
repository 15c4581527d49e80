#include <cstdio>
#include <cstdlib>

#include "ckhelper.h"

namespace {

// Stops the program on a caller's programming error, in every build: a null template would
// otherwise be read through, and these checks cost nothing beside the search.
void Require(bool holds, const char *expression, int line)
{
    if (!holds) {
        std::fprintf(stderr, "findattr:%d: assertion failed: %s\n", line, expression);
        std::abort();
    }
}

}  // namespace

extern "C" CK_ATTRIBUTE *FindAttr(CK_ATTRIBUTE_TYPE type, CK_ATTRIBUTE *attr, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        Require(attr != nullptr, "attr", __LINE__);
        if (attr[i].type == type || type == CKHELPER_ANY_ATTRIBUTE) {
            return &attr[i];
        }
    }
    return nullptr;
}

extern "C" CK_ATTRIBUTE *FindAttrInData(CK_ATTRIBUTE_TYPE type, AttrData *attrData)
{
    Require(attrData != nullptr, "attrData", __LINE__);
    return FindAttr(type, attrData->pTemplate, attrData->count);
}
