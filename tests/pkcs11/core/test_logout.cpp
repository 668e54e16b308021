// Logout answers: "logged out" answers keep the session; any other answer may leave the module's
// login in force, so the token starts a new session, which ends it.
#include <memory>

#include <gtest/gtest.h>

#include "TSYpkcs11.h"
#include "TestModuleControl.h"

namespace {

struct TLogoutCase {
    const char* name;
    CK_RV answer;
    bool bReadOnly;
    bool bNewSession;
};

// One test-module token, read through a context.
class ScriptedToken : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tm.add_slot(4, "Reader", "Maker");
        tm.insert_token(4, nullptr, "87654321", "1234", 0);
        context = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "Scripted", &sink);
        token = context->GetSlot(0)->GetToken();
        ASSERT_NE(nullptr, token);
    }

    // What the module says about the token's current session.
    CK_STATE SessionState() const
    {
        CK_SESSION_INFO info;
        if (token->GetFunctionList()->C_GetSessionInfo(token->GetSession(), &info) != CKR_OK)
            return CK_STATE(-1);
        return info.state;
    }

    testmodule::Control tm;
    CTSYException sink;
    std::unique_ptr<CPKCS11Context> context;
    CPKCS11Token* token = nullptr;
};

class LogoutAnswers : public ScriptedToken, public ::testing::WithParamInterface<TLogoutCase>
{
};

TEST_P(LogoutAnswers, LoginEndsWhateverTheModuleAnswers)
{
    const TLogoutCase& c = GetParam();
    ASSERT_TRUE(token->OpenSession(c.bReadOnly));
    ASSERT_TRUE(token->Login("1234", NormalUser));
    const CK_SESSION_HANDLE before = token->GetSession();
    const int sessionsBefore = tm.session_count();

    // The answer comes without the module logging out, as a failing card would.
    tm.fail("C_Logout", c.answer, 0, 1);
    EXPECT_EQ(c.answer, token->Logout());
    EXPECT_FALSE(token->IsLoggedIn());
    EXPECT_EQ(nullptr, sink.GetMessage()) << "logout never records";
    EXPECT_EQ(sessionsBefore, tm.session_count());
    ASSERT_NE(0u, token->GetSession());
    if (c.bNewSession) {
        EXPECT_NE(before, token->GetSession());
        EXPECT_EQ(c.bReadOnly ? CKF_SERIAL_SESSION : (CKF_SERIAL_SESSION | CKF_RW_SESSION), tm.last_session_flags());
        EXPECT_EQ(c.bReadOnly ? CKS_RO_PUBLIC_SESSION : CKS_RW_PUBLIC_SESSION, SessionState())
            << "the module's login ended";
        // A new login works on the new session.
        EXPECT_TRUE(token->Login("1234", NormalUser));
    } else {
        EXPECT_EQ(before, token->GetSession());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LogoutAnswers,
    ::testing::Values(TLogoutCase{"ok", CKR_OK, false, false},
                      TLogoutCase{"not_logged_in", CKR_USER_NOT_LOGGED_IN, false, false},
                      TLogoutCase{"device_error", CKR_DEVICE_ERROR, false, true},
                      TLogoutCase{"device_error_read_only", CKR_DEVICE_ERROR, true, true},
                      TLogoutCase{"general_error", CKR_GENERAL_ERROR, false, true},
                      TLogoutCase{"function_failed", CKR_FUNCTION_FAILED, false, true}),
    [](const ::testing::TestParamInfo<TLogoutCase>& info) { return std::string(info.param.name); });

using LogoutWithoutSession = ScriptedToken;

TEST_F(LogoutWithoutSession, NoNewSessionAppears)
{
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, token->Logout());
    EXPECT_EQ(0u, token->GetSession());
    EXPECT_EQ(0, tm.session_count());
}

using LogoutNewSessionRefused = ScriptedToken;

TEST_F(LogoutNewSessionRefused, TokenIsLeftWithoutSession)
{
    ASSERT_TRUE(token->OpenSession(false));
    ASSERT_TRUE(token->Login("1234", NormalUser));
    tm.fail("C_Logout", CKR_DEVICE_ERROR, 0, 1);
    tm.fail("C_OpenSession", CKR_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(CKR_DEVICE_ERROR, token->Logout());
    EXPECT_EQ(0u, token->GetSession()) << "no session, so nobody logged in";
    EXPECT_EQ(0, tm.session_count());
    EXPECT_FALSE(token->IsLoggedIn());
}

} // namespace
