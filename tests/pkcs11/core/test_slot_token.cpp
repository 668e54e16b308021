// Slots and tokens over scripted module answers: padded texts, unavailable figures, mechanism
// lists that change under the layer, sessions, login (also through a PIN pad), PINs and labels.
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTranslator>

#include "CoreSupport.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

namespace {

std::string Repeat(const std::string& s, int n)
{
    std::string r;
    for (int i = 0; i < n; ++i)
        r += s;
    return r;
}

void PadField(unsigned char* field, size_t width, const char* text)
{
    memset(field, ' ', width);
    memcpy(field, text, std::min(width, strlen(text)));
}

CK_TOKEN_INFO TokenInfo(const char* label, CK_ULONG minPin, CK_ULONG maxPin, CK_FLAGS flags)
{
    CK_TOKEN_INFO t;
    memset(&t, 0, sizeof(t));
    PadField(t.label, sizeof(t.label), label);
    PadField(t.manufacturerID, sizeof(t.manufacturerID), "Maker  Inc");
    PadField(t.model, sizeof(t.model), "Model 1");
    PadField(t.serialNumber, sizeof(t.serialNumber), "00AB");
    t.flags = flags;
    t.ulMinPinLen = minPin;
    t.ulMaxPinLen = maxPin;
    t.ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    t.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    t.ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    t.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    return t;
}

std::vector<std::pair<std::string, std::string>> Lines(CPKCS11Base* object)
{
    CFieldList fields;
    object->PopulateFields(&fields);
    std::vector<std::pair<std::string, std::string>> lines;
    for (int i = 0; i < fields.GetCount(); ++i)
        lines.emplace_back(fields.GetName(i)->toStdString(), fields.GetValue(i)->toStdString());
    return lines;
}

class ScriptedToken : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tm.add_slot(3, "Card reader   with blanks", "Reader maker");
        tm.insert_token(3, nullptr, "87654321", "1234", 0);
        context = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "Scripted", &sink);
        slot = context->GetSlot(0);
        ASSERT_NE(nullptr, slot);
    }
    CPKCS11Token* Token() { return slot->GetToken(); }

    testmodule::Control tm;
    CTSYException sink;
    std::unique_ptr<CPKCS11Context> context;
    CPKCS11Slot* slot = nullptr;
};

TEST_F(ScriptedToken, SlotTextsAndStatus)
{
    EXPECT_STREQ("Card reader   with blanks", slot->GetDescription());
    EXPECT_STREQ("Reader maker", slot->GetManufacturer());
    EXPECT_TRUE(slot->IsTokenPresent());
    EXPECT_TRUE(slot->IsTokenRecognized());
    auto lines = Lines(slot);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::make_pair(std::string("Description"), std::string("Card reader   with blanks")), lines[0]);
    EXPECT_EQ("Reader maker", lines[1].second);
    EXPECT_EQ(std::make_pair(std::string("Status"), std::string("Token present.")), lines[2]);

    // Removed, then an unrecognised one (C_GetTokenInfo fails), then unreadable slot information.
    tm.remove_token(3, 0);
    CPKCS11Token* before = slot->GetToken();
    ASSERT_NE(nullptr, before);
    slot->Refresh();
    EXPECT_FALSE(slot->IsTokenPresent());
    EXPECT_TRUE(slot->IsTokenRecognized());
    EXPECT_EQ(0u, slot->GetMechanismCount());
    EXPECT_EQ("The reader is empty.", Lines(slot)[2].second);

    tm.insert_token(3, nullptr, "87654321", "1234", 0);
    tm.fail("C_GetTokenInfo", CKR_DEVICE_ERROR, 0, -1);
    slot->Refresh();
    EXPECT_TRUE(slot->IsTokenPresent());
    EXPECT_FALSE(slot->IsTokenRecognized());
    EXPECT_EQ("Unrecognized token present.", Lines(slot)[2].second);
    CPKCS11Token* unread = slot->GetToken();
    ASSERT_NE(nullptr, unread);
    EXPECT_STREQ("", unread->GetLabel());
    EXPECT_FALSE(unread->IsInitialized());
    EXPECT_EQ("N/A", Lines(unread)[0].second);
    EXPECT_EQ(nullptr, sink.GetMessage()) << "slot and token reading never record";

    // The placeholder of a missing value is program text: in Bulgarian it is Bulgarian.
    QTranslator bulgarian;
    ASSERT_TRUE(bulgarian.load(QStringLiteral(BULGARIAN_QM)));
    ASSERT_TRUE(QCoreApplication::installTranslator(&bulgarian));
    const std::string shown = Lines(unread)[0].second;
    QCoreApplication::removeTranslator(&bulgarian);
    EXPECT_EQ(QString::fromUtf8("\xd0\x9d\xd1\x8f\xd0\xbc\xd0\xb0 \xd0\xb4\xd0\xb0\xd0\xbd\xd0\xbd\xd0\xb8").toStdString(), shown);
}

// The uses of a key are listed as the language writes a list: in English as they always were,
// in Bulgarian with a space after each comma (a long word then wraps whole in the pane); never
// with the last separator left over.
TEST_F(ScriptedToken, KeyUsesInEachLanguage)
{
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    unsigned char id = 7;
    CK_ATTRIBUTE publicKey[] = {{CKA_CLASS, &publicClass, sizeof publicClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                {CKA_ID, &id, 1},                         {CKA_ENCRYPT, &yes, sizeof yes},
                                {CKA_VERIFY, &yes, sizeof yes},           {CKA_WRAP, &yes, sizeof yes}};
    CK_ATTRIBUTE privateKey[] = {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                 {CKA_ID, &id, 1},                           {CKA_DECRYPT, &yes, sizeof yes},
                                 {CKA_SIGN, &yes, sizeof yes},               {CKA_UNWRAP, &yes, sizeof yes}};
    ASSERT_NE(0u, tm.add_object(3, publicKey, 6));
    ASSERT_NE(0u, tm.add_object(3, privateKey, 6));
    ASSERT_TRUE(Token()->OpenSession(true));
    ASSERT_TRUE(Token()->Login("1234", NormalUser));
    ASSERT_TRUE(Token()->ReadObjects());
    ASSERT_EQ(2u, Token()->GetAsymmetricKeyCount());
    const auto uses = [&](unsigned long index) {
        const auto lines = Lines(Token()->GetAsymmetricKey(index));
        return lines.size() > 1 ? lines[1].second : std::string("(no uses)");
    };
    EXPECT_EQ("Encryption,Verification,Wrapping", uses(0));
    EXPECT_EQ("Decryption,Signing,Unwrapping", uses(1));

    QTranslator bulgarian;
    ASSERT_TRUE(bulgarian.load(QStringLiteral(BULGARIAN_QM)));
    ASSERT_TRUE(QCoreApplication::installTranslator(&bulgarian));
    const std::string publicUses = uses(0);
    const std::string privateUses = uses(1);
    QCoreApplication::removeTranslator(&bulgarian);
    EXPECT_EQ("Шифриране, Проверка, Опаковане", publicUses);
    EXPECT_EQ("Дешифриране, Подписване, Разопаковане", privateUses);
}

// The token information that the slot's refresh reads serves the token object built after it:
// one C_GetTokenInfo per read of a token (on some cards each one is a command to the card).
TEST_F(ScriptedToken, TokenInformationIsReadOncePerRefresh)
{
    EXPECT_EQ(1, tm.call_count("C_GetTokenInfo"));
    EXPECT_STREQ("Test token", Token()->GetLabel());
    EXPECT_EQ(1, tm.call_count("C_GetTokenInfo"));

    const CK_TOKEN_INFO renamed = TokenInfo("Renamed", 6, 8, CKF_TOKEN_INITIALIZED);
    tm.set_token_info(3, &renamed);
    slot->Refresh();
    EXPECT_EQ(2, tm.call_count("C_GetTokenInfo"));
    EXPECT_STREQ("Renamed", Token()->GetLabel());
    EXPECT_EQ(6u, Token()->GetMinPINLength());
    EXPECT_EQ(2, tm.call_count("C_GetTokenInfo"));

    // What the refresh read went to that token object; one built later reads for itself.
    const CK_TOKEN_INFO again = TokenInfo("Again", 4, 8, CKF_TOKEN_INITIALIZED);
    tm.set_token_info(3, &again);
    slot->FreeToken();
    EXPECT_STREQ("Again", Token()->GetLabel());
    EXPECT_EQ(3, tm.call_count("C_GetTokenInfo"));
}

// Whether the token read is still in the slot: the slot's state and the token's session say so
// (only a module without C_GetSessionInfo is judged by the card's texts). A card still there has
// its token information read once more, and what changed in it (a PIN blocked by another
// program, a new label) reaches the token object.
TEST_F(ScriptedToken, TokenRecheck)
{
    const CK_TOKEN_INFO card = TokenInfo("Card", 4, 8, CKF_TOKEN_INITIALIZED);
    CK_TOKEN_INFO locked = card;
    locked.flags |= CKF_USER_PIN_LOCKED;
    CK_TOKEN_INFO relabelled = card;
    PadField(relabelled.label, sizeof(relabelled.label), "Renamed");
    CK_TOKEN_INFO other = card;
    PadField(other.serialNumber, sizeof(other.serialNumber), "00AC");
    const auto noSessionInfo = [&] { tm.fail("C_GetSessionInfo", CKR_FUNCTION_NOT_SUPPORTED, 0, -1); };
    struct Case {
        const char* name;
        std::function<void()> change;
        CPKCS11Slot::TTokenCheck eCheck;
        int nTokenInfoCalls;
        bool bLocked;  // what the token object says afterwards
        const char* pszLabel;
    };
    const Case cases[] = {
        {"nothing changed", [] {}, CPKCS11Slot::TokenUnchanged, 1, false, "Card"},
        {"user PIN blocked meanwhile", [&] { tm.set_token_info(3, &locked); }, CPKCS11Slot::TokenInfoChanged, 1, true,
         "Card"},
        {"another card in its place", [&] { tm.set_token_info(3, &other); }, CPKCS11Slot::TokenReplaced, 0, false,
         "Card"},
        {"removed and put back", [&] { tm.remove_token(3, 0); tm.insert_token(3, &card, "87654321", "1234", 0); },
         CPKCS11Slot::TokenReplaced, 0, false, "Card"},
        {"removed", [&] { tm.remove_token(3, 0); }, CPKCS11Slot::TokenReplaced, 0, false, "Card"},
        {"token information unreadable", [&] { tm.fail("C_GetTokenInfo", CKR_DEVICE_ERROR, 0, -1); },
         CPKCS11Slot::TokenReplaced, 1, false, "Card"},
        {"no C_GetSessionInfo, nothing changed", noSessionInfo, CPKCS11Slot::TokenUnchanged, 1, false, "Card"},
        {"no C_GetSessionInfo, user PIN blocked",
         [&] {
             noSessionInfo();
             tm.set_token_info(3, &locked);
         },
         CPKCS11Slot::TokenInfoChanged, 1, true, "Card"},
        {"no C_GetSessionInfo, label changed",
         [&] {
             noSessionInfo();
             tm.set_token_info(3, &relabelled);
         },
         CPKCS11Slot::TokenInfoChanged, 1, false, "Renamed"},
        {"no C_GetSessionInfo, another serial number",
         [&] {
             noSessionInfo();
             tm.set_token_info(3, &other);
         },
         CPKCS11Slot::TokenReplaced, 1, false, "Card"},
    };
    for (const Case& c : cases) {
        tm.fail("C_GetSessionInfo", CKR_OK, 0, 0);
        tm.fail("C_GetTokenInfo", CKR_OK, 0, 0);
        tm.insert_token(3, &card, "87654321", "1234", 0);
        slot->Refresh();
        EXPECT_EQ(CPKCS11Slot::TokenReplaced, slot->RecheckToken()) << c.name << ": no session yet";
        ASSERT_TRUE(Token()->OpenSession(true)) << c.name;
        c.change();
        const int nBefore = tm.call_count("C_GetTokenInfo");
        EXPECT_EQ(c.eCheck, slot->RecheckToken()) << c.name;
        EXPECT_EQ(c.nTokenInfoCalls, tm.call_count("C_GetTokenInfo") - nBefore) << c.name;
        EXPECT_EQ(c.bLocked, Token()->IsUserPINLocked()) << c.name;
        EXPECT_STREQ(c.pszLabel, Token()->GetLabel()) << c.name;
    }
}

TEST(ScriptedSlot, UnreadableSlotInformation)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    tm.fail("C_GetSlotInfo", CKR_DEVICE_ERROR, 0, -1);
    CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
    CPKCS11Slot* slot = context.GetSlot(0);
    EXPECT_STREQ("", slot->GetDescription());
    EXPECT_STREQ("", slot->GetManufacturer());
    EXPECT_FALSE(slot->IsTokenPresent());
    auto lines = Lines(slot);
    EXPECT_EQ("N/A", lines[1].second);
    EXPECT_EQ("The reader is empty.", lines[2].second);

    // Read once, then unreadable: the texts are kept, the token counts as absent.
    tm.fail("C_GetSlotInfo", CKR_OK, 0, 0);
    slot->Refresh();
    EXPECT_STREQ("Reader", slot->GetDescription());
    EXPECT_TRUE(slot->IsTokenPresent());
    tm.fail("C_GetSlotInfo", CKR_DEVICE_REMOVED, 0, 1);
    slot->Refresh();
    EXPECT_STREQ("Reader", slot->GetDescription());
    EXPECT_STREQ("Maker", slot->GetManufacturer());
    EXPECT_FALSE(slot->IsTokenPresent());
    EXPECT_TRUE(slot->IsTokenRecognized());
    EXPECT_EQ(0u, slot->GetMechanismCount());
}

TEST_F(ScriptedToken, MechanismLists)
{
    tm.add_mechanism(3, CKM_RSA_PKCS, 512, 4096);
    tm.add_mechanism(3, CKM_SHA_1, 0, 0);
    slot->Refresh();
    ASSERT_EQ(2u, slot->GetMechanismCount());
    EXPECT_EQ(CKM_SHA_1, slot->GetMechanism(1));
    EXPECT_EQ(0u, slot->GetMechanism(2));
    EXPECT_TRUE(slot->IsMechanismSupported(CKM_RSA_PKCS));
    EXPECT_FALSE(slot->IsMechanismSupported(CKM_DSA));

    CK_ULONG mn = 0, mx = 0;
    EXPECT_TRUE(slot->GetMechanismInfo(CKM_RSA_PKCS, &mn, &mx));
    EXPECT_EQ(512u, mn);
    EXPECT_EQ(4096u, mx);
    EXPECT_FALSE(slot->GetMechanismInfo(CKM_RSA_PKCS, nullptr, &mx));
    EXPECT_EQ(nullptr, sink.GetMessage());
    EXPECT_FALSE(slot->GetMechanismInfo(CKM_DSA, &mn, &mx));
    EXPECT_STREQ("C_GetMechanismInfo failed", sink.GetMessage());
    EXPECT_EQ(CKR_MECHANISM_INVALID, sink.GetCode());
    EXPECT_EQ(1u, sink.GetFlag());

    // The list grows between count and fill: the fill call answers CKR_BUFFER_TOO_SMALL with the
    // larger count; the slot keeps an empty list instead of reading past its array.
    tm.grow_mechanism_list(3, 5);
    slot->Refresh();
    EXPECT_EQ(0u, slot->GetMechanismCount());
    EXPECT_EQ(0u, slot->GetMechanism(0));
    EXPECT_FALSE(slot->IsMechanismSupported(CKM_RSA_PKCS));
    EXPECT_TRUE(slot->IsTokenPresent());

    tm.fail("C_GetMechanismList", CKR_DEVICE_ERROR, 1, 1);   // second call fails
    slot->Refresh();
    EXPECT_EQ(0u, slot->GetMechanismCount());
    slot->Refresh();
    EXPECT_EQ(7u, slot->GetMechanismCount());
}

TEST(ScriptedTokenInfo, PaddingAndUnavailableFigures)
{
    struct Case {
        const char* label;
        CK_ULONG minPin, maxPin;
        CK_FLAGS flags;
        const char* expectedLabel;
        uint32_t expectedMin, expectedMax;
        std::vector<std::string> messageLines;
    } cases[] = {
        {"Personal  card", CK_UNAVAILABLE_INFORMATION, CK_UNAVAILABLE_INFORMATION, CKF_TOKEN_INITIALIZED,
         "Personal  card", 4, 10, {}},
        {"", 6, 8, CKF_TOKEN_INITIALIZED, "(no label)", 6, 8, {}},
        {"Locked", 4, 8, CKF_TOKEN_INITIALIZED | CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED, "Locked", 4, 8,
         {"The user PIN of the card is blocked.", "The administrative PIN of the card is blocked."}},
        // A blank token as SoftHSM2 reports it (flags 0xc00025): not initialised, and no PIN
        // that could be blocked, whatever the lock flags say.
        {"Blank", 4, 8, CKF_RNG | CKF_LOGIN_REQUIRED | CKF_RESTORE_KEY_NOT_NEEDED | CKF_SO_PIN_LOCKED |
                            CKF_SO_PIN_TO_BE_CHANGED,
         "Blank", 4, 8, {"The card is not initialized."}},
        {"Blank user lock", 4, 8, CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED, "Blank user lock", 4, 8,
         {"The card is not initialized."}},
    };
    for (const Case& c : cases) {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        CK_TOKEN_INFO info = TokenInfo(c.label, c.minPin, c.maxPin, c.flags);
        tm.insert_token(1, &info, "87654321", "1234", 0);
        CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
        CPKCS11Token* token = context.GetSlot(0)->GetToken();
        EXPECT_STREQ(c.expectedLabel, token->GetLabel());
        EXPECT_STREQ("Maker  Inc", token->GetManufacturer());
        EXPECT_STREQ("Model 1", token->GetModel());
        EXPECT_STREQ("00AB", token->GetSerialNumber());
        EXPECT_EQ(c.expectedMin, token->GetMinPINLength());
        EXPECT_EQ(c.expectedMax, token->GetMaxPINLength());

        auto lines = Lines(token);
        std::vector<std::string> names;
        for (auto& l : lines)
            names.push_back(l.first);
        std::vector<std::string> expected = {"Card label", "Manufacturer", "Card model", "Serial number",
                                             "Minimum PIN length", "Maximum PIN length"};
        expected.insert(expected.end(), c.messageLines.begin(), c.messageLines.end());
        EXPECT_EQ(expected, names) << c.label;
        EXPECT_EQ(std::to_string(c.expectedMin), lines[4].second);
        EXPECT_EQ(std::to_string(c.expectedMax), lines[5].second);
        for (size_t i = 6; i < lines.size(); ++i)
            EXPECT_EQ("", lines[i].second);
    }
}

TEST(ScriptedTokenInfo, MemoryLines)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    CK_TOKEN_INFO info = TokenInfo("Card", 4, 8, CKF_TOKEN_INITIALIZED);
    info.ulTotalPublicMemory = 32768;
    info.ulFreePublicMemory = 1024;
    info.ulTotalPrivateMemory = 4096;   // free figure unavailable: no line
    tm.insert_token(1, &info, "87654321", "1234", 0);
    CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
    auto lines = Lines(context.GetSlot(0)->GetToken());
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(std::make_pair(std::string("Public memory"), std::string("1024 of 32768 bytes free")), lines[6]);
}

TEST_F(ScriptedToken, SessionsAndLoginStates)
{
    CPKCS11Token* token = Token();
    EXPECT_FALSE(token->Login("1234", NormalUser)) << "no session";
    EXPECT_FALSE(token->ChangePIN("1234", "5678"));
    EXPECT_FALSE(token->InitPIN("5678"));
    EXPECT_EQ(nullptr, sink.GetMessage());
    EXPECT_EQ(0, tm.call_count("C_Login"));

    ASSERT_TRUE(token->OpenSession(true));
    EXPECT_EQ(CKF_SERIAL_SESSION, tm.last_session_flags());
    ASSERT_TRUE(token->OpenSession(false));
    EXPECT_EQ(CKF_SERIAL_SESSION | CKF_RW_SESSION, tm.last_session_flags());
    EXPECT_EQ(1, tm.session_count()) << "opening closes the old session";

    EXPECT_TRUE(token->Login("1234", NormalUser));
    EXPECT_EQ(CKU_USER, tm.last_login_user());
    EXPECT_EQ(2u, token->GetLoggedInUser());

    // Already logged in: a failure that leaves the state at 0.
    EXPECT_FALSE(token->Login("1234", NormalUser));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, sink.GetCode());
    EXPECT_FALSE(token->IsLoggedIn());

    // A user type other than the two counts as the normal user.
    EXPECT_EQ(CKR_OK, token->Logout());
    EXPECT_TRUE(token->Login("1234", static_cast<TUserType>(0)));
    EXPECT_EQ(CKU_USER, tm.last_login_user());
    EXPECT_EQ(2u, token->GetLoggedInUser());

    ASSERT_TRUE(token->OpenSession(false));
    EXPECT_FALSE(token->IsLoggedIn()) << "a new session starts with nobody logged in";

    token->CloseSession();
    EXPECT_EQ(0u, token->GetSession());
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, token->Logout()) << "logout without a session";
    EXPECT_FALSE(token->IsLoggedIn());
}

// The session a token allows: read-write, read-only for a token flagged write-protected (the
// module refuses read-write there) or one that refuses read-write as write-protected; any other
// refusal is reported as it is.
TEST(WriteProtectedToken, SessionAsAllowed)
{
    struct {
        const char* name;
        CK_FLAGS extraFlags;
        CK_RV firstOpenRefusal;
        bool opened;
        CK_FLAGS sessionFlags;
        bool writeProtected;
        CK_RV reported;
    } cases[] = {
        {"writable", 0, CKR_OK, true, CKF_SERIAL_SESSION | CKF_RW_SESSION, false, CKR_OK},
        {"flagged", CKF_WRITE_PROTECTED, CKR_OK, true, CKF_SERIAL_SESSION, true, CKR_OK},
        {"refuses read-write", 0, CKR_TOKEN_WRITE_PROTECTED, true, CKF_SERIAL_SESSION, true, CKR_OK},
        {"other refusal", 0, CKR_DEVICE_ERROR, false, 0, false, CKR_DEVICE_ERROR},
    };
    for (const auto& c : cases) {
        testmodule::Control tm;
        tm.add_slot(3, "Reader", "Maker");
        CK_TOKEN_INFO info = TokenInfo("Trust", 0, 0, CKF_TOKEN_INITIALIZED | c.extraFlags);
        tm.insert_token(3, &info, nullptr, nullptr, 0);
        if (c.firstOpenRefusal != CKR_OK)
            tm.fail("C_OpenSession", c.firstOpenRefusal, 0, 1);
        CTSYException sink;
        CPKCS11Context context(testmodule::ModulePath(), "Scripted", &sink);
        CPKCS11Token* token = context.GetSlot(0)->GetToken();
        EXPECT_EQ(c.opened, token->OpenSessionAsAllowed()) << c.name;
        EXPECT_EQ(c.opened, token->GetSession() != 0) << c.name;
        if (c.opened) {
            EXPECT_EQ(c.sessionFlags, tm.last_session_flags()) << c.name;
        }
        EXPECT_EQ(c.writeProtected, token->IsWriteProtected()) << c.name;
        EXPECT_EQ(c.reported, sink.GetCode()) << c.name;
        if (c.reported != CKR_OK) {
            EXPECT_STREQ("Unable to open session", sink.GetMessage()) << c.name;
        }
        // A token that refused once stays read-only for this object: no second read-write try.
        if (c.writeProtected) {
            const int opens = tm.call_count("C_OpenSession");
            EXPECT_TRUE(token->OpenSessionAsAllowed()) << c.name;
            EXPECT_EQ(opens + 1, tm.call_count("C_OpenSession")) << c.name;
            EXPECT_EQ(CKF_SERIAL_SESSION, tm.last_session_flags()) << c.name;
        }
    }
}

TEST_F(ScriptedToken, PinsAreSentExactlyAndNeverLogged)
{
    coretest::MessageCapture capture;
    CPKCS11Token* token = Token();
    ASSERT_TRUE(token->OpenSession(false));
    const char* wrong = "wr0ng p\xC3\xAEn ";   // blanks and UTF-8 kept as they are
    EXPECT_FALSE(token->Login(wrong, NormalUser));
    EXPECT_EQ(wrong, tm.LastPin());
    EXPECT_EQ(CKR_PIN_INCORRECT, sink.GetCode());

    ASSERT_TRUE(token->Login("87654321", SecurityOfficer));
    EXPECT_EQ(CKU_SO, tm.last_login_user());
    EXPECT_EQ(1u, token->GetLoggedInUser());
    EXPECT_TRUE(token->InitPIN(" new user pin "));
    EXPECT_EQ(" new user pin ", tm.LastPin());
    EXPECT_TRUE(token->ChangePIN("87654321", "so pin 2"));
    EXPECT_EQ("87654321", tm.LastOldPin());
    EXPECT_EQ("so pin 2", tm.LastPin());
    EXPECT_FALSE(token->ChangePIN("bad old so", "x"));
    EXPECT_FALSE(token->InitializeToken("secret-so", "Label"));   // wrong SO PIN
    EXPECT_EQ("secret-so", tm.LastPin());

    std::string log = capture.All();
    for (const char* pin : {wrong, "87654321", " new user pin ", "so pin 2", "bad old so", "secret-so"})
        EXPECT_EQ(std::string::npos, log.find(pin)) << "PIN in the log: " << pin << "\n" << log;
    EXPECT_NE(std::string::npos, log.find("Login failed"));
}

TEST_F(ScriptedToken, LabelField)
{
    CPKCS11Token* token = Token();
    struct { std::string label; bool ok; std::string field; } cases[] = {
        {"Ten bytes!", true, "Ten bytes!" + std::string(22, ' ')},
        {std::string(32, 'L'), true, std::string(32, 'L')},
        // 16 two-byte characters fill the field exactly; one more byte is refused, never cut.
        {Repeat("\xC3\xA9", 16), true, Repeat("\xC3\xA9", 16)},
        {std::string(31, 'a') + "\xC3\xA9", false, ""},
        {std::string(33, 'L'), false, ""},
    };
    for (const auto& c : cases) {
        int before = tm.call_count("C_InitToken");
        sink.Reset();
        bool ok = token->InitializeToken("87654321", c.label.c_str());
        EXPECT_EQ(c.ok, ok) << c.label;
        if (c.ok) {
            EXPECT_EQ(c.field, tm.LastInitLabel());
        } else {
            EXPECT_EQ(before, tm.call_count("C_InitToken")) << "refused before reaching the module";
            EXPECT_STREQ("The token label is longer than 32 bytes", sink.GetMessage());
            EXPECT_EQ(0u, sink.GetCode());
            EXPECT_EQ(0u, sink.GetFlag());
        }
    }
}

TEST_F(ScriptedToken, InitializeTokenClosesSessionsAndChecksArguments)
{
    CPKCS11Token* token = Token();
    ASSERT_TRUE(token->OpenSession(false));
    ASSERT_TRUE(token->Login("1234", NormalUser));
    EXPECT_TRUE(token->InitializeToken("87654321", "New"));
    EXPECT_EQ(0u, token->GetSession());
    EXPECT_FALSE(token->IsLoggedIn());
    EXPECT_EQ(0, tm.session_count());

    EXPECT_FALSE(token->InitializeToken(nullptr, "New"));
    EXPECT_STREQ("Invalid parameter passed in call to CPKCS11Token::InitializeToken", sink.GetMessage());
    EXPECT_FALSE(token->InitializeToken("87654321", nullptr));
    EXPECT_EQ(0u, sink.GetFlag());

    tm.fail("C_InitToken", CKR_TOKEN_WRITE_PROTECTED, 0, 1);
    EXPECT_FALSE(token->InitializeToken("87654321", "New"));
    EXPECT_STREQ("Unable to initialize the token", sink.GetMessage());
    EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, sink.GetCode());
    EXPECT_EQ(1u, sink.GetFlag());
}

// One table of failures, each run with a sink (records, returns false) and without one
// (throws the same message, code and kind).
TEST(FailureTable, SinkAndExceptionAgree)
{
    struct Case {
        const char* name;
        std::function<void(testmodule::Control&)> script;
        std::function<bool(CPKCS11Context&)> call;
        const char* message;
        unsigned long code;
        uint32_t kind;
    };
    auto token = [](CPKCS11Context& c) { return c.GetSlot(0)->GetToken(); };
    auto session = [token](CPKCS11Context& c) { CPKCS11Token* t = token(c); t->OpenSession(false); return t; };
    std::vector<Case> cases = {
        {"open session", [](testmodule::Control& tm) { tm.fail("C_OpenSession", CKR_DEVICE_ERROR, 0, 1); },
         [token](CPKCS11Context& c) { return token(c)->OpenSession(true); }, "Unable to open session",
         CKR_DEVICE_ERROR, 1},
        {"wrong PIN", nullptr, [session](CPKCS11Context& c) { return session(c)->Login("0000", NormalUser); },
         "Login failed", CKR_PIN_INCORRECT, 1},
        {"change PIN", nullptr, [session](CPKCS11Context& c) { return session(c)->ChangePIN("0000", "1111"); },
         "Unable to change PIN", CKR_PIN_INCORRECT, 1},
        {"init PIN without SO", nullptr, [session](CPKCS11Context& c) { return session(c)->InitPIN("1111"); },
         "Unable to initialize the normal user's PIN", CKR_USER_NOT_LOGGED_IN, 1},
        {"init token, null label", nullptr,
         [token](CPKCS11Context& c) { return token(c)->InitializeToken("87654321", nullptr); },
         "Invalid parameter passed in call to CPKCS11Token::InitializeToken", 0, 0},
        {"init token, long label", nullptr,
         [token](CPKCS11Context& c) { return token(c)->InitializeToken("87654321", std::string(40, 'x').c_str()); },
         "The token label is longer than 32 bytes", 0, 0},
        {"init token refused", nullptr,
         [token](CPKCS11Context& c) { return token(c)->InitializeToken("wrong", "Label"); },
         "Unable to initialize the token", CKR_PIN_INCORRECT, 1},
        {"mechanism info", nullptr,
         [](CPKCS11Context& c) { CK_ULONG a, b; return c.GetSlot(0)->GetMechanismInfo(CKM_DSA, &a, &b); },
         "C_GetMechanismInfo failed", CKR_MECHANISM_INVALID, 1},
        {"slot list refresh", [](testmodule::Control& tm) { tm.fail("C_GetSlotList", CKR_DEVICE_ERROR, 2, 1); },
         [](CPKCS11Context& c) { return c.RefreshSlotList(); }, "Unable to get slots count", CKR_DEVICE_ERROR, 1},
    };
    for (const Case& c : cases) {
        for (bool withSink : {true, false}) {
            testmodule::Control tm;
            tm.add_slot(1, "Reader", "Maker");
            tm.insert_token(1, nullptr, "87654321", "1234", 0);
            if (c.script)
                c.script(tm);
            CTSYException sink;
            CPKCS11Context context(testmodule::ModulePath(), "Table", withSink ? &sink : nullptr);
            if (withSink) {
                EXPECT_FALSE(c.call(context)) << c.name;
                EXPECT_STREQ(c.message, sink.GetMessage()) << c.name;
                EXPECT_EQ(c.code, sink.GetCode()) << c.name;
                EXPECT_EQ(c.kind, sink.GetFlag()) << c.name;
            } else {
                try {
                    c.call(context);
                    ADD_FAILURE() << c.name << ": no exception";
                } catch (const CTSYException& e) {
                    EXPECT_STREQ(c.message, e.what()) << c.name;
                    EXPECT_EQ(c.code, e.GetCode()) << c.name;
                    EXPECT_EQ(c.kind, e.GetFlag()) << c.name;
                }
            }
        }
    }
}

// A PIN-pad login: Login(null) waits in the module until the device answers.
TEST(PinPad, EachScriptedAnswer)
{
    struct { CK_RV answer; bool ok; uint32_t state; } cases[] = {
        {CKR_OK, true, 2},
        {CKR_FUNCTION_CANCELED, false, 0},
        {CKR_PIN_INCORRECT, false, 0},
    };
    for (const auto& c : cases) {
        testmodule::Control tm;
        tm.add_slot(1, "Pin pad reader", "Maker");
        CK_TOKEN_INFO info = TokenInfo("Pad card", 4, 8, CKF_TOKEN_INITIALIZED | CKF_PROTECTED_AUTHENTICATION_PATH);
        tm.insert_token(1, &info, "87654321", "1234", 0);
        CTSYException sink;
        CPKCS11Context context(testmodule::ModulePath(), "Pad", &sink);
        CPKCS11Token* token = context.GetSlot(0)->GetToken();
        ASSERT_TRUE(token->HasProtectedAuthenticationPath());
        ASSERT_TRUE(token->OpenSession(false));

        bool result = !c.ok;
        std::thread login([&] { result = token->Login(nullptr, NormalUser); });
        ASSERT_EQ(1, tm.wait_for_pinpad(10000)) << "the login did not reach the PIN pad";
        EXPECT_EQ("<null>", tm.LastPin());
        tm.pinpad_answer(c.answer);
        login.join();
        EXPECT_EQ(c.ok, result);
        EXPECT_EQ(c.state, token->GetLoggedInUser());
        if (!c.ok) {
            EXPECT_STREQ("Login failed", sink.GetMessage());
            EXPECT_EQ(c.answer, sink.GetCode());
            EXPECT_EQ(1u, sink.GetFlag());
        } else {
            EXPECT_EQ(nullptr, sink.GetMessage());
        }
    }
}

} // namespace

namespace {

// The test module's objects as the token lists them: private ones only after a user login.
TEST(ScriptedObjects, PrivateObjectsAppearAfterLogin)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    CK_OBJECT_CLASS publicKey = CKO_PUBLIC_KEY, privateKey = CKO_PRIVATE_KEY;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    unsigned char id[] = {0x0A, 0x0B};
    char label[] = "Key";
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &publicKey, sizeof(publicKey)}, {CKA_KEY_TYPE, &rsa, sizeof(rsa)},
                          {CKA_ID, id, sizeof(id)}, {CKA_LABEL, label, 3}};
    CK_ATTRIBUTE priv[] = {{CKA_CLASS, &privateKey, sizeof(privateKey)}, {CKA_KEY_TYPE, &rsa, sizeof(rsa)},
                           {CKA_ID, id, sizeof(id)}, {CKA_LABEL, label, 3}, {CKA_PRIVATE, &yes, sizeof(yes)}};
    tm.add_object(1, pub, 4);
    tm.add_object(1, priv, 5);
    EXPECT_EQ(2, tm.object_count(1));

    CTSYException sink;
    CPKCS11Context context(testmodule::ModulePath(), "Objects", &sink);
    CPKCS11Token* token = context.GetSlot(0)->GetToken();
    ASSERT_TRUE(token->OpenSession(false));
    token->ReadObjects();
    EXPECT_EQ(1u, token->GetAsymmetricKeyCount());
    token->FreeObjects();
    ASSERT_TRUE(token->Login("1234", NormalUser));
    token->ReadObjects();
    EXPECT_EQ(2u, token->GetAsymmetricKeyCount());
    token->FreeObjects();

    // Initialising the token clears it.
    ASSERT_TRUE(token->InitializeToken("87654321", "Empty"));
    EXPECT_EQ(0, tm.object_count(1));
}

} // namespace
