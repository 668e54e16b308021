// Slots and tokens on SoftHSM2: information, initialisation with a padded label, SO and user
// logins, PIN changes, wrong PINs, logout states, shared contexts, no slot events.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "Fixture.h"
#include "TSYpkcs11.h"

namespace {

class SoftHsmTokens : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        hsm = std::make_unique<fixture::SoftHsm>(fixture::ScratchDir(std::string("softhsm_") + info->name()));
        ASSERT_TRUE(hsm->InitToken("Alpha", "12345678", "1234")) << hsm->LastOutput();
        context = std::make_unique<CPKCS11Context>(fixture::SoftHsm::ModulePath().c_str(), "SoftHSM", &sink);
    }

    // The slot whose token carries that label (SoftHSM renumbers slots), or the free slot for "".
    CPKCS11Slot* FindSlot(const std::string& label)
    {
        for (unsigned long i = 0; i < context->GetSlotCount(); ++i) {
            CPKCS11Slot* slot = context->GetSlot(i);
            CPKCS11Token* token = slot->GetToken();
            if (label.empty() ? !token->IsInitialized() : label == token->GetLabel())
                return slot;
        }
        return nullptr;
    }

    std::unique_ptr<fixture::SoftHsm> hsm;
    CTSYException sink;
    std::unique_ptr<CPKCS11Context> context;
};

TEST_F(SoftHsmTokens, SlotAndTokenInformation)
{
    ASSERT_EQ(2u, context->GetSlotCount()) << "the token and one free slot";
    CPKCS11Slot* slot = FindSlot("Alpha");
    ASSERT_NE(nullptr, slot);
    EXPECT_TRUE(slot->IsTokenPresent());
    EXPECT_TRUE(slot->IsTokenRecognized());
    EXPECT_NE(0u, strlen(slot->GetDescription()));
    EXPECT_STREQ("SoftHSM project", slot->GetManufacturer());
    EXPECT_TRUE(slot->IsMechanismSupported(CKM_RSA_PKCS));
    EXPECT_GT(slot->GetMechanismCount(), 10u);
    CK_ULONG mn = 0, mx = 0;
    EXPECT_TRUE(slot->GetMechanismInfo(CKM_RSA_PKCS_KEY_PAIR_GEN, &mn, &mx));
    EXPECT_LE(mn, 1024u);
    EXPECT_GE(mx, 4096u);

    CPKCS11Token* token = slot->GetToken();
    EXPECT_EQ(slot, token->GetParent());
    EXPECT_EQ(CryptokiToken, token->GetObjectType());
    EXPECT_STREQ("SoftHSM project", token->GetManufacturer());
    EXPECT_STREQ("SoftHSM v2", token->GetModel());
    EXPECT_NE(0u, strlen(token->GetSerialNumber()));
    EXPECT_EQ(4u, token->GetMinPINLength());
    EXPECT_EQ(255u, token->GetMaxPINLength());
    EXPECT_TRUE(token->IsInitialized());
    EXPECT_FALSE(token->IsUserPINLocked());
    EXPECT_FALSE(token->HasProtectedAuthenticationPath());

    CFieldList fields;
    token->PopulateFields(&fields);
    EXPECT_EQ(QString("Alpha"), *fields.GetValue(fields.IndexOf("Card label")));
    EXPECT_EQ(QString("255"), *fields.GetValue(fields.IndexOf("Maximum PIN length")));
    EXPECT_EQ(-1, fields.IndexOf("The card is not initialized."));

    CPKCS11Slot* free = FindSlot("");
    ASSERT_NE(nullptr, free);
    CFieldList freeFields;
    free->GetToken()->PopulateFields(&freeFields);
    // SoftHSM2's blank token says its SO PIN is locked (flags 0xc00025): the pane says only that
    // the card is not initialised.
    EXPECT_FALSE(free->GetToken()->IsInitialized());
    EXPECT_GE(freeFields.IndexOf("The card is not initialized."), 0);
    EXPECT_EQ(-1, freeFields.IndexOf("The administrative PIN of the card is blocked."));
    EXPECT_EQ(-1, freeFields.IndexOf("The user PIN of the card is blocked."));
    EXPECT_EQ(nullptr, sink.GetMessage());
}

TEST_F(SoftHsmTokens, InitialiseWithPaddedLabelThenSetPins)
{
    CPKCS11Slot* free = FindSlot("");
    ASSERT_NE(nullptr, free);
    CPKCS11Token* token = free->GetToken();
    ASSERT_TRUE(token->InitializeToken("87654321", "Layer  label")) << sink.GetMessage();
    EXPECT_EQ(0u, token->GetSession());

    // SoftHSM adds a slot and renumbers: re-read the list.
    ASSERT_TRUE(context->RefreshSlotList());
    EXPECT_EQ(3u, context->GetSlotCount());
    CPKCS11Slot* slot = FindSlot("Layer  label");
    ASSERT_NE(nullptr, slot);
    token = slot->GetToken();
    const CK_TOKEN_INFO& info = token->GetTokenInfo();
    EXPECT_EQ(std::string("Layer  label") + std::string(20, ' '),
              std::string(reinterpret_cast<const char*>(info.label), sizeof(info.label)));

    // SO login, the user PIN, then a user login with it.
    ASSERT_TRUE(token->OpenSession(false));
    EXPECT_FALSE(token->Login("1234", NormalUser));
    EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, sink.GetCode());
    ASSERT_TRUE(token->Login("87654321", SecurityOfficer)) << sink.GetMessage();
    EXPECT_EQ(1u, token->GetLoggedInUser());
    ASSERT_TRUE(token->InitPIN("24681357"));
    EXPECT_EQ(CKR_OK, token->Logout());
    EXPECT_FALSE(token->IsLoggedIn());
    ASSERT_TRUE(token->Login("24681357", NormalUser)) << sink.GetMessage();
    EXPECT_EQ(2u, token->GetLoggedInUser());
}

TEST_F(SoftHsmTokens, LoginsPinChangesAndLogoutStates)
{
    CPKCS11Token* token = FindSlot("Alpha")->GetToken();
    ASSERT_TRUE(token->OpenSession(false));

    struct { const char* pin; TUserType user; CK_RV code; } wrong[] = {
        {"0000", NormalUser, CKR_PIN_INCORRECT},
        {"123", NormalUser, CKR_PIN_INCORRECT},
        {"00000000", SecurityOfficer, CKR_PIN_INCORRECT},
    };
    for (const auto& w : wrong) {
        sink.Reset();
        EXPECT_FALSE(token->Login(w.pin, w.user));
        EXPECT_STREQ("Login failed", sink.GetMessage());
        EXPECT_EQ(w.code, sink.GetCode()) << w.pin;
        EXPECT_EQ(1u, sink.GetFlag());
        EXPECT_FALSE(token->IsLoggedIn());
    }

    ASSERT_TRUE(token->Login("1234", NormalUser));
    EXPECT_FALSE(token->ChangePIN("9999", "5678"));
    EXPECT_STREQ("Unable to change PIN", sink.GetMessage());
    EXPECT_EQ(CKR_PIN_INCORRECT, sink.GetCode());
    ASSERT_TRUE(token->ChangePIN("1234", "5678"));
    EXPECT_EQ(CKR_OK, token->Logout());
    EXPECT_EQ(0u, token->GetLoggedInUser());
    EXPECT_FALSE(token->Login("1234", NormalUser));
    EXPECT_TRUE(token->Login("5678", NormalUser));

    // The SO PIN, changed in an SO session.
    ASSERT_TRUE(token->OpenSession(false));
    ASSERT_TRUE(token->Login("12345678", SecurityOfficer));
    ASSERT_TRUE(token->ChangePIN("12345678", "abcdefgh"));
    ASSERT_TRUE(token->OpenSession(false));
    EXPECT_TRUE(token->Login("abcdefgh", SecurityOfficer));

    // A read-only session refuses an SO login.
    ASSERT_TRUE(token->OpenSession(true));
    EXPECT_FALSE(token->Login("abcdefgh", SecurityOfficer));
    EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS, sink.GetCode());

    // Logout without a session: the module's answer, and the state is cleared all the same.
    ASSERT_TRUE(token->Login("5678", NormalUser));
    token->CloseSession();
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, token->Logout());
    EXPECT_FALSE(token->IsLoggedIn());
}

TEST_F(SoftHsmTokens, SecondContextSurvivesTheFirst)
{
    auto second = std::make_unique<CPKCS11Context>(fixture::SoftHsm::ModulePath().c_str(), "Second", &sink);
    context.reset();
    ASSERT_TRUE(second->RefreshSlotList()) << sink.GetMessage() << " " << sink.GetCode();
    CPKCS11Token* token = nullptr;
    for (unsigned long i = 0; i < second->GetSlotCount(); ++i)
        if (std::string("Alpha") == second->GetSlot(i)->GetToken()->GetLabel())
            token = second->GetSlot(i)->GetToken();
    ASSERT_NE(nullptr, token);
    ASSERT_TRUE(token->OpenSession(false)) << sink.GetCode();
    EXPECT_TRUE(token->Login("1234", NormalUser));
}

TEST_F(SoftHsmTokens, SlotEventsNotSupportedOnce)
{
    CPKCS11Context* raw = context.release();
    auto* thread = new CSlotEventThread(raw);
    CPKCS11Provider provider(raw, thread);
    int nSignals = 0;
    QObject::connect(thread, &CSlotEventThread::SlotEventsNotSupported, thread,
                     [&](CPKCS11Context* c) { ++nSignals; EXPECT_EQ(raw, c); }, Qt::DirectConnection);
    testing::internal::CaptureStderr();
    provider.StartThread();
    ASSERT_TRUE(thread->wait(10000));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, nSignals);
    EXPECT_NE(std::string::npos, err.find(">C_WaitForSlotEvent was unblocked")) << err;
}

} // namespace
