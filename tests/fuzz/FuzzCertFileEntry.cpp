// Fuzz entry for a certificate file the user imports: the import reader on the input
// as a file, then what the import and the download do with what it read: the layer's
// installation beside the key pair whose public key the certificate carries (on the
// built-in module's sound token), and enrolment's check that a certificate carries a
// key pair's public key.

#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QString>

#include "CertificateFile.h"
#include "FuzzMaterial.h"
#include "FuzzSupport.h"
#include "FuzzToken.h"
#include "KeyIdentifier.h"
#include "PKCS11Token.h"
#include "RequestCheck.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzmodule::SoundToken();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzzsupport::CMemoryFile file("certificate");
    if (!file.Fill(data, size))
        std::abort();
    QByteArray bytes;
    QString error;
    if (!CCertificateFile::Read(QString::fromStdString(file.Path()), bytes, error))
        return 0;
    unsigned char* pb = reinterpret_cast<unsigned char*>(bytes.data());
    const size_t cb = size_t(bytes.size());

    const fuzzmodule::TSoundToken& token = fuzzmodule::SoundToken();
    token.pToken->InstallCertificate(pb, uint32_t(cb), true);
    TByteArrayAutoPtr spki;
    if (EncodeSubjectPublicKeyInfo(*token.pPublicKey, spki))
        CertificateCarriesKey(pb, cb, spki.get(), spki.size());
    // The bytes as both: a certificate against the key information it may hold.
    CertificateCarriesKey(pb, cb, pb, cb);
    return 0;
}
