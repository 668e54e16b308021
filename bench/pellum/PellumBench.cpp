// Decodes the same certificates with CL_DecodeCertificate and with OpenSSL's
// d2i_X509, side by side in one run, and prints the time ratio (ours / OpenSSL).
// Then formats their subject and issuer names with CL_CertNameToStr and with
// OpenSSL's X509_NAME_print_ex, as the PKCS#11 layer labels every certificate
// of a token.
// Usage: pellum_bench [rounds] [folder of DER certificates named cert-*.der]

#include <pellum/pellum.h>

#include <openssl/bio.h>
#include <openssl/x509.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

std::vector<Bytes> LoadCertificates(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("cert-", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".der") == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<Bytes> certs;
    for (const std::string& n : names) {
        std::ifstream in(dir + "/" + n, std::ios::binary);
        Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Only what both decoders accept is timed.
        _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
        CL_CERTIFICATE* rec = nullptr;
        const unsigned char* p = der.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (CL_DecodeCertificate(&blob, &rec) && x)
            certs.push_back(der);
        CL_FreeCertificate(rec);
        X509_free(x);
    }
    return certs;
}

double TimeOurs(const std::vector<Bytes>& certs, int rounds)
{
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const Bytes& der : certs) {
            _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
            CL_CERTIFICATE* rec = nullptr;
            if (!CL_DecodeCertificate(&blob, &rec))
                std::abort();
            CL_FreeCertificate(rec);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimeOpenSsl(const std::vector<Bytes>& certs, int rounds)
{
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const Bytes& der : certs) {
            const unsigned char* p = der.data();
            X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
            if (!x)
                std::abort();
            X509_free(x);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The subject and issuer of each certificate, as the record holds them.
std::vector<Bytes> LoadNames(const std::vector<Bytes>& certs)
{
    std::vector<Bytes> names;
    for (const Bytes& der : certs) {
        _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
        CL_CERTIFICATE* rec = nullptr;
        if (!CL_DecodeCertificate(&blob, &rec))
            std::abort();
        names.emplace_back(rec->Subject.pbData, rec->Subject.pbData + rec->Subject.cbData);
        names.emplace_back(rec->Issuer.pbData, rec->Issuer.pbData + rec->Issuer.cbData);
        CL_FreeCertificate(rec);
    }
    return names;
}

double TimeOurNames(const std::vector<Bytes>& names, int rounds)
{
    char text[2048];
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const Bytes& der : names) {
            _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
            uint32_t len = sizeof(text);
            if (!CL_CertNameToStr(&blob, text, &len, '\n', '\n'))
                std::abort();
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimeOpenSslNames(const std::vector<Bytes>& names, int rounds)
{
    BIO* out = BIO_new(BIO_s_mem());
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        for (const Bytes& der : names) {
            const unsigned char* p = der.data();
            X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
            if (!name || X509_NAME_print_ex(out, name, 0, XN_FLAG_SEP_MULTILINE | ASN1_STRFLGS_UTF8_CONVERT) < 0)
                std::abort();
            X509_NAME_free(name);
            (void)BIO_reset(out);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    BIO_free(out);
    return seconds;
}

}

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    std::string dir = argc > 2 ? argv[2] : PELLUM_BENCH_CERTS;
    std::vector<Bytes> certs = LoadCertificates(dir);
    if (certs.empty() || rounds < 1) {
        std::fprintf(stderr, "no certificates in %s\n", dir.c_str());
        return 1;
    }
    // Warm both up, then alternate the two so neither gets a cooler machine.
    TimeOurs(certs, std::max(1, rounds / 20));
    TimeOpenSsl(certs, std::max(1, rounds / 20));
    double ours = 0, theirs = 0;
    for (int half = 0; half < 2; ++half) {
        ours += TimeOurs(certs, rounds / 2);
        theirs += TimeOpenSsl(certs, rounds / 2);
    }
    double n = static_cast<double>(certs.size()) * (rounds / 2) * 2;
    std::printf("certificates: %zu, decodes of each decoder: %.0f\n", certs.size(), n);
    std::printf("CL_DecodeCertificate: %8.2f us per certificate\n", ours / n * 1e6);
    std::printf("d2i_X509:             %8.2f us per certificate\n", theirs / n * 1e6);
    std::printf("ratio (CL_DecodeCertificate / d2i_X509): %.3f\n", ours / theirs);

    std::vector<Bytes> names = LoadNames(certs);
    TimeOurNames(names, std::max(1, rounds / 20));
    TimeOpenSslNames(names, std::max(1, rounds / 20));
    ours = theirs = 0;
    for (int half = 0; half < 2; ++half) {
        ours += TimeOurNames(names, rounds / 2);
        theirs += TimeOpenSslNames(names, rounds / 2);
    }
    n = static_cast<double>(names.size()) * (rounds / 2) * 2;
    std::printf("names: %zu, formattings of each: %.0f\n", names.size(), n);
    std::printf("CL_CertNameToStr:     %8.2f us per name\n", ours / n * 1e6);
    std::printf("X509_NAME_print_ex:   %8.2f us per name (d2i_X509_NAME included)\n", theirs / n * 1e6);
    std::printf("ratio (CL_CertNameToStr / X509_NAME_print_ex): %.3f\n", ours / theirs);
    return 0;
}
