// Reading a token's objects takes one C_GetAttributeValue per object. What one call
// cannot give (a value larger than its buffer, an attribute the module refuses) is
// read alone, with the same results and errors as reading every attribute alone: the
// same token is read through SoftHSM2 and through variants of it that refuse a
// template of several attributes, or answer CKR_ATTRIBUTE_SENSITIVE or
// CKR_ATTRIBUTE_TYPE_INVALID for one attribute of the set.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <sstream>

#include "AttributeShimControl.h"
#include "ObjectsSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

using namespace objtest;

namespace {

struct OneCallContents {
    std::unique_ptr<Store> store;
};
OneCallContents* g_c = nullptr;

const unsigned long kTypeBits = KEY_TYPE_RSA | KEY_TYPE_DSA | KEY_TYPE_DH | KEY_TYPE_KEA | KEY_TYPE_EC;

// What the layer made of one listed object, or the error that building it threw.
struct Seen {
    char kind = 0;  // 'C' certificate, 'K' key
    std::string id, label, subject, error, sinkError;
    size_t valueSize = 0;
    bool decoded = false;
    int publicIndex = -1, privateIndex = -1, pairIndex = -1;
    unsigned long flags = 0, usage = 0, bits = 0;
    bool hasCertificate = false;
    CK_RV code = 0, sinkCode = 0;

    bool operator==(const Seen& o) const
    {
        return kind == o.kind && id == o.id && label == o.label && subject == o.subject && error == o.error &&
               sinkError == o.sinkError && valueSize == o.valueSize && decoded == o.decoded &&
               publicIndex == o.publicIndex && privateIndex == o.privateIndex && pairIndex == o.pairIndex &&
               flags == o.flags && usage == o.usage && bits == o.bits && hasCertificate == o.hasCertificate &&
               code == o.code && sinkCode == o.sinkCode;
    }
};

std::ostream& operator<<(std::ostream& out, const Seen& s)
{
    out << s.kind << " id=" << s.id << " label=" << s.label.substr(0, 20) << " value=" << s.valueSize
        << " decoded=" << s.decoded << " subject=" << s.subject << " pub=" << s.publicIndex
        << " priv=" << s.privateIndex << " pair=" << s.pairIndex << " flags=" << std::hex << s.flags
        << " usage=" << s.usage << std::dec << " bits=" << s.bits << " cert=" << s.hasCertificate;
    if (!s.error.empty())
        out << " threw '" << s.error << "' 0x" << std::hex << s.code << std::dec;
    if (!s.sinkError.empty())
        out << " sink '" << s.sinkError << "' 0x" << std::hex << s.sinkCode << std::dec;
    return out;
}

// Lists and builds every object of the suite's token through fl, logged in.
std::vector<Seen> ReadToken(CK_FUNCTION_LIST_PTR fl)
{
    CTSYException sink;
    CPKCS11Slot slot(Module::FindSlot(g_c->store->label), fl, &sink);
    CPKCS11Token* token = slot.GetToken();
    if (!token->OpenSession(false) || !token->Login("1234", NormalUser)) {
        ADD_FAILURE() << "no session or login: " << sink.what();
        return {};
    }
    token->ReadObjects();
    std::vector<Seen> out;
    const auto takeSink = [&](Seen& s) {
        if (sink.GetMessage()) {
            s.sinkError = sink.GetMessage();
            s.sinkCode = sink.GetCode();
        }
        sink.Reset();
    };
    // What fill reads, or the error it threw, with what the sink got meanwhile.
    const auto build = [&](char kind, const std::function<void(Seen&)>& fill) {
        Seen s;
        s.kind = kind;
        try {
            fill(s);
        } catch (const CTSYException& e) {
            s.error = e.what();
            s.code = e.GetCode();
        }
        takeSink(s);
        out.push_back(s);
    };
    for (unsigned long i = 0; i < token->GetCertificateCount(); ++i)
        build('C', [&](Seen& s) {
            CPKCS11Certificate* c = token->GetCertificate(i);
            s.id = c->GetID();
            s.label = c->GetLabel();
            s.valueSize = c->GetValue() ? c->GetValue()->cbData : 0;
            s.decoded = c->IsDecoded();
            s.subject = c->GetSubject();
            s.publicIndex = c->GetPublicKeyIndex();
            s.privateIndex = c->GetPrivateKeyIndex();
        });
    for (unsigned long i = 0; i < token->GetAsymmetricKeyCount(); ++i)
        build('K', [&](Seen& s) {
            CPKCS11AsymmetricKey* k = token->GetAsymmetricKey(i);
            s.id = k->GetID();
            s.label = k->GetLabel();
            s.flags = k->GetKeyFlags();
            s.usage = k->GetKeyUsage();
            s.bits = k->GetModulusBits();
            s.pairIndex = k->GetPairIndex();
            s.hasCertificate = k->HasCertificate();
        });
    return out;
}

std::string Describe(const std::vector<Seen>& v)
{
    std::ostringstream out;
    for (const Seen& s : v)
        out << "\n  " << s;
    return out.str();
}

class OneCallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_c = new OneCallContents;
        g_c->store.reset(new Store("pkcs11_onecall"));
        Store& st = *g_c->store;
        fixture::KeyFiles rsa = fixture::MakeKey(st.dir, "rsa", "rsa:1024");
        fixture::KeyFiles dsa = fixture::MakeKey(st.dir, "dsa", "dsa:1024");
        fixture::KeyFiles ec = fixture::MakeKey(st.dir, "ec", "ec:prime256v1");
        ASSERT_TRUE(st.hsm.ImportKey(rsa.keyPem, st.label, "rsa key", "0A01")) << st.hsm.LastOutput();
        ASSERT_TRUE(st.hsm.ImportKey(dsa.keyPem, st.label, "dsa key", "0B01")) << st.hsm.LastOutput();
        ASSERT_TRUE(st.hsm.ImportKey(ec.keyPem, st.label, "ec key", "0C01")) << st.hsm.LastOutput();
        const std::string rsaCert = fixture::MakeSelfSigned(st.dir, "rsa", rsa, "/O=One Call/CN=RSA Holder");
        ASSERT_TRUE(st.hsm.WriteCert(rsaCert, st.label, "rsa cert", "0A01")) << st.hsm.LastOutput();
        const std::string dsaCert = fixture::MakeSelfSigned(st.dir, "dsa", dsa, "/CN=DSA Holder");
        ASSERT_TRUE(st.hsm.WriteCert(dsaCert, st.label, "dsa cert", "0B01")) << st.hsm.LastOutput();

        CK_FUNCTION_LIST_PTR fl = Module::Load();
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(fl->C_OpenSession(Module::FindSlot(st.label), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                    &s),
                  CKR_OK);
        ASSERT_EQ(fl->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
        // A value and a label larger than the buffers of the one call, and a
        // certificate without a label at all.
        const std::string big = fixture::MakeSelfSigned(st.dir, "big", rsa, "/CN=Big", 365,
                                                        "nsComment=" + std::string(6000, 'x'));
        std::vector<unsigned char> bigId = {0x0A, 0x08}, bareId = {0x0A, 0x09};
        std::string longLabel(700, 'L');
        ASSERT_NE(CreateCertificateObject(s, fixture::ReadBytes(big), &bigId, &longLabel), 0u);
        ASSERT_NE(CreateCertificateObject(s, fixture::ReadBytes(dsaCert), &bareId, nullptr), 0u);
        fl->C_CloseSession(s);
    }

    static void TearDownTestSuite()
    {
        Module::Unload();
        delete g_c;
        g_c = nullptr;
    }

    void SetUp() override { CurrentFaults().Reset(); }
};

TEST_F(OneCallTest, EveryObjectTakesOneCallUnlessAnAttributeOutgrowsItsBuffer)
{
    // The objects the three searches find, duplicates included.
    CK_FUNCTION_LIST_PTR fl = Module::Functions();
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(fl->C_OpenSession(Module::FindSlot(g_c->store->label), CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(fl->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
    size_t found = 0;
    for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
        std::vector<CK_OBJECT_HANDLE> handles;
        ASSERT_EQ(fl->C_FindObjectsInit(s, &t, 1), CKR_OK);
        CK_OBJECT_HANDLE h[32];
        CK_ULONG n = 0;
        while (fl->C_FindObjects(s, h, 32, &n) == CKR_OK && n)
            found += n;
        fl->C_FindObjectsFinal(s);
    }
    fl->C_Logout(s);
    fl->C_CloseSession(s);
    ASSERT_EQ(found, 10u);

    CurrentFaults().calls.clear();
    std::vector<Seen> seen = ReadToken(FaultyFunctions());
    // The big certificate's value and label each cost a length query and a read;
    // the certificate without a label, and the public keys without a modulus length,
    // learn from the one call what reading the attribute alone would answer.
    EXPECT_EQ(CurrentFaults().calls["C_GetAttributeValue"], int(found) + 4) << Describe(seen);

    ASSERT_EQ(seen.size(), 10u) << Describe(seen);
    const Seen& big = seen[1];
    EXPECT_EQ(big.id, "0A08");
    EXPECT_EQ(big.label, std::string(700, 'L'));
    EXPECT_GT(big.valueSize, 6000u);
    EXPECT_TRUE(big.decoded);
    const Seen& bare = seen[2];
    EXPECT_EQ(bare.id, "0A09");
    EXPECT_EQ(bare.label, "(no label)");
    EXPECT_TRUE(bare.decoded);
}

TEST_F(OneCallTest, AModuleThatRefusesSeveralAttributesAtOnceReadsTheSame)
{
    const std::vector<Seen> expected = ReadToken(Module::Functions());
    ASSERT_EQ(expected.size(), 10u) << Describe(expected);
    attrshim::Shim shim(attrshim::RefuseMany);
    const std::vector<Seen> seen = ReadToken(shim.Functions());
    EXPECT_EQ(seen, expected) << "through the shim:" << Describe(seen) << "\nthrough SoftHSM2:" << Describe(expected);
    EXPECT_GT(shim.ChangedAnswers(), 0u);
}

// A module that refuses one attribute of the set: every object reads as it would
// with each attribute read alone.
TEST_F(OneCallTest, OneRefusedAttributeGivesWhatReadingItAloneGives)
{
    const std::vector<Seen> reference = ReadToken(Module::Functions());
    ASSERT_EQ(reference.size(), 10u) << Describe(reference);

    struct Case {
        const char* name;
        attrshim::TVariant variant;
        CK_ATTRIBUTE_TYPE attribute;
        std::function<void(std::vector<Seen>&, CK_RV)> expect;
    };
    const auto forEach = [](char kind, std::function<void(Seen&)> change) {
        return [kind, change](std::vector<Seen>& v, CK_RV) {
            for (Seen& s : v)
                if (s.kind == kind)
                    change(s);
        };
    };
    const auto failedCertificates = [](std::vector<Seen>& v, CK_RV rv) {
        for (Seen& s : v)
            if (s.kind == 'C') {
                s = Seen();
                s.kind = 'C';
                s.error = s.sinkError = "GetAttributeValue failed to determine size";
                s.code = s.sinkCode = rv;
            }
    };
    const auto keysWithoutType = [forEach](std::vector<Seen>& v, CK_RV rv) {
        forEach('K', [rv](Seen& s) {
            s.flags &= ~kTypeBits;
            s.sinkError = "GetAttributeValue failed";
            s.sinkCode = rv;
        })(v, rv);
    };
    const Case cases[] = {
        {"a secret label reads as none", attrshim::Sensitive, CKA_LABEL,
         [](std::vector<Seen>& v, CK_RV) {
             for (Seen& s : v)
                 s.label = "(no label)";
         }},
        {"an unreadable value fails the certificate", attrshim::Sensitive, CKA_VALUE, failedCertificates},
        {"a missing value fails the certificate", attrshim::TypeInvalid, CKA_VALUE, failedCertificates},
        {"objects without an ID are not listed", attrshim::Sensitive, CKA_ID,
         [](std::vector<Seen>& v, CK_RV) { v.clear(); }},
        {"an unreadable key type is reported, and the key has no type", attrshim::Sensitive, CKA_KEY_TYPE,
         keysWithoutType},
        {"a missing key type too", attrshim::TypeInvalid, CKA_KEY_TYPE,
         keysWithoutType},
        {"a missing use is not permitted", attrshim::TypeInvalid, CKA_SIGN,
         forEach('K', [](Seen& s) { s.usage &= ~(unsigned long)KEY_USAGE_SIGN; })},
        {"a secret modulus length reads as none", attrshim::Sensitive, CKA_MODULUS_BITS,
         forEach('K', [](Seen& s) { s.bits = 0; })},
    };
    for (const Case& c : cases) {
        attrshim::Shim shim(c.variant);
        shim.SetAttribute(c.attribute);
        const CK_RV rv = c.variant == attrshim::Sensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
        std::vector<Seen> expected = reference;
        c.expect(expected, rv);
        const std::vector<Seen> seen = ReadToken(shim.Functions());
        EXPECT_EQ(seen, expected) << c.name << "\nread:" << Describe(seen) << "\nexpected:" << Describe(expected);
        EXPECT_GT(shim.ChangedAnswers(), 0u) << c.name;
    }
}

} // namespace
