// Helpers shared by the libvarnock tests.
#pragma once

#include "CannedServer.h"
#include "Fixture.h"
#include "RequestService.h"

#include <varnock/Varnock.h>

#include <string>
#include <vector>

namespace vtest {

// TLS material made once per test program: the service CA and a server
// certificate for 127.0.0.1 and localhost.
const fixture::ServicePki& Pki();

// A DER PKCS#10 request for the key, signed with it by the openssl command.
// digest: an openssl digest option ("-sha256", "-sha1").
std::vector<unsigned char> MakeCsr(const std::string& dir, const fixture::KeyFiles& key, const std::string& subject,
                                   const std::string& digest = "-sha256");

// The key's signature (SHA-1) over data, as the enrolment driver makes it on a
// token: PKCS#1 v1.5 for RSA, a DER Dss-Sig-Value for DSA.
std::vector<unsigned char> SignSha1(const std::string& keyPem, const std::vector<unsigned char>& data);

void Fill(TByteArrayAutoPtr& holder, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> ToVector(const TByteArrayAutoPtr& holder);

// Points the client at an endpoint and trust file.
CVarnockSingleton& Client(const std::string& endpoint, const std::string& trustFile = Pki().ca.certPem);

} // namespace vtest
