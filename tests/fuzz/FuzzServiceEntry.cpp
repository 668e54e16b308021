// Fuzz entry for what the certificate request service answers. The client's exchanges
// go through a transport in memory (no sockets): the engine's TLS set-up call is
// replaced here, and it points the connection's send and receive at the input. The
// input holds one HTTP answer per exchange, split at the separator line, in the order
// the calls are made: the download road of the enrolment driver (request states, the
// server nonce, the certificate; each approved key's proof of possession is signed on
// the built-in module's sound token, and the installation is the host's, not made
// here), then the upload of a request.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QString>

#include <stdsoap2.h>

#include <sorvit/AutoArray.h>
#include <varnock/Varnock.h>

#include "CertReqWrapper.h"
#include "EnrolmentError.h"
#include "FuzzApplication.h"
#include "FuzzMaterial.h"
#include "FuzzSupport.h"
#include "FuzzToken.h"
#include "IEnrolmentHost.h"
#include "PKCS11AsymmetricKey.h"

namespace {

// The answers of this case and the next one to hand out.
struct TTransport {
    std::vector<std::string> answers;
    size_t next = 0;
    std::string current;
    size_t pos = 0;
};
TTransport g_transport;

SOAP_SOCKET Open(struct soap* soap, const char*, const char*, int)
{
    TTransport& t = g_transport;
    t.current = t.next < t.answers.size() ? t.answers[t.next] : std::string();
    ++t.next;
    t.pos = 0;
    soap->error = SOAP_OK;
    return SOAP_SOCKET(0);  // never used as a descriptor: every I/O call is ours
}

int Send(struct soap*, const char*, size_t)
{
    return SOAP_OK;
}

size_t Receive(struct soap*, char* p, size_t n)
{
    TTransport& t = g_transport;
    const size_t left = t.current.size() - t.pos;
    const size_t k = left < n ? left : n;
    t.current.copy(p, k, t.pos);
    t.pos += k;
    return k;
}

int Close(struct soap* soap)
{
    soap->socket = SOAP_INVALID_SOCKET;
    return SOAP_OK;
}

// Host of the driver: reports are dropped, an installation is taken as made.
class CHost : public IEnrolmentHost
{
public:
    QWidget* HostWidget() override { return nullptr; }
    void ShowError(const QString&, bool, bool) override {}
    void LogError(const QString&, bool) override {}
    bool InstallCertificate(CPKCS11Token&, unsigned char* pbCert, uint32_t cbCert) override
    {
        return pbCert && cbCert;
    }
};

QString g_dataFolder;

} // namespace

// The engine's TLS client set-up, replaced for this program: the connection is the
// in-memory transport above.
extern "C" int soap_ssl_client_context(struct soap* soap, unsigned short, const char*, const char*, const char*,
                                       const char*, const char*)
{
    soap->fopen = Open;
    soap->fsend = Send;
    soap->frecv = Receive;
    soap->fclose = Close;
    return SOAP_OK;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::StartApplication();
    // The driver checks that the trust file is readable; the transport never reads it.
    const char* pszTemp = getenv("TMPDIR");
    static std::string folder = std::string(pszTemp && *pszTemp ? pszTemp : "/tmp") + "/tessaly-service-fuzz-XXXXXX";
    if (!mkdtemp(&folder[0]))
        std::abort();
    g_dataFolder = QString::fromStdString(folder);
    static const std::string chain = folder + "/chain.pem";
    if (FILE* f = fopen(chain.c_str(), "w"))
        fclose(f);
    atexit([] {
        remove(chain.c_str());
        rmdir(folder.c_str());
    });
    fuzzmodule::SoundToken();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_transport = TTransport();
    g_transport.answers = fuzzsupport::Split(data, size, 4);

    const fuzzmodule::TSoundToken& token = fuzzmodule::SoundToken();
    TKeysVector keys{token.pPrivateKey};
    CHost host;
    TEnrolmentPlaces places;
    places.qsDataFolder = g_dataFolder;
    places.qsLanguageCode = QStringLiteral("en");
    places.qsServiceURL = QStringLiteral("https://ca.veskora.example/axis2/services/RequestService");
    CCertReqWrapper driver(&host, keys, *token.pToken, places);
    std::vector<CCertReqWrapper::TDownloadRow> rows;
    driver.DownloadRows(rows);

    TByteArrayAutoPtr request(new unsigned char[sizeof fuzzmodule::kRequest], sizeof fuzzmodule::kRequest);
    std::copy(fuzzmodule::kRequest, fuzzmodule::kRequest + sizeof fuzzmodule::kRequest, request.get());
    g_transport.next = 3;
    try {
        CCertReqWrapper::UploadRequest(request, "1.3.6.1.4.1.32473.1.1", driver.TrustedCertsFile(),
                                       driver.ServiceURL());
    } catch (const CEnrolmentError&) {
    } catch (const std::runtime_error&) {
        // CVarnockError among them: the request road reports the service's failure.
    }
    return 0;
}
