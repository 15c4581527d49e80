// The helper library on real SoftHSM2 tokens, through the fault shim: which token and object a
// name reaches, what the token is asked, what is passed back, and that nothing is left open.
#include <malloc.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "support/support.h"

namespace {

using p11shim::Call;
using testsupport::Shim;
using testsupport::TempDir;

const std::string k32 = "abcdefghijklmnopqrstuvwxyz012345";
CK_FUNCTION_LIST_PTR p11 = nullptr;

CK_SESSION_HANDLE OpenAsUser()
{
    CK_SESSION_HANDLE hSession = 0;
    std::string pin = "1234";
    EXPECT_EQ(
        p11->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession) |
            p11->C_Login(hSession, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), 4),
        CKR_OK);
    return hSession;
}

// A public session object of the data class.
CK_OBJECT_HANDLE CreateData(CK_SESSION_HANDLE hSession, std::string label, std::string value)
{
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL no = CK_FALSE;
    std::array<CK_ATTRIBUTE, 4> object{{{CKA_CLASS, &dataClass, sizeof dataClass},
                                        {CKA_PRIVATE, &no, 1},
                                        {CKA_LABEL, label.data(), label.size()},
                                        {CKA_VALUE, value.data(), value.size()}}};
    CK_OBJECT_HANDLE hObject = 0;
    EXPECT_EQ(p11->C_CreateObject(hSession, object.data(), object.size(), &hObject), CKR_OK);
    return hObject;
}

// Tokens in a store of the program's own, alpha at slot 0 with data objects. Each test starts
// with no session open and a shim that has seen nothing.
class Library : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store_ = std::make_unique<TempDir>();
        const std::string conf =
            testsupport::MakeTokens(*store_, {"alpha", "twin", "twin", k32, " lead"});
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        p11 = ProviderFunctions();
        ASSERT_TRUE(p11 != nullptr && p11->C_Initialize(nullptr) == CKR_OK) << ProviderBindError();
        const CK_SESSION_HANDLE hSession = OpenAsUser();
        CK_OBJECT_HANDLE hObject = 0;
        for (const char *label : {"obj", "dir/obj", "34)/obj", "", "same", "same", "a;b c%"})
            ASSERT_EQ(CreatePublicObject(hSession, CKO_DATA, label, &hObject), CKR_OK);
        ASSERT_EQ(CreatePrivateObject(hSession, CKO_DATA, "secret", &hObject), CKR_OK);
        p11->C_CloseSession(hSession);
    }
    static void TearDownTestSuite() { p11->C_Finalize(nullptr); }
    void SetUp() override
    {
        ASSERT_NE(p11, nullptr);
        Shim().Reset();
    }
    void TearDown() override
    {
        for (const CK_SESSION_HANDLE h : std::set<CK_SESSION_HANDLE>(Shim().sessions))
            p11->C_CloseSession(h);
        Shim().Reset();
    }
    static std::string Label(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject)
    {
        std::array<char, 64> label{};
        CK_ULONG length = 0;
        EXPECT_EQ(GetObjectAttribute(hSession, hObject, CKA_LABEL, label.data(), 64, &length),
                  CKR_OK);
        return {label.data(), length};
    }
    static inline std::unique_ptr<TempDir> store_;
};

TEST_F(Library, ReferencesNameTokenPinAndObjectLabel)
{
    struct Case {
        const char *reference;
        CK_RV rv;
        const char *pin;       // "(none)": no login
        const char *searched;  // the object label searched for
    };
    // clang-format off
    for (const Case &c : std::vector<Case>{
             {"alpha(1234)/obj", CKR_OK, "1234", "obj"},        {"alpha/obj", CKR_OK, "(none)", "obj"},
             {"alpha()/obj", CKR_PIN_INCORRECT, "", "(none)"},  {"alpha(1234/obj", CKR_OK, "1234", "obj"},
             {"alpha(12/34)/obj", CKR_PIN_INCORRECT, "12", "(none)"},
             {"alpha/34)/obj", CKR_OK, "(none)", "34)/obj"},    {"alpha/dir/obj", CKR_OK, "(none)", "dir/obj"},
             {"alpha(1234)ignored/obj", CKR_OK, "1234", "obj"}, {"alpha/", CKR_OK, "(none)", ""},
             {"alpha   /obj", CKR_OK, "(none)", "obj"},         {"alpha/obj ", CKR_GENERAL_ERROR, "(none)", "obj "},
             {"ALPHA/obj", CKR_GENERAL_ERROR, "(none)", "(none)"},
             {"alpha(1234)", CKR_ARGUMENTS_BAD, "(none)", "(none)"}}) {
        // clang-format on
        CK_SLOT_ID slot = 99;
        CK_SESSION_HANDLE hSession = 99;
        CK_OBJECT_HANDLE hObject = 99;
        EXPECT_EQ(OpenObjectByReference(c.reference, CKO_DATA, &slot, &hSession, &hObject), c.rv)
            << c.reference;
        EXPECT_EQ(Shim().pin, c.pin) << c.reference;
        EXPECT_EQ(Shim().searchedLabel, c.searched) << c.reference;
        if (c.rv == CKR_OK) {
            EXPECT_EQ(slot, 0U);
            EXPECT_EQ(Shim().sessions, std::set<CK_SESSION_HANDLE>{hSession});
            EXPECT_EQ(Label(hSession, hObject), c.searched);
        } else {
            EXPECT_EQ(slot + hSession + hObject, 3U * 99) << "out-parameter written on failure";
            EXPECT_TRUE(Shim().sessions.empty()) << c.reference;
            EXPECT_TRUE(c.rv != CKR_ARGUMENTS_BAD || Shim().sequence.empty());
        }
        TearDown();
    }
    EXPECT_EQ(OpenObjectByReference(nullptr, CKO_DATA, nullptr, nullptr, nullptr),
              CKR_ARGUMENTS_BAD);
}

TEST_F(Library, TokenLabelsCompareTrimmedAndCutTo32Bytes)
{
    std::array<CK_SLOT_ID, 16> slots{};
    CK_ULONG count = slots.size();
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    const auto firstWith = [&](const std::string &label) {  // in slot order, from the token itself
        CK_TOKEN_INFO info{};
        for (const CK_SLOT_ID slot : std::span(slots).first(count))
            if (p11->C_GetTokenInfo(slot, &info) == CKR_OK &&
                std::string(reinterpret_cast<char *>(info.label), 32) ==
                    (label + std::string(32, ' ')).substr(0, 32))
                return slot;
        return CK_SLOT_ID{99};
    };
    // clang-format off
    for (const auto &[wanted, token] : std::vector<std::pair<std::string, std::string>>{
             {"alpha", "alpha"}, {"alpha   ", "alpha"}, {"twin", "twin"}, {" lead", " lead"},
             {k32 + "EXTRA", k32}, {"Alpha", ""}, {"lead", ""}, {"", ""}, {k32.substr(0, 31), ""}}) {
        // clang-format on
        CK_SLOT_ID slot = 99;
        EXPECT_EQ(FindSlotByTokenLabel(wanted.c_str(), &slot),
                  token.empty() ? CKR_GENERAL_ERROR : CKR_OK)
            << wanted;
        EXPECT_EQ(slot, token.empty() ? 99 : firstWith(token)) << wanted;
    }
    Shim().slotCount = ~CK_ULONG{0};  // a slot count no memory could hold
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(FindSlotByTokenLabel("alpha", &slot), CKR_HOST_MEMORY);
}

TEST_F(Library, ObjectsAreCreatedFoundRelabelledReadAndWritten)
{
    CK_SESSION_HANDLE hSession = 0;
    ASSERT_EQ(
        p11->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession),
        CKR_OK);
    CK_OBJECT_HANDLE hObject = 0;
    ASSERT_EQ(CreatePublicObject(hSession, CKO_DATA, "abcde", &hObject), CKR_OK);
    std::array<CK_BBOOL, 2> flags{};
    EXPECT_EQ(GetObjectAttribute(hSession, hObject, CKA_PRIVATE, &flags[0], 1, nullptr), CKR_OK);
    EXPECT_EQ(GetObjectAttribute(hSession, hObject, CKA_TOKEN, &flags[1], 1, nullptr), CKR_OK);
    EXPECT_EQ(flags, (std::array<CK_BBOOL, 2>{CK_FALSE, CK_TRUE}));
    EXPECT_EQ(Label(hSession, hObject), "abcde");
    EXPECT_EQ(CreatePrivateObject(hSession, CKO_DATA, "x", &hObject), CKR_USER_NOT_LOGGED_IN);

    // The first of two matches of the class, and none of another class.
    std::array<CK_OBJECT_HANDLE, 2> found{};
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "same", &found[0]), CKR_OK);
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_SECRET_KEY, "same", &found[1]), CKR_GENERAL_ERROR);
    EXPECT_EQ(RelabelObject(hSession, CKO_DATA, "same", "renamed"), CKR_OK);
    EXPECT_EQ(Label(hSession, found[0]), "renamed");
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "same", &found[1]), CKR_OK);
    EXPECT_NE(found[1], found[0]);
    EXPECT_EQ(RelabelObject(hSession, CKO_DATA, "renamed", "same"), CKR_OK);
    Shim().Reset();
    EXPECT_EQ(RelabelObject(hSession, CKO_DATA, "missing", "x"), CKR_GENERAL_ERROR);
    EXPECT_EQ(Shim().Calls(Call::SetAttributeValue), 0U);

    // Values: a size query, a buffer too small, one large enough; the first two one call each.
    std::string value = "twenty-four bytes value!";
    hObject = CreateData(hSession, "valued", value);
    std::array<char, 32> buffer{};
    CK_ULONG length = 0;
    EXPECT_EQ(GetObjectValue(hSession, hObject, nullptr, 0, &length), CKR_OK);
    EXPECT_EQ(length, 24U);
    EXPECT_EQ(GetObjectAttribute(hSession, hObject, CKA_VALUE, buffer.data(), 16, &length),
              CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(Shim().Calls(Call::GetAttributeValue), 2U);
    length = 0;
    EXPECT_EQ(GetObjectValue(hSession, hObject, buffer.data(), buffer.size(), &length), CKR_OK);
    EXPECT_EQ(std::string(buffer.data()) + std::to_string(length), value + "24");
    // A refused length query leaves the caller's length with GetObjectValue, untouched otherwise.
    Shim().Fail(Call::GetAttributeValue, 0, CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(GetObjectValue(hSession, hObject, buffer.data(), 20, &length),
              CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(GetObjectAttribute(hSession, hObject, CKA_VALUE, buffer.data(), 30, &length),
              CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(length, 20U);
    Shim().faults = {};
    // SoftHSM2 fixes a data object's value; the length is stored all the same.
    EXPECT_EQ(SetObjectValue(hSession, hObject, value.data(), 3, &length), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(length, 3U);
    EXPECT_EQ(SetObjectAttribute(hSession, hObject, CKA_LABEL, value.data(), 6), CKR_OK);
    EXPECT_EQ(Label(hSession, hObject), "twenty");
}

TEST_F(Library, VersionCheckWantsMajorTwoAndPassesGetInfoFailuresOn)
{
    for (const auto &[major, minor, rv] :
         std::vector<std::tuple<CK_BYTE, CK_BYTE, CK_RV>>{{2, 0, CKR_OK},
                                                          {2, 255, CKR_OK},
                                                          {3, 0, CKR_GENERAL_ERROR},
                                                          {1, 2, CKR_GENERAL_ERROR}}) {
        Shim().version = CK_VERSION{major, minor};
        EXPECT_EQ(CheckCryptokiVersion(2), rv) << int{major} << "." << int{minor};
    }
    EXPECT_EQ(CheckCryptokiVersion(3) | CheckCryptokiVersion(2 + 256), CKR_GENERAL_ERROR);
    EXPECT_EQ(Shim().Calls(Call::GetInfo), 4U);
    Shim().Fail(Call::GetInfo, 0, CKR_DEVICE_ERROR);
    EXPECT_EQ(CheckCryptokiVersion(2), CKR_DEVICE_ERROR);
}

// The URIs p11tool prints for the token's objects lead back to those objects.
TEST_F(Library, UrisFromP11toolOpenTheirObjects)
{
    const TempDir scratch;
    std::ofstream(scratch / "pin") << "1234\n";
    const auto listed = testsupport::RunChild({"/usr/bin/p11tool", "--provider", SOFTHSM2_MODULE,
                                               "--login", "--list-all", "pkcs11:token=alpha"},
                                              scratch.path, {{"GNUTLS_PIN", "1234"}});
    ASSERT_EQ(listed.exitStatus, 0) << listed.err;
    std::istringstream lines(listed.out);
    unsigned opened = 0;
    for (std::string line, url; std::getline(lines, line);) {
        url = line.starts_with("\tURL: ") ? line.substr(6) : url;
        if (line.starts_with("\tLabel: ") && url.find(";object=") != std::string::npos) {
            const std::string pinned = url + "?pin-source=file:" + (scratch / "pin").string();
            CK_SLOT_ID slot = 99;
            CK_SESSION_HANDLE hSession = 0;
            CK_OBJECT_HANDLE hObject = 0;
            ASSERT_EQ(OpenObjectByUri(pinned.c_str(), &slot, &hSession, &hObject), CKR_OK) << url;
            EXPECT_EQ(Shim().pin + std::to_string(slot), "12340");
            EXPECT_EQ(Label(hSession, hObject), line.substr(8)) << url;
            TearDown();
            ++opened;
        }
    }
    EXPECT_GE(opened, 7U) << listed.out;  // the labelled ones, "secret" and "same" twice too
    const std::string pinFile = (scratch / "pin").string();
    std::ofstream(scratch / "lines") << "1234\nsecond line\n";
    std::ofstream(scratch / "crlf") << "1234\r\n" << std::string(2000, 'x');
    std::ofstream(scratch / "empty") << "\n1234\n";
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0600), 0);
    for (const auto &[uri, rv] : std::vector<std::pair<std::string, CK_RV>>{
             {"pkcs11:token=alpha;object=secret?pin-value=1234", CKR_OK},
             {"pkcs11:token=alpha;object=secret", CKR_GENERAL_ERROR},
             {"pkcs11:token=alpha;object=secret?pin-value=9999", CKR_PIN_INCORRECT},
             {"pkcs11:token=alpha;object=secret?pin-value=1234%00junk", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-value=9999&pin-value=1234", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;pin-value=9999;object=secret?pin-value=1234", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-source=file://localhost" + pinFile, CKR_OK},
             {"pkcs11:token=alpha;object=secret?pin-source=file://" + pinFile, CKR_OK},
             {"pkcs11:token=alpha;object=secret?pin-source=file://elsewhere" + pinFile,
              CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-source=" + (scratch / "lines").string(),
              CKR_OK},
             {"pkcs11:token=alpha;object=secret?pin-source=" + (scratch / "fifo").string(),
              CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-source=/dev/zero", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-source=" + (scratch / "crlf").string(), CKR_OK},
             {"pkcs11:token=alpha;object=secret?pin-source=" + (scratch / "empty").string(),
              CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret? pin-value=1234", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=secret?pin-value =1234", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=twin;token=alpha;object=obj", CKR_ARGUMENTS_BAD},
             {"pkcs11:slot-id=18446744073709551615;object=obj", CKR_ARGUMENTS_BAD},
             {"pkcs11:slot-id=21111111111111111110;object=obj", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=" + k32 + "x;object=obj", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=" + k32 + ";object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:slot-id=0;object=dir%2Fobj;type=data", CKR_OK},
             {"pkcs11:slot-id=1;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:token=twin;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:token=alpha;object=obj;type=secret-key", CKR_GENERAL_ERROR},
             {"pkcs11:library-manufacturer=SoftHSM;token=alpha;object=obj", CKR_OK},
             {"pkcs11:library-manufacturer=Other;token=alpha;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:library-description=Other;token=alpha;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:library-version=9.9;token=alpha;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:slot-manufacturer=SoftHSM%20project;token=alpha;object=obj", CKR_OK},
             {"pkcs11:slot-description=Other;token=alpha;object=obj", CKR_GENERAL_ERROR},
             {"pkcs11:tokn=alpha;object=obj", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=obj?module-name=p11shim", CKR_OK},
             {"pkcs11:token=alpha;object=obj?module-name=softhsm2", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=obj?module-path=/usr/lib/x.so", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=obj?pin-source=/nonexistent", CKR_ARGUMENTS_BAD},
             {"pkcs11:token=alpha;object=%zz", CKR_ARGUMENTS_BAD},
             {"http://alpha/obj", CKR_ARGUMENTS_BAD}}) {
        CK_SESSION_HANDLE hSession = 0;
        EXPECT_EQ(OpenObjectByUri(uri.c_str(), nullptr, &hSession, nullptr), rv) << uri;
        EXPECT_EQ(Shim().sessions.size(), rv == CKR_OK ? 1U : 0U) << uri;
        EXPECT_TRUE(rv != CKR_ARGUMENTS_BAD || Shim().sequence.empty()) << uri;
        EXPECT_TRUE(rv != CKR_OK || Shim().pin == "1234" || uri.find("secret") == std::string::npos)
            << uri;
        TearDown();
    }
    EXPECT_EQ(OpenObjectByUri(nullptr, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

// A login lasts while the application has a session on the token: a lookup that fails takes back
// the login it made, and only that one.
TEST_F(Library, AFailedLookupUndoesOnlyTheLoginItMade)
{
    CK_SESSION_HANDLE mine = 0;
    ASSERT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &mine), CKR_OK);
    EXPECT_EQ(OpenObjectByReference("alpha(1234)/missing", CKO_DATA, nullptr, nullptr, nullptr),
              CKR_GENERAL_ERROR);
    EXPECT_EQ(OpenObjectByUri("pkcs11:token=alpha;object=missing?pin-value=1234", nullptr, nullptr,
                              nullptr),
              CKR_GENERAL_ERROR);
    EXPECT_EQ(OpenObjectByReference("alpha/secret", CKO_DATA, nullptr, nullptr, nullptr),
              CKR_GENERAL_ERROR);
    std::string pin = "1234";
    ASSERT_EQ(p11->C_Login(mine, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), 4),
              CKR_OK);
    EXPECT_EQ(OpenObjectByReference("alpha(1234)/missing", CKO_DATA, nullptr, nullptr, nullptr),
              CKR_GENERAL_ERROR);
    EXPECT_EQ(OpenObjectByReference("alpha/secret", CKO_DATA, nullptr, nullptr, nullptr), CKR_OK);
}

// Tokens at the slot IDs SoftHSM2 gives them, two of them with the same label: a URI finds the
// slots whose tokens it names, in the provider's order, and each token's own URI finds it alone.
TEST_F(Library, TokensAreFoundByUriAndTheirOwnUriFindsThemAgain)
{
    std::array<CK_SLOT_ID, 16> all{};
    CK_ULONG count = all.size();
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, all.data(), &count), CKR_OK);
    const std::span<CK_SLOT_ID> present = std::span(all).first(count);
    const auto found = [](const std::string &uri, CK_ULONG room) {
        std::vector<CK_SLOT_ID> slots(room, 99);
        CK_ULONG n = room;
        const CK_RV rv = FindSlotsByUri(uri.c_str(), room == 0 ? nullptr : slots.data(), &n);
        slots.resize(rv == CKR_OK ? n : 0);
        return std::tuple{rv, n, slots};
    };
    EXPECT_EQ(found("pkcs11:", 16),
              std::tuple(CKR_OK, count, std::vector(present.begin(), present.end())));
    const auto [rv, twins, none] = found("pkcs11:token=twin", 0);
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(twins, 2U);
    EXPECT_EQ(std::get<0>(found("pkcs11:token=twin", 1)), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::get<1>(found("pkcs11:token=twin", 1)), 2U);
    EXPECT_EQ(found("pkcs11:token=none", 4),
              std::tuple(CKR_OK, CK_ULONG{0}, std::vector<CK_SLOT_ID>{}));
    // A reader holding a card the module does not know: the others are still found.
    Shim().Reset();
    Shim().Fail(Call::GetTokenInfo, 1, CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(found("pkcs11:", 16),
              std::tuple(CKR_OK, count - 1, std::vector(present.begin() + 1, present.end())));
    Shim().Reset();
    for (const char *refused : {"pkcs11:token=alpha;object=obj", "pkcs11:id=%01", "pkcs11:tokn=x",
                                "pkcs11:token=alpha?module-name=other", "%"})
        EXPECT_EQ(std::get<0>(found(refused, 4)), CKR_ARGUMENTS_BAD) << refused;
    EXPECT_TRUE(Shim().sequence.empty());
    CK_ULONG n = 0;
    EXPECT_EQ(FindSlotsByUri(nullptr, nullptr, &n) | FindSlotsByUri("pkcs11:", nullptr, nullptr),
              CKR_ARGUMENTS_BAD);

    for (const CK_SLOT_ID slot : present) {
        CK_ULONG size = 0;
        ASSERT_EQ(GetTokenUri(slot, nullptr, &size), CKR_OK);
        std::string uri(size, '#');
        CK_ULONG room = size - 1;
        EXPECT_EQ(GetTokenUri(slot, uri.data(), &room), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(room, size);
        ASSERT_EQ(GetTokenUri(slot, uri.data(), &room), CKR_OK);
        EXPECT_EQ(uri.find('\0'), size - 1) << uri;
        uri.resize(size - 1);
        EXPECT_TRUE(uri.starts_with("pkcs11:") && uri.find("serial=") != std::string::npos) << uri;
        EXPECT_EQ(found(uri, 4), std::tuple(CKR_OK, CK_ULONG{1}, std::vector{slot})) << uri;
    }
    EXPECT_EQ(GetTokenUri(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(GetTokenUri(0xDEAD, nullptr, &n), CKR_SLOT_ID_INVALID);
}

// Every provider call each library function makes fails in turn, with several codes: the code
// comes back unchanged, and nothing stays open that the caller did not ask for.
TEST_F(Library, EveryProviderFailureIsPassedOnAndNothingIsLeftOpen)
{
    CK_SESSION_HANDLE s = 0;    // a fresh session of a logged-in user
    CK_OBJECT_HANDLE o = 0;     // its session object "sweep"
    CK_SESSION_HANDLE out = 0;  // a session handed out
    std::array<char, 256> buffer{};
    CK_ULONG length = 0;
    CK_OBJECT_HANDLE h = 0;
    CK_SLOT_ID slot = 0;
    // clang-format off
    const std::vector<std::pair<const char *, std::function<CK_RV()>>> scenarios{
        {"CheckCryptokiVersion", [] { return CheckCryptokiVersion(2); }},
        {"FindSlotByTokenLabel", [&] { return FindSlotByTokenLabel("twin", &slot); }},
        {"FindObjectByLabel", [&] { return FindObjectByLabel(s, CKO_DATA, "sweep", &h); }},
        {"OpenObjectByReference", [&] { return OpenObjectByReference("alpha(1234)/sweep", CKO_DATA, &slot, &out, &h); }},
        {"OpenObjectByReference, closing", [&] {
             return OpenObjectByReference("alpha(1234)/sweep", CKO_DATA, nullptr, nullptr, &h); }},
        {"OpenObjectByUri", [&] { return OpenObjectByUri("pkcs11:token=alpha;object=sweep?pin-value=1234", &slot, &out, &h); }},
        {"OpenObjectByUri, logging out", [&] { return OpenObjectByUri("pkcs11:token=%20lead;object=none?pin-value=1234", &slot, &out, &h); }},
        {"FindSlotsByUri", [&] { CK_ULONG n = 1; return FindSlotsByUri("pkcs11:token=alpha", &slot, &n); }},
        {"GetTokenUri", [&] { CK_ULONG n = buffer.size(); return GetTokenUri(0, buffer.data(), &n); }},
        {"CreatePublicObject", [&] { return CreatePublicObject(s, CKO_DATA, "new", &h); }},
        {"CreatePrivateObject", [&] { return CreatePrivateObject(s, CKO_DATA, "new", &h); }},
        {"RelabelObject", [&] { return RelabelObject(s, CKO_DATA, "sweep", "sweep 2"); }},
        {"GetObjectAttribute", [&] { return GetObjectAttribute(s, o, CKA_LABEL, buffer.data(), 64, &length); }},
        {"GetObjectValue", [&] { return GetObjectValue(s, o, buffer.data(), 64, &length); }},
        {"SetObjectAttribute", [&] { return SetObjectAttribute(s, o, CKA_LABEL, &h, 1); }},
        {"SetObjectValue", [&] { return SetObjectValue(s, o, buffer.data(), 1, &length); }},
    };
    // clang-format on
    const auto prepare = [&] {
        TearDown();
        s = OpenAsUser();
        o = CreateData(s, "sweep", "sweep");
        out = 0;
        Shim().Reset();
    };
    // The open sessions are `s`, the one handed out, and one that a refused or missing
    // C_CloseSession could not close; no search stays active but where C_FindObjectsFinal failed.
    const auto leftOpen = [&](CK_RV rv, Call call) {
        std::set<CK_SESSION_HANDLE> open{s};
        if (rv == CKR_OK && out != 0)
            open.insert(out);
        EXPECT_EQ(Shim().sessions.size(), open.size() + (call == Call::CloseSession));
        EXPECT_TRUE(std::includes(Shim().sessions.begin(), Shim().sessions.end(), open.begin(),
                                  open.end()));
        for (const CK_SESSION_HANDLE searching : Shim().searches)
            EXPECT_TRUE(call == Call::FindObjectsFinal && Shim().sessions.count(searching));
    };
    for (const auto &[name, run] : scenarios) {
        prepare();
        // SoftHSM2 fixes a data object's value; the lookup of "none" fails; all else succeeds.
        const CK_RV clean = run();
        const std::map<std::string_view, CK_RV> failing{
            {"SetObjectValue", CKR_ATTRIBUTE_READ_ONLY},
            {"OpenObjectByUri, logging out", CKR_GENERAL_ERROR}};
        ASSERT_EQ(clean, failing.count(name) != 0 ? failing.at(name) : CKR_OK) << name;
        const std::vector<Call> sequence = Shim().sequence;
        for (auto call = sequence.begin(); call != sequence.end(); ++call) {
            const auto nth = static_cast<unsigned>(std::count(sequence.begin(), call + 1, *call));
            const std::string callName = p11shim::kNames.at(static_cast<std::size_t>(*call));
            const bool unchecked = *call == Call::CloseSession || *call == Call::Logout;
            // A slot that cannot be read matches no URI: the token is not found there.
            const bool skipped = std::string_view(name).find("Uri") != std::string_view::npos &&
                                 (*call == Call::GetSlotInfo || *call == Call::GetTokenInfo) &&
                                 std::string_view(name) != "GetTokenUri";
            for (const CK_RV code :
                 {CKR_GENERAL_ERROR, CKR_DEVICE_ERROR, CKR_SESSION_HANDLE_INVALID,
                  CKR_USER_ALREADY_LOGGED_IN, CK_RV{0x80000999}}) {
                SCOPED_TRACE(std::string(name) + ": C_" + callName + " #" + std::to_string(nth) +
                             " fails with " + std::to_string(code));
                prepare();
                Shim().Fail(*call, nth, code);
                const CK_RV rv = run();
                const bool ignored =
                    unchecked || (*call == Call::Login && code == CKR_USER_ALREADY_LOGGED_IN);
                EXPECT_TRUE(skipped ? rv == clean || rv == CKR_GENERAL_ERROR
                                    : rv == (ignored ? clean : code))
                    << rv;
                leftOpen(rv, *call);
            }
            // A module whose function list leaves the call out.
            SCOPED_TRACE(std::string(name) + ": no C_" + callName);
            prepare();
            Shim().setEntry(*call, true);
            const CK_RV rv = run();
            Shim().setEntry(*call, false);
            EXPECT_TRUE(skipped ? rv == clean || rv == CKR_GENERAL_ERROR
                                : rv == (unchecked ? clean : CKR_FUNCTION_NOT_SUPPORTED))
                << rv;
            leftOpen(rv, *call);
        }
    }
}

#ifndef CKHELPER_SANITIZE  // the sanitizers own the allocator there
// No memory that held a PIN goes back to the allocator with the PIN still in it: this program
// looks into every block released, by C++ and by the C libraries alike (free() below).
constexpr std::string_view kPin = "S3cr3t-PIN-4711";
std::atomic<bool> gWatching{false};
std::atomic<int> gReleasedWithPin{0};

TEST_F(Library, EveryCopyOfAPinIsWipedBeforeItsMemoryIsReleased)
{
    const TempDir scratch;
    std::ofstream(scratch / "pin") << kPin << "\n";
    const std::string pin(kPin);
    const std::vector<std::string> names{
        "alpha(" + pin + ")/obj",
        "alpha(" + pin + "/obj",
        "alpha(" + pin + ")",
        "missing(" + pin + ")/obj",
        "pkcs11:token=alpha;object=obj?pin-value=" + pin,
        "pkcs11:token=alpha;object=obj?pin-value=" + pin + "&pin-value=1234",
        "pkcs11:token=alpha;object=obj;pin-value=" + pin + "?pin-value=1234",
        "pkcs11:token=alpha;object=obj? pin-value=" + pin,
        "pkcs11:token=alpha;object=obj?pin-value=1234%00" + pin,
        "pkcs11:token=alpha;object=obj?pin-source=file:" + (scratch / "pin").string()};
    auto *text = new std::string("a text long enough to live on the heap, " + pin);
    gWatching = true;
    delete text;
    EXPECT_EQ(gReleasedWithPin.exchange(0), 1) << "the check sees nothing";
    for (const std::string &name : names) {
        if (name.starts_with("pkcs11:"))
            OpenObjectByUri(name.c_str(), nullptr, nullptr, nullptr);
        else
            OpenObjectByReference(name.c_str(), CKO_DATA, nullptr, nullptr, nullptr);
        EXPECT_EQ(gReleasedWithPin.exchange(0), 0) << name;
    }
    gWatching = false;
}
#endif

}  // namespace

#ifndef CKHELPER_SANITIZE
extern "C" void __libc_free(void *block);  // NOLINT(bugprone-reserved-identifier)

extern "C" void free(void *block)
{
    if (block != nullptr && gWatching &&
        memmem(block, malloc_usable_size(block), kPin.data(), kPin.size()) != nullptr)
        ++gReleasedWithPin;
    __libc_free(block);
}
#endif
