// CL_CertNameToStr reads the usual names straight from their bytes. Its answer (result,
// text, last error) must be what decoding the name with the runtime and formatting it
// with ConvertDistinguishedNameToString gives: on the corpus certificates' names, on
// every corpus file taken as a name, and on names of every shape made at random,
// valid ones and damaged ones.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <CertModule.h>
#include <pellum/pellum.h>
#include <sorvit/ber.h>

#include "Fixture.h"

// The exported step of libpellum that formats a decoded name.
std::string ConvertDistinguishedNameToString(const SNACC::RDNSequence* rdns, char attrSep, char rdnSep);

namespace {

using Bytes = std::vector<unsigned char>;

struct Answer {
    bool ok = false;
    std::string text;
    std::string error;
    bool operator==(const Answer& o) const { return ok == o.ok && text == o.text && error == o.error; }
};

std::ostream& operator<<(std::ostream& out, const Answer& a)
{
    return out << (a.ok ? "text '" + a.text + "'" : "error '" + a.error + "'");
}

Answer Formatted(const Bytes& der, char attrSep, char rdnSep)
{
    Answer a;
    _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
    uint32_t len = 0;
    a.ok = CL_CertNameToStr(&blob, nullptr, &len, attrSep, rdnSep);
    if (!a.ok) {
        a.error = CL_GetLastError();
        return a;
    }
    std::vector<char> buf(len);
    uint32_t given = len;
    if (!CL_CertNameToStr(&blob, buf.data(), &given, attrSep, rdnSep) || given != len) {
        a.ok = false;
        a.error = "second call differs";
        return a;
    }
    a.text.assign(buf.data(), len - 1);
    return a;
}

// The name decoded by the runtime and formatted by the exported step.
Answer Reference(const Bytes& der, char attrSep, char rdnSep)
{
    Answer a;
    _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
    SNACC::Name name;
    if (!BlobToType(&blob, &name, &a.error)) {
        if (a.error.empty())
            a.error = "Unhandled exception occurred in CL_CertNameToStr";
        return a;
    }
    const SNACC::RDNSequence* rdns = name.choiceId == SNACC::Name::rdnSequenceCid ? name.rdnSequence : nullptr;
    a.text = ConvertDistinguishedNameToString(rdns, attrSep, rdnSep);
    a.ok = true;
    return a;
}

void ExpectSame(const Bytes& der, const std::string& what)
{
    for (const auto& seps : {std::make_pair('\n', '\n'), std::make_pair('+', ',')}) {
        const Answer expected = Reference(der, seps.first, seps.second);
        EXPECT_EQ(Formatted(der, seps.first, seps.second), expected) << what << ": " << fixture::ToHex(der);
    }
}

std::vector<std::string> Files(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string path = dir + "/" + e->d_name;
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                out.push_back(path);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// DER writing with a choice of length forms.
void PutLength(Bytes& out, size_t len, bool longForm)
{
    if (len < 0x80 && !longForm) {
        out.push_back(static_cast<unsigned char>(len));
    } else if (len < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<unsigned char>(len));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<unsigned char>(len >> 8));
        out.push_back(static_cast<unsigned char>(len));
    }
}

Bytes Tlv(unsigned char tag, const Bytes& content, bool longForm = false)
{
    Bytes out = {tag};
    PutLength(out, content.size(), longForm);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

class NameMaker {
public:
    explicit NameMaker(unsigned seed) : m_rng(seed) {}

    Bytes Name()
    {
        Bytes rdns;
        const int count = Pick(6);
        for (int i = 0; i < count; ++i) {
            Bytes set;
            const int attrs = Chance(30) ? 0 : 1 + Pick(3) / 2 + (Chance(10) ? 1 : 0);
            for (int j = 0; j < attrs; ++j) {
                Bytes attr = Oid();
                Bytes value = Value();
                attr.insert(attr.end(), value.begin(), value.end());
                if (Chance(40)) {
                    const Bytes extra = {0x01, 0x01, 0x00};
                    attr.insert(attr.end(), extra.begin(), extra.end());
                }
                Bytes seq = Tlv(0x30, attr, Chance(30));
                set.insert(set.end(), seq.begin(), seq.end());
            }
            Bytes rdn = Tlv(0x31, set, Chance(30));
            rdns.insert(rdns.end(), rdn.begin(), rdn.end());
        }
        return Tlv(0x30, rdns, Chance(20));
    }

    // A name with one octet changed, or cut short, or with bytes after it.
    Bytes Damaged()
    {
        Bytes der = Name();
        switch (Pick(3)) {
        case 0:
            der[Pick(int(der.size()))] = static_cast<unsigned char>(Pick(256));
            break;
        case 1:
            der.resize(Pick(int(der.size())));
            break;
        default:
            der.push_back(static_cast<unsigned char>(Pick(256)));
            break;
        }
        return der;
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }
    bool Chance(int oneIn) { return Pick(oneIn) == 0; }

    Bytes Oid()
    {
        static const std::vector<Bytes> oids = {
            {0x55, 0x04, 0x03}, {0x55, 0x04, 0x06}, {0x55, 0x04, 0x0A}, {0x55, 0x04, 0x0B}, {0x55, 0x04, 0x2A},
            {0x55, 0x04, 0x05},                                          // serialNumber: not in the table
            {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01},      // e-mail
            {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}, // domain component
            {0x55, 0x04, 0x80, 0x03},                                    // 2.5.4.3 with a padded arc
            {0x88, 0x37, 0x01},                                          // 2.999.1
            {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x3C, 0x02, 0x01, 0x03},
            {0x2A, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, // an arc past 64 bits
            {0x2A, 0x83},                                                // cut inside an arc
            {},                                                          // empty
        };
        const Bytes& oid = oids[Pick(int(oids.size()))];
        return Tlv(0x06, oid);
    }

    Bytes Text()
    {
        Bytes out;
        const int len = Chance(15) ? 120 + Pick(300) : Pick(24);
        for (int i = 0; i < len; ++i) {
            switch (Pick(12)) {
            case 0:
                out.push_back(0);
                break;
            case 1:
                out.push_back(static_cast<unsigned char>(0x80 + Pick(128)));
                break;
            case 2:  // é
                out.push_back(0xC3);
                out.push_back(0xA9);
                break;
            case 3:  // 中
                out.push_back(0xE4);
                out.push_back(0xB8);
                out.push_back(0xAD);
                break;
            default:
                out.push_back(static_cast<unsigned char>(' ' + Pick(95)));
                break;
            }
        }
        return out;
    }

    Bytes Value()
    {
        static const unsigned char tags[] = {0x13, 0x13, 0x16, 0x0C, 0x0C, 0x1E, 0x14, 0x1C, 0x12,
                                             0x02, 0x04, 0x05, 0x80, 0x01, 0x03, 0x00};
        const unsigned char tag = tags[Pick(sizeof tags)];
        if (Chance(12)) {
            // A constructed string of two parts.
            const Bytes a = Tlv(0x04, Text()), b = Tlv(0x04, Text());
            Bytes parts = a;
            parts.insert(parts.end(), b.begin(), b.end());
            return Tlv(Chance(2) ? 0x33 : 0x2C, parts);
        }
        if (tag == 0x05)
            return {0x05, 0x00};
        if (tag == 0x03)
            return Tlv(0x03, {0x00, 0x41});
        return Tlv(tag, Text(), Chance(25));
    }

    std::mt19937 m_rng;
};

TEST(PellumNameFormat, CorpusCertificatesNamesAsTheRuntimeFormatsThem)
{
    int names = 0;
    for (const std::string& path : Files(TESSALY_PELLUM_CORPUS)) {
        const Bytes der = fixture::ReadBytes(path);
        _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
        CL_CERTIFICATE* rec = nullptr;
        if (!der.empty() && CL_DecodeCertificate(&blob, &rec)) {
            ExpectSame(Bytes(rec->Subject.pbData, rec->Subject.pbData + rec->Subject.cbData), path + " subject");
            ExpectSame(Bytes(rec->Issuer.pbData, rec->Issuer.pbData + rec->Issuer.cbData), path + " issuer");
            names += 2;
        }
        CL_FreeCertificate(rec);
    }
    EXPECT_GE(names, 16);
}

TEST(PellumNameFormat, EveryCorpusFileTakenAsANameAnswersAsTheRuntime)
{
    for (const std::string& dir : {std::string(TESSALY_PELLUM_CORPUS), std::string(TESSALY_PELLUM_CORPUS) + "/found"})
        for (const std::string& path : Files(dir)) {
            const Bytes der = fixture::ReadBytes(path);
            if (!der.empty())
                ExpectSame(der, path);
        }
}

TEST(PellumNameFormat, NamesOfEveryShapeAnswerAsTheRuntime)
{
    NameMaker maker(20240611);
    for (int i = 0; i < 3000; ++i)
        ExpectSame(maker.Name(), "name " + std::to_string(i));
    for (int i = 0; i < 3000; ++i)
        ExpectSame(maker.Damaged(), "damaged name " + std::to_string(i));
}

} // namespace
