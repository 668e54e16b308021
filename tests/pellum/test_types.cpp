// The generated X.509 types: the fixes of the patch step, and the decoding and
// encoding rules the rest of the system relies on.

#include "Der.h"

#include <sorvit/ber.h>

#include <CertExtensions.h>
#include <CertModule.h>
#include <CertOids.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

using namespace SNACC;
using dertest::Bytes;
using dertest::FromHex;

namespace {

Bytes Encode(const AsnType& value)
{
    AsnBuf buf;
    std::string err;
    uint64_t len = ExtractAnyBuf(&buf, &value, &err);
    EXPECT_NE(len, 0u) << err;
    Bytes out(len);
    if (len)
        buf.GetUSeg(out.data(), static_cast<long>(len));
    return out;
}

// Encodes directly, so the runtime's exception reaches the test.
std::string EncodeError(const AsnType& value)
{
    AsnBuf buf;
    buf.ResetMode(std::ios_base::out);
    try {
        value.BEnc(buf);
    } catch (const SnaccException& e) {
        return e.what();
    }
    return "no exception";
}

// Decodes hex into a fresh object; returns the runtime's text, "" on success.
std::string Decode(const std::string& hex, AsnType* obj)
{
    Bytes der = FromHex(hex);
    _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
    std::string err;
    if (BlobToType(&blob, obj, &err))
        return "";
    return err.empty() ? "failed without text" : err;
}

std::string Hex(const Bytes& b)
{
    return fixture::ToHex(b);
}

bool StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST(PellumTypes, AbsentAlgorithmParametersEncodeAsNull)
{
    AlgorithmIdentifier alg;
    alg.algorithm = AsnOid("1.3.14.3.2.26");
    EXPECT_EQ(Hex(Encode(alg)), "300906052B0E03021A0500");

    // Present parameters are written as they are, not doubled.
    AlgorithmIdentifier decoded;
    ASSERT_EQ(Decode("300906052B0E03021A0500", &decoded), "");
    ASSERT_NE(decoded.parameters, nullptr);
    EXPECT_EQ(Hex(Encode(decoded)), "300906052B0E03021A0500");

    // And inside a DigestInfo, which the PKCS#11 layer builds without parameters.
    DigestInfo di;
    di.digestAlgorithm.algorithm = AsnOid("1.3.14.3.2.26");
    di.digest.Set("\x01\x02", 2);
    EXPECT_EQ(Hex(Encode(di)), "300F300906052B0E03021A050004020102");
}

TEST(PellumTypes, VersionIsAClassWithNamedNumbers)
{
    Version v(Version::v3);
    EXPECT_EQ(static_cast<AsnIntType>(v), 2);
    EXPECT_STREQ(v.typeName(), "AsnInt");
    AsnInt* base = &v;  // derives from the runtime's INTEGER
    EXPECT_EQ(static_cast<AsnIntType>(*base), 2);
}

TEST(PellumTypes, EmptyChoiceThrowsInsteadOfCrashing)
{
    // Default-constructed CHOICEs: on their first alternative with no value.
    std::vector<std::pair<const char*, std::unique_ptr<AsnType>>> cases;
    cases.emplace_back("Name", new Name);
    cases.emplace_back("Time", new Time);
    cases.emplace_back("GeneralName", new GeneralName);
    cases.emplace_back("Qualifier", new Qualifier);
    cases.emplace_back("DisplayText", new DisplayText);
    cases.emplace_back("DistributionPointName", new DistributionPointName);
    for (auto& c : cases)
        EXPECT_EQ(EncodeError(*c.second), "Choice is empty") << c.first;

    // Inside a SEQUENCE: an AccessDescription with an empty location.
    AccessDescription ad;
    ad.accessMethod = AsnOid("1.3.6.1.5.5.7.48.1");
    EXPECT_EQ(EncodeError(ad), "Choice is empty");
}

TEST(PellumTypes, ChoiceConstraintsLookOnlyAtTheChosenAlternative)
{
    // Every alternative shares one union slot: before the fix each of them was
    // asked about the same value, which reported a failure once per alternative
    // (and called members of the wrong type).
    DisplayText text;
    text.choiceId = DisplayText::visibleStringCid;
    text.visibleString = new VisibleString("x\x01y");
    ConstraintFailList fails;
    text.checkConstraints(&fails);
    EXPECT_EQ(fails.size(), 1u);

    GeneralName gn;
    gn.choiceId = GeneralName::uniformResourceIdentifierCid;
    gn.uniformResourceIdentifier = new IA5String("http://example.test/");
    ConstraintFailList none;
    EXPECT_EQ(gn.checkConstraints(&none), 0);
    EXPECT_TRUE(none.empty());

    Time empty;  // no value: nothing to look at
    EXPECT_EQ(empty.checkConstraints(&none), 0);
}

TEST(PellumTypes, DecodeErrors)
{
    struct Case {
        const char* what;
        std::function<AsnType*()> make;
        const char* hex;
        const char* prefix;
    };
    const Case cases[] = {
        {"trailing component", [] { return new Dss_Sig_Value; }, "3009020101020102020103",
         "Length discrepancy on sequence"},
        {"missing component", [] { return new Dss_Sig_Value; }, "30050201010500",
         "SEQUENCE is missing non-optional root elmt"},
        {"missing component at the end of the data", [] { return new Dss_Sig_Value; }, "3003020101",
         "Read past end of data"},
        {"wrong tag of a component", [] { return new Dss_Sig_Value; }, "3006040101020102",
         "SEQUENCE is missing non-optional root elmt"},
        {"dNSName in GeneralName", [] { return new GeneralName; }, "820B6578616D706C652E636F6D",
         "Tag"},
        {"dNSName as access location", [] { return new AccessDescription; },
         "301306082B06010505073001820765782E74657374", "SEQUENCE is missing non-optional root elmt"},
        {"DistributionPointName [2]", [] { return new DistributionPointName; }, "A203820178", "Tag"},
        {"Time of another type", [] { return new Time; }, "040131", "Tag"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<AsnType> obj(c.make());
        std::string err = Decode(c.hex, obj.get());
        EXPECT_TRUE(StartsWith(err, c.prefix)) << c.what << ": " << err;
    }
}

TEST(PellumTypes, BitStringComponentsAreCheckedAfterDecoding)
{
    // The runtime reads a one-octet BIT STRING with unused bits as a negative
    // bit count. The structure walk refuses it only under the universal tag;
    // an implicitly tagged one ([1] reasons) is refused by the decoder itself.
    // An empty one is decoded into a block of no octets, whose first octet the
    // named-bit-list encoder reads: written again, it is an empty BIT STRING.
    struct Case {
        const char* what;
        const char* hex;
        const char* error;   // "" for success
        long bits;           // BitLen of reasons on success
        const char* again;   // the value encoded again
    };
    const Case cases[] = {
        {"implicit, 7 unused bits, no contents", "30038101" "07", "BIT STRING with unused bits but no contents", 0, ""},
        {"implicit, 1 unused bit, no contents", "30038101" "01", "BIT STRING with unused bits but no contents", 0, ""},
        {"implicit, empty", "30038101" "00", "", 0, "3003810100"},
        {"implicit, one bit", "3004810207" "80", "", 1, "300481020780"},
        {"implicit, trailing zero octet", "3005810300" "8000", "", 16, "300481020780"},
        {"implicit, constructed", "3005A103030100", "", 0, "3003810100"},
        {"implicit, more than 7 unused bits", "3004810208" "80", "Length problem", 0, ""},
        {"universal, inside a constructed [1]", "3005A103030107", "Malformed BER", 0, ""},
    };
    for (const Case& c : cases) {
        DistributionPoint dp;
        std::string err = Decode(c.hex, &dp);
        if (*c.error) {
            EXPECT_TRUE(StartsWith(err, c.error)) << c.what << ": " << err;
            continue;
        }
        ASSERT_EQ(err, "") << c.what;
        ASSERT_NE(dp.reasons, nullptr) << c.what;
        EXPECT_EQ(static_cast<long>(dp.reasons->BitLen()), c.bits) << c.what;
        EXPECT_EQ(Hex(Encode(dp)), c.again) << c.what;
    }

    // The same for a BIT STRING decoded on its own: an empty KeyUsage.
    KeyUsage usage;
    ASSERT_EQ(Decode("030100", &usage), "");
    EXPECT_EQ(usage.BitLen(), 0u);
    EXPECT_EQ(Hex(Encode(usage)), "030100");
    KeyUsage signing;
    ASSERT_EQ(Decode("03020780", &signing), "");
    EXPECT_EQ(Hex(Encode(signing)), "03020780");
}

TEST(PellumTypes, DefaultComponents)
{
    // Absent DEFAULT: null after decoding, not a new default value.
    Extension ext;
    ASSERT_EQ(Decode("300906035504030402AABB", &ext), "");
    EXPECT_EQ(ext.critical, nullptr);

    // An explicitly encoded default is kept on decoding and dropped on encoding.
    Extension explicitFalse;
    ASSERT_EQ(Decode("300C060355040301010004020000", &explicitFalse), "");
    ASSERT_NE(explicitFalse.critical, nullptr);
    EXPECT_FALSE(*explicitFalse.critical);
    EXPECT_EQ(Hex(Encode(explicitFalse)), "3009060355040304020000");

    AttributeTypeAndDistinguishedValue atv;
    ASSERT_EQ(Decode("300C06035504031302414201 01FF", &atv), "");
    ASSERT_NE(atv.primaryDistinguished, nullptr);
    EXPECT_TRUE(*atv.primaryDistinguished);
    EXPECT_EQ(Hex(Encode(atv)), "3009060355040313024142");

    BasicConstraints empty;
    ASSERT_EQ(Decode("3000", &empty), "");
    EXPECT_EQ(empty.cA, nullptr);
    EXPECT_EQ(empty.pathLenConstraint, nullptr);
    BasicConstraints ca;
    ASSERT_EQ(Decode("30030101FF", &ca), "");
    ASSERT_NE(ca.cA, nullptr);
    EXPECT_TRUE(*ca.cA);
    BasicConstraints notCa;  // Init: cA allocated FALSE, which is not written
    EXPECT_EQ(Hex(Encode(notCa)), "3000");
}

TEST(PellumTypes, CopyAndSelfAssignment)
{
    Name name;
    ASSERT_EQ(Decode("300F310D300B06035504030C0454657374", &name), "");
    Bytes before = Encode(name);
    Name& alias = name;
    name = alias;
    EXPECT_EQ(Encode(name), before);
    Name copy(name);
    EXPECT_EQ(Encode(copy), before);
    std::unique_ptr<AsnType> clone(name.Clone());
    EXPECT_EQ(Encode(*clone), before);
}

TEST(PellumTypes, ExtensionModule)
{
    // A long DisplayText decodes (no size limit).
    const std::string longText(250, 'a');
    Bytes der = {0x16, 0x81, 250};
    der.resize(3 + longText.size(), 'a');
    DisplayText dt;
    ASSERT_EQ(Decode(Hex(der), &dt), "");
    ASSERT_EQ(dt.choiceId, DisplayText::ia5StringCid);
    EXPECT_EQ(*dt.ia5String, longText);

    // A policy with an empty qualifier list.
    PolicyInformation pi;
    ASSERT_EQ(Decode("3006060255043000", &pi), "");
    ASSERT_NE(pi.policyQualifiers, nullptr);
    EXPECT_TRUE(pi.policyQualifiers->empty());

    // A CPS qualifier stays undecoded until read as a Qualifier.
    PolicyQualifierInfo pqi;
    ASSERT_EQ(Decode("301706082B06010505070201160B687474703A2F2F6370732F", &pqi), "");
    Qualifier q;
    ASSERT_TRUE(AnyToType(&pqi.qualifier, &q, nullptr));
    EXPECT_EQ(q.choiceId, Qualifier::cPSuriCid);
    EXPECT_EQ(*q.cPSuri, "http://cps/");

    KeyUsage ku(9);
    ku.SetBit(KeyUsage::digitalSignature);
    ku.SetBit(KeyUsage::keyCertSign);
    // Named-bit rules: trailing zero bits are not written.
    EXPECT_EQ(Hex(Encode(ku)), "03020284");

    EXPECT_STREQ(id_ce_certificatePolicies, "2.5.29.32");
    EXPECT_STREQ(id_qt_unotice, "1.3.6.1.5.5.7.2.2");
    EXPECT_STREQ(anyPolicy, "2.5.29.32.0");
}

TEST(PellumTypes, BuildingNamesAndKeysAsEnrolmentDoes)
{
    // A Name made the way the request code makes one: RDNs appended in order,
    // the attributes of a multi-valued RDN written in DER (ascending) order.
    Name name;
    EXPECT_EQ(name.choiceId, Name::rdnSequenceCid);
    name.rdnSequence = new RDNSequence;
    auto add = [](RelativeDistinguishedName& rdn, const char* oid, const char* text) {
        AttributeTypeAndDistinguishedValue& atv = *rdn.append();
        ASSERT_NE(atv.primaryDistinguished, nullptr);  // DEFAULT TRUE, allocated
        EXPECT_TRUE(*atv.primaryDistinguished);
        atv.type = AsnOid(oid);
        atv.value.value = new PrintableString(text);
    };
    add(*name.rdnSequence->append(), "2.5.4.6", "BG");
    RelativeDistinguishedName& multi = *name.rdnSequence->append();
    add(multi, "2.5.4.3", "Zed");
    add(multi, "2.5.4.3", "Al");
    // "Al" sorts before "Zed": its encoding is the shorter one.
    EXPECT_EQ(Hex(Encode(name)), "3026310B30090603550406130242473117"
                                 "300906035504031302416C300A060355040313035A6564");

    // A DSA SubjectPublicKeyInfo with Dss-Parms held in the ANY.
    SubjectPublicKeyInfo spki;
    spki.algorithm.algorithm = AsnOid("1.2.840.10040.4.1");
    Dss_Parms* parms = new Dss_Parms;
    parms->p.Set(3);
    parms->q.Set(5);
    parms->g.Set(2);
    spki.algorithm.parameters = new AsnAny;
    spki.algorithm.parameters->value = parms;
    const unsigned char y[] = {0x02, 0x01, 0x07};
    spki.subjectPublicKey.Set(y, 24);
    EXPECT_EQ(Hex(Encode(spki)), "301C301406072A8648CE3804013009020103020105020102030400020107");
}
