// The constant name tables of object classes, key types, attribute types, mechanisms and session
// states, with their value-to-name and name-to-value wrappers. Rows carrying a standard value use
// the header's constant; the token vendor's extensions carry their numbers. Each table ends in a
// {0, nullptr} row for C callers that walk to the end; the searches are given the row count.
#include <array>
#include <span>

#include "constnames.h"

namespace {

using ckhelper::Rows;

// Object classes.
constexpr std::array<ConstNameEntry, 12 + 1> kObjectClasses{{
    {CKO_DATA, "DATA"},
    {CKO_CERTIFICATE, "CERTIFICATE"},
    {0x80000201UL, "CERTIFICATE_REQUEST"},
    {0x80000202UL, "CRL"},
    {CKO_PUBLIC_KEY, "PUBLIC_KEY"},
    {CKO_PRIVATE_KEY, "PRIVATE_KEY"},
    {CKO_SECRET_KEY, "SECRET_KEY"},
    {CKO_HW_FEATURE, "HW_FEATURE"},
    {CKO_DOMAIN_PARAMETERS, "DOMAIN_PARAMETERS"},
    {0x8000020AUL, "ADAPTER"},
    {0x8000020BUL, "SLOT"},
    {0x8000020CUL, "FM"},
    {0, nullptr},
}};

// Key types. CAST5 is another name of CAST128; value-to-name gives CAST128.
constexpr std::array<ConstNameEntry, 23 + 1> kKeyTypes{{
    {CKK_RSA, "RSA"},
    {0x80000201UL, "RSA_DISCRETE"},
    {CKK_DSA, "DSA"},
    {0x80000202UL, "DSA_DISCRETE"},
    {CKK_DH, "DH"},
    {CKK_EC, "EC"},
    {CKK_GENERIC_SECRET, "GENERIC_SECRET"},
    {CKK_RC2, "RC2"},
    {CKK_RC4, "RC4"},
    {CKK_DES, "DES"},
    {CKK_DES2, "DES2"},
    {CKK_DES3, "DES3"},
    {CKK_IDEA, "IDEA"},
    {CKK_CAST, "CAST"},
    {CKK_CAST3, "CAST3"},
    {CKK_CAST128, "CAST128"},
    {CKK_CAST128, "CAST5"},
    {CKK_SKIPJACK, "SKIPJACK"},
    {CKK_BATON, "BATON"},
    {CKK_JUNIPER, "JUNIPER"},
    {CKK_CDMF, "CDMF"},
    {CKK_AES, "AES"},
    {0x80000203UL, "SEED"},
    {0, nullptr},
}};

// Attribute types: the standard ones, then the vendor-defined ones (CHECK_VALUE among them at
// its vendor value, not the standard one).
constexpr std::array<ConstNameEntry, 108 + 1> kAttributeTypes{{
    {CKA_CLASS, "CLASS"},
    {CKA_TOKEN, "TOKEN"},
    {CKA_PRIVATE, "PRIVATE"},
    {CKA_LABEL, "LABEL"},
    {CKA_APPLICATION, "APPLICATION"},
    {CKA_VALUE, "VALUE"},
    {CKA_OBJECT_ID, "OBJECT_ID"},
    {CKA_CERTIFICATE_TYPE, "CERTIFICATE_TYPE"},
    {CKA_ISSUER, "ISSUER"},
    {CKA_SERIAL_NUMBER, "SERIAL_NUMBER"},
    {CKA_AC_ISSUER, "AC_ISSUER"},
    {CKA_OWNER, "OWNER"},
    {CKA_ATTR_TYPES, "ATTR_TYPES"},
    {CKA_TRUSTED, "TRUSTED"},
    {CKA_KEY_TYPE, "KEY_TYPE"},
    {CKA_SUBJECT, "SUBJECT"},
    {CKA_ID, "ID"},
    {CKA_SENSITIVE, "SENSITIVE"},
    {CKA_ENCRYPT, "ENCRYPT"},
    {CKA_DECRYPT, "DECRYPT"},
    {CKA_WRAP, "WRAP"},
    {CKA_UNWRAP, "UNWRAP"},
    {CKA_SIGN, "SIGN"},
    {CKA_SIGN_RECOVER, "SIGN_RECOVER"},
    {CKA_VERIFY, "VERIFY"},
    {CKA_VERIFY_RECOVER, "VERIFY_RECOVER"},
    {CKA_DERIVE, "DERIVE"},
    {CKA_START_DATE, "START_DATE"},
    {CKA_END_DATE, "END_DATE"},
    {CKA_MODULUS, "MODULUS"},
    {CKA_MODULUS_BITS, "MODULUS_BITS"},
    {CKA_PUBLIC_EXPONENT, "PUBLIC_EXPONENT"},
    {CKA_PRIVATE_EXPONENT, "PRIVATE_EXPONENT"},
    {CKA_PRIME_1, "PRIME_1"},
    {CKA_PRIME_2, "PRIME_2"},
    {CKA_EXPONENT_1, "EXPONENT_1"},
    {CKA_EXPONENT_2, "EXPONENT_2"},
    {CKA_COEFFICIENT, "COEFFICIENT"},
    {CKA_PRIME_BITS, "PRIME_BITS"},
    {CKA_SUB_PRIME_BITS, "SUB_PRIME_BITS"},
    {CKA_PRIME, "PRIME"},
    {CKA_SUBPRIME, "SUBPRIME"},
    {CKA_BASE, "BASE"},
    {CKA_VALUE_BITS, "VALUE_BITS"},
    {CKA_VALUE_LEN, "VALUE_LEN"},
    {CKA_EXTRACTABLE, "EXTRACTABLE"},
    {CKA_LOCAL, "LOCAL"},
    {CKA_NEVER_EXTRACTABLE, "NEVER_EXTRACTABLE"},
    {CKA_ALWAYS_SENSITIVE, "ALWAYS_SENSITIVE"},
    {CKA_KEY_GEN_MECHANISM, "KEY_GEN_MECHANISM"},
    {CKA_MODIFIABLE, "MODIFIABLE"},
    {CKA_EC_PARAMS, "EC_PARAMS"},
    {CKA_EC_POINT, "EC_POINT"},
    {CKA_SECONDARY_AUTH, "SECONDARY_AUTH"},
    {CKA_AUTH_PIN_FLAGS, "AUTH_PIN_FLAGS"},
    {CKA_HW_FEATURE_TYPE, "HW_FEATURE_TYPE"},
    {CKA_RESET_ON_INIT, "RESET_ON_INIT"},
    {CKA_HAS_RESET, "HAS_RESET"},
    {0x80000129UL, "EXPORTABLE"},
    {0x80000128UL, "EXPORT"},
    {0x8000012BUL, "IMPORT"},
    {0x80000101UL, "USAGE_COUNT"},
    {0x80000102UL, "TIME_STAMP"},
    {0x80000103UL, "CHECK_VALUE"},
    {0x80000104UL, "MECHANISM_LIST"},
    {0x80000130UL, "ISSUER_STR"},
    {0x80000131UL, "SUBJECT_STR"},
    {0x80000132UL, "SERIAL_NUMBER_INT"},
    {0x80000170UL, "VERIFY_OS"},
    {0x80000140UL, "SECURITY_MODE"},
    {0x80000141UL, "TRANSPORT_MODE"},
    {0x80000142UL, "BATCH"},
    {0x80000143UL, "HW_STATUS"},
    {0x80000144UL, "FREE_MEM"},
    {0x80000146UL, "DATE_OF_MANUFACTURE"},
    {0x80000145UL, "TAMPER_CMD"},
    {0x80000147UL, "HALT_CMD"},
    {0x80000127UL, "SIGN_LOCAL_CERT"},
    {0x80000230UL, "PKI_ATTRIBUTE_BER_ENCODED"},
    {0x80000190UL, "CERTIFICATE_START_TIME"},
    {0x80000191UL, "CERTIFICATE_END_TIME"},
    {0x80000151UL, "SLOT_ID"},
    {0x80000155UL, "MAX_SESSIONS"},
    {0x80000156UL, "MIN_PIN_LEN"},
    {0x80000158UL, "MAX_PIN_FAIL"},
    {0x80000159UL, "FLAGS"},
    {0x80000136UL, "RECORD_COUNT"},
    {0x80000137UL, "RECORD_NUMBER"},
    {0x80000139UL, "PURGE"},
    {0x8000013AUL, "EVENT_LOG_FULL"},
    {0x8000012AUL, "DELETABLE"},
    {0x80000250UL, "HIFACE_MASTER"},
    {0x80000181UL, "VERSION"},
    {0x80000182UL, "MANUFACTURER"},
    {0x80000183UL, "BUILD_DATE"},
    {0x80000184UL, "FINGERPRINT"},
    {0x80000185UL, "ROM_SPACE"},
    {0x80000186UL, "RAM_SPACE"},
    {0x80000187UL, "FM_STATUS"},
    {0x80000189UL, "FM_STARTUP_STATUS"},
    {0x80000188UL, "DELETE_FM"},
    {0x80000148UL, "APPLICATION_COUNT"},
    {0x80000149UL, "FW_VERSION"},
    {0x8000014AUL, "RESCAN_PERIPHERALS_CMD"},
    {0x8000014BUL, "RTC_AAC_ENABLED"},
    {0x8000014CUL, "RTC_AAC_GUARD_SECONDS"},
    {0x8000014DUL, "RTC_AAC_GUARD_COUNT"},
    {0x8000014EUL, "AAC_GUARD_DURATION"},
    {0, nullptr},
}};

// Mechanisms: standard ones and the vendor's, mixed. Shared values resolve to the first row:
// X9_42_DH_PKCS_PARAMETER_GEN carries the value of DH_PKCS_PARAMETER_GEN, and the CAST5 PBE rows
// those of their CAST128 twins.
constexpr std::array<ConstNameEntry, 199 + 1> kMechanisms{{
    {CKM_RSA_PKCS_KEY_PAIR_GEN, "RSA_PKCS_KEY_PAIR_GEN"},
    {CKM_RSA_PKCS, "RSA_PKCS"},
    {CKM_RSA_9796, "RSA_9796"},
    {CKM_RSA_X_509, "RSA_X_509"},
    {CKM_MD2_RSA_PKCS, "MD2_RSA_PKCS"},
    {CKM_MD5_RSA_PKCS, "MD5_RSA_PKCS"},
    {CKM_SHA1_RSA_PKCS, "SHA1_RSA_PKCS"},
    {CKM_RIPEMD128_RSA_PKCS, "RIPEMD128_RSA_PKCS"},
    {CKM_RIPEMD160_RSA_PKCS, "RIPEMD160_RSA_PKCS"},
    {CKM_RSA_PKCS_OAEP, "RSA_PKCS_OAEP"},
    {CKM_RSA_X9_31_KEY_PAIR_GEN, "RSA_X9_31_KEY_PAIR_GEN"},
    {CKM_RSA_X9_31, "RSA_X9_31"},
    {CKM_SHA1_RSA_X9_31, "SHA1_RSA_X9_31"},
    {CKM_DSA_KEY_PAIR_GEN, "DSA_KEY_PAIR_GEN"},
    {CKM_DSA, "DSA"},
    {CKM_DSA_SHA1, "DSA_SHA1"},
    {0x80000013UL, "DSA_SHA1_PKCS"},
    {CKM_DH_PKCS_KEY_PAIR_GEN, "DH_PKCS_KEY_PAIR_GEN"},
    {CKM_DH_PKCS_DERIVE, "DH_PKCS_DERIVE"},
    {CKM_X9_42_DH_KEY_PAIR_GEN, "X9_42_DH_KEY_PAIR_GEN"},
    {CKM_X9_42_DH_DERIVE, "X9_42_DH_DERIVE"},
    {CKM_X9_42_DH_HYBRID_DERIVE, "X9_42_DH_HYBRID_DERIVE"},
    {CKM_X9_42_MQV_DERIVE, "X9_42_MQV_DERIVE"},
    {CKM_EC_KEY_PAIR_GEN, "EC_KEY_PAIR_GEN"},
    {CKM_ECDSA, "ECDSA"},
    {CKM_ECDSA_SHA1, "ECDSA_SHA1"},
    {CKM_RC2_KEY_GEN, "RC2_KEY_GEN"},
    {CKM_RC2_ECB, "RC2_ECB"},
    {0x80000101UL, "RC2_ECB_PAD"},
    {CKM_RC2_CBC, "RC2_CBC"},
    {CKM_RC2_CBC_PAD, "RC2_CBC_PAD"},
    {CKM_RC2_MAC, "RC2_MAC"},
    {CKM_RC2_MAC_GENERAL, "RC2_MAC_GENERAL"},
    {CKM_RC4_KEY_GEN, "RC4_KEY_GEN"},
    {CKM_RC4, "RC4"},
    {CKM_RC5_KEY_GEN, "RC5_KEY_GEN"},
    {CKM_RC5_ECB, "RC5_ECB"},
    {0x80000331UL, "RC5_ECB_PAD"},
    {CKM_RC5_CBC, "RC5_CBC"},
    {CKM_RC5_CBC_PAD, "RC5_CBC_PAD"},
    {CKM_RC5_MAC, "RC5_MAC"},
    {CKM_DES_KEY_GEN, "DES_KEY_GEN"},
    {CKM_DES_ECB, "DES_ECB"},
    {0x80000121UL, "DES_ECB_PAD"},
    {CKM_DES_CBC, "DES_CBC"},
    {CKM_DES_CBC_PAD, "DES_CBC_PAD"},
    {0x8000038EUL, "DES_BCF"},
    {CKM_DES_MAC, "DES_MAC"},
    {CKM_DES_MAC_GENERAL, "DES_MAC_GENERAL"},
    {CKM_DES2_KEY_GEN, "DES2_KEY_GEN"},
    {CKM_DES3_KEY_GEN, "DES3_KEY_GEN"},
    {CKM_DES3_ECB, "DES3_ECB"},
    {0x80000132UL, "DES3_ECB_PAD"},
    {CKM_DES3_CBC, "DES3_CBC"},
    {0x80000964UL, "DES3_DDD_CBC"},
    {CKM_DES3_CBC_PAD, "DES3_CBC_PAD"},
    {CKM_DES3_MAC, "DES3_MAC"},
    {CKM_DES3_MAC_GENERAL, "DES3_MAC_GENERAL"},
    {CKM_CAST_KEY_GEN, "CAST_KEY_GEN"},
    {CKM_CAST_ECB, "CAST_ECB"},
    {0x80000301UL, "CAST_ECB_PAD"},
    {CKM_CAST_CBC, "CAST_CBC"},
    {CKM_CAST_CBC_PAD, "CAST_CBC_PAD"},
    {0x8000038FUL, "DES3_BCF"},
    {CKM_CAST_MAC, "CAST_MAC"},
    {CKM_CAST_MAC_GENERAL, "CAST_MAC_GENERAL"},
    {CKM_CAST3_KEY_GEN, "CAST3_KEY_GEN"},
    {CKM_CAST3_ECB, "CAST3_ECB"},
    {0x80000311UL, "CAST3_ECB_PAD"},
    {CKM_CAST3_CBC, "CAST3_CBC"},
    {CKM_CAST3_CBC_PAD, "CAST3_CBC_PAD"},
    {CKM_CAST3_MAC, "CAST3_MAC"},
    {CKM_CAST128_KEY_GEN, "CAST128_KEY_GEN"},
    {CKM_CAST128_ECB, "CAST128_ECB"},
    {0x80000321UL, "CAST128_ECB_PAD"},
    {CKM_CAST128_CBC, "CAST128_CBC"},
    {CKM_CAST128_CBC_PAD, "CAST128_CBC_PAD"},
    {CKM_CAST128_MAC, "CAST128_MAC"},
    {CKM_CAST128_MAC_GENERAL, "CAST128_MAC_GENERAL"},
    {CKM_IDEA_KEY_GEN, "IDEA_KEY_GEN"},
    {CKM_IDEA_ECB, "IDEA_ECB"},
    {0x80000341UL, "IDEA_ECB_PAD"},
    {CKM_IDEA_CBC, "IDEA_CBC"},
    {CKM_IDEA_CBC_PAD, "IDEA_CBC_PAD"},
    {CKM_IDEA_MAC, "IDEA_MAC"},
    {CKM_IDEA_MAC_GENERAL, "IDEA_MAC_GENERAL"},
    {CKM_GENERIC_SECRET_KEY_GEN, "GENERIC_SECRET_KEY_GEN"},
    {0x80000134UL, "DES3_X919_MAC"},
    {0x80000135UL, "DES3_X919_MAC_GENERAL"},
    {CKM_CONCATENATE_BASE_AND_KEY, "CONCATENATE_BASE_AND_KEY"},
    {CKM_CONCATENATE_BASE_AND_DATA, "CONCATENATE_BASE_AND_DATA"},
    {CKM_CONCATENATE_DATA_AND_BASE, "CONCATENATE_DATA_AND_BASE"},
    {CKM_XOR_BASE_AND_DATA, "XOR_BASE_AND_DATA"},
    {0x80000364UL, "XOR_BASE_AND_KEY"},
    {CKM_EXTRACT_KEY_FROM_KEY, "EXTRACT_KEY_FROM_KEY"},
    {CKM_SSL3_PRE_MASTER_KEY_GEN, "SSL3_PRE_MASTER_KEY_GEN"},
    {CKM_SSL3_MASTER_KEY_DERIVE, "SSL3_MASTER_KEY_DERIVE"},
    {CKM_SSL3_KEY_AND_MAC_DERIVE, "SSL3_KEY_AND_MAC_DERIVE"},
    {CKM_SSL3_MASTER_KEY_DERIVE_DH, "SSL3_MASTER_KEY_DERIVE_DH"},
    {CKM_TLS_PRE_MASTER_KEY_GEN, "TLS_PRE_MASTER_KEY_GEN"},
    {CKM_TLS_MASTER_KEY_DERIVE, "TLS_MASTER_KEY_DERIVE"},
    {CKM_TLS_KEY_AND_MAC_DERIVE, "TLS_KEY_AND_MAC_DERIVE"},
    {CKM_TLS_MASTER_KEY_DERIVE_DH, "TLS_MASTER_KEY_DERIVE_DH"},
    {CKM_SSL3_MD5_MAC, "SSL3_MD5_MAC"},
    {CKM_SSL3_SHA1_MAC, "SSL3_SHA1_MAC"},
    {CKM_MD2_KEY_DERIVATION, "MD2_KEY_DERIVATION"},
    {CKM_MD5_KEY_DERIVATION, "MD5_KEY_DERIVATION"},
    {CKM_SHA1_KEY_DERIVATION, "SHA1_KEY_DERIVATION"},
    {CKM_PBE_MD2_DES_CBC, "PBE_MD2_DES_CBC"},
    {CKM_PBE_MD5_DES_CBC, "PBE_MD5_DES_CBC"},
    {CKM_PBE_MD5_CAST_CBC, "PBE_MD5_CAST_CBC"},
    {CKM_PBE_MD5_CAST3_CBC, "PBE_MD5_CAST3_CBC"},
    {CKM_PBE_MD5_CAST128_CBC, "PBE_MD5_CAST128_CBC"},
    {CKM_PBE_MD5_CAST5_CBC, "PBE_MD5_CAST5_CBC"},
    {CKM_PBE_SHA1_CAST128_CBC, "PBE_SHA1_CAST128_CBC"},
    {CKM_PBE_SHA1_CAST5_CBC, "PBE_SHA1_CAST5_CBC"},
    {CKM_PBE_SHA1_RC4_128, "PBE_SHA1_RC4_128"},
    {CKM_PBE_SHA1_RC4_40, "PBE_SHA1_RC4_40"},
    {CKM_PBE_SHA1_DES3_EDE_CBC, "PBE_SHA1_DES3_EDE_CBC"},
    {CKM_PBE_SHA1_DES2_EDE_CBC, "PBE_SHA1_DES2_EDE_CBC"},
    {CKM_PBE_SHA1_RC2_128_CBC, "PBE_SHA1_RC2_128_CBC"},
    {CKM_PBE_SHA1_RC2_40_CBC, "PBE_SHA1_RC2_40_CBC"},
    {CKM_PBA_SHA1_WITH_SHA1_HMAC, "PBA_SHA1_WITH_SHA1_HMAC"},
    {CKM_KEY_WRAP_SET_OAEP, "KEY_WRAP_SET_OAEP"},
    {CKM_MD2, "MD2"},
    {CKM_MD2_HMAC, "MD2_HMAC"},
    {CKM_MD2_HMAC_GENERAL, "MD2_HMAC_GENERAL"},
    {0x80000201UL, "MD4"},
    {CKM_MD5, "MD5"},
    {CKM_MD5_HMAC, "MD5_HMAC"},
    {CKM_MD5_HMAC_GENERAL, "MD5_HMAC_GENERAL"},
    {0x80000202UL, "SHA"},
    {CKM_SHA_1, "SHA_1"},
    {CKM_SHA_1_HMAC, "SHA_1_HMAC"},
    {CKM_SHA_1_HMAC_GENERAL, "SHA_1_HMAC_GENERAL"},
    {0x80000200UL, "DES_MDC_2_PAD1"},
    {CKM_RIPEMD128, "RIPEMD128"},
    {CKM_RIPEMD128_HMAC, "RIPEMD128_HMAC"},
    {CKM_RIPEMD128_HMAC_GENERAL, "RIPEMD128_HMAC_GENERAL"},
    {CKM_RIPEMD160, "RIPEMD160"},
    {CKM_RIPEMD160_HMAC, "RIPEMD160_HMAC"},
    {CKM_RIPEMD160_HMAC_GENERAL, "RIPEMD160_HMAC_GENERAL"},
    {0x80000203UL, "RIPEMD"},
    {0x80000204UL, "ARDFP"},
    {0x80000205UL, "NVB"},
    {CKM_CDMF_KEY_GEN, "CDMF_KEY_GEN"},
    {CKM_CDMF_ECB, "CDMF_ECB"},
    {CKM_CDMF_CBC, "CDMF_CBC"},
    {CKM_CDMF_MAC, "CDMF_MAC"},
    {CKM_CDMF_MAC_GENERAL, "CDMF_MAC_GENERAL"},
    {CKM_CDMF_CBC_PAD, "CDMF_CBC_PAD"},
    {0x80000950UL, "ENCODE_ATTRIBUTES"},
    {0x80000951UL, "ENCODE_X_509"},
    {0x80000952UL, "ENCODE_PKCS_10"},
    {0x80000953UL, "DECODE_X_509"},
    {0x80000954UL, "ENCODE_PUBLIC_KEY"},
    {0x80000961UL, "WRAPKEY_DES3_ECB"},
    {0x80000962UL, "WRAPKEY_DES3_CBC"},
    {0x80000980UL, "VERIFY_CERTIFICATE"},
    {0x80000934UL, "ENCODE_PKCS_7"},
    {0x80000935UL, "DECODE_PKCS_7"},
    {0x80000930UL, "RSA_PKCS_7"},
    {0x80000931UL, "RSA_PKCS_7_ENC"},
    {0x80000932UL, "RSA_PKCS_7_SIGN"},
    {0x80000933UL, "RSA_PKCS_7_SIGN_ENC"},
    {0x80000955UL, "ENCODE_X_509_LOCAL_CERT"},
    {0x8000001BUL, "KEY_TRANSLATION"},
    {CKM_DH_PKCS_PARAMETER_GEN, "DH_PKCS_PARAMETER_GEN"},
    {CKM_DSA_PARAMETER_GEN, "DSA_PARAMETER_GEN"},
    {CKM_DH_PKCS_PARAMETER_GEN, "X9_42_DH_PKCS_PARAMETER_GEN"},
    {CKM_AES_KEY_GEN, "AES_KEY_GEN"},
    {CKM_AES_ECB, "AES_ECB"},
    {CKM_AES_CBC, "AES_CBC"},
    {CKM_AES_MAC, "AES_MAC"},
    {CKM_AES_MAC_GENERAL, "AES_MAC_GENERAL"},
    {CKM_AES_CBC_PAD, "AES_CBC_PAD"},
    {0x80000990UL, "OS_UPGRADE"},
    {0x80000940UL, "DES_OFB64"},
    {0x80000941UL, "DES3_OFB64"},
    {0x80000991UL, "FM_DOWNLOAD"},
    {0x80000500UL, "DES_DERIVE_ECB"},
    {0x80000501UL, "DES_DERIVE_CBC"},
    {0x80000502UL, "DES3_DERIVE_ECB"},
    {0x80000503UL, "DES3_DERIVE_CBC"},
    {0x80000600UL, "SHA1_RSA_PKCS_TIMESTAMP"},
    {0x80000510UL, "DES3_RETAIL_CFB_MAC"},
    {0x800009A0UL, "PP_LOAD_SECRET"},
    {0x800009B0UL, "VISA_CVV"},
    {0x800009C0UL, "ZKA_MDC_2_KEY_DERIVATION"},
    {0x800009D0UL, "SEED_KEY_GEN"},
    {0x800009D1UL, "SEED_ECB"},
    {0x800009D2UL, "SEED_CBC"},
    {0x800009D3UL, "SEED_MAC"},
    {0x800009D4UL, "SEED_MAC_GENERAL"},
    {0x800009D5UL, "SEED_ECB_PAD"},
    {0x800009D6UL, "SEED_CBC_PAD"},
    {0x800009E0UL, "REPLICATE_TOKEN_RSA_AES"},
    {0x800009F0UL, "SECRET_SHARE_WITH_ATTRIBUTES"},
    {0x800009F1UL, "SECRET_RECOVER_WITH_ATTRIBUTES"},
    {0, nullptr},
}};

// Session states, with descriptive texts.
constexpr std::array<ConstNameEntry, 5 + 1> kSessionStates{{
    {CKS_RO_PUBLIC_SESSION, "Read Only Public Session"},
    {CKS_RO_USER_FUNCTIONS, "Read Only User Functions"},
    {CKS_RW_PUBLIC_SESSION, "Read Write Public Session"},
    {CKS_RW_USER_FUNCTIONS, "Read Write User Functions"},
    {CKS_RW_SO_FUNCTIONS, "Read Write Security Officer Functions"},
    {0, nullptr},
}};

}  // namespace

extern "C" const char *ObjectClassName(CK_ULONG value)
{
    return ckhelper::NameOf(value, Rows(kObjectClasses));
}

extern "C" CK_ULONG ObjectClassValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKO_", Rows(kObjectClasses));
}

extern "C" const char *KeyTypeName(CK_ULONG value)
{
    return ckhelper::NameOf(value, Rows(kKeyTypes));
}

extern "C" CK_ULONG KeyTypeValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKK_", Rows(kKeyTypes));
}

extern "C" const char *AttributeName(CK_ULONG value)
{
    return ckhelper::NameOf(value, Rows(kAttributeTypes));
}

extern "C" CK_ULONG AttributeValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKA_", Rows(kAttributeTypes));
}

extern "C" const char *MechanismName(CK_ULONG value)
{
    return ckhelper::NameOf(value, Rows(kMechanisms));
}

extern "C" CK_ULONG MechanismValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKM_", Rows(kMechanisms));
}

extern "C" const char *SessionStateName(CK_ULONG value)
{
    return ckhelper::NameOf(value, Rows(kSessionStates));
}

// Session state names are accepted with the mechanism prefix, as stored texts spell them.
extern "C" CK_ULONG SessionStateValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKM_", Rows(kSessionStates));
}

namespace ckhelper {

std::span<const NameTable> NameTables()
{
    static const std::array<NameTable, 6> tables{{
        {"result codes", "CKR_", ResultCodeRows(), ResultName, ResultValue},
        {"object classes", "CKO_", Rows(kObjectClasses), ObjectClassName, ObjectClassValue},
        {"key types", "CKK_", Rows(kKeyTypes), KeyTypeName, KeyTypeValue},
        {"attribute types", "CKA_", Rows(kAttributeTypes), AttributeName, AttributeValue},
        {"mechanisms", "CKM_", Rows(kMechanisms), MechanismName, MechanismValue},
        {"session states", "CKM_", Rows(kSessionStates), SessionStateName, SessionStateValue},
    }};
    return tables;
}

}  // namespace ckhelper
