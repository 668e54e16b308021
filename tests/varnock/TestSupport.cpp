#include "TestSupport.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace vtest {

const fixture::ServicePki& Pki()
{
    static const fixture::ServicePki pki = fixture::MakeServicePki(fixture::ScratchDir("pki"));
    return pki;
}

std::vector<unsigned char> MakeCsr(const std::string& dir, const fixture::KeyFiles& key, const std::string& subject,
                                   const std::string& digest)
{
    return fixture::MakeCsr(dir, key, subject, digest);
}

std::vector<unsigned char> SignSha1(const std::string& keyPem, const std::vector<unsigned char>& data)
{
    FILE* f = std::fopen(keyPem.c_str(), "r");
    if (!f)
        throw std::runtime_error("cannot open " + keyPem);
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key)
        throw std::runtime_error("cannot read " + keyPem);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t n = 0;
    std::vector<unsigned char> sig;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
        EVP_DigestSign(ctx, nullptr, &n, data.data(), data.size()) == 1) {
        sig.resize(n);
        if (EVP_DigestSign(ctx, sig.data(), &n, data.data(), data.size()) == 1)
            sig.resize(n);
        else
            sig.clear();
    }
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (sig.empty())
        throw std::runtime_error("signing failed");
    return sig;
}

void Fill(TByteArrayAutoPtr& holder, const std::vector<unsigned char>& bytes)
{
    unsigned char* p = new unsigned char[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), p);
    holder.reset(p, bytes.size());
}

std::vector<unsigned char> ToVector(const TByteArrayAutoPtr& holder)
{
    return holder.get() ? std::vector<unsigned char>(holder.get(), holder.get() + holder.size())
                        : std::vector<unsigned char>();
}

CVarnockSingleton& Client(const std::string& endpoint, const std::string& trustFile)
{
    return CVarnockSingleton::instance().trustedCerts(trustFile.c_str()).endpointURL(endpoint.c_str());
}

} // namespace vtest
