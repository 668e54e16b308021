// The PKCS#10 request types generated from our ASN.1 module: their DER encoding,
// and decoding of what a peer might send (fields missing, other forms, lengths
// that do not add up).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <asn-incl.h>
#include <CertModule.h>
#include <rfc2314_pkcs10.h>
#include <sorvit/oids.h>

#include "Fixture.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Hex text with blanks between the bytes, as the tables below write it.
Bytes Hex(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return fixture::FromHex(text);
}

std::string ToHex(const Bytes& b)
{
    return fixture::ToHex(b);
}

Bytes Encode(const SNACC::AsnType& value)
{
    SNACC::AsnBuf buf;
    buf.ResetMode(std::ios_base::out);
    value.BEnc(buf);
    buf.ResetMode(std::ios_base::in);
    Bytes out(buf.length());
    buf.GetUSeg(out.data(), long(out.size()));
    return out;
}

// The runtime's text for a failed decode, empty when it worked.
std::string Decode(SNACC::AsnType& value, const Bytes& der)
{
    try {
        SNACC::AsnBuf buf(reinterpret_cast<const char*>(der.data()), der.size());
        SNACC::AsnLen used = 0;
        value.BDec(buf, used);
        return std::string();
    } catch (const SNACC::SnaccException& e) {
        return e.what();
    }
}

// version 0, empty subject, RSA key info with one key byte, empty attributes.
const std::string kVersion = "02 01 00";
const std::string kEmptySubject = "30 00";
const std::string kKeyInfo = "30 13 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 02 00 00";
const std::string kNoAttributes = "A0 00";
const std::string kInfo = "30 1C " + kVersion + " " + kEmptySubject + " " + kKeyInfo + " " + kNoAttributes;
const std::string kSignatureAlgorithm = "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00";
const std::string kSignature = "03 02 00 AB";
const std::string kRequest = "30 31 " + kInfo + " " + kSignatureAlgorithm + " " + kSignature;

TEST(RequestTypes, RequestInfoEncodesItsEmptyAttributeSetLast)
{
    SNACC::CertificationRequestInfo info;
    info.subject.choiceId = SNACC::Name::rdnSequenceCid;
    info.subject.rdnSequence = new SNACC::RDNSequence;
    info.subjectPublicKeyInfo.algorithm.algorithm = SNACC::AsnOid(id_RSA_rsa);
    const unsigned char key = 0;
    info.subjectPublicKeyInfo.subjectPublicKey.Set(&key, 8);
    EXPECT_EQ(ToHex(Encode(info)), ToHex(Hex(kInfo)));
}

TEST(RequestTypes, RequestDecodesAndEncodesToTheSameBytes)
{
    SNACC::CertificationRequest request;
    ASSERT_EQ(Decode(request, Hex(kRequest)), "");
    EXPECT_EQ(ToHex(Encode(request)), ToHex(Hex(kRequest)));
    EXPECT_STREQ(request.typeName(), "CertificationRequest");
    EXPECT_STREQ(request.certificationRequestInfo.typeName(), "CertificationRequestInfo");
    EXPECT_STREQ(request.certificationRequestInfo.attributes.typeName(), "Attributes");
    EXPECT_EQ(request.signature.BitLen(), 8u);
    // A copy is deep and encodes alike.
    SNACC::CertificationRequest copy(request);
    EXPECT_EQ(ToHex(Encode(copy)), ToHex(Hex(kRequest)));
}

TEST(RequestTypes, AttributeWithValuesRoundTrips)
{
    // challengePassword with one PrintableString value
    const Bytes der = Hex("30 12 06 09 2A 86 48 86 F7 0D 01 09 07 31 05 13 03 61 62 63");
    SNACC::Attribute attribute;
    ASSERT_EQ(Decode(attribute, der), "");
    EXPECT_EQ(attribute.attrValues.size(), 1u);
    EXPECT_EQ(ToHex(Encode(attribute)), ToHex(der));
    EXPECT_STREQ(attribute.attrValues.typeName(), "AttributeSetOf");
}

struct DecodeCase {
    const char* what;
    std::string der;
    const char* error; // part of the runtime's text; null: decodes
};

TEST(RequestTypes, DecodingTakesOnlyWhatTheModuleAllows)
{
    const DecodeCase cases[] = {
        {"request info without attributes",
         "30 2F 30 1A " + kVersion + " " + kEmptySubject + " " + kKeyInfo + " " + kSignatureAlgorithm + " " +
             kSignature,
         "SEQUENCE is missing non-optional root elmt"},
        {"constructed signature BIT STRING", "30 33 " + kInfo + " " + kSignatureAlgorithm + " 23 04 03 02 00 AB",
         nullptr},
        {"indefinite request info closed by end-of-contents",
         "30 33 30 80 " + kVersion + " " + kEmptySubject + " " + kKeyInfo + " " + kNoAttributes + " 00 00 " +
             kSignatureAlgorithm + " " + kSignature,
         nullptr},
        {"request info longer than its fields",
         "30 32 30 1D " + kVersion + " " + kEmptySubject + " " + kKeyInfo + " " + kNoAttributes + " 05 " +
             kSignatureAlgorithm + " " + kSignature,
         "Length discrepancy on sequence"},
        {"signature BIT STRING with unused bits and no contents",
         "30 30 " + kInfo + " " + kSignatureAlgorithm + " 03 01 07", "BIT STRING with unused bits but no contents"},
        {"request that is no SEQUENCE", "31 31 " + kInfo + " " + kSignatureAlgorithm + " " + kSignature, "invalid"},
    };
    for (const DecodeCase& c : cases) {
        SNACC::CertificationRequest request;
        const std::string error = Decode(request, Hex(c.der));
        if (!c.error)
            EXPECT_EQ(error, "") << c.what;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}

TEST(RequestTypes, AttributeValuesMustBeASet)
{
    SNACC::Attribute attribute;
    const std::string error = Decode(attribute, Hex("30 12 06 09 2A 86 48 86 F7 0D 01 09 07 11 05 13 03 61 62 63"));
    EXPECT_NE(error.find("SEQUENCE is missing non-optional root elmt"), std::string::npos) << error;
}

} // namespace
